// The hostile drive: each field of a script record rewrites the answer as the record layout
// says, the model underneath still runs, and the trace shows the words the client gets.
#include <cerrno>
#include <gtest/gtest.h>

#include "bay_file.h"
#include "drive_exec.h"
#include "hostile.h"
#include "sim_test_util.h"
#include "trace.h"

namespace {

const char *k_inquiry = "12 00 00 00 60 00";
const char *k_identify = "a1 08 2a 00 01 00 00 00 40 ec 00 00";

Bay hostile_bay(const std::string &script, DriveType type = DriveType::sata) {
    Bay bay;
    Drive d = type == DriveType::sata ? capture_sata_drive() : capture_scsi_debug_drive();
    d.hostile = true;
    d.hostile_script = hex(script);
    bay.drives.push_back(d);
    return bay;
}

TEST(Hostile, EmptyRecordAnswersAsTheModel) {
    Bay honest;
    honest.drives.push_back(capture_sata_drive());
    Answer want = run_one(honest, 0, hex(k_identify), k_dxfer_from_dev, 512);
    Bay bay = hostile_bay("00 00");
    Answer got = run_one(bay, 0, hex(k_identify), k_dxfer_from_dev, 512);
    EXPECT_EQ(got.status, want.status);
    EXPECT_EQ(got.sense, want.sense);
    EXPECT_EQ(got.data, want.data);
    EXPECT_TRUE(got.hostile);
    EXPECT_EQ(got.sb_len_wr, -1);
}

TEST(Hostile, EachFieldRewritesItsWord) {
    // mask 01FEh: status, masked, host, driver, sense, sense patch, sb_len_wr, resid
    Bay bay = hostile_bay("01 fe  02  05  00 07  00 18  03 70 00 05  01 02 aa bb  ff  ff ff ff "
                          "fe");
    Answer a = run_one(bay, 0, hex(k_inquiry), k_dxfer_from_dev, 96);
    EXPECT_EQ(a.io_errno, 0);
    EXPECT_EQ(a.status, 0x02);
    EXPECT_EQ(masked_status_of(a), 0x05);
    EXPECT_EQ(a.host_status, 0x07);
    EXPECT_EQ(a.driver_status, 0x18);
    EXPECT_EQ(a.sense, hex("70 aa bb"));
    EXPECT_EQ(sb_len_wr_of(a, 32), 0xff);
    EXPECT_EQ(a.resid, -2);
    // Bits 9-10: info 00h and a duration, which the derived words then do not override.
    bay = hostile_bay("06 00  00  00 00 27 10");
    a = run_one(bay, 0, hex(k_inquiry), k_dxfer_from_dev, 96);
    EXPECT_EQ(info_of(a), 0u);
    EXPECT_EQ(a.duration_ms, 10000u);
}

TEST(Hostile, DataBitsActOnDataInOnly) {
    // Fill with 20h, then patch 2 bytes at offset 94 (cut at the 96-byte end).
    Bay bay = hostile_bay("18 00  20  00 5e 03 41 42 43");
    Answer a = run_one(bay, 0, hex(k_inquiry), k_dxfer_from_dev, 96);
    ASSERT_TRUE(a.writes_data);
    ASSERT_EQ(a.data.size(), 96u);
    EXPECT_EQ(a.data[0], 0x20);
    EXPECT_EQ(a.data[94], 0x41);
    EXPECT_EQ(a.data[95], 0x42);
    bay = hostile_bay("20 00");
    a = run_one(bay, 0, hex(k_inquiry), k_dxfer_from_dev, 96);
    EXPECT_FALSE(a.writes_data);
}

TEST(Hostile, ErrnoRecordFailsTheIoctlAndTheScriptRunsOut) {
    // Record 1: errno index 2 (ENODEV); record 2 cut short: its missing bytes read as zero.
    Bay bay = hostile_bay("00 01 02  00 02");
    Answer a = run_one(bay, 0, hex(k_inquiry), k_dxfer_from_dev, 96);
    EXPECT_EQ(a.io_errno, ENODEV);
    a = run_one(bay, 0, hex(k_inquiry), k_dxfer_from_dev, 96);
    EXPECT_EQ(a.status, 0x00); // status byte read as zero
    a = run_one(bay, 0, hex(k_identify), k_dxfer_from_dev, 512);
    EXPECT_EQ(a.status, 0x02); // script used up: the model's CHECK CONDITION with CK_COND
    EXPECT_EQ(bay.drives[0].rt.counts["any"], 3u);
}

TEST(Hostile, BayFileTakesTheScriptAndTheTraceShowsTheWords) {
    Bay bay;
    std::string err;
    nlohmann::json doc = nlohmann::json::parse(
        R"({"drives":[{"node":"/dev/sg0","type":"scsi","hostile":"0084 05 03"}]})");
    ASSERT_TRUE(bay_from_json(doc, bay, err)) << err;
    EXPECT_TRUE(bay.drives[0].hostile);
    EXPECT_EQ(bay.drives[0].hostile_script, hex("00 84 05 03"));
    Answer a = run_one(bay, 0, hex(k_inquiry), k_dxfer_from_dev, 96);
    Command cmd;
    cmd.cdb = hex(k_inquiry);
    cmd.direction = k_dxfer_from_dev;
    cmd.dxfer_len = 96;
    std::string line = trace_line("/dev/sg0", cmd, a);
    EXPECT_NE(line.find(R"("masked_status":5,"info":1,"sb_len_wr":3,"duration":0)"),
              std::string::npos)
        << line;
    doc = nlohmann::json::parse(R"({"drives":[{"node":"/dev/sg0","type":"scsi","hostile":"0x"}]})");
    EXPECT_FALSE(bay_from_json(doc, bay, err));
}

} // namespace
