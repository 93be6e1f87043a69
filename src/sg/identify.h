// Identification commands: INQUIRY (standard data and VPD pages), IDENTIFY DEVICE with the
// drives' own firmware requests, and the reads of what a drive states about taking
// microcode (page 03h of the IDENTIFY DEVICE data log, the READ BUFFER descriptor).
#pragma once

#include "sg/ata_pages.h"
#include "sg/command.h"
#include "sg/scsi_pages.h"
#include "sg/verdict.h"

#include <cstdint>

// Smallest buffers the three operations accept.
inline constexpr int INQUIRY_MIN_LEN = 96;
inline constexpr int FULL_MN_MIN_LEN = 41;
inline constexpr int FULL_FW_MIN_LEN = 46;
// The IDENTIFY serial number: 20 characters and the terminator.
inline constexpr int ATA_SERIAL_MIN_LEN = 21;

// Reads standard INQUIRY data (page 0) or one VPD page into buf, cleared first: bytes the
// drive did not transfer, and all of them when it refused a VPD page (it does not have the
// page), read as zero. A refused VPD page is not a failure.
// Returns 0, or -1: a buffer shorter than 96 bytes (nothing sent), a command that got no
// answer (transport failure, time-out, host or driver error, BUSY), or standard data that
// the drive refused or that ended before the product revision level.
int send_inq(int fd, uint8_t *buf, int len, uint8_t page);

// Reads the full model number of an ATA drive into buf (NUL-terminated, trimmed).
// identify, when given, receives the IDENTIFY_DATA_LEN bytes of IDENTIFY DEVICE data the
// model came from (zero where nothing arrived, all zero when the drive did not answer), so
// that a caller reading the drive's other words sends no second IDENTIFY DEVICE.
// Returns its length (0 to 40), or -1: a short buffer, a drive that is not ATA (nothing
// sent), or an IDENTIFY DEVICE that the drive did not answer.
int get_full_mn(int fd, char *buf, int len, bool is_ata, uint8_t *identify = nullptr);

// Reads the full firmware revision of an ATA drive into buf (NUL-terminated).
// Returns the number of bytes stored (0 to 45), or -1 as get_full_mn, and when the drive
// did not answer the dotted firmware request. A drive that refuses the plain request is one
// that ignores it: the IDENTIFY revision stands.
int get_full_fw(int fd, char *buf, int len, bool is_ata);

// Reads the full firmware revision again after a download, with the commands and the rules
// of get_full_fw, except that IDENTIFY DEVICE and the dotted request must also bring data: a
// drive that has just taken new microcode may still be resetting, and an empty answer must
// not read as a new revision.
// Returns the number of bytes stored, or -1 when the revision could not be read.
int reread_full_fw(int fd, char *buf, int len, bool is_ata);

// Length of the buffer the device identification page (83h) is read into: it holds libata's
// page with its NAA name (112 bytes) and scsi_debug's (117), within the 8-bit allocation
// length of INQUIRY (6).
inline constexpr int DEVICE_IDENTIFICATION_LEN = 252;

// Asks the drive for its device identification page (83h), one INQUIRY. A page that is not
// answered, or that names no NAA, names nothing.
DeviceIdentification read_device_identification(int fd);

// The reads of what a drive states about taking microcode. Each is sent once more after a
// UNIT ATTENTION, which a drive reports to the first command after a reset or new
// microcode (as TEST UNIT READY takes it before a download); the bytes that did not arrive,
// and all of them when the drive refused or no answer came, read as zero.

// Asks the drive for its Extended INQUIRY Data page (86h) into page (INQUIRY_MIN_LEN bytes).
// Returns how the drive answered; a page that is not answered states nothing.
ReadReply read_extended_inquiry(int fd, uint8_t *page);

// Reads page 03h of the IDENTIFY DEVICE data log into page (ATA_LOG_PAGE_LEN bytes).
ReadReply read_capabilities_page(int fd, uint8_t *page);

// Reads the READ BUFFER descriptor of buffer 0 into desc (READ_BUFFER_DESCRIPTOR_LEN bytes).
ReadReply read_buffer_descriptor(int fd, uint8_t *desc);

// True when a statement read got no answer to go by: no answer came, or the drive still held
// a unit attention. A drive that refuses the read (it has no such page) states nothing, and
// that is not a failure.
bool statement_read_failed(const ReadReply &r);
