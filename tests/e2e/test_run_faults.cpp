// The fault matrix of the download: a five-segment download by WRITE BUFFER 07h and by
// DOWNLOAD MICROCODE 03h, each fault kind the bay injects, at each command. Every case must
// fail, exit 2, and send nothing after the faulted command. Then the answers of the real
// stack that a sender must not take for success: an aborted ATA download in each sense
// layout, ATA PASS-THROUGH to a SCSI drive, and a time-out.
#include "scene.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

const std::string k_scsi_product = "NV-SAS10K";
const std::string k_sata_model = "QSTOR ACME-7200";
constexpr size_t k_segment = 32768;
constexpr size_t k_segments = 5;

enum Method { WRITE_BUFFER, DOWNLOAD_MICROCODE };

// The five commands of a 5 x 32 KiB image with -s 64.
const std::vector<std::string> k_write_buffer_cdbs = {
    "3B 07 00 00 00 00 00 80 00 00", "3B 07 00 00 80 00 00 80 00 00",
    "3B 07 00 01 00 00 00 80 00 00", "3B 07 00 01 80 00 00 80 00 00",
    "3B 07 00 02 00 00 00 80 00 00",
};
const std::vector<std::string> k_download_microcode_cdbs = {
    "A1 0A 26 03 40 00 00 00 00 92 00 00", "A1 0A 26 03 40 00 40 00 00 92 00 00",
    "A1 0A 26 03 40 00 80 00 00 92 00 00", "A1 0A 26 03 40 00 C0 00 00 92 00 00",
    "A1 0A 26 03 40 00 00 01 00 92 00 00",
};

const std::string k_no_registers =
    "no ATA status returned; the device may not support ATA PASS-THROUGH";

struct FaultKind {
    const char *name;
    nlohmann::json fault; // the fault's members besides "on" and "index"
    // The reason line each sender writes before its failure output ("" for none: the
    // failure is one the transport result, the sense key or the ATA Error shows).
    std::string write_buffer_reason;
    std::string download_microcode_reason;
    std::string errno_text; // of the perror lines
    bool transport_failed;  // send_io reported the failed ioctl itself
    bool aborted;           // the drive's registers come back: Error 04h, Status 41h
};

const std::vector<FaultKind> k_kinds = {
    {"errno_EIO", R"({"kind": "errno", "errno": "EIO"})"_json, "", "", "Input/output error", true,
     false},
    // WRITE BUFFER fails by its sense key; the SATA drive's fixed sense brings no ATA
    // registers, so neither does DOWNLOAD MICROCODE pass on a RECOVERED ERROR.
    {"check_RECOVERED_ERROR", R"({"kind": "check", "key": 1, "asc": "0x17", "ascq": 1})"_json, "",
     k_no_registers, "Success", false, false},
    {"check_UNIT_ATTENTION", R"({"kind": "check", "key": 6, "asc": "0x29", "ascq": 0})"_json, "",
     "sense key 0x6 (UNIT ATTENTION), ASC 0x29 ASCQ 0x0", "Success", false, false},
    {"abort", R"({"kind": "abort"})"_json, "", "", "Success", false, true},
    {"timeout", R"({"kind": "timeout"})"_json, "command timed out", "command timed out", "Success",
     false, false},
    {"busy", R"({"kind": "busy"})"_json, "SCSI status 0x4 (BUSY)", "SCSI status 0x4 (BUSY)",
     "Success", false, false},
    {"no_data", R"({"kind": "no_data"})"_json,
     "32768 of the command's 32768 bytes were not transferred", k_no_registers, "Success", false,
     false},
    {"no_passthrough", R"({"kind": "no_passthrough"})"_json, "", k_no_registers, "Success", false,
     false},
    {"vanish", R"({"kind": "vanish"})"_json, "", "", "No such device", true, false},
};

Bay five_segment_bay(Method method, const nlohmann::json &faults) {
    nlohmann::json extra = nlohmann::json::object();
    if (!faults.empty()) {
        extra["faults"] = faults;
    }
    if (method == WRITE_BUFFER) {
        return make_bay(
            {scsi_drive("/dev/sg0", "NORTHVL", k_scsi_product, "N4R2", "NV0000777123", extra)});
    }
    return make_bay({sata_drive("/dev/sg0", k_sata_model, "QS7X0042Z9", "QA12.B07", extra)});
}

std::string five_segment_image(Method method, const Bay &bay) {
    return method == WRITE_BUFFER
               ? make_image(bay.dir, "fw.img", k_scsi_product, "N5R0", k_segments * k_segment)
               : make_image(bay.dir, "fw.img", k_sata_model, "QA13.B00", k_segments * k_segment);
}

const char *old_revision(Method method) {
    return method == WRITE_BUFFER ? "N4R2" : "QA12.B07";
}

std::string method_name(Method method) {
    return method == WRITE_BUFFER ? "WriteBuffer" : "DownloadMicrocode";
}

using MatrixParam = std::tuple<Method, size_t, size_t>; // method, kind, command index

class DownloadFaultMatrix : public ::testing::TestWithParam<MatrixParam> {};

TEST_P(DownloadFaultMatrix, FailsAndSendsNothingAfterTheFault) {
    auto [method, kind_index, at] = GetParam();
    const FaultKind &kind = k_kinds[kind_index];
    const char *on = method == WRITE_BUFFER ? "write_buffer" : "download";
    nlohmann::json fault = {{"on", on}, {"index", at}};
    fault.update(kind.fault);
    Bay bay = five_segment_bay(method, nlohmann::json::array({fault}));
    std::string image = five_segment_image(method, bay);
    RunResult r = run_dl(bay, {"-s", "64", "-f", image, "-d", "/dev/sg0"});

    std::string marks;
    for (size_t i = 1; i < at; ++i) {
        marks += " . ";
    }
    std::string tail = " !";
    std::string reason = kind.write_buffer_reason;
    if (method == DOWNLOAD_MICROCODE) {
        // The registers shown are the latest the drive returned: the faulted command's when
        // it brought any, else those of the command before it, else none yet.
        std::string regs = kind.aborted ? "Err 0x4, Dev 0x0, Status 0x41"
                           : at == 1    ? "Err 0x0, Dev 0x0, Status 0x0"
                                        : "Err 0x0, Dev 0x0, Status 0x50";
        tail = "\nATA Ret: " + regs + "\n !";
        reason = kind.download_microcode_reason;
    }
    EXPECT_EQ(body(r), "Downloading file " + image + " to /dev/sg0\n" + marks + tail +
                           "\nFW Download FAILED\n");
    std::string err;
    if (kind.transport_failed) {
        err += "send_io: " + kind.errno_text + "\n";
    }
    if (!reason.empty()) {
        err += (method == WRITE_BUFFER ? "send_write_buffer: " : "send_ata_passthrough: ") +
               reason + "\n";
    }
    err += "send_io: " + kind.errno_text + "\n";
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out.find("Download SUCCESSFUL"), std::string::npos);

    // The data-out commands stop at the faulted one, and it is the last command of all.
    const std::vector<std::string> &plan =
        method == WRITE_BUFFER ? k_write_buffer_cdbs : k_download_microcode_cdbs;
    std::vector<TraceEntry> trace = read_trace(bay);
    std::vector<TraceEntry> sent = data_out_entries(trace);
    ASSERT_EQ(sent.size(), at);
    for (size_t i = 0; i < at; ++i) {
        EXPECT_EQ(sent[i].cdb, cdb_hex(plan[i])) << "command " << i + 1;
        EXPECT_EQ(sent[i].length, static_cast<long>(k_segment)) << "command " << i + 1;
    }
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.back().cdb, cdb_hex(plan[at - 1]));
    EXPECT_EQ(bay_drive_member(bay, "/dev/sg0", "revision"), old_revision(method));
}

INSTANTIATE_TEST_SUITE_P(Run, DownloadFaultMatrix,
                         ::testing::Combine(::testing::Values(WRITE_BUFFER, DOWNLOAD_MICROCODE),
                                            ::testing::Range(size_t{0}, k_kinds.size()),
                                            ::testing::Range(size_t{1}, k_segments + 1)),
                         [](const ::testing::TestParamInfo<MatrixParam> &info) {
                             return method_name(std::get<0>(info.param)) + "_" +
                                    k_kinds[std::get<1>(info.param)].name + "_at_" +
                                    std::to_string(std::get<2>(info.param));
                         });

// Without a fault the same download completes, so every failure above is the fault's.
TEST(DownloadFaultMatrixBaseline, CompletesWithoutAFault) {
    for (Method method : {WRITE_BUFFER, DOWNLOAD_MICROCODE}) {
        Bay bay = five_segment_bay(method, nlohmann::json::array());
        std::string image = five_segment_image(method, bay);
        RunResult r = run_dl(bay, {"-s", "64", "-f", image, "-d", "/dev/sg0"});
        EXPECT_EQ(body(r), "Downloading file " + image +
                               " to /dev/sg0\n .  .  .  .  .  !\nDownload SUCCESSFUL\n")
            << method_name(method);
        EXPECT_EQ(r.status, 0) << method_name(method);
        EXPECT_EQ(data_out_entries(read_trace(bay)).size(), k_segments) << method_name(method);
        EXPECT_NE(bay_drive_member(bay, "/dev/sg0", "revision"), old_revision(method))
            << method_name(method);
    }
}

struct RealStackCase {
    const char *what;
    nlohmann::json bay_extra;
    nlohmann::json drive;
    bool sata_image; // an image for the SATA model (else the SCSI product)
    std::vector<std::string> args;
    std::string out; // after the "Downloading" line
    std::string err;
};

// Answers the kernel really gives, with no injected fault except the time-out: a drive that
// refuses an image for another model aborts DOWNLOAD MICROCODE (in each layout of the ATA
// error sense), a SCSI drive refuses ATA PASS-THROUGH, and a command times out.
TEST(RealStackAnswers, MustFail) {
    const nlohmann::json sata = sata_drive("/dev/sg0", "OTHER MODEL", "S1", "OT01.A00");
    const nlohmann::json scsi = scsi_drive("/dev/sg0", "NORTHVL", "NV-SAS10K", "N4R2", "NV1");
    const std::string aborted =
        "\nATA Ret: Err 0x4, Dev 0x0, Status 0x41\n !\nFW Download FAILED\n";
    const std::vector<RealStackCase> cases = {
        {"aborted, linux-6.1 layout", {}, sata, true, {"-s", "64"}, aborted, "send_io: Success\n"},
        {"aborted, sat layout",
         R"({"ata_error_sense": "sat"})"_json,
         sata,
         true,
         {"-s", "64"},
         aborted,
         "send_io: Success\n"},
        {"aborted, descriptor layout",
         R"({"ata_error_sense": "descriptor"})"_json,
         sata,
         true,
         {},
         aborted,
         "send_io: Success\n"},
        {"aborted with status 51h",
         {},
         sata_drive("/dev/sg0", "OTHER MODEL", "S1", "OT01.A00",
                    R"({"abort_status": "0x51"})"_json),
         true,
         {"-s", "64"},
         "\nATA Ret: Err 0x4, Dev 0x0, Status 0x51\n !\nFW Download FAILED\n",
         "send_io: Success\n"},
        {"ATA PASS-THROUGH to a SCSI drive",
         {},
         scsi,
         false,
         {"-p", "-s", "64"},
         "WARNING: Option forces ATA PASSTHROUGH method on a non ATA drive\nForce ata "
         "passthrough\n\nATA Ret: Err 0x0, Dev 0x0, Status 0x0\n !\nFW Download FAILED\n",
         "send_ata_passthrough: " + k_no_registers + "\nsend_io: Success\n"},
        {"WRITE BUFFER times out",
         {},
         scsi_drive("/dev/sg0", "NORTHVL", "NV-SAS10K", "N4R2", "NV1",
                    R"({"faults": [{"on": "write_buffer", "kind": "timeout"}]})"_json),
         false,
         {},
         " !\nFW Download FAILED\n",
         "send_write_buffer: command timed out\nsend_io: Success\n"},
        {"DOWNLOAD MICROCODE times out",
         {},
         sata_drive("/dev/sg0", k_sata_model, "S1", "QA12.B07",
                    R"({"faults": [{"on": "download", "kind": "timeout"}]})"_json),
         true,
         {},
         "\nATA Ret: Err 0x0, Dev 0x0, Status 0x0\n !\nFW Download FAILED\n",
         "send_ata_passthrough: command timed out\nsend_io: Success\n"},
    };
    for (const auto &c : cases) {
        Bay bay = make_bay({c.drive}, c.bay_extra);
        std::string image = c.sata_image
                                ? make_image(bay.dir, "fw.img", k_sata_model, "QA13.B00", 65536)
                                : make_image(bay.dir, "fw.img", "OTHER", "N5R0", 65536);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-f", image, "-d", "/dev/sg0"});
        RunResult r = run_dl(bay, args);
        EXPECT_EQ(body(r), "Downloading file " + image + " to /dev/sg0\n" + c.out) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        EXPECT_EQ(r.status, 2) << c.what;
        std::vector<TraceEntry> sent = data_out_entries(read_trace(bay));
        EXPECT_EQ(sent.size(), 1u) << c.what;
        for (const TraceEntry &e : sent) {
            EXPECT_EQ(e.timeout, 120000) << c.what;
        }
        // Again, with the bay's lock directory made: what the interposer does for a call
        // leaves no errno behind, so the system error text is the same.
        EXPECT_EQ(run_dl(bay, args).err, c.err) << c.what << ", again";
    }
}

} // namespace
