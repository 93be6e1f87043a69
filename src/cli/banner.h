// The banner and the usage text, both written to standard output.
#pragma once

#include <string>

// The version the banner shows after its "v" ("0.2.3"), also the run record's tool_version.
std::string tool_version();

// Prints the banner: rule, version line, copyright line, the local time, rule.
void print_banner();

// Prints the usage text with the fixed program name.
void usage();
