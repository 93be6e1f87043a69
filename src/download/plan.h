// The download plan: what a run sends for one image, built once from the method, the segment
// size and the image length. --preflight prints it and the run sends exactly it. Everything
// here is a pure function of its arguments: nothing prints and nothing talks to a device.
#pragma once

#include "download/methods.h"
#include "sg/cdb.h"
#include "sg/verdict.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr uint32_t k_block_size = 512;
// The most one command moves when the image goes unsegmented.
inline constexpr uint32_t k_unsegmented_max = 8u * 1024 * 1024;
// BUFFER OFFSET holds 24 bits: no command can start at 16 MiB or beyond.
inline constexpr uint32_t k_write_buffer_image_max = 16u * 1024 * 1024;
// The block offset holds 16 bits: no command can start at block 65,536 or beyond.
inline constexpr uint32_t k_ata_image_max = 32u * 1024 * 1024;
// Drives that commit an image take far longer than an identification command.
inline constexpr uint32_t k_download_timeout_ms = 120000;

// How an image of a given length is cut into commands.
struct SegmentSizes {
    uint32_t segment_size;   // bytes of each full segment
    uint32_t segment_blocks; // 512-byte blocks of each full segment (ATA only; 0 for WRITE BUFFER)
    uint32_t full_segments;  // number of full segments
    uint32_t remainder;      // bytes of the final piece; 0 when there is none
};

// What one download sends.
struct DownloadPlan {
    DownloadMethod method;
    uint32_t image_length;
    // What the sender is given: the segment count (WRITE BUFFER) or the blocks per segment
    // (DOWNLOAD MICROCODE); 0: unsegmented.
    uint16_t segment;
    SegmentSizes sizes;
};

// Plans method for an image of image_length bytes in segments of `segment` blocks. WRITE
// BUFFER: segments of segment * 512 bytes in the modes with offsets (a zero segment size
// yields no full segment and the whole length as the final piece), else the smaller of the
// length and 8 MiB. DOWNLOAD MICROCODE: segment blocks with a subcommand with offsets and a
// nonzero count, else the smaller of the length and 8 MiB. A method without data is one
// command.
DownloadPlan plan_download(const DownloadMethod &method, uint16_t segment, uint32_t image_length);

// Returns the number of commands of the plan (full segments and final piece).
uint32_t plan_command_count(const DownloadPlan &plan);

// One command of a download: where its data lies in the image and its CDB.
struct PlannedCommand {
    uint32_t offset; // byte offset of the command's data in the image
    uint32_t length; // bytes the command sends
    bool final_piece;
    uint8_t cdb[MAX_CDB_LEN];
    uint8_t cdb_len;
};

// Returns command index (0 .. plan_command_count - 1) of the plan. A DOWNLOAD MICROCODE final
// piece carries its byte count in whole blocks, rounded down.
PlannedCommand plan_command(const DownloadPlan &plan, uint32_t index);

// Returns every command of the plan, in the order they are sent.
std::vector<PlannedCommand> plan_commands(const DownloadPlan &plan);

// "in one command", "in 3 segments of 32768 bytes, the last of 4464 bytes".
std::string plan_text(const DownloadPlan &plan);

// The answer of a check: ok, or the reason (one line, no newline) why not.
struct Refusal {
    bool refused;
    char reason[k_reason_len];
};

// Checks that a measured file length fits the 32-bit image length.
Refusal check_image_length(long long length);

// Checks that the nonempty image of the plan can reach the drive intact. WRITE BUFFER: at
// most 16 MiB, a segment count with the modes with offsets, and at most 8 MiB in a mode
// without offsets (each piece would be taken as a complete image). DOWNLOAD MICROCODE: at
// most 32 MiB, whole 512-byte blocks, and at most 8 MiB with a subcommand without offsets.
Refusal check_plan_image(const DownloadPlan &plan);

// Why the sender would refuse the image before sending anything (empty, or check_plan_image);
// empty when it would not.
std::string image_refusal(const DownloadPlan &plan);
