// Firmware download: the entry points of the download subsystem. An image is loaded whole,
// its plan built once (plan_for_run, the same plan --preflight prints) and sent by the one
// sender loop.
#pragma once

#include "download/methods.h"
#include "download/report.h"
#include "download/statements.h"

#include <cstdint>
#include <cstdio>

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

// Activates the microcode a staging download left on the drive at fd, by sender's 0Fh (WRITE
// BUFFER mode 0Fh, DOWNLOAD MICROCODE 0Fh), through the one sender loop. Prints nothing.
// Returns 0 when the drive took the command, -1 otherwise; report receives the method and
// the command's facts and verdict.
int activate_staged_microcode(int fd, DownloadSender sender, DownloadReport *report);
