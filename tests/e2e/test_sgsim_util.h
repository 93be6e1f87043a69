// Helpers of the end-to-end tests of the simulated bay: bay files and runs under sgsim.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "harness.h"

// The built sgsim command, or empty when the build has none.
std::string sgsim_path();

// The interposer beside it.
std::string sgsim_preload_path();

// True when Debian's sg3-utils are installed.
bool have_sg3_utils();

// Writes the bay text to a fresh temporary directory and returns the bay file's path.
std::string write_bay(const std::string &json);

// Runs argv with `sgsim run BAY --`, with extra NAME=VALUE environment entries.
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
