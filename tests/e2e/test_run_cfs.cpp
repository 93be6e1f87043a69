// The CFS-driven run of dl_cor_fw under the simulated bay: the configuration file loaded once,
// every ATA drive with a complete identity looked up, the download, the revision check that
// decides between success and failure, and the messages of the load and lookup failures with
// the order in which the two output streams interleave.
#if defined(SGSIM_PATH) && defined(CFS_TOOL_PATH)

#include "harness.h"
#include "scene.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

const std::string k_prog = DL_COR_FW_PATH;
const std::string k_tool = CFS_TOOL_PATH;

// One ATA DOWNLOAD MICROCODE 07h command for a 4096-byte image: one mark, then the end.
const std::string k_one_command = " .  !\n";

// A simulated image: where it lies (relative to the scene) and what it is made for.
struct Image {
    std::string path;
    std::string model;
    std::string revision;
};

// A directory holding the bay, the firmware images, the configuration text and its CFS file
// (map.cfs); the run starts there, so the relative image paths of the text resolve there.
struct Scene {
    std::string dir;
    std::string bay;
    std::string cfs;
};

Scene make_scene(const std::string &bay_json, const std::string &map_text,
                 const std::vector<Image> &images) {
    Scene s;
    s.dir = make_temp_dir();
    s.bay = s.dir + "/bay.json";
    s.cfs = s.dir + "/map.cfs";
    write_file(s.bay, bay_json);
    std::filesystem::create_directories(s.dir + "/fw");
    for (const auto &image : images) {
        RunResult r = run_command({sgsim_path(), "mkimage", "--model", image.model, "--revision",
                                   image.revision, s.dir + "/" + image.path});
        EXPECT_EQ(r.status, 0) << r.err;
    }
    write_file(s.dir + "/map.txt", map_text);
    RunResult r = run_command({k_tool, "pack", s.dir + "/map.txt", s.cfs});
    EXPECT_EQ(r.status, 0) << r.err;
    return s;
}

// Runs dl_cor_fw with args under the scene's bay, from the scene's directory (or cwd). With
// merged, standard error goes into the same pipe as standard output, in r.out.
RunResult run_dl(const Scene &s, const std::vector<std::string> &args, bool merged = false,
                 const std::string &cwd = "") {
    RunSpec spec;
    if (merged) {
        spec.argv = {"sh", "-c", "exec \"$0\" \"$@\" 2>&1"};
    }
    for (const std::string &a :
         {sgsim_path(), std::string("run"), s.bay, std::string("--"), k_prog}) {
        spec.argv.push_back(a);
    }
    spec.argv.insert(spec.argv.end(), args.begin(), args.end());
    spec.cwd = cwd.empty() ? s.dir : cwd;
    return run_command(spec);
}

size_t count_of(const std::string &text, const std::string &piece) {
    size_t n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++n;
    }
    return n;
}

std::string downloading(const std::string &image, const std::string &node) {
    return "Downloading file " + image + " to " + node + "\n";
}

// The revision a bay file holds for a node now, as sgsim show prints it.
std::string bay_revision(const std::string &bay, const std::string &node) {
    RunResult r = run_command({sgsim_path(), "show", bay});
    size_t line = r.out.find(node + " ");
    size_t fw = r.out.find(" FW: ", line);
    if (line == std::string::npos || fw == std::string::npos) {
        return "";
    }
    fw += 5;
    return r.out.substr(fw, r.out.find(' ', fw) - fw);
}

// The bay of the main run, as /dev lists it: sg0 and sg10 SCSI drives, sg1 a SATA drive that
// takes the image the text names for it, sg2 a SATA drive of a model whose newest revision it
// already has (answering the dotted firmware request), sg3 a model the text does not know,
// sg4 the same model as sg2 at an older revision.
const std::string k_main_bay = R"({"trace": "trace.jsonl", "drives": [
  {"node": "/dev/sg0", "type": "scsi", "vendor": "NORTHVL", "product": "NV-SAS10K",
   "revision": "N4R2", "serial": "NV0000777123", "flavor": "scsi-hd",
   "firmware": {"mode": "accept-any", "target": "N5R0"}},
  {"node": "/dev/sg1", "type": "sata", "model": "QSTOR ACME-7200", "serial": "QS7X0042Z9",
   "revision": "QA12.B07"},
  {"node": "/dev/sg10", "type": "scsi", "vendor": "Linux", "product": "scsi_debug",
   "revision": "0191", "serial": "16000", "firmware": {"mode": "accept-any", "target": "0192"}},
  {"node": "/dev/sg2", "type": "sata", "model": "HALCYON HD-4000", "serial": "HC4K00017",
   "revision": "HD40.005", "fwreq": "dotted", "fwreq_text": "{rev}.0042.77.X9",
   "fwreq_suffix": "R7"},
  {"node": "/dev/sg3", "type": "sata", "model": "MERIDIAN MX500", "serial": "MX5-0001",
   "revision": "MX5R0101"},
  {"node": "/dev/sg4", "type": "sata", "model": "HALCYON HD-4000", "serial": "HC4K00018",
   "revision": "HD40.003", "fwreq": "dotted", "fwreq_text": "{rev}.0042.77.X9",
   "fwreq_suffix": "R7"}]})";

// The dotted drives' full revision is the first four fields of the answer and the suffix:
// HD40.003.0042.77.R7. A catch-all entry for SCSI product names shows that those drives are
// never looked up.
const std::string k_main_map = "# fleet map\n"
                               "QSTOR ACME-72*;QA12.*;fw/acme_qa13.bin;QA13.*\n"
                               "HALCYON HD-4000;HD40.00?.*;fw/hd40_005.bin;HD40.005.*\n"
                               "NV-SAS10K;*;fw/acme_qa13.bin;\n";

const std::vector<Image> k_main_images = {
    {"fw/acme_qa13.bin", "QSTOR ACME-7200", "QA13.B01"},
    {"fw/hd40_005.bin", "HALCYON HD-4000", "HD40.005"},
};

const std::string k_up_to_date_sg2 = "The firmware on /dev/sg2 is up to date\n";
const std::string k_no_match_sg3 = "/dev/sg3 does not match any entries in map.cfs\n";

TEST(RunCfs, MixedBayUpdatesThenReportsUpToDate) {
    Scene s = make_scene(k_main_bay, k_main_map, k_main_images);

    RunResult first = run_dl(s, {"-c", "map.cfs"});
    EXPECT_EQ(mask_time(first.out), k_banner + "Scanning map.cfs\n" +
                                        downloading("fw/acme_qa13.bin", "/dev/sg1") +
                                        k_one_command + "Download SUCCESSFUL\n" +
                                        downloading("fw/hd40_005.bin", "/dev/sg4") + k_one_command +
                                        "Download SUCCESSFUL\n\n");
    EXPECT_EQ(first.err, k_up_to_date_sg2 + k_no_match_sg3);
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(bay_revision(s.bay, "/dev/sg1"), "QA13.B01");
    EXPECT_EQ(bay_revision(s.bay, "/dev/sg4"), "HD40.005");
    // The SCSI drives were identified and nothing else: no WRITE BUFFER reached them.
    EXPECT_EQ(bay_revision(s.bay, "/dev/sg0"), "N4R2");
    EXPECT_EQ(bay_revision(s.bay, "/dev/sg10"), "0191");
    for (const auto &line : file_lines(s.dir + "/trace.jsonl")) {
        bool scsi = line.find("\"/dev/sg0\"") != std::string::npos ||
                    line.find("\"/dev/sg10\"") != std::string::npos;
        EXPECT_FALSE(scsi && line.find("\"cdb\":\"3b") != std::string::npos) << line;
    }

    // Same bay again, both streams in one pipe: every drive the first run updated is now up
    // to date, in the order the devices come.
    RunResult second = run_dl(s, {"-c", "map.cfs"}, true);
    EXPECT_EQ(mask_time(second.out), k_banner + "Scanning map.cfs\n" +
                                         "The firmware on /dev/sg1 is up to date\n" +
                                         k_up_to_date_sg2 + k_no_match_sg3 +
                                         "The firmware on /dev/sg4 is up to date\n" + "\n");
    EXPECT_EQ(second.status, 0);
}

TEST(RunCfs, StreamsInterleaveInTheOrderOfEvents) {
    Scene s = make_scene(k_main_bay, k_main_map, k_main_images);
    RunResult r = run_dl(s, {"-i", "-c", "map.cfs"}, true);
    // The listing shows the INQUIRY revision: the last four characters of the IDENTIFY one.
    EXPECT_EQ(
        mask_time(r.out),
        k_banner + "NORTHVL   /dev/sg0 MN: NV-SAS10K            SN: NV000077 FW: N4R2\n" +
            "ATA       /dev/sg1 MN: QSTOR ACME-7200      SN: QS7X0042 FW: .B07\n" +
            "Scanning map.cfs\n" + downloading("fw/acme_qa13.bin", "/dev/sg1") + k_one_command +
            "Download SUCCESSFUL\n" +
            "Linux     /dev/sg10 MN: scsi_debug           SN: 16000    FW: 0191\n" +
            "ATA       /dev/sg2 MN: HALCYON HD-4000      SN: HC4K0001 FW: .005\n" +
            k_up_to_date_sg2 +
            "ATA       /dev/sg3 MN: MERIDIAN MX500       SN: MX5-0001 FW: 0101\n" + k_no_match_sg3 +
            "ATA       /dev/sg4 MN: HALCYON HD-4000      SN: HC4K0001 FW: .003\n" +
            downloading("fw/hd40_005.bin", "/dev/sg4") + k_one_command + "Download SUCCESSFUL\n\n");
    EXPECT_EQ(count_of(r.out, "Scanning"), 1u);
    EXPECT_EQ(r.status, 0);
}

// A keep-revision drive takes the image and stays where it was: the check after the download
// makes that a failure, and a later success does not set the status back. The drive ends
// IDENTIFY with status 58h as QEMU's AHCI disk does, which libata reports as ABORTED COMMAND
// with clean registers: an answer, at identification and at the check alike.
TEST(RunCfs, UnchangedRevisionIsAFailedDownload) {
    Scene s = make_scene(
        R"({"drives": [
      {"node": "/dev/sg0", "type": "sata", "model": "TORVEX T9", "serial": "TV0001",
       "revision": "TV1", "firmware": {"mode": "keep-revision"}, "pio_in_status": 88},
      {"node": "/dev/sg1", "type": "sata", "model": "QSTOR ACME-7200", "serial": "QS7X0042Z9",
       "revision": "QA12.B07"}]})",
        "TORVEX T9;TV1;fw/tv2.bin;TV2\n"
        "QSTOR ACME-7200;QA12.B07;fw/acme_qa13.bin;QA13.B01\n",
        {{"fw/tv2.bin", "TORVEX T9", "TV2"}, {"fw/acme_qa13.bin", "QSTOR ACME-7200", "QA13.B01"}});
    RunResult r = run_dl(s, {"-c", "map.cfs", "-d", "/dev/sg0", "-d", "/dev/sg1"});
    EXPECT_EQ(mask_time(r.out), k_banner + "Scanning map.cfs\n" +
                                    downloading("fw/tv2.bin", "/dev/sg0") + k_one_command +
                                    "Download FAILED\n" +
                                    downloading("fw/acme_qa13.bin", "/dev/sg1") + k_one_command +
                                    "Download SUCCESSFUL\n\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(bay_revision(s.bay, "/dev/sg0"), "TV1");
    EXPECT_EQ(bay_revision(s.bay, "/dev/sg1"), "QA13.B01");
}

// The revision read after the download fails at the transport: the download stands as a
// success with a warning, and the status is left as it was. The drive did take the image.
TEST(RunCfs, RevisionThatCannotBeReadAgainIsAWarning) {
    struct Case {
        const char *what;
        nlohmann::json fault;
    };
    // Identification sends IDENTIFY twice (model, then revision) and one firmware request;
    // the check after the download sends the third IDENTIFY and the second request.
    const Case cases[] = {
        {"IDENTIFY after the download", R"({"on": "identify", "index": 3, "kind": "errno"})"_json},
        {"firmware request after the download",
         R"({"on": "fwreq", "index": 2, "kind": "errno"})"_json},
    };
    for (const auto &c : cases) {
        nlohmann::json doc = R"({"drives": [
          {"node": "/dev/sg0", "type": "sata", "model": "QSTOR ACME-7200",
           "serial": "QS7X0042Z9", "revision": "QA12.B07"},
          {"node": "/dev/sg1", "type": "sata", "model": "MERIDIAN MX500", "serial": "MX5-0001",
           "revision": "MX5R0101"}]})"_json;
        doc["drives"][0]["faults"] = nlohmann::json::array({c.fault});
        const std::string bay = doc.dump(2);
        Scene s = make_scene(bay, k_main_map, k_main_images);
        const std::string download = downloading("fw/acme_qa13.bin", "/dev/sg0") + k_one_command;
        const std::string warning = "WARNING: Unabled to verify firmware revision change.\n";
        const std::string no_match = "/dev/sg1 does not match any entries in map.cfs\n";

        RunResult r = run_dl(s, {"-c", "map.cfs"});
        EXPECT_EQ(mask_time(r.out),
                  k_banner + "Scanning map.cfs\n" + download + "Download SUCCESSFUL\n\n")
            << c.what;
        EXPECT_EQ(r.err, "send_io: Input/output error\n" + warning + no_match) << c.what;
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_EQ(bay_revision(s.bay, "/dev/sg0"), "QA13.B01") << c.what;

        // The drive is at the new revision now; put it back to see the order in one pipe.
        write_file(s.bay, bay);
        RunResult m = run_dl(s, {"-c", "map.cfs"}, true);
        EXPECT_EQ(mask_time(m.out), k_banner + "Scanning map.cfs\n" + download +
                                        "send_io: Input/output error\n" + "Download SUCCESSFUL\n" +
                                        warning + no_match + "\n")
            << c.what;
        EXPECT_EQ(m.status, 0) << c.what;
    }
}

// A drive that keeps its revision, whose answer to the read after the download is not an
// answer: the cleared buffer it leaves must not pass for a new revision. Only a firmware
// request that transfers nothing is still an answer (the drive ignores the request, and the
// IDENTIFY data stand), which shows the revision unchanged.
TEST(RunCfs, RejectedRereadIsNeverANewRevision) {
    struct Case {
        const char *what;
        nlohmann::json fault;
        std::string verdict; // the line after the download
        std::string err;
        int status;
    };
    const std::string warning = "WARNING: Unabled to verify firmware revision change.\n";
    const Case cases[] = {
        {"IDENTIFY refused", R"({"on": "identify", "index": 3, "kind": "check", "key": 5,
          "asc": 36, "ascq": 0})"_json,
         "Download SUCCESSFUL\n", warning, 0},
        {"IDENTIFY aborted", R"({"on": "identify", "index": 3, "kind": "abort"})"_json,
         "Download SUCCESSFUL\n", warning, 0},
        {"IDENTIFY timed out", R"({"on": "identify", "index": 3, "kind": "timeout"})"_json,
         "Download SUCCESSFUL\n", warning, 0},
        {"IDENTIFY busy", R"({"on": "identify", "index": 3, "kind": "busy"})"_json,
         "Download SUCCESSFUL\n", warning, 0},
        {"IDENTIFY without data", R"({"on": "identify", "index": 3, "kind": "no_data"})"_json,
         "Download SUCCESSFUL\n", warning, 0},
        // A drive that refuses the plain request is one that ignores it, here as when the
        // drive was identified: the IDENTIFY revision stands, unchanged.
        {"firmware request aborted", R"({"on": "fwreq", "index": 2, "kind": "abort"})"_json,
         "Download FAILED\n", "", 2},
        {"firmware request without data", R"({"on": "fwreq", "index": 2, "kind": "no_data"})"_json,
         "Download FAILED\n", "", 2},
    };
    for (const auto &c : cases) {
        nlohmann::json bay = R"({"drives": [
          {"node": "/dev/sg0", "type": "sata", "model": "TORVEX T9", "serial": "TV0001",
           "revision": "TV1", "firmware": {"mode": "keep-revision"}}]})"_json;
        bay["drives"][0]["faults"] = nlohmann::json::array({c.fault});
        Scene s = make_scene(bay.dump(2), "TORVEX T9;TV1;fw/tv2.bin;TV2\n",
                             {{"fw/tv2.bin", "TORVEX T9", "TV2"}});
        RunResult r = run_dl(s, {"-c", "map.cfs"}, true);
        EXPECT_EQ(mask_time(r.out), k_banner + "Scanning map.cfs\n" +
                                        downloading("fw/tv2.bin", "/dev/sg0") + k_one_command +
                                        c.verdict + c.err + "\n")
            << c.what;
        EXPECT_EQ(r.status, c.status) << c.what;
    }
}

// The bay of the failure cases: a SCSI drive, then two ATA drives; every command is traced.
const std::string k_failure_bay = R"({"trace": "trace.jsonl", "drives": [
  {"node": "/dev/sg0", "type": "scsi", "vendor": "NORTHVL", "product": "NV-SAS10K",
   "revision": "N4R2", "serial": "NV0000777123"},
  {"node": "/dev/sg1", "type": "sata", "model": "QSTOR ACME-7200", "serial": "QS7X0042Z9",
   "revision": "QA12.B07"},
  {"node": "/dev/sg2", "type": "sata", "model": "MERIDIAN MX500", "serial": "MX5-0001",
   "revision": "MX5R0101"}]})";

// Flips one byte in the middle of a file.
void damage(const std::string &path) {
    std::string bytes = read_file(path);
    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x01);
    write_file(path, bytes);
}

bool trace_mentions(const Scene &s, const std::string &node) {
    for (const auto &line : file_lines(s.dir + "/trace.jsonl")) {
        if (line.find("\"node\":\"" + node + "\"") != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST(RunCfs, LoadAndLookupFailuresEndTheRun) {
    struct Case {
        const char *what;
        std::string map;              // the configuration text packed into map.cfs
        void (*spoil)(const Scene &); // what is done to the scene after packing, or nullptr
        std::string cfs_arg;
        std::string out; // standard output between the banner and the final newline
        std::string err;
        bool sg2_reached; // whether the run got as far as the last drive
    };
    const std::string good = "QSTOR ACME*;QA12.*;fw/acme_qa13.bin;QA13.*\n";
    const std::string acme =
        downloading("fw/acme_qa13.bin", "/dev/sg1") + k_one_command + "Download SUCCESSFUL\n";
    const Case cases[] = {
        {"one flipped byte", good, [](const Scene &s) { damage(s.cfs); }, "map.cfs",
         "Scanning map.cfs\n", "Could not decrypt map.cfs\n", false},
        {"the plain text instead of a CFS file", good, nullptr, "map.txt", "Scanning map.txt\n",
         "Could not decrypt map.txt\n", false},
        {"a missing file", good, nullptr, "none.cfs", "Scanning none.cfs\n",
         "Could not open none.cfs\n", false},
        {"a directory", good, nullptr, "fw", "Scanning fw\n", "Could not read fw\n", false},
        {"syntax error before the drive's entry", "QX9000;A100;fw/qx9000.bin\n" + good, nullptr,
         "map.cfs", "Scanning map.cfs\n", "Syntax error in map.cfs\n", false},
        // The first drive's entry comes first, so its lookup never reads the broken line;
        // the second drive's lookup does.
        {"syntax error after the first drive's entry", good + "QX9000;A100;fw/qx9000.bin\n",
         nullptr, "map.cfs", "Scanning map.cfs\n" + acme, "Syntax error in map.cfs\n", true},
    };
    for (const auto &c : cases) {
        Scene s = make_scene(k_failure_bay, c.map, k_main_images);
        if (c.spoil != nullptr) {
            c.spoil(s);
        }
        RunResult r = run_dl(s, {"-c", c.cfs_arg});
        EXPECT_EQ(mask_time(r.out), k_banner + c.out + "\n") << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(trace_mentions(s, "/dev/sg2"), c.sg2_reached) << c.what;

        write_file(s.bay, k_failure_bay);
        RunResult m = run_dl(s, {"-c", c.cfs_arg}, true);
        EXPECT_EQ(mask_time(m.out), k_banner + c.out + c.err + "\n") << c.what << " (one pipe)";
        EXPECT_EQ(m.status, 1) << c.what << " (one pipe)";
    }
}

// Without an ATA drive whose identity could be read in full, the CFS file is never opened:
// not even a damaged or missing one is noticed.
TEST(RunCfs, NoCompleteAtaIdentityLeavesTheFileUnread) {
    struct Case {
        const char *what;
        nlohmann::json sata_extra; // further members of the SATA drive's record
        std::string err;           // what the transport reports on the way
        std::string listed;        // the SATA drive's listing line
    };
    const Case cases[] = {
        {"model number not read",
         R"({"faults": [{"on": "identify", "index": 1, "kind": "errno"}]})"_json,
         "send_io: Input/output error\n",
         "ATA       /dev/sg1 MN: QSTOR                SN: QS7X0042 FW: .B07\n"},
        {"firmware revision not read",
         R"({"faults": [{"on": "fwreq", "index": 1, "kind": "errno", "errno": "EIO"}]})"_json,
         "send_io: Input/output error\n",
         "ATA       /dev/sg1 MN: QSTOR ACME-7200      SN: QS7X0042 FW: .B07\n"},
        {"IDENTIFY aborted",
         R"({"faults": [{"on": "identify", "index": 1, "kind": "abort"}]})"_json, "",
         "ATA       /dev/sg1 MN: QSTOR                SN: QS7X0042 FW: .B07\n"},
        {"dotted firmware request aborted",
         R"({"fwreq": "dotted", "faults": [{"on": "fwreq", "index": 1, "kind": "abort"}]})"_json,
         "", "ATA       /dev/sg1 MN: QSTOR ACME-7200      SN: QS7X0042 FW: .B07\n"},
        {"dotted firmware request timed out",
         R"({"fwreq": "dotted", "faults": [{"on": "fwreq", "index": 1, "kind": "timeout"}]})"_json,
         "", "ATA       /dev/sg1 MN: QSTOR ACME-7200      SN: QS7X0042 FW: .B07\n"},
        // A SAT layer without ATA PASS-THROUGH refuses IDENTIFY with ILLEGAL REQUEST and a
        // zero-filled buffer, which is no identity.
        {"no ATA PASS-THROUGH", R"({"ata_passthrough": false})"_json, "",
         "ATA       /dev/sg1 MN: QSTOR                SN: QS7X0042 FW: .B07\n"},
    };
    for (const auto &c : cases) {
        nlohmann::json bay = R"({"drives": [
          {"node": "/dev/sg0", "type": "scsi", "vendor": "NORTHVL", "product": "NV-SAS10K",
           "revision": "N4R2", "serial": "NV0000777123"},
          {"node": "/dev/sg1", "type": "sata", "model": "QSTOR ACME-7200",
           "serial": "QS7X0042Z9", "revision": "QA12.B07"}]})"_json;
        bay["drives"][1].update(c.sata_extra);
        Scene s = make_scene(bay.dump(2), k_main_map, k_main_images);
        damage(s.cfs);
        for (const std::string &cfs : {std::string("map.cfs"), std::string("none.cfs")}) {
            RunResult r = run_dl(s, {"-i", "-c", cfs});
            // A model number that was not read falls back to the INQUIRY product.
            EXPECT_EQ(mask_time(r.out),
                      k_banner +
                          "NORTHVL   /dev/sg0 MN: NV-SAS10K            SN: NV000077 FW: N4R2\n" +
                          c.listed + "\n")
                << c.what << ", " << cfs;
            EXPECT_EQ(r.err, c.err) << c.what << ", " << cfs;
            EXPECT_EQ(r.status, 0) << c.what << ", " << cfs;
        }
    }
}

// -f beside -c is dropped with a message: the SCSI drive, which the CFS step passes over,
// does not get the -f image either.
TEST(RunCfs, ConfigurationFileWinsOverFirmwareFile) {
    Scene s = make_scene(k_failure_bay, k_main_map, k_main_images);
    RunResult r = run_dl(s, {"-f", "fw/acme_qa13.bin", "-c", "map.cfs"}, true);
    EXPECT_EQ(mask_time(r.out),
              k_banner + "\nConfiguration file provided, ignoring firmware file option\n" +
                  "Scanning map.cfs\n" + downloading("fw/acme_qa13.bin", "/dev/sg1") +
                  k_one_command + "Download SUCCESSFUL\n" +
                  "/dev/sg2 does not match any entries in map.cfs\n" + "\n");
    EXPECT_EQ(r.status, 0);
    for (const auto &line : file_lines(s.dir + "/trace.jsonl")) {
        EXPECT_FALSE(line.find("\"/dev/sg0\"") != std::string::npos &&
                     line.find("\"cdb\":\"3b") != std::string::npos)
            << line;
    }
}

// The image path of an entry is opened as it stands, relative to where the run starts, not
// to where the CFS file lies.
TEST(RunCfs, RelativeImagePathFollowsTheWorkingDirectory) {
    Scene s =
        make_scene(k_failure_bay, "QSTOR ACME*;QA12.*;fw/acme_qa13.bin;QA13.*\n", k_main_images);
    std::string elsewhere = make_temp_dir();
    RunResult r = run_dl(s, {"-c", s.cfs}, false, elsewhere);
    EXPECT_EQ(mask_time(r.out),
              k_banner + "Scanning " + s.cfs + "\n" + "Couldn't open file fw/acme_qa13.bin\n\n");
    EXPECT_EQ(r.err, "fopen: No such file or directory\n/dev/sg2 does not match any entries in " +
                         s.cfs + "\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(bay_revision(s.bay, "/dev/sg1"), "QA12.B07");
}

} // namespace

#endif
