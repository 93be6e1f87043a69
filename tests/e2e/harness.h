// Runs the built programs as child processes and captures what they print, and the files and
// directories the tests work in.
#pragma once

#include "process.h"

#include <string>
#include <vector>

// Runs the command and waits for it, through the DLCOR_E2E_WRAP wrapper (the memcheck tier)
// for the project's own programs. A program that cannot be started, or that the hang guard
// stops, fails the test.
RunResult run_command(const RunSpec &spec);

// Shorthand: runs argv with nothing else set.
RunResult run_command(const std::vector<std::string> &argv);

// Replaces the clock line of the banner (" Tue Dec  8 01:07:04 2026") with " <TIME>", so that
// whole outputs can be compared exactly.
std::string mask_time(const std::string &out);

// A fresh, empty directory under the test's temporary directory; removed at exit.
std::string make_temp_dir();

// Writes a whole file; throws when it cannot.
void write_file(const std::string &path, const std::string &bytes);
