#include "sg/sense.h"

#include <algorithm>
#include <cstring>

namespace {

// The ATA Status Return descriptor of the SCSI/ATA translation standard.
constexpr uint8_t ATA_RETURN_DESCRIPTOR = 0x09;
constexpr uint8_t ATA_RETURN_DESCRIPTOR_LEN = 0x0C;
// ASC/ASCQ 00h/1Dh: ATA PASS THROUGH INFORMATION AVAILABLE.
constexpr uint8_t ASCQ_ATA_INFO_AVAILABLE = 0x1D;

void set_ata(SenseFields &f, uint8_t error, uint8_t status, uint8_t device, uint8_t count) {
    f.has_ata = true;
    f.ata = AtaRegisters{error, status, device, count};
}

// Fixed format (70h/71h):
//   b[0]: VALID (7), response code (6:0)   b[2]: sense key (3:0)   b[7]: additional length
//   b[12]: ASC   b[13]: ASCQ
// ATA registers, three places:
//   an ATA Status Return descriptor right behind the 18-byte fixed part:
//     b[18] 09h, b[19] 0Ch, b[21] Error, b[30] Device, b[31] Status
//   the SAT layout (VALID set, or ASC/ASCQ 00h/1Dh): b[3] Error, b[4] Status, b[5] Device,
//     b[6] Count (the INFORMATION field)
//   the layout of Linux before 6.11 for a failed pass-through (additional length 0Ah, b[9]
//     not zero): b[8] Error, b[9] Status, b[10] Device, b[11] Count
void decode_fixed(const uint8_t *b, size_t len, bool passthrough, SenseFields &f) {
    f.has_key = true;
    f.sense_key = b[2] & 0x0F;
    f.asc = b[12];
    f.ascq = b[13];
    if (b[7] != 0 && b[18] == ATA_RETURN_DESCRIPTOR && b[19] == ATA_RETURN_DESCRIPTOR_LEN) {
        if (len >= 32) {
            set_ata(f, b[21], b[31], b[30], b[23]);
        }
        return;
    }
    if (!passthrough) {
        return;
    }
    if ((b[0] & 0x80) != 0 || (f.asc == 0 && f.ascq == ASCQ_ATA_INFO_AVAILABLE)) {
        if (len >= 7) {
            set_ata(f, b[3], b[4], b[5], b[6]);
        }
    } else if (b[7] == 0x0A && b[9] != 0 && len >= 12) {
        set_ata(f, b[8], b[9], b[10], b[11]);
    }
}

// Descriptor format (72h/73h):
//   b[1]: sense key (3:0)   b[2]: ASC   b[3]: ASCQ   b[7]: additional length
//   first descriptor at b[8]; the ATA Status Return descriptor:
//     b[8] 09h, b[9] 0Ch, b[11] Error, b[13] Count, b[20] Device, b[21] Status
void decode_descriptor(const uint8_t *b, size_t len, SenseFields &f) {
    f.has_key = true;
    f.sense_key = b[1] & 0x0F;
    f.asc = b[2];
    f.ascq = b[3];
    if (b[7] != 0 && b[8] == ATA_RETURN_DESCRIPTOR && b[9] == ATA_RETURN_DESCRIPTOR_LEN &&
        len >= 22) {
        set_ata(f, b[11], b[21], b[20], b[13]);
    }
}

} // namespace

bool sense_has_key_layout(uint8_t response_code) {
    uint8_t code = response_code & 0x7F;
    return code >= 0x70 && code <= 0x73;
}

SenseFields decode_sense(const uint8_t *sense, size_t len, uint8_t opcode) {
    SenseFields f{};
    // Work on a zeroed copy so that positions the driver did not write read as zero and
    // nothing past the sense area is ever read, whatever length is claimed.
    uint8_t b[SG_SENSE_LEN] = {};
    len = std::min(len, static_cast<size_t>(SG_SENSE_LEN));
    if (sense != nullptr && len > 0) {
        memcpy(b, sense, len);
    }
    f.response_code = b[0];
    if (!sense_has_key_layout(b[0])) {
        return f;
    }
    // The key sits in byte 2 of fixed format (70h, 71h) and in byte 1 of descriptor format.
    bool fixed = (b[0] & 0x7F) <= 0x71;
    f.key_arrived = len > (fixed ? 2u : 1u);
    if (fixed) {
        decode_fixed(b, len, is_ata_pass_through_opcode(opcode), f);
    } else {
        decode_descriptor(b, len, f);
    }
    return f;
}
