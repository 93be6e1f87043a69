// Firmware download: image loading, method choice and the two senders.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

enum ForcedMethod : int {
    METHOD_AUTO = 0,
    METHOD_WRITE_BUFFER = 1,
    METHOD_ATA_PASSTHROUGH = 2,
};

// What a download did, for the caller to report beyond the lines the senders print.
struct DownloadReport {
    uint32_t commands_sent = 0;  // download commands issued, a failed one included
    uint64_t bytes_accepted = 0; // bytes of the commands the drive took
    // After the last command of a segmented DOWNLOAD MICROCODE the drive said it expects more
    // microcode.
    bool more_expected = false;
    // Why the download failed: what the drive or the host answered to the command that failed
    // (describe_answer), or why the image was refused before anything was sent; empty when
    // nothing failed.
    std::string failure;
    int64_t image_size = -1;   // bytes of the image file; -1 when it was not measured
    std::string image_sha256;  // SHA-256 of the bytes read, in hex; empty when none were read
    std::string method;        // "WRITE BUFFER 05h" ... "DOWNLOAD MICROCODE 03h"; empty: none
    uint32_t segment_size = 0; // bytes of each full segment; 0 when the image goes unsegmented
};

struct DriveStatements;

// A staging download (--stage): the image goes by WRITE BUFFER mode 0Eh or DOWNLOAD
// MICROCODE 0Eh, in segments of the run's segment count or, when it is 0, of the size
// stage_segment_blocks gives, and only when check_download finds nothing the drive's
// statements forbid.
struct StageRequest {
    const DriveStatements *statements;
    const char *device_path; // names the device in a refusal line
};

// Reads the whole image from the open stream, picks the sender and runs it.
// Returns the sender's result (0 when the whole image was sent), or -1 when the image
// cannot be loaded or cannot be sent intact. Leaves the stream open. report, when given,
// receives what the sender did. With stage, the image is staged; a download the drive's
// statements forbid is refused before any command, with one line per refusal on standard
// error ("DEVICE: STATEMENT; RUN'S VALUE; nothing sent").
int download_fw_file(int fd, FILE *image, uint8_t segment_count, ForcedMethod method, bool is_ata,
                     DownloadReport *report = nullptr, const StageRequest *stage = nullptr);

// Sends an image by SCSI WRITE BUFFER (mode 05h unsegmented, 07h with offsets).
// Returns 0 when every command succeeded, -1 otherwise. report as for download_fw_file.
int send_write_buffer(int fd, uint8_t mode, uint8_t segment_count, const uint8_t *data,
                      uint32_t length, DownloadReport *report = nullptr);

// Sends an image by ATA DOWNLOAD MICROCODE inside ATA PASS-THROUGH (12)
// (subcommand 07h unsegmented, 03h with offsets). Returns 0 or -1. report as above.
int send_ata_passthrough(int fd, uint8_t subcommand, uint16_t blocks_per_segment,
                         const uint8_t *data, uint32_t length, DownloadReport *report = nullptr);

// download_image_file's result when the image file could not be opened.
inline constexpr int DOWNLOAD_IMAGE_NOT_OPENED = -2;

// The download step of the per-device run: opens the image file (mode "rb", without waiting,
// a regular file only), announces the download of image_path to device_path, calls
// download_fw_file and closes the file. The result line ("FW Download FAILED" / "Download
// SUCCESSFUL") is left to the caller, which alone knows whether a revision check follows.
// Returns 0 when the download completed, -1 when it failed, DOWNLOAD_IMAGE_NOT_OPENED when
// the file could not be opened or is not a regular file ("Couldn't open file %s\n" and an
// "fopen: " line with the reason are then printed and nothing is sent).
int download_image_file(int fd, const char *image_path, const char *device_path,
                        uint8_t segment_count, ForcedMethod method, bool is_ata,
                        DownloadReport *report = nullptr, const StageRequest *stage = nullptr);

// Measures the image file at path as the download step opens it (without waiting, a regular
// file only), reading none of it. Returns its length, or -1 with *why set.
long long measure_image_file(const char *path, std::string *why);
