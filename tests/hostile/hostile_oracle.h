// The invariants of one dl_cor_fw run against the hostile drive, judged from what the drive
// answered (its trace) and what the run printed. The judgement of a download command is
// written here afresh from the rules, not taken from the program under test.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// One SG_IO command as the hostile drive's trace records it.
struct TracedCommand {
    std::vector<uint8_t> cdb;
    uint32_t length = 0;
    bool failed_ioctl = false; // the ioctl failed (errno); the words below are unset
    uint8_t masked_status = 0;
    uint16_t host_status = 0;
    uint16_t driver_status = 0;
    std::vector<uint8_t> sense; // the bytes the drive offered
    int sb_len_wr = 0;          // what the driver said it wrote
    int32_t resid = 0;
    bool has_crc = false;
    uint32_t crc32 = 0; // of the data-out
};

// Parses one trace line. Returns false when the line is not a trace line.
bool parse_traced_command(const std::string &line, TracedCommand &out);

// True when the trace line is a system log message that the interposer wrote, not a command.
bool is_traced_syslog(const std::string &line);

// The size of the sense area the program hands to the driver (its sense buffer).
inline constexpr size_t k_client_sense_len = 32;

// The sense bytes the client sees: the offered bytes copied into a cleared area of
// k_client_sense_len bytes, then the first min(sb_len_wr, area) of them.
std::vector<uint8_t> visible_sense(const TracedCommand &c);

// True for WRITE BUFFER and for DOWNLOAD MICROCODE in ATA PASS-THROUGH (12) or (16).
bool is_download_command(const TracedCommand &c);

// The verdict on one download command: true when every word says it succeeded.
bool download_command_succeeded(const TracedCommand &c);

// Where a download command's data lies in the image, from its CDB: byte offset and length.
// Returns false when the CDB does not say (not a download command).
bool download_piece(const TracedCommand &c, uint64_t &offset, uint64_t &length);

// How a run ended and what it printed.
struct RunOutcome {
    bool exited = false; // false: killed by a signal or stopped for taking too long
    int status = 0;      // exit status, or the signal number
    bool hung = false;
    std::string out, err;
};

// What the run was asked to do.
struct RunIntent {
    bool downloads = false; // -f or -c: downloads may be sent
    bool cfs = false;       // -c: a revision check may follow a complete download
};

// Checks every invariant. Returns the violations found, each a line of text; empty: clean.
std::vector<std::string> check_run(const RunIntent &intent, const RunOutcome &outcome,
                                   const std::vector<TracedCommand> &trace,
                                   std::span<const uint8_t> image);
