// The scene of the end-to-end tests: the simulated bays they run in (bay files in fresh
// directories, the mixed bay of tests/data/bays), the runs of dl_cor_fw and sgsim under them,
// the banner, images and the trace.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "harness.h"

// The banner every run prints first, with its clock line masked as mask_time masks it.
extern const std::string k_banner;

// One start of dl_cor_fw without a bay: its arguments and the whole of what it must print.
struct CliCase {
    const char *what;
    std::vector<std::string> args;
    std::string out; // with masked time, between before and after (run_cli_cases)
    std::string err;
    int status;
};

// Runs the built dl_cor_fw once for each case; every expected output is before + out + after.
void run_cli_cases(const std::vector<CliCase> &cases, const std::string &before = "",
                   const std::string &after = "");

// A bay file in a fresh directory, with its trace beside it.
struct Bay {
    std::string dir;
    std::string path;
    std::string trace;
};

// Writes a bay of the given drive records to a fresh directory, tracing to trace.jsonl there.
// bay_extra holds further top-level members, e.g. R"({"ata_error_sense": "sat"})"_json.
Bay make_bay(const std::vector<nlohmann::json> &drives,
             const nlohmann::json &bay_extra = nlohmann::json::object());

// A copy of tests/data/bays/mixed.json in a fresh directory, tracing to mixed.trace there;
// the written-back state stays out of the source tree.
Bay copy_mixed_fixture();

// A SATA drive record; extra holds further members (faults, options), e.g.
// R"({"fwreq": "dotted"})"_json, and wins over the members given here.
nlohmann::json sata_drive(const std::string &node, const std::string &model,
                          const std::string &serial, const std::string &revision,
                          const nlohmann::json &extra = nlohmann::json::object());

// A SCSI drive record; extra as above.
nlohmann::json scsi_drive(const std::string &node, const std::string &vendor,
                          const std::string &product, const std::string &revision,
                          const std::string &serial,
                          const nlohmann::json &extra = nlohmann::json::object());

// Makes a bay with `sgsim bay - -o PATH ARGS` from the listing text (on its standard input) in
// a fresh directory; the run of sgsim bay goes to *run.
Bay bay_from_listing(const std::string &listing, const std::vector<std::string> &args,
                     RunResult *run);

// Runs the built dl_cor_fw with args under the bay. With one_pipe, standard error goes into
// the pipe of standard output (in r.out), so the order of the two streams shows.
RunResult run_dl(const Bay &bay, const std::vector<std::string> &args, bool one_pipe = false);

// What a run printed after the banner, its final newline dropped. A run whose output does
// not begin with the banner gives "<no banner>" followed by the whole output, so that the
// comparison fails and shows it.
std::string body(const RunResult &r);

// Writes a simulated image (sgsim mkimage) of size bytes for model that moves it to
// revision; returns its path.
std::string make_image(const std::string &dir, const std::string &name, const std::string &model,
                       const std::string &revision, size_t size);

// Writes a file of size bytes of a repeating pattern; returns its path.
std::string make_bytes(const std::string &dir, const std::string &name, size_t size);

// One answered SG_IO command of the trace.
struct TraceEntry {
    std::string node;
    std::string cdb; // lower-case hex without blanks
    std::string direction;
    long length;
    long timeout;
    std::string sense;
    long host_status;
    std::string error; // the errno name when the ioctl failed, else empty
};

// Every command of the bay's trace (none when the trace does not exist); the system log lines
// in it are left to syslog_lines.
std::vector<TraceEntry> read_trace(const Bay &bay);

// The system log messages of the trace, in order, each as "user.notice dl_cor_fw: MESSAGE".
std::vector<std::string> syslog_lines(const Bay &bay);

// The entries of the trace that carried data to the device.
std::vector<TraceEntry> data_out_entries(const std::vector<TraceEntry> &trace);

// Space-separated hex bytes ("3B 07 00") as the trace writes them ("3b0700").
std::string cdb_hex(const std::string &spaced);

// The value of a top-level drive member of the bay file as it stands now, e.g. the
// written-back "revision" of /dev/sg0; empty when absent.
std::string bay_drive_member(const Bay &bay, const std::string &node, const std::string &key);

// The built sgsim command, or empty when the build has none.
std::string sgsim_path();

// The interposer beside it.
std::string sgsim_preload_path();

// True when Debian's sg3-utils are installed.
bool have_sg3_utils();

// Writes the bay text to a fresh temporary directory and returns the bay file's path.
std::string write_bay(const std::string &json);

// Runs argv with `sgsim run BAY --`, with extra NAME=VALUE environment entries and without a
// standard input.
RunResult under_bay(const std::string &bay, const std::vector<std::string> &argv,
                    const std::vector<std::string> &env = {});

// Runs `sgsim probe` with args under the bay.
RunResult probe(const std::string &bay, const std::vector<std::string> &args);

// The lines of a text file.
std::vector<std::string> file_lines(const std::string &path);

// A bay of five drives (sg0 dotted SATA, sg1 scsi-hd, sg10 plain SATA, sg2 scsi_debug,
// sg3 SATA that ignores the firmware requests), as text. sg0_extra holds further members of
// drive sg0's record (for faults or options), e.g. R"({"faults": [...]})"_json; bay_extra
// further top-level members.
std::string mixed_bay_json(const nlohmann::json &sg0_extra = nlohmann::json::object(),
                           const nlohmann::json &bay_extra = nlohmann::json::object());
