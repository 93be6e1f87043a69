// A drive by its name: named twice, NOT READY, off the bus past --settle, moved; 0Fh kept.
#include "scene.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

nlohmann::json scsi(const std::string &node, const char *extra = "{}") {
    nlohmann::json x = nlohmann::json::parse(extra);
    if (!x.contains("flavor")) { // QEMU's scsi-hd: no WWN unless given one
        x["wwn"] = "5000c500a1b2c3d4";
    }
    return scsi_drive(node, "NORTHVL", "NV-SAS10K", "N4R2", "NV01", x);
}

// Per run: its output after the progress line, errors and status; per record line decision,
// outcome and wwn; then TEST UNIT READY's answers after the image (NR: NOT READY, shown once;
// HOST: a host status; a number: the errno of a failed ioctl).
TEST(RunFollow, OneDriveWhateverItsNode) {
    const std::string rev = "Revision of /dev/sg0: N4R2 -> ", wwn = " 5000c500a1b2c3d4 ";
    const struct {
        std::vector<nlohmann::json> drives;
        std::vector<std::string> args; // IMG: the image
        std::string run, record;
        bool recorded = true; // false: no --record, so that --verify alone has the run read names
    } cases[] = {
        {{scsi("/dev/sg0"), scsi("/dev/sg1")},
         {"-f", "IMG", "-d", "/dev/sg0", "-d", "/dev/./sg0", "-d", "/dev/sg1"},
         "Download SUCCESSFUL\n/dev/./sg0: same drive as /dev/sg0; not processed again\n"
         "/dev/sg1: same drive as /dev/sg0; not processed again\n0",
         "download unverified" + wwn + "duplicate null" + wwn + "duplicate null" + wwn + "| "},
        {{scsi("/dev/sg0", R"({"settle_ms": 1500})")},
         {"-f", "IMG", "-d", "/dev/sg0", "--verify"},
         rev + "N5R0\nDownload SUCCESSFUL\n0",
         "download updated" + wwn + "| NR UA UA GOOD "},
        {{scsi("/dev/sg0", R"({"vanish_ms": 5000})")},
         {"-f", "IMG", "-d", "/dev/sg0", "--verify", "--settle", "1"},
         rev + "unreadable\nDownload FAILED\n/dev/sg0: the drive did not answer within 1 s after "
               "the download\n2",
         "download lost" + wwn + "| HOST "},
        // Another drive at a node looked at before the new one is not taken for it.
        {{scsi("/dev/sg1", R"({"moves_to": "/dev/sg9"})"),
          scsi_drive("/dev/sg5", "NORTHVL", "NV-SAS10K", "N4R2", "NV02",
                     {{"wwn", "5000c500a1b2c3d5"}})},
         {"-f", "IMG", "-d", "/dev/sg1", "--verify"},
         "Revision of /dev/sg1 (now /dev/sg9): N4R2 -> N5R0\nDownload SUCCESSFUL\n0",
         "download updated" + wwn + "| 19 UA GOOD "},
        // Found again by vendor, model and serial; by the WWN when the serial is blank.
        {{scsi("/dev/sg1", R"({"moves_to": "/dev/sg9", "flavor": "scsi-hd"})")},
         {"-f", "IMG", "-d", "/dev/sg1", "--verify"},
         "Revision of /dev/sg1 (now /dev/sg9): N4R2 -> N5R0\nDownload SUCCESSFUL\n0",
         "| 19 UA GOOD ",
         false},
        {{scsi("/dev/sg1", R"({"moves_to": "/dev/sg9", "serial": "    "})")},
         {"-f", "IMG", "-d", "/dev/sg1", "--verify"},
         "Revision of /dev/sg1 (now /dev/sg9): N4R2 -> N5R0\nDownload SUCCESSFUL\n0",
         "| 19 UA GOOD ",
         false},
        {{scsi("/dev/sg0", R"({"firmware": {"staging": "ignored"},
                               "extended_inquiry": {"activate_microcode": 2}})")},
         {"--activate", "-d", "/dev/sg0"},
         "Activating the firmware staged on /dev/sg0\n" + rev + "N4R2\nActivation FAILED\n2",
         "activate unchanged" + wwn + "| GOOD GOOD "},
        {{scsi("/dev/sg0", R"({"staged": "N5R0", "faults": [{"on": "write_buffer", "kind": "errno",
                                                               "errno": "EIO"}]})")},
         {"--activate", "-d", "/dev/sg0"},
         "Activating the firmware staged on /dev/sg0\nActivation FAILED\nsend_io: Input/output "
         "error\n/dev/sg0: activation failed: SG_IO failed: Input/output error\n2",
         "activate failed" + wwn + "| GOOD "},
        // An ATA drive whose full revision could not be read when it was identified is
        // judged by its INQUIRY revision, not by the full one it gives after the image.
        {{sata_drive("/dev/sg0", "QSTOR ACME-7200", "QS01", "QA12.B07",
                     {{"firmware", {{"mode", "keep-revision"}}},
                      {"faults", {{{"on", "identify"}, {"index", 2}, {"kind", "timeout"}}}}})},
         {"-f", "IMG", "-d", "/dev/sg0", "--verify"},
         "Revision of /dev/sg0: .B07 -> .B07\nDownload FAILED\n2",
         "download unchanged null | GOOD "},
        // A SCSI vendor that begins as ATA does is a SCSI drive: WRITE BUFFER, and INQUIRY.
        {{scsi_drive("/dev/sg0", "ATLAS", "NV-SAS10K", "N4R2", "NV03",
                     {{"wwn", "5000c500a1b2c3d4"}})},
         {"-f", "IMG", "-d", "/dev/sg0", "--verify"},
         rev + "N5R0\n" + "Download SUCCESSFUL\n0",
         "download updated" + wwn + "| UA GOOD "},
    };
    for (const auto &c : cases) {
        Bay bay = make_bay(c.drives);
        std::string image = make_image(bay.dir, "fw.img", "NV-SAS10K", "N5R0", 4096);
        std::vector<std::string> args = c.args;
        for (std::string &a : args) {
            a = a == "IMG" ? image : a;
        }
        if (c.recorded) {
            args.insert(args.end(), {"--record", bay.dir + "/run.jsonl"});
        }
        RunResult r = run_dl(bay, args);
        std::string out = body(r);
        size_t progress = out.find(" !\n");
        out = progress == std::string::npos ? out : out.substr(progress + 3);
        EXPECT_EQ(out + r.err + std::to_string(r.status), c.run) << c.run;
        std::string seen;
        for (const std::string &line : file_lines(bay.dir + "/run.jsonl")) {
            nlohmann::json j = nlohmann::json::parse(line);
            for (const char *key : {"decision", "outcome", "wwn"}) {
                if (j["record"] == "device") {
                    seen += (j[key].is_null() ? "null" : j[key].get<std::string>()) + " ";
                }
            }
        }
        seen += "| ";
        for (const TraceEntry &e : read_trace(bay)) {
            std::string a = !e.error.empty()                       ? e.error
                            : e.host_status != 0                   ? "HOST"
                            : e.sense.compare(0, 6, "700002") == 0 ? "NR"
                            : e.sense.compare(0, 6, "700006") == 0 ? "UA"
                                                                   : "GOOD";
            if (e.direction == "to_dev") {
                seen.erase(seen.find("| ") + 2);
            } else if (e.cdb == "000000000000" && (a != "NR" || !seen.ends_with("NR "))) {
                seen += a + " ";
            }
        }
        EXPECT_EQ(seen, c.record) << c.run;
    }
}

} // namespace
