// The one sender loop: every command of a plan, judged as it returns, stopping at the first
// failure. Both methods and the activation of staged microcode go through it.
#pragma once

#include "download/plan.h"
#include "download/report.h"

#include <cstdint>

// Sends the plan to fd: for a method with data, the image at data (plan.image_length bytes)
// with its progress line; for one without, its one command, silently (the caller reports the
// outcome). A drive's pending unit attention is taken first by TEST UNIT READY. An image the
// method cannot send intact is refused before any command, with a line under the sender's
// name. report, when given, receives what was done (started afresh).
// Returns 0 when every command succeeded, -1 otherwise.
int send_plan(int fd, const DownloadPlan &plan, const uint8_t *data,
              DownloadReport *report = nullptr);

// Sends an image by SCSI WRITE BUFFER in mode (05h: whole, 07h: segments of segment_count
// blocks, ...). Returns 0 when every command succeeded, -1 otherwise. report as above.
int send_write_buffer(int fd, uint8_t mode, uint8_t segment_count, const uint8_t *data,
                      uint32_t length, DownloadReport *report = nullptr);

// Sends an image by ATA DOWNLOAD MICROCODE inside ATA PASS-THROUGH (12) with subcommand
// (07h: whole, 03h: segments of blocks_per_segment blocks, ...). Returns 0 or -1.
int send_ata_passthrough(int fd, uint8_t subcommand, uint16_t blocks_per_segment,
                         const uint8_t *data, uint32_t length, DownloadReport *report = nullptr);
