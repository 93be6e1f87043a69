// Sense data decoding: a pure function of the bytes the driver wrote.
#pragma once

#include "sg/ata_pass_through.h"

#include <cstddef>
#include <cstdint>

// Size of the sense area handed to the driver with every command.
inline constexpr int SG_SENSE_LEN = 32;

// True for the response codes whose layouts carry a sense key: fixed (70h, 71h) and
// descriptor (72h, 73h) format, with or without the VALID bit (bit 7).
bool sense_has_key_layout(uint8_t response_code);

struct SenseFields {
    uint8_t response_code; // sense byte 0, whole (bit 7 is the VALID bit of fixed format)
    bool has_key;          // the response code (low 7 bits) is 70h-73h
    bool key_arrived;      // has_key, and the written bytes reach the key: byte 2 of fixed,
                           // byte 1 of descriptor format
    uint8_t sense_key;
    uint8_t asc;
    uint8_t ascq;
    bool has_ata; // ATA registers were found, every one of them inside the written bytes
    AtaRegisters ata;
};

// Decodes sense data. sense holds len bytes as the driver wrote them (sb_len_wr); only the
// first SG_SENSE_LEN are looked at, and positions at or past len read as zero. opcode is the
// CDB's first byte: for ATA PASS-THROUGH the registers are also recovered from the fixed
// layouts that Linux writes for it.
SenseFields decode_sense(const uint8_t *sense, size_t len, uint8_t opcode);
