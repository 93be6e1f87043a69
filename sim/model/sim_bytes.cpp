#include "sim_bytes.h"

#include <zlib.h>

void put_padded(uint8_t *dst, size_t len, const std::string &text) {
    for (size_t i = 0; i < len; i++)
        dst[i] = i < text.size() ? static_cast<uint8_t>(text[i]) : ' ';
}

void put_ata_string(uint8_t *dst, size_t len, const std::string &text) {
    for (size_t i = 0; i < len; i++) {
        uint8_t c = i < text.size() ? static_cast<uint8_t>(text[i]) : ' ';
        dst[i ^ 1] = c;
    }
}

std::string get_ata_string(const uint8_t *src, size_t len) {
    std::string s(len, ' ');
    for (size_t i = 0; i < len; i++)
        s[i] = static_cast<char>(src[i ^ 1]);
    return s;
}

std::string trim_trailing(const std::string &text) {
    size_t last = text.find_last_not_of(' ');
    return last == std::string::npos ? "" : text.substr(0, last + 1);
}

std::string visible(const std::string &text) {
    static const char k_digits[] = "0123456789abcdef";
    std::string out;
    for (char ch : text) {
        auto c = static_cast<uint8_t>(ch);
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7f) {
            out += ch;
        } else {
            out += "\\x";
            out += k_digits[c >> 4];
            out += k_digits[c & 15];
        }
    }
    return out;
}

std::string trim_blanks(const std::string &text) {
    size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return "";
    size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

static const char k_hex_digits[] = "0123456789abcdef";

std::string to_hex(std::span<const uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out += k_hex_digits[b >> 4];
        out += k_hex_digits[b & 15];
    }
    return out;
}

std::string to_hex_spaced(std::span<const uint8_t> bytes) {
    std::string out;
    for (uint8_t b : bytes) {
        if (!out.empty())
            out += ' ';
        out += k_hex_digits[b >> 4];
        out += k_hex_digits[b & 15];
    }
    return out;
}

static int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parse_hex(const std::string &text, std::vector<uint8_t> &out) {
    out.clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\n' || c == ',') {
            if (high >= 0)
                return false; // a byte is always two digits
            continue;
        }
        int v = hex_value(c);
        if (v < 0)
            return false;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return high < 0;
}

std::vector<uint8_t> hex_bytes(const char *text, size_t min_len) {
    std::vector<uint8_t> out;
    parse_hex(text, out);
    if (out.size() < min_len)
        out.resize(min_len, 0);
    return out;
}

uint32_t crc32_update(uint32_t crc, std::span<const uint8_t> bytes) {
    uLong c = crc;
    // zlib takes lengths as uInt; feed large buffers in pieces.
    const uint8_t *p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        uInt n = left > 0x40000000u ? 0x40000000u : static_cast<uInt>(left);
        c = crc32(c, p, n);
        p += n;
        left -= n;
    }
    return static_cast<uint32_t>(c);
}

uint32_t crc32_of(std::span<const uint8_t> bytes) {
    return crc32_update(static_cast<uint32_t>(crc32(0L, Z_NULL, 0)), bytes);
}
