// cfs_tool: makes, reads, checks and queries CFS files.
#pragma once

#include <string>
#include <unistd.h>

// Exit statuses of cfs_tool besides the CFS module's codes 0 to 7.
inline constexpr int k_exit_image_missing = 8;      // plan: an image to download is unusable
inline constexpr int k_exit_check_warnings = 9;     // check: warnings and no syntax error
inline constexpr int k_exit_listing_cut_short = 10; // plan: the run that listed the drives stopped
inline constexpr int k_exit_listing_not_whole = 11; // plan: the listing ends before the run did
inline constexpr int k_exit_usage = 64;             // the command line is wrong
inline constexpr int k_exit_no_input = 66;          // TEXT, LISTING or the --images DIR not read
inline constexpr int k_exit_cant_create = 73;       // the CFS file to write cannot be created
inline constexpr int k_exit_io_error = 74;          // writing the output failed

// What is at an image path, as the run would open it.
struct image_probe {
    int error = 0;              // errno of the stat or the open; 0 when it found a file
    const char *kind = nullptr; // what it found instead of a regular file ("a FIFO" ...)
    bool regular = false;       // a regular file, opened
    long long size = 0;         // its length, when regular
};

// Looks at path (relative paths from dir_fd, or AT_FDCWD) without opening anything that can
// block or act: only a regular file is opened, with O_NONBLOCK, and checked with fstat.
// Returns what it found.
image_probe probe_image(int dir_fd, const char *path);

// Why a CFS run would refuse the regular image p for an ATA drive before sending anything,
// by the run's own checks; empty when it would send it.
std::string run_refusal(const image_probe &p);

// Writes "cfs_tool: " and fmt (with arg) and the hint to --help to standard error. Returns
// k_exit_usage.
int usage_error(const char *fmt, const char *arg);

// cfs_tool check [--images DIR] CFS: reads every line of the CFS file and writes to standard
// error one line per syntax error ("CFS:LINE: syntax error: ...") and per warning
// ("CFS:LINE: warning: ..."); relative image paths are looked up in DIR (the current
// directory by default). Returns the exit status: 0 without findings, 5 with a syntax error,
// k_exit_check_warnings with warnings alone, the load's code (1 to 4) after its message,
// k_exit_usage, or k_exit_no_input when DIR cannot be opened.
int run_check(int argc, char **argv);

// cfs_tool plan [--json] CFS [LISTING]: reads identity listing lines from LISTING (standard
// input when absent or "-") and writes what dl_cor_fw -c CFS would do to each drive, one line
// (or one JSON object) per drive, and one for a device at which the listing run stopped. A
// listing that does not hold all its run wrote (listing_wholeness) is refused whole.
// Returns the exit status: k_exit_listing_not_whole for such a listing; else 0 when every
// drive has a plan and every image to download is one the run would send, 5 when the run
// would end at a syntax error, k_exit_listing_cut_short when the listing stops at a device,
// k_exit_image_missing when an image is missing or unusable (in this order of precedence);
// the load's code (1 to 4) or 2 when memory ran out, k_exit_usage, k_exit_no_input (LISTING
// not read) or k_exit_io_error.
int run_plan(int argc, char **argv);
