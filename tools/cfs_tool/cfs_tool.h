// cfs_tool: makes, reads, checks and queries CFS files.
#pragma once

// Exit statuses of cfs_tool besides the CFS module's codes 0 to 7.
inline constexpr int k_exit_image_missing = 8; // plan: an image to download cannot be opened
inline constexpr int k_exit_usage = 64;        // the command line is wrong
inline constexpr int k_exit_no_input = 66;     // the text to pack cannot be read
inline constexpr int k_exit_cant_create = 73;  // the CFS file to write cannot be created
inline constexpr int k_exit_io_error = 74;     // writing the output failed

// Reads every line of the CFS file at cfs_path and writes to standard error one line per
// syntax error ("CFS:LINE: syntax error: ...") and per warning ("CFS:LINE: warning: ...").
// Returns the exit status: 0 without syntax errors (warnings allowed), 5 with one or more, or
// the load's code (1 to 4) after its message when the file cannot be loaded.
int check_cfs_file(const char *cfs_path);

// cfs_tool plan [--json] CFS [LISTING]: reads identity listing lines from LISTING (standard
// input when absent or "-") and writes what dl_cor_fw -c CFS would do to each drive, one line
// (or one JSON object) per drive. Returns the exit status: 0 when every drive has a plan and
// every image to download can be opened, 5 when the run would end at a syntax error,
// k_exit_image_missing when an image is missing, the load's code (1 to 4) or 2 when memory
// ran out, k_exit_usage, k_exit_no_input (LISTING not read) or k_exit_io_error.
int run_plan(int argc, char **argv);
