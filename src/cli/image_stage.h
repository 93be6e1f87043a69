// The per-device selection and download stage that the device run calls after identifying
// and listing a device.
#pragma once

#include "cli/device_run.h"
#include "cli/options.h"
#include "cli/owned_text.h"
#include "cli/run_record.h"

#include <ctime>

// What the stages keep for the whole run.
struct RunState {
    int run_status = 0;  // 0, then 2 once an image failed to open or to download; never reset
    OwnedText cfs_text;  // the configuration text, loaded at most once; released with the run
    RunRecord record;    // the --record file, when given
    DeviceRecord device; // the record of the device being processed, filled by the stages
};

// How the stage leaves the run.
struct StageOutcome {
    bool end_run; // the run ends now with status; otherwise it goes on with the next device
    int status;
};

// Seconds on the monotonic clock since start.
double seconds_since(const struct timespec &start);

// Applies the -m filter: a drive that is ATA, or whose model number is not the filter, is
// passed over with a message on standard output. Returns true when the device goes on.
bool passes_model_filter(const RunOptions &opts, const DeviceIdentity &id, const char *path);

// Runs the stage for the device at path, open as fd. May set state->run_status; fills the
// decision and the download members of state->device, and writes the system log line of a
// download attempt.
// Returns end_run false to go on with the next device, or end_run true with the exit status.
StageOutcome run_image_stage(const RunOptions &opts, const DeviceIdentity &id, const char *path,
                             int fd, RunState *state);
