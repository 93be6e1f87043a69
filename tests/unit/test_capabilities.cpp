// The commands that read a drive's statements: their CDBs.
#include "sg/capabilities.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(CapabilityReads, Cdbs) {
    uint8_t cdb[16];
    build_read_log_ext_cdb(cdb, 0x30, 0x03);
    EXPECT_EQ(Bytes(cdb, cdb + 16), (Bytes{0x85, 0x09, 0x2E, 0x00, 0x00, 0x00, 0x01, 0x00, 0x30,
                                           0x00, 0x03, 0x00, 0x00, 0x00, 0x2F, 0x00}));
    build_read_log_ext_cdb(cdb, 0x30, 0x0103); // page (15:8) in LBA (39:32)
    EXPECT_EQ(cdb[9], 0x01);
    EXPECT_EQ(cdb[10], 0x03);
    build_read_buffer_descriptor_cdb(cdb);
    EXPECT_EQ(Bytes(cdb, cdb + 10),
              (Bytes{0x3C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00}));
}

} // namespace
