// The run record file (--record FILE) and the system log: opening the record before the
// first device, one line per device, the last line with the exit status, and one syslog(3)
// line per download attempt.
#pragma once

#include "record/record.h"

#include <string>

// The open record of a run.
struct RunRecord {
    int fd = -1; // -1: the run keeps no record
    const char *path = nullptr;
    RecordStamp stamp;
    int devices = 0;     // device lines written
    bool failed = false; // a line could not be written: nothing more is written
    RunRecord() = default;
    RunRecord(const RunRecord &) = delete;
    RunRecord &operator=(const RunRecord &) = delete;
    ~RunRecord();
};

// Opens the record at path (nullptr: the run keeps none), before any device is touched; its
// lines name this host and tool_version. Returns 0, or -1 after a line on standard error (the
// run then ends with status 1).
int open_run_record(const char *path, const std::string &tool_version, RunRecord *record);

// Writes the line of one device. Returns 0 (also when the run keeps no record), or -1 after a
// line on standard error: the record is incomplete, and the run ends with status 1.
int write_device_record(RunRecord *record, const DeviceRecord &r);

// Writes the last line with the status the run ends with and closes the record. Returns that
// status: the given one, or 1 when the line could not be written and the run had no other error.
int finish_run_record(RunRecord *record, int status);

// Writes the system log line of one download attempt: ident dl_cor_fw, facility LOG_USER,
// LOG_NOTICE when the run reports success, LOG_ERR otherwise.
void log_download_attempt(const DeviceRecord &r);
