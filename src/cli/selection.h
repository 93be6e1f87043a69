// Image selection: the -f file for every device, the image a CFS file names for a drive
// whose identity is complete, and the -m filter.
#pragma once

#include "base/holders.h"
#include "cli/identity.h"
#include "cli/options.h"
#include "cli/run_state.h"

// How a step leaves the run.
struct StepOutcome {
    bool end_run; // the run ends now with status; otherwise it goes on with the next device
    int status;
};

// Applies the -m filter: a drive that is ATA, or whose model number is not the filter, is
// passed over with a message on standard output. Returns true when the device goes on.
bool passes_model_filter(const RunOptions &opts, const DeviceIdentity &id, const char *path);

// Selects the image for the device at path: a copy of the -f path, or what the CFS file
// names (the configuration text is loaded on the first device that needs it). Fills the
// decision of state->device when the device is passed over or the run ends.
// Returns true with *image set (empty: no image, the device is only listed) to go on with
// the device, or false with *outcome saying whether the run ends.
bool select_image(const RunOptions &opts, const DeviceIdentity &id, const char *path,
                  RunState *state, OwnedText *image, StepOutcome *outcome);
