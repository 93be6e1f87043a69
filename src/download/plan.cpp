#include "download/plan.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

SegmentSizes cut(uint32_t length, uint32_t segment_size, uint32_t segment_blocks) {
    SegmentSizes s{};
    s.segment_size = segment_size;
    s.segment_blocks = segment_blocks;
    if (segment_size == 0) {
        s.remainder = length;
        return s;
    }
    s.full_segments = length / segment_size;
    s.remainder = length % segment_size;
    return s;
}

bool has_offsets(const DownloadMethod &m) {
    return m.segmenting == Segmenting::offsets || m.segmenting == Segmenting::staged;
}

SegmentSizes sizes_of(const DownloadMethod &m, uint16_t segment, uint32_t length) {
    if (m.segmenting == Segmenting::none) {
        return SegmentSizes{0, 0, 1, 0};
    }
    if (m.sender == SENDER_WRITE_BUFFER) {
        if (has_offsets(m)) {
            return cut(length, uint32_t{segment} * k_block_size, 0);
        }
        return cut(length, std::min(length, k_unsegmented_max), 0);
    }
    if (has_offsets(m) && segment != 0) {
        return cut(length, uint32_t{segment} * k_block_size, segment);
    }
    uint32_t size = std::min(length, k_unsegmented_max);
    return cut(length, size, size / k_block_size);
}

Refusal accepted() {
    return Refusal{};
}

template <typename... Args> Refusal refused(const char *format, Args... args) {
    Refusal r{};
    r.refused = true;
    snprintf(r.reason, sizeof r.reason, format, args...);
    return r;
}

} // namespace

DownloadPlan plan_download(const DownloadMethod &method, uint16_t segment, uint32_t image_length) {
    DownloadPlan p{};
    p.method = method;
    p.segment = segment;
    p.image_length = image_length;
    p.sizes = sizes_of(method, segment, image_length);
    return p;
}

uint32_t plan_command_count(const DownloadPlan &plan) {
    return plan.sizes.full_segments + (plan.sizes.remainder != 0 ? 1 : 0);
}

PlannedCommand plan_command(const DownloadPlan &plan, uint32_t index) {
    const SegmentSizes &sizes = plan.sizes;
    const DownloadMethod &m = plan.method;
    PlannedCommand c{};
    c.offset = index * sizes.segment_size;
    c.final_piece = index >= sizes.full_segments;
    c.length = c.final_piece ? sizes.remainder : sizes.segment_size;
    if (m.sender == SENDER_WRITE_BUFFER) {
        c.cdb_len = WRITE_BUFFER_CDB_LEN;
        build_write_buffer_cdb(c.cdb, m.code, c.offset, c.length);
        return c;
    }
    AtaTaskfile tf = download_microcode_non_data_taskfile(m.code);
    if (m.segmenting != Segmenting::none) {
        uint32_t blocks = c.final_piece ? sizes.remainder / k_block_size : sizes.segment_blocks;
        tf = download_microcode_taskfile(m.code, blocks, index * sizes.segment_blocks);
    }
    c.cdb_len = build_ata_command_cdb(c.cdb, tf);
    return c;
}

std::vector<PlannedCommand> plan_commands(const DownloadPlan &plan) {
    std::vector<PlannedCommand> commands;
    for (uint32_t i = 0; i < plan_command_count(plan); ++i) {
        commands.push_back(plan_command(plan, i));
    }
    return commands;
}

std::string plan_text(const DownloadPlan &p) {
    char text[96];
    const SegmentSizes &z = p.sizes;
    uint32_t commands = plan_command_count(p);
    if (p.segment == 0) {
        return "in one command";
    }
    if (z.full_segments == 0) {
        snprintf(text, sizeof text, "in 1 segment of %u bytes", z.remainder);
    } else if (z.remainder == 0) {
        snprintf(text, sizeof text, "in %u segment%s of %u bytes", commands,
                 commands == 1 ? "" : "s", z.segment_size);
    } else {
        snprintf(text, sizeof text, "in %u segments of %u bytes, the last of %u bytes", commands,
                 z.segment_size, z.remainder);
    }
    return text;
}

Refusal check_image_length(long long length) {
    if (length > INT32_MAX) {
        return refused("image of %lld bytes does not fit the 32-bit image length; nothing sent",
                       length);
    }
    return accepted();
}

Refusal check_plan_image(const DownloadPlan &plan) {
    const DownloadMethod &m = plan.method;
    uint32_t length = plan.image_length;
    bool ata = m.sender == SENDER_ATA_PASSTHROUGH;
    if (!ata && has_offsets(m) && plan.segment == 0) {
        return refused("mode 0x%x needs a segment count of at least 1; nothing sent",
                       unsigned{m.code});
    }
    // What the address field of each method can reach: BUFFER OFFSET holds 24 bits, the
    // block offset 16.
    uint32_t reach = ata ? k_ata_image_max : k_write_buffer_image_max;
    if (length > reach) {
        return refused("image of %u bytes is longer than the %u bytes that %s can address; "
                       "nothing sent",
                       length, reach, ata ? "a 16-bit block offset" : "BUFFER OFFSET");
    }
    if (ata && length % k_block_size != 0) {
        return refused("image of %u bytes is not a whole number of %u-byte blocks; nothing "
                       "sent",
                       length, k_block_size);
    }
    if (!has_offsets(m) && length > k_unsegmented_max) {
        return refused("image of %u bytes is longer than the %u bytes that %s 0x%x sends in one "
                       "command; give a segment count to send it with offsets; nothing sent",
                       length, k_unsegmented_max, ata ? "subcommand" : "mode", unsigned{m.code});
    }
    return accepted();
}

std::string image_refusal(const DownloadPlan &plan) {
    if (plan.image_length == 0) {
        return "the image is empty";
    }
    Refusal r = check_plan_image(plan);
    return r.refused ? r.reason : "";
}
