// The run record's lines: one line pinned byte for byte, every decision and outcome valid
// against docs/record.schema.json, the audit message, and the record file's open and append.
#include "listing/record.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const RecordStamp k_stamp = {"node7", "0.2.3"};
constexpr time_t k_time = 1796692024; // 2026-12-08T01:07:04Z

DeviceRecord downloaded(int outcome) {
    DeviceRecord r;
    r.device = "/dev/sg1";
    r.identified = true;
    r.vendor = "NORTHVL";
    r.model = "NV-SAS10K";
    r.serial = "NV0000777123";
    r.revision_before = "N4R2";
    r.decision = DECISION_DOWNLOAD;
    r.image = "fw/nv \"5\".lod";
    r.image_size = 70000;
    r.image_sha256 = std::string(64, 'a');
    r.method = "WRITE BUFFER 07h";
    r.segment_size = 32768;
    r.commands_sent = 3;
    r.bytes_sent = 70000;
    r.seconds = 1.25;
    r.outcome = outcome;
    return r;
}

TEST(RecordLine, FieldsInTheirOrder) {
    DeviceRecord r = downloaded(OUTCOME_UPDATED);
    r.revision_after = "N5R0";
    EXPECT_EQ(device_record_line(k_stamp, k_time, r),
              "{\"record\":\"device\",\"time\":\"2026-12-08T01:07:04Z\",\"host\":\"node7\","
              "\"tool_version\":\"0.2.3\",\"device\":\"/dev/sg1\",\"vendor\":\"NORTHVL\","
              "\"model\":\"NV-SAS10K\",\"serial\":\"NV0000777123\",\"ata_serial\":null,"
              "\"revision_before\":\"N4R2\",\"identity_complete\":false,\"decision\":\"download\","
              "\"image\":\"fw/nv \\\"5\\\".lod\",\"image_size\":70000,\"image_sha256\":\"" +
                  std::string(64, 'a') +
                  "\",\"method\":\"WRITE BUFFER 07h\",\"segment_size\":32768,"
                  "\"commands_sent\":3,\"bytes_sent\":70000,\"seconds\":1.250,\"outcome\":"
                  "\"updated\",\"reason\":null,\"revision_after\":\"N5R0\"}\n");
    EXPECT_EQ(run_record_line(k_stamp, k_time, 5, 2),
              "{\"record\":\"run\",\"time\":\"2026-12-08T01:07:04Z\",\"host\":\"node7\","
              "\"tool_version\":\"0.2.3\",\"devices\":5,\"exit_status\":2}\n");
}

// One line per decision and per outcome, as the run fills them, through the schema.
TEST(RecordLine, EveryDecisionAndOutcomeFitsTheSchema) {
    const char *python = "/usr/bin/python3";
    if (access(python, X_OK) != 0 || system("/usr/bin/python3 -c 'import jsonschema'") != 0) {
        GTEST_SKIP() << "python3-jsonschema is not installed";
    }
    std::vector<DeviceRecord> records;
    for (int decision : {DECISION_LISTED, DECISION_SKIPPED_BY_MODEL, DECISION_PASSED_OVER,
                         DECISION_NO_MATCH, DECISION_UP_TO_DATE, DECISION_RUN_ENDED}) {
        DeviceRecord r = downloaded(OUTCOME_NONE);
        r.decision = decision;
        r.ata_serial = "QS7X0042Z9";
        records.push_back(r);
    }
    DeviceRecord stopped;
    stopped.device = "/dev/sg9";
    stopped.decision = DECISION_NOT_IDENTIFIED;
    stopped.reason = "the device could not be opened";
    records.push_back(stopped);
    for (int outcome : {OUTCOME_UPDATED, OUTCOME_UNCHANGED, OUTCOME_PENDING, OUTCOME_UNVERIFIED,
                        OUTCOME_FAILED, OUTCOME_REFUSED, OUTCOME_INTERRUPTED}) {
        DeviceRecord r = downloaded(outcome);
        if (outcome != OUTCOME_UNVERIFIED && outcome != OUTCOME_FAILED &&
            outcome != OUTCOME_REFUSED) {
            r.revision_after = outcome == OUTCOME_UPDATED ? "N5R0" : "N4R2";
        }
        if (outcome != OUTCOME_UPDATED && outcome != OUTCOME_UNVERIFIED) {
            r.reason = "CHECK CONDITION, sense key 0x5 ILLEGAL REQUEST";
        }
        if (outcome == OUTCOME_REFUSED) {
            r.commands_sent = 0;
            r.bytes_sent = 0;
            r.method.clear();
            r.image_sha256.clear();
        }
        records.push_back(r);
    }
    std::string path = testing::TempDir() + "/record_lines.jsonl";
    std::ofstream out(path);
    for (const DeviceRecord &r : records) {
        out << device_record_line(k_stamp, k_time, r);
    }
    out << run_record_line(k_stamp, k_time, static_cast<int>(records.size()), 3);
    out.close();
    std::string schema = std::string(DLCOR_TEST_DATA_DIR) + "/../../docs/record.schema.json";
    std::string command = std::string(python) +
                          " -c 'import json, sys, jsonschema\n"
                          "s = json.load(open(sys.argv[1]))\n"
                          "v = jsonschema.Draft202012Validator(s)\n"
                          "for line in open(sys.argv[2], encoding=\"ascii\"):\n"
                          "    v.validate(json.loads(line))\n' " +
                          schema + " " + path;
    EXPECT_EQ(system(command.c_str()), 0) << command;
}

TEST(AuditMessage, WordsBareOthersQuoted) {
    DeviceRecord r = downloaded(OUTCOME_FAILED);
    r.model = "QSTOR ACME-7200";
    r.ata_serial = "QS7X0042Z9";
    r.reason = "CHECK CONDITION, sense key 0x5 ILLEGAL REQUEST";
    EXPECT_EQ(audit_message(r),
              "device=/dev/sg1 model=\"QSTOR ACME-7200\" serial=QS7X0042Z9 image=\"fw/nv "
              "\\\"5\\\".lod\" sha256=" +
                  std::string(64, 'a') +
                  " method=\"WRITE BUFFER 07h\" revision_before=N4R2 outcome=failed "
                  "reason=\"CHECK CONDITION, sense key 0x5 ILLEGAL REQUEST\"");
    EXPECT_FALSE(outcome_is_success(OUTCOME_UNCHANGED));
    EXPECT_TRUE(outcome_is_success(OUTCOME_PENDING));
}

TEST(RecordFile, AppendsToRegularFilesOnly) {
    std::string dir = testing::TempDir() + "/record_file";
    mkdir(dir.c_str(), 0755);
    std::string path = dir + "/run.jsonl";
    unlink(path.c_str());
    std::string why;
    for (const char *line : {"{\"a\":1}\n", "{\"b\":2}\n"}) {
        int fd = open_record_file(path.c_str(), &why);
        ASSERT_GE(fd, 0) << why;
        EXPECT_EQ(append_record_line(fd, line), 0);
        close(fd);
    }
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "{\"a\":1}\n{\"b\":2}\n");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777 & ~0640, 0u);

    for (const std::string &bad : {dir, std::string("/dev/null")}) {
        EXPECT_EQ(open_record_file(bad.c_str(), &why), -1) << bad;
        EXPECT_EQ(why, "not a regular file") << bad;
    }
    EXPECT_EQ(open_record_file((dir + "/missing/run.jsonl").c_str(), &why), -1);
    EXPECT_EQ(why, "No such file or directory");
}

} // namespace
