// The judgement of the revision read again after a download, for --verify and the CFS run.
#include "cli/revision_check.h"

#include "record/record.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

TEST(JudgeRevision, ChangedUnchangedPendingUnreadable) {
    // readable, the revision read after N4R2, the drive activates at its next reset, outcome
    const std::tuple<bool, const char *, bool, int> cases[] = {
        {true, "N5R0", false, OUTCOME_UPDATED},   {true, "N5R0", true, OUTCOME_UPDATED},
        {true, "N4R2", false, OUTCOME_UNCHANGED}, {true, "N4R2", true, OUTCOME_PENDING},
        {true, "N4R", false, OUTCOME_UPDATED},    {false, "N4R2", true, OUTCOME_UNVERIFIED},
    };
    for (const auto &[readable, after, waits, outcome] : cases) {
        EXPECT_EQ(judge_revision(readable, "N4R2", after, waits), outcome)
            << after << " readable " << readable << " waits " << waits;
    }
}

} // namespace
