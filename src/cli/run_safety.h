// What keeps the device run safe around each device: one owner per drive, and the places
// where a stop signal held during an image, or a standard output that can no longer be
// written, end the run between two devices.
#pragma once

#include <cstddef>

// Takes an exclusive, non-blocking flock on the open node fd, held until it is closed, so
// that no other run of this tool (nor any program that locks the same way) sends commands
// to the drive meanwhile. Returns 0, or -1 after a line on standard error: the node is in
// use by another process, or cannot be locked.
int claim_device(int fd, const char *path);

// Called when a device is done: returns the stop signal that arrived while its image was
// held, or 0 when none did (the signals are then released and act at once again).
int take_stop_signal();

// Ends the run for signo after the device at path, not_processed devices short of its end:
// a line naming the signal, the device and the count on standard error, the device closed,
// standard output flushed, the final newline the run always ends with, and death by the
// signal.
[[noreturn]] void stop_for_signal(int signo, const char *path, size_t not_processed);

// Flushes standard output and tells whether it has failed (a closed pipe, a full disk): the
// run must then stop, not_processed devices short of its end, with a line on standard error.
// Returns true when the run stops.
bool output_lost(size_t not_processed);
