// The judgement of the revision read again after a download, for --verify and the CFS run.
#include "cli/verify.h"

#include "listing/record.h"

#include <gtest/gtest.h>

namespace {

TEST(JudgeRevision, ChangedUnchangedPendingUnreadable) {
    struct Case {
        bool readable;
        const char *after;
        bool waits_for_reset;
        int outcome;
    };
    const Case cases[] = {
        {true, "N5R0", false, OUTCOME_UPDATED},
        {true, "N5R0", true, OUTCOME_UPDATED}, // a changed revision needs no reset
        {true, "N4R2", false, OUTCOME_UNCHANGED},
        {true, "N4R2", true, OUTCOME_PENDING},
        {true, "N4R", false, OUTCOME_UPDATED}, // a prefix is another revision
        {true, "", false, OUTCOME_UPDATED},
        {false, "N4R2", false, OUTCOME_UNVERIFIED}, // an unread buffer is never compared
        {false, "N4R2", true, OUTCOME_UNVERIFIED},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(judge_revision(c.readable, "N4R2", c.after, c.waits_for_reset), c.outcome)
            << c.after << " readable " << c.readable << " waits " << c.waits_for_reset;
    }
}

} // namespace
