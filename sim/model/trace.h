// The trace: one JSON line per SG_IO command the bay answered (format in docs/sgsim.md).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "drive.h"

// The trace line (JSON, without the line end) of one command and its answer.
std::string trace_line(const std::string &node, const Command &cmd, const Answer &a);

// The trace line of one system log message that a program under the bay sent:
// {"syslog": {"ident": ..., "facility": "user", "severity": "notice", "message": ...}}.
// facility is the LOG_* facility value (LOG_USER ...), severity the LOG_* level (0 to 7).
std::string syslog_trace_line(const std::string &ident, int facility, int severity,
                              const std::string &message);

// Appends line and a line end to the file at path in one write. Returns true, or false
// when the file cannot be opened or written.
bool append_trace(const std::string &path, const std::string &line);

// A short name for a CDB ("INQUIRY", "INQUIRY VPD 80h", "ATA PASS-THROUGH (12) IDENTIFY",
// "WRITE BUFFER mode 07h offset 32768 length 4464" ...).
std::string describe_cdb(std::span<const uint8_t> cdb);

// The readable form of one trace line (a command or a system log message), for `sgsim trace`.
// Returns true, or false when the line is neither.
bool describe_trace_line(const std::string &line, std::string &out);
