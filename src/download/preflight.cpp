#include "download/preflight.h"

#include "sg/capabilities.h"
#include "sg/identify.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>

namespace {

// IDENTIFY DEVICE data, by word (two bytes each, low byte first):
//   83   bit 0: DOWNLOAD MICROCODE supported; the word counts when bits 15:14 are 01b
//   86   bit 15: words 119-120 are valid
//   119  bit 4: DOWNLOAD MICROCODE with offsets (03h) supported; bits 15:14 01b as for 83
//   234  minimum and 235 maximum 512-byte blocks per 03h command; 0 and FFFFh: none stated
constexpr int k_word_support = 83;
constexpr int k_word_enabled = 86;
constexpr int k_word_support2 = 119;
constexpr int k_word_min_blocks = 234;
constexpr int k_word_max_blocks = 235;

// Page 03h of the IDENTIFY DEVICE data log, 512 bytes of quadwords, low byte first:
//   byte 2: the page number of the header quadword (bytes 0-7)
//   bytes 16-23: DOWNLOAD MICROCODE capabilities: bit 63 the quadword is valid, bit 34
//   deferred microcode (0Eh) supported, bits 31:16 maximum and 15:0 minimum blocks per
//   command (0 and FFFFh: none stated)
constexpr int k_log_page_number = 2;
constexpr int k_log_dm_capabilities = 16;

// The Extended INQUIRY Data page (86h):
//   byte 1: page code 86h; bytes 2-3: page length, big-endian, of the bytes after byte 3
//   byte 4: ACTIVATE_MICROCODE (7:6)
//   byte 12: DMS_VALID (4)
//   byte 19: DM_MD_4 (7), DM_MD_5 (6), DM_MD_6 (5), DM_MD_7 (4), DM_MD_D (3), DM_MD_E (2),
//            DM_MD_F (1): the WRITE BUFFER download modes supported, when DMS_VALID
constexpr uint32_t k_ei_activate = 4;
constexpr uint32_t k_ei_dms_valid = 12;
constexpr uint32_t k_ei_download_modes = 19;

// The READ BUFFER descriptor: byte 0 the offset boundary, bytes 1-3 the buffer capacity
// (big-endian).
constexpr uint8_t k_offset_zero_only = 0xFF;

constexpr uint16_t k_stage_default_blocks = 64;
// A WRITE BUFFER segment count holds 8 bits.
constexpr uint32_t k_max_segment_count = 255;

uint16_t word_at(const uint8_t *identify, int word) {
    const uint8_t *at = identify + 2 * static_cast<ptrdiff_t>(word);
    return static_cast<uint16_t>(at[0] | at[1] << 8);
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

// The DM_MD bit that states a WRITE BUFFER mode; 0 for a mode the page does not cover.
uint8_t dm_md_bit(uint8_t mode) {
    static const uint8_t k_modes[] = {0x04, 0x05, 0x06, 0x07, 0x0D, 0x0E, 0x0F};
    for (int i = 0; i < 7; ++i) {
        if (k_modes[i] == mode) {
            return static_cast<uint8_t>(0x80 >> i);
        }
    }
    return 0;
}

__attribute__((format(printf, 2, 3))) void refuse(std::vector<std::string> &out, const char *format,
                                                  ...) {
    char line[k_reason_len];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    out.emplace_back(line);
}

// The blocks per command against a stated minimum and maximum. The last piece of an image
// is what remains and is held to the maximum only.
void check_blocks(const PlannedDownload &p, std::optional<uint16_t> min,
                  std::optional<uint16_t> max, const char *min_source, const char *max_source,
                  std::vector<std::string> &out) {
    uint32_t segment = p.sizes.segment_size / k_block_size;
    uint32_t largest = p.sizes.full_segments != 0 ? segment : p.sizes.remainder / k_block_size;
    if (max && largest > *max) {
        refuse(out, "%s states at most %u blocks per command; the run sends %u in one command",
               max_source, unsigned{*max}, largest);
    }
    if (min && p.sizes.full_segments != 0 && segment < *min) {
        refuse(out, "%s states at least %u blocks per command; the run sends segments of %u",
               min_source, unsigned{*min}, segment);
    }
}

void check_ata(const DriveStatements &s, const PlannedDownload &p, std::vector<std::string> &out) {
    unsigned code = p.code;
    if (s.download_supported == false) {
        refuse(out,
               "IDENTIFY word 83 states that DOWNLOAD MICROCODE is not supported; the run "
               "sends DOWNLOAD MICROCODE 0x%02x",
               code);
    }
    if (p.code == DLMC_OFFSETS_SAVE) {
        if (s.segmented_supported == false) {
            refuse(out, "IDENTIFY word 119 states that DOWNLOAD MICROCODE 0x03 (with offsets) "
                        "is not supported; the run sends 0x03");
        }
        check_blocks(p, s.min_blocks, s.max_blocks, "IDENTIFY word 234", "IDENTIFY word 235", out);
    }
    if (p.code != DLMC_OFFSETS_DEFER) {
        return;
    }
    if (!s.log_read) {
        refuse(out, "the IDENTIFY DEVICE data log (30h, page 03h) could not be read, so the "
                    "drive states nothing about staging; the run stages with 0x0e");
    } else if (s.deferred_supported == false) {
        refuse(out, "the IDENTIFY DEVICE data log states that DOWNLOAD MICROCODE 0x0e "
                    "(deferred) is not supported; the run stages with 0x0e");
    }
    check_blocks(p, s.log_min_blocks, s.log_max_blocks, "the IDENTIFY DEVICE data log",
                 "the IDENTIFY DEVICE data log", out);
}

void check_write_buffer(const DriveStatements &s, const PlannedDownload &p,
                        std::vector<std::string> &out) {
    if (s.download_modes && (*s.download_modes & dm_md_bit(p.code)) == 0) {
        std::string modes;
        for (uint8_t mode : {0x04, 0x05, 0x06, 0x07, 0x0D, 0x0E, 0x0F}) {
            if (*s.download_modes & dm_md_bit(mode)) {
                char one[8];
                snprintf(one, sizeof one, " 0x%02x", unsigned{mode});
                modes += one;
            }
        }
        refuse(out,
               "the Extended INQUIRY Data page states the download modes%s; the run sends "
               "WRITE BUFFER mode 0x%02x",
               modes.empty() ? " (none)" : modes.c_str(), unsigned{p.code});
    }
    uint32_t commands = planned_command_count(p.sizes);
    if (s.offset_boundary && commands > 1) {
        unsigned n = *s.offset_boundary;
        uint32_t second = p.sizes.segment_size;
        if (n == k_offset_zero_only) {
            refuse(out,
                   "the READ BUFFER descriptor states that only offset 0 is supported "
                   "(offset boundary 0xff); the run sends %u commands, the second at offset %u",
                   commands, second);
        } else if (n >= 32 || second % (1u << n) != 0) {
            refuse(out,
                   "the READ BUFFER descriptor states an offset boundary of 2^%u bytes; the "
                   "run sends segments of %u bytes",
                   n, second);
        }
    }
    if (s.buffer_capacity && p.image_length > *s.buffer_capacity) {
        refuse(out, "the READ BUFFER descriptor states a buffer of %u bytes; the image is %u bytes",
               *s.buffer_capacity, p.image_length);
    }
}

} // namespace

void parse_identify_statements(const uint8_t *identify, DriveStatements &s) {
    uint16_t support = word_at(identify, k_word_support);
    if (word_valid(support)) {
        s.download_supported = (support & 0x0001) != 0;
    }
    uint16_t support2 = word_at(identify, k_word_support2);
    if ((word_at(identify, k_word_enabled) & 0x8000) != 0 && word_valid(support2)) {
        s.segmented_supported = (support2 & 0x0010) != 0;
    }
    s.min_blocks = stated_blocks(word_at(identify, k_word_min_blocks));
    s.max_blocks = stated_blocks(word_at(identify, k_word_max_blocks));
}

void parse_capabilities_page(const uint8_t *page, DriveStatements &s) {
    if (page[k_log_page_number] != ATA_LOG_PAGE_CAPABILITIES) {
        return;
    }
    s.log_read = true;
    uint64_t q = 0;
    for (int i = 7; i >= 0; --i) {
        q = q << 8 | page[k_log_dm_capabilities + i];
    }
    if ((q >> 63) == 0) {
        return;
    }
    s.deferred_supported = (q >> 34 & 1) != 0;
    s.log_min_blocks = stated_blocks(static_cast<uint16_t>(q));
    s.log_max_blocks = stated_blocks(static_cast<uint16_t>(q >> 16));
}

void parse_extended_inquiry(const uint8_t *page, uint32_t len, DriveStatements &s) {
    if (len < 4 || page[1] != VPD_EXTENDED_INQUIRY) {
        return;
    }
    uint32_t end = 4 + (uint32_t{page[2]} << 8 | page[3]);
    if (end > len) {
        end = len;
    }
    if (k_ei_activate < end) {
        uint8_t activate = page[k_ei_activate] >> 6;
        if (activate == 1 || activate == 2) {
            s.activate_microcode = activate;
        }
    }
    if (k_ei_download_modes < end && (page[k_ei_dms_valid] & 0x10) != 0) {
        s.download_modes = static_cast<uint8_t>(page[k_ei_download_modes] & 0xFE);
    }
}

void parse_read_buffer_descriptor(const uint8_t *desc, DriveStatements &s) {
    s.offset_boundary = desc[0];
    uint32_t capacity = uint32_t{desc[1]} << 16 | uint32_t{desc[2]} << 8 | desc[3];
    // A capacity of 0 tells nothing about how much of an image the buffer takes; the drive
    // judges the download itself.
    if (capacity != 0) {
        s.buffer_capacity = capacity;
    }
}

std::vector<std::string> check_download(const DriveStatements &s, const PlannedDownload &p) {
    std::vector<std::string> out;
    if (p.sender == SENDER_ATA_PASSTHROUGH) {
        check_ata(s, p, out);
    } else {
        check_write_buffer(s, p, out);
    }
    return out;
}

uint16_t stage_segment_blocks(const DriveStatements &s, DownloadSender sender,
                              uint32_t image_length) {
    if (sender == SENDER_ATA_PASSTHROUGH) {
        if (s.log_max_blocks) {
            return *s.log_max_blocks;
        }
        if (s.log_min_blocks && *s.log_min_blocks > k_stage_default_blocks) {
            return *s.log_min_blocks;
        }
        return k_stage_default_blocks;
    }
    if (s.offset_boundary) {
        unsigned n = *s.offset_boundary;
        uint32_t blocks = 0;
        if (n == k_offset_zero_only) {
            blocks = (image_length + k_block_size - 1) / k_block_size;
        } else if (n > 15 && n < 32) {
            blocks = 1u << (n - 9);
        }
        if (blocks != 0 && blocks <= k_max_segment_count) {
            return static_cast<uint16_t>(blocks);
        }
    }
    return k_stage_default_blocks;
}

PlannedDownload plan_download(DownloadSender sender, uint8_t segment_count, bool stage,
                              const DriveStatements &s, uint32_t image_length) {
    PlannedDownload p{};
    p.sender = sender;
    p.image_length = image_length;
    if (stage) {
        // Both methods stage with code 0Eh.
        static_assert(DLMC_OFFSETS_DEFER == WB_MODE_DOWNLOAD_OFFSETS_DEFER);
        p.code = DLMC_OFFSETS_DEFER;
        p.segment =
            segment_count != 0 ? segment_count : stage_segment_blocks(s, sender, image_length);
    } else {
        SenderArguments args = sender_arguments(sender, segment_count);
        p.code = args.code;
        p.segment = args.segment;
    }
    p.sizes = sender == SENDER_ATA_PASSTHROUGH
                  ? ata_download_sizes(p.code, p.segment, image_length)
                  : write_buffer_sizes(p.code, static_cast<uint8_t>(p.segment), image_length);
    return p;
}

std::string image_refusal(const PlannedDownload &p) {
    if (p.image_length == 0) {
        return "the image is empty";
    }
    Refusal r =
        p.sender == SENDER_ATA_PASSTHROUGH
            ? check_ata_image(p.code, p.image_length)
            : check_write_buffer_image(p.code, static_cast<uint8_t>(p.segment), p.image_length);
    return r.refused ? r.reason : "";
}
