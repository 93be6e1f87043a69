// Byte order of the wire: SCSI fields are big-endian, ATA data are 16-bit words (and log
// quadwords) stored low byte first. Every multi-byte field of src/ is read and written
// through these helpers.
#pragma once

#include <cstddef>
#include <cstdint>

// Big-endian fields of n bytes at p.
inline uint32_t get_be16(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 8 | p[1];
}
inline uint32_t get_be24(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
}
inline uint32_t get_be32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | get_be24(p + 1);
}
inline uint64_t get_be64(const uint8_t *p) {
    return static_cast<uint64_t>(get_be32(p)) << 32 | get_be32(p + 4);
}

// Stores the low 16 / 24 / 32 bits of v at p, most significant byte first.
inline void put_be16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void put_be24(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 16);
    put_be16(p + 1, v);
}
inline void put_be32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    put_be24(p + 1, v);
}

// Little-endian fields: an ATA word, a quadword of an ATA log page.
inline uint16_t get_le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
inline uint64_t get_le64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = v << 8 | p[i];
    }
    return v;
}

// Word n of 512 bytes of IDENTIFY DEVICE data (or of any ATA data block).
inline uint16_t ata_word(const uint8_t *data, int n) {
    return get_le16(data + 2 * static_cast<ptrdiff_t>(n));
}
