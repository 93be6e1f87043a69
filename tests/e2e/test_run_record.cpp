// --verify, --record and the system log line under the simulated bay: the revision read again
// and the commands it takes, the record of a mixed bay against docs/record.schema.json with
// the images' SHA-256, the system log lines of the same runs, and a record path that cannot be
// opened.
#include "test_run_util.h"
#include "test_sgsim_util.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string k_inquiry = "120000006000";
const std::string k_vpd86 = "120186006000";
const std::string k_identify = "a1082a000100000040ec0000";
const std::string k_fwreq_plain = "a1082a0001db972040ec0000";

// The commands of the trace after the last one that carried data to the drive.
std::vector<std::string> after_download(const std::vector<TraceEntry> &trace) {
    std::vector<std::string> after;
    for (const TraceEntry &e : trace) {
        if (e.direction == "to_dev") {
            after.clear();
        } else {
            after.push_back(e.cdb);
        }
    }
    return after;
}

TEST(RunVerify, RevisionReadAgainAndJudged) {
    struct Case {
        const char *what;
        bool verify;
        nlohmann::json drive;
        std::string lines; // after the progress line
        std::string err;
        int status;
        std::vector<std::string> reread;
    };
    const nlohmann::json takes = R"({"firmware": {"mode": "accept-any", "target": "N5R0"}})"_json;
    const nlohmann::json keeps = R"({"firmware": {"mode": "keep-revision"}})"_json;
    const std::vector<Case> cases = {
        {"without --verify nothing follows the image",
         false,
         scsi_drive("/dev/sg0", "NORTHVL", "NV-SAS10K", "N4R2", "NV01", keeps),
         "Download SUCCESSFUL\n",
         "",
         0,
         {}},
        {"a SCSI drive that takes the image: nothing is sent after the re-read",
         true,
         scsi_drive("/dev/sg0", "NORTHVL", "NV-SAS10K", "N4R2", "NV01", takes),
         "Revision of /dev/sg0: N4R2 -> N5R0\nDownload SUCCESSFUL\n",
         "",
         0,
         {k_inquiry}},
        {"a SCSI drive that keeps its revision: page 86h says nothing of a reset",
         true,
         scsi_drive("/dev/sg0", "NORTHVL", "NV-SAS10K", "N4R2", "NV01", keeps),
         "Revision of /dev/sg0: N4R2 -> N4R2\nDownload FAILED\n",
         "",
         2,
         {k_inquiry, k_vpd86}},
        {"a SATA drive: its full revision",
         true,
         sata_drive("/dev/sg0", "QSTOR ACME-7200", "QS01", "QA12.B07",
                    R"({"firmware": {"mode": "accept-any", "target": "QA13.B00"}})"_json),
         "Revision of /dev/sg0: QA12.B07 -> QA13.B00\nDownload SUCCESSFUL\n",
         "",
         0,
         {k_identify, k_fwreq_plain}},
        {"the re-read times out",
         true,
         scsi_drive("/dev/sg0", "NORTHVL", "NV-SAS10K", "N4R2", "NV01",
                    R"({"firmware": {"mode": "accept-any", "target": "N5R0"},
                        "faults": [{"on": "inquiry", "index": 2, "kind": "timeout"}]})"_json),
         "Revision of /dev/sg0: N4R2 -> unreadable\nDownload SUCCESSFUL\n",
         "WARNING: Unabled to verify firmware revision change.\n",
         0,
         {k_inquiry}},
    };
    for (const Case &c : cases) {
        Bay bay = make_bay({c.drive});
        std::string image = make_bytes(bay.dir, "fw.img", 4096);
        std::vector<std::string> args = {"-f", image, "-d", "/dev/sg0"};
        if (c.verify) {
            args.push_back("--verify");
        }
        RunResult r = run_dl(bay, args);
        EXPECT_EQ(body(r), "Downloading file " + image + " to /dev/sg0\n .  !\n" + c.lines)
            << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(after_download(read_trace(bay)), c.reread) << c.what;
    }
}

#if defined(CFS_TOOL_PATH)
// Three runs append to one record: a CFS run over a mixed bay, a -f run to its SCSI drive, a
// listing that stops at a device that is not there. Every line fits the schema, each image's
// digest is that of its file, and the lines say what happened to each drive; the system log
// lines of the downloads come out of the trace.
TEST(RunRecord, MixedBayRecordAndSystemLog) {
    Bay bay = make_bay({
        sata_drive("/dev/sg0", "QX2000A", "  QX0001", "A104"),
        sata_drive("/dev/sg1", "QX2000A", "QX0002", "B205"),
        sata_drive("/dev/sg10", "QX9000", "QX0003", "Z1"),
        scsi_drive("/dev/sg2", "CORVANE", "CV-SAS10K", "N4R2", "  CV00012345678901"),
        sata_drive("/dev/sg3", "QX2000A", "QX0004", "A105",
                   R"({"firmware": {"mode": "keep-revision"}})"_json),
        sata_drive("/dev/sg4", "QX2000A", "QX0005", "A106",
                   R"({"faults": [{"on": "download", "kind": "abort"}]})"_json),
    });
    const std::string &d = bay.dir;
    ASSERT_EQ(mkdir((d + "/fw").c_str(), 0755), 0);
    std::string qx = make_image(d, "fw/qx2000a_b205.bin", "QX2000A", "B205", 8192);
    std::string cv = make_image(d, "fw/cv_n5r0.lod", "CV-SAS10K", "N5R0", 70000);
    write_file(d + "/map.txt", "QX2000A;A1??;" + qx + ";B205\n");
    ASSERT_EQ(run_command({CFS_TOOL_PATH, "pack", d + "/map.txt", d + "/map.cfs"}).status, 0);
    std::string record = d + "/run.jsonl";

    EXPECT_EQ(run_dl(bay, {"-c", d + "/map.cfs", "--verify", "--record", record}).status, 2);
    EXPECT_EQ(run_dl(bay, {"-f", cv, "-d", "/dev/sg2", "--verify", "--record", record}).status, 0);
    EXPECT_EQ(run_dl(bay, {"-i", "-d", "/dev/sg2", "-d", "/dev/sg9", "--record", record}).status,
              3);

    const char *script = R"(
import hashlib, json, sys
import jsonschema
validator = jsonschema.Draft202012Validator(json.load(open(sys.argv[1])))
for line in open(sys.argv[2], encoding="ascii"):
    r = json.loads(line)
    validator.validate(r)
    if r["record"] == "run":
        print("run", r["devices"], r["exit_status"])
        continue
    if r["image_sha256"] is not None:
        assert r["image_sha256"] == hashlib.sha256(open(r["image"], "rb").read()).hexdigest()
        assert r["image_size"] == len(open(r["image"], "rb").read())
    print(r["device"], r["serial"], r["ata_serial"], r["decision"], r["outcome"],
          r["revision_before"], r["revision_after"], r["method"], r["reason"])
)";
    const std::string python = "/usr/bin/python3";
    if (access(python.c_str(), X_OK) != 0 ||
        run_command({python, "-c", "import jsonschema"}).status != 0) {
        GTEST_SKIP() << "python3-jsonschema is not installed";
    }
    std::string schema = std::string(E2E_DATA_DIR) + "/../../docs/record.schema.json";
    RunResult v = run_command({python, "-c", script, schema, record});
    EXPECT_EQ(v.err, "");
    EXPECT_EQ(v.out,
              "/dev/sg0 QX0001 QX0001 download updated A104 B205 DOWNLOAD MICROCODE 07h None\n"
              "/dev/sg1 QX0002 QX0002 up_to_date None B205 None None None\n"
              "/dev/sg10 QX0003 QX0003 no_match None Z1 None None None\n"
              "/dev/sg2 CV00012345678901 None passed_over None N4R2 None None None\n"
              "/dev/sg3 QX0004 QX0004 download unchanged A105 A105 DOWNLOAD MICROCODE 07h the "
              "drive still reports revision A105\n"
              "/dev/sg4 QX0005 QX0005 download failed A106 None DOWNLOAD MICROCODE 07h CHECK "
              "CONDITION, sense key 0xb ABORTED COMMAND, ASC/ASCQ 0x00/0x00 no additional sense "
              "information, ATA Error 0x04 Status 0x41 Count 0x10\n"
              "run 6 2\n"
              "/dev/sg2 CV00012345678901 None download updated N4R2 N5R0 WRITE BUFFER 05h None\n"
              "run 1 0\n"
              "/dev/sg2 CV00012345678901 None listed None N5R0 None None None\n"
              "/dev/sg9 None None not_identified None None None None the device could not be "
              "opened\n"
              "run 2 3\n");

    std::vector<std::string> logged;
    for (const std::string &line : syslog_lines(bay)) {
        logged.push_back(std::regex_replace(line, std::regex(d + "|[0-9a-f]{64}"), "<>"));
    }
    const std::string qx_sent = " image=<>/fw/qx2000a_b205.bin sha256=<> method=\"DOWNLOAD "
                                "MICROCODE 07h\" revision_before=";
    EXPECT_EQ(logged,
              (std::vector<std::string>{
                  "user.notice dl_cor_fw: device=/dev/sg0 model=QX2000A serial=QX0001" + qx_sent +
                      "A104 revision_after=B205 outcome=updated",
                  "user.err dl_cor_fw: device=/dev/sg3 model=QX2000A serial=QX0004" + qx_sent +
                      "A105 revision_after=A105 outcome=unchanged reason=\"the drive still "
                      "reports revision A105\"",
                  "user.err dl_cor_fw: device=/dev/sg4 model=QX2000A serial=QX0005" + qx_sent +
                      "A106 outcome=failed reason=\"CHECK CONDITION, sense key 0xb ABORTED "
                      "COMMAND, ASC/ASCQ 0x00/0x00 no additional sense information, ATA Error 0x04 "
                      "Status 0x41 Count 0x10\"",
                  "user.notice dl_cor_fw: device=/dev/sg2 model=CV-SAS10K serial=CV00012345678901 "
                  "image=<>/fw/cv_n5r0.lod sha256=<> method=\"WRITE BUFFER 05h\" "
                  "revision_before=N4R2 revision_after=N5R0 outcome=updated",
              }));
}
#endif

// A record that cannot be opened ends the run before any device is opened: the banner, one
// line on standard error, status 1, and nothing in the trace.
TEST(RunRecord, UnusableRecordPathTouchesNoDrive) {
    Bay bay = make_bay({scsi_drive("/dev/sg0", "NORTHVL", "NV-SAS10K", "N4R2", "NV01")});
    std::string image = make_bytes(bay.dir, "fw.img", 4096);
    const std::pair<std::string, std::string> cases[] = {
        {bay.dir, "not a regular file"},
        {bay.dir + "/missing/run.jsonl", "No such file or directory"},
    };
    for (const auto &[path, why] : cases) {
        RunResult r = run_dl(bay, {"-f", image, "-d", "/dev/sg0", "--record", path});
        EXPECT_EQ(body(r), "") << path;
        EXPECT_EQ(r.err, "Could not open record file " + path + ": " + why + "\n");
        EXPECT_EQ(r.status, 1) << path;
        EXPECT_EQ(access(bay.trace.c_str(), F_OK), -1) << path << ": the trace exists";
    }
}

} // namespace
