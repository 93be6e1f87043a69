// Runs a program as a child process and captures what it prints: the one runner of the
// end-to-end tests and of the hostile-drive runs.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

struct RunResult {
    std::string out;
    std::string err;        // with status -1: why the program could not be started
    int status;             // exit status, or 128 + signal number when the child was killed
    bool signalled = false; // the child was killed by a signal
    bool hung = false;      // the hang guard killed it
};

struct RunSpec {
    std::vector<std::string> argv; // argv[0] is looked up in PATH
    std::vector<std::string> env;  // extra NAME=VALUE entries, added to the parent's
    std::string input;             // written to the child's standard input
    std::string cwd;               // empty: the parent's working directory
    // A hang guard, not a time target: the child and its process group are killed after
    // this, and the result says so. Far above what any run takes on a busy machine.
    double timeout_seconds = 120;
    // Called once, with the child's pid, when its standard output first holds when_output
    // (to signal it, or to run another program meanwhile); returning true closes the
    // reading end of that output, as a reader that quits early does.
    std::string when_output;
    std::function<bool(pid_t)> on_output;
    bool stdin_closed = false; // started without a standard input, as cron may start it
};

// Runs the command in a process group of its own and waits for it. Nothing but the three
// standard descriptors reaches the child. Returns what it printed and how it ended; status
// -1 when it could not be started.
RunResult run_process(const RunSpec &spec);

// Reads a whole file; empty when it cannot be read.
std::string read_file(const std::string &path);

// Writes a whole file. Returns false when it could not be written.
bool write_whole_file(const std::string &path, const std::string &bytes);
