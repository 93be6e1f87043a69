// The run record that --record FILE appends to: one JSON object per line (JSON Lines) for every
// device a run touched, in the order the run took them, and a last line with the run's exit
// status (docs/record.schema.json). Also the audit message each download attempt leaves in the
// system log. The lines are built here, pure; the run writes them.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

// What the run decided for a device (the record's "decision").
enum RecordDecision : int {
    DECISION_LISTED,           // no image was asked for: a listing run
    DECISION_SKIPPED_BY_MODEL, // -m passed the drive over
    DECISION_PASSED_OVER,      // -c passed the drive over: not ATA, or its identity incomplete
    DECISION_NO_MATCH,         // -c: no entry of the CFS file matches the drive
    DECISION_UP_TO_DATE,       // -c: the drive is up to date
    DECISION_DOWNLOAD,         // an image was to be sent
    DECISION_NOT_IDENTIFIED,   // the device could not be opened or identified: the run ends
    DECISION_RUN_ENDED,        // the CFS file could not be used: the run ends at this device
    DECISION_ACTIVATE,         // --activate: staged microcode was to be activated
    DECISION_DUPLICATE,        // a drive the run processed already, at another path
};

// How a download or an activation ended (the record's "outcome"); only with
// DECISION_DOWNLOAD and DECISION_ACTIVATE.
enum RecordOutcome : int {
    OUTCOME_NONE,
    OUTCOME_UPDATED,    // the commands succeeded and the revision read again has changed
    OUTCOME_UNCHANGED,  // the commands succeeded, the revision read again has not changed
    OUTCOME_PENDING,    // unchanged, as expected of a drive that activates at the next reset
    OUTCOME_UNVERIFIED, // the commands succeeded; the revision was not (or could not be) read
    OUTCOME_FAILED,     // a download or activation command failed
    OUTCOME_REFUSED,    // nothing was sent: the image could not be opened, read or sent whole
    OUTCOME_LOST,       // the drive did not answer again within the bound after new microcode
};

// Everything the record says about one device. Optional members are null in the line.
struct DeviceRecord {
    std::string device;
    bool identified = false; // the identity members below hold what the run read
    std::string vendor;      // INQUIRY vendor, less the blanks after it
    std::string model;       // the full model number (the INQUIRY product for non-ATA drives)
    std::string serial;      // the whole serial number of page 80h, less the blanks around it
    std::optional<std::string> ata_serial; // the IDENTIFY serial number of an ATA drive
    std::optional<std::string> wwn;        // the NAA name of page 83h, when the run read one
    std::string revision_before;           // the revision the run identified the drive with
    bool identity_complete = false;
    int decision = DECISION_LISTED;
    // From here on, only for DECISION_DOWNLOAD (and, but for the image, DECISION_ACTIVATE).
    std::string image;
    int64_t image_size = -1;   // -1: not measured
    std::string image_sha256;  // empty: not read
    std::string method;        // empty: no method chosen
    uint32_t segment_size = 0; // 0: unsegmented
    uint32_t commands_sent = 0;
    uint64_t bytes_sent = 0;
    double seconds = 0;
    int outcome = OUTCOME_NONE;
    std::string reason; // what the drive or host answered, or why the run ended; may be empty
    std::optional<std::string> revision_after;
    // Why the host counts the drive as in use ("/dev/sdc1 mounted at /var"); empty when idle or
    // without a block device; absent when the host's view was not read (the run sent the drive
    // nothing beyond identification) or could not be read.
    std::optional<std::vector<std::string>> in_use;
};

// What every line of one run carries besides its own members.
struct RecordStamp {
    std::string host;
    std::string tool_version;
};

// The names the record gives decisions and outcomes ("skipped_by_model", "unverified" ...).
const char *decision_name(int decision);
const char *outcome_name(int outcome);

// True for the outcomes after which the run writes "Download SUCCESSFUL".
bool outcome_is_success(int outcome);

// "2026-12-08T01:07:04Z": t in UTC, ISO 8601.
std::string utc_timestamp(time_t t);

// The line (with its line end) of one device, written at time t.
std::string device_record_line(const RecordStamp &stamp, time_t t, const DeviceRecord &r);

// The last line of a run (with its line end): how many device lines came before it and the
// exit status the run returns.
std::string run_record_line(const RecordStamp &stamp, time_t t, int devices, int exit_status);

// The system log message of one download or activation attempt: "device=/dev/sg2 model=...
// outcome=updated", members in the record's order (wwn only when known), a value quoted (as a
// JSON string) when it holds a blank, a quote, a backslash, an equals sign or a byte outside
// printable ASCII; revisions and the digest only when known; reason only when there is one;
// no image for an activation; in_use (the reasons joined with "; ") only for a drive in use.
std::string audit_message(const DeviceRecord &r);

// Opens path for appending (created 0640 when missing). Returns the descriptor, or -1 with
// *why set (the system's error text, or "not a regular file": a device node, a FIFO or a
// directory is refused before it is opened, so that a line never reaches a drive).
int open_record_file(const char *path, std::string *why);

// Appends line with one write(2), holding an exclusive flock for it, so that lines of runs
// sharing the file never interleave. A file that does not end in a line end (a run died in
// the middle of a line) gets one first. A line that cannot be written whole (a full disk, a
// file size limit) is taken back: the file is cut to its length before it.
// Returns 0, or -1 with errno set (ENOSPC for a short write).
int append_record_line(int fd, const std::string &line);
