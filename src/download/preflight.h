// What a drive states about taking microcode, read from the answers of the identification
// commands, and the check of a planned download against it. A statement the drive does not
// make is std::nullopt, distinct from every value, and is never held against it. Pure
// functions of their arguments: nothing here talks to a device.
#pragma once

#include "download/download_plan.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct DriveStatements {
    // ATA, IDENTIFY DEVICE data.
    std::optional<bool> download_supported;  // word 83 bit 0 (word 83 valid: 15:14 = 01b)
    std::optional<bool> segmented_supported; // word 119 bit 4 (word 86 bit 15 says words
                                             // 119-120 are valid; word 119 15:14 = 01b)
    std::optional<uint16_t> min_blocks;      // word 234, blocks per 03h command
    std::optional<uint16_t> max_blocks;      // word 235
    // ATA, page 03h of the IDENTIFY DEVICE data log.
    bool log_read = false;                  // the page came back
    std::optional<bool> deferred_supported; // DOWNLOAD MICROCODE capabilities bit 34
    std::optional<uint16_t> log_min_blocks; // bits 15:0, blocks per 03h or 0Eh command
    std::optional<uint16_t> log_max_blocks; // bits 31:16
    // SCSI, the Extended INQUIRY Data page (86h).
    std::optional<uint8_t> activate_microcode; // 1: before the final WRITE BUFFER completes;
                                               // 2: after a power on or hard reset
    std::optional<uint8_t> download_modes;     // the DM_MD bits of byte 19, with DMS_VALID
    // SCSI, the READ BUFFER descriptor of buffer 0.
    std::optional<uint8_t> offset_boundary;  // offsets are multiples of 2^n; FFh: 0 only
    std::optional<uint32_t> buffer_capacity; // bytes
};

// Reads the words of 512 bytes of IDENTIFY DEVICE data into s.
void parse_identify_statements(const uint8_t *identify, DriveStatements &s);

// Reads an answered page 03h of the IDENTIFY DEVICE data log (ATA_LOG_PAGE_LEN bytes) into
// s. A page whose header names another page did not come back: the log is not read.
void parse_capabilities_page(const uint8_t *page, DriveStatements &s);

// Reads the Extended INQUIRY Data page from len bytes of send_inq's answer into s. Bytes
// beyond the page length the drive gives state nothing; a buffer that does not hold page
// 86h (a drive without it) states nothing at all.
void parse_extended_inquiry(const uint8_t *page, uint32_t len, DriveStatements &s);

// Reads an answered READ BUFFER descriptor (READ_BUFFER_DESCRIPTOR_LEN bytes) into s.
void parse_read_buffer_descriptor(const uint8_t *desc, DriveStatements &s);

// A download as the run would send it.
struct PlannedDownload {
    DownloadSender sender;
    uint8_t code;       // WRITE BUFFER mode or DOWNLOAD MICROCODE subcommand
    SegmentSizes sizes; // write_buffer_sizes or ata_download_sizes of the run
    uint32_t image_length;
    uint16_t segment; // what the sender is given: the segment count (WRITE BUFFER) or the
                      // blocks per segment (ATA); 0: unsegmented
};

// The download a run sends by sender for an image of image_length bytes: the mode or
// subcommand and the segments sender_arguments gives for segment_count; with stage, 0Eh in
// segments of segment_count blocks, or of stage_segment_blocks when it is 0.
PlannedDownload plan_download(DownloadSender sender, uint8_t segment_count, bool stage,
                              const DriveStatements &s, uint32_t image_length);

// Why the sender itself would refuse the image before sending anything (an empty image, one
// longer than the method can address, or not whole blocks); empty when it would not.
std::string image_refusal(const PlannedDownload &p);

// Checks the download against what the drive states: the statements of the method's own
// commands (IDENTIFY and the log for DOWNLOAD MICROCODE, page 86h and the READ BUFFER
// descriptor for WRITE BUFFER). A staging download by DOWNLOAD MICROCODE (0Eh) also needs
// the log to have been read. Returns one line per refusal, naming the drive's statement and
// the run's value; empty when nothing is refused.
std::vector<std::string> check_download(const DriveStatements &s, const PlannedDownload &p);

// Segment size of a staging download when the run gives none, in 512-byte blocks: 64
// (32 KiB), or what the drive states instead. DOWNLOAD MICROCODE: the log's maximum,
// else 64 raised to its minimum. WRITE BUFFER: an offset boundary above 32 KiB is one
// segment each (FFh: the whole image in one command), where a segment count can hold it.
uint16_t stage_segment_blocks(const DriveStatements &s, DownloadSender sender,
                              uint32_t image_length);
