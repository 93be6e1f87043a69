// The run record's lines against docs/record.schema.json: a line for every decision and every
// outcome as the run fills them (the end-to-end tests validate the lines of real runs, which
// cannot reach every outcome), and the last line of a run.
#include "record/record.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

TEST(RecordLine, EveryDecisionAndOutcomeFitsTheSchema) {
    if (access("/usr/bin/python3", X_OK) != 0 ||
        system("/usr/bin/python3 -c 'import jsonschema' 2>/dev/null") != 0) {
        GTEST_SKIP() << "python3-jsonschema is not installed";
    }
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
            r.in_use = std::vector<std::string>{"/dev/sdc1 mounted at /var"};
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

// A line is appended whole or not at all, after the line end a crash left out. The file size
// limit stands in for a full disk: it is set, with SIGXFSZ ignored, in a child process.
TEST(RecordFile, LinesAreWholeOrAbsent) {
    const std::string line = "{\"record\":\"run\"}\n"; // 17 bytes
    const struct {
        const char *what;
        std::string before;
        rlim_t limit;
        bool written;
        std::string after;
    } table[] = {
        {"appended", "{}\n", 1024, true, "{}\n" + line},
        {"into an empty file", "", 1024, true, line},
        {"after the line end a crash left out", "{\"rec", 1024, true, "{\"rec\n" + line},
        {"cut short, taken back", std::string(1010, 'x') + "\n", 1024, false,
         std::string(1010, 'x') + "\n"},
        {"no room even for the line end", std::string(1024, 'x'), 1024, false,
         std::string(1024, 'x')},
    };
    for (const auto &row : table) {
        std::string path = testing::TempDir() + "/record_write.jsonl";
        std::ofstream(path, std::ios::trunc) << row.before;
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit limit = {row.limit, row.limit};
            std::string why;
            int fd =
                setrlimit(RLIMIT_FSIZE, &limit) == 0 ? open_record_file(path.c_str(), &why) : -1;
            _exit(fd < 0 ? 2 : append_record_line(fd, line) == 0 ? 0 : 1);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status)) << row.what;
        EXPECT_EQ(WEXITSTATUS(status), row.written ? 0 : 1) << row.what;
        std::ifstream in(path, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), row.after) << row.what;
    }
}

} // namespace
