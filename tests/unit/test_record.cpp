// The run record's lines against docs/record.schema.json: a line for every decision and every
// outcome as the run fills them (the end-to-end tests validate the lines of real runs, which
// cannot reach every outcome), and the last line of a run.
#include "record/record.h"
#include "record/run_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

TEST(RecordLine, EveryDecisionAndOutcomeFitsTheSchema) {
    // Sizes as measured, the smallest included: an empty image, a segment of one byte.
    DeviceRecord sized;
    sized.decision = DECISION_DOWNLOAD;
    sized.image_size = 0;
    sized.method = "WRITE BUFFER 07h";
    sized.segment_size = 1;
    std::string sizes = device_record_line({"node7", "0.2.3"}, 0, sized);
    EXPECT_NE(sizes.find(R"("image_size":0,)"), std::string::npos) << sizes;
    EXPECT_NE(sizes.find(R"("segment_size":1,)"), std::string::npos) << sizes;
    if (access("/usr/bin/python3", X_OK) != 0 ||
        system("/usr/bin/python3 -c 'import jsonschema' 2>/dev/null") != 0) {
        GTEST_SKIP() << "python3-jsonschema is not installed";
    }
    EXPECT_EQ(utc_timestamp(1796692024), "2026-12-08T01:07:04Z");
    const RecordStamp stamp = {"node7", "0.2.3"};
    std::string path = testing::TempDir() + "/record_lines.jsonl";
    std::ofstream out(path);
    for (int decision = DECISION_LISTED; decision <= DECISION_DUPLICATE; ++decision) {
        for (int outcome = OUTCOME_UPDATED; outcome <= OUTCOME_LOST; ++outcome) {
            if (decision == DECISION_ACTIVATE) {
                continue;
            }
            // Filled as the run fills them: a refused image sent nothing; a revision read
            // again with a changed, unchanged or pending outcome; a reason for a failure.
            bool sent = outcome != OUTCOME_REFUSED;
            DeviceRecord r;
            r.device = "/dev/sg1";
            r.identified = decision != DECISION_NOT_IDENTIFIED;
            r.model = "QX \"2000\"\x01\xff";
            r.ata_serial = "QX0001";
            r.wwn =
                outcome % 2 == 0 ? std::optional<std::string>("5000c500a1b2c3d4") : std::nullopt;
            r.decision = decision;
            r.image = "fw/qx.bin";
            r.image_size = 8192;
            r.image_sha256 = sent ? std::string(64, 'c') : "";
            r.method = sent ? "DOWNLOAD MICROCODE 03h" : "";
            r.segment_size = 4096;
            r.commands_sent = sent ? 2 : 0;
            r.bytes_sent = sent ? 8192 : 0;
            r.outcome = outcome;
            r.in_use =
                std::vector<std::string>{"/dev/sdc1 mounted at /var", "/dev/sdc2 member of md0"};
            if (!r.identified || !outcome_is_success(outcome) || outcome == OUTCOME_PENDING) {
                r.reason = "CHECK CONDITION, sense key 0xb ABORTED COMMAND";
            }
            if (outcome == OUTCOME_UPDATED || outcome == OUTCOME_UNCHANGED ||
                outcome == OUTCOME_PENDING) {
                r.revision_after = "B205";
            }
            out << device_record_line(stamp, 1796692024, r);
        }
    }
    out << run_record_line(stamp, 1796692024, 56, 3);
    out.close();
    std::string command = "/usr/bin/python3 -c 'import json, sys, jsonschema\n"
                          "v = jsonschema.Draft202012Validator(json.load(open(sys.argv[1])))\n"
                          "for line in open(sys.argv[2], encoding=\"ascii\"):\n"
                          "    v.validate(json.loads(line))\n' " +
                          std::string(DLCOR_TEST_DATA_DIR) + "/../../docs/record.schema.json " +
                          path;
    EXPECT_EQ(system(command.c_str()), 0) << command;
}

// Runs body in a child with no standard input (a record then opens as descriptor 0), output
// into out_path, SIGXFSZ ignored and files held to limit bytes (a full disk). Returns its status.
template <typename Body> int in_child(rlim_t limit, const std::string &out_path, Body body) {
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {limit, RLIM_INFINITY};
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        close(STDIN_FILENO);
        bool ready = dup2(out, 1) == 1 && dup2(out, 2) == 2 && setrlimit(RLIMIT_FSIZE, &lim) == 0;
        int status = ready ? body() : 255;
        lim.rlim_cur = RLIM_INFINITY; // room again for a coverage build's counts, written at exit
        setrlimit(RLIMIT_FSIZE, &lim);
        exit(status);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string file_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A line is appended whole or not at all, after the line end a crash left out. The file size
// limit stands in for a full disk: it is set, with SIGXFSZ ignored, in a child process.
TEST(RecordFile, LinesAreWholeOrAbsent) {
    const std::string line = "{\"record\":\"run\"}\n"; // 17 bytes
    const struct {
        const char *what;
        std::string before;
        rlim_t limit;
        int error; // 0: written
        std::string after;
    } table[] = {
        {"appended", "{}\n", 1024, 0, "{}\n" + line},
        {"into an empty file", "", 1024, 0, line},
        {"after the line end a crash left out", "{\"rec", 1024, 0, "{\"rec\n" + line},
        {"after a crash left one byte", "{", 1024, 0, "{\n" + line},
        {"cut short, taken back", std::string(1010, 'x') + "\n", 1024, ENOSPC,
         std::string(1010, 'x') + "\n"},
        {"no room even for the line end", std::string(1024, 'x'), 1024, EFBIG,
         std::string(1024, 'x')},
    };
    std::string path = testing::TempDir() + "/record_write.jsonl";
    for (const auto &row : table) {
        std::ofstream(path, std::ios::trunc) << row.before;
        auto append = [&] {
            std::string why;
            int fd = open_record_file(path.c_str(), &why);
            return fd < 0 ? 254 : append_record_line(fd, line) == 0 ? 0 : errno;
        };
        EXPECT_EQ(in_child(row.limit, path + ".err", append), row.error) << row.what;
        EXPECT_EQ(file_text(path), row.after) << row.what;
    }
}

// A line that cannot be written is reported once, after standard output; nothing follows it,
// not even a run line that would fit, and a run that would end with 0 ends with 1.
TEST(RunRecordFile, FailedLineIsReportedOnceAndFailsTheRun) {
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    DeviceRecord r;
    r.device = "/dev/sg1";
    const std::string device_line = device_record_line({host, "0.2.3"}, 0, r);
    const size_t run_len = run_record_line({host, "0.2.3"}, 0, 1, 0).size();
    const std::string path = testing::TempDir() + "/run_record.jsonl";
    const std::string failed =
        "out Could not write record file " + path + ": " + strerror(ENOSPC) + "\n";
    const struct {
        rlim_t limit;
        int returned; // finish_run_record's, plus 10 when the device line failed
        size_t lines;
        std::string out;
    } table[] = {
        {run_len, 11, 0, failed},
        {device_line.size() + run_len - 1, 1, 1, failed},
        {RLIM_INFINITY, 0, 2, "out "},
    };
    for (const auto &row : table) {
        unlink(path.c_str());
        auto run = [&] {
            RunRecord record;
            printf("out ");
            int failed_line = open_run_record(path.c_str(), "0.2.3", &record) != 0 ? 100 : 0;
            failed_line += write_device_record(&record, r) != 0 ? 10 : 0;
            return finish_run_record(&record, 0) + failed_line;
        };
        EXPECT_EQ(in_child(row.limit, path + ".out", run), row.returned) << row.limit;
        std::string text = file_text(path);
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), row.lines) << row.limit;
        // Whole, this host's name in it; the time is the run's own.
        EXPECT_EQ(text.find(device_line.substr(device_line.find(",\"host\""))) != text.npos,
                  row.lines > 0);
        EXPECT_EQ(file_text(path + ".out"), row.out) << row.limit;
    }
}

} // namespace
