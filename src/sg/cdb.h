// Every command the system sends, as bytes: the SCSI CDBs and the ATA taskfiles that ATA
// PASS-THROUGH carries. Each layout is written once, here, with its byte map.
#pragma once

#include "sg/ata_pass_through.h"

#include <cstdint>

inline constexpr uint8_t TEST_UNIT_READY_OPCODE = 0x00;
inline constexpr uint8_t INQUIRY_OPCODE = 0x12;
inline constexpr uint8_t WRITE_BUFFER_OPCODE = 0x3B;
inline constexpr uint8_t READ_BUFFER_OPCODE = 0x3C;

inline constexpr uint8_t TEST_UNIT_READY_CDB_LEN = 6;
inline constexpr uint8_t INQUIRY_CDB_LEN = 6;
inline constexpr uint8_t WRITE_BUFFER_CDB_LEN = 10;
inline constexpr uint8_t READ_BUFFER_CDB_LEN = 10;
// The largest CDB the system builds.
inline constexpr uint8_t MAX_CDB_LEN = ATA_PASS_THROUGH_MAX_CDB_LEN;

// READ BUFFER mode 03h: the descriptor of a buffer.
inline constexpr uint8_t RB_MODE_DESCRIPTOR = 0x03;
// The READ BUFFER descriptor: offset boundary (1 byte) and buffer capacity (3 bytes).
inline constexpr uint32_t READ_BUFFER_DESCRIPTOR_LEN = 4;

// FEATURES of the drives' two firmware requests.
inline constexpr uint8_t FW_REQUEST_DOTTED = 0x0B;
inline constexpr uint8_t FW_REQUEST_PLAIN = 0x00;

// Fills the 6-byte TEST UNIT READY CDB.
void build_test_unit_ready_cdb(uint8_t *cdb);

// Fills the 6-byte INQUIRY CDB for a buffer of len bytes; page 0 asks for the standard data.
void build_inquiry_cdb(uint8_t *cdb, int len, uint8_t page);

// Fills the 10-byte READ BUFFER CDB that asks for the descriptor of buffer 0.
void build_read_buffer_descriptor_cdb(uint8_t *cdb);

// Fills the 10 bytes of a WRITE BUFFER CDB. Offset and length keep their low 24 bits.
void build_write_buffer_cdb(uint8_t *cdb, uint8_t mode, uint32_t offset, uint32_t length);

// IDENTIFY DEVICE: PIO data-in of one block.
AtaTaskfile identify_taskfile();

// A firmware request: IDENTIFY DEVICE with the drives' own LBA and features
// FW_REQUEST_DOTTED or FW_REQUEST_PLAIN.
AtaTaskfile fw_request_taskfile(uint8_t features);

// READ LOG EXT of one 512-byte page of a log (a 48-bit command).
AtaTaskfile read_log_ext_taskfile(uint8_t log, uint16_t page);

// DOWNLOAD MICROCODE of block_count blocks at block_offset, PIO data-out. Block count and
// block offset keep their low 16 bits.
AtaTaskfile download_microcode_taskfile(uint8_t subcommand, uint32_t block_count,
                                        uint32_t block_offset);

// DOWNLOAD MICROCODE with a subcommand that moves no data (0Fh, activate), non-data.
AtaTaskfile download_microcode_non_data_taskfile(uint8_t subcommand);

// The 12-byte ATA PASS-THROUGH CDBs of the identification commands, for the tests and the
// traces that show them.
void build_identify_cdb(uint8_t *cdb);
void build_fw_request_cdb(uint8_t *cdb, uint8_t features);
