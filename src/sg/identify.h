// Identification commands: INQUIRY, and IDENTIFY DEVICE with the drives' own firmware
// requests through ATA PASS-THROUGH (12).
#pragma once

#include "sg/ata_pass_through.h"

#include <cstdint>

inline constexpr uint8_t INQUIRY_OPCODE = 0x12;

inline constexpr int INQUIRY_CDB_LEN = 6;
// Standard INQUIRY data up to the end of the product revision level, the part the run reads.
inline constexpr uint32_t STANDARD_INQUIRY_MIN_LEN = 36;
// Every IDENTIFY DEVICE and firmware request answer lands in an area of this size.
inline constexpr int IDENTIFY_DATA_LEN = 512;

// Smallest buffers the three operations accept.
inline constexpr int INQUIRY_MIN_LEN = 96;
inline constexpr int FULL_MN_MIN_LEN = 41;
inline constexpr int FULL_FW_MIN_LEN = 46;
// The IDENTIFY serial number: 20 characters and the terminator.
inline constexpr int ATA_SERIAL_MIN_LEN = 21;

// The Extended INQUIRY Data page.
inline constexpr uint8_t VPD_EXTENDED_INQUIRY = 0x86;

// FEATURES of the two firmware requests.
inline constexpr uint8_t FW_REQUEST_DOTTED = 0x0B;
inline constexpr uint8_t FW_REQUEST_PLAIN = 0x00;

// The bytes trimmed from or dropped out of ATA strings: space, tab, vertical tab, carriage
// return and line feed. Form feed and NUL are not among them.
inline constexpr char ata_string_whitespace[] = " \t\v\r\n";

// True when c is one of ata_string_whitespace (NUL is not).
bool is_ata_string_whitespace(uint8_t c);

// Fills the 6-byte INQUIRY CDB for a buffer of len bytes; page 0 asks for the standard data.
void build_inquiry_cdb(uint8_t *cdb, int len, uint8_t page);

// Fills the 12-byte ATA PASS-THROUGH (12) CDB of IDENTIFY DEVICE.
void build_identify_cdb(uint8_t *cdb);

// Fills the 12-byte CDB of a firmware request: IDENTIFY DEVICE with the drives' own LBA and
// features FW_REQUEST_DOTTED or FW_REQUEST_PLAIN.
void build_fw_request_cdb(uint8_t *cdb, uint8_t features);

// Takes the model number from 512 bytes of IDENTIFY data into buf (at least 41 bytes, left
// cleared by the caller): pairs put back in order, whitespace trimmed from both ends.
// Returns the length of the text (0 to 40).
int extract_model(const uint8_t *identify, char *buf);

// Takes the serial number (words 10-19) from 512 bytes of IDENTIFY data into buf (at least
// 21 bytes), as extract_model takes the model number. Returns its length (0 to 20).
int extract_ata_serial(const uint8_t *identify, char *buf);

// True when the IDENTIFY data asks for the dotted firmware request.
bool wants_dotted_fw_request(const uint8_t *identify);

// Builds the firmware revision from the 512-byte answer to the dotted request into buf
// (len at least 46, cleared by the caller). Returns the count of bytes stored.
int assemble_dotted_fw(const uint8_t *answer, char *buf, int len);

// Builds the firmware revision for the plain request. word0 and fw are IDENTIFY bytes 0-1
// and 46-53 kept from before the request; answer is the 512-byte area after it. buf as for
// assemble_dotted_fw. Returns the count of bytes stored.
int assemble_plain_fw(const uint8_t *word0, const uint8_t *fw, const uint8_t *answer, char *buf,
                      int len);

// Zeroes the last resid bytes of a data-in buffer of len bytes (all of it when resid exceeds
// len): the bytes the device did not transfer.
void clear_untransferred(uint8_t *buf, uint32_t len, int32_t resid);

// Reads standard INQUIRY data (page 0) or one VPD page into buf; bytes the drive did not
// transfer read as zero. A VPD page that the drive refuses (it does not have the page) reads
// as all zeros and is not a failure.
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
