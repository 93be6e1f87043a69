// Firmware download: image loading, method choice and the two senders.
#pragma once

#include <cstdint>
#include <cstdio>

enum ForcedMethod : int {
    METHOD_AUTO = 0,
    METHOD_WRITE_BUFFER = 1,
    METHOD_ATA_PASSTHROUGH = 2,
};

// Reads the whole image from the open stream, picks the sender and runs it.
// Returns the sender's result (0 when the whole image was sent), or -1 when the image
// cannot be loaded or cannot be sent intact. Leaves the stream open.
int download_fw_file(int fd, FILE *image, uint8_t segment_count, ForcedMethod method,
                     bool is_ata);

// Sends an image by SCSI WRITE BUFFER (mode 05h unsegmented, 07h with offsets).
// Returns 0 when every command succeeded, -1 otherwise.
int send_write_buffer(int fd, uint8_t mode, uint8_t segment_count, const uint8_t *data,
                      uint32_t length);

// Sends an image by ATA DOWNLOAD MICROCODE inside ATA PASS-THROUGH (12)
// (subcommand 07h unsegmented, 03h with offsets). Returns 0 or -1.
int send_ata_passthrough(int fd, uint8_t subcommand, uint16_t blocks_per_segment,
                         const uint8_t *data, uint32_t length);
