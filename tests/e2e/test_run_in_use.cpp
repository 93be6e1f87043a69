// Drives the host is using, under the simulated bay: each kind of use beside an idle drive
// and one without a block device; the default run's warnings, --only-idle's refusals and
// what reaches the drives, --preflight's lines, the record and the system log.
#include "scene.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <string>
#include <vector>

namespace {

TEST(RunInUse, WarnedRefusedAndShown) {
    const char *uses[] = {
        R"({"block": "sdc", "partitions": ["sdc1"], "mounts": {"sdc1": "/srv/my data\n"}})",
        R"({"block": "sdd", "holders": {"sdd": ["md0"]}})",
        R"({"block": "sde", "partitions": ["sde1"], "holders": {"sde1": ["dm-0"]},
            "dm_names": {"dm-0": "vg0-root"}})",
        R"({"block": "sdf", "swap": ["sdf"]})",
        R"({"block": "sdg", "claimed": true})",
        R"({"block": "sdh"})",
        "{}"};
    std::vector<nlohmann::json> drives;
    for (const char *use : uses) {
        std::string node = "/dev/sg" + std::to_string(drives.size());
        nlohmann::json extra = nlohmann::json::parse(use);
        extra["firmware"] = {{"mode", "accept-any"}, {"target", "N5R0"}};
        drives.push_back(
            scsi_drive(node, "NORTHVL", "NV-SAS10K", "N4R2", "NV0" + node.substr(7), extra));
    }
    const std::vector<std::string> reasons = {
        "/dev/sdc1 mounted at /srv/my data?", "/dev/sdd member of md0",
        "/dev/sde1 held by dm-0 (vg0-root)", "/dev/sdf used as swap",
        "/dev/sdg held open exclusively"};
    Bay bay = make_bay(drives);
    std::string image = make_bytes(bay.dir, "fw.img", 4096);
    std::vector<std::string> args = {"-f", image, "--record", bay.dir + "/run.jsonl"};
    for (size_t i = 0; i < drives.size(); ++i) {
        args.insert(args.end(), {"-d", "/dev/sg" + std::to_string(i)});
    }
    const std::string sent = "Downloading file " + image + " to /dev/sg";
    const std::string done = "\n .  !\nDownload SUCCESSFUL\n";

    // A default run warns of each drive in use and downloads to every drive.
    RunResult r = run_dl(bay, args);
    std::string warnings, bodies;
    for (size_t i = 0; i < drives.size(); ++i) {
        if (i < reasons.size()) {
            warnings += "WARNING: /dev/sg" + std::to_string(i) + " is in use (" + reasons[i] +
                        "); its I/O may fail while the drive takes new microcode\n";
        }
        bodies += sent + std::to_string(i) + done;
    }
    EXPECT_EQ(body(r), bodies);
    EXPECT_EQ(r.err, warnings);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(data_out_entries(read_trace(bay)).size(), drives.size());
    std::vector<std::string> logged = syslog_lines(bay);
    ASSERT_EQ(logged.size(), drives.size());
    EXPECT_NE(logged[1].find(" in_use=\"/dev/sdd member of md0\""), std::string::npos) << logged[1];
    EXPECT_EQ(logged[5].find("in_use"), std::string::npos) << logged[5];

    // --only-idle: only identification reaches the drives in use; the others are updated.
    write_file(bay.trace, "");
    args.push_back("--only-idle");
    r = run_dl(bay, args);
    std::string refusals;
    for (size_t i = 0; i < reasons.size(); ++i) {
        refusals += "/dev/sg" + std::to_string(i) + ": in use (" + reasons[i] + "); not updated\n";
    }
    EXPECT_EQ(body(r), refusals + sent + "5" + done + sent + "6" + done);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(syslog_lines(bay).size(), drives.size()); // a refusal is logged as well
    for (const TraceEntry &e : read_trace(bay)) {
        bool idle = e.node == "/dev/sg5" || e.node == "/dev/sg6";
        EXPECT_TRUE(idle || e.cdb.rfind("12", 0) == 0) << e.node << " got " << e.cdb;
    }
    std::vector<std::string> in_use;
    for (const std::string &line : file_lines(bay.dir + "/run.jsonl")) {
        nlohmann::json j = nlohmann::json::parse(line);
        if (j.contains("in_use")) {
            EXPECT_EQ(j["image"], image) << line; // the refused drives' too
            in_use.push_back(j["in_use"].dump() + " " + j["outcome"].dump());
        }
    }
    ASSERT_EQ(in_use.size(), 2 * drives.size());
    EXPECT_EQ(in_use[8], "[\"/dev/sdd member of md0\"] \"refused\"");
    EXPECT_EQ(in_use[12], "[] \"unverified\"");
    EXPECT_EQ(in_use[13], "[] \"unverified\"");

    // --preflight names each use before the drive's line; --only-idle makes that a refusal.
    r = run_dl(bay, {"--preflight", "-f", image, "-d", "/dev/sg0", "-d", "/dev/sg5"});
    // Both scsi_debug drives derive one WWN from their serials that are no numbers.
    const std::string would = " (4096 bytes) by WRITE BUFFER 05h in one command; drive wwn "
                              "33333330000007d0\n";
    EXPECT_EQ(body(r), "/dev/sg0: in use: " + reasons[0] + "\n/dev/sg0: would send " + image +
                           would + "/dev/sg5: would send " + image + would);
    EXPECT_EQ(r.err, ""); // no warning: the line names the use
    EXPECT_EQ(r.status, 0);
    r = run_dl(bay, {"--preflight", "--only-idle", "-f", image, "-d", "/dev/sg1"});
    EXPECT_EQ(body(r), "/dev/sg1: in use: " + reasons[1] + "\n/dev/sg1: would not send " + image +
                           ": the drive is in use (--only-idle)\n");
    EXPECT_EQ(r.status, 2);

    // Another process holds sg5's whole disk locked: the run leaves the drive alone; a
    // preflight, which sends nothing, does not wait for the lock.
    mkdir((bay.path + ".locks").c_str(), 0755);
    int held = open((bay.path + ".locks/%2Fdev%2Fsdh").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    write_file(bay.trace, "");
    r = run_dl(bay, {"-f", image, "-d", "/dev/sg5"});
    EXPECT_EQ(r.err + std::to_string(r.status), "/dev/sg5: in use by another process\n3");
    EXPECT_TRUE(data_out_entries(read_trace(bay)).empty());
    EXPECT_EQ(run_dl(bay, {"--preflight", "-f", image, "-d", "/dev/sg5"}).status, 0);
    close(held);
}

} // namespace
