// TEST UNIT READY: before a download, and after one. A drive that holds a unit attention
// (after new microcode, a reset or a power-on) reports it to the next command other than
// INQUIRY, and that must not be the first download command. A drive that has just taken new
// microcode may reset: it answers NOT READY for a while, or drops off the bus and comes
// back, and its revision is read again only once it answers.
#pragma once

#include "sg/verdict.h"

#include <cstdint>

// A drive may hold several unit attentions (one per condition); each command reports one.
inline constexpr int UNIT_ATTENTION_MAX_TRIES = 4;

// Sends TEST UNIT READY to fd, again while the drive answers UNIT ATTENTION, at most
// UNIT_ATTENTION_MAX_TRIES commands in all. Any other answer, a failed ioctl included, ends
// the loop and is left to the download that follows. The commands use the identification
// time-out and print diagnostics only when debug_level is above 0 (a failed ioctl is
// reported by send_io as always). Returns the number of commands sent.
int clear_unit_attention(int fd);

// What one TEST UNIT READY answer says of a drive coming back from a reset.
enum class Readiness {
    ready,     // GOOD, or an answer of the drive's own that waiting would not change
    attention, // UNIT ATTENTION: the drive answers, and the condition is now taken
    waiting,   // not yet: NOT READY, BUSY or TASK SET FULL, a time-out, a host or driver
               // error, a failed ioctl
    gone,      // the node no longer leads to the drive: ENODEV or ENXIO, or nothing is
               // connected behind it (DID_NO_CONNECT, DID_BAD_TARGET)
};

// Judges one TEST UNIT READY answer.
Readiness judge_readiness(const CommandFacts &f);

// The pause before the next TEST UNIT READY after one that said "not yet": 100 ms at first,
// then twice the last one, at most 1 s.
uint32_t next_settle_pause_ms(uint32_t last_ms);

// Sends TEST UNIT READY to fd until the drive answers, for at most bound_ms milliseconds:
// a unit attention is taken and the next command sent at once (after
// UNIT_ATTENTION_MAX_TRIES of them in a row the drive counts as answering), "not yet" is
// followed by a growing pause (next_settle_pause_ms, never past the bound), a node that is
// gone ends the wait at once. A failed ioctl is not reported; diagnostics only when
// debug_level is above 0. Returns ready (the drive answers), waiting (the bound ran out
// before it did) or gone.
Readiness wait_until_ready(int fd, uint32_t bound_ms);
