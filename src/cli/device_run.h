// The device run: open, claim, identify, list, hand to the device step, close; device after
// device, with the run record and the places where the run stops.
#pragma once

#include "cli/options.h"

// Processes every device of opts->device_paths in order, releasing each path when its device
// is done. Returns the exit status: 0, 2 when a download failed, 3 when a device could not be
// opened, was in use by another process or could not be identified (the run stops there), 1
// when standard output could no longer be written (the run stops before the next device),
// or what the device step ended the run with. A stop signal that arrived during an image
// ends the process by that signal once the image's outcome is written.
int run_devices(RunOptions *opts);
