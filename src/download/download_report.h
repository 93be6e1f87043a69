// What the download senders print: the debug traces, the progress marks and the failure
// reports. Standard output is flushed before anything goes to standard error, so that the
// two streams interleave in the order the lines were written.
#pragma once

#include "download/download_plan.h"
#include "sg/sg_io.h"

#include <cstdint>

// Prints the WRITE BUFFER trace of one command whose data starts at data: the CDB line of a
// full segment, or the remainder line and the CDB line of the final piece.
void print_write_buffer_trace(const PlannedCommand &cmd, const uint8_t *data);

// Prints the DOWNLOAD MICROCODE trace of one command: CDB bytes 0 to 9 and the data address.
void print_ata_download_trace(const PlannedCommand &cmd, const uint8_t *data);

// Prints the progress mark of a command that succeeded (" . " for a full segment, " % " for
// the final piece) and flushes standard output.
void print_progress_mark(bool final_piece);

// Ends the progress line (" !" and the newline) and flushes standard output.
void print_progress_end();

// Prints "who: reason" on standard error for an image that is refused before sending.
void report_refusal(const char *who, const Refusal &refusal);

// Prints what a failed WRITE BUFFER command leaves: the reason line on standard error when
// the verdict carries one, then the "send_io" perror line with the error text current when
// the command was judged.
void report_write_buffer_failure(const CommandVerdict &verdict, int saved_errno);

// Prints what a failed DOWNLOAD MICROCODE command leaves: the reason line when due, the
// "ATA Ret" line with the registers the request holds, then the "send_io" perror line.
void report_ata_download_failure(const CommandVerdict &verdict, const SgRequest &req,
                                 int saved_errno);
