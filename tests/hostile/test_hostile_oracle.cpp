// The judgement of the hostile runs: each rule of a download command's verdict on answers
// written out byte for byte, and the run invariants on small traces.
#include "hostile_oracle.h"

#include <gtest/gtest.h>

namespace {

TracedCommand ata_download(std::vector<uint8_t> sense, uint8_t masked = 1) {
    TracedCommand c;
    c.cdb = {0xa1, 0x0a, 0x26, 0x03, 0x08, 0x00, 0x00, 0x00, 0x00, 0x92, 0x00, 0x00};
    c.length = 4096;
    c.masked_status = masked;
    c.driver_status = sense.empty() ? 0 : 8;
    c.sense = sense;
    c.sb_len_wr = static_cast<int>(sense.size());
    return c;
}

TracedCommand write_buffer(std::vector<uint8_t> sense, uint8_t masked = 0) {
    TracedCommand c;
    c.cdb = {0x3b, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00};
    c.length = 4096;
    c.masked_status = masked;
    c.driver_status = sense.empty() ? 0 : 8;
    c.sense = sense;
    c.sb_len_wr = static_cast<int>(sense.size());
    return c;
}

// The descriptor sense libata gives a DOWNLOAD MICROCODE 03h that asks for more (Count 01h,
// Status 50h).
const std::vector<uint8_t> k_ata_more = {0x72, 0x01, 0x00, 0x1d, 0, 0, 0, 0x0e, 0x09, 0x0c, 0,
                                         0x00, 0,    0x01, 0,    0, 0, 0, 0,    0,    0x40, 0x50};
// What Linux 6.1 gives for an aborted one: fixed, ABORTED COMMAND, Error 04h Status 51h.
const std::vector<uint8_t> k_ata_abort_61 = {0x70, 0,    0x0b, 0, 0, 0, 0, 0x0a, 0x04,
                                             0x51, 0x40, 0x08, 0, 0, 0, 0, 0,    0};

TEST(HostileOracle, JudgesAtaDownloadAnswers) {
    struct Case {
        const char *what;
        TracedCommand c;
        bool ok;
    };
    std::vector<Case> cases;
    cases.push_back({"descriptor with Status 50h", ata_download(k_ata_more), true});
    cases.push_back({"aborted, Linux 6.1 layout", ata_download(k_ata_abort_61), false});
    cases.push_back({"no sense: no registers", ata_download({}, 0), false});
    TracedCommand timeout = ata_download(k_ata_more);
    timeout.host_status = 3;
    cases.push_back({"timed out", timeout, false});
    TracedCommand resid = ata_download(k_ata_more);
    resid.resid = 1;
    cases.push_back({"resid 1", resid, false});
    TracedCommand cut = ata_download(k_ata_more);
    cut.sb_len_wr = 21; // Status byte not delivered
    cases.push_back({"descriptor cut before Status", cut, false});
    std::vector<uint8_t> df = k_ata_more;
    df[21] = 0x70; // DF
    cases.push_back({"Status with DF", ata_download(df), false});
    std::vector<uint8_t> illegal = {0x70, 0, 0x05, 0,    0, 0, 0, 0x0a, 0,
                                    0,    0, 0,    0x20, 0, 0, 0, 0,    0};
    cases.push_back({"ILLEGAL REQUEST, no registers", ata_download(illegal), false});
    TracedCommand driver_timeout = ata_download(k_ata_more);
    driver_timeout.driver_status = 0x06;
    cases.push_back({"DRIVER_TIMEOUT", driver_timeout, false});
    TracedCommand busy = ata_download(k_ata_more, 4);
    cases.push_back({"BUSY", busy, false});
    TracedCommand err = ata_download({});
    err.failed_ioctl = true;
    cases.push_back({"ioctl failed", err, false});
    for (const Case &k : cases)
        EXPECT_EQ(download_command_succeeded(k.c), k.ok) << k.what;
}

TEST(HostileOracle, JudgesWriteBufferAnswers) {
    struct Case {
        const char *what;
        TracedCommand c;
        bool ok;
    };
    std::vector<Case> cases;
    cases.push_back({"GOOD, no sense", write_buffer({}), true});
    cases.push_back({"CONDITION MET", write_buffer({}, 2), true});
    cases.push_back({"CHECK CONDITION, NO SENSE key",
                     write_buffer({0x70, 0, 0x00, 0, 0, 0, 0, 0x0a}, 1), true});
    cases.push_back({"CHECK CONDITION, ILLEGAL REQUEST",
                     write_buffer({0x70, 0, 0x05, 0, 0, 0, 0, 0x0a, 0, 0, 0, 0, 0x24, 0}, 1),
                     false});
    cases.push_back({"CHECK CONDITION without sense", write_buffer({}, 1), false});
    cases.push_back(
        {"CHECK CONDITION, sense cut before the key", write_buffer({0x70, 0}, 1), false});
    cases.push_back(
        {"GOOD with RECOVERED ERROR sense", write_buffer({0x72, 0x01, 0, 0, 0, 0, 0, 0}), false});
    TracedCommand resid = write_buffer({});
    resid.resid = 512;
    cases.push_back({"resid 512", resid, false});
    TracedCommand negative = write_buffer({});
    negative.resid = -1;
    cases.push_back({"resid -1", negative, true});
    TracedCommand host = write_buffer({});
    host.host_status = 7;
    cases.push_back({"DID_ERROR", host, false});
    for (const Case &k : cases)
        EXPECT_EQ(download_command_succeeded(k.c), k.ok) << k.what;
}

TEST(HostileOracle, SeesOnlyTheSenseTheClientArea) {
    TracedCommand c = write_buffer(std::vector<uint8_t>(40, 0x11));
    c.sb_len_wr = 255;
    EXPECT_EQ(visible_sense(c).size(), k_client_sense_len);
    c.sense = {0x70, 0, 0x05};
    c.sb_len_wr = 18; // bytes claimed but not offered read as zero
    std::vector<uint8_t> v = visible_sense(c);
    ASSERT_EQ(v.size(), 18u);
    EXPECT_EQ(v[2], 0x05);
    EXPECT_EQ(v[17], 0x00);
}

TEST(HostileOracle, ParsesTraceLines) {
    TracedCommand c;
    ASSERT_TRUE(parse_traced_command(
        R"({"node":"/dev/sg0","cdb":"3b07000000000010000000","direction":"to_dev","length":4096,"timeout":120000,"status":2,"host_status":0,"driver_status":8,"sense":"7000050000000000","resid":0,"masked_status":1,"info":1,"sb_len_wr":3,"duration":0,"crc32":"0000abcd"})",
        c));
    EXPECT_EQ(c.masked_status, 1);
    EXPECT_EQ(c.sb_len_wr, 3);
    EXPECT_EQ(c.sense.size(), 8u);
    EXPECT_EQ(c.crc32, 0xabcdu);
    ASSERT_TRUE(parse_traced_command(
        R"({"node":"/dev/sg0","cdb":"120000006000","direction":"from_dev","length":96,"timeout":5000,"errno":5})",
        c));
    EXPECT_TRUE(c.failed_ioctl);
    EXPECT_FALSE(parse_traced_command("not a trace line", c));
}

TEST(HostileOracle, FlagsSuccessAfterAFailedCommand) {
    std::vector<uint8_t> image(4096, 0);
    TracedCommand failed = ata_download(k_ata_abort_61);
    failed.has_crc = false;
    RunOutcome o;
    o.exited = true;
    o.status = 0;
    o.out = "Download SUCCESSFUL\n";
    RunIntent intent{true, false};
    std::vector<std::string> v = check_run(intent, o, {failed}, image);
    ASSERT_FALSE(v.empty());
    EXPECT_NE(v[0].find("after a failed download command"), std::string::npos) << v[0];

    // A command after the failed one breaks the stop rule, whatever is printed.
    o.out = "FW Download FAILED\n";
    o.status = 2;
    v = check_run(intent, o, {failed, write_buffer({})}, image);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_NE(v[0].find("sent after a failed command"), std::string::npos) << v[0];
}

TEST(HostileOracle, AcceptsACleanWholeDownload) {
    std::vector<uint8_t> image(4096, 0);
    TracedCommand piece = ata_download(k_ata_more);
    RunOutcome o;
    o.exited = true;
    o.out = "Download SUCCESSFUL\n";
    EXPECT_TRUE(check_run({true, false}, o, {piece}, image).empty());
    // Half the image, announced as a success.
    std::vector<uint8_t> bigger(8192, 0);
    EXPECT_FALSE(check_run({true, false}, o, {piece}, bigger).empty());
    // Exit status and sanitizer reports.
    o.status = 4;
    o.err = "==1==ERROR: AddressSanitizer: heap-buffer-overflow";
    EXPECT_EQ(check_run({true, false}, o, {piece}, image).size(), 3u);
}

} // namespace
