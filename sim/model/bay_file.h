// The bay file: a JSON document naming the drives at their node paths, their identities,
// firmware behaviour and faults (format in docs/sgsim.md).
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "drive.h"

// Reads the bay from a parsed document. Returns true, or false with the reason in err.
bool bay_from_json(const nlohmann::json &doc, Bay &bay, std::string &err);

// Reads and parses the bay file; doc keeps the document for save_bay. The trace path, when
// relative, is taken relative to the bay file's directory. Returns true, or false with
// the reason in err.
bool load_bay(const std::string &path, Bay &bay, nlohmann::json &doc, std::string &err);

// Writes the state of every drive that changed since doc was read or last saved (revision,
// staged microcode, pending unit attentions) into doc and into the bay file as it is now,
// under the bay's write-back lock (BAY.locks/bay), atomically (a temporary file beside it,
// then rename); drives this process did not change keep what the file says, so processes
// working on different drives of one bay do not undo each other. Returns true, or false
// with the reason in err.
bool save_bay(const std::string &path, const Bay &bay, nlohmann::json &doc, std::string &err);

// Names of the enumerations as the bay file spells them.
const char *fwreq_name(FwreqAnswer f);
const char *firmware_mode_name(FirmwareMode m);
