// Staged updates under the simulated bay: --stage, then --activate on one drive and a power
// cycle on the other, of both kinds; 0Fh with nothing staged; --preflight against drives that
// state each limit; a plain run to a drive that states it takes no microcode.
#include "scene.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

nlohmann::json drive(bool sata, const std::string &node, const char *extra = "{}") {
    nlohmann::json x = nlohmann::json::parse(extra);
    // Two drives of one model each have a serial of their own: one drive is processed once.
    std::string n = node.substr(node.size() - 1);
    return sata ? sata_drive(node, "QSTOR ACME-7200", "QS7X0042Z" + n, "QA12.B07", x)
                : scsi_drive(node, "NORTHVL", "NV-SAS10K", "N4R2", "NV0" + n, x);
}

TEST(RunStaged, StageThenActivateOrPowerCycle) {
    for (bool sata : {false, true}) {
        SCOPED_TRACE(sata ? "SATA" : "SCSI");
        Bay bay = make_bay({drive(sata, "/dev/sg0"), drive(sata, "/dev/sg1")});
        std::string rev = sata ? "QA13.B00" : "N5R0";
        std::string image =
            make_image(bay.dir, "fw.img", sata ? "QSTOR ACME-7200" : "NV-SAS10K", rev, 69632);
        RunResult r = run_dl(bay, {"--stage", "-f", image, "-d", "/dev/sg0", "-d", "/dev/sg1"});
        EXPECT_NE(body(r).find(" .  .  %  !\nDownload SUCCESSFUL\nFirmware staged on /dev/sg1: "
                               "activation is pending until --activate or a power cycle\n"),
                  std::string::npos);
        EXPECT_EQ(r.status, 0);
        // 64 blocks a segment: the drives state no size of their own.
        const char *staged[] = {
            sata ? "A1 0A 26 0E 40 00 00 00 00 92 00 00" : "3B 0E 00 00 00 00 00 80 00 00",
            sata ? "A1 0A 26 0E 40 00 40 00 00 92 00 00" : "3B 0E 00 00 80 00 00 80 00 00",
            sata ? "A1 0A 26 0E 08 00 80 00 00 92 00 00" : "3B 0E 00 01 00 00 00 10 00 00"};
        std::vector<std::string> sent, want;
        for (const TraceEntry &e : data_out_entries(read_trace(bay))) {
            sent.push_back(e.cdb);
            want.push_back(cdb_hex(staged[want.size() % 3]));
        }
        EXPECT_EQ(sent, want);
        EXPECT_EQ(sent.size(), 6u);
        if (!sata) { // the revision read back by INQUIRY alone, not the page of what it awaits
            EXPECT_EQ(read_trace(bay).back().cdb.substr(0, 6), "120000");
        }
        EXPECT_EQ(bay_drive_member(bay, "/dev/sg1", "revision"), sata ? "QA12.B07" : "N4R2");
        EXPECT_EQ(bay_drive_member(bay, "/dev/sg1", "staged"), rev);

        write_file(bay.trace, "");
        r = run_dl(bay, {"--activate", "-d", "/dev/sg0"});
        EXPECT_EQ(body(r) + r.err, "Activating the firmware staged on /dev/sg0\nRevision of "
                                   "/dev/sg0: " +
                                       std::string(sata ? "QA12.B07" : "N4R2") + " -> " + rev +
                                       "\nActivation SUCCESSFUL\n");
        // TEST UNIT READY, then 0Fh without data, with the download time-out.
        std::vector<TraceEntry> trace = read_trace(bay);
        std::string cdb =
            cdb_hex(sata ? "A1 06 20 0F 00 00 00 00 00 92 00 00" : "3B 0F 00 00 00 00 00 00 00 00");
        auto activation = std::find_if(trace.begin() + 1, trace.end(),
                                       [&](const TraceEntry &e) { return e.cdb == cdb; });
        ASSERT_NE(activation, trace.end());
        EXPECT_EQ((activation - 1)->cdb, "000000000000");
        EXPECT_EQ(activation->direction + std::to_string(activation->timeout), "none120000");

        RunResult cycled = run_command({sgsim_path(), "power-cycle", bay.path, "/dev/sg1"});
        EXPECT_NE(cycled.out.find(" -> " + rev + "\n"), std::string::npos);
        EXPECT_EQ(body(run_dl(bay, {"--enump", "--tmc", "31847"})).find(sata ? "QA12" : "N4R2"),
                  std::string::npos);

        // Nothing is staged any more: the drives refuse 0Fh, and the run says so plainly.
        r = run_dl(bay, {"--activate", "-d", "/dev/sg0", "-d", "/dev/sg1"});
        std::string nothing =
            "/dev/sg1: nothing is staged to activate" +
            std::string(sata ? ", or the drive takes no DOWNLOAD MICROCODE 0Fh" : "") +
            " (the drive answered CHECK CONDITION, sense key ";
        EXPECT_NE(body(r).find(nothing + (sata ? "0xb" : "0x5 ILLEGAL REQUEST, ASC/ASCQ 0x2c")),
                  std::string::npos)
            << body(r);
        EXPECT_TRUE(body(r).ends_with("Activation FAILED\n")) << body(r);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 2);
    }
}

// One read of each kind of statement, and the run it holds against. Nothing but reads reaches
// the drive.
TEST(RunStaged, PreflightSendsNothing) {
    const struct {
        bool sata;
        const char *drive;
        const char *flag;
        const char *said; // in the one line, "/dev/sg0: would ..."
    } rows[] = {
        {true, R"({"flavor": "ide-hd"})", "-s0", "83 states that DOWNLOAD MICROCODE is not"},
        {true, R"({"identify_words": {"235": 4}})", "-s8", "235 states at most 4 blocks per"},
        {true, R"({"dm_capabilities": false})", "--stage", "(30h, page 03h) could not be read"},
        {true, R"({"dm_capabilities": "0x8000000400200000"})", "--stage",
         "MICROCODE 0Eh in 5 segments of 16384 bytes, the last of 4096 bytes"},
        {false, R"({"extended_inquiry": {"download_modes": [5, 7]}})", "--stage",
         "modes 0x05 0x07; the run sends WRITE BUFFER mode 0x0e"},
        {false, R"({"read_buffer": {"offset_boundary": 255}})", "-s64", "only offset 0 is"},
        {false, R"({"read_buffer": {"offset_boundary": 16}})", "--stage",
         "BUFFER 0Eh in 2 segments of 65536 bytes, the last of 4464 bytes"},
        // A step no segment count holds: the image in one command.
        {false, R"({"read_buffer": {"offset_boundary": 20}})", "--stage",
         "BUFFER 0Eh in 1 segment of 70000 bytes\n"},
        {false, R"({"extended_inquiry": {"download_modes": [5, 7, 14]}})", "--stage",
         "states no way to activate staged microcode (the Extended INQUIRY Data page states the "
         "download modes 0x05 0x07 0x0e, not 0x0f)"},
        {true, R"({"identify_words": {"119": 0}})", "-s8",
         "MICROCODE 03h in 17 segments of 4096 bytes; the drive does not state segmented "
         "download (03h) support, which older drives lack: without -s the run sends 07h\n"},
        // A unit attention is taken by the statement read and the read sent again; one that
        // stays says the statement was not read.
        {false, R"({"power_on_attention": true, "read_buffer": {"capacity": 4096}})", "--stage",
         "states a buffer of 4096 bytes"},
        {true, R"({"dm_capabilities": "0x8000000400200000", "faults": [{"on": "read_log",
             "index": 1, "kind": "check", "key": 6, "asc": 41}]})",
         "--stage", "MICROCODE 0Eh in 5 segments of 16384 bytes, the last of 4096 bytes\n"},
        {false, R"({"read_buffer": {}, "faults": [{"on": "read_buffer", "kind": "check", "key": 6,
             "asc": 41}]})",
         "-s64",
         "; not stated, its read failed: the READ BUFFER descriptor (CHECK CONDITION, "
         "sense key 0x6 UNIT ATTENTION, ASC/ASCQ 0x29/0x00"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.drive);
        Bay bay = make_bay({drive(row.sata, "/dev/sg0", row.drive)});
        std::string image = make_bytes(bay.dir, "fw.bin", row.sata ? 69632 : 70000);
        RunResult r = run_dl(bay, {row.flag, "--preflight", "-f", image, "-d", "/dev/sg0"});
        std::string out = body(r); // its end, "; drive serial ..." or "; drive wwn ...", left out
        out.erase(out.rfind("; drive "), out.rfind('\n') - out.rfind("; drive "));
        EXPECT_EQ(out.rfind("/dev/sg0: would ", 0), 0u) << out;
        EXPECT_NE(out.find(row.said), std::string::npos) << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
        EXPECT_EQ(r.status, out.find("would not") != std::string::npos ? 2 : 0);
        for (const TraceEntry &e : read_trace(bay)) {
            EXPECT_EQ(e.direction, "from_dev") << e.cdb;
        }
    }
    // --stage sends nothing to the drive whose log cannot be read; a plain run sends its image
    // to a drive that states no DOWNLOAD MICROCODE support (and the drive aborts it).
    Bay bay = make_bay({drive(true, "/dev/sg0", R"({"dm_capabilities": false})"),
                        drive(true, "/dev/sg1", R"({"flavor": "ide-hd"})")});
    std::string image = make_bytes(bay.dir, "fw.bin", 4096);
    RunResult r = run_dl(bay, {"--stage", "-f", image, "-d", "/dev/sg0"});
    EXPECT_EQ(body(r) + r.err,
              "Downloading file " + image +
                  " to /dev/sg0\nFW Download FAILED\n"
                  "/dev/sg0: the IDENTIFY DEVICE data log (30h, page 03h) could not "
                  "be read, so the drive states nothing about staging; the run "
                  "stages with 0x0e; nothing sent\n");
    EXPECT_EQ(run_dl(bay, {"-f", image, "-d", "/dev/sg1"}).status, 2);
    std::vector<TraceEntry> sent = data_out_entries(read_trace(bay));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].node + sent[0].cdb,
              "/dev/sg1" + cdb_hex("A1 0A 26 07 08 00 00 00 00 92 00 00"));
}

} // namespace
