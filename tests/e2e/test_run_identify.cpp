// The identification run of dl_cor_fw under the simulated bay: the listing's exact lines,
// the scan order of /dev, the firmware requests a drive answers, drives that transfer
// nothing, the identification failures that end the run, and a bay made from a listing.
#include "scene.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// The listing of the mixed bay (tests/data/bays/mixed.json), one line per drive, with the
// firmware column as the INQUIRY revision gives it and as the full firmware revision does.
const std::string k_sg0_inq =
    "ATA       /dev/sg0 MN: QSTOR ACME-7200 SATA HYBRID SN: QS7X0042 FW: ";
const std::string k_sg1 = "NORTHVL   /dev/sg1 MN: NV-SAS10K            SN: NV000077 FW: N4R2\n";
const std::string k_sg10_inq = "ATA       /dev/sg10 MN: HALCYON HD-4000      SN: HC4K0001 FW: ";
const std::string k_sg2 = "Linux     /dev/sg2 MN: scsi_debug           SN: 16000    FW: 0191\n";
const std::string k_sg3_inq = "ATA       /dev/sg3 MN: MERIDIAN MX500       SN: MX5-0001 FW: ";

// INQUIRY revision: the last four characters of the eight-character IDENTIFY revision.
const std::string k_listing_revision =
    k_sg0_inq + ".B07\n" + k_sg1 + k_sg10_inq + ".003\n" + k_sg2 + k_sg3_inq + "0101\n";
// Full firmware revision: the dotted answer's first four fields and its suffix (sg0), the
// plain answer's text (sg10), the IDENTIFY revision of a drive that ignores both (sg3).
const std::string k_listing_full = k_sg0_inq + "QA12.B07.0042.77.R7\n" + k_sg1 + k_sg10_inq +
                                   "HD40.003-PLAIN\n" + k_sg2 + k_sg3_inq + "MX5R0101\n";

struct ListingCase {
    const char *what;
    std::vector<std::string> args;
    std::string out;
};

TEST(RunIdentify, ListingOfTheMixedBay) {
    const std::vector<ListingCase> cases = {
        {"-i", {"-i"}, k_listing_revision},
        {"--enum", {"--enum"}, k_listing_revision},
        {"--enump without --tmc", {"--enump"}, k_listing_revision},
        {"--enump with another --tmc", {"--enump", "--tmc", "31846"}, k_listing_revision},
        {"--enump --tmc 31847", {"--enump", "--tmc", "31847"}, k_listing_full},
        {"-i --tmc 31847", {"-i", "--tmc", "31847"}, k_listing_revision},
        {"-d in the order given",
         {"-i", "-d", "/dev/sg2", "-d", "/dev/sg0"},
         k_sg2 + k_sg0_inq + ".B07\n"},
    };
    for (const auto &c : cases) {
        Bay bay = copy_mixed_fixture();
        RunResult r = run_dl(bay, c.args);
        EXPECT_EQ(body(r), c.out) << c.what;
        EXPECT_EQ(r.err, "") << c.what;
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_TRUE(data_out_entries(read_trace(bay)).empty()) << c.what << ": data was sent";
    }
}

// The commands of the identification, node by node, in the order of the scan of /dev.
TEST(RunIdentify, TraceOfTheIdentificationCommands) {
    Bay bay = copy_mixed_fixture();
    RunResult r = run_dl(bay, {"-i"});
    ASSERT_EQ(r.status, 0) << r.err;

    const std::string inquiry = cdb_hex("12 00 00 00 60 00");
    const std::string vpd80 = cdb_hex("12 01 80 00 60 00");
    const std::string identify = cdb_hex("A1 08 2A 00 01 00 00 00 40 EC 00 00");
    const std::string dotted = cdb_hex("A1 08 2A 0B 01 DB 97 20 40 EC 00 00");
    const std::string plain = cdb_hex("A1 08 2A 00 01 DB 97 20 40 EC 00 00");
    // Page 83h names each drive of a run over several devices, after its identification.
    const std::string vpd83 = cdb_hex("12 01 83 00 FC 00");
    struct Expected {
        std::string node;
        std::string cdb;
        long length;
    };
    const std::vector<Expected> expected = {
        {"/dev/sg0", inquiry, 96},    {"/dev/sg0", vpd80, 96},   {"/dev/sg0", identify, 512},
        {"/dev/sg0", identify, 512},  {"/dev/sg0", dotted, 512}, {"/dev/sg0", vpd83, 252},
        {"/dev/sg1", inquiry, 96},    {"/dev/sg1", vpd80, 96},   {"/dev/sg1", vpd83, 252},
        {"/dev/sg10", inquiry, 96},   {"/dev/sg10", vpd80, 96},  {"/dev/sg10", identify, 512},
        {"/dev/sg10", identify, 512}, {"/dev/sg10", plain, 512}, {"/dev/sg10", vpd83, 252},
        {"/dev/sg2", inquiry, 96},    {"/dev/sg2", vpd80, 96},   {"/dev/sg2", vpd83, 252},
        {"/dev/sg3", inquiry, 96},    {"/dev/sg3", vpd80, 96},   {"/dev/sg3", identify, 512},
        {"/dev/sg3", identify, 512},  {"/dev/sg3", plain, 512},  {"/dev/sg3", vpd83, 252},
    };
    std::vector<TraceEntry> trace = read_trace(bay);
    ASSERT_EQ(trace.size(), expected.size());
    for (size_t i = 0; i < trace.size(); ++i) {
        EXPECT_EQ(trace[i].node, expected[i].node) << "command " << i + 1;
        EXPECT_EQ(trace[i].cdb, expected[i].cdb) << "command " << i + 1;
        EXPECT_EQ(trace[i].direction, "from_dev") << "command " << i + 1;
        EXPECT_EQ(trace[i].length, expected[i].length) << "command " << i + 1;
        EXPECT_EQ(trace[i].timeout, 5000) << "command " << i + 1;
    }
}

// Drives whose identification answers carry no data: the transport succeeded, so the empty
// texts stand and the INQUIRY values do not replace them. A drive whose IDENTIFY is refused
// (here by a SAT layer without ATA PASS-THROUGH) or cannot be issued at all falls back to the
// INQUIRY product (cut at its first blank) and revision. A drive that refuses the plain
// firmware request is one that ignores it: the IDENTIFY revision stands. A drive without a
// serial number page is listed with a blank serial.
TEST(RunIdentify, DrivesThatTransferNothingOrRefuse) {
    Bay bay = make_bay({
        sata_drive("/dev/sg0", "QSTOR ACME-7200", "QS-1", "QA12.B07",
                   R"({"fwreq": "dotted", "faults": [{"on": "ata", "kind": "no_data"}]})"_json),
        sata_drive("/dev/sg1", "HALCYON HD-4000", "HC-1", "HD40.003",
                   R"({"ata_passthrough": false})"_json),
        sata_drive("/dev/sg2", "MERIDIAN MX500", "MX-1", "MX5R0101",
                   R"({"faults": [{"on": "ata", "kind": "errno", "errno": "EIO"}]})"_json),
        sata_drive("/dev/sg3", "TORVEX T9", "TV-1", "TV1",
                   R"({"fwreq": "plain", "fwreq_text": "PLAIN-{rev}",
                       "faults": [{"on": "fwreq", "kind": "abort"}]})"_json),
        scsi_drive("/dev/sg4", "NORTHVL", "NV-SAS10K", "N4R2", "NV0000777123",
                   R"({"faults": [{"on": "vpd", "kind": "check", "key": 5, "asc": 36}]})"_json),
        // Escape sequences and a line feed in the drive's strings reach no terminal; tab,
        // vertical tab, form feed and carriage return stay for the listing's readers.
        sata_drive("/dev/sg5", "EVIL\x1b[2J\nDRIVE\t\v\f\rX\x7f", "EV-1", "E1\x1b[K\x07Z"),
    });
    RunResult r = run_dl(bay, {"--enump", "--tmc", "31847"});
    EXPECT_EQ(body(r),
              "ATA       /dev/sg0 MN:                      SN: QS-1     FW: \n"
              "ATA       /dev/sg1 MN: HALCYON              SN: HC-1     FW: .003\n"
              "ATA       /dev/sg2 MN: MERIDIAN             SN: MX-1     FW: 0101\n"
              "ATA       /dev/sg3 MN: TORVEX T9            SN: TV-1     FW: TV1\n"
              "NORTHVL   /dev/sg4 MN: NV-SAS10K            SN:          FW: N4R2\n"
              "ATA       /dev/sg5 MN: EVIL?[2J?DRIVE\t\v\f\rX? SN: EV-1     FW: E1?[K?Z\n");
    EXPECT_EQ(r.err, "send_io: Input/output error\nsend_io: Input/output error\n");
    EXPECT_EQ(r.status, 0);
}

struct FailureCase {
    const char *what;
    nlohmann::json sg1_faults;
    std::string out_after_sg0;
    std::string err;
    size_t sg1_commands; // commands the second drive sees, the failed one last
    // Not empty: the run is made again with both streams in one pipe, and this is what the
    // pipe holds after the first drive's line (each report after the output before it).
    std::string one_pipe = {};
};

const std::string k_inq_failed = "Sending INQUIRY command to /dev/sg1 Failed\n";
const std::string k_vpd_failed = "Sending INQUIRY VPD 0x80 command to /dev/sg1 Failed\n";
const std::string k_open_failed = "Error: Could not open handle to /dev/sg1\n";
const std::string k_version_failed = "get_sg_fd: SG_GET_VERSION_NUM on /dev/sg1 failed \n";
const std::string k_version_err = "SG_GET_VERSION_NUM: Protocol not supported\n";

// The second of three drives fails to open or to answer INQUIRY: the first is listed, the
// run ends with status 3 at the second, nothing more is sent to it, and the third is never
// touched. An INQUIRY that brought no usable answer is a failure as much as one the
// transport could not issue.
TEST(RunIdentify, IdentificationFailuresEndTheRun) {
    const std::vector<FailureCase> cases = {
        {"open refused", R"([{"on": "open", "kind": "errno", "errno": "EACCES"}])"_json,
         "Error: Could not open handle to /dev/sg1\n", "get_sg_fd: Permission denied\n", 0},
        {"node gone at open", R"([{"on": "open", "kind": "vanish"}])"_json,
         "Error: Could not open handle to /dev/sg1\n", "get_sg_fd: No such device\n", 0},
        {"sg driver too old", R"([{"on": "version", "kind": "version", "value": 29999}])"_json,
         k_version_failed + k_open_failed, k_version_err, 0,
         k_version_failed + k_version_err + k_open_failed},
        {"standard INQUIRY fails", R"([{"on": "inquiry", "kind": "errno", "errno": "EIO"}])"_json,
         k_inq_failed, "send_io: Input/output error\n", 1,
         "send_io: Input/output error\n" + k_inq_failed},
        {"drive gone at INQUIRY", R"([{"on": "inquiry", "kind": "vanish"}])"_json, k_inq_failed,
         "send_io: No such device\n", 1},
        {"serial number page fails", R"([{"on": "vpd", "kind": "errno", "errno": "EIO"}])"_json,
         k_vpd_failed, "send_io: Input/output error\n", 2},
        {"standard INQUIRY times out", R"([{"on": "inquiry", "kind": "timeout"}])"_json,
         k_inq_failed, "", 1},
        {"standard INQUIRY busy", R"([{"on": "inquiry", "kind": "busy"}])"_json, k_inq_failed, "",
         1},
        {"standard INQUIRY refused", R"([{"on": "inquiry", "kind": "check", "key": 2}])"_json,
         k_inq_failed, "", 1},
        {"standard INQUIRY without data", R"([{"on": "inquiry", "kind": "no_data"}])"_json,
         k_inq_failed, "", 1},
        {"serial number page times out", R"([{"on": "vpd", "kind": "timeout"}])"_json, k_vpd_failed,
         "", 2},
        {"serial number page busy", R"([{"on": "vpd", "kind": "busy"}])"_json, k_vpd_failed, "", 2},
    };
    for (const auto &c : cases) {
        Bay bay = make_bay({
            scsi_drive("/dev/sg0", "NORTHVL", "NV-SAS10K", "N4R2", "NV0000777123"),
            scsi_drive("/dev/sg1", "Linux", "scsi_debug", "0191", "16000",
                       {{"faults", c.sg1_faults}}),
            scsi_drive("/dev/sg2", "Linux", "scsi_debug", "0191", "16001"),
        });
        RunResult r = run_dl(bay, {"-i"});
        EXPECT_EQ(body(r), "NORTHVL   /dev/sg0 MN: NV-SAS10K            SN: NV000077 FW: N4R2\n" +
                               c.out_after_sg0)
            << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        EXPECT_EQ(r.status, 3) << c.what;
        size_t sg1_commands = 0;
        for (const TraceEntry &e : read_trace(bay)) {
            EXPECT_NE(e.node, "/dev/sg2") << c.what << ": the drive after the failure was used";
            sg1_commands += e.node == "/dev/sg1" ? 1 : 0;
        }
        EXPECT_EQ(sg1_commands, c.sg1_commands) << c.what;
        if (!c.one_pipe.empty()) {
            RunResult m = run_dl(bay, {"-i"}, true);
            EXPECT_EQ(body(m), "NORTHVL   /dev/sg0 MN: NV-SAS10K            SN: NV000077 FW: "
                               "N4R2\n" +
                                   c.one_pipe)
                << c.what << " (one pipe)";
        }
    }
}

TEST(RunIdentify, EmptyBayPrintsTheBannerOnly) {
    Bay bay = make_bay({});
    RunResult r = run_dl(bay, {"-i"});
    EXPECT_EQ(mask_time(r.out), k_banner + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

#ifdef CFS_TOOL_PATH
// A bay made by sgsim bay from a listing lists as the listed drives did, line for line: a SCSI
// drive (a product cut at its blank, a revision ending in a blank), SATA drives that ignore the
// firmware requests or answer the plain or the dotted one, blanks inside model numbers, and
// ATA drives whose revision could not be read. With -i alone too, since these drives'
// IDENTIFY revisions open their full ones. The drives take any image and move to the literal
// new revision their CFS entry names, else to one marked as rehearsed. A listing that its run
// cut short makes no bay.
TEST(RunIdentify, BayMadeFromAListingListsTheSame) {
    Bay original = make_bay({
        sata_drive("/dev/sg0", "QSTOR ACME-7200 SATA HYBRID", "   QS7X0042Z9", "QA12.B07",
                   R"({"fwreq": "dotted", "fwreq_text": "{rev}.0042.77.X9",
                       "fwreq_suffix": "R7"})"_json),
        scsi_drive("/dev/sg1", "NORTHVL", "NV-SAS10K CX", "1.0 ", "NV0000777123"),
        sata_drive("/dev/sg2", "HALCYON  HD-4000", "HC4K00017", "HD40.003",
                   R"({"fwreq": "plain", "fwreq_text": "{rev}-PLAIN"})"_json),
        sata_drive("/dev/sg3", "MERIDIAN MX500", "MX5-0001", "MX5R0101"),
        sata_drive("/dev/sg4", "TORVEX T9", "TV-1", "TV1 n/a ", {{"ata_passthrough", false}}),
        sata_drive(
            "/dev/sg5", "TORVEX T9 SERIES", "TV-2", "TV1 n/a ",
            R"({"faults": [{"on": "identify", "index": 2, "kind": "no_passthrough"}]})"_json),
    });
    const std::vector<std::string> full = {"-i", "--enump", "--tmc", "31847"};
    RunResult listing = run_dl(original, full);
    ASSERT_EQ(listing.status, 0) << listing.err;
    std::string dir = make_temp_dir(), image = make_bytes(dir, "fw.bin", 4096);
    write_file(dir + "/map.txt", "MERIDIAN MX500;MX5R0101;" + image + ";MX5R0202\n" +
                                     "HALCYON  HD-4000;*;" + image + ";HD40.005-PLAIN\n" +
                                     "QSTOR*;*;" + image + ";QA13.*\n");
    ASSERT_EQ(run_command({CFS_TOOL_PATH, "pack", dir + "/map.txt", dir + "/map.cfs"}).status, 0);
    RunResult made_run;
    Bay made = bay_from_listing(listing.out, {"--cfs", dir + "/map.cfs"}, &made_run);
    ASSERT_EQ(made_run.status, 0) << made_run.err;
    for (const std::vector<std::string> &args : {full, std::vector<std::string>{"-i"}}) {
        EXPECT_EQ(body(run_dl(made, args)), body(run_dl(original, args))) << args.size();
    }
    RunResult rollout = run_dl(made, {"-c", dir + "/map.cfs"});
    EXPECT_EQ(rollout.status, 0) << rollout.out;
    EXPECT_EQ(bay_drive_member(made, "/dev/sg0", "revision"), "QA12.B0~");
    EXPECT_EQ(bay_drive_member(made, "/dev/sg2", "revision"), "HD40.005");
    EXPECT_EQ(bay_drive_member(made, "/dev/sg3", "revision"), "MX5R0202");

    RunResult cut;
    Bay none =
        bay_from_listing(listing.out + "Error: Could not open handle to /dev/sg6\n", {}, &cut);
    EXPECT_EQ(cut.status, 10);
    EXPECT_EQ(cut.err,
              "sgsim bay: standard input:" +
                  std::to_string(std::count(listing.out.begin(), listing.out.end(), '\n') + 1) +
                  ": listing cut short at /dev/sg6: the drives after it are not listed, "
                  "so no bay is made\n");
    EXPECT_FALSE(std::filesystem::exists(none.path));
}
#endif

} // namespace
