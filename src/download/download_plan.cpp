#include "download/download_plan.h"

#include <scsi/sg.h>

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

void put_be16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void put_be24(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 16);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v);
}

// cdb[0]: operation code 3Bh
// cdb[1]: mode (the whole byte)
// cdb[2]: buffer id 00h
// cdb[3..5]: buffer offset, big-endian, 24 bits
// cdb[6..8]: parameter list length, big-endian, 24 bits
// cdb[9]: control 00h
void build_write_buffer_cdb(uint8_t *cdb, uint8_t mode, uint32_t offset, uint32_t length) {
    memset(cdb, 0, k_write_buffer_cdb_len);
    cdb[0] = WRITE_BUFFER_OPCODE;
    cdb[1] = mode;
    put_be24(cdb + 3, offset);
    put_be24(cdb + 6, length);
}

// DOWNLOAD MICROCODE in the registers of ATA PASS-THROUGH (12), PIO data-out with the
// transfer length in blocks in COUNT:
//   features = subcommand
//   count = block count (7:0)      LBA (7:0) = block count (15:8)
//   LBA (15:8) = block offset (7:0)   LBA (23:16) = block offset (15:8)
//   device 00h, command 92h
void build_ata_download_cdb(uint8_t *cdb, uint8_t subcommand, uint32_t block_count,
                            uint32_t block_offset) {
    AtaTaskfile tf{};
    tf.protocol = ATA_PROTOCOL_PIO_DATA_OUT;
    tf.length_in_blocks = true;
    tf.length_in_count = true;
    tf.features = subcommand;
    tf.count = block_count & 0xFF;
    tf.lba = (block_count >> 8 & 0xFF) | (block_offset & 0xFFFF) << 8;
    tf.command = ATA_DOWNLOAD_MICROCODE;
    build_ata_pass_through_12(cdb, tf);
}

// cdb[0]: operation code 3Bh
// cdb[1]: mode 0Fh
// cdb[2]: buffer id 00h
// cdb[3..5]: buffer offset 0
// cdb[6..8]: parameter list length 0: no data
// cdb[9]: control 00h
void build_write_buffer_activate_cdb(uint8_t *cdb) {
    build_write_buffer_cdb(cdb, WB_MODE_ACTIVATE_DEFERRED, 0, 0);
}

// DOWNLOAD MICROCODE 0Fh in the registers of ATA PASS-THROUGH (12), non-data, no transfer
// length (A1 06 20 0F 00 00 00 00 00 92 00 00):
//   features = 0Fh   count 00h   LBA 000000h   device 00h   command 92h
void build_ata_activate_cdb(uint8_t *cdb) {
    AtaTaskfile tf{};
    tf.protocol = ATA_PROTOCOL_NON_DATA;
    tf.features = DLMC_ACTIVATE;
    tf.command = ATA_DOWNLOAD_MICROCODE;
    build_ata_pass_through_12(cdb, tf);
}

bool write_buffer_mode_has_offsets(uint8_t mode) {
    return mode == WB_MODE_DOWNLOAD_OFFSETS || mode == WB_MODE_DOWNLOAD_OFFSETS_SAVE ||
           mode == WB_MODE_DOWNLOAD_OFFSETS_DEFER;
}

bool ata_subcommand_has_offsets(uint8_t subcommand) {
    return subcommand == DLMC_OFFSETS_SAVE || subcommand == DLMC_OFFSETS_DEFER;
}

SegmentSizes write_buffer_sizes(uint8_t mode, uint8_t segment_count, uint32_t length) {
    if (write_buffer_mode_has_offsets(mode)) {
        return cut(length, uint32_t{segment_count} * k_block_size, 0);
    }
    return cut(length, std::min(length, k_unsegmented_max), 0);
}

SegmentSizes ata_download_sizes(uint8_t subcommand, uint16_t blocks_per_segment, uint32_t length) {
    if (ata_subcommand_has_offsets(subcommand) && blocks_per_segment != 0) {
        return cut(length, uint32_t{blocks_per_segment} * k_block_size, blocks_per_segment);
    }
    uint32_t size = std::min(length, k_unsegmented_max);
    return cut(length, size, size / k_block_size);
}

uint32_t planned_command_count(const SegmentSizes &sizes) {
    return sizes.full_segments + (sizes.remainder != 0 ? 1 : 0);
}

PlannedCommand write_buffer_command(uint8_t mode, const SegmentSizes &sizes, uint32_t index) {
    PlannedCommand c{};
    c.offset = index * sizes.segment_size;
    c.final_piece = index >= sizes.full_segments;
    c.length = c.final_piece ? sizes.remainder : sizes.segment_size;
    c.cdb_len = k_write_buffer_cdb_len;
    build_write_buffer_cdb(c.cdb, mode, c.offset, c.length);
    return c;
}

PlannedCommand ata_download_command(uint8_t subcommand, const SegmentSizes &sizes, uint32_t index) {
    PlannedCommand c{};
    c.offset = index * sizes.segment_size;
    c.final_piece = index >= sizes.full_segments;
    c.length = c.final_piece ? sizes.remainder : sizes.segment_size;
    c.cdb_len = k_ata_cdb_len;
    uint32_t blocks = c.final_piece ? sizes.remainder / k_block_size : sizes.segment_blocks;
    build_ata_download_cdb(c.cdb, subcommand, blocks, index * sizes.segment_blocks);
    return c;
}

std::vector<PlannedCommand> plan_write_buffer(uint8_t mode, uint8_t segment_count,
                                              uint32_t length) {
    SegmentSizes sizes = write_buffer_sizes(mode, segment_count, length);
    std::vector<PlannedCommand> plan;
    for (uint32_t i = 0; i < planned_command_count(sizes); ++i) {
        plan.push_back(write_buffer_command(mode, sizes, i));
    }
    return plan;
}

std::vector<PlannedCommand> plan_ata_download(uint8_t subcommand, uint16_t blocks_per_segment,
                                              uint32_t length) {
    SegmentSizes sizes = ata_download_sizes(subcommand, blocks_per_segment, length);
    std::vector<PlannedCommand> plan;
    for (uint32_t i = 0; i < planned_command_count(sizes); ++i) {
        plan.push_back(ata_download_command(subcommand, sizes, i));
    }
    return plan;
}

Refusal check_image_length(long long length) {
    if (length > INT32_MAX) {
        return refused("image of %lld bytes does not fit the 32-bit image length; nothing sent",
                       length);
    }
    return accepted();
}

Refusal check_write_buffer_image(uint8_t mode, uint8_t segment_count, uint32_t length) {
    if (write_buffer_mode_has_offsets(mode) && segment_count == 0) {
        return refused("mode 0x%x needs a segment count of at least 1; nothing sent",
                       unsigned{mode});
    }
    if (length > k_write_buffer_image_max) {
        return refused("image of %u bytes is longer than the %u bytes that BUFFER OFFSET can "
                       "address; nothing sent",
                       length, k_write_buffer_image_max);
    }
    if (!write_buffer_mode_has_offsets(mode) && length > k_unsegmented_max) {
        return refused("image of %u bytes is longer than the %u bytes that mode 0x%x sends "
                       "in one command; give a segment count to send it with offsets; "
                       "nothing sent",
                       length, k_unsegmented_max, unsigned{mode});
    }
    return accepted();
}

Refusal check_ata_image(uint8_t subcommand, uint32_t length) {
    if (length > k_ata_image_max) {
        return refused("image of %u bytes is longer than the %u bytes that a 16-bit block "
                       "offset can address; nothing sent",
                       length, k_ata_image_max);
    }
    if (length % k_block_size != 0) {
        return refused("image of %u bytes is not a whole number of %u-byte blocks; nothing "
                       "sent",
                       length, k_block_size);
    }
    if (!ata_subcommand_has_offsets(subcommand) && length > k_unsegmented_max) {
        return refused("image of %u bytes is longer than the %u bytes that subcommand 0x%x "
                       "sends in one command; give a segment count to send it with offsets; "
                       "nothing sent",
                       length, k_unsegmented_max, unsigned{subcommand});
    }
    return accepted();
}

MethodChoice choose_method(ForcedMethod method, bool is_ata) {
    switch (method) {
    case METHOD_WRITE_BUFFER:
        if (is_ata) {
            return {SENDER_WRITE_BUFFER,
                    2,
                    {"WARNING: Option forces WRITE BUFFER CMD method on a ATA drive",
                     "Force write buffer command"}};
        }
        return {SENDER_WRITE_BUFFER, 1, {"Force write buffer command", nullptr}};
    case METHOD_ATA_PASSTHROUGH:
        if (!is_ata) {
            return {SENDER_ATA_PASSTHROUGH,
                    2,
                    {"WARNING: Option forces ATA PASSTHROUGH method on a non ATA drive",
                     "Force ata passthrough"}};
        }
        return {SENDER_ATA_PASSTHROUGH, 1, {"Force ata passthrough", nullptr}};
    case METHOD_AUTO:
    default:
        return {is_ata ? SENDER_ATA_PASSTHROUGH : SENDER_WRITE_BUFFER, 0, {nullptr, nullptr}};
    }
}

SenderArguments sender_arguments(DownloadSender sender, uint8_t segment_count) {
    if (sender == SENDER_ATA_PASSTHROUGH) {
        return {segment_count == 0 ? DLMC_SAVE : DLMC_OFFSETS_SAVE, segment_count};
    }
    return {segment_count == 0 ? WB_MODE_DOWNLOAD_SAVE : WB_MODE_DOWNLOAD_OFFSETS_SAVE,
            segment_count};
}

std::string method_name(DownloadSender sender, uint8_t code) {
    char name[32];
    snprintf(name, sizeof name, "%s %02Xh",
             sender == SENDER_ATA_PASSTHROUGH ? "DOWNLOAD MICROCODE" : "WRITE BUFFER", code);
    return name;
}

SgRequest download_request(int fd, uint8_t *cdb, uint8_t cdb_len) {
    SgRequest req;
    memset(&req, 0, sizeof req);
    req.fd = fd;
    req.cdb = cdb;
    req.cdb_len = cdb_len;
    req.direction = SG_DXFER_TO_DEV;
    req.debug = debug_level > 0 ? 1 : 0;
    req.timeout_ms = k_download_timeout_ms;
    return req;
}
