// The activation (--activate) of what a staging run left on a drive.
#pragma once

#include "cli/identity.h"
#include "cli/options.h"
#include "cli/run_state.h"

// Activates the microcode staged on the device at path (WRITE BUFFER 0Fh or DOWNLOAD
// MICROCODE 0Fh, by the forced method or the kind of drive), with the stop signals held,
// then reads the revision again and judges it as --verify does. Fills state->device
// (decision activate), writes the system log line, and sets state->run_status to 2 when the
// activation failed, the drive had nothing staged, or the revision did not change.
void activation_step(const RunOptions &opts, const DeviceIdentity &id, const char *path, int fd,
                     RunState *state);
