// The download of the image selected for a device, and its outcome lines and record.
#pragma once

#include "cli/identity.h"
#include "cli/options.h"
#include "cli/run_state.h"

// Sends image to the device at path, open as fd, and writes the outcome lines. After a
// download that completed, the revision is read again when --verify asks for it, and always
// in a CFS run, once the drive answers again (verify_after_microcode): only a changed
// revision makes it a success there. Without either, the
// download is a success unverified. A staging download (--stage) is checked against the
// drive's statements first and always has its revision read again: unchanged is the expected
// pending activation. The stop signals are held from before the first command. Fills
// state->device, writes the system log line, and sets state->run_status to 2 on a failure.
void download_step(const RunOptions &opts, const DeviceIdentity &id, const char *path, int fd,
                   const char *image, RunState *state);
