// Diagnostics of the transport: printers that turn a finished command's numbers into words.
// Everything here writes to standard output and returns nothing.
#pragma once

#include <cstdint>
#include <scsi/sg.h>

// The low 32 bits of an address, as the dumps and the download traces show pointers.
unsigned low32(const void *p);

// Names the masked SCSI status (CHECK CONDITION, BUSY, ...); prints nothing for others.
void print_scsi_status(uint8_t masked_status);

// Names the sense key (low four bits), then prints the ASC/ASCQ line.
void print_sense_key(uint8_t sense_key, uint8_t asc, uint8_t ascq);

// Prints "ACQ: ..\tASCQ: .." and the name of the pair where one is known.
void print_asc_ascq(uint8_t asc, uint8_t ascq);

// Prints an offset/value table of the first count bytes (the heading alone for count <= 0).
void dump_sense_bytes(const uint8_t *bytes, int count);

// Prints a time-stamped, field-by-field dump of an sg_io_hdr.
void print_io_hdr(const sg_io_hdr_t *hdr);
