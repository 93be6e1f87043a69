// Identification commands that read what a drive states about taking microcode: page 03h of
// the IDENTIFY DEVICE data log through ATA PASS-THROUGH (16), and the READ BUFFER descriptor
// of buffer 0. The IDENTIFY words come with get_full_mn, the Extended INQUIRY Data page
// with send_inq; src/download/preflight.h reads all four answers.
#pragma once

#include "sg/verdict.h"

#include <cstdint>

inline constexpr uint8_t READ_BUFFER_OPCODE = 0x3C;
inline constexpr uint8_t READ_BUFFER_CDB_LEN = 10;
inline constexpr uint8_t RB_MODE_DESCRIPTOR = 0x03;
// The descriptor: offset boundary (1 byte) and buffer capacity (3 bytes).
inline constexpr uint32_t READ_BUFFER_DESCRIPTOR_LEN = 4;

// The IDENTIFY DEVICE data log and its page of supported capabilities.
inline constexpr uint8_t ATA_LOG_IDENTIFY_DEVICE = 0x30;
inline constexpr uint8_t ATA_LOG_PAGE_CAPABILITIES = 0x03;
inline constexpr uint32_t ATA_LOG_PAGE_LEN = 512;

// Fills the 16-byte ATA PASS-THROUGH (16) CDB of READ LOG EXT for one page of a log.
void build_read_log_ext_cdb(uint8_t *cdb, uint8_t log, uint16_t page);

// Fills the 10-byte READ BUFFER CDB that asks for the descriptor of buffer 0.
void build_read_buffer_descriptor_cdb(uint8_t *cdb);

// Reads page 03h of the IDENTIFY DEVICE data log into page (ATA_LOG_PAGE_LEN bytes).
// Returns how the drive answered (identification rule); the bytes that did not arrive, and
// all of them when the drive refused or no answer came, read as zero.
Reply read_capabilities_page(int fd, uint8_t *page);

// Reads the READ BUFFER descriptor of buffer 0 into desc (READ_BUFFER_DESCRIPTOR_LEN bytes),
// returning as read_capabilities_page does.
Reply read_buffer_descriptor(int fd, uint8_t *desc);
