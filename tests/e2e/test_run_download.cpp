// The download run of dl_cor_fw under the simulated bay: the worked examples' command
// sequences and progress lines, the forced methods against drives that cannot take them,
// the model filter, runs over several devices, images refused before anything is sent, and
// the firmware the drives keep afterwards.
#include "scene.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

const std::string k_scsi_product = "NV-SAS10K";
const std::string k_sata_model = "QSTOR ACME-7200";

// Drives that take a simulated image only whole, in order, for their model.
nlohmann::json scsi_validating(const std::string &node,
                               const nlohmann::json &extra = nlohmann::json::object()) {
    return scsi_drive(node, "NORTHVL", k_scsi_product, "N4R2", "NV0000777123", extra);
}
nlohmann::json sata_validating(const std::string &node,
                               const nlohmann::json &extra = nlohmann::json::object()) {
    return sata_drive(node, k_sata_model, "QS7X0042Z9", "QA12.B07", extra);
}
// Drives that take any bytes.
nlohmann::json scsi_any(const std::string &node,
                        const nlohmann::json &extra = nlohmann::json::object()) {
    nlohmann::json fw = R"({"firmware": {"mode": "accept-any", "target": "N5R0"}})"_json;
    fw.update(extra);
    return scsi_validating(node, fw);
}
nlohmann::json sata_any(const std::string &node,
                        const nlohmann::json &extra = nlohmann::json::object()) {
    nlohmann::json fw = R"({"firmware": {"mode": "accept-any", "target": "QA13.B00"}})"_json;
    fw.update(extra);
    return sata_validating(node, fw);
}

std::vector<std::string> cdbs_of(const std::vector<TraceEntry> &entries) {
    std::vector<std::string> out;
    for (const TraceEntry &e : entries) {
        out.push_back(e.cdb);
    }
    return out;
}

std::vector<std::string> hex_all(const std::vector<std::string> &spaced) {
    std::vector<std::string> out;
    for (const std::string &s : spaced) {
        out.push_back(cdb_hex(s));
    }
    return out;
}

struct ExampleCase {
    const char *what;
    bool sata;
    size_t size;
    std::vector<std::string> segment_args;
    std::string progress;
    std::vector<std::string> cdbs;
    std::vector<long> lengths;
};

// Each download of a validating drive with a well-formed image: the commands in the trace,
// the progress line, the time-outs, and the drive on its new revision afterwards.
TEST(RunDownload, WorkedExamples) {
    const std::vector<ExampleCase> cases = {
        {"WRITE BUFFER 07h, 70,000 bytes, -s 64",
         false,
         70000,
         {"-s", "64"},
         " .  .  %  !",
         {"3B 07 00 00 00 00 00 80 00 00", "3B 07 00 00 80 00 00 80 00 00",
          "3B 07 00 01 00 00 00 11 70 00"},
         {32768, 32768, 4464}},
        {"WRITE BUFFER 05h, 70,000 bytes",
         false,
         70000,
         {},
         " .  !",
         {"3B 05 00 00 00 00 01 11 70 00"},
         {70000}},
        {"-s 256 is stored as 0: WRITE BUFFER 05h",
         false,
         70000,
         {"-s", "256"},
         " .  !",
         {"3B 05 00 00 00 00 01 11 70 00"},
         {70000}},
        {"WRITE BUFFER 07h, image shorter than a segment",
         false,
         4096,
         {"-s", "64"},
         " %  !",
         {"3B 07 00 00 00 00 00 10 00 00"},
         {4096}},
        {"DOWNLOAD MICROCODE 03h, 69,632 bytes, -s 64",
         true,
         69632,
         {"-s", "64"},
         " .  .  %  !",
         {"A1 0A 26 03 40 00 00 00 00 92 00 00", "A1 0A 26 03 40 00 40 00 00 92 00 00",
          "A1 0A 26 03 08 00 80 00 00 92 00 00"},
         {32768, 32768, 4096}},
        {"DOWNLOAD MICROCODE 07h, 69,632 bytes",
         true,
         69632,
         {},
         " .  !",
         {"A1 0A 26 07 88 00 00 00 00 92 00 00"},
         {69632}},
        {"DOWNLOAD MICROCODE 03h, whole segments only, -s 1",
         true,
         1024,
         {"-s", "1"},
         " .  .  !",
         {"A1 0A 26 03 01 00 00 00 00 92 00 00", "A1 0A 26 03 01 00 01 00 00 92 00 00"},
         {512, 512}},
    };
    for (const auto &c : cases) {
        Bay bay = make_bay({c.sata ? sata_validating("/dev/sg0") : scsi_validating("/dev/sg0")});
        std::string image = c.sata ? make_image(bay.dir, "fw.img", k_sata_model, "QA13.B00", c.size)
                                   : make_image(bay.dir, "fw.img", k_scsi_product, "N5R0", c.size);
        std::vector<std::string> args = c.segment_args;
        args.insert(args.end(), {"-f", image, "-d", "/dev/sg0"});
        RunResult r = run_dl(bay, args);
        EXPECT_EQ(body(r), "Downloading file " + image + " to /dev/sg0\n" + c.progress +
                               "\nDownload SUCCESSFUL\n")
            << c.what;
        EXPECT_EQ(r.err, "") << c.what;
        EXPECT_EQ(r.status, 0) << c.what;

        std::vector<TraceEntry> trace = read_trace(bay);
        std::vector<TraceEntry> sent = data_out_entries(trace);
        EXPECT_EQ(cdbs_of(sent), hex_all(c.cdbs)) << c.what;
        for (size_t i = 0; i < sent.size() && i < c.lengths.size(); ++i) {
            EXPECT_EQ(sent[i].length, c.lengths[i]) << c.what << ", command " << i + 1;
            EXPECT_EQ(sent[i].timeout, 120000) << c.what << ", command " << i + 1;
        }
        for (const TraceEntry &e : trace) {
            if (e.direction == "from_dev") {
                EXPECT_EQ(e.timeout, 5000) << c.what << ": identification " << e.cdb;
            }
        }
        EXPECT_EQ(bay_drive_member(bay, "/dev/sg0", "revision"), c.sata ? "QA13.B00" : "N5R0")
            << c.what;
    }
}

// A later run sees the revision the download left in the bay.
TEST(RunDownload, FirmwareWrittenBack) {
    Bay bay = make_bay({sata_validating("/dev/sg0"), scsi_validating("/dev/sg1")});
    std::string sata_image = make_image(bay.dir, "sata.img", k_sata_model, "QA13.B00", 65536);
    std::string scsi_image = make_image(bay.dir, "scsi.img", k_scsi_product, "N5R0", 65536);
    ASSERT_EQ(run_dl(bay, {"-s", "64", "-f", sata_image, "-d", "/dev/sg0"}).status, 0);
    ASSERT_EQ(run_dl(bay, {"-s", "64", "-f", scsi_image, "-d", "/dev/sg1"}).status, 0);
    RunResult r = run_dl(bay, {"--enump", "--tmc", "31847"});
    EXPECT_EQ(body(r), "ATA       /dev/sg0 MN: QSTOR ACME-7200      SN: QS7X0042 FW: QA13.B00\n"
                       "NORTHVL   /dev/sg1 MN: NV-SAS10K            SN: NV000077 FW: N5R0\n");
    EXPECT_EQ(r.status, 0);
}

// A drive that takes the image but keeps its revision: a -f run has no revision check, so
// it reports success; the revision stays.
TEST(RunDownload, DriveThatKeepsItsRevision) {
    for (bool sata : {false, true}) {
        nlohmann::json keep = R"({"firmware": {"mode": "keep-revision"}})"_json;
        Bay bay = make_bay(
            {sata ? sata_validating("/dev/sg0", keep) : scsi_validating("/dev/sg0", keep)});
        std::string image = make_bytes(bay.dir, "fw.bin", 65536);
        RunResult r = run_dl(bay, {"-s", "64", "-f", image, "-d", "/dev/sg0"});
        EXPECT_EQ(body(r),
                  "Downloading file " + image + " to /dev/sg0\n .  .  !\nDownload SUCCESSFUL\n")
            << (sata ? "SATA" : "SCSI");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(bay_drive_member(bay, "/dev/sg0", "revision"), sata ? "QA12.B07" : "N4R2");
    }
}

// An image cut short: the validating drive takes every segment and still says, in the Count
// register after the last one, that it expects more microcode. The commands all succeeded,
// so the outcome stands; the operator is told what the drive said.
TEST(RunDownload, DriveThatExpectsMoreMicrocodeIsNamed) {
    Bay bay = make_bay({sata_validating("/dev/sg0")});
    std::string image = make_image(bay.dir, "fw.img", k_sata_model, "QA13.B00", 8192);
    write_file(image, read_file(image).substr(0, 4096));
    RunResult r = run_dl(bay, {"-s", "2", "-f", image, "-d", "/dev/sg0"});
    EXPECT_EQ(body(r),
              "Downloading file " + image + " to /dev/sg0\n .  .  .  .  !\nDownload SUCCESSFUL\n");
    EXPECT_EQ(r.err, "WARNING: /dev/sg0 expects more microcode after the last segment "
                     "(DOWNLOAD MICROCODE Count 01h)\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(bay_drive_member(bay, "/dev/sg0", "revision"), "QA12.B07");
}

struct ForcedCase {
    const char *what;
    bool sata;
    std::string flag;
    std::string out; // after "Downloading file ... to /dev/sg0\n"
    std::string err;
    int status;
    std::string cdb;
    std::string sense_prefix; // of the one command's answer
};

// The method table's lines, and what a drive answers to the method it cannot take: libata
// refuses WRITE BUFFER with ILLEGAL REQUEST, a SCSI drive refuses ATA PASS-THROUGH without
// any ATA registers.
TEST(RunDownload, ForcedMethods) {
    const std::vector<ForcedCase> cases = {
        {"-w on an ATA drive", true, "-w",
         "WARNING: Option forces WRITE BUFFER CMD method on a ATA drive\n"
         "Force write buffer command\n !\nFW Download FAILED",
         "send_io: Success\n", 2, "3B 05 00 00 00 00 00 10 00 00",
         // fixed sense, ILLEGAL REQUEST, ASC 20h
         "700005000000000a0000000020"},
        {"-p on a SCSI drive", false, "-p",
         "WARNING: Option forces ATA PASSTHROUGH method on a non ATA drive\n"
         "Force ata passthrough\n\nATA Ret: Err 0x0, Dev 0x0, Status 0x0\n !\nFW Download FAILED",
         "send_ata_passthrough: no ATA status returned; the device may not support ATA "
         "PASS-THROUGH\nsend_io: Success\n",
         2, "A1 0A 26 07 08 00 00 00 00 92 00 00", "700005000000000a0000000020"},
        {"-w on a SCSI drive", false, "-w",
         "Force write buffer command\n .  !\nDownload SUCCESSFUL", "", 0,
         "3B 05 00 00 00 00 00 10 00 00", ""},
        {"-p on an ATA drive", true, "-p", "Force ata passthrough\n .  !\nDownload SUCCESSFUL", "",
         0, "A1 0A 26 07 08 00 00 00 00 92 00 00", "7201001d"},
    };
    for (const auto &c : cases) {
        Bay bay = make_bay({c.sata ? sata_any("/dev/sg0") : scsi_any("/dev/sg0")});
        std::string image = make_bytes(bay.dir, "fw.bin", 4096);
        RunResult r = run_dl(bay, {c.flag, "-f", image, "-d", "/dev/sg0"});
        EXPECT_EQ(body(r), "Downloading file " + image + " to /dev/sg0\n" + c.out + "\n") << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        EXPECT_EQ(r.status, c.status) << c.what;
        std::vector<TraceEntry> sent = data_out_entries(read_trace(bay));
        ASSERT_EQ(sent.size(), 1u) << c.what;
        EXPECT_EQ(sent[0].cdb, cdb_hex(c.cdb)) << c.what;
        EXPECT_EQ(sent[0].sense.substr(0, c.sense_prefix.size()), c.sense_prefix) << c.what;
    }
}

// -m over the mixed bay: ATA drives are passed over, SCSI drives whose product differs from
// the upper-cased value are skipped, the matching one is downloaded.
TEST(RunDownload, ModelFilterOverTheMixedBay) {
    Bay bay = copy_mixed_fixture();
    std::string image = make_image(bay.dir, "fw.img", "NV-SAS10K", "N5R0", 8192);
    RunResult r = run_dl(bay, {"-m", "nv-sas10k", "-f", image});
    EXPECT_EQ(body(r), "Skipping ATA device: /dev/sg0\n"
                       "Downloading file " +
                           image +
                           " to /dev/sg1\n .  !\nDownload SUCCESSFUL\n"
                           "Skipping ATA device: /dev/sg10\n"
                           "/dev/sg2: No model number match; skipping\n"
                           "Skipping ATA device: /dev/sg3\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    std::vector<TraceEntry> sent = data_out_entries(read_trace(bay));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].node, "/dev/sg1");
    EXPECT_EQ(bay_drive_member(bay, "/dev/sg1", "revision"), "N5R0");
    EXPECT_EQ(bay_drive_member(bay, "/dev/sg2", "revision"), "0191");
}

struct SequenceCase {
    const char *what;
    std::vector<nlohmann::json> drives;
    std::vector<std::string> devices;
    std::string out; // with IMG standing for the image path
    std::string err;
    int status;
};

std::string with_image(std::string text, const std::string &image) {
    for (size_t at = text.find("IMG"); at != std::string::npos; at = text.find("IMG", at)) {
        text.replace(at, 3, image);
        at += image.size();
    }
    return text;
}

// Several devices in one run: a failed download marks the status and the run goes on; a
// device that cannot be opened ends it.
TEST(RunDownload, RunsOverSeveralDevices) {
    const std::string ok = "Downloading file IMG to /dev/sg1\n .  .  .  .  !\nDownload SUCCESSFUL";
    const std::vector<SequenceCase> cases = {
        {"first aborted, second downloaded",
         {sata_any("/dev/sg0",
                   R"({"faults": [{"on": "download", "index": 1, "kind": "abort"}]})"_json),
          scsi_any("/dev/sg1")},
         {"/dev/sg0", "/dev/sg1"},
         "Downloading file IMG to /dev/sg0\n\nATA Ret: Err 0x4, Dev 0x0, Status 0x41\n !\n"
         "FW Download FAILED\n" +
             ok,
         "send_io: Success\n",
         2},
        {"first downloaded, second cannot be opened",
         {sata_any("/dev/sg0"),
          scsi_any("/dev/sg1",
                   R"({"faults": [{"on": "open", "kind": "errno", "errno": "EACCES"}]})"_json)},
         {"/dev/sg0", "/dev/sg1"},
         "Downloading file IMG to /dev/sg0\n .  .  .  .  !\nDownload SUCCESSFUL\n"
         "Error: Could not open handle to /dev/sg1",
         "get_sg_fd: Permission denied\n",
         3},
        {"first drive vanishes in the download, second downloaded",
         {sata_any("/dev/sg0",
                   R"({"faults": [{"on": "download", "index": 2, "kind": "vanish"}]})"_json),
          scsi_any("/dev/sg1")},
         {"/dev/sg0", "/dev/sg1"},
         "Downloading file IMG to /dev/sg0\n . \nATA Ret: Err 0x0, Dev 0x0, Status 0x50\n !\n"
         "FW Download FAILED\n" +
             ok,
         "send_io: No such device\nsend_io: No such device\n",
         2},
        {"one drive named twice: processed once",
         {scsi_any("/dev/sg1")},
         {"/dev/sg1", "/dev//sg1"},
         ok,
         "/dev//sg1: same drive as /dev/sg1; not processed again\n",
         0},
        {"a drive without a name, named twice: processed once",
         {scsi_any("/dev/sg1", R"({"flavor": "scsi-hd", "serial": "    "})"_json)},
         {"/dev/sg1", "/dev/./sg1"},
         ok,
         "/dev/./sg1: same drive as /dev/sg1; not processed again\n",
         0},
        {"a vanished drive cannot be opened again",
         {scsi_any("/dev/sg1",
                   R"({"faults": [{"on": "write_buffer", "index": 3, "kind": "vanish"}]})"_json)},
         {"/dev/sg1", "/dev/sg1"},
         "Downloading file IMG to /dev/sg1\n .  .  !\nFW Download FAILED\n"
         "Error: Could not open handle to /dev/sg1",
         "send_io: No such device\nsend_io: No such device\nget_sg_fd: No such device\n",
         3},
    };
    for (const auto &c : cases) {
        Bay bay = make_bay(c.drives);
        std::string image = make_bytes(bay.dir, "fw.bin", 4 * 2048);
        std::vector<std::string> args = {"-s", "4", "-f", image};
        for (const std::string &d : c.devices) {
            args.insert(args.end(), {"-d", d});
        }
        RunResult r = run_dl(bay, args);
        EXPECT_EQ(body(r), with_image(c.out, image) + "\n") << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        EXPECT_EQ(r.status, c.status) << c.what;
    }
    // Started with standard input closed (as from cron), the drive opens as descriptor 0.
    Bay bay = make_bay({scsi_any("/dev/sg1")});
    std::string image = make_bytes(bay.dir, "fw.bin", 4 * 2048);
    RunResult r = run_command({"sh", "-c", "exec \"$@\" <&-", "sh", sgsim_path(), "run", bay.path,
                               "--", DL_COR_FW_PATH, "-s", "4", "-f", image, "-d", "/dev/sg1"});
    EXPECT_EQ(body(r) + r.err, with_image(ok, image) + "\n");
}

// An image that is missing or not a regular file (a FIFO without a writer must not hold the
// run, a directory has no length) fails for each device, and nothing is sent. Both streams go
// into one pipe: each reason follows its line.
TEST(RunDownload, ImageThatCannotBeOpenedWithTwoDevices) {
    for (std::string name : {"absent.bin", "fifo", "dir"}) {
        Bay bay = make_bay({scsi_any("/dev/sg0"), sata_any("/dev/sg1")});
        std::string image = bay.dir + "/" + name;
        mkfifo((bay.dir + "/fifo").c_str(), 0600);
        mkdir((bay.dir + "/dir").c_str(), 0700);
        RunResult r = run_dl(bay, {"-f", image, "-d", "/dev/sg0", "-d", "/dev/sg1"}, true);
        std::string why = name == "absent.bin" ? "No such file or directory" : "Not a regular file";
        std::string once = "Couldn't open file " + image + "\nfopen: " + why + "\n";
        EXPECT_EQ(body(r), once + once);
        EXPECT_EQ(r.status, 2) << name;
        EXPECT_TRUE(data_out_entries(read_trace(bay)).empty()) << name;
    }
}

// TEST UNIT READY before the first download command: sent again only while the drive
// answers UNIT ATTENTION (at most four in all); any other answer is left to the download.
TEST(RunDownload, TestUnitReadyBeforeTheImage) {
    const struct {
        bool sata;
        nlohmann::json extra;
        int turs;
    } cases[] = {
        {false, R"({"unit_attention": true})"_json, 2},
        {false, R"({"faults": [{"on": "tur", "kind": "check", "key": 2, "asc": 4}]})"_json,
         1},                                                                          // NOT READY
        {false, R"({"faults": [{"on": "tur", "kind": "check", "key": 6}]})"_json, 4}, // for ever
        {true, nlohmann::json::object(), 1},
    };
    for (const auto &[sata, extra, turs] : cases) {
        Bay bay = make_bay(
            {sata ? sata_validating("/dev/sg0", extra) : scsi_validating("/dev/sg0", extra)});
        std::string image =
            make_image(bay.dir, "fw.img", sata ? k_sata_model : k_scsi_product, "N5R0", 4096);
        RunResult r = run_dl(bay, {"-f", image, "-d", "/dev/sg0"});
        EXPECT_EQ(body(r) + r.err + std::to_string(r.status),
                  "Downloading file " + image + " to /dev/sg0\n .  !\nDownload SUCCESSFUL\n0")
            << extra;
        // Opcodes and time-outs from the first command that is not an identification one:
        // TEST UNIT READY with the identification's time-out, then the image.
        std::string got, want;
        for (const TraceEntry &e : read_trace(bay)) {
            bool identification = e.cdb.compare(0, 2, "12") == 0 ||
                                  (e.cdb.size() == 24 && e.cdb.compare(18, 2, "ec") == 0);
            if (!identification || !got.empty()) {
                got += e.cdb.substr(0, 2) + "/" + std::to_string(e.timeout) + " ";
            }
        }
        for (int i = 0; i < turs; ++i) {
            want += "00/5000 ";
        }
        EXPECT_EQ(got, want + (sata ? "a1/120000 " : "3b/120000 ")) << extra;
    }
}

struct RefusedCase {
    const char *what;
    bool sata;
    size_t size;
    std::vector<std::string> segment_args;
    std::string err;
};

// Images that cannot reach the drive intact are refused before any command carries data.
TEST(RunDownload, ImagesRefusedBeforeAnythingIsSent) {
    constexpr size_t mib = 1024 * 1024;
    const std::vector<RefusedCase> cases = {
        {"unsegmented WRITE BUFFER over 8 MiB",
         false,
         8 * mib + 512,
         {},
         "send_write_buffer: image of 8389120 bytes is longer than the 8388608 bytes that mode "
         "0x5 sends in one command; give a segment count to send it with offsets; nothing "
         "sent\n"},
        {"-s 256 stored as 0, WRITE BUFFER over 8 MiB",
         false,
         8 * mib + 512,
         {"-s", "256"},
         "send_write_buffer: image of 8389120 bytes is longer than the 8388608 bytes that mode "
         "0x5 sends in one command; give a segment count to send it with offsets; nothing "
         "sent\n"},
        {"WRITE BUFFER over 16 MiB",
         false,
         16 * mib + 512,
         {"-s", "255"},
         "send_write_buffer: image of 16777728 bytes is longer than the 16777216 bytes that "
         "BUFFER OFFSET can address; nothing sent\n"},
        {"unsegmented DOWNLOAD MICROCODE over 8 MiB",
         true,
         8 * mib + 512,
         {},
         "send_ata_passthrough: image of 8389120 bytes is longer than the 8388608 bytes that "
         "subcommand 0x7 sends in one command; give a segment count to send it with offsets; "
         "nothing sent\n"},
        {"DOWNLOAD MICROCODE, not whole blocks",
         true,
         70000,
         {"-s", "64"},
         "send_ata_passthrough: image of 70000 bytes is not a whole number of 512-byte blocks; "
         "nothing sent\n"},
        {"DOWNLOAD MICROCODE over 32 MiB",
         true,
         32 * mib + 512,
         {"-s", "255"},
         "send_ata_passthrough: image of 33554944 bytes is longer than the 33554432 bytes that a "
         "16-bit block offset can address; nothing sent\n"},
    };
    for (const auto &c : cases) {
        Bay bay = make_bay({c.sata ? sata_any("/dev/sg0") : scsi_any("/dev/sg0")});
        std::string image = make_bytes(bay.dir, "fw.bin", c.size);
        std::vector<std::string> args = c.segment_args;
        args.insert(args.end(), {"-f", image, "-d", "/dev/sg0"});
        RunResult r = run_dl(bay, args);
        EXPECT_EQ(body(r), "Downloading file " + image + " to /dev/sg0\nFW Download FAILED\n")
            << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        EXPECT_EQ(r.status, 2) << c.what;
        // Only the identification: two INQUIRY commands, and the three ATA ones for SATA.
        std::vector<TraceEntry> trace = read_trace(bay);
        EXPECT_EQ(trace.size(), c.sata ? 5u : 2u) << c.what;
        EXPECT_TRUE(data_out_entries(trace).empty()) << c.what;
    }
}

} // namespace
