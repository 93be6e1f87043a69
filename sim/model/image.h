// Simulated firmware images and how a drive takes them.
//
// Image layout (all of it is what the drive receives):
// bytes 0-7:   magic "SGSIMFW1"
// bytes 8-47:  target model, blank padded (SATA: the IDENTIFY model; SCSI: the product)
// bytes 48-55: new revision, blank padded
// bytes 56-59: payload length, big-endian
// bytes 60-63: CRC-32 of the payload (zlib), big-endian
// bytes 64-:   payload
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "drive.h"

inline constexpr size_t k_image_header_len = 64;
inline constexpr size_t k_image_model_len = 40;
inline constexpr size_t k_image_revision_len = 8;

struct ImageHeader {
    std::string model;    // blanks trimmed
    std::string revision; // blanks trimmed
    uint32_t payload_len = 0;
    uint32_t crc = 0;
};

// Builds an image of total_size bytes (header included) with a payload that depends on
// model and revision. Returns an empty vector when total_size is below the header length
// or a text does not fit its field.
std::vector<uint8_t> make_image(const std::string &model, const std::string &revision,
                                size_t total_size);

// Reads the header. Returns false when fewer than 64 bytes are given or the magic is wrong.
bool parse_image_header(std::span<const uint8_t> bytes, ImageHeader &out);

// The model name an image must carry for this drive.
std::string image_model_of(const Drive &d);

enum class ChunkResult {
    more,          // taken; the drive waits for the rest of the image
    applied,       // the image is complete and active
    staged,        // the image is complete and kept as staged microcode
    refused_image, // not an image for this drive, damaged, or too long
    refused_order, // an offset that does not continue the download
};

// Takes one download command's bytes. whole: the command must carry a complete image
// (WRITE BUFFER 05h, DOWNLOAD MICROCODE 07h); otherwise offset is the byte offset of the
// bytes (0 starts a new download, anything else must continue it, with the same deferral).
// deferred: a staging command (WRITE BUFFER 0Dh/0Eh, DOWNLOAD MICROCODE 0Eh). The image's
// revision (validate), the target (accept_any) or the current revision (keep_revision)
// becomes the drive's revision on `applied`, replacing anything staged (and the drive resets,
// start_reset), or its staged microcode on `staged`. A complete image may end with less than
// one 512-byte block of padding. Drives that take any bytes (accept_any, keep_revision)
// apply every command, so a segmented download to one meets its own reset.
ChunkResult take_chunk(Drive &d, bool whole, bool deferred, uint32_t offset,
                       std::span<const uint8_t> bytes);

// Makes the staged microcode current, as an activation or a power-on does. Returns false
// when nothing was staged.
bool activate_staged(Drive &d);

// A power cycle of the drive: staged microcode becomes current, a download in progress is
// lost, and a SCSI drive reports 29h/00h (POWER ON, RESET, OR BUS DEVICE RESET OCCURRED) to
// the next command other than INQUIRY, in place of any unit attention it held; the drive then
// resets as the bay asks (start_reset).
void power_cycle(Drive &d);
