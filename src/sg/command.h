// The command layer: the only way the rest of the system talks to a drive. A command goes to
// the driver through send_io and comes back as the facts of its answer (verdict.h); what a
// short or refused answer leaves in a data-in buffer is settled here, once. Each function
// leaves errno as send_io left it, so that a caller's report names the same error text.
#pragma once

#include "sg/ata_pass_through.h"
#include "sg/verdict.h"

#include <cstdint>

// What a data-in command brought back.
struct ReadReply {
    Reply reply; // how the drive answered it (judge_identification)
    CommandFacts facts;
};

// Sends a data-in command of cdb_len bytes with the default time-out, the answer into len
// bytes of buf. Wherever the drive's answer did not reach, buf keeps what it held before the
// command: past the bytes transferred, and all of it when the command was not answered (the
// sg driver copies its whole bounce buffer back, so stale bytes of an earlier command lie
// there). A caller that wants zeros there clears buf first.
ReadReply read_command(int fd, const uint8_t *cdb, uint8_t cdb_len, uint8_t *buf, uint32_t len);

// The rule of read_command: puts back into buf (len bytes) the bytes the answer r did not
// reach, from before, what buf held before the command.
void keep_unreached_bytes(uint8_t *buf, const uint8_t *before, uint32_t len, const ReadReply &r);

// The same for a data-in ATA command, carried in ATA PASS-THROUGH (the form tf needs).
ReadReply read_ata_command(int fd, const AtaTaskfile &tf, uint8_t *buf, uint32_t len);

// How an outgoing command is sent.
struct SendOptions {
    uint32_t timeout_ms; // 0: the default time-out
    bool debug;          // send_io prints its diagnostics
    bool quiet = false;  // a failed ioctl is not reported (send_io's perror)
};

// Sends a command that carries len bytes at data to the device, or no data when len is 0.
// Returns the facts of its answer.
CommandFacts send_command(int fd, const uint8_t *cdb, uint8_t cdb_len, const uint8_t *data,
                          uint32_t len, const SendOptions &options);
