// Runs the built programs as child processes and captures what they print.
#pragma once

#include <string>
#include <vector>

struct RunResult {
    std::string out;
    std::string err;
    int status; // exit status, or 128 + signal number when the child was killed
};

struct RunSpec {
    std::vector<std::string> argv;
    std::vector<std::string> env; // extra NAME=VALUE entries, added to the parent's
    std::string input;            // written to the child's standard input
    std::string cwd;              // empty: the parent's working directory
    // A hang guard, not a time target: the child and its process group are killed after
    // this, and the test fails saying so. Far above what any run takes on a busy machine.
    int timeout_seconds = 120;
};

// Runs the command and waits for it. Aborts the test on a failure to start it.
RunResult run_command(const RunSpec &spec);

// Shorthand: runs argv with nothing else set.
RunResult run_command(const std::vector<std::string> &argv);

// Replaces the clock line of the banner (" Tue Dec  8 01:07:04 2026") with " <TIME>", so that
// whole outputs can be compared exactly.
std::string mask_time(const std::string &out);

// A fresh, empty directory under the test's temporary directory; removed at exit.
std::string make_temp_dir();

// Reads and writes whole files.
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);
