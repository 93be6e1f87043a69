// A drive followed by its name under the simulated bay: named twice (or at both ports) and
// processed once; NOT READY for a while after its image, off the bus for longer than
// --settle, back at its own node, at another node; an activation that leaves the revision.
// Each run's output, status, record lines and the answers to TEST UNIT READY after the image.
#include "scene.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char *const k_wwn = "5000c500a1b2c3d4";

nlohmann::json scsi(const std::string &node, const std::string &extra) {
    nlohmann::json x = nlohmann::json::parse(extra);
    x["wwn"] = k_wwn;
    return scsi_drive(node, "NORTHVL", "NV-SAS10K", "N4R2", "NV01", x);
}

// What TEST UNIT READY answered after the last data-out command: NR (NOT READY, repeats
// shown once), UA, GOOD, HOST (a host status: nothing connected), or the errno of a failed
// ioctl.
std::string readiness_after_image(const Bay &bay) {
    std::string seen;
    for (const TraceEntry &e : read_trace(bay)) {
        if (e.direction == "to_dev") {
            seen.clear();
        } else if (e.cdb == "000000000000") {
            std::string a = !e.error.empty()                       ? e.error
                            : e.host_status != 0                   ? "HOST"
                            : e.sense.compare(0, 6, "700002") == 0 ? "NR"
                            : e.sense.compare(0, 6, "700006") == 0 ? "UA"
                                                                   : "GOOD";
            if (a != "NR" || seen.size() < 3 || seen.compare(seen.size() - 3, 3, "NR ") != 0) {
                seen += a + " ";
            }
        }
    }
    return seen;
}

TEST(RunFollow, OneDriveWhateverItsNode) {
    const std::string rev = "Revision of /dev/sg0: N4R2 -> ";
    const struct {
        const char *what;
        std::vector<nlohmann::json> drives;
        std::vector<std::string> args; // IMG: the image
        std::string out;               // after the progress line (the activation: all of it)
        std::string err;
        int status;
        std::string records; // "decision outcome wwn" per device line
        std::string turs;    // readiness_after_image
    } cases[] = {
        {"one node named twice, and the other port of the same drive",
         {scsi("/dev/sg0", "{}"), scsi("/dev/sg1", "{}")},
         {"-f", "IMG", "-d", "/dev/sg0", "-d", "/dev/./sg0", "-d", "/dev/sg1"},
         "Download SUCCESSFUL\n",
         "/dev/./sg0: same drive as /dev/sg0; not processed again\n"
         "/dev/sg1: same drive as /dev/sg0; not processed again\n",
         0,
         "download unverified 5000c500a1b2c3d4 duplicate null 5000c500a1b2c3d4 duplicate null "
         "5000c500a1b2c3d4 ",
         ""},
        {"NOT READY for a while, then a power-on unit attention",
         {scsi("/dev/sg0", R"({"settle_ms": 400})")},
         {"-f", "IMG", "-d", "/dev/sg0", "--verify"},
         rev + "N5R0\nDownload SUCCESSFUL\n",
         "",
         0,
         "download updated 5000c500a1b2c3d4 ",
         "NR UA UA GOOD "},
        {"off the bus for longer than --settle",
         {scsi("/dev/sg0", R"({"vanish_ms": 5000})")},
         {"-f", "IMG", "-d", "/dev/sg0", "--verify", "--settle", "1"},
         rev + "unreadable\nDownload FAILED\n",
         "/dev/sg0: the drive did not answer within 1 s after the download\n",
         2,
         "download lost 5000c500a1b2c3d4 ",
         "HOST "},
        {"off the bus for a while, back at its node (no WWN: found by its serial)",
         {sata_drive("/dev/sg0", "QSTOR ACME-7200", "QS7X0042Z9", "QA12.B07",
                     R"({"vanish_ms": 300})"_json)},
         {"-f", "IMG", "-d", "/dev/sg0", "--verify"},
         "Revision of /dev/sg0: QA12.B07 -> QA13.B00\nDownload SUCCESSFUL\n",
         "",
         0,
         "download updated null ",
         "HOST GOOD "},
        {"back at another node",
         {scsi("/dev/sg1", R"({"moves_to": "/dev/sg9"})")},
         {"-f", "IMG", "-d", "/dev/sg1", "--verify"},
         "Revision of /dev/sg1 (now /dev/sg9): N4R2 -> N5R0\nDownload SUCCESSFUL\n",
         "",
         0,
         "download updated 5000c500a1b2c3d4 ",
         "19 UA GOOD "},
        {"0Fh answered GOOD, revision unchanged, whatever page 86h says",
         {scsi("/dev/sg0", R"({"firmware": {"staging": "ignored"},
                               "extended_inquiry": {"activate_microcode": 2}})")},
         {"--activate", "-d", "/dev/sg0"},
         "Activating the firmware staged on /dev/sg0\n" + rev + "N4R2\nActivation FAILED\n",
         "",
         2,
         "activate unchanged 5000c500a1b2c3d4 ",
         "GOOD GOOD "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Bay bay = make_bay(c.drives);
        bool sata = c.drives[0]["type"] == "sata";
        std::string image = make_image(bay.dir, "fw.img", sata ? "QSTOR ACME-7200" : "NV-SAS10K",
                                       sata ? "QA13.B00" : "N5R0", 4096);
        std::vector<std::string> args = c.args;
        for (std::string &a : args) {
            a = a == "IMG" ? image : a;
        }
        args.insert(args.end(), {"--record", bay.dir + "/run.jsonl"});
        RunResult r = run_dl(bay, args);
        std::string out = body(r);
        size_t progress = out.find(" !\n");
        EXPECT_EQ(progress == std::string::npos ? out : out.substr(progress + 3), c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, c.status);
        std::string records;
        for (const std::string &line : file_lines(bay.dir + "/run.jsonl")) {
            nlohmann::json j = nlohmann::json::parse(line);
            for (const char *key : {"decision", "outcome", "wwn"}) {
                if (j["record"] == "device") {
                    records += (j[key].is_null() ? "null" : j[key].get<std::string>()) + " ";
                }
            }
        }
        EXPECT_EQ(records, c.records);
        EXPECT_EQ(readiness_after_image(bay), c.turs);
    }
}

} // namespace
