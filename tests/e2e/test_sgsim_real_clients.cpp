// Debian's own clients (sg3-utils, smartmontools, sdparm, hdparm) under sgsim: each exits 0
// and decodes the bay's identity; and a bay captured from a bay answers as the bay does.
#include <gtest/gtest.h>
#include <unistd.h>

#include "scene.h"

namespace {

// sg0 generic SATA (states SMART), sg1 scsi-hd and sg3 scsi_debug, all with a WWN but
// scsi_debug, which derives its own from its serial 16000.
const char k_bay[] = R"({"trace": "trace.jsonl", "drives": [
  {"node": "/dev/sg0", "type": "sata", "model": "QSTOR ACME-7200 SATA HYBRID",
   "serial": "   QS7X0042Z9", "revision": "QA12.B07", "wwn": "5000c500a1b2c3d4"},
  {"node": "/dev/sg1", "type": "scsi", "flavor": "scsi-hd", "vendor": "NORTHVL",
   "product": "NV-SAS10K", "revision": "N4R2", "serial": "NV0000777123",
   "wwn": "5000c500b1b2c3d5"},
  {"node": "/dev/sg2", "type": "scsi", "vendor": "Linux", "product": "scsi_debug",
   "revision": "0191", "serial": "16000", "capacity_blocks": 8192}]})";

bool have_clients() {
    for (const char *p : {"/usr/sbin/smartctl", "/usr/sbin/hdparm", "/usr/bin/sdparm"})
        if (access(p, X_OK) != 0)
            return false;
    return have_sg3_utils();
}

TEST(RealClients, ExitZeroAndDecodeTheIdentity) {
    if (sgsim_path().empty() || !have_clients())
        GTEST_SKIP() << "needs sgsim and smartmontools, hdparm, sdparm, sg3-utils";
    std::string bay = write_bay(k_bay);
    const struct Case {
        std::vector<std::string> argv;
        std::vector<std::string> shows;
    } cases[] = {
        {{"sg_vpd", "-p", "0x00", "/dev/sg0"}, {"ATA information (SAT) [ai]"}},
        {{"sg_vpd", "-p", "0x80", "/dev/sg0"}, {"Unit serial number:    QS7X0042Z9"}},
        {{"sg_vpd", "-p", "0x83", "/dev/sg0"}, {"SATA HYBRID", "0x5000c500a1b2c3d4"}},
        {{"sg_vpd", "-p", "0x89", "/dev/sg0"}, {"model: QSTOR ACME-7200", "revision: QA12.B07"}},
        {{"sg_vpd", "-p", "0x83", "/dev/sg1"}, {"NV0000777123", "0x5000c500b1b2c3d5"}},
        {{"sg_vpd", "-p", "0x86", "/dev/sg2"}, {"ACTIVATE_MICROCODE=0"}},
        {{"sg_vpd", "-p", "0x83", "/dev/sg2"}, {"scsi_debug      16000", "0x3333333000003e80"}},
        {{"sg_requests", "/dev/sg0"}, {}},
        {{"sg_requests", "/dev/sg2"}, {"Sense key: No Sense"}},
        {{"sg_sat_identify", "-i", "/dev/sg0"}, {"0x5000c500a1b2c3d4"}},
        {{"/usr/sbin/smartctl", "-i", "/dev/sg0"},
         {"Model:     QSTOR ACME-7200 SATA HYBRID", "Number:    QS7X0042Z9", "Version: QA12.B07",
          "Id: 5 000c50 0a1b2c3d4"}},
        {{"/usr/sbin/smartctl", "-i", "-d", "scsi", "/dev/sg1"},
         {"NV-SAS10K", "N4R2", "NV0000777123", "0x5000c500b1b2c3d5", "16,777,216 bytes"}},
        {{"/usr/sbin/smartctl", "-i", "-d", "scsi", "/dev/sg2"},
         {"scsi_debug", "0191", "0x3333333000003e80", "4,194,304 bytes"}},
        {{"/usr/sbin/smartctl", "-x", "/dev/sg0"}, {"test result: PASSED", "No Errors Logged"}},
        {{"/usr/bin/sdparm", "-i", "/dev/sg1"}, {"N4R2", "0x5000c500b1b2c3d5"}},
        {{"/usr/sbin/hdparm", "-I", "/dev/sg0"},
         {"QSTOR ACME-7200 SATA HYBRID", "QS7X0042Z9", "QA12.B07", "Identifier: 5000c500a1b2c3d4",
          "Checksum: correct"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.argv[0] + " " + c.argv[c.argv.size() - 2] + " " + c.argv.back());
        RunResult r = under_bay(bay, c.argv);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        for (const std::string &s : c.shows)
            EXPECT_NE((r.out + r.err).find(s), std::string::npos) << s << "\n" << r.out << r.err;
    }
}

// A bay captured from a bay lists, identifies and plans as the bay; capture sends nothing but
// the identification commands of its table; a rehearsed download shows in the answers.
TEST(Capture, AnswersAsTheCapturedDrivesAndSendsOnlyIdentification) {
    if (sgsim_path().empty() || !have_sg3_utils())
        GTEST_SKIP() << "needs sgsim and sg3-utils";
    std::string bay = write_bay(k_bay);
    std::string dir = bay.substr(0, bay.rfind('/'));
    RunResult cap = under_bay(bay, {sgsim_path(), "capture", "-o", dir + "/captured.json"});
    ASSERT_EQ(cap.status, 0) << cap.err;
    for (const std::string &line : file_lines(dir + "/trace.jsonl")) {
        std::string cdb = line.substr(line.find("\"cdb\":\"") + 7, 32);
        bool pt16 = cdb.rfind("85", 0) == 0, pt12 = cdb.rfind("a1", 0) == 0;
        std::string ata = pt16 ? cdb.substr(28, 2) : pt12 ? cdb.substr(18, 2) : "";
        bool allowed = cdb.rfind("12", 0) == 0 || cdb.rfind("3c03", 0) == 0 || ata == "ec" ||
                       (pt16 && ata == "2f");
        EXPECT_TRUE(allowed && line.find(R"("direction":"from_dev")") != std::string::npos) << line;
    }
    std::vector<std::string> ids = {"sh", "-c",
                                    "for n in 0 1 2; do sg_inq /dev/sg$n; sg_vpd -p 0x83 "
                                    "/dev/sg$n; sg_vpd -p 0x80 /dev/sg$n; done; " +
                                        std::string(DL_COR_FW_PATH) + " -i --enump --tmc 31847"};
    RunResult want = under_bay(bay, ids);
    RunResult got = under_bay(dir + "/captured.json", ids);
    EXPECT_EQ(mask_time(got.out), mask_time(want.out));
    EXPECT_EQ(got.status, want.status);

    std::string text = read_file(dir + "/captured.json");
    text.replace(text.find("\"type\": \"sata\""), 14,
                 R"("type": "sata", "firmware": {"mode": "accept-any", "target": "QA13.B08"})");
    write_file(dir + "/captured.json", text);
    write_file(dir + "/img", std::string(4096, 'x'));
    RunResult dl =
        under_bay(dir + "/captured.json", {DL_COR_FW_PATH, "-f", dir + "/img", "-d", "/dev/sg0"});
    EXPECT_EQ(dl.status, 0) << dl.out << dl.err;
    RunResult after = under_bay(dir + "/captured.json", {"sg_inq", "/dev/sg0"});
    EXPECT_NE(after.out.find("revision level: .B08"), std::string::npos) << after.out;
    RunResult id = under_bay(dir + "/captured.json", {"sg_vpd", "-p", "0x89", "/dev/sg0"});
    EXPECT_NE(id.out.find("firmware revision: QA13.B08"), std::string::npos) << id.out;
    // show prints a drive string with NUL and control bytes whole and harmless.
    std::string odd = write_bay(R"({"drives": [{"node": "/dev/sg0", "type": "scsi",
        "serial": "SN\u0000\u001b[2J\\"}]})");
    EXPECT_NE(run_command({sgsim_path(), "show", odd}).out.find(R"(SN: SN\x00\x1b[2J\\ )"),
              std::string::npos);
}

} // namespace
