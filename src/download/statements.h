// What a drive states about taking microcode, read from its identification answers, and
// the check of a plan against it. A statement the drive does not make is std::nullopt,
// distinct from every value, and is never held against it.
#pragma once

#include "download/methods.h"
#include "download/plan.h"
#include "sg/ata_pages.h"
#include "sg/scsi_pages.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct DriveStatements {
    IdentifyStatements identify;      // ATA: the IDENTIFY DEVICE words
    CapabilitiesPage log;             // ATA: page 03h of the IDENTIFY DEVICE data log
    ExtendedInquiry extended_inquiry; // SCSI: the Extended INQUIRY Data page (86h)
    std::optional<ReadBufferDescriptor> read_buffer; // SCSI: the descriptor of buffer 0
    // The statements whose reads failed (no answer, or a unit attention twice), each with
    // what the drive answered: "the READ BUFFER descriptor (timed out ...)". They state
    // nothing, as the reads a drive refuses.
    std::vector<std::string> unread;
};

// Reads what the drive at fd states about a download by sender, sending only the commands
// that method needs: for DOWNLOAD MICROCODE the IDENTIFY words of the identification (no
// command; identify is its 512 bytes, all zero when none were read) and, for a staging
// download, page 03h of the IDENTIFY DEVICE data log; for WRITE BUFFER the Extended INQUIRY
// Data page and the READ BUFFER descriptor. A command the drive refuses or does not answer
// states nothing.
DriveStatements read_drive_statements(int fd, const uint8_t *identify, DownloadSender sender,
                                      bool stage);

// Segment size of a staging download when the run gives none, in 512-byte blocks: 64
// (32 KiB), or what the drive states instead. DOWNLOAD MICROCODE: the log's maximum,
// else 64 raised to its minimum. WRITE BUFFER: an offset boundary above 32 KiB is one
// segment each where a segment count can hold it, else (and for FFh) the whole image in one
// command where the stated buffer takes it and a segment count can hold it.
uint16_t stage_segment_blocks(const DriveStatements &s, DownloadSender sender,
                              uint32_t image_length);

// The plan of a run: the method of its goal for the sender, the segment count it gives (for
// a staging run without one, stage_segment_blocks), and the image length.
DownloadPlan plan_for_run(DownloadSender sender, DownloadGoal goal, uint8_t segment_count,
                          const DriveStatements &s, uint32_t image_length);

// What a dry run adds to the plan it would send, each one clause: a segmented DOWNLOAD
// MICROCODE (03h) to a drive whose IDENTIFY data do not state it (word 119 not valid, as on
// drives older than the command), and each statement whose read failed.
std::vector<std::string> plan_notes(const DriveStatements &s, const DownloadPlan &p);

// Checks the plan against what the drive states: the statements of the method's own
// commands (IDENTIFY and the log for DOWNLOAD MICROCODE, page 86h and the READ BUFFER
// descriptor for WRITE BUFFER). A staging download by DOWNLOAD MICROCODE (0Eh) also needs
// the log to have been read, and one by WRITE BUFFER a stated way to activate it (0Fh) where
// page 86h states the download modes. Returns one line per refusal, naming the drive's statement
// and the run's value; empty when nothing is refused.
std::vector<std::string> check_download(const DriveStatements &s, const DownloadPlan &p);
