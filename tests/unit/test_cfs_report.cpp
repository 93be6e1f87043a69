// The lines written for the CFS codes, as both dl_cor_fw and cfs_tool write them.
#include "cfs/cfs.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

struct report_case {
    bool lookup; // cfs_report_lookup_error, else cfs_report_load_error
    int code;
    const char *line;
};

TEST(CfsReport, EachCodeHasItsLine) {
    const report_case cases[] = {
        {false, CFS_ERR_OPEN, "Could not open map.cfs\n"},
        {false, CFS_ERR_NOMEM, "Cannot allocate memory\n"},
        {false, CFS_ERR_READ, "Could not read map.cfs\n"},
        {false, CFS_ERR_DECRYPT, "Could not decrypt map.cfs\n"},
        {false, CFS_ERR_SYNTAX, "Unknown error\n"},
        {false, CFS_OK, "Unknown error\n"},
        {true, CFS_ERR_NOMEM, "Cannot allocate memory\n"},
        {true, CFS_ERR_SYNTAX, "Syntax error in map.cfs\n"},
        {true, CFS_NO_MATCH, "/dev/sg1 does not match any entries in map.cfs\n"},
        {true, CFS_UP_TO_DATE, "The firmware on /dev/sg1 is up to date\n"},
        {true, CFS_ERR_OPEN, "Unknown error\n"},
        {true, CFS_ERR_DECRYPT, "Unknown error\n"},
        {true, 8, "Unknown error\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.code) + (c.lookup ? " lookup" : " load"));
        ::testing::internal::CaptureStderr();
        errno = ENOMEM;
        if (c.lookup) {
            cfs_report_lookup_error(c.code, "map.cfs", "/dev/sg1");
        } else {
            cfs_report_load_error(c.code, "map.cfs");
        }
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.line);
    }
}

} // namespace
