// Staged updates under the simulated bay: --stage and its activation by --activate or by a
// power cycle on both drive kinds, an activation with nothing staged, and --preflight against
// drives that state each limit.
#include "test_run_util.h"
#include "test_sgsim_util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

nlohmann::json drive(bool sata, const nlohmann::json &extra = nlohmann::json::object()) {
    return sata ? sata_drive("/dev/sg0", "QSTOR ACME-7200", "QS7X0042Z9", "QA12.B07", extra)
                : scsi_drive("/dev/sg0", "NORTHVL", "NV-SAS10K", "N4R2", "NV01", extra);
}

// The commands of the trace that are not INQUIRY, IDENTIFY DEVICE or a firmware request, as
// "CDB direction length timeout".
std::vector<std::string> commands_after_identification(const Bay &bay) {
    std::vector<std::string> out;
    for (const TraceEntry &e : read_trace(bay)) {
        if (e.cdb.rfind("12", 0) != 0 && e.cdb.rfind("a1082a", 0) != 0) {
            out.push_back(e.cdb + " " + e.direction + " " + std::to_string(e.length) + " " +
                          std::to_string(e.timeout));
        }
    }
    return out;
}

TEST(RunStaged, StageThenActivateOrPowerCycleOnBothKinds) {
    for (bool sata : {false, true}) {
        for (bool power_cycle : {false, true}) {
            SCOPED_TRACE(std::string(sata ? "SATA" : "SCSI") +
                         (power_cycle ? ", power cycle" : ""));
            Bay bay = make_bay({drive(sata)});
            std::string old_rev = sata ? "QA12.B07" : "N4R2", new_rev = sata ? "QA13.B00" : "N5R0";
            std::string image = make_image(bay.dir, "fw.img",
                                           sata ? "QSTOR ACME-7200" : "NV-SAS10K", new_rev, 69632);
            RunResult r = run_dl(bay, {"--stage", "-f", image, "-d", "/dev/sg0"});
            EXPECT_EQ(body(r),
                      "Downloading file " + image +
                          " to /dev/sg0\n .  .  %  !\n"
                          "Download SUCCESSFUL\nFirmware staged on /dev/sg0: activation is "
                          "pending until --activate or a power cycle\n");
            EXPECT_EQ(r.status, 0);
            // 64 blocks a segment: the drives state no size of their own.
            std::vector<std::string> staged;
            for (const char *cdb :
                 {"3B 0E 00 00 00 00 00 80 00 00", "3B 0E 00 00 80 00 00 80 00 00",
                  "3B 0E 00 01 00 00 00 10 00 00", "A1 0A 26 0E 40 00 00 00 00 92 00 00",
                  "A1 0A 26 0E 40 00 40 00 00 92 00 00", "A1 0A 26 0E 08 00 80 00 00 92 00 00"}) {
                if ((cdb[0] == 'A') == sata) {
                    staged.push_back(cdb_hex(cdb) + " to_dev " +
                                     (staged.size() < 2 ? "32768" : "4096") + " 120000");
                }
            }
            std::vector<std::string> sent = commands_after_identification(bay);
            // The statement reads and TEST UNIT READY come first.
            ASSERT_GE(sent.size(), 3u);
            EXPECT_EQ(std::vector<std::string>(sent.end() - 3, sent.end()), staged);
            EXPECT_EQ(bay_drive_member(bay, "/dev/sg0", "revision"), old_rev);
            EXPECT_EQ(bay_drive_member(bay, "/dev/sg0", "staged"), new_rev);
            write_file(bay.trace, "");

            if (power_cycle) {
                RunResult cycled = run_command({sgsim_path(), "power-cycle", bay.path, "/dev/sg0"});
                EXPECT_EQ(cycled.out,
                          "/dev/sg0: power cycled, revision " + old_rev + " -> " + new_rev + "\n");
                EXPECT_NE(body(run_dl(bay, {"--enump", "--tmc", "31847"})).find("FW: " + new_rev),
                          std::string::npos);
            } else {
                r = run_dl(bay, {"--activate", "-d", "/dev/sg0"});
                EXPECT_EQ(body(r), "Activating the firmware staged on /dev/sg0\nRevision of "
                                   "/dev/sg0: " +
                                       old_rev + " -> " + new_rev + "\nActivation SUCCESSFUL\n");
                EXPECT_EQ(r.err, "");
                EXPECT_EQ(r.status, 0);
                std::vector<std::string> cmds = commands_after_identification(bay);
                ASSERT_EQ(cmds.size(), 2u);
                EXPECT_EQ(cmds[0].substr(0, 12), "000000000000");
                EXPECT_EQ(cmds[1], cdb_hex(sata ? "A1 06 20 0F 00 00 00 00 00 92 00 00"
                                                : "3B 0F 00 00 00 00 00 00 00 00") +
                                       " none 0 120000");
            }
            EXPECT_EQ(bay_drive_member(bay, "/dev/sg0", "revision"), new_rev);

            // Nothing is staged any more: the drive refuses 0Fh, and the run says so plainly.
            r = run_dl(bay, {"--activate", "-d", "/dev/sg0"});
            std::string said = body(r);
            EXPECT_EQ(said.substr(0, said.find(" (")),
                      "Activating the firmware staged on /dev/sg0\n/dev/sg0: nothing is staged "
                      "to activate" +
                          std::string(sata ? ", or the drive takes no DOWNLOAD "
                                             "MICROCODE 0Fh"
                                           : ""));
            EXPECT_NE(said.find(sata ? "ATA Error 0x04"
                                     : "0x2c/0x00 command sequence error)\n"
                                       "Activation FAILED\n"),
                      std::string::npos)
                << said;
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(r.status, 2);
        }
    }
}

// Each limit a drive states, against the run that would break it or keep to it. Nothing but
// reads reaches the drive. The same refusal ends a --stage run before any command; a plain
// run sends what it always sends, whatever the drive states.
TEST(RunStaged, PreflightSaysWhatWouldBeSentAndSendsNothing) {
    const struct {
        bool sata;
        const char *drive;
        std::vector<std::string> args;
        std::string said; // after "/dev/sg0: would "
    } rows[] = {
        {true,
         R"({"flavor": "ide-hd"})",
         {},
         "not send IMG by DOWNLOAD MICROCODE 07h: IDENTIFY "
         "word 83 states that DOWNLOAD MICROCODE is not supported; the run sends DOWNLOAD "
         "MICROCODE 0x07"},
        {true,
         R"({"identify_words": {"119": "0x4000"}})",
         {"-s", "8"},
         "not send IMG by DOWNLOAD "
         "MICROCODE 03h: IDENTIFY word 119 states that DOWNLOAD MICROCODE 0x03 (with offsets) "
         "is not supported; the run sends 0x03"},
        {true,
         R"({"identify_words": {"235": 16}})",
         {"-s", "32"},
         "not send IMG by DOWNLOAD "
         "MICROCODE 03h: IDENTIFY word 235 states at most 16 blocks per command; the run sends "
         "32 in one command"},
        {true,
         R"({"dm_capabilities": false})",
         {"--stage"},
         "not send IMG by DOWNLOAD MICROCODE "
         "0Eh: the IDENTIFY DEVICE data log (30h, page 03h) could not be read, so the drive "
         "states nothing about staging; the run stages with 0x0e"},
        {true,
         R"({"dm_capabilities": "0x8000000000000000"})",
         {"--stage"},
         "not send IMG by "
         "DOWNLOAD MICROCODE 0Eh: the IDENTIFY DEVICE data log states that DOWNLOAD MICROCODE "
         "0x0e (deferred) is not supported; the run stages with 0x0e"},
        {true,
         R"({"dm_capabilities": "0x8000000400200000"})",
         {"--stage"},
         "send IMG (69632 "
         "bytes) by DOWNLOAD MICROCODE 0Eh in 5 segments of 16384 bytes, the last of 4096 bytes"},
        {false,
         R"({"extended_inquiry": {"download_modes": [5, 7]}})",
         {"--stage"},
         "not send "
         "IMG by WRITE BUFFER 0Eh: the Extended INQUIRY Data page states the download modes "
         "0x05 0x07; the run sends WRITE BUFFER mode 0x0e"},
        {false,
         R"({"read_buffer": {"offset_boundary": 255}})",
         {"-s", "64"},
         "not send IMG by "
         "WRITE BUFFER 07h: the READ BUFFER descriptor states that only offset 0 is supported "
         "(offset boundary 0xff); the run sends 3 commands, the second at offset 32768"},
        {false,
         R"({"read_buffer": {"offset_boundary": 16}})",
         {"--stage"},
         "send IMG (70000 "
         "bytes) by WRITE BUFFER 0Eh in 2 segments of 65536 bytes, the last of 4464 bytes"},
        {false,
         R"({"read_buffer": {"capacity": 65536}})",
         {},
         "not send IMG by WRITE BUFFER "
         "05h: the READ BUFFER descriptor states a buffer of 65536 bytes; the image is 70000 "
         "bytes"},
        {false, "{}", {}, "send IMG (70000 bytes) by WRITE BUFFER 05h in one command"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.drive);
        Bay bay = make_bay({drive(row.sata, nlohmann::json::parse(row.drive))});
        std::string image = make_bytes(bay.dir, "fw.bin", row.sata ? 69632 : 70000);
        std::vector<std::string> args = row.args;
        args.insert(args.end(), {"--preflight", "-f", image, "-d", "/dev/sg0"});
        RunResult r = run_dl(bay, args);
        std::string said = row.said;
        said.replace(said.find("IMG"), 3, image);
        EXPECT_EQ(body(r), "/dev/sg0: would " + said + "\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, said.rfind("not ", 0) == 0 ? 2 : 0);
        for (const TraceEntry &e : read_trace(bay)) {
            EXPECT_EQ(e.direction, "from_dev") << e.cdb;
        }
    }

    // --stage refuses what --preflight refuses; a plain run sends to a drive stating no
    // DOWNLOAD MICROCODE support (which aborts it).
    for (const char *extra : {R"({"dm_capabilities": false})", R"({"flavor": "ide-hd"})"}) {
        Bay bay = make_bay({drive(true, nlohmann::json::parse(extra))});
        std::string image = make_bytes(bay.dir, "fw.bin", 4096);
        bool stage = extra[2] == 'd';
        std::vector<std::string> args = {"-f", image, "-d", "/dev/sg0"};
        if (stage) {
            args.push_back("--stage");
        }
        RunResult r = run_dl(bay, args);
        EXPECT_EQ(r.status, 2);
        std::vector<TraceEntry> sent = data_out_entries(read_trace(bay));
        ASSERT_EQ(sent.size(), stage ? 0u : 1u) << extra;
        if (stage) {
            EXPECT_EQ(r.err, "/dev/sg0: the IDENTIFY DEVICE data log (30h, page 03h) could not "
                             "be read, so the drive states nothing about staging; the run stages "
                             "with 0x0e; nothing sent\n");
        } else {
            EXPECT_EQ(sent[0].cdb, cdb_hex("A1 0A 26 07 08 00 00 00 00 92 00 00"));
        }
    }
}

} // namespace
