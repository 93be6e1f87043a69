// The dry run (--preflight): what the run would send to a drive, said and not sent.
#pragma once

#include "cli/identity.h"
#include "cli/options.h"
#include "cli/run_state.h"

// The dry run for the device at path and the image the run selected for it: the method, the
// drive's statements and the plan exactly as the download would take them (plan_for_run),
// then one line on standard output, "PATH: would send IMAGE (N bytes) by METHOD in ...", or
// one line per reason it would be refused, "PATH: would not send IMAGE by METHOD: REASON";
// each line ends "; drive wwn WWN" or "; drive serial SERIAL" when the drive has a name.
// Sends no download command. Sets state->run_status to 2 for a refusal.
void dry_run_step(const RunOptions &opts, const DeviceIdentity &id, const char *path, int fd,
                  const char *image, RunState *state);
