// The activation (--activate) of what a staging run left on a drive.
#pragma once

#include "cli/identity.h"
#include "cli/options.h"
#include "cli/run_state.h"

// Activates the microcode staged on the device at path (WRITE BUFFER 0Fh or DOWNLOAD
// MICROCODE 0Fh, by the forced method or the kind of drive), with the stop signals held,
// then waits for the drive and reads its revision again (verify_after_microcode): the
// activation succeeded only when the revision changed. Fills state->device (decision
// activate), writes the system log line, and sets state->run_status to 2 when the activation
// failed, the drive had nothing staged, kept its revision or did not come back.
void activation_step(const RunOptions &opts, const DeviceIdentity &id, const char *path, int fd,
                     RunState *state);
