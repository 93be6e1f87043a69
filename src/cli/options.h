// The command line: the option scan into RunOptions, the checks of the option combination,
// the multiple-value warnings and the exit statuses.
#pragma once

#include "base/holders.h"
#include "download/methods.h"

#include <cstdint>
#include <vector>

// Exit statuses of the process.
inline constexpr int k_exit_ok = 0;
inline constexpr int k_exit_usage = 1;           // command line, configuration, list building
inline constexpr int k_exit_download_failed = 2; // an image failed to open or to download
inline constexpr int k_exit_invalid_device = 3;  // a device failed to open or to identify
// A stop signal N ends the run by killing the process; a shell reports 128 + N, and so does
// the run record.
inline constexpr int k_exit_signal_base = 128;

// RunOptions::list_mode flags.
inline constexpr uint8_t k_list_ident = 1;    // -i, --enum
inline constexpr uint8_t k_list_extended = 2; // --enump

// The --tmc code with which the extended listing shows the full firmware revision.
inline constexpr int32_t k_tmc_full_fw = 31847;

// --settle: the wait for a drive after new microcode, in whole seconds, and its bounds.
inline constexpr uint32_t k_settle_default_seconds = 60;
inline constexpr uint32_t k_settle_max_seconds = 3600;

// The parsed command line. Every text is a copy owned here; absent values are empty holders.
struct RunOptions {
    OwnedText cfs_path;                  // -c
    OwnedText fw_path;                   // -f
    OwnedText model_filter;              // -m, upper-cased
    std::vector<OwnedText> device_paths; // -d, in command-line order
    uint8_t list_mode = 0;               // k_list_ident | k_list_extended
    uint8_t segment_count = 0;           // -s, units of 512 bytes; 0 = not given
    bool force_write_buffer = false;     // -w
    bool force_ata_passthrough = false;  // -p
    int32_t tmc_code = 0;                // --tmc
    bool verify = false;                 // --verify: read the revision again after a download
    OwnedText record_path;               // --record: the run record (JSON Lines) to append to
    bool stage = false;     // --stage: send the image by 0Eh, checked first, activated later
    bool activate = false;  // --activate: activate what --stage left on the named drives
    bool preflight = false; // --preflight: say what the run would send, and send nothing
    bool only_idle = false; // --only-idle: refuse drives the host is using
    // --settle: how long a drive that has taken new microcode may take to answer again
    uint32_t settle_seconds = k_settle_default_seconds;
    bool cfs_repeated = false;
    bool fw_repeated = false;
    bool model_repeated = false;
    bool record_repeated = false;
    int segment_count_seen = 0;
    int tmc_seen = 0;
    int settle_seen = 0;
};

// Where the command line handling leaves the process.
struct ScanResult {
    bool exit_now;     // the process ends with status
    int status;        // meaningful when exit_now
    int operand_count; // arguments left that are neither options nor option values
};

// True when an option's value looks like an option itself: a long option name exactly
// after "--", or "-" and a character of the short-option string.
bool value_looks_like_option(const char *value);

// Scans argv with getopt_long into opts (which starts default). Prints the usage text, the
// banner (-v) or the reasons itself. Returns exit_now with the status (0 for -v, 1 for an
// error) or exit_now false with the count of operands. Never exits; may be called again.
ScanResult scan_options(int argc, char **argv, RunOptions *opts);

// Prints the banner and checks the option combination in its fixed order; drops fw_path when
// a CFS file is given. The combinations of --stage, --activate and --preflight are checked
// after all the others (an --activate run alone needs no image). Returns -1 when the run
// goes on, else the exit status (1).
int check_options(RunOptions *opts, int operand_count);

// Prints the multiple-value warnings for -c, -f, -m, -s, --tmc, --record and --settle, in
// that order.
void print_multiple_value_warnings(const RunOptions &opts);

// The download method that -w or -p forces (check_options refuses both together).
ForcedMethod forced_method(const RunOptions &opts);
