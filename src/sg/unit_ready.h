// TEST UNIT READY before a download: a drive that holds a unit attention (after new
// microcode, a reset or a power-on) reports it to the next command other than INQUIRY, and
// that must not be the first download command.
#pragma once

#include "sg/sg_io.h"

#include <cstdint>

inline constexpr uint8_t TEST_UNIT_READY_OPCODE = 0x00;
inline constexpr int TEST_UNIT_READY_CDB_LEN = 6;
// A drive may hold several unit attentions (one per condition); each command reports one.
inline constexpr int UNIT_ATTENTION_MAX_TRIES = 4;

// Fills the 6-byte TEST UNIT READY CDB.
void build_test_unit_ready_cdb(uint8_t *cdb);

// True when a finished command was answered with UNIT ATTENTION: CHECK CONDITION with sense
// whose response code carries a sense key, and that key is 6h. Judged only from what this
// command wrote back (send_io's result and the sense length), never from stale fields.
bool answered_unit_attention(int send_result, const SgRequest &req);

// Sends TEST UNIT READY to fd, again while the drive answers UNIT ATTENTION, at most
// UNIT_ATTENTION_MAX_TRIES commands in all. Any other answer, a failed ioctl included, ends
// the loop and is left to the download that follows. The commands use the identification
// time-out and print diagnostics only when debug_level is above 0 (a failed ioctl is
// reported by send_io as always). Returns the number of commands sent.
int clear_unit_attention(int fd);
