#include "image.h"

#include <algorithm>
#include <cstring>

#include "drive_reset.h"
#include "sim_bytes.h"

static const char k_image_magic[] = "SGSIMFW1";

std::vector<uint8_t> make_image(const std::string &model, const std::string &revision,
                                size_t total_size) {
    if (total_size < k_image_header_len || total_size > 0xffffffffu ||
        model.size() > k_image_model_len || revision.size() > k_image_revision_len)
        return {};
    std::vector<uint8_t> img(total_size, 0);
    std::memcpy(img.data(), k_image_magic, 8);
    put_padded(&img[8], k_image_model_len, model);
    put_padded(&img[48], k_image_revision_len, revision);
    // The payload is a simple generator seeded from the identity, so that two images for
    // different revisions differ everywhere.
    std::string seed_text = model + "/" + revision;
    uint32_t x = crc32_of({reinterpret_cast<const uint8_t *>(seed_text.data()), seed_text.size()});
    for (size_t i = k_image_header_len; i < total_size; i++) {
        x = x * 1664525u + 1013904223u;
        img[i] = static_cast<uint8_t>(x >> 24);
    }
    std::span<const uint8_t> payload(img.data() + k_image_header_len,
                                     total_size - k_image_header_len);
    put_be32(&img[56], static_cast<uint32_t>(payload.size()));
    put_be32(&img[60], crc32_of(payload));
    return img;
}

bool parse_image_header(std::span<const uint8_t> bytes, ImageHeader &out) {
    if (bytes.size() < k_image_header_len || std::memcmp(bytes.data(), k_image_magic, 8) != 0)
        return false;
    out.model =
        trim_blanks(std::string(reinterpret_cast<const char *>(&bytes[8]), k_image_model_len));
    out.revision =
        trim_blanks(std::string(reinterpret_cast<const char *>(&bytes[48]), k_image_revision_len));
    out.payload_len = get_be32(&bytes[56]);
    out.crc = get_be32(&bytes[60]);
    return true;
}

std::string image_model_of(const Drive &d) {
    return trim_blanks(d.type == DriveType::sata ? d.model : d.product);
}

// Judges the bytes received so far by the validating drive's rules; a complete image's
// revision goes to revision.
static ChunkResult judge_image(const Drive &d, bool whole, std::string &revision) {
    const PendingDownload &got = d.rt.download;
    if (got.received < k_image_header_len)
        return whole ? ChunkResult::refused_image : ChunkResult::more;
    ImageHeader h;
    if (!parse_image_header(got.header, h) || h.model != image_model_of(d))
        return ChunkResult::refused_image;
    uint64_t total = k_image_header_len + uint64_t{h.payload_len};
    if (got.received < total)
        return whole ? ChunkResult::refused_image : ChunkResult::more;
    if (got.received - total >= 512)
        return ChunkResult::refused_image;
    if (got.payload_crc != h.crc)
        return ChunkResult::refused_image;
    revision = h.revision;
    return ChunkResult::applied;
}

// Adds a command's bytes to the download: the header bytes are kept, the payload bytes
// only summed (as far as the header's payload length reaches; padding is counted only).
static void receive(PendingDownload &got, std::span<const uint8_t> bytes) {
    size_t at = 0;
    if (got.received < k_image_header_len) {
        at = std::min(bytes.size(), static_cast<size_t>(k_image_header_len - got.received));
        std::span<const uint8_t> head = bytes.first(at);
        got.header.insert(got.header.end(), head.begin(), head.end());
        got.received += at;
    }
    if (at < bytes.size() && got.header.size() == k_image_header_len) {
        uint64_t total = k_image_header_len + uint64_t{get_be32(&got.header[56])};
        uint64_t left = got.received < total ? total - got.received : 0;
        size_t n = static_cast<size_t>(std::min<uint64_t>(left, bytes.size() - at));
        got.payload_crc = crc32_update(got.payload_crc, bytes.subspan(at, n));
    }
    got.received += bytes.size() - at;
}

// Puts a complete download in place: current at once, or staged.
static ChunkResult complete(Drive &d, bool deferred, const std::string &revision) {
    if (deferred) {
        d.staged = true;
        d.staged_revision = revision;
        return ChunkResult::staged;
    }
    d.revision = revision;
    d.staged = false;
    d.staged_revision.clear();
    start_reset(d);
    return ChunkResult::applied;
}

ChunkResult take_chunk(Drive &d, bool whole, bool deferred, uint32_t offset,
                       std::span<const uint8_t> bytes) {
    PendingDownload &got = d.rt.download;
    if (whole || offset == 0) {
        got = PendingDownload{};
        got.deferred = deferred;
    } else if (got.received == 0 || offset != got.received || got.deferred != deferred) {
        got = PendingDownload{};
        return ChunkResult::refused_order;
    }
    receive(got, bytes);

    if (d.fw_mode != FirmwareMode::validate) {
        // A drive that takes any bytes completes the download with each command, and keeps
        // the count so that the next offset can continue it.
        bool moves = d.fw_mode == FirmwareMode::accept_any && !d.fw_target.empty();
        std::string revision = moves ? d.fw_target : d.revision;
        ChunkResult r = complete(d, deferred, revision);
        if (whole)
            got = PendingDownload{};
        return r;
    }
    std::string revision;
    ChunkResult r = judge_image(d, whole, revision);
    if (r == ChunkResult::applied)
        r = complete(d, deferred, revision);
    if (r != ChunkResult::more)
        got = PendingDownload{};
    return r;
}

bool activate_staged(Drive &d) {
    if (!d.staged)
        return false;
    d.revision = d.staged_revision;
    d.staged = false;
    d.staged_revision.clear();
    return true;
}

void power_cycle(Drive &d) {
    activate_staged(d);
    d.rt.download = PendingDownload{};
    if (d.type == DriveType::scsi) {
        d.unit_attention = false;
        d.power_on_attention = true;
    }
    start_reset(d);
}
