// The hostile drive: a drive whose every answer is rewritten by a byte script, so that a
// fuzzer or a seed chooses the data, the sense bytes, the sense length, the status words,
// resid, info and duration of each command. The drive underneath (SCSI or SATA, with its
// faults) still runs every command, so its firmware state moves as it would; only what
// the client sees is replaced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "drive.h"

// One record of the script, consumed per SG_IO command, in order:
//   bytes 0-1  field mask, big-endian; then, for each bit set, from bit 0 up, its bytes:
//   bit 0   errno         1 byte: the ioctl fails with k_hostile_errnos[b % count]
//   bit 1   status        1 byte: the full SCSI status (masked_status follows it)
//   bit 2   masked_status 1 byte, whatever the status says
//   bit 3   host_status   2 bytes, big-endian
//   bit 4   driver_status 2 bytes, big-endian
//   bit 5   sense         1 byte N (N % 65), then N bytes: the sense bytes, replaced
//   bit 6   sense patch   1 byte offset (% 64), 1 byte N (% 17), N bytes written at offset
//                         (the sense grows with zeros to reach it)
//   bit 7   sb_len_wr     1 byte, whatever the sense holds
//   bit 8   resid         4 bytes, big-endian, signed
//   bit 9   info          1 byte
//   bit 10  duration      4 bytes, big-endian (ms)
//   bit 11  data fill     1 byte: the whole data-in buffer is written with it
//   bit 12  data patch    2 bytes offset (% dxfer_len), 1 byte N, N bytes (cut at the end)
//   bit 13  no data       no bytes: the data-in buffer is left as the client filled it
//   bits 14-15 are ignored.
// Bytes missing at the end of the script read as zero; once the script is used up, the
// drive answers as its model does. Data bits act only on data-in commands.
inline constexpr size_t k_hostile_errno_count = 10;
extern const int k_hostile_errnos[k_hostile_errno_count];

// Rewrites the model's answer `base` to cmd by the record at pos in script, moving pos past
// it. Returns the answer the client sees (hostile set, so the trace shows every word).
Answer hostile_answer(std::span<const uint8_t> script, size_t &pos, const Command &cmd,
                      Answer base);
