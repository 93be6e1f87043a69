// TEST UNIT READY before a download: a drive that holds a unit attention (after new
// microcode, a reset or a power-on) reports it to the next command other than INQUIRY, and
// that must not be the first download command.
#pragma once

// A drive may hold several unit attentions (one per condition); each command reports one.
inline constexpr int UNIT_ATTENTION_MAX_TRIES = 4;

// Sends TEST UNIT READY to fd, again while the drive answers UNIT ATTENTION, at most
// UNIT_ATTENTION_MAX_TRIES commands in all. Any other answer, a failed ioctl included, ends
// the loop and is left to the download that follows. The commands use the identification
// time-out and print diagnostics only when debug_level is above 0 (a failed ioctl is
// reported by send_io as always). Returns the number of commands sent.
int clear_unit_attention(int fd);
