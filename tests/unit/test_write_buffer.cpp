// WRITE BUFFER: the CDBs and segment plans of the worked examples, the image-size checks,
// the judgement of a finished command, the traces and the failure output.
#include "download/download.h"
#include "download/sender.h"
#include "download/statements.h"
#include "finished_command.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Expected {
    uint32_t offset;
    uint32_t length;
    bool final_piece;
    Bytes cdb;
};

void expect_plan(const std::vector<PlannedCommand> &plan, const std::vector<Expected> &want,
                 const char *what) {
    ASSERT_EQ(plan.size(), want.size()) << what;
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(std::string(what) + ", command " + std::to_string(i + 1));
        EXPECT_EQ(plan[i].offset, want[i].offset);
        EXPECT_EQ(plan[i].length, want[i].length);
        EXPECT_EQ(plan[i].final_piece, want[i].final_piece);
        ASSERT_EQ(plan[i].cdb_len, 10);
        EXPECT_EQ(Bytes(plan[i].cdb, plan[i].cdb + 10), want[i].cdb);
    }
}

constexpr uint32_t MiB = 1024 * 1024;

TEST(WriteBufferPlan, WorkedExamplesAndBoundaries) {
    const struct {
        const char *what;
        uint8_t mode;
        uint8_t segment_count;
        uint32_t length;
        std::vector<Expected> commands;
    } table[] = {
        {"70,000 bytes, mode 07h, 64 blocks",
         0x07,
         64,
         70000,
         {{0, 32768, false, {0x3B, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00}},
          {32768, 32768, false, {0x3B, 0x07, 0x00, 0x00, 0x80, 0x00, 0x00, 0x80, 0x00, 0x00}},
          {65536, 4464, true, {0x3B, 0x07, 0x00, 0x01, 0x00, 0x00, 0x00, 0x11, 0x70, 0x00}}}},
        {"shorter than one segment",
         0x07,
         64,
         1000,
         {{0, 1000, true, {0x3B, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0xE8, 0x00}}}},
        {"an exact multiple of the segment",
         0x07,
         64,
         98304,
         {{0, 32768, false, {0x3B, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00}},
          {32768, 32768, false, {0x3B, 0x07, 0x00, 0x00, 0x80, 0x00, 0x00, 0x80, 0x00, 0x00}},
          {65536, 32768, false, {0x3B, 0x07, 0x00, 0x01, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00}}}},
        {"255 blocks, segments of 130,560 bytes",
         0x07,
         255,
         261220,
         {{0, 130560, false, {0x3B, 0x07, 0x00, 0x00, 0x00, 0x00, 0x01, 0xFE, 0x00, 0x00}},
          {130560, 130560, false, {0x3B, 0x07, 0x00, 0x01, 0xFE, 0x00, 0x01, 0xFE, 0x00, 0x00}},
          {261120, 100, true, {0x3B, 0x07, 0x00, 0x03, 0xFC, 0x00, 0x00, 0x00, 0x64, 0x00}}}},
        {"mode 0Eh stages in segments as 07h sends them",
         0x0E,
         64,
         70000,
         {{0, 32768, false, {0x3B, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00}},
          {32768, 32768, false, {0x3B, 0x0E, 0x00, 0x00, 0x80, 0x00, 0x00, 0x80, 0x00, 0x00}},
          {65536, 4464, true, {0x3B, 0x0E, 0x00, 0x01, 0x00, 0x00, 0x00, 0x11, 0x70, 0x00}}}},
        {"mode 05h, 4,096 bytes in one command",
         0x05,
         0,
         4096,
         {{0, 4096, false, {0x3B, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00}}}},
        {"mode 05h, 8 MiB - 1",
         0x05,
         0,
         8 * MiB - 1,
         {{0, 8 * MiB - 1, false, {0x3B, 0x05, 0x00, 0x00, 0x00, 0x00, 0x7F, 0xFF, 0xFF, 0x00}}}},
        {"mode 05h, exactly 8 MiB",
         0x05,
         0,
         8 * MiB,
         {{0, 8 * MiB, false, {0x3B, 0x05, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00}}}},
        {"mode 05h, 8 MiB + 1",
         0x05,
         0,
         8 * MiB + 1,
         {{0, 8 * MiB, false, {0x3B, 0x05, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00}},
          {8 * MiB, 1, true, {0x3B, 0x05, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00}}}},
        {"mode 05h, 10 MiB",
         0x05,
         0,
         10485760,
         {{0, 8388608, false, {0x3B, 0x05, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00}},
          {8388608, 2097152, true, {0x3B, 0x05, 0x00, 0x80, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00}}}},
    };
    for (const auto &row : table) {
        expect_plan(plan_write_buffer(row.mode, row.segment_count, row.length), row.commands,
                    row.what);
    }
}

// Mode 0Fh activates what 0Eh staged: buffer ID, offset and parameter list length all 0.
TEST(WriteBufferActivation, ModeFifteenCarriesNoData) {
    auto plan = plan_commands(plan_for_run(SENDER_WRITE_BUFFER, DownloadGoal::activate, 0, {}, 0));
    ASSERT_EQ(plan.size(), 1u);
    EXPECT_EQ(plan[0].length, 0u);
    EXPECT_EQ(Bytes(plan[0].cdb, plan[0].cdb + 10), (Bytes{0x3B, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0}));
    testing::internal::CaptureStdout();
    print_command_trace(plan_for_run(SENDER_WRITE_BUFFER, DownloadGoal::activate, 0, {}, 0),
                        plan[0], nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "activate_cdb: 3b 0f 00 00 00 00 00 00 00 00\n");
}

TEST(WriteBufferPlan, LastCommandOfTheLargestImageStaysBelow16MiB) {
    auto plan = plan_write_buffer(0x07, 255, 16 * MiB);
    ASSERT_FALSE(plan.empty());
    const PlannedCommand &last = plan.back();
    EXPECT_EQ(last.offset + last.length, 16 * MiB);
    // 16 MiB = 128 segments of 130,560 bytes and a final piece of 65,536 bytes.
    EXPECT_EQ(plan.size(), 129u);
    EXPECT_EQ(Bytes(last.cdb, last.cdb + 10),
              (Bytes{0x3B, 0x07, 0x00, 0xFF, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}));
}

TEST(WriteBufferSizes, SegmentCountZeroWithOffsetsYieldsNoSegment) {
    // Guarded arithmetic: no division by a zero segment size.
    SegmentSizes s = plan_of(SENDER_WRITE_BUFFER, 0x07, 0, 5000).sizes;
    EXPECT_EQ(s.full_segments, 0u);
    EXPECT_EQ(s.remainder, 5000u);
}

TEST(WriteBufferImageCheck, RefusesWhatCannotBeSentIntact) {
    const struct {
        uint8_t mode;
        uint8_t segment_count;
        uint32_t length;
        bool refused;
    } table[] = {
        {0x05, 0, 8 * MiB, false},     {0x05, 0, 8 * MiB + 1, true},
        {0x05, 0, 10485760, true},     {0x07, 64, 10485760, false},
        {0x07, 1, 16 * MiB, false},    {0x07, 255, 16 * MiB + 1, true},
        {0x05, 0, 16 * MiB + 1, true}, {0x07, 0, 4096, true},
        {0x06, 0, 4096, true},         {0x06, 8, 4096, false},
        {0x07, 64, 1, false},
    };
    for (const auto &row : table) {
        Refusal r = check_write_buffer_image(row.mode, row.segment_count, row.length);
        EXPECT_EQ(r.refused, row.refused)
            << "mode " << int(row.mode) << " count " << int(row.segment_count) << " length "
            << row.length << ": " << r.reason;
        EXPECT_EQ(r.reason[0] != '\0', row.refused);
    }
    EXPECT_STREQ(check_write_buffer_image(0x05, 0, 8 * MiB + 1).reason,
                 "image of 8388609 bytes is longer than the 8388608 bytes that mode 0x5 sends "
                 "in one command; give a segment count to send it with offsets; nothing sent");
    EXPECT_STREQ(check_write_buffer_image(0x07, 64, 16 * MiB + 1).reason,
                 "image of 16777217 bytes is longer than the 16777216 bytes that BUFFER OFFSET "
                 "can address; nothing sent");
}

const Bytes k_illegal_request = {0x70, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00,
                                 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00};
const Bytes k_unit_attention = {0x70, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00,
                                0x00, 0x00, 0x00, 0x3f, 0x16, 0x00, 0x00, 0x00, 0x00};
const Bytes k_no_sense = {0x70, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

TEST(WriteBufferJudgement, EveryWordOfTheAnswerCounts) {
    const Answer table[] = {
        {"GOOD without sense", 0, 0x00, 0, 0, 0, {}, false, nullptr},
        {"CONDITION MET", 0, 0x02, 0, 0, 0, {}, false, nullptr},
        {"CHECK CONDITION with NO SENSE", 0, 0x01, 0, 0x08, 0, k_no_sense, false, nullptr},
        {"transport failure", -1, 0x00, 0, 0, 0, {}, true, nullptr},
        {"libata refuses WRITE BUFFER", 0, 0x01, 0, 0x08, 0, k_illegal_request, true, nullptr},
        {"unit attention", 0, 0x01, 0, 0x08, 0, k_unit_attention, true, nullptr},
        {"time-out", 0, 0x00, 0x03, 0, 0, {}, true, "command timed out"},
        {"driver time-out", 0, 0x00, 0, 0x06, 0, {}, true, "command timed out"},
        {"host error", 0, 0x00, 0x07, 0, 0, {}, true, "host status 0x7 (DID_ERROR)"},
        {"bus reset", 0, 0x00, 0x08, 0, 0, {}, true, "host status 0x8 (DID_RESET)"},
        {"driver error", 0, 0x00, 0, 0x04, 0, {}, true, "driver status 0x4"},
        {"driver error with sense bit", 0, 0x00, 0, 0x28, 0, {}, true, "driver status 0x28"},
        {"BUSY", 0, 0x04, 0, 0, 0, {}, true, "SCSI status 0x4 (BUSY)"},
        {"RESERVATION CONFLICT",
         0,
         0x0C,
         0,
         0,
         0,
         {},
         true,
         "SCSI status 0xc (RESERVATION CONFLICT)"},
        {"TASK SET FULL", 0, 0x14, 0, 0, 0, {}, true, "SCSI status 0x14 (TASK SET FULL)"},
        {"CHECK CONDITION without sense",
         0,
         0x01,
         0,
         0x08,
         0,
         {},
         true,
         "CHECK CONDITION without sense data"},
        {"CHECK CONDITION with vendor sense",
         0,
         0x01,
         0,
         0x08,
         0,
         {0x7E, 0x00, 0x05},
         true,
         "CHECK CONDITION with sense data of response code 0x7e"},
        {"nothing transferred",
         0,
         0x00,
         0,
         0,
         32768,
         {},
         true,
         "32768 of the command's 32768 bytes were not transferred"},
        {"part transferred",
         0,
         0x00,
         0,
         0,
         512,
         {},
         true,
         "512 of the command's 32768 bytes were not transferred"},
        {"one byte short",
         0,
         0x00,
         0,
         0,
         1,
         {},
         true,
         "1 of the command's 32768 bytes were not transferred"},
    };
    for (const Answer &a : table) {
        SCOPED_TRACE(a.what);
        uint8_t cdb[10] = {0x3B, 0x07};
        SgRequest req = finished_command(a, cdb, 10, 32768);
        CommandVerdict v = judge_write_buffer_command(classify_command(a.send_result, req));
        EXPECT_EQ(v.failed, a.failed);
        EXPECT_EQ(v.explained, a.reason != nullptr);
        EXPECT_STREQ(v.reason, a.reason != nullptr ? a.reason : "");
    }
}

std::string trace_of(const DownloadPlan &plan, const PlannedCommand &cmd, const uint8_t *data) {
    testing::internal::CaptureStdout();
    print_command_trace(plan, cmd, data);
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

std::string low32_hex(const void *p) {
    char text[16];
    snprintf(text, sizeof text, "%x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)));
    return text;
}

TEST(WriteBufferTrace, FullSegmentAndFinalPiece) {
    static uint8_t image[70000];
    DownloadPlan p = plan_of(SENDER_WRITE_BUFFER, 0x07, 64, 70000);
    auto plan = plan_commands(p);
    ASSERT_EQ(plan.size(), 3u);
    EXPECT_EQ(trace_of(p, plan[1], image), "wb_cdb: x3b,x7,x0,x0,x80,x0,x0,x80,x0,x0 pdata 0x" +
                                               low32_hex(image + 32768) + "\n");
    EXPECT_EQ(trace_of(p, plan[2], image), "Final remainder 4464 pdata x" +
                                               low32_hex(image + 65536) +
                                               "\nwb_cdb: x3b,x7,x0,x1,x0,x0,x0,x11,x70,x0\n");
}

TEST(WriteBufferFailure, PlainFailureShowsOnlyThePerrorLine) {
    CommandVerdict plain{};
    plain.failed = true;
    Captured c = capture(
        [&] { report_download_failure(plan_of(SENDER_WRITE_BUFFER, 5, 0, 1), plain, {}, EIO); });
    EXPECT_EQ(c.out, "");
    EXPECT_EQ(c.err, "send_io: Input/output error\n");
}

TEST(WriteBufferFailure, NewlyCaughtFailureSaysWhyFirst) {
    uint8_t cdb[10] = {0x3B, 0x07};
    SgRequest req =
        finished_command({"time-out", 0, 0, 3, 0, 0, {}, true, nullptr}, cdb, 10, 32768);
    CommandVerdict v = judge_write_buffer_command(classify_command(0, req));
    Captured c =
        capture([&] { report_download_failure(plan_of(SENDER_WRITE_BUFFER, 5, 0, 1), v, {}, 0); });
    EXPECT_EQ(c.out, "");
    EXPECT_EQ(c.err, "send_write_buffer: command timed out\nsend_io: Success\n");
}

TEST(WriteBufferSender, ZeroLengthSendsNothing) {
    uint8_t byte = 0;
    int rc = 0;
    Captured c = capture([&] { rc = send_write_buffer(-1, 0x05, 0, &byte, 0); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(c.out, "send_write_buffer Invalid Command Parameters\n");
    EXPECT_EQ(c.err, "");
}

// From --debug level 1 each CDB is printed before it goes out, the TEST UNIT READY's first.
TEST(WriteBufferSender, DebugLevelOneTracesEachCommand) {
    int before = debug_level;
    debug_level = 1;
    uint8_t byte = 0;
    Captured c = capture([&] { send_write_buffer(-1, 0x05, 0, &byte, 1); });
    debug_level = before;
    EXPECT_EQ(c.out.rfind("tur_cdb: x0,x0,x0,x0,x0,x0\n", 0), 0u) << c.out;
    EXPECT_NE(c.out.find("\nwb_cdb: x3b,x5,x0,x0,x0,x0,x0,x0,x1,x0 pdata 0x"), std::string::npos)
        << c.out;
}

TEST(WriteBufferSender, RefusedImagesSendNothingAndPrintNoProgress) {
    std::vector<uint8_t> image(16 * MiB + 1);
    const struct {
        uint8_t mode;
        uint8_t segment_count;
        uint32_t length;
    } table[] = {{0x05, 0, 8 * MiB + 1}, {0x07, 64, 16 * MiB + 1}, {0x07, 0, 512}};
    for (const auto &row : table) {
        int rc = 0;
        Captured c = capture([&] {
            rc = send_write_buffer(-1, row.mode, row.segment_count, image.data(), row.length);
        });
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(c.out, "");
        EXPECT_EQ(c.err,
                  std::string("send_write_buffer: ") +
                      check_write_buffer_image(row.mode, row.segment_count, row.length).reason +
                      "\n");
    }
}

} // namespace
