// What the run does with a device once it is identified and listed: select its image and
// hand it to the dry run, the download or the activation.
#pragma once

#include "cli/identity.h"
#include "cli/options.h"
#include "cli/run_state.h"
#include "cli/selection.h"

// Runs the step for the device at path, open as fd. May set state->run_status; fills the
// decision and the download members of state->device, and writes the system log line of a
// download attempt.
// Returns end_run false to go on with the next device, or end_run true with the exit status.
StepOutcome run_device_step(const RunOptions &opts, const DeviceIdentity &id, const char *path,
                            int fd, RunState *state);
