// Sense data and answers as the Linux stack builds them.
#pragma once

#include <cstdint>
#include <vector>

#include "drive.h"

inline constexpr uint8_t k_status_good = 0x00;
inline constexpr uint8_t k_status_check_condition = 0x02;
inline constexpr uint8_t k_status_busy = 0x08;
inline constexpr uint16_t k_did_no_connect = 0x01;
inline constexpr uint16_t k_did_time_out = 0x03;
inline constexpr uint16_t k_driver_sense = 0x08;

inline constexpr uint8_t k_key_recovered_error = 0x01;
inline constexpr uint8_t k_key_not_ready = 0x02;
inline constexpr uint8_t k_key_illegal_request = 0x05;
inline constexpr uint8_t k_key_unit_attention = 0x06;
inline constexpr uint8_t k_key_aborted_command = 0x0b;

// The ATA registers of one command, as the drive left them.
struct AtaRegs {
    uint8_t error = 0, count = 0, lba_low = 0, lba_mid = 0, lba_high = 0, device = 0, status = 0;
    uint8_t hob_count = 0, hob_lba_low = 0, hob_lba_mid = 0, hob_lba_high = 0;
    bool extend = false; // a 48-bit command (ATA PASS-THROUGH (16) with EXTEND)
};

// Fixed-format sense, 18 bytes:
// byte 0: 70h, byte 2: sense key, byte 7: additional length 0Ah, bytes 12-13: ASC, ASCQ.
std::vector<uint8_t> fixed_sense(uint8_t key, uint8_t asc, uint8_t ascq);

// Descriptor-format sense without descriptors, 8 bytes:
// byte 0: 72h, byte 1: sense key, bytes 2-3: ASC, ASCQ, byte 7: additional length 0.
std::vector<uint8_t> descriptor_sense(uint8_t key, uint8_t asc, uint8_t ascq);

// Descriptor-format sense with the ATA Status Return descriptor, 22 bytes:
// bytes 0-7 as descriptor_sense with byte 7 = 0Eh; byte 8: 09h, byte 9: 0Ch,
// byte 10: EXTEND (bit 0), 11: error, 12/13: count (7:0 in 13), 14/15: LBA low,
// 16/17: LBA mid, 18/19: LBA high (the 15:8 halves first, set only for 48-bit commands),
// 20: device, 21: status.
std::vector<uint8_t> ata_descriptor_sense(uint8_t key, uint8_t asc, uint8_t ascq, const AtaRegs &r);

// The sense of an ATA command the drive ended with an error (ABORTED COMMAND 00h/00h)
// in the chosen layout:
// linux_6_1: 70 00 0b 00 00 00 00 0a err status device count 00 00 00 00 ext lba_low
// sat:       f0 00 0b err status device count 0a ext lba_low lba_mid lba_high 00 00 00 00 00 00
// descriptor: ata_descriptor_sense(0b, 00, 00)
// ext (byte 16 or 8): 80h for a 48-bit command, | 40h with a high count, | 20h with high LBA.
std::vector<uint8_t> ata_error_sense(AbortSense layout, const AtaRegs &r);

// CHECK CONDITION with the given sense: driver_status DRIVER_SENSE; a data-in buffer
// comes back zero-filled with resid 0, as the sg driver copies back its cleared buffer.
Answer check_condition(const Command &cmd, std::vector<uint8_t> sense);

// GOOD, with the answer bytes for a data-in command: the buffer is zero-filled to
// dxfer_len, then the first min(bytes, limit, dxfer_len) bytes are copied; resid is
// dxfer_len minus what was copied when report_resid is set, else 0.
Answer good_with_data(const Command &cmd, const std::vector<uint8_t> &bytes, size_t limit,
                      bool report_resid);
