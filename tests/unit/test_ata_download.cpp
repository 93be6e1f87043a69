// DOWNLOAD MICROCODE through ATA PASS-THROUGH (12): the CDBs and segment plans of the worked
// examples, the image-size checks, the judgement of a finished command (the real stack's
// answers among them), the trace and the failure output with its order across the streams.
#include "download/download.h"
#include "download/sender.h"
#include "download/statements.h"
#include "finished_command.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t MiB = 1024 * 1024;

struct Expected {
    uint32_t offset;
    uint32_t length;
    bool final_piece;
    Bytes cdb;
};

Bytes ata_cdb(uint8_t features, uint8_t count_lo, uint8_t count_hi, uint8_t off_lo,
              uint8_t off_hi) {
    return {0xA1, 0x0A, 0x26, features, count_lo, count_hi, off_lo, off_hi, 0x00, 0x92, 0x00, 0x00};
}

TEST(AtaDownloadPlan, WorkedExamplesAndBoundaries) {
    const struct {
        const char *what;
        uint8_t subcommand;
        uint16_t blocks;
        uint32_t length;
        std::vector<Expected> commands;
    } table[] = {
        {"69,632 bytes, subcommand 03h, 64 blocks",
         0x03,
         64,
         69632,
         {{0,
           32768,
           false,
           {0xA1, 0x0A, 0x26, 0x03, 0x40, 0x00, 0x00, 0x00, 0x00, 0x92, 0x00, 0x00}},
          {32768,
           32768,
           false,
           {0xA1, 0x0A, 0x26, 0x03, 0x40, 0x00, 0x40, 0x00, 0x00, 0x92, 0x00, 0x00}},
          {65536,
           4096,
           true,
           {0xA1, 0x0A, 0x26, 0x03, 0x08, 0x00, 0x80, 0x00, 0x00, 0x92, 0x00, 0x00}}}},
        {"subcommand 0Eh stages in segments as 03h sends them",
         0x0E,
         64,
         69632,
         {{0, 32768, false, ata_cdb(0x0E, 0x40, 0x00, 0x00, 0x00)},
          {32768, 32768, false, ata_cdb(0x0E, 0x40, 0x00, 0x40, 0x00)},
          {65536, 4096, true, ata_cdb(0x0E, 0x08, 0x00, 0x80, 0x00)}}},
        {"the same image, subcommand 07h",
         0x07,
         0,
         69632,
         {{0,
           69632,
           false,
           {0xA1, 0x0A, 0x26, 0x07, 0x88, 0x00, 0x00, 0x00, 0x00, 0x92, 0x00, 0x00}}}},
        {"subcommand 03h with 0 blocks is sized like 07h",
         0x03,
         0,
         69632,
         {{0, 69632, false, ata_cdb(0x03, 0x88, 0x00, 0x00, 0x00)}}},
        {"subcommand 07h ignores blocks per segment",
         0x07,
         64,
         69632,
         {{0, 69632, false, ata_cdb(0x07, 0x88, 0x00, 0x00, 0x00)}}},
        {"10 MiB, subcommand 07h",
         0x07,
         0,
         10485760,
         {{0,
           8388608,
           false,
           {0xA1, 0x0A, 0x26, 0x07, 0x00, 0x40, 0x00, 0x00, 0x00, 0x92, 0x00, 0x00}},
          {8388608,
           2097152,
           true,
           {0xA1, 0x0A, 0x26, 0x07, 0x00, 0x10, 0x00, 0x40, 0x00, 0x92, 0x00, 0x00}}}},
        {"shorter than one segment",
         0x03,
         64,
         4096,
         {{0, 4096, true, ata_cdb(0x03, 0x08, 0x00, 0x00, 0x00)}}},
        {"an exact multiple of the segment",
         0x03,
         64,
         65536,
         {{0, 32768, false, ata_cdb(0x03, 0x40, 0x00, 0x00, 0x00)},
          {32768, 32768, false, ata_cdb(0x03, 0x40, 0x00, 0x40, 0x00)}}},
        {"255 blocks, segments of 130,560 bytes",
         0x03,
         255,
         391680,
         {{0, 130560, false, ata_cdb(0x03, 0xFF, 0x00, 0x00, 0x00)},
          {130560, 130560, false, ata_cdb(0x03, 0xFF, 0x00, 0xFF, 0x00)},
          {261120, 130560, false, ata_cdb(0x03, 0xFF, 0x00, 0xFE, 0x01)}}},
        {"8 MiB - 512, subcommand 07h",
         0x07,
         0,
         8 * MiB - 512,
         {{0, 8 * MiB - 512, false, ata_cdb(0x07, 0xFF, 0x3F, 0x00, 0x00)}}},
        {"exactly 8 MiB, subcommand 07h",
         0x07,
         0,
         8 * MiB,
         {{0, 8 * MiB, false, ata_cdb(0x07, 0x00, 0x40, 0x00, 0x00)}}},
        {"8 MiB + 512, subcommand 07h",
         0x07,
         0,
         8 * MiB + 512,
         {{0, 8 * MiB, false, ata_cdb(0x07, 0x00, 0x40, 0x00, 0x00)},
          {8 * MiB, 512, true, ata_cdb(0x07, 0x01, 0x00, 0x00, 0x40)}}},
        {"1,000 bytes with subcommand 07h: one command, block count rounded down",
         0x07,
         0,
         1000,
         {{0, 1000, false, ata_cdb(0x07, 0x01, 0x00, 0x00, 0x00)}}},
        {"a final piece of 488 bytes has block count 0",
         0x03,
         1,
         1000,
         {{0, 512, false, ata_cdb(0x03, 0x01, 0x00, 0x00, 0x00)},
          {512, 488, true, ata_cdb(0x03, 0x00, 0x00, 0x01, 0x00)}}},
    };
    for (const auto &row : table) {
        auto plan = plan_ata_download(row.subcommand, row.blocks, row.length);
        ASSERT_EQ(plan.size(), row.commands.size()) << row.what;
        for (size_t i = 0; i < plan.size(); ++i) {
            SCOPED_TRACE(std::string(row.what) + ", command " + std::to_string(i + 1));
            EXPECT_EQ(plan[i].offset, row.commands[i].offset);
            EXPECT_EQ(plan[i].length, row.commands[i].length);
            EXPECT_EQ(plan[i].final_piece, row.commands[i].final_piece);
            ASSERT_EQ(plan[i].cdb_len, 12);
            EXPECT_EQ(Bytes(plan[i].cdb, plan[i].cdb + 12), row.commands[i].cdb);
        }
    }
}

// Subcommand 0Fh activates what 0Eh staged: a non-data command (protocol 3, T_LENGTH 0)
// with FEATURES 0Fh and nothing else.
TEST(AtaDownloadActivation, SubcommandFifteenIsNonData) {
    auto plan =
        plan_commands(plan_for_run(SENDER_ATA_PASSTHROUGH, DownloadGoal::activate, 0, {}, 0));
    ASSERT_EQ(plan.size(), 1u);
    ASSERT_EQ(plan[0].cdb_len, 12);
    EXPECT_EQ(plan[0].length, 0u);
    EXPECT_EQ(Bytes(plan[0].cdb, plan[0].cdb + 12),
              (Bytes{0xA1, 0x06, 0x20, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x92, 0x00, 0x00}));
}

TEST(AtaDownloadPlan, LargestImageEndsAtTheLastAddressableBlock) {
    // 32 MiB = 65,536 blocks: 257 segments of 255 blocks, then one block at block 65,535.
    auto plan = plan_ata_download(0x03, 255, 32 * MiB);
    ASSERT_EQ(plan.size(), 258u);
    EXPECT_EQ(Bytes(plan.back().cdb, plan.back().cdb + 12), ata_cdb(0x03, 0x01, 0x00, 0xFF, 0xFF));
    EXPECT_EQ(plan.back().offset, 32 * MiB - 512);
}

TEST(AtaDownloadImageCheck, RefusesWhatCannotBeSentIntact) {
    const struct {
        uint8_t subcommand;
        uint32_t length;
        bool refused;
    } table[] = {
        {0x07, 512, false},           {0x07, 8 * MiB, false},
        {0x07, 8 * MiB + 512, true},  {0x07, 10485760, true},
        {0x03, 10485760, false},      {0x03, 32 * MiB, false},
        {0x03, 32 * MiB + 512, true}, {0x03, 1000, true},
        {0x07, 1000, true},           {0x03, 511, true},
        {0x03, 69632, false},
    };
    for (const auto &row : table) {
        Refusal r = check_ata_image(row.subcommand, row.length);
        EXPECT_EQ(r.refused, row.refused)
            << "subcommand " << int(row.subcommand) << " length " << row.length << ": " << r.reason;
        EXPECT_EQ(r.reason[0] != '\0', row.refused);
    }
    EXPECT_STREQ(check_ata_image(0x03, 1000).reason,
                 "image of 1000 bytes is not a whole number of 512-byte blocks; nothing sent");
    EXPECT_STREQ(check_ata_image(0x03, 32 * MiB + 512).reason,
                 "image of 33554944 bytes is longer than the 33554432 bytes that a 16-bit "
                 "block offset can address; nothing sent");
    EXPECT_STREQ(check_ata_image(0x07, 10485760).reason,
                 "image of 10485760 bytes is longer than the 8388608 bytes that subcommand 0x7 "
                 "sends in one command; give a segment count to send it with offsets; nothing "
                 "sent");
}

// libata 6.1 aborting DOWNLOAD MICROCODE: fixed format, registers at bytes 8-11.
const Bytes k_aborted_download = {0x70, 0x00, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x04,
                                  0x41, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
// ATA PASS-THROUGH sent to a SCSI disk: ILLEGAL REQUEST 20h/00h, no registers.
const Bytes k_not_ata = {0x70, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00,
                         0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00};
// ABORTED COMMAND in fixed format without any registers.
const Bytes k_aborted_bare = {0x70, 0x00, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00,
                              0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
// ABORTED COMMAND whose registers show no error (status 58h, as QEMU ends a PIO transfer).
const Bytes k_aborted_quiet = {0x70, 0x00, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00,
                               0x58, 0x40, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

TEST(AtaDownloadJudgement, EveryWordOfTheAnswerCounts) {
    const Answer table[] = {
        {"success with CK_COND", 0, 0x01, 0, 0x08, 0, ata_return(0x1, 0x00, 0x1d, 0x00, 0x50, 0x08),
         false, nullptr},
        {"success, NO SENSE", 0, 0x01, 0, 0x08, 0, ata_return(0x0, 0x00, 0x00, 0x00, 0x50, 0x08),
         false, nullptr},
        {"transport failure", -1, 0x00, 0, 0, 0, {}, true, nullptr},
        {"ATA error in the descriptor", 0, 0x01, 0, 0x08, 0,
         ata_return(0x1, 0x00, 0x1d, 0x04, 0x51, 0x08), true, nullptr},
        {"aborted DOWNLOAD MICROCODE (libata 6.1)", 0, 0x01, 0, 0x08, 0, k_aborted_download, true,
         nullptr},
        {"pass-through to a SCSI drive", 0, 0x01, 0, 0x08, 0, k_not_ata, true,
         "no ATA status returned; the device may not support ATA PASS-THROUGH"},
        {"time-out", 0, 0x00, 0x03, 0, 0, {}, true, "command timed out"},
        {"GOOD without sense",
         0,
         0x00,
         0,
         0,
         0,
         {},
         true,
         "no ATA status returned; the device may not support ATA PASS-THROUGH"},
        {"aborted without registers", 0, 0x01, 0, 0x08, 0, k_aborted_bare, true,
         "sense key 0xb (ABORTED COMMAND), ASC 0x0 ASCQ 0x0"},
        {"aborted, registers clean", 0, 0x01, 0, 0x08, 0, k_aborted_quiet, true,
         "sense key 0xb (ABORTED COMMAND), ASC 0x0 ASCQ 0x0"},
        {"ERR without an error code", 0, 0x01, 0, 0x08, 0,
         ata_return(0x1, 0x00, 0x1d, 0x00, 0x51, 0x08), true, "ATA status 0x51 has ERR set"},
        {"device fault", 0, 0x01, 0, 0x08, 0, ata_return(0x1, 0x00, 0x1d, 0x00, 0x70, 0x08), true,
         "ATA status 0x70 has DF set"},
        {"still busy", 0, 0x01, 0, 0x08, 0, ata_return(0x1, 0x00, 0x1d, 0x00, 0xD0, 0x08), true,
         "ATA status 0xd0 has BSY set"},
        {"not ready with clean registers", 0, 0x01, 0, 0x08, 0,
         ata_return(0x2, 0x04, 0x00, 0x00, 0x50, 0x08), true,
         "sense key 0x2 (NOT READY), ASC 0x4 ASCQ 0x0"},
        {"host error", 0, 0x01, 0x07, 0x08, 0, ata_return(0x1, 0x00, 0x1d, 0x00, 0x50, 0x08), true,
         "host status 0x7 (DID_ERROR)"},
        {"driver error", 0, 0x01, 0, 0x04, 0, ata_return(0x1, 0x00, 0x1d, 0x00, 0x50, 0x08), true,
         "driver status 0x4"},
        {"BUSY", 0, 0x04, 0, 0, 0, {}, true, "SCSI status 0x4 (BUSY)"},
        {"nothing transferred", 0, 0x01, 0, 0x08, 4096,
         ata_return(0x1, 0x00, 0x1d, 0x00, 0x50, 0x08), true,
         "4096 of the command's 4096 bytes were not transferred"},
        {"a block short", 0, 0x01, 0, 0x08, 512, ata_return(0x1, 0x00, 0x1d, 0x00, 0x50, 0x08),
         true, "512 of the command's 4096 bytes were not transferred"},
        {"a byte short", 0, 0x01, 0, 0x08, 1, ata_return(0x1, 0x00, 0x1d, 0x00, 0x50, 0x08), true,
         "1 of the command's 4096 bytes were not transferred"},
    };
    for (const Answer &a : table) {
        SCOPED_TRACE(a.what);
        uint8_t cdb[12] = {0xA1, 0x0A, 0x26, 0x07, 0x08, 0x00, 0x00, 0x00, 0x00, 0x92};
        SgRequest req = finished_command(a, cdb, 12, 4096);
        CommandVerdict v = judge_ata_download_command(classify_command(a.send_result, req));
        EXPECT_EQ(v.failed, a.failed);
        EXPECT_EQ(v.explained, a.reason != nullptr);
        EXPECT_STREQ(v.reason, a.reason != nullptr ? a.reason : "");
    }
}

TEST(AtaDownloadJudgement, RegistersOfAnEarlierCommandDoNotCount) {
    // The request is reused across a download: a command that comes back without registers
    // must not pass on the strength of the previous command's clean ones.
    uint8_t cdb[12] = {0xA1, 0x0A, 0x26, 0x03, 0x40};
    SgRequest req = finished_command(
        {"", 0, 0x01, 0, 0x08, 0, ata_return(0x1, 0x00, 0x1d, 0x00, 0x50, 0x08), false, nullptr},
        cdb, 12, 4096);
    ASSERT_FALSE(judge_ata_download_command(classify_command(0, req)).failed);
    sg_io_hdr_t hdr{};
    uint8_t sense[SG_SENSE_LEN] = {};
    apply_io_result(&req, &hdr, sense);
    EXPECT_TRUE(judge_ata_download_command(classify_command(0, req)).failed);
}

// Runs f with standard output and standard error going to one file, as when a user sends
// both to the same place, and returns what arrived there, in order.
template <typename F> std::string interleaved(F &&f) {
    fflush(stdout);
    char path[] = "/tmp/dl_order_XXXXXX";
    int file = mkstemp(path);
    EXPECT_GE(file, 0);
    int saved_out = dup(1);
    int saved_err = dup(2);
    dup2(file, 1);
    dup2(file, 2);
    f();
    fflush(stdout);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    std::string text;
    char buf[512];
    lseek(file, 0, SEEK_SET);
    for (ssize_t n; (n = read(file, buf, sizeof buf)) > 0;) {
        text.append(buf, static_cast<size_t>(n));
    }
    close(file);
    unlink(path);
    return text;
}

TEST(AtaDownloadFailure, AbortedDownloadShowsTheReturnedRegisters) {
    uint8_t cdb[12] = {0xA1, 0x0A, 0x26, 0x07, 0x08, 0x00, 0x00, 0x00, 0x00, 0x92};
    SgRequest req = finished_command({"", 0, 0x01, 0, 0x08, 0, k_aborted_download, true, nullptr},
                                     cdb, 12, 4096);
    CommandVerdict v = judge_ata_download_command(classify_command(0, req));
    Captured c = capture([&] {
        report_download_failure(plan_of(SENDER_ATA_PASSTHROUGH, 7, 0, 512), v,
                                classify_command(0, req).ata, EIO);
    });
    EXPECT_EQ(c.out, "\nATA Ret: Err 0x4, Dev 0x0, Status 0x41\n");
    EXPECT_EQ(c.err, "send_io: Input/output error\n");
}

TEST(AtaDownloadFailure, NewlyCaughtFailureSaysWhyBeforeRegistersAndPerror) {
    uint8_t cdb[12] = {0xA1, 0x0A, 0x26, 0x07, 0x08, 0x00, 0x00, 0x00, 0x00, 0x92};
    SgRequest req =
        finished_command({"", 0, 0x01, 0, 0x08, 0, k_not_ata, true, nullptr}, cdb, 12, 4096);
    CommandVerdict v = judge_ata_download_command(classify_command(0, req));
    // A progress mark still in the stdout buffer must come out before the stderr lines.
    std::string text = interleaved([&] {
        fputs(" . ", stdout);
        report_download_failure(plan_of(SENDER_ATA_PASSTHROUGH, 7, 0, 512), v, {}, 0);
        print_progress_end();
    });
    EXPECT_EQ(text, " . send_ata_passthrough: no ATA status returned; the device may not "
                    "support ATA PASS-THROUGH\n\nATA Ret: Err 0x0, Dev 0x0, Status 0x0\n"
                    "send_io: Success\n !\n");
}

TEST(AtaDownloadTrace, CdbBytesZeroToNineAndTheDataAddress) {
    static uint8_t image[69632];
    DownloadPlan p = plan_of(SENDER_ATA_PASSTHROUGH, 0x03, 64, 69632);
    auto plan = plan_commands(p);
    ASSERT_EQ(plan.size(), 3u);
    char address[16];
    snprintf(address, sizeof address, "%x",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(image + 65536)));
    testing::internal::CaptureStdout();
    print_command_trace(p, plan[2], image);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string("CDB: xa1, xa, x26, x3, x8, x0, x80, x0, x0, x92 pdata 0x") + address +
                  "\n");
}

TEST(AtaDownloadSender, ZeroLengthAndRefusedImagesSendNothing) {
    std::vector<uint8_t> image(32 * MiB + 512);
    int rc = 0;
    Captured empty = capture([&] { rc = send_ata_passthrough(-1, 0x07, 0, image.data(), 0); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(empty.out, "ERROR: Data Length to ATA PASSTHROUGH function cannot be 0\n");
    EXPECT_EQ(empty.err, "");

    const struct {
        uint8_t subcommand;
        uint16_t blocks;
        uint32_t length;
    } table[] = {{0x07, 0, 8 * MiB + 512}, {0x03, 64, 32 * MiB + 512}, {0x03, 64, 1000}};
    for (const auto &row : table) {
        Captured c = capture([&] {
            rc = send_ata_passthrough(-1, row.subcommand, row.blocks, image.data(), row.length);
        });
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(c.out, "");
        EXPECT_EQ(c.err, std::string("send_ata_passthrough: ") +
                             check_ata_image(row.subcommand, row.length).reason + "\n");
    }
}

} // namespace
