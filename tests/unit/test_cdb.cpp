// The CDBs of the identification commands and of the reads of a drive's statements, as the
// captures of the real stack show them.
#include "sg/cdb.h"

#include "hex_fixture.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes cdb_of(void (*fill)(uint8_t *)) {
    Bytes cdb(ATA_PASS_THROUGH_12_CDB_LEN, 0xFF);
    fill(cdb.data());
    return cdb;
}

TEST(InquiryCdb, AllocationLengthAndPage) {
    struct Case {
        int len;
        uint8_t page;
        Bytes cdb;
    };
    const Case cases[] = {
        {96, 0x00, {0x12, 0x00, 0x00, 0x00, 0x60, 0x00}},
        {96, 0x80, {0x12, 0x01, 0x80, 0x00, 0x60, 0x00}},
        {300, 0x00, {0x12, 0x00, 0x00, 0x00, 0x2C, 0x00}}, // 300 modulo 256
        {255, 0x83, {0x12, 0x01, 0x83, 0x00, 0xFF, 0x00}},
        {256, 0x80, {0x12, 0x01, 0x80, 0x00, 0x00, 0x00}},
    };
    for (const auto &c : cases) {
        Bytes cdb(INQUIRY_CDB_LEN, 0xFF);
        build_inquiry_cdb(cdb.data(), c.len, c.page);
        EXPECT_EQ(cdb, c.cdb) << "len " << c.len << " page " << int(c.page);
    }
}

TEST(InquiryCdb, MatchesTheCapturedCommands) {
    Bytes cdb(INQUIRY_CDB_LEN);
    build_inquiry_cdb(cdb.data(), 96, 0);
    EXPECT_EQ(cdb, load_hex_fixture("inquiry_std_sg0.hex").cdb);
    build_inquiry_cdb(cdb.data(), 96, 0x80);
    EXPECT_EQ(cdb, load_hex_fixture("inquiry_vpd80_sg1.hex").cdb);
}

TEST(IdentifyCdb, IdentifyAndTheTwoFirmwareRequests) {
    EXPECT_EQ(cdb_of(build_identify_cdb),
              (Bytes{0xA1, 0x08, 0x2A, 0x00, 0x01, 0x00, 0x00, 0x00, 0x40, 0xEC, 0x00, 0x00}));
    EXPECT_EQ(cdb_of([](uint8_t *c) { build_fw_request_cdb(c, FW_REQUEST_DOTTED); }),
              (Bytes{0xA1, 0x08, 0x2A, 0x0B, 0x01, 0xDB, 0x97, 0x20, 0x40, 0xEC, 0x00, 0x00}));
    EXPECT_EQ(cdb_of([](uint8_t *c) { build_fw_request_cdb(c, FW_REQUEST_PLAIN); }),
              (Bytes{0xA1, 0x08, 0x2A, 0x00, 0x01, 0xDB, 0x97, 0x20, 0x40, 0xEC, 0x00, 0x00}));
}

TEST(IdentifyCdb, MatchesTheCapturedCommands) {
    EXPECT_EQ(cdb_of(build_identify_cdb), load_hex_fixture("identify_ckcond_sg0.hex").cdb);
    Bytes cdb(ATA_PASS_THROUGH_12_CDB_LEN);
    build_fw_request_cdb(cdb.data(), FW_REQUEST_DOTTED);
    EXPECT_EQ(cdb, load_hex_fixture("fwreq_dotted_sg0.hex").cdb);
    build_fw_request_cdb(cdb.data(), FW_REQUEST_PLAIN);
    EXPECT_EQ(cdb, load_hex_fixture("fwreq_plain_sg0.hex").cdb);
}

TEST(CapabilityReads, Cdbs) {
    uint8_t cdb[MAX_CDB_LEN];
    ASSERT_EQ(build_ata_command_cdb(cdb, read_log_ext_taskfile(0x30, 0x03)), 16);
    EXPECT_EQ(Bytes(cdb, cdb + 16), (Bytes{0x85, 0x09, 0x2E, 0x00, 0x00, 0x00, 0x01, 0x00, 0x30,
                                           0x00, 0x03, 0x00, 0x00, 0x00, 0x2F, 0x00}));
    build_ata_command_cdb(cdb, read_log_ext_taskfile(0x30, 0x0103)); // page (15:8) in LBA (39:32)
    EXPECT_EQ(cdb[9], 0x01);
    EXPECT_EQ(cdb[10], 0x03);
    build_read_buffer_descriptor_cdb(cdb);
    EXPECT_EQ(Bytes(cdb, cdb + 10),
              (Bytes{0x3C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00}));
}

} // namespace
