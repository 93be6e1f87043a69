// cfs_tool plan run as a child process: the plan of every kind of listed drive, the end of
// the run at a syntax error, the JSON Lines output against its schema, and the statuses.
#ifdef CFS_TOOL_PATH

#include "harness.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string k_tool = CFS_TOOL_PATH;
const std::string k_schema = std::string(E2E_DATA_DIR) + "/../../docs/cfs_plan.schema.json";
const char *const k_python = "/usr/bin/python3";

const std::string k_map = "# firmware map\n"
                          "QX2000A;A1??;fw/qx2000a_b205.bin;B205\n"
                          "QX2000A;B205;fw/qx2000a_b207.bin;B207\n"
                          "QX4*;*;fw/qx4000_c300.bin;C300\n";

// What dl_cor_fw -i --enump --tmc 31847 prints for six drives, banner included.
const std::string k_listing =
    "================================================================================\n"
    " Corvane Firmware Download Utility v0.2.3 Build Date: Jan  9 2013\n"
    " Copyright (c) 2013 Corvane Corporation. All rights reserved.\n"
    " Tue Dec  8 01:07:04 2026\n"
    "================================================================================\n"
    "ATA       /dev/sg0 MN: QX2000A              SN: S0001    FW: A104\n"
    "ATA       /dev/sg1 MN: QX2000A              SN: S0002    FW: B207\n"
    "CORVANE   /dev/sg10 MN: QX2000A              SN: C0001    FW: A104\n"
    "ATA       /dev/sg2 MN: QX4000 PRO  SN: 7    SN: S0003    FW: C200\n"
    "ATA       /dev/sg3 MN: QX2000A              SN: S0004    FW: n/a \n"
    "ATA       /dev/sg4 MN: QX 2000A             SN: S0005    FW: A104\n"
    "\n";

const std::string k_plan = "/dev/sg0: download fw/qx2000a_b205.bin (image present)\n"
                           "/dev/sg1: up to date\n"
                           "/dev/sg10: passed over (not an ATA drive with a complete identity)\n"
                           "/dev/sg2: download fw/qx4000_c300.bin (image missing)\n"
                           "/dev/sg3: passed over (not an ATA drive with a complete identity)\n"
                           "/dev/sg4: no match\n";

// Line 3 leaves its image path unclosed: every lookup that gets that far ends the run.
const std::string k_broken_map = "QX2000A;A1??;fw/qx2000a_b205.bin;B205\n"
                                 "QX2000A;B205;fw/qx2000a_b207.bin;B207\n"
                                 "QX5000;A1;fw/qx5000.bin\n"
                                 "QX4*;*;fw/qx4000_c300.bin;C300\n";

const std::string k_broken_listing =
    "ATA       /dev/sg0 MN: QX2000A              SN: S0001    FW: A104\n"
    "CORVANE   /dev/sg1 MN: QX9                  SN: C0001    FW: 0001\n"
    "ATA       /dev/sg2 MN: QX2000A              SN: S0002    FW: B207\n"
    "ATA       /dev/sg3 MN: QX2000A              SN: S0003    FW: A104\n"
    "Sending INQUIRY VPD 0x80 command to /dev/sg4 Failed\n";

// An image the run would send to an ATA drive: whole 512-byte blocks.
const std::string k_image(1024, 'i');

// A work directory holding map.cfs (packed from text) and the image of the first entry.
std::string make_work_dir(const std::string &text) {
    std::string dir = make_temp_dir();
    write_file(dir + "/map.txt", text);
    EXPECT_EQ(run_command({k_tool, "pack", dir + "/map.txt", dir + "/map.cfs"}).status, 0);
    EXPECT_EQ(mkdir((dir + "/fw").c_str(), 0755), 0);
    write_file(dir + "/fw/qx2000a_b205.bin", k_image);
    return dir;
}

RunResult plan(const std::vector<std::string> &args, const std::string &cwd,
               const std::string &input = "") {
    RunSpec spec;
    spec.argv = {k_tool, "plan"};
    spec.argv.insert(spec.argv.end(), args.begin(), args.end());
    spec.cwd = cwd;
    spec.input = input;
    return run_command(spec);
}

TEST(CfsToolPlan, ShowsWhatTheRunDoesToEachListedDrive) {
    std::string dir = make_work_dir(k_map);
    write_file(dir + "/listing", k_listing);
    RunResult r = plan({"map.cfs", "listing"}, dir);
    EXPECT_EQ(r.out, k_plan);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 8) << "an image to download is missing";

    // From standard input, with every image in place.
    write_file(dir + "/fw/qx4000_c300.bin", k_image);
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"map.cfs"}, std::vector<std::string>{"map.cfs", "-"}}) {
        r = plan(args, dir, k_listing);
        std::string want = k_plan;
        want.replace(want.find("(image missing)"), 15, "(image present)");
        EXPECT_EQ(r.out, want);
        EXPECT_EQ(r.status, 0);
    }
}

// What the run could not send is said per drive, and nothing is waited on: a FIFO without a
// writer (whose open would block), a directory, an empty image, one of part of a block.
TEST(CfsToolPlan, ImagesTheRunCannotSendAreSaidAndAFifoIsNotOpened) {
    std::string dir =
        make_work_dir("QX1;*;fw/fifo;B\nQX2;*;fw;B\nQX3;*;fw/empty;B\nQX4;*;fw/odd;B\n");
    ASSERT_EQ(mkfifo((dir + "/fw/fifo").c_str(), 0644), 0);
    write_file(dir + "/fw/empty", "");
    write_file(dir + "/fw/odd", std::string(1000, 'i'));
    std::string listing;
    for (char n : std::string("1234")) {
        listing += std::string("ATA       /dev/sg") + n + " MN: QX" + n +
                   "                  SN: S1       FW: A1\n";
    }
    RunResult r = plan({"map.cfs"}, dir, listing + "\n");
    EXPECT_EQ(r.out, "/dev/sg1: download fw/fifo (image not a regular file: a FIFO)\n"
                     "/dev/sg2: download fw (image not a regular file: a directory)\n"
                     "/dev/sg3: download fw/empty (the run would refuse the image: the image is "
                     "empty)\n"
                     "/dev/sg4: download fw/odd (the run would refuse the image: image of 1000 "
                     "bytes is not a whole number of 512-byte blocks; nothing sent)\n");
    EXPECT_EQ(r.status, 8);
}

TEST(CfsToolPlan, SyntaxErrorEndsTheRunAtTheFirstDriveWhoseScanReachesIt) {
    std::string dir = make_work_dir(k_broken_map);
    RunResult r = plan({"map.cfs", "-"}, dir, k_broken_listing);
    // sg0 matches on line 1, before the broken line; sg2 is up to date on line 2, but the
    // scan goes on to line 3; sg3 would match on line 1, yet the run never gets to it. The
    // listing stops at sg4, but the syntax error, which stops every host, keeps status 5.
    EXPECT_EQ(r.out, "/dev/sg0: download fw/qx2000a_b205.bin (image present)\n"
                     "/dev/sg1: passed over (not an ATA drive with a complete identity)\n"
                     "/dev/sg2: syntax error in map.cfs line 3: the run ends here with status 1\n"
                     "/dev/sg3: not reached (the run ends at the syntax error)\n"
                     "/dev/sg4: the listing stops here: the device did not answer INQUIRY, and "
                     "no drive after it is listed or planned\n");
    EXPECT_EQ(r.err, "cfs_tool: standard input:5: listing cut short at /dev/sg4: the drives "
                     "after it are not planned\n");
    EXPECT_EQ(r.status, 5);
}

TEST(CfsToolPlan, JsonLinesCarryEveryByteAsCodePoints) {
    std::string dir = make_work_dir(k_map);
    // A model with a tab and a byte E9h, a serial the listing shows with '?', a quote.
    std::string listing = "ATA       /dev/sg0 MN: QX\t\xe9\"A               SN: ?S01     FW: A104\n"
                          "ATA       /dev/sg1 MN: QX2000A              SN: S0001    FW: A104\n\n";
    RunResult r = plan({"--json", "map.cfs"}, dir, listing);
    EXPECT_EQ(r.out,
              "{\"listing_line\":1,\"device\":\"/dev/sg0\",\"vendor\":\"ATA\",\"model\":"
              "\"QX\\u0009\\u00e9\\\"A\",\"serial\":\"?S01\",\"firmware\":\"A104\",\"identity\":"
              "\"complete\",\"action\":\"no_match\",\"image\":null,\"image_exists\":null,"
              "\"image_problem\":null,\"cfs_line\":null,\"plan\":\"no match\"}\n"
              "{\"listing_line\":2,\"device\":\"/dev/sg1\",\"vendor\":\"ATA\",\"model\":"
              "\"QX2000A\",\"serial\":\"S0001\",\"firmware\":\"A104\",\"identity\":\"complete\","
              "\"action\":\"download\",\"image\":\"fw/qx2000a_b205.bin\",\"image_exists\":true,"
              "\"image_problem\":null,\"cfs_line\":null,\"plan\":\"download fw/qx2000a_b205.bin "
              "(image present)\"}\n");
    EXPECT_EQ(r.status, 0);
}

// Validates every line of the plan outputs against the schema with Debian's
// python3-jsonschema, and checks that the code points give back the listing's bytes.
TEST(CfsToolPlan, JsonOutputValidatesAgainstTheSchema) {
    if (access(k_python, X_OK) != 0 ||
        run_command({k_python, "-c", "import jsonschema"}).status != 0) {
        GTEST_SKIP() << "python3-jsonschema is not installed";
    }
    std::string dir = make_work_dir(k_map);
    std::string broken = make_work_dir(k_broken_map);
    std::string out = plan({"--json", "map.cfs"}, dir, k_listing).out +
                      plan({"--json", "map.cfs"}, broken, k_broken_listing).out +
                      plan({"--json", "map.cfs"}, dir,
                           "ATA       /dev/sg9 MN: \x01QX\xff                 SN: S1       "
                           "FW: A1\n\n")
                          .out +
                      plan({"--json", "map.cfs"}, dir, "").out;
    write_file(dir + "/plan.jsonl", out);
    const char *script = R"(
import json, sys
import jsonschema
schema = json.load(open(sys.argv[1]))
jsonschema.Draft202012Validator.check_schema(schema)
validator = jsonschema.Draft202012Validator(schema)
actions = []
for line in open(sys.argv[2], encoding="ascii"):
    plan = json.loads(line)
    validator.validate(plan)
    actions.append(plan["action"])
    if plan["device"] == "/dev/sg9":
        assert plan["model"].encode("latin-1") == b"\x01QX\xff", plan["model"]
print(" ".join(actions))
)";
    RunResult r = run_command({k_python, "-c", script, k_schema, dir + "/plan.jsonl"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "download up_to_date passed_over download passed_over no_match "
                     "download passed_over syntax_error not_reached listing_cut_short no_match "
                     "listing_cut_short\n");
    EXPECT_EQ(r.status, 0);
}

TEST(CfsToolPlan, FailuresHaveTheirOwnStatuses) {
    std::string dir = make_work_dir(k_map);
    write_file(dir + "/plain.cfs", k_map);
    struct failure_case {
        std::vector<std::string> args;
        std::string err;
        int status;
    };
    const failure_case cases[] = {
        {{"absent.cfs"}, "Could not open absent.cfs\n", 1},
        {{"plain.cfs"}, "Could not decrypt plain.cfs\n", 4},
        {{"map.cfs", "absent.listing"},
         "cfs_tool: absent.listing: No such file or directory\n",
         66},
        {{}, "cfs_tool: plan needs CFS\nTry 'cfs_tool --help' for more information.\n", 64},
        {{"--yaml", "map.cfs"},
         "cfs_tool: unknown option '--yaml'\nTry 'cfs_tool --help' for more information.\n",
         64},
        {{"map.cfs", "a", "b"},
         "cfs_tool: unexpected argument 'b'\nTry 'cfs_tool --help' for more information.\n",
         64},
    };
    for (const failure_case &c : cases) {
        // No input: each of these ends before reading it, and a child that exits
        // unread would leave the writer to a closed pipe.
        RunResult r = plan(c.args, dir);
        EXPECT_EQ(r.out, "") << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, c.status) << c.err;
    }
}

TEST(CfsToolPlan, ListingsWithoutDrivesAndBrokenLinesAreReported) {
    std::string dir = make_work_dir(k_map);
    // A broken line inside a whole listing is not planned, and said so.
    RunResult r = plan({"map.cfs"}, dir,
                       "Scanning map.cfs\n"
                       "ATA       /dev/sg0 MN: QX2000A              SN: S0001\n"
                       "ATA       /dev/sg1 MN: QX2000A              SN: S0002    FW: B207\n\n");
    EXPECT_EQ(r.out, "/dev/sg1: up to date\n");
    EXPECT_EQ(r.err, "cfs_tool: standard input:2: warning: not a complete listing line; "
                     "ignored\n");
    EXPECT_EQ(r.status, 0);

    // A listing that does not hold all its run wrote is refused whole, by the plan and by
    // sgsim bay alike: cut inside a line, without the final blank line, from a run killed
    // before it wrote anything, the banner alone.
    const std::string banner = k_listing.substr(0, k_listing.find("ATA"));
    const std::string whole = k_listing.substr(0, k_listing.find("ATA       /dev/sg1"));
    const std::pair<std::string, std::string> cut[] = {
        {whole.substr(0, whole.size() - 4),
         "it ends inside line 6: the rest of that line and the run's final blank line are "
         "missing"},
        {whole, "the run's final blank line is missing after line 6"},
        {"", "it is empty"},
        {banner + "\n", "it holds no drive line"},
    };
    for (const auto &[listing, missing] : cut) {
        r = plan({"map.cfs"}, dir, listing);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "cfs_tool: standard input: listing cut short: " + missing +
                             "; nothing is planned\n");
        EXPECT_EQ(r.status, 11) << missing;
#ifdef SGSIM_PATH
        RunSpec bay{{SGSIM_PATH, "bay", "-", "-o", dir + "/bay.json"}, {}, listing, dir};
        RunResult made = run_command(bay);
        EXPECT_EQ(made.err, "sgsim bay: standard input: listing cut short: " + missing +
                                ", so no bay is made\n");
        EXPECT_EQ(made.status, 11) << missing;
        EXPECT_NE(access((dir + "/bay.json").c_str(), F_OK), 0) << missing;
#endif
    }
#ifdef SGSIM_PATH
    // A line of any vendor is read: "ATAPI" makes a SCSI drive that lists as the line does.
    const std::string atapi =
        banner + "ATAPI     /dev/sg0 MN: CD-R9                SN: A1       FW: 1.02\n\n";
    RunResult made = run_command({{SGSIM_PATH, "bay", "-", "-o", dir + "/bay.json"}, {}, atapi});
    ASSERT_EQ(made.status, 0) << made.err;
    RunResult listed = run_command({SGSIM_PATH, "run", dir + "/bay.json", "--", DL_COR_FW_PATH,
                                    "-i", "--enump", "--tmc", "31847"});
    EXPECT_EQ(listed.out.substr(listed.out.find("ATAPI")), atapi.substr(atapi.find("ATAPI")));
#endif

    // The run that made the listing could not open its first device: nothing is planned,
    // and that is not a host without drives.
    r = plan({"map.cfs"}, dir, "Error: Could not open handle to /dev/sg0\n\n");
    EXPECT_EQ(r.out, "/dev/sg0: the listing stops here: dl_cor_fw could not open the device, and "
                     "no drive after it is listed or planned\n");
    EXPECT_EQ(r.err, "cfs_tool: standard input:1: listing cut short at /dev/sg0: the drives "
                     "after it are not planned\n");
    EXPECT_EQ(r.status, 10);
}

TEST(CfsToolPlan, FailedWriteOfStandardOutputIsStatus74) {
    std::string dir = make_work_dir(k_map);
    write_file(dir + "/listing", k_listing);
    RunResult r = run_command(
        {"sh", "-c", "cd '" + dir + "' && exec '" + k_tool + "' plan map.cfs listing >/dev/full"});
    EXPECT_EQ(r.err, "cfs_tool: standard output: No space left on device\n");
    EXPECT_EQ(r.status, 74);
}

#ifdef SGSIM_PATH
// The plan made from dl_cor_fw's own listing of a simulated bay agrees with what the run then
// does: a model number that holds the label texts, an identity that could not be read (its
// stand-in revision "1.0 " keeps its blank), a SCSI drive, up to date and no match.
TEST(CfsToolPlan, PlanOfARealListingIsWhatTheRunDoes) {
    const std::string sgsim = SGSIM_PATH;
    std::string dir = make_work_dir("QX2000A;A1??;fw/qx2000a_b205.bin;B205\n"
                                    "QX  SN: 9 FW: 1;A104;fw/odd.bin;B1\n");
    ASSERT_EQ(run_command({sgsim, "mkimage", "--model", "QX2000A", "--revision", "B205",
                           dir + "/fw/qx2000a_b205.bin"})
                  .status,
              0);
    ASSERT_EQ(run_command({sgsim, "mkimage", "--model", "QX  SN: 9 FW: 1", "--revision", "B1",
                           dir + "/fw/odd.bin"})
                  .status,
              0);
    write_file(dir + "/bay.json",
               R"({"drives": [
 {"node": "/dev/sg0", "type": "sata", "model": "QX2000A", "serial": "QX0001", "revision": "A104"},
 {"node": "/dev/sg1", "type": "sata", "model": "QX  SN: 9 FW: 1", "serial": "  QX0002",
  "revision": "A104"},
 {"node": "/dev/sg10", "type": "sata", "model": "QX2000A", "serial": "QX0003", "revision": "1.0",
  "faults": [{"on": "identify", "kind": "errno", "errno": "EIO"}]},
 {"node": "/dev/sg2", "type": "scsi", "vendor": "CORVANE", "product": "CV-SAS10K",
  "revision": "N4R2", "serial": "CV0001"},
 {"node": "/dev/sg3", "type": "sata", "model": "QX2000A", "serial": "QX0004", "revision": "B205"},
 {"node": "/dev/sg4", "type": "sata", "model": "QX9000", "serial": "QX0005", "revision": "Z1"}
]})");
    RunSpec listing;
    listing.argv = {sgsim, "run",     "bay.json", "--",   DL_COR_FW_PATH,
                    "-i",  "--enump", "--tmc",    "31847"};
    listing.cwd = dir;
    RunResult listed = run_command(listing);
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_NE(listed.out.find("ATA       /dev/sg10 MN: QX2000A              SN: QX0003   "
                              "FW: 1.0 \n"),
              std::string::npos)
        << listed.out;

    RunResult planned = plan({"map.cfs"}, dir, listed.out);
    EXPECT_EQ(planned.out, "/dev/sg0: download fw/qx2000a_b205.bin (image present)\n"
                           "/dev/sg1: download fw/odd.bin (image present)\n"
                           "/dev/sg10: passed over (not an ATA drive with a complete identity)\n"
                           "/dev/sg2: passed over (not an ATA drive with a complete identity)\n"
                           "/dev/sg3: up to date\n"
                           "/dev/sg4: no match\n");
    EXPECT_EQ(planned.status, 0);

    RunSpec update = listing;
    update.argv = {sgsim, "run", "bay.json", "--", DL_COR_FW_PATH, "-c", "map.cfs"};
    RunResult ran = run_command(update);
    EXPECT_EQ(ran.out.substr(ran.out.find("Scanning")),
              "Scanning map.cfs\n"
              "Downloading file fw/qx2000a_b205.bin to /dev/sg0\n"
              " .  !\n"
              "Download SUCCESSFUL\n"
              "Downloading file fw/odd.bin to /dev/sg1\n"
              " .  !\n"
              "Download SUCCESSFUL\n"
              "\n");
    EXPECT_NE(ran.err.find("The firmware on /dev/sg3 is up to date\n"
                           "/dev/sg4 does not match any entries in map.cfs\n"),
              std::string::npos)
        << ran.err;
    EXPECT_EQ(ran.status, 0);
}
#endif

} // namespace

#endif
