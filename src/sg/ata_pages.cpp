#include "sg/ata_pages.h"

#include "base/bytes.h"

#include <cstring>

namespace {

// IDENTIFY DEVICE data, by word (two bytes each, low byte first). ATA strings hold two
// characters in each word with the first character in the high-order byte, so in byte order
// each pair stands swapped.
//   0        compared with the answer to the plain firmware request
//   10-19    serial number, 20 characters
//   23-26    firmware revision, 8 characters
//   27-46    model number, 40 characters
//   83       bit 0: DOWNLOAD MICROCODE supported; the word counts when bits 15:14 are 01b
//   86       bit 15: words 119-120 are valid
//   119      bit 4: DOWNLOAD MICROCODE with offsets (03h) supported; bits 15:14 01b as for 83
//   137      high-order byte 'P' (50h): the drive answers the dotted firmware request
//   234-235  minimum and maximum 512-byte blocks per 03h command; 0 and FFFFh: none stated
constexpr int k_word_serial = 10;
constexpr int k_serial_chars = 20;
constexpr int k_word_firmware = 23;
constexpr int k_firmware_chars = 8;
constexpr int k_word_model = 27;
constexpr int k_model_chars = 40;
constexpr int k_word_support = 83;
constexpr int k_word_enabled = 86;
constexpr int k_word_support2 = 119;
constexpr int k_word_dotted_flag = 137;
constexpr uint8_t k_dotted_flag_value = 0x50;
constexpr int k_word_min_blocks = 234;
constexpr int k_word_max_blocks = 235;

// Answers to the firmware requests, by byte.
//   0-39     the revision text (dot-separated fields for the dotted request)
//   464-467  the suffix of the dotted request
constexpr int k_fw_text_len = 40;
constexpr int k_dotted_suffix_offset = 464;
constexpr int k_dotted_suffix_len = 4;
// The dotted revision keeps this many fields of the text.
constexpr int k_dotted_fields = 4;

// Page 03h of the IDENTIFY DEVICE data log, 512 bytes of quadwords, low byte first:
//   byte 2: the page number of the header quadword (bytes 0-7)
//   bytes 16-23: DOWNLOAD MICROCODE capabilities: bit 63 the quadword is valid, bit 34
//   deferred microcode (0Eh) supported, bits 31:16 maximum and 15:0 minimum blocks per
//   command (0 and FFFFh: none stated)
constexpr int k_log_page_number = 2;
constexpr int k_log_dm_capabilities = 16;

int byte_of_word(int word) {
    return 2 * word;
}

bool word_valid(uint16_t word) {
    return (word >> 14) == 1;
}

std::optional<uint16_t> stated_blocks(uint16_t value) {
    if (value == 0 || value == 0xFFFF) {
        return std::nullopt;
    }
    return value;
}

// Stores b at *pos unless it is ATA whitespace. The last byte of buf is never written, so
// the cleared buffer keeps its terminating NUL whatever the answer holds.
// Returns true when b was stored.
bool store_fw_byte(char *buf, int len, int *pos, uint8_t b) {
    if (is_ata_string_whitespace(b) || *pos >= len - 1) {
        return false;
    }
    buf[(*pos)++] = static_cast<char>(b);
    return true;
}

// Takes the ATA string of chars characters from word `word` of the IDENTIFY data into buf
// (chars + 1 bytes): pairs put back in order, whitespace trimmed from both ends, the rest
// cleared. Returns the length of the text.
int extract_ata_string(const uint8_t *identify, int word, int chars, char *buf) {
    const uint8_t *from = identify + byte_of_word(word);
    for (int i = 0; i < chars; i += 2) {
        buf[i] = static_cast<char>(from[i + 1]);
        buf[i + 1] = static_cast<char>(from[i]);
    }
    buf[chars] = '\0';
    int length = static_cast<int>(strnlen(buf, static_cast<size_t>(chars)));
    int lead = 0;
    while (lead < length && is_ata_string_whitespace(static_cast<uint8_t>(buf[lead]))) {
        ++lead;
    }
    std::memmove(buf, buf + lead, static_cast<size_t>(length - lead));
    length -= lead;
    while (length > 0 && is_ata_string_whitespace(static_cast<uint8_t>(buf[length - 1]))) {
        --length;
    }
    // Whatever the move and the trim left behind the text is cleared with the terminator.
    std::memset(buf + length, 0, static_cast<size_t>(chars + 1 - length));
    return length;
}

} // namespace

bool is_ata_string_whitespace(uint8_t c) {
    return c != 0 && std::strchr(ata_string_whitespace, c) != nullptr;
}

int extract_model(const uint8_t *identify, char *buf) {
    return extract_ata_string(identify, k_word_model, k_model_chars, buf);
}

int extract_ata_serial(const uint8_t *identify, char *buf) {
    return extract_ata_string(identify, k_word_serial, k_serial_chars, buf);
}

bool wants_dotted_fw_request(const uint8_t *identify) {
    return (ata_word(identify, k_word_dotted_flag) >> 8) == k_dotted_flag_value;
}

IdentifyFirmware identify_firmware(const uint8_t *identify) {
    IdentifyFirmware kept{};
    std::memcpy(kept.word0, identify, sizeof kept.word0);
    std::memcpy(kept.firmware, identify + byte_of_word(k_word_firmware), k_firmware_chars);
    return kept;
}

int store_identify_fw(const IdentifyFirmware &kept, char *buf, int len) {
    int count = 0;
    for (int i = 0; i < k_firmware_chars; i += 2) {
        store_fw_byte(buf, len, &count, kept.firmware[i + 1]);
        store_fw_byte(buf, len, &count, kept.firmware[i]);
    }
    return count;
}

int assemble_dotted_fw(const uint8_t *answer, char *buf, int len) {
    int count = 0;
    int dots_left = k_dotted_fields;
    for (int i = 0; i < k_fw_text_len; ++i) {
        uint8_t b = answer[i];
        if (b == 0) {
            break;
        }
        // The first fields and the dots between them are kept; the dot that would open one
        // field too many ends the text.
        if (b == '.' && --dots_left == 0) {
            break;
        }
        store_fw_byte(buf, len, &count, b);
    }
    // The suffix goes one place further on, leaving room for the dot that joins it; a NUL in
    // the suffix is stored like any other byte.
    int suffix_pos = count + 1;
    bool suffix_stored = false;
    for (int i = 0; i < k_dotted_suffix_len; ++i) {
        suffix_stored |= store_fw_byte(buf, len, &suffix_pos, answer[k_dotted_suffix_offset + i]);
    }
    if (suffix_stored) {
        buf[count] = '.';
        count = suffix_pos;
    }
    return count;
}

int assemble_plain_fw(const IdentifyFirmware &kept, const uint8_t *answer, char *buf, int len) {
    // A drive that ignores the request answers with IDENTIFY data again (or transfers nothing,
    // leaving it in place); the revision is then the one IDENTIFY gave, pairs put in order.
    if (answer[0] == kept.word0[0] && answer[1] == kept.word0[1]) {
        return store_identify_fw(kept, buf, len);
    }
    int count = 0;
    for (int i = 0; i < k_fw_text_len && answer[i] != 0; ++i) {
        store_fw_byte(buf, len, &count, answer[i]);
    }
    return count;
}

IdentifyStatements parse_identify_statements(const uint8_t *identify) {
    IdentifyStatements s;
    uint16_t support = ata_word(identify, k_word_support);
    if (word_valid(support)) {
        s.download_supported = (support & 0x0001) != 0;
    }
    uint16_t support2 = ata_word(identify, k_word_support2);
    if ((ata_word(identify, k_word_enabled) & 0x8000) != 0 && word_valid(support2)) {
        s.segmented_supported = (support2 & 0x0010) != 0;
    }
    s.min_blocks = stated_blocks(ata_word(identify, k_word_min_blocks));
    s.max_blocks = stated_blocks(ata_word(identify, k_word_max_blocks));
    return s;
}

CapabilitiesPage parse_capabilities_page(const uint8_t *page) {
    CapabilitiesPage c;
    if (page[k_log_page_number] != ATA_LOG_PAGE_CAPABILITIES) {
        return c;
    }
    c.read = true;
    uint64_t q = get_le64(page + k_log_dm_capabilities);
    if ((q >> 63) == 0) {
        return c;
    }
    c.deferred_supported = (q >> 34 & 1) != 0;
    c.min_blocks = stated_blocks(static_cast<uint16_t>(q));
    c.max_blocks = stated_blocks(static_cast<uint16_t>(q >> 16));
    return c;
}
