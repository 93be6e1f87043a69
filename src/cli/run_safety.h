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

// Called when the device at path is done, not_processed devices after it. When a stop
// signal arrived while its image was held, writes a line naming the signal, the device and
// the count on standard error, closes the device, flushes standard output, writes the final
// newline the run always ends with and dies of the signal. Otherwise releases the signals.
void stop_if_signalled(const char *path, size_t not_processed);

// Flushes standard output and tells whether it has failed (a closed pipe, a full disk): the
// run must then stop, not_processed devices short of its end, with a line on standard error.
// Returns true when the run stops.
bool output_lost(size_t not_processed);
