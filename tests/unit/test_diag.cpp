// The diagnostics printers: exact lines for the status, sense key and ASC/ASCQ names.
#include "sg/diag.h"
#include "sg/sg_io.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

template <typename F> std::string printed(F &&f) {
    testing::internal::CaptureStdout();
    f();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(ScsiStatus, NamesFourValuesAndNothingElse) {
    EXPECT_EQ(printed([] { print_scsi_status(0x01); }), "CHECK CONDITION\n");
    EXPECT_EQ(printed([] { print_scsi_status(0x04); }), "BUSY\n");
    EXPECT_EQ(printed([] { print_scsi_status(0x11); }), "COMMAND TERMINATED\n");
    EXPECT_EQ(printed([] { print_scsi_status(0x14); }), "QUEUE FULL\n");
    EXPECT_EQ(printed([] { print_scsi_status(0x00); }), "");
    EXPECT_EQ(printed([] { print_scsi_status(0x02); }), "");
}

TEST(SenseKey, NamesAndAscLine) {
    EXPECT_EQ(printed([] { print_sense_key(0x8, 0x00, 0x00); }),
              "BLACK CHECK\nACQ: 0x0\tASCQ: 0x0\n");
    EXPECT_EQ(printed([] { print_sense_key(0x25, 0x20, 0x00); }),
              "ILLEGAL REQUEST\nACQ: 0x20\tASCQ: 0x0\nINVALID COMMAND OPERATION CODE\n");
    EXPECT_EQ(printed([] { print_sense_key(0xE, 0x3F, 0x16); }),
              "UNKNOWN SENSE KEY 0xe\nACQ: 0x3f\tASCQ: 0x16\n");
    EXPECT_EQ(printed([] { print_sense_key(0xB, 0x00, 0x00); }),
              "ABORTED COMMAND\nACQ: 0x0\tASCQ: 0x0\n");
    EXPECT_EQ(printed([] { print_sense_key(0xC, 0x00, 0x00); }),
              "UNKNOWN SENSE KEY 0xc\nACQ: 0x0\tASCQ: 0x0\n");
}

TEST(AscAscq, TwoNamedPairs) {
    EXPECT_EQ(printed([] { print_asc_ascq(0x24, 0x00); }),
              "ACQ: 0x24\tASCQ: 0x0\nINVALID FIELD IN CDB\n");
    EXPECT_EQ(printed([] { print_asc_ascq(0x24, 0x01); }), "ACQ: 0x24\tASCQ: 0x1\n");
}

TEST(DumpSenseBytes, HeadingAndOneLinePerByte) {
    const uint8_t bytes[] = {0x70, 0x00, 0x0b};
    EXPECT_EQ(printed([&] { dump_sense_bytes(bytes, 3); }),
              " OFFSET\tVALUE\n [0x0]\t0x70\n [0x1]\t0x0\n [0x2]\t0xb\n");
    EXPECT_EQ(printed([&] { dump_sense_bytes(bytes, 0); }), " OFFSET\tVALUE\n");
    EXPECT_EQ(printed([&] { dump_sense_bytes(bytes, -4); }), " OFFSET\tVALUE\n");
}

TEST(IoHeaderDump, FieldLinesInOrder) {
    sg_io_hdr_t hdr{};
    hdr.interface_id = 'S';
    hdr.dxfer_direction = SG_DXFER_TO_DEV;
    hdr.cmd_len = 10;
    hdr.timeout = 120000;
    hdr.resid = -1;
    std::string out = printed([&] { print_io_hdr(&hdr); });
    EXPECT_EQ(out.rfind("\nprint_io_hdr: ", 0), 0u);
    EXPECT_NE(out.find("\n---------------------------------\ntype int interface_id 83\n"
                       "type int  dxfer_direction -2\ntype unsigned char cmd_len 0xa\n"),
              std::string::npos);
    EXPECT_NE(out.find("type unsigned int timeout 120000\n"), std::string::npos);
    EXPECT_NE(out.find("type int resid -1\ntype unsigned int duration 0\n"
                       "type unsigned int info 0x0\n-----------------------------------------\n"),
              std::string::npos);
}

TEST(CommandDiagnostics, CheckConditionWithSense) {
    uint8_t sense[32] = {0x70, 0x00, 0x05, 0, 0, 0, 0, 0x0a, 0, 0, 0, 0, 0x20, 0x00};
    sg_io_hdr_t hdr{};
    hdr.info = SG_INFO_CHECK;
    hdr.masked_status = 0x01;
    hdr.driver_status = 0x08;
    SgRequest req{};
    req.sense_len = 18;
    req.sense_format = 0x70;
    req.sense_key = 0x5;
    req.asc = 0x20;
    EXPECT_EQ(printed([&] { print_command_diagnostics(&hdr, &req, sense); }),
              "format x70, sense x5, acq x20, ascq x0\n"
              " info 0x1\n masked_status 0x1\n msg_status 0x0\n host_status 0x0\n"
              " driver_status 0x8\nCHECK CONDITION\nILLEGAL REQUEST\n"
              "ACQ: 0x20\tASCQ: 0x0\nINVALID COMMAND OPERATION CODE\n");
}

TEST(CommandDiagnostics, SuccessAndTimeout) {
    uint8_t sense[32] = {};
    sg_io_hdr_t hdr{};
    SgRequest req{};
    EXPECT_EQ(printed([&] { print_command_diagnostics(&hdr, &req, sense); }),
              " No Sense data returned\n");
    hdr.host_status = 0x03;
    EXPECT_EQ(printed([&] { print_command_diagnostics(&hdr, &req, sense); }),
              " No Sense data returned\n info 0x0\n masked_status 0x0\n msg_status 0x0\n"
              " host_status 0x3\n driver_status 0x0\n");
    hdr.host_status = 0;
    hdr.masked_status = 0x04; // any one word alone
    EXPECT_EQ(printed([&] { print_command_diagnostics(&hdr, &req, sense); }),
              " No Sense data returned\n info 0x0\n masked_status 0x4\n msg_status 0x0\n"
              " host_status 0x0\n driver_status 0x0\nBUSY\n");
}

TEST(CommandDiagnostics, InvalidResponseCodeLine) {
    uint8_t sense[32] = {0x7E, 1, 2, 3, 4, 5};
    sg_io_hdr_t hdr{};
    SgRequest req{};
    req.sense_len = 6;
    req.sense_format = 0x7E;
    EXPECT_EQ(printed([&] { print_command_diagnostics(&hdr, &req, sense); }),
              "Invalid RESPONSE CODE 0x7e in SENSE data 0x1 0x2 0x3 0x4 0x5\n"
              "format x7e, sense x0, acq x0, ascq x0\n");
}

// send_io's own printing at each --debug level, on a descriptor that refuses SG_IO: the
// command's diagnostics from level 1, the header and sense dumps only from level 2.
TEST(SendIoDebug, DumpsOnlyFromLevelTwo) {
    const struct {
        int level;
        bool dumps;
    } cases[] = {{1, false}, {2, true}};
    int before = debug_level;
    FILE *null = fopen("/dev/null", "r");
    ASSERT_NE(null, nullptr);
    for (const auto &c : cases) {
        debug_level = c.level;
        uint8_t cdb[6] = {0x12, 0, 0, 0, 96, 0};
        uint8_t data[96] = {};
        SgRequest req{};
        req.fd = fileno(null);
        req.cdb = cdb;
        req.cdb_len = 6;
        req.direction = -3;
        req.data = data;
        req.data_len = sizeof data;
        req.debug = 1;
        testing::internal::CaptureStderr();
        std::string out = printed([&] { EXPECT_EQ(send_io(&req), -1); });
        testing::internal::GetCapturedStderr();
        EXPECT_NE(out.find(" No Sense data returned\n"), std::string::npos) << c.level;
        EXPECT_EQ(out.find("\nprint_io_hdr: ") != std::string::npos, c.dumps) << c.level;
        EXPECT_EQ(out.find(" OFFSET\tVALUE\n") != std::string::npos, c.dumps) << c.level;
    }
    fclose(null);
    debug_level = before;
}

} // namespace
