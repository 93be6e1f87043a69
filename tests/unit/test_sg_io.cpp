// The pure halves of send_io: the header it builds and what it writes back into a request.

#include "sg/sg_io.h"

#include <gtest/gtest.h>
#include <scsi/sg.h>

#include <cstring>

namespace {

TEST(Direction, SmallCodesAndDriverValues) {
    const struct {
        int8_t code;
        int expected;
    } table[] = {
        {0, SG_DXFER_NONE},
        {-1, SG_DXFER_NONE},
        {1, SG_DXFER_FROM_DEV},
        {-3, SG_DXFER_FROM_DEV},
        {2, SG_DXFER_TO_DEV},
        {-2, SG_DXFER_TO_DEV},
        {-4, SG_DXFER_TO_FROM_DEV},
        {3, 0},
        {-5, 0},
        {127, 0},
        {-128, 0},
    };
    for (const auto &row : table) {
        EXPECT_EQ(map_direction(row.code), row.expected) << "direction " << int(row.code);
    }
    SgRequest req{};
    req.direction = 3; // refused before the driver sees it
    testing::internal::CaptureStdout();
    EXPECT_EQ(send_io(&req), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "send_io Didn't understand direction\n");
}

TEST(IoHeader, FieldsOfTheRequestAndDefaultTimeout) {
    uint8_t cdb[6] = {0x12, 0, 0, 0, 0x60, 0};
    uint8_t data[96];
    uint8_t sense[SG_SENSE_LEN];
    SgRequest req{};
    req.fd = 3;
    req.cdb = cdb;
    req.cdb_len = 6;
    req.direction = -3;
    req.data = data;
    req.data_len = 96;
    sg_io_hdr_t hdr;
    memset(&hdr, 0xAA, sizeof hdr);
    fill_io_hdr(&hdr, &req, SG_DXFER_FROM_DEV, sense);
    EXPECT_EQ(hdr.interface_id, 'S');
    EXPECT_EQ(hdr.dxfer_direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(hdr.cmd_len, 6);
    EXPECT_EQ(hdr.mx_sb_len, 32);
    EXPECT_EQ(hdr.iovec_count, 0);
    EXPECT_EQ(hdr.dxfer_len, 96u);
    EXPECT_EQ(hdr.dxferp, data);
    EXPECT_EQ(hdr.cmdp, cdb);
    EXPECT_EQ(hdr.sbp, sense);
    EXPECT_EQ(hdr.timeout, 5000u);
    EXPECT_EQ(hdr.flags, 0u);
    EXPECT_EQ(hdr.pack_id, 0);
    EXPECT_EQ(hdr.usr_ptr, nullptr);
    EXPECT_EQ(hdr.status, 0);
    EXPECT_EQ(hdr.sb_len_wr, 0);

    req.timeout_ms = 120000;
    fill_io_hdr(&hdr, &req, SG_DXFER_FROM_DEV, sense);
    EXPECT_EQ(hdr.timeout, 120000u);
}

// A finished command as the driver hands it back.
struct Finished {
    sg_io_hdr_t hdr{};
    uint8_t sense[SG_SENSE_LEN] = {};
    Finished(std::initializer_list<uint8_t> bytes, uint8_t masked, uint16_t host, uint16_t driver,
             int resid) {
        size_t i = 0;
        for (uint8_t b : bytes) {
            sense[i++] = b;
        }
        hdr.sb_len_wr = static_cast<uint8_t>(bytes.size());
        hdr.masked_status = masked;
        hdr.host_status = host;
        hdr.driver_status = driver;
        hdr.resid = resid;
        hdr.info = bytes.size() != 0 ? SG_INFO_CHECK : 0;
    }
};

SgRequest request_for(uint8_t *cdb, uint8_t len) {
    SgRequest req{};
    req.cdb = cdb;
    req.cdb_len = len;
    return req;
}

TEST(IoResult, StatusWordsAreWrittenAfterEveryCommand) {
    uint8_t cdb[10] = {0x3B, 0x07};
    SgRequest req = request_for(cdb, 10);
    Finished timed_out({}, 0x00, 0x03, 0x00, 0);
    apply_io_result(&req, &timed_out.hdr, timed_out.sense);
    EXPECT_EQ(req.status, 0);
    EXPECT_EQ(req.host_status, 3);
    EXPECT_EQ(req.driver_status, 0);
    EXPECT_EQ(req.sense_len, 0);
    EXPECT_EQ(req.info, 0u);

    Finished busy({}, 0x04, 0, 0, 512);
    apply_io_result(&req, &busy.hdr, busy.sense);
    EXPECT_EQ(req.status, 0x04);
    EXPECT_EQ(req.host_status, 0);
    EXPECT_EQ(req.resid, 512);
}

TEST(IoResult, NoSenseKeepsEarlierSenseFieldsButClearsRegisterValidity) {
    uint8_t cdb[12] = {0xA1, 0x0A, 0x26, 0x03};
    SgRequest req = request_for(cdb, 12);
    Finished ok({0x72, 0x01, 0x00, 0x1d, 0x00, 0x00, 0x00, 0x0e, 0x09, 0x0c, 0x00,
                 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x50},
                0x01, 0, 0x08, 0);
    apply_io_result(&req, &ok.hdr, ok.sense);
    EXPECT_TRUE(req.sense.has_ata);
    EXPECT_EQ(req.sense_format, 0x72);
    EXPECT_EQ(req.sense_key, 0x1);
    EXPECT_EQ(req.ascq, 0x1D);
    EXPECT_EQ(req.ata_status, 0x50);
    EXPECT_EQ(req.ata_device, 0x40);

    // The next command comes back without sense: the earlier values stay where they were,
    // but nothing claims that this command returned registers.
    Finished silent({}, 0, 0, 0, 7);
    apply_io_result(&req, &silent.hdr, silent.sense);
    EXPECT_FALSE(req.sense.has_ata);
    EXPECT_EQ(req.sense_format, 0x72);
    EXPECT_EQ(req.sense_key, 0x1);
    EXPECT_EQ(req.ata_status, 0x50);
    EXPECT_EQ(req.resid, 7);
}

TEST(IoResult, UndecodableSenseWritesOnlyTheFormat) {
    uint8_t cdb[10] = {0x3B, 0x05};
    SgRequest req = request_for(cdb, 10);
    req.sense_key = 0x9;
    req.asc = 0x42;
    Finished odd({0x7E, 0x05, 0x24}, 0x01, 0, 0x08, 0);
    apply_io_result(&req, &odd.hdr, odd.sense);
    EXPECT_EQ(req.sense_format, 0x7E);
    EXPECT_EQ(req.sense_key, 0x9);
    EXPECT_EQ(req.asc, 0x42);
    EXPECT_FALSE(req.sense.has_ata);
}

TEST(IoResult, ValidBitFixedSenseCarriesItsKey) {
    // A WRITE BUFFER refused with F0h sense must not keep sense key 0.
    uint8_t cdb[10] = {0x3B, 0x05};
    SgRequest req = request_for(cdb, 10);
    Finished refused({0xF0, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00, 0x00, 0x00, 0x00, 0x26,
                      0x00, 0x00, 0x00, 0x00, 0x00},
                     0x01, 0, 0x08, 0);
    apply_io_result(&req, &refused.hdr, refused.sense);
    EXPECT_EQ(req.sense_format, 0xF0);
    EXPECT_EQ(req.sense_key, 0x5);
    EXPECT_EQ(req.asc, 0x26);
}

TEST(IoResult, SenseLengthIsClampedToTheArea) {
    uint8_t cdb[12] = {0xA1};
    SgRequest req = request_for(cdb, 12);
    Finished f({0x70, 0x00, 0x0b}, 0x01, 0, 0x08, 0);
    f.hdr.sb_len_wr = 200;
    apply_io_result(&req, &f.hdr, f.sense);
    EXPECT_EQ(req.sense_len, SG_SENSE_LEN);
    EXPECT_EQ(req.sense_key, 0xB);
}

} // namespace
