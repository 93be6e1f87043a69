// A run interrupted in the middle of a download (each stop signal, a reader that quits) and
// a second run against a drive the first holds. Every command to sg0 is slowed down, so the
// test acts while its download of twelve segments is under way.
#include "scene.h"

#include <gtest/gtest.h>

#include <csignal>
#include <nlohmann/json.hpp>

namespace {

struct SlowRun {
    int slow_ms;
    Bay bay = make_bay(
        {scsi_drive("/dev/sg0", "NORTHVL", "NV-SAS10K", "N4R2", "NV1", {{"slow_ms", slow_ms}}),
         scsi_drive("/dev/sg1", "NORTHVL", "NV-SAS10K", "N4R2", "NV2", {{"slow_ms", slow_ms}})});
    std::string image = make_image(bay.dir, "fw.img", "NV-SAS10K", "N5R0", 12 * 512);
    RunSpec spec;
    explicit SlowRun(int ms) : slow_ms(ms) {
        spec.argv = {sgsim_path(), "run", bay.path, "--",       DL_COR_FW_PATH, "-s",      "1",
                     "-f",         image, "-d",     "/dev/sg0", "-d",           "/dev/sg1"};
    }
};

// sg0's image went out whole and in order, and sg0 got nothing after its last piece; with
// sg0_alone, no other drive got anything.
void expect_one_whole_image(const Bay &bay, bool sg0_alone, const std::string &what) {
    std::vector<std::string> sent, want;
    std::string last;
    for (const TraceEntry &e : read_trace(bay)) {
        EXPECT_TRUE(!sg0_alone || e.node == "/dev/sg0") << what << ": " << e.node;
        if (e.node == "/dev/sg0" && e.direction == "to_dev") {
            sent.push_back(e.cdb);
        }
        last = e.node == "/dev/sg0" ? e.cdb : last;
    }
    for (size_t offset = 0; offset < 12 * 512; offset += 512) {
        char cdb[24];
        snprintf(cdb, sizeof cdb, "3b0700%06zx00020000", offset);
        want.push_back(cdb);
    }
    EXPECT_EQ(sent, want) << what;
    EXPECT_EQ(last, want.back()) << what;
}

// After the first segment the test sends the signal twice, or stops reading: the image goes
// out whole, its outcome is written, and the run stops before sg1, killed by the signal
// itself or with status 1. A signal the run was started with ignored (nohup, a background
// job) stays ignored: the run goes on with sg1. One during sg1's image, after sg0's was held
// and released, is held as well.
TEST(RunInterrupted, StopsBetweenDevicesNotInTheImage) {
    const std::string stopped = " after /dev/sg0; 1 device not processed\n";
    const struct {
        int signo; // 0: the reader quits
        std::string err;
        int status;
        const char *ignored = "";        // the signals the run starts with ignored
        std::string during = "/dev/sg0"; // the drive whose first segment is followed by it
    } cases[] = {
        {SIGINT, "Interrupted by SIGINT" + stopped, 130},
        {SIGTERM, "Interrupted by SIGTERM" + stopped, 143},
        {SIGHUP, "Interrupted by SIGHUP" + stopped, 129},
        {SIGQUIT, "Interrupted by SIGQUIT" + stopped, 131},
        {0, "Standard output cannot be written: the run stops with 1 device not processed\n", 1},
        {SIGHUP, "", 0, "HUP"},
        {SIGINT, "", 0, "INT QUIT"},
        {SIGTERM, "Interrupted by SIGTERM after /dev/sg1; 0 devices not processed\n", 143, "",
         "/dev/sg1"},
    };
    for (const auto &c : cases) {
        SlowRun run(100);
        std::string record = run.bay.dir + "/run.jsonl";
        run.spec.argv.insert(run.spec.argv.end(), {"--record", record});
        bool goes_on = *c.ignored != '\0' || c.during != "/dev/sg0";
        if (*c.ignored != '\0') {
            run.spec.argv.insert(
                run.spec.argv.begin(),
                {"sh", "-c", std::string("trap '' ") + c.ignored + "; exec \"$@\"", "sh"});
        }
        run.spec.when_output = c.during + "\n . ";
        run.spec.on_output = [&c](pid_t pid) {
            for (int i = 0; i < 2 && c.signo != 0; ++i) {
                kill(pid, c.signo);
            }
            return c.signo == 0;
        };
        RunResult r = run_command(run.spec);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, c.status) << c.err;
        EXPECT_EQ(r.signalled, c.signo != 0 && !c.err.empty()) << c.err;
        std::string one = " .  .  .  .  .  .  .  .  .  .  .  .  !\nDownload SUCCESSFUL\n";
        if (c.signo != 0) { // the last line is the run's final newline
            EXPECT_EQ(
                body(r),
                "Downloading file " + run.image + " to /dev/sg0\n" + one +
                    (goes_on ? "Downloading file " + run.image + " to /dev/sg1\n" + one : ""));
        }
        expect_one_whole_image(run.bay, !goes_on, c.err);
        // The record tells the image's true outcome, then the status the run ended with.
        std::vector<nlohmann::json> lines;
        for (const std::string &line : file_lines(record)) {
            lines.push_back(nlohmann::json::parse(line));
        }
        ASSERT_EQ(lines.size(), goes_on ? 3u : 2u) << c.err;
        EXPECT_EQ(lines[0]["outcome"], "unverified") << c.err;
        EXPECT_EQ(lines.back()["exit_status"], c.status) << c.err;
    }
}

// A stop signal once the activation is announced (so announced before it is sent) waits for
// the activation and its revision check, then stops the run before sg1.
TEST(RunInterrupted, ActivationIsNotCutOffFromItsCheck) {
    Bay bay = make_bay(
        {scsi_drive("/dev/sg0", "NORTHVL", "NV-SAS10K", "N4R2", "NV1",
                    {{"staged", "N5R0"}, {"slow_ms", 300}}),
         scsi_drive("/dev/sg1", "NORTHVL", "NV-SAS10K", "N4R2", "NV2", {{"staged", "N5R0"}})});
    RunSpec spec;
    spec.argv = {sgsim_path(), "run", bay.path,   "--", DL_COR_FW_PATH,
                 "--activate", "-d",  "/dev/sg0", "-d", "/dev/sg1"};
    spec.when_output = "Activating the firmware staged on /dev/sg0\n";
    spec.on_output = [](pid_t pid) { return kill(pid, SIGTERM) != 0; };
    RunResult r = run_command(spec);
    EXPECT_EQ(body(r), "Activating the firmware staged on /dev/sg0\nRevision of /dev/sg0: N4R2 "
                       "-> N5R0\nActivation SUCCESSFUL\n");
    EXPECT_EQ(r.err, "Interrupted by SIGTERM after /dev/sg0; 1 device not processed\n");
    EXPECT_EQ(r.status, 143);
}

// While the first run downloads to sg0, a second run against sg0 is refused without a
// command sent, and one against sg1 (another node of the bay) passes; the first finishes.
TEST(RunInterrupted, SecondRunOnAHeldDriveIsRefused) {
    SlowRun run(300); // the second runs start under valgrind too, in the memcheck tests
    run.spec.argv.resize(run.spec.argv.size() - 2); // sg0 alone
    run.spec.when_output = "Downloading file";
    RunResult held{"", "", -1}, other{"", "", -1};
    run.spec.on_output = [&](pid_t) {
        held = run_dl(run.bay, {"-f", run.image, "-d", "/dev/sg0"});
        other = run_dl(run.bay, {"-f", run.image, "-d", "/dev/sg1"});
        return false;
    };
    EXPECT_EQ(run_command(run.spec).status, 0);
    EXPECT_EQ(body(held), "Error: Could not open handle to /dev/sg0\n");
    EXPECT_EQ(held.err, "/dev/sg0: in use by another process\n");
    EXPECT_EQ(held.status, 3);
    EXPECT_EQ(other.status, 0) << other.err;
    expect_one_whole_image(run.bay, false, "first run");
}

} // namespace
