#include "sg/ata_pass_through.h"

#include <cstring>

namespace {

// The two bytes both forms share:
//   byte 1: multiple_count (7:5) 0, protocol (4:1), extend (0, the 16-byte form only)
//   byte 2: off_line (7:6) 0, ck_cond (5) 1, t_type (4) 0, t_dir (3), byt_blok (2),
//           t_length (1:0) 2 = the length is in COUNT, or 0 = no data
uint8_t protocol_byte(const AtaTaskfile &tf, bool extend) {
    return static_cast<uint8_t>((tf.protocol & 0x0F) << 1 | (extend ? 1 : 0));
}

uint8_t flags_byte(const AtaTaskfile &tf) {
    constexpr uint8_t k_ck_cond = 0x20;
    return static_cast<uint8_t>(k_ck_cond | (tf.from_device ? 0x08 : 0) |
                                (tf.length_in_blocks ? 0x04 : 0) | (tf.length_in_count ? 0x02 : 0));
}

uint8_t byte_of(uint64_t v, int shift) {
    return static_cast<uint8_t>(v >> shift);
}

} // namespace

// cdb[0]: A1h   cdb[1]: protocol   cdb[2]: flags   cdb[3]: features (7:0)
// cdb[4]: count (7:0)   cdb[5..7]: LBA (7:0), (15:8), (23:16)   cdb[8]: device
// cdb[9]: command   cdb[10]: reserved   cdb[11]: control
void build_ata_pass_through_12(uint8_t *cdb, const AtaTaskfile &tf) {
    std::memset(cdb, 0, ATA_PASS_THROUGH_12_CDB_LEN);
    cdb[0] = ATA_PASS_THROUGH_12_OPCODE;
    cdb[1] = protocol_byte(tf, false);
    cdb[2] = flags_byte(tf);
    cdb[3] = byte_of(tf.features, 0);
    cdb[4] = byte_of(tf.count, 0);
    cdb[5] = byte_of(tf.lba, 0);
    cdb[6] = byte_of(tf.lba, 8);
    cdb[7] = byte_of(tf.lba, 16);
    cdb[8] = tf.device;
    cdb[9] = tf.command;
}

// cdb[0]: 85h   cdb[1]: protocol, extend   cdb[2]: flags
// cdb[3]: features (15:8)   cdb[4]: features (7:0)   cdb[5]: count (15:8)   cdb[6]: count (7:0)
// cdb[7]: LBA (31:24)   cdb[8]: LBA (7:0)   cdb[9]: LBA (39:32)   cdb[10]: LBA (15:8)
// cdb[11]: LBA (47:40)   cdb[12]: LBA (23:16)   cdb[13]: device   cdb[14]: command
// cdb[15]: control
void build_ata_pass_through_16(uint8_t *cdb, const AtaTaskfile &tf) {
    std::memset(cdb, 0, ATA_PASS_THROUGH_16_CDB_LEN);
    cdb[0] = ATA_PASS_THROUGH_16_OPCODE;
    cdb[1] = protocol_byte(tf, true);
    cdb[2] = flags_byte(tf);
    cdb[3] = byte_of(tf.features, 8);
    cdb[4] = byte_of(tf.features, 0);
    cdb[5] = byte_of(tf.count, 8);
    cdb[6] = byte_of(tf.count, 0);
    cdb[7] = byte_of(tf.lba, 24);
    cdb[8] = byte_of(tf.lba, 0);
    cdb[9] = byte_of(tf.lba, 32);
    cdb[10] = byte_of(tf.lba, 8);
    cdb[11] = byte_of(tf.lba, 40);
    cdb[12] = byte_of(tf.lba, 16);
    cdb[13] = tf.device;
    cdb[14] = tf.command;
}

uint8_t build_ata_command_cdb(uint8_t *cdb, const AtaTaskfile &tf) {
    if (tf.extended) {
        build_ata_pass_through_16(cdb, tf);
        return ATA_PASS_THROUGH_16_CDB_LEN;
    }
    build_ata_pass_through_12(cdb, tf);
    return ATA_PASS_THROUGH_12_CDB_LEN;
}

int8_t ata_direction(const AtaTaskfile &tf) {
    // The sg driver's own codes: -3 from the device, -2 to it, -1 none.
    switch (tf.protocol) {
    case ATA_PROTOCOL_PIO_DATA_IN:
        return -3;
    case ATA_PROTOCOL_PIO_DATA_OUT:
        return -2;
    default:
        return -1;
    }
}

bool is_ata_pass_through_opcode(uint8_t opcode) {
    return opcode == ATA_PASS_THROUGH_12_OPCODE || opcode == ATA_PASS_THROUGH_16_OPCODE;
}
