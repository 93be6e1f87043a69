// Identification commands: INQUIRY, and IDENTIFY DEVICE with the drives' own firmware
// requests through ATA PASS-THROUGH (12).
#pragma once

#include <cstdint>

inline constexpr uint8_t INQUIRY_OPCODE = 0x12;
inline constexpr uint8_t ATA_PASSTHROUGH_12_OPCODE = 0xA1;
inline constexpr uint8_t ATA_IDENTIFY_DEVICE = 0xEC;

inline constexpr int INQUIRY_CDB_LEN = 6;
inline constexpr int ATA_PT12_CDB_LEN = 12;
// Every IDENTIFY DEVICE and firmware request answer lands in an area of this size.
inline constexpr int IDENTIFY_DATA_LEN = 512;

// Smallest buffers the three operations accept.
inline constexpr int INQUIRY_MIN_LEN = 96;
inline constexpr int FULL_MN_MIN_LEN = 41;
inline constexpr int FULL_FW_MIN_LEN = 46;

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

// Turns an IDENTIFY DEVICE CDB into a firmware request: the drives' own LBA, and features
// FW_REQUEST_DOTTED or FW_REQUEST_PLAIN.
void set_fw_request(uint8_t *cdb, uint8_t features);

// Takes the model number from 512 bytes of IDENTIFY data into buf (at least 41 bytes, left
// cleared by the caller): pairs put back in order, whitespace trimmed from both ends.
// Returns the length of the text (0 to 40).
int extract_model(const uint8_t *identify, char *buf);

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

// Reads standard INQUIRY data (page 0) or one VPD page into buf.
// Returns -1 for a buffer shorter than 96 bytes (nothing sent), else send_io's result.
int send_inq(int fd, uint8_t *buf, int len, uint8_t page);

// Reads the full model number of an ATA drive into buf (NUL-terminated, trimmed).
// Returns its length (0 to 40), or -1: a short buffer, a drive that is not ATA (nothing
// sent), or a command the transport could not run.
int get_full_mn(int fd, char *buf, int len, bool is_ata);

// Reads the full firmware revision of an ATA drive into buf (NUL-terminated).
// Returns the number of bytes stored (0 to 45), or -1 as get_full_mn.
int get_full_fw(int fd, char *buf, int len, bool is_ata);
