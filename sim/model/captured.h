// A drive's captured answers (`sgsim capture`): kept in the bay file under the drive's
// "captured" key, served in place of the model's own answers.
//
// Names of the answers:
//   inquiry                  standard INQUIRY data
//   vpd_00 vpd_80 vpd_83 vpd_86 vpd_89   the VPD pages
//   identify                 IDENTIFY DEVICE data (SATA)
//   fwreq_dotted fwreq_plain the firmware requests' answers, where they differ from IDENTIFY
//   log_00_00 log_30_00 log_30_03        READ LOG EXT: log address and page (SATA)
//   read_buffer              the READ BUFFER descriptor of buffer 0 (SCSI)
// In the bay file each is hex text, or {"refused": SENSE-HEX} for a command the drive
// refused; "revision" holds the revision the answers carry.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "drive.h"

// The captured answer of the drive by name, or null when it has none.
const CapturedAnswer *captured_answer(const Drive &d, const std::string &name);

// The bytes to serve for a captured answer (data, or the sense of a refusal). After a
// rehearsed download changed the revision, the answers that carry it get the new one: the
// standard INQUIRY (bytes 32-35, libata's rule for SATA), the IDENTIFY data and its copy in
// page 89h (words 23-26, and the integrity word), and the firmware requests' text (bytes
// 0-39).
std::vector<uint8_t> captured_bytes(const Drive &d, const std::string &name,
                                    const CapturedAnswer &c);

// Reads the "captured" record of a bay drive. Returns true, or false with the reason in err.
bool captured_from_json(const nlohmann::json &j, Captured &out, std::string &err);

// The "captured" record of a bay drive.
nlohmann::json captured_to_json(const Captured &c);
