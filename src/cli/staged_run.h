// The stages of a staged update that the image stage hands a device to: the dry run
// (--preflight), the reads of what a drive states before a staging download (--stage), and
// the activation of what was staged (--activate).
#pragma once

#include "cli/device_run.h"
#include "cli/image_stage.h"
#include "cli/options.h"
#include "download/preflight.h"

// Reads what the drive at fd states about a download by sender, sending only the commands
// that method needs: for DOWNLOAD MICROCODE the IDENTIFY words of the identification (no
// command) and, for a staging download, page 03h of the IDENTIFY DEVICE data log; for WRITE
// BUFFER the Extended INQUIRY Data page and the READ BUFFER descriptor. A command the drive
// refuses or does not answer states nothing.
DriveStatements read_drive_statements(int fd, const DeviceIdentity &id, DownloadSender sender,
                                      bool stage);

// The dry run for the device at path and the image the run selected for it: the method, the
// drive's statements and the plan exactly as the download would take them, then one line on
// standard output, "PATH: would send IMAGE (N bytes) by METHOD in ...", or one line per
// reason it would be refused, "PATH: would not send IMAGE by METHOD: REASON". Sends no
// download command. Sets state->run_status to 2 for a refusal.
void preflight_stage(const RunOptions &opts, const DeviceIdentity &id, const char *path, int fd,
                     const char *image, RunState *state);

// Activates the microcode staged on the device at path (WRITE BUFFER 0Fh or DOWNLOAD
// MICROCODE 0Fh, by the forced method or the kind of drive), after TEST UNIT READY and with
// the stop signals held, then reads the revision again and judges it as --verify does.
// Fills state->device (decision activate), writes the system log line, and sets
// state->run_status to 2 when the activation failed, the drive had nothing staged, or the
// revision did not change.
void activate_stage(const RunOptions &opts, const DeviceIdentity &id, const char *path, int fd,
                    RunState *state);
