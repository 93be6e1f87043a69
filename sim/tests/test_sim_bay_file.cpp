// The bay file: what it may say, what it refuses, and the write-back; the trace line.
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

#include "bay_file.h"
#include "sim_test_util.h"
#include "trace.h"

namespace {

using nlohmann::json;

TEST(BayFile, ReadsTheMixedFixture) {
    Bay bay;
    json doc;
    std::string err;
    ASSERT_TRUE(load_bay(std::string(SIM_TEST_DATA_DIR) + "/bays/mixed.json", bay, doc, err))
        << err;
    ASSERT_EQ(bay.drives.size(), 5u);
    const Drive &d0 = bay.drives[0];
    EXPECT_EQ(d0.type, DriveType::sata);
    EXPECT_EQ(d0.fwreq, FwreqAnswer::dotted);
    EXPECT_TRUE(d0.dotted_flag);
    EXPECT_EQ(d0.abort_status, 0x41);
    EXPECT_EQ(bay.drives[1].flavor, ScsiFlavor::scsi_hd);
    EXPECT_EQ(bay.drives[2].fwreq, FwreqAnswer::plain);
    EXPECT_FALSE(bay.drives[2].dotted_flag);
    EXPECT_EQ(bay.drives[3].flavor, ScsiFlavor::scsi_debug);
    // A bay in the source tree names no trace: running it must leave the checkout clean.
    EXPECT_EQ(bay.trace_path, "");
}

TEST(BayFile, FaultsAndNumbers) {
    json doc = json::parse(R"({"ata_error_sense": "sat", "drives": [
        {"node": "/dev/sg0", "type": "sata", "abort_status": "0x51", "firmware":
         {"mode": "accept-any", "target": "X"}, "faults": [
          {"on": "open", "kind": "errno", "errno": "EACCES"},
          {"on": "download", "index": 2, "kind": "check", "key": 3, "asc": "0x11", "ascq": 0},
          {"on": "identify", "kind": "errno", "errno": 5}]}]})");
    Bay bay;
    std::string err;
    ASSERT_TRUE(bay_from_json(doc, bay, err)) << err;
    EXPECT_EQ(bay.abort_sense, AbortSense::sat);
    const Drive &d = bay.drives[0];
    EXPECT_EQ(d.abort_status, 0x51);
    EXPECT_EQ(d.fw_mode, FirmwareMode::accept_any);
    ASSERT_EQ(d.faults.size(), 3u);
    EXPECT_EQ(d.faults[0].err, 13);
    EXPECT_EQ(d.faults[0].index, 0u);
    EXPECT_EQ(d.faults[1].index, 2u);
    EXPECT_EQ(d.faults[1].asc, 0x11);
    EXPECT_EQ(d.faults[2].err, 5);
}

TEST(BayFile, StatementsAndTheirDefaults) {
    json doc = json::parse(R"({"drives": [
        {"node": "/dev/sg0", "type": "sata", "identify_words": {"235": "0x80"},
         "dm_capabilities": "0x8000000000400001", "firmware": {"staging": "ignored"}},
        {"node": "/dev/sg1", "type": "sata", "flavor": "ide-hd"},
        {"node": "/dev/sg2", "type": "scsi", "read_buffer": {"offset_boundary": 12},
         "extended_inquiry": {"activate_microcode": 2, "download_modes": [5, "0x0e", 15]}},
        {"node": "/dev/sg3", "type": "scsi", "flavor": "scsi-hd"}]})");
    Bay bay;
    std::string err;
    ASSERT_TRUE(bay_from_json(doc, bay, err)) << err;
    const Drive &a = bay.drives[0];
    const Drive &q = bay.drives[1];
    const Drive &s = bay.drives[2];
    const Drive &h = bay.drives[3];
    EXPECT_EQ(a.identify_words.at(235), 0x80);
    EXPECT_EQ(a.dm_capabilities, 0x8000000000400001u);
    EXPECT_EQ(a.staging, Staging::ignored);
    EXPECT_FALSE(q.has_dm_log);
    EXPECT_EQ(s.activate_microcode, 2);
    EXPECT_EQ(s.dm_md, 0x46);
    EXPECT_TRUE(s.dms_valid && s.has_read_buffer && s.has_extended_inquiry);
    EXPECT_FALSE(h.has_extended_inquiry || h.has_read_buffer);
}

TEST(BayFile, RefusesMistakes) {
    const char *bad[] = {
        R"({"drives": [{"node": "sg0", "type": "sata"}]})",
        R"({"drives": [{"node": "/dev/sg0", "type": "nvme"}]})",
        R"({"drives": [{"node": "/dev/sg0", "type": "sata", "modle": "X"}]})",
        R"({"drives": [{"node": "/dev/sg0", "type": "sata"}, {"node": "/dev/sg0", "type": "scsi"}]})",
        R"({"drives": [{"node": "/dev/sg0", "type": "sata", "faults": [{"on": "wb", "kind": "busy"}]}]})",
        R"({"drives": [{"node": "/dev/sg0", "type": "sata", "faults": [{"on": "open", "kind": "busy"}]}]})",
        R"({"drives": [{"node": "/dev/sg0", "type": "sata", "faults": [{"kind": "version"}]}]})",
        R"({"drives": [{"node": "/dev/sg0", "type": "sata", "firmware": {"mode": "accept-any"}}]})",
        R"({"drives": [{"node": "/dev/sg0", "type": "sata", "abort_status": 256}]})",
        R"({"ata_error_sense": "linux-6.11", "drives": []})",
        R"({"drive": []})",
        R"({"drives": [{"node": "/dev/sg0", "type": "scsi", "revision": "12345"}]})",
        R"({"drives": [{"node": "/dev/sg0", "type": "sata", "revision": "123456789"}]})",
        R"({"drives": [{"node": "/dev/sg0", "type": "sata", "serial": "123456789012345678901"}]})",
        R"({"drives": [{"node": "/dev/sg0", "type": "scsi", "product": "12345678901234567"}]})",
        R"({"drives": [{"node": "/dev/sg0", "type": "sata", "identify_words": {"27": 1}}]})",
        R"({"drives": [{"node": "/dev/sg0", "type": "scsi", "extended_inquiry": {"download_modes": [3]}}]})",
        R"({"drives": [{"node": "/dev/sg0", "type": "sata", "wwn": "5000c500a1b2c3"}]})",
        R"({"drives": [{"node": "/dev/sg0", "type": "scsi", "capacity_blocks": 0}]})",
        R"({"drives": [{"node": "/dev/sg0", "type": "scsi", "captured": {"revision": "R", "vpd_99": ""}}]})",
        R"({"drives": [{"node": "/dev/sg0", "type": "scsi", "captured": {"inquiry": "00"}}]})",
        R"({"drives": [{"node": "/dev/sg0", "type": "scsi", "partitions": ["sdc1"]}]})",
        R"({"drives": [{"node": "/dev/sg0", "type": "scsi", "block": "sdc", "partitions": ["sdd1"]}]})",
        R"({"drives": [{"node": "/dev/sg0", "type": "scsi", "block": "sdc", "mounts": {"sdc1": "/x"}}]})",
        R"({"drives": [{"node": "/dev/sg0", "type": "scsi", "block": "sdc", "holders": {"sdc": ["../md0"]}}]})",
        R"({"drives": [{"node": "/dev/sg0", "type": "scsi", "block": "sdc"}, {"node": "/dev/sg1", "type": "scsi", "block": "sdc"}]})",
    };
    for (const char *text : bad) {
        Bay bay;
        std::string err;
        EXPECT_FALSE(bay_from_json(json::parse(text), bay, err)) << text;
        EXPECT_FALSE(err.empty()) << text;
    }
}

// The state of the drive that changed is written back, and the rest of the file kept; another
// process of the bay, which read the file before that and then changes another drive, keeps
// the first drive's new state.
TEST(BayFile, WriteBackKeepsTheRestOfTheFile) {
    std::string path = testing::TempDir() + "/bay_" + std::to_string(getpid()) + ".json";
    {
        std::ofstream f(path);
        f << R"({"comment": "kept", "drives": [{"node": "/dev/sg0", "type": "scsi",
                 "product": "P", "revision": "R100", "faults": [{"on": "tur", "kind": "busy"}]},
                 {"node": "/dev/sg1", "type": "scsi", "revision": "R100"}]})";
    }
    Bay bay;
    Bay other;
    json doc;
    json other_doc;
    std::string err;
    ASSERT_TRUE(load_bay(path, bay, doc, err)) << err;
    ASSERT_TRUE(load_bay(path, other, other_doc, err)) << err;
    bay.drives[0].revision = "R200";
    bay.drives[0].unit_attention = true;
    bay.drives[0].power_on_attention = true;
    bay.drives[0].staged = true;
    bay.drives[0].staged_revision = "R300";
    ASSERT_TRUE(save_bay(path, bay, doc, err)) << err;
    other.drives[1].revision = "R400";
    ASSERT_TRUE(save_bay(path, other, other_doc, err)) << err;
    Bay again;
    json doc2;
    ASSERT_TRUE(load_bay(path, again, doc2, err)) << err;
    EXPECT_EQ(again.drives[0].revision, "R200");
    EXPECT_TRUE(again.drives[0].unit_attention);
    EXPECT_TRUE(again.drives[0].power_on_attention);
    EXPECT_EQ(again.drives[0].staged_revision, "R300");
    EXPECT_EQ(again.drives[0].faults.size(), 1u);
    EXPECT_EQ(again.drives[1].revision, "R400");
    EXPECT_EQ(doc2["comment"], "kept");
    EXPECT_NE(access((path + ".tmp." + std::to_string(getpid())).c_str(), F_OK), 0);
    std::remove((path + ".locks/bay").c_str());
    rmdir((path + ".locks").c_str());
    std::remove(path.c_str());
}

TEST(Trace, LineFields) {
    std::vector<uint8_t> out = {1, 2, 3};
    Command cmd;
    cmd.cdb = hex("3b 05 00 00 00 00 00 00 03 00");
    cmd.direction = k_dxfer_to_dev;
    cmd.dxfer_len = 3;
    cmd.timeout_ms = 5000;
    cmd.data_out = out;
    Answer a;
    a.status = 2;
    a.driver_status = 8;
    a.sense = hex("70 00 05 00 00 00 00 0a 00 00 00 00 20 00 00 00 00 00");
    // crc32 of 01 02 03 is 55bc801d
    EXPECT_EQ(trace_line("/dev/sg1", cmd, a),
              R"({"node":"/dev/sg1","cdb":"3b050000000000000300","direction":"to_dev",)"
              R"("length":3,"timeout":5000,"status":2,"host_status":0,"driver_status":8,)"
              R"("sense":"700005000000000a00000000200000000000","resid":0,"crc32":"55bc801d"})");
    Answer failed;
    failed.io_errno = 19;
    cmd.direction = k_dxfer_none;
    cmd.dxfer_len = 0;
    EXPECT_EQ(trace_line("/dev/sg1", cmd, failed),
              R"({"node":"/dev/sg1","cdb":"3b050000000000000300","direction":"none",)"
              R"("length":0,"timeout":5000,"errno":19})");
    std::string text;
    EXPECT_TRUE(describe_trace_line(trace_line("/dev/sg1", cmd, a), text));
    EXPECT_NE(text.find("WRITE BUFFER mode 05h offset 0 length 3"), std::string::npos);
    EXPECT_FALSE(describe_trace_line("not json", text));

    std::string logged = syslog_trace_line("dl_cor_fw", 8, 3, "device=/dev/sg1 outcome=\xff");
    EXPECT_EQ(logged, R"({"syslog":{"ident":"dl_cor_fw","facility":"user","severity":"err",)"
                      R"("message":"device=/dev/sg1 outcome=\ufffd"}})");
    EXPECT_TRUE(describe_trace_line(logged, text));
    EXPECT_EQ(text, "syslog user.err dl_cor_fw: device=/dev/sg1 outcome=\xef\xbf\xbd");
}

} // namespace
