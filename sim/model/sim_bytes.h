// Byte helpers of the simulated drive bay: big-endian fields, ATA strings, hex text, CRC-32.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// Writes the low 16/24/32 bits of v big-endian at p.
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

inline void put_be64(uint8_t *p, uint64_t v) {
    put_be32(p, static_cast<uint32_t>(v >> 32));
    put_be32(p + 4, static_cast<uint32_t>(v));
}

// Reads a big-endian 16/24/32/64-bit field at p.
inline uint32_t get_be16(const uint8_t *p) {
    return (uint32_t{p[0]} << 8) | p[1];
}
inline uint32_t get_be24(const uint8_t *p) {
    return (uint32_t{p[0]} << 16) | get_be16(p + 1);
}
inline uint32_t get_be32(const uint8_t *p) {
    return (uint32_t{p[0]} << 24) | get_be24(p + 1);
}
inline uint64_t get_be64(const uint8_t *p) {
    return uint64_t{get_be32(p)} << 32 | get_be32(p + 4);
}

// Copies text into dst[0..len), padded with blanks and cut at len; SCSI INQUIRY fields and
// the image header hold their strings this way.
void put_padded(uint8_t *dst, size_t len, const std::string &text);

// Copies text into dst[0..len) as an ATA string: blank padded, and the two characters of
// each 16-bit word stored with the first one in the high-order (second) byte.
void put_ata_string(uint8_t *dst, size_t len, const std::string &text);

// The len bytes of an ATA string at src as text (the inverse of put_ata_string).
std::string get_ata_string(const uint8_t *src, size_t len);

// The text with the blanks at both ends removed; trim_trailing only those at its end.
std::string trim_blanks(const std::string &text);
std::string trim_trailing(const std::string &text);

// The text with every byte outside printable ASCII, and the backslash, written as \xHH
// (\\ for the backslash), so that a drive string holding NUL or control bytes prints whole
// and cannot move the cursor.
std::string visible(const std::string &text);

// Lower-case hex of the bytes without separators ("a1082a"); hex_spaced puts a blank
// between bytes ("a1 08 2a").
std::string to_hex(std::span<const uint8_t> bytes);
std::string to_hex_spaced(std::span<const uint8_t> bytes);

// Parses hex text with optional blanks between bytes. Returns false on anything else.
bool parse_hex(const std::string &text, std::vector<uint8_t> &out);

// The bytes of a hex constant of the model, zero-padded to at least min_len bytes.
std::vector<uint8_t> hex_bytes(const char *text, size_t min_len = 0);

// zlib's CRC-32 of the bytes.
uint32_t crc32_of(std::span<const uint8_t> bytes);

// Returns crc (a CRC-32 of earlier bytes, 0 for none) carried on over bytes, so that a
// stream can be summed piece by piece.
uint32_t crc32_update(uint32_t crc, std::span<const uint8_t> bytes);
