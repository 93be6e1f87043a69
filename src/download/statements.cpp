#include "download/statements.h"

#include "sg/identify.h"

#include <cstdarg>
#include <cstdio>

namespace {

constexpr uint16_t k_stage_default_blocks = 64;
// A WRITE BUFFER segment count holds 8 bits.
constexpr uint32_t k_max_segment_count = 255;

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
void check_blocks(const DownloadPlan &p, std::optional<uint16_t> min, std::optional<uint16_t> max,
                  const char *min_source, const char *max_source, std::vector<std::string> &out) {
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

void check_ata(const DriveStatements &s, const DownloadPlan &p, std::vector<std::string> &out) {
    unsigned code = p.method.code;
    if (s.identify.download_supported == false) {
        refuse(out,
               "IDENTIFY word 83 states that DOWNLOAD MICROCODE is not supported; the run "
               "sends DOWNLOAD MICROCODE 0x%02x",
               code);
    }
    if (p.method.code == DLMC_OFFSETS_SAVE) {
        if (s.identify.segmented_supported == false) {
            refuse(out, "IDENTIFY word 119 states that DOWNLOAD MICROCODE 0x03 (with offsets) "
                        "is not supported; the run sends 0x03");
        }
        check_blocks(p, s.identify.min_blocks, s.identify.max_blocks, "IDENTIFY word 234",
                     "IDENTIFY word 235", out);
    }
    if (p.method.goal != DownloadGoal::stage) {
        return;
    }
    if (!s.log.read) {
        refuse(out, "the IDENTIFY DEVICE data log (30h, page 03h) could not be read, so the "
                    "drive states nothing about staging; the run stages with 0x0e");
    } else if (s.log.deferred_supported == false) {
        refuse(out, "the IDENTIFY DEVICE data log states that DOWNLOAD MICROCODE 0x0e "
                    "(deferred) is not supported; the run stages with 0x0e");
    }
    check_blocks(p, s.log.min_blocks, s.log.max_blocks, "the IDENTIFY DEVICE data log",
                 "the IDENTIFY DEVICE data log", out);
}

void check_write_buffer(const DriveStatements &s, const DownloadPlan &p,
                        std::vector<std::string> &out) {
    const std::optional<uint8_t> &modes = s.extended_inquiry.download_modes;
    if (modes && !states_download_mode(*modes, p.method.code)) {
        refuse(out,
               "the Extended INQUIRY Data page states the download modes%s; the run sends "
               "WRITE BUFFER mode 0x%02x",
               stated_download_modes(*modes).c_str(), unsigned{p.method.code});
    } else if (modes && p.method.activated_by != 0 &&
               !states_download_mode(*modes, p.method.activated_by)) {
        // Staged microcode that nothing can activate stays staged until a power cycle.
        refuse(out,
               "the drive states no way to activate staged microcode (the Extended INQUIRY Data "
               "page states the download modes%s, not 0x%02x); the run stages with mode 0x%02x",
               stated_download_modes(*modes).c_str(), unsigned{p.method.activated_by},
               unsigned{p.method.code});
    }
    if (!s.read_buffer) {
        return;
    }
    uint32_t commands = plan_command_count(p);
    unsigned n = s.read_buffer->offset_boundary;
    if (commands > 1) {
        uint32_t second = p.sizes.segment_size;
        if (n == OFFSET_ZERO_ONLY) {
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
    const std::optional<uint32_t> &capacity = s.read_buffer->capacity;
    if (capacity && p.image_length > *capacity) {
        refuse(out, "the READ BUFFER descriptor states a buffer of %u bytes; the image is %u bytes",
               *capacity, p.image_length);
    }
}

} // namespace

DriveStatements read_drive_statements(int fd, const uint8_t *identify, DownloadSender sender,
                                      bool stage) {
    DriveStatements s;
    // Keeps what an answered read says; names a read that failed.
    auto answered = [&s](const ReadReply &r, const char *what) {
        if (statement_read_failed(r)) {
            s.unread.push_back(std::string(what) + " (" + describe_answer(r.facts) + ")");
        }
        return r.reply == Reply::answered;
    };
    if (sender == SENDER_ATA_PASSTHROUGH) {
        s.identify = parse_identify_statements(identify);
        uint8_t page[ATA_LOG_PAGE_LEN];
        if (stage && answered(read_capabilities_page(fd, page),
                              "the IDENTIFY DEVICE data log (30h, page 03h)")) {
            s.log = parse_capabilities_page(page);
        }
        return s;
    }
    uint8_t page[INQUIRY_MIN_LEN];
    if (answered(read_extended_inquiry(fd, page), "the Extended INQUIRY Data page (86h)")) {
        s.extended_inquiry = parse_extended_inquiry(page, sizeof page);
    }
    uint8_t desc[READ_BUFFER_DESCRIPTOR_LEN];
    if (answered(read_buffer_descriptor(fd, desc), "the READ BUFFER descriptor")) {
        s.read_buffer = parse_read_buffer_descriptor(desc);
    }
    return s;
}

uint16_t stage_segment_blocks(const DriveStatements &s, DownloadSender sender,
                              uint32_t image_length) {
    if (sender == SENDER_ATA_PASSTHROUGH) {
        if (s.log.max_blocks) {
            return *s.log.max_blocks;
        }
        if (s.log.min_blocks && *s.log.min_blocks > k_stage_default_blocks) {
            return *s.log.min_blocks;
        }
        return k_stage_default_blocks;
    }
    if (s.read_buffer) {
        unsigned n = s.read_buffer->offset_boundary;
        uint32_t blocks = 0;
        if (n == OFFSET_ZERO_ONLY) {
            blocks = (image_length + k_block_size - 1) / k_block_size;
        } else if (n > 15 && n < 32) {
            blocks = 1u << (n - 9);
            // A step no segment count can hold: the whole image in one command, when the
            // stated buffer takes it.
            const std::optional<uint32_t> &capacity = s.read_buffer->capacity;
            if (blocks > k_max_segment_count && (!capacity || image_length <= *capacity)) {
                blocks = (image_length + k_block_size - 1) / k_block_size;
            }
        }
        if (blocks != 0 && blocks <= k_max_segment_count) {
            return static_cast<uint16_t>(blocks);
        }
    }
    return k_stage_default_blocks;
}

DownloadPlan plan_for_run(DownloadSender sender, DownloadGoal goal, uint8_t segment_count,
                          const DriveStatements &s, uint32_t image_length) {
    DownloadMethod m = method_for_goal(sender, goal, segment_count != 0);
    uint16_t segment = segment_count;
    if (m.segmenting == Segmenting::staged && segment_count == 0) {
        segment = stage_segment_blocks(s, sender, image_length);
    }
    return plan_download(m, segment, image_length);
}

std::vector<std::string> plan_notes(const DriveStatements &s, const DownloadPlan &p) {
    std::vector<std::string> notes;
    if (p.method.sender == SENDER_ATA_PASSTHROUGH && p.method.code == DLMC_OFFSETS_SAVE &&
        !s.identify.segmented_supported) {
        notes.emplace_back("the drive does not state segmented download (03h) support, which "
                           "older drives lack: without -s the run sends 07h");
    }
    for (const std::string &what : s.unread) {
        notes.push_back("not stated, its read failed: " + what);
    }
    return notes;
}

std::vector<std::string> check_download(const DriveStatements &s, const DownloadPlan &p) {
    std::vector<std::string> out;
    if (p.method.sender == SENDER_ATA_PASSTHROUGH) {
        check_ata(s, p, out);
    } else {
        check_write_buffer(s, p, out);
    }
    return out;
}
