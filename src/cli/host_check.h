// The host's use of a drive, looked at before any command beyond identification reaches it:
// read once for each drive a step sends commands to, kept in the record, shown by
// --preflight, warned about by a default run and refused by --only-idle; and the whole-disk
// lock, held while the drive is updated.
#pragma once

#include "base/holders.h"
#include "cli/options.h"
#include "cli/run_state.h"

#include <string>

// Reads the host's view of the drive at path (open as fd) before the step that sends it
// image (nullptr for --activate), and puts its reasons into state->device.in_use. With
// --preflight a drive in use gets "PATH: in use: REASONS" on standard output. A download
// that activates its image, or an activation, to a drive in use: a default run writes
// "WARNING: PATH is in use (REASONS); its I/O may fail while the drive takes new microcode"
// on standard error and goes on; --only-idle refuses the drive, as it refuses one whose view
// could not be read ("PATH: in use (REASONS); not updated", or "not activated"; outcome
// refused, the system log line, run status 2; with --preflight a "would not send" line). A
// view that could not be read is said once a run on standard error, with --preflight or
// --only-idle. --stage never resets a drive and is never refused. Sets *disk to the drive's
// whole-disk name (empty: none). Returns true when the step goes on.
bool check_host_use(const RunOptions &opts, const char *path, int fd, const char *image,
                    RunState *state, std::string *disk);

// Holds the whole-disk lock of disk (none when disk is empty) in *lock while the drive at
// path is updated (image nullptr for --activate). Returns 0, or -1 when another process holds
// it: "PATH: in use by another process" on standard error and the record's outcome refused;
// the run then ends with status 3.
int hold_whole_disk(const RunOptions &opts, const std::string &disk, const char *path,
                    const char *image, RunState *state, UniqueFd *lock);
