// ATA commands carried in SCSI ATA PASS-THROUGH (12) and (16): the registers a command
// writes, the registers a drive returns, and the one builder of both CDB forms.
#pragma once

#include <cstdint>

inline constexpr uint8_t ATA_PASS_THROUGH_12_OPCODE = 0xA1;
inline constexpr uint8_t ATA_PASS_THROUGH_16_OPCODE = 0x85;
inline constexpr uint8_t ATA_PASS_THROUGH_12_CDB_LEN = 12;
inline constexpr uint8_t ATA_PASS_THROUGH_16_CDB_LEN = 16;

// ATA commands the system sends.
inline constexpr uint8_t ATA_IDENTIFY_DEVICE = 0xEC;
inline constexpr uint8_t ATA_DOWNLOAD_MICROCODE = 0x92;
inline constexpr uint8_t ATA_READ_LOG_EXT = 0x2F;

// PROTOCOL field values of the SCSI/ATA translation standard.
inline constexpr uint8_t ATA_PROTOCOL_NON_DATA = 3;
inline constexpr uint8_t ATA_PROTOCOL_PIO_DATA_IN = 4;
inline constexpr uint8_t ATA_PROTOCOL_PIO_DATA_OUT = 5;

// ATA Status register bits.
inline constexpr uint8_t ATA_STATUS_ERR = 0x01;
inline constexpr uint8_t ATA_STATUS_DF = 0x20;
inline constexpr uint8_t ATA_STATUS_BSY = 0x80;
// ATA Error register bit: the drive aborted the command.
inline constexpr uint8_t ATA_ERROR_ABRT = 0x04;

// One ATA command as the host writes it. The 12-byte form carries the low 8 bits of
// features and count and the low 24 bits of the LBA; the 16-byte form all of them.
struct AtaTaskfile {
    bool extended;         // a 48-bit command: it goes in the 16-byte form, with EXTEND
    uint8_t protocol;      // ATA_PROTOCOL_*
    bool from_device;      // T_DIR: data moves from the drive to the host
    bool length_in_blocks; // BYT_BLOK: the transfer length counts 512-byte blocks
    bool length_in_count;  // T_LENGTH 2: the transfer length is in COUNT (else none)
    uint16_t features;
    uint16_t count;
    uint64_t lba; // 48 bits
    uint8_t device;
    uint8_t command;
};

// The registers a drive returns at the end of a command.
struct AtaRegisters {
    uint8_t error;
    uint8_t status;
    uint8_t device;
    uint8_t count;
};

// Fills cdb (ATA_PASS_THROUGH_12_CDB_LEN bytes) for tf, with CK_COND set so that the drive's
// registers come back after every command, successful or not.
void build_ata_pass_through_12(uint8_t *cdb, const AtaTaskfile &tf);

// Fills cdb (ATA_PASS_THROUGH_16_CDB_LEN bytes) for tf, as above; EXTEND is set, so the
// 48-bit LBA and the 16-bit features and count all reach the drive.
void build_ata_pass_through_16(uint8_t *cdb, const AtaTaskfile &tf);

// The largest CDB of either form.
inline constexpr uint8_t ATA_PASS_THROUGH_MAX_CDB_LEN = ATA_PASS_THROUGH_16_CDB_LEN;

// Fills cdb (at least ATA_PASS_THROUGH_MAX_CDB_LEN bytes) with the form tf needs: the 16-byte
// form for an extended command, else the 12-byte form. Returns the CDB length.
uint8_t build_ata_command_cdb(uint8_t *cdb, const AtaTaskfile &tf);

// The sg direction code of tf's protocol: from the device for PIO data-in, to the device for
// PIO data-out, none for a non-data command.
int8_t ata_direction(const AtaTaskfile &tf);

// True for the operation codes of ATA PASS-THROUGH (12) and (16).
bool is_ata_pass_through_opcode(uint8_t opcode);
