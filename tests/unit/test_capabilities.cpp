// The commands that read a drive's statements: their CDBs, and the buffers of a command
// that got no answer.
#include "sg/capabilities.h"

#include <gtest/gtest.h>

#include <cstring>
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

TEST(CapabilityReads, NoAnswerLeavesNothingStated) {
    uint8_t page[ATA_LOG_PAGE_LEN];
    uint8_t desc[READ_BUFFER_DESCRIPTOR_LEN];
    std::memset(page, 0xEE, sizeof page);
    std::memset(desc, 0xEE, sizeof desc);
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_capabilities_page(-1, page), Reply::lost);
    EXPECT_EQ(read_buffer_descriptor(-1, desc), Reply::lost);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(Bytes(page, page + sizeof page), Bytes(sizeof page, 0));
    EXPECT_EQ(Bytes(desc, desc + sizeof desc), Bytes(sizeof desc, 0));
}

} // namespace
