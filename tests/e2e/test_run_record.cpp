// --verify, --record and the system log under the simulated bay: the revision read again and
// what it sends, a mixed bay's record against docs/record.schema.json with the images'
// SHA-256, the system log lines of the same runs, and a record path that cannot be opened.
#include "scene.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string k_tur = "000000000000"; // until the drive answers: test_run_follow.cpp
const std::string k_inquiry = "120000006000";
const std::string k_vpd86 = "120186006000";
const std::string k_warning = "WARNING: Unabled to verify firmware revision change.\n";

// -f to a SCSI drive at N4R2, with and without --verify: the lines after the progress line,
// the status, and the commands the trace shows after the image.
TEST(RunVerify, RevisionReadAgainAndJudged) {
    struct Case {
        const char *flag;  // --verify, or "" for none
        const char *drive; // the drive's firmware and faults
        std::string lines;
        std::string err;
        int status;
        std::vector<std::string> after_image;
    };
    const char *keeps = R"({"firmware": {"mode": "keep-revision"}})";
    const char *takes = R"({"firmware": {"mode": "accept-any", "target": "N5R0"}})";
    const char *waits = R"({"firmware": {"mode": "keep-revision"},
                            "extended_inquiry": {"activate_microcode": 2}})";
    const char *times_out = R"({"firmware": {"mode": "accept-any", "target": "N5R0"},
                                "faults": [{"on": "inquiry", "index": 2, "kind": "timeout"}]})";
    const std::string rev = "Revision of /dev/sg0: N4R2 -> ";
    const std::string ok = "Download SUCCESSFUL\n";
    const std::string pending = "Activation of the new firmware on /dev/sg0 is pending until the "
                                "drive is reset or power-cycled\n";
    const Case cases[] = {
        {"", keeps, ok, "", 0, {}},
        {"--verify", takes, rev + "N5R0\n" + ok, "", 0, {k_inquiry}},
        // Page 86h of the simulated drive states nothing about a reset.
        {"--verify", keeps, rev + "N4R2\nDownload FAILED\n", "", 2, {k_inquiry, k_vpd86}},
        {"--verify", waits, rev + "N4R2\n" + ok + pending, "", 0, {k_inquiry, k_vpd86}},
        {"--verify", times_out, rev + "unreadable\n" + ok, k_warning, 0, {k_inquiry}},
    };
    for (const Case &c : cases) {
        Bay bay = make_bay({scsi_drive("/dev/sg0", "NORTHVL", "NV-SAS10K", "N4R2", "NV01",
                                       nlohmann::json::parse(c.drive))});
        std::string image = make_bytes(bay.dir, "fw.img", 4096);
        std::vector<std::string> args = {"-f", image, "-d", "/dev/sg0"};
        if (*c.flag != '\0') {
            args.push_back(c.flag);
        }
        RunResult r = run_dl(bay, args);
        EXPECT_EQ(body(r), "Downloading file " + image + " to /dev/sg0\n .  !\n" + c.lines);
        EXPECT_EQ(r.err, c.err) << c.lines;
        EXPECT_EQ(r.status, c.status) << c.lines;
        std::vector<std::string> after;
        size_t page83 = 0; // asked for only when the run names drives (--verify here)
        for (const TraceEntry &e : read_trace(bay)) {
            page83 += e.cdb.starts_with("120183") ? 1 : 0;
            e.direction == "to_dev" ? after.clear()
            : e.cdb == k_tur        ? void()
                                    : after.push_back(e.cdb);
        }
        EXPECT_EQ(after, c.after_image) << c.lines;
        EXPECT_EQ(page83, *c.flag != '\0' ? 1u : 0u) << c.lines;
    }
}

#if defined(CFS_TOOL_PATH)
// Three runs append to one record: -c over a mixed bay, -f to its SCSI drive, a listing that
// stops at a missing device. Every line fits the schema and names its image's digest.
TEST(RunRecord, MixedBayRecordAndSystemLog) {
    Bay bay = make_bay({
        sata_drive("/dev/sg0", "QX2000A", "  QX0001", "A104"),
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
    // A staged update of the SCSI drive and its activation.
    std::string cv6 = make_image(d, "fw/cv_n6r0.lod", "CV-SAS10K", "N6R0", 8192);
    EXPECT_EQ(run_dl(bay, {"--stage", "-f", cv6, "-d", "/dev/sg2", "--record", record}).status, 0);
    EXPECT_EQ(run_dl(bay, {"--activate", "-d", "/dev/sg2", "--record", record}).status, 0);

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
          r["revision_before"], r["revision_after"])
)";
    const std::string python = "/usr/bin/python3";
    if (access(python.c_str(), X_OK) != 0 ||
        run_command({python, "-c", "import jsonschema"}).status != 0) {
        GTEST_SKIP() << "python3-jsonschema is not installed";
    }
    std::string schema = std::string(E2E_DATA_DIR) + "/../../docs/record.schema.json";
    RunResult v = run_command({python, "-c", script, schema, record});
    EXPECT_EQ(v.err, "");
    EXPECT_EQ(v.out, "/dev/sg0 QX0001 QX0001 download updated A104 B205\n"
                     "/dev/sg2 CV00012345678901 None passed_over None N4R2 None\n"
                     "/dev/sg3 QX0004 QX0004 download unchanged A105 A105\n"
                     "/dev/sg4 QX0005 QX0005 download failed A106 None\n"
                     "run 4 2\n"
                     "/dev/sg2 CV00012345678901 None download updated N4R2 N5R0\n"
                     "run 1 0\n"
                     "/dev/sg2 CV00012345678901 None listed None N5R0 None\n"
                     "/dev/sg9 None None not_identified None None None\n"
                     "run 2 3\n"
                     "/dev/sg2 CV00012345678901 None download pending N5R0 N5R0\n"
                     "run 1 0\n"
                     "/dev/sg2 CV00012345678901 None activate updated N5R0 N6R0\n"
                     "run 1 0\n");
    struct stat st;
    ASSERT_EQ(stat(record.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    // The system log lines of the downloads, image directory, digests and WWN masked.
    std::string logged;
    int named = 0;
    for (const std::string &line : syslog_lines(bay)) {
        named += line.find(" wwn=33333330000007d0 ") != std::string::npos ? 1 : 0;
        logged +=
            std::regex_replace(line, std::regex(d + "/fw/|[0-9a-f]{64}| wwn=\\w+"), "") + "\n";
    }
    EXPECT_EQ(named, 3); // the SCSI drive's lines: the name scsi_debug derives
    const std::string qx_sent =
        " image=qx2000a_b205.bin sha256= method=\"DOWNLOAD MICROCODE 07h\" revision_before=";
    EXPECT_EQ(logged,
              "user.notice dl_cor_fw: device=/dev/sg0 model=QX2000A serial=QX0001" + qx_sent +
                  "A104 revision_after=B205 outcome=updated\n" +
                  "user.err dl_cor_fw: device=/dev/sg3 model=QX2000A serial=QX0004" + qx_sent +
                  "A105 revision_after=A105 outcome=unchanged reason=\"the drive still "
                  "reports revision A105\"\n" +
                  "user.err dl_cor_fw: device=/dev/sg4 model=QX2000A serial=QX0005" + qx_sent +
                  "A106 outcome=failed reason=\"CHECK CONDITION, sense key 0xb ABORTED "
                  "COMMAND, ASC/ASCQ 0x00/0x00 no additional sense information, ATA "
                  "Error 0x04 Status 0x41 Count 0x10\"\n"
                  "user.notice dl_cor_fw: device=/dev/sg2 model=CV-SAS10K "
                  "serial=CV00012345678901 image=cv_n5r0.lod sha256= method=\"WRITE "
                  "BUFFER 05h\" revision_before=N4R2 revision_after=N5R0 outcome=updated\n"
                  "user.notice dl_cor_fw: device=/dev/sg2 model=CV-SAS10K "
                  "serial=CV00012345678901 image=cv_n6r0.lod sha256= method=\"WRITE "
                  "BUFFER 0Eh\" revision_before=N5R0 revision_after=N5R0 outcome=pending "
                  "reason=\"the firmware is staged: the drive runs it once activated "
                  "(--activate) or power-cycled\"\n"
                  "user.notice dl_cor_fw: device=/dev/sg2 model=CV-SAS10K "
                  "serial=CV00012345678901 method=\"WRITE BUFFER 0Fh\" revision_before=N5R0 "
                  "revision_after=N6R0 outcome=updated\n");
}
#endif

// A record that cannot be opened ends the run before any device is opened: the banner, one
// line on standard error, status 1, and nothing in the trace.
TEST(RunRecord, UnusableRecordPathTouchesNoDrive) {
    Bay bay = make_bay({scsi_drive("/dev/sg0", "NORTHVL", "NV-SAS10K", "N4R2", "NV01")});
    std::string image = make_bytes(bay.dir, "fw.img", 4096);
    // A link to a bay node leads to the node under sgsim, as on a real host: nothing is made
    // at the node's path.
    ASSERT_EQ(symlink("/dev/sg0", (bay.dir + "/link").c_str()), 0);
    const std::pair<std::string, std::string> cases[] = {
        {bay.dir, "not a regular file"},
        {bay.dir + "/missing/run.jsonl", "No such file or directory"},
        {bay.dir + "/link", "not a regular file"},
    };
    for (const auto &[path, why] : cases) {
        RunResult r = run_dl(bay, {"-f", image, "-d", "/dev/sg0", "--record", path});
        EXPECT_EQ(body(r), "") << path;
        EXPECT_EQ(r.err, "Could not open record file " + path + ": " + why + "\n");
        EXPECT_EQ(r.status, 1) << path;
        EXPECT_EQ(access(bay.trace.c_str(), F_OK), -1) << path << ": the trace exists";
        EXPECT_NE(access("/dev/sg0", F_OK), 0) << path << ": a file was made at /dev/sg0";
    }
}

} // namespace
