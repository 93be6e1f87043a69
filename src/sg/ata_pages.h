// The ATA answers the system reads, one parser each: IDENTIFY DEVICE data (its strings and
// the words about taking microcode), the answers to the drives' own firmware requests, and
// page 03h of the IDENTIFY DEVICE data log. Pure functions of the bytes.
#pragma once

#include <cstdint>
#include <optional>

// Every IDENTIFY DEVICE, firmware request and log page answer is one 512-byte block.
inline constexpr int IDENTIFY_DATA_LEN = 512;
inline constexpr uint32_t ATA_LOG_PAGE_LEN = 512;

// The IDENTIFY DEVICE data log and its page of supported capabilities.
inline constexpr uint8_t ATA_LOG_IDENTIFY_DEVICE = 0x30;
inline constexpr uint8_t ATA_LOG_PAGE_CAPABILITIES = 0x03;

// The bytes trimmed from or dropped out of ATA strings: space, tab, vertical tab, carriage
// return and line feed. Form feed and NUL are not among them.
inline constexpr char ata_string_whitespace[] = " \t\v\r\n";

// True when c is one of ata_string_whitespace (NUL is not).
bool is_ata_string_whitespace(uint8_t c);

// Takes the model number from 512 bytes of IDENTIFY data into buf (at least 41 bytes):
// pairs put back in order, whitespace trimmed from both ends, the rest cleared.
// Returns the length of the text (0 to 40).
int extract_model(const uint8_t *identify, char *buf);

// Takes the serial number from 512 bytes of IDENTIFY data into buf (at least 21 bytes), as
// extract_model takes the model number. Returns its length (0 to 20).
int extract_ata_serial(const uint8_t *identify, char *buf);

// True when the IDENTIFY data asks for the dotted firmware request.
bool wants_dotted_fw_request(const uint8_t *identify);

// IDENTIFY bytes 0-1 (word 0) and the 8 bytes of the firmware revision (words 23-26), kept
// from before a plain firmware request.
struct IdentifyFirmware {
    uint8_t word0[2];
    uint8_t firmware[8];
};
IdentifyFirmware identify_firmware(const uint8_t *identify);

// Stores the IDENTIFY revision, each pair put back in order and its whitespace dropped, into
// buf (len at least 46, cleared by the caller). Returns the count of bytes stored.
int store_identify_fw(const IdentifyFirmware &kept, char *buf, int len);

// Builds the firmware revision from the 512-byte answer to the dotted request into buf
// (len at least 46, cleared by the caller). Returns the count of bytes stored.
int assemble_dotted_fw(const uint8_t *answer, char *buf, int len);

// Builds the firmware revision for the plain request from what IDENTIFY gave before it and
// the 512-byte area after it. buf as for assemble_dotted_fw. Returns the count stored.
int assemble_plain_fw(const IdentifyFirmware &kept, const uint8_t *answer, char *buf, int len);

// What IDENTIFY DEVICE data state about DOWNLOAD MICROCODE. A statement the drive does not
// make is std::nullopt, distinct from every value.
struct IdentifyStatements {
    std::optional<bool> download_supported;  // word 83 bit 0 (word 83 valid)
    std::optional<bool> segmented_supported; // word 119 bit 4 (words 86 and 119 valid)
    std::optional<uint16_t> min_blocks;      // word 234, blocks per 03h command
    std::optional<uint16_t> max_blocks;      // word 235
};
IdentifyStatements parse_identify_statements(const uint8_t *identify);

// What page 03h of the IDENTIFY DEVICE data log states about DOWNLOAD MICROCODE.
struct CapabilitiesPage {
    bool read = false;                      // the page came back: its header names page 03h
    std::optional<bool> deferred_supported; // 0Eh (deferred microcode) supported
    std::optional<uint16_t> min_blocks;     // blocks per 03h or 0Eh command
    std::optional<uint16_t> max_blocks;
};
// Reads ATA_LOG_PAGE_LEN bytes of an answered page.
CapabilitiesPage parse_capabilities_page(const uint8_t *page);
