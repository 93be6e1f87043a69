// The interposer: bay nodes look like sg character devices, real disk nodes do not exist,
// the scan of /dev lists only the bay, descriptors survive dup, and the firmware state and
// the trace reach their files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "scene.h"

namespace {

class Interposer : public ::testing::Test {
  protected:
    void SetUp() override {
        if (sgsim_path().empty())
            GTEST_SKIP() << "sgsim is not built";
        bay = write_bay(mixed_bay_json());
        dir = bay.substr(0, bay.rfind('/'));
    }
    std::string bay, dir;
};

const std::vector<std::string> k_inquiry = {"-r", "96", "12", "00", "00", "00", "60", "00"};

std::vector<std::string> with(std::string node, std::vector<std::string> rest) {
    rest.insert(rest.begin(), std::move(node));
    return rest;
}

TEST_F(Interposer, RefusesNodesOutsideTheBay) {
    // A block device exists on this machine; links to it are refused as well.
    ASSERT_EQ(symlink("/dev/null", (dir + "/null").c_str()), 0);
    std::vector<std::string> refused = {"/dev/sg5", "/dev/sda", "/dev/bsg/0:0:0:0", "/dev/nvme0",
                                        "/dev/../dev/sg7"};
    if (access("/dev/loop0", F_OK) == 0) {
        ASSERT_EQ(symlink("/dev/loop0", (dir + "/disk").c_str()), 0);
        refused.push_back("/dev/loop0");
        refused.push_back(dir + "/disk");
    }
    for (const std::string &node : refused) {
        RunResult r = probe(bay, with(node, k_inquiry));
        EXPECT_EQ(r.status, 2) << node;
        EXPECT_EQ(r.out, "open: errno 2 (No such file or directory)\n") << node;
    }
    // Other files go through: /dev/null opens, and is no sg node.
    RunResult null = probe(bay, with(dir + "/null", k_inquiry));
    EXPECT_EQ(null.out, "SG_GET_VERSION_NUM: errno 25 (Inappropriate ioctl for device)\n");
    if (have_sg3_utils()) {
        RunResult inq = under_bay(bay, {"sg_inq", "/dev/sg5"});
        EXPECT_NE(inq.status, 0);
        EXPECT_EQ(inq.out, "");
    }
}

// Started without the interposer the command would reach the machine's real drives, so an
// sgsim that finds none beside it or in its installation starts nothing.
TEST_F(Interposer, SgsimWithoutItsInterposerStartsNothing) {
    std::string copy = dir + "/sgsim";
    write_file(copy, read_file(sgsim_path()));
    ASSERT_EQ(chmod(copy.c_str(), 0755), 0);
    RunResult r = run_command({copy, "run", bay, "--", "sh", "-c", "echo started"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "sgsim: cannot find the interposer libsgsim.so beside sgsim or in its "
                     "installation's library directory\n");
}

TEST_F(Interposer, NodesLookLikeSgCharacterDevices) {
    RunResult r = under_bay(bay, {"stat", "-c", "%F %t %T", "/dev/sg0", "/dev/sg10", "/dev/sg2"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "character special file 15 0\ncharacter special file 15 a\n"
                     "character special file 15 2\n");
    RunResult missing = under_bay(bay, {"stat", "/dev/sg5"});
    EXPECT_NE(missing.status, 0);
    RunResult rel = probe(bay, with("/dev/./sg3", k_inquiry));
    EXPECT_EQ(rel.status, 0) << rel.out;
    RunResult dup =
        probe(bay, with("/dev/sg3", {"-D", "-r", "96", "12", "00", "00", "00", "60", "00"}));
    EXPECT_EQ(dup.status, 0) << dup.out;
    EXPECT_NE(dup.out.find("data: 00 00 05 02 5b 00 00 02 41 54 41"), std::string::npos) << dup.out;
}

TEST_F(Interposer, ScanOfDevListsOnlyTheBay) {
    RunResult all = under_bay(bay, {sgsim_path(), "scan", "/dev"});
    EXPECT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(all.out, "sg0\nsg1\nsg10\nsg2\nsg3\n");
    RunResult some = under_bay(bay, {sgsim_path(), "scan", "/dev/", "sg1"});
    EXPECT_EQ(some.out, "sg1\nsg10\n");
    RunResult other = under_bay(bay, {sgsim_path(), "scan", dir, "bay"});
    EXPECT_EQ(other.out, "bay.json\n");
}

TEST_F(Interposer, BrokenBayFailsClosed) {
    std::string broken = write_bay("{\"drives\": [{\"node\": \"/dev/sg0\"}]}");
    RunResult refused = run_command({sgsim_path(), "run", broken, "--", "true"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("\"type\" must be"), std::string::npos) << refused.err;
    // Loaded directly, a broken bay leaves no drive at all.
    RunSpec spec;
    spec.argv = {sgsim_path(), "probe", "/dev/sg0", "12", "00", "00", "00", "60", "00"};
    spec.env = {"LD_PRELOAD=" + sgsim_preload_path(), "SGSIM_BAY=" + broken};
    RunResult r = run_command(spec);
    EXPECT_EQ(r.out, "open: errno 2 (No such file or directory)\n");
    EXPECT_NE(r.err.find("sgsim: "), std::string::npos);
}

TEST_F(Interposer, FirmwareWrittenBackAndTraced) {
    std::string img = dir + "/ata.img";
    ASSERT_EQ(run_command({sgsim_path(), "mkimage", "--model", "MERIDIAN MX500", "--revision",
                           "MX5R0202", "--size", "4096", img})
                  .status,
              0);
    std::string trace = dir + "/other.jsonl";
    RunSpec spec;
    spec.argv = {sgsim_path(), "run", bay,  "--", sgsim_path(), "probe", "/dev/sg3", "-s",
                 "4096",       "-i",  img,  "a1", "0a",         "26",    "07",       "08",
                 "00",         "00",  "00", "00", "92",         "00",    "00"};
    spec.env = {"SGSIM_TRACE=" + trace};
    RunResult r = run_command(spec);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("sense: 72 01 00 1d 00 00 00 0e 09 0c 00 00 00 08 00 00 00 00 00 00 "
                         "00 50\n"),
              std::string::npos)
        << r.out;
    std::vector<std::string> lines = file_lines(trace);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(R"("node":"/dev/sg3","cdb":"a10a26070800000000920000",)"
                            R"("direction":"to_dev","length":4096,"timeout":5000,"status":2,)"
                            R"("host_status":0,"driver_status":8,)"),
              std::string::npos)
        << lines[0];
    EXPECT_EQ(access((dir + "/trace.jsonl").c_str(), F_OK), -1); // SGSIM_TRACE took its place
    // The next run sees the new revision in IDENTIFY and INQUIRY.
    RunResult id = probe(bay, {"/dev/sg3", "-r", "96", "12", "00", "00", "00", "60", "00"});
    EXPECT_NE(id.out.find("data: 00 00 05 02 5b 00 00 02 41 54 41 20 20 20 20 20 4d 45 52 49 44 "
                          "49 41 4e 20 4d 58 35 30 30 20 20 30 32 30 32"),
              std::string::npos)
        << id.out;
    RunResult show = run_command({sgsim_path(), "show", bay});
    EXPECT_NE(show.out.find("/dev/sg3 sata vendor: ATA MN: MERIDIAN MX500 SN: MX5-0001 FW: "
                            "MX5R0202 fwreq: ignore firmware: validate faults: 0\n"),
              std::string::npos)
        << show.out;
    RunResult dump = run_command({sgsim_path(), "trace", trace});
    EXPECT_EQ(dump.status, 0);
    EXPECT_NE(dump.out.find("#1 /dev/sg3  ATA PASS-THROUGH (12) DOWNLOAD MICROCODE 07h blocks 8 "
                            "offset 0\n"),
              std::string::npos)
        << dump.out;
}

} // namespace
