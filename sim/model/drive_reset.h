// What a drive does once it takes new microcode or is power-cycled: it resets. As the bay file
// asks (settle_ms, vanish_ms, moves_to), it answers NOT READY while it becomes ready, drops
// off the bus for a while (its node answers nothing), or comes back at another node.
#pragma once

#include <cstdint>

#include "drive.h"

// The wall clock in milliseconds since the epoch: the reset windows outlive a process.
int64_t sim_now_ms();

// Starts the drive's reset, now: its NOT READY and absent windows, the 29h/00h that follows
// NOT READY on a SCSI drive, and its move to moves_to (done once: moves_to is then cleared).
// A drive that drops off the bus or moves leaves every descriptor of its old node dead.
void start_reset(Drive &d);

// True while the drive is absent from the bus: its node opens with ENXIO, and descriptors
// opened before answer DID_NO_CONNECT.
bool drive_absent(const Drive &d);

// True while the drive becomes ready: every command is answered NOT READY 04h/01h.
bool drive_becoming_ready(const Drive &d);
