// What a download did, and what the sender prints of it: the debug traces, the progress
// marks and the failure reports. Standard output is flushed before anything goes to
// standard error, so that the two streams interleave in the order the lines were written.
#pragma once

#include "download/plan.h"
#include "sg/ata_pass_through.h"
#include "sg/verdict.h"

#include <cstdint>
#include <string>

// What a download did, for the caller to report beyond the lines the sender prints.
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
    // The last command sent and its judgement (a failed one, when the download failed).
    CommandFacts last_facts{};
    CommandVerdict last_verdict{};
};

// Prints the trace of one command of plan whose image starts at data (nullptr for a method
// without data): the WRITE BUFFER CDB line (a final piece adds its remainder line first),
// the DOWNLOAD MICROCODE CDB bytes 0 to 9 with the data address, or the CDB of an
// activation.
void print_command_trace(const DownloadPlan &plan, const PlannedCommand &cmd, const uint8_t *data);

// Prints the progress mark of a command that succeeded (" . " for a full segment, " % " for
// the final piece) and flushes standard output.
void print_progress_mark(bool final_piece);

// Ends the progress line (" !" and the newline) and flushes standard output.
void print_progress_end();

// Prints "who: reason" on standard error for an image that is refused before sending.
void report_refusal(const char *who, const Refusal &refusal);

// Prints what a failed command of an image download leaves: the reason line on standard
// error when the verdict carries one; for DOWNLOAD MICROCODE the "ATA Ret" line with the
// registers last returned during the download; then the "send_io" perror line with the
// error text current when the command was judged.
void report_download_failure(const DownloadPlan &plan, const CommandVerdict &verdict,
                             const AtaRegisters &last_registers, int saved_errno);

// The name the sender reports under: "send_write_buffer" or "send_ata_passthrough".
const char *sender_name(DownloadSender sender);
