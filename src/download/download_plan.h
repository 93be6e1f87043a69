// The protocol half of the firmware download: CDB builders, segment plans, image-size
// checks and the method table. Everything here is a
// pure function of its arguments: nothing prints and nothing talks to a device.
#pragma once

#include "download/download.h"
#include "sg/ata_pass_through.h"
#include "sg/sg_io.h"
#include "sg/verdict.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr uint8_t WRITE_BUFFER_OPCODE = 0x3B;

// WRITE BUFFER modes.
inline constexpr uint8_t WB_MODE_DOWNLOAD_SAVE = 0x05;
inline constexpr uint8_t WB_MODE_DOWNLOAD_OFFSETS = 0x06;
inline constexpr uint8_t WB_MODE_DOWNLOAD_OFFSETS_SAVE = 0x07;
// Download microcode with offsets, save, and defer activate: the image is staged.
inline constexpr uint8_t WB_MODE_DOWNLOAD_OFFSETS_DEFER = 0x0E;
// Activate deferred microcode.
inline constexpr uint8_t WB_MODE_ACTIVATE_DEFERRED = 0x0F;

// DOWNLOAD MICROCODE subcommands, carried in FEATURES.
inline constexpr uint8_t DLMC_OFFSETS_SAVE = 0x03;
inline constexpr uint8_t DLMC_SAVE = 0x07;
// Download with offsets and save microcode for future use: the image is staged.
inline constexpr uint8_t DLMC_OFFSETS_DEFER = 0x0E;
// Activate downloaded microcode.
inline constexpr uint8_t DLMC_ACTIVATE = 0x0F;

inline constexpr uint32_t k_block_size = 512;
// The most one command moves when the image goes unsegmented.
inline constexpr uint32_t k_unsegmented_max = 8u * 1024 * 1024;
// BUFFER OFFSET holds 24 bits: no command can start at 16 MiB or beyond.
inline constexpr uint32_t k_write_buffer_image_max = 16u * 1024 * 1024;
// The block offset holds 16 bits: no command can start at block 65,536 or beyond.
inline constexpr uint32_t k_ata_image_max = 32u * 1024 * 1024;
// Drives that commit an image take far longer than an identification command.
inline constexpr uint32_t k_download_timeout_ms = 120000;

inline constexpr uint8_t k_write_buffer_cdb_len = 10;
inline constexpr uint8_t k_ata_cdb_len = ATA_PASS_THROUGH_12_CDB_LEN;
inline constexpr size_t k_max_cdb_len = 12;

// Stores the low 16 / 24 bits of v at p, most significant byte first.
void put_be16(uint8_t *p, uint32_t v);
void put_be24(uint8_t *p, uint32_t v);

// Fills the 10 bytes of a WRITE BUFFER CDB. Offset and length keep their low 24 bits.
void build_write_buffer_cdb(uint8_t *cdb, uint8_t mode, uint32_t offset, uint32_t length);

// Fills the 12 bytes of an ATA PASS-THROUGH (12) CDB carrying DOWNLOAD MICROCODE.
// Block count and block offset keep their low 16 bits.
void build_ata_download_cdb(uint8_t *cdb, uint8_t subcommand, uint32_t block_count,
                            uint32_t block_offset);

// Fills the 10 bytes of WRITE BUFFER mode 0Fh, which activates what mode 0Eh staged.
void build_write_buffer_activate_cdb(uint8_t *cdb);

// Fills the 12 bytes of an ATA PASS-THROUGH (12) CDB carrying DOWNLOAD MICROCODE 0Fh, which
// activates what subcommand 0Eh staged: a non-data command.
void build_ata_activate_cdb(uint8_t *cdb);

// True for the modes and subcommands that send the image in segments at offsets: WRITE
// BUFFER 06h, 07h and 0Eh; DOWNLOAD MICROCODE 03h and 0Eh.
bool write_buffer_mode_has_offsets(uint8_t mode);
bool ata_subcommand_has_offsets(uint8_t subcommand);

// How an image of a given length is cut into commands.
struct SegmentSizes {
    uint32_t segment_size;   // bytes of each full segment
    uint32_t segment_blocks; // 512-byte blocks of each full segment (ATA only; 0 for WRITE BUFFER)
    uint32_t full_segments;  // number of full segments
    uint32_t remainder;      // bytes of the final piece; 0 when there is none
};

// Sizes of a WRITE BUFFER download: segments of segment_count * 512 bytes in the modes
// with offsets, else the smaller of the length and 8 MiB. A zero segment size
// yields no full segment and the whole length as the final piece.
SegmentSizes write_buffer_sizes(uint8_t mode, uint8_t segment_count, uint32_t length);

// Sizes of a DOWNLOAD MICROCODE download: blocks_per_segment blocks with a subcommand with
// offsets and a nonzero count, else the smaller of the length and 8 MiB.
SegmentSizes ata_download_sizes(uint8_t subcommand, uint16_t blocks_per_segment, uint32_t length);

// Returns the number of commands that the sizes call for (full segments and final piece).
uint32_t planned_command_count(const SegmentSizes &sizes);

// One command of a download: where its data lies in the image and its CDB.
struct PlannedCommand {
    uint32_t offset; // byte offset of the command's data in the image
    uint32_t length; // bytes the command sends
    bool final_piece;
    uint8_t cdb[k_max_cdb_len];
    uint8_t cdb_len;
};

// Returns command index (0 .. planned_command_count - 1) of a WRITE BUFFER download.
PlannedCommand write_buffer_command(uint8_t mode, const SegmentSizes &sizes, uint32_t index);

// Returns command index of a DOWNLOAD MICROCODE download. The final piece carries its byte
// count in whole blocks, rounded down.
PlannedCommand ata_download_command(uint8_t subcommand, const SegmentSizes &sizes, uint32_t index);

// Returns every command of a download, in the order they are sent.
std::vector<PlannedCommand> plan_write_buffer(uint8_t mode, uint8_t segment_count, uint32_t length);
std::vector<PlannedCommand> plan_ata_download(uint8_t subcommand, uint16_t blocks_per_segment,
                                              uint32_t length);

// The answer of a check: ok, or the reason (one line, no newline) why not.
struct Refusal {
    bool refused;
    char reason[k_reason_len];
};

// Checks that a measured file length fits the 32-bit image length.
Refusal check_image_length(long long length);

// Checks that a nonempty image can reach the drive intact by WRITE BUFFER: at most 16 MiB,
// a segment count with the modes with offsets, and at most 8 MiB in a mode without offsets
// (each piece would be taken as a complete image).
Refusal check_write_buffer_image(uint8_t mode, uint8_t segment_count, uint32_t length);

// Checks that a nonempty image can reach the drive intact by DOWNLOAD MICROCODE: at most
// 32 MiB, whole 512-byte blocks, and at most 8 MiB with a subcommand without offsets.
Refusal check_ata_image(uint8_t subcommand, uint32_t length);

enum DownloadSender {
    SENDER_WRITE_BUFFER,
    SENDER_ATA_PASSTHROUGH,
};

// The sender a download uses and the lines announcing a forced choice, in print order.
struct MethodChoice {
    DownloadSender sender;
    int line_count;
    const char *lines[2];
};

// Returns the method for the forced choice and the kind of drive.
MethodChoice choose_method(ForcedMethod method, bool is_ata);

// What the chosen sender is given besides the descriptor and the image.
struct SenderArguments {
    uint8_t code;     // WRITE BUFFER mode, or DOWNLOAD MICROCODE subcommand
    uint16_t segment; // segment count (WRITE BUFFER) or blocks per segment (ATA)
};

// Returns the sender arguments for a segment count (0: unsegmented).
SenderArguments sender_arguments(DownloadSender sender, uint8_t segment_count);

// The name of a method with its mode or subcommand: "WRITE BUFFER 07h", "DOWNLOAD MICROCODE
// 0Eh" ...
std::string method_name(DownloadSender sender, uint8_t code);

// The one request a download reuses for every command: cleared, then filled with the
// descriptor, the CDB, the direction to the device, the download time-out and the debug flag
// of the current diagnostics level. Data pointer and length are set per command.
SgRequest download_request(int fd, uint8_t *cdb, uint8_t cdb_len);
