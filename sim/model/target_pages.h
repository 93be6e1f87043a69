// What the three Linux targets the bay models build besides identification and downloads:
// VPD pages, READ CAPACITY, MODE SENSE, LOG SENSE and REQUEST SENSE, each as libata (a SATA
// drive), scsi_debug or QEMU's scsi-hd builds it (vpd_pages.cpp, sbc_answers.cpp).
#pragma once

#include <cstdint>
#include <vector>

#include "drive.h"

enum class Target { libata, scsi_debug, scsi_hd };

// The target that answers for the drive.
Target target_of(const Drive &d);

// VPD page `page` as the drive's target builds it, from byte 0 (captured answers are the
// caller's). Returns true, or false when the target has no such page.
bool vpd_page(const Drive &d, uint8_t page, std::vector<uint8_t> &out);

// ILLEGAL REQUEST, INVALID FIELD IN CDB, as the target reports it: libata and scsi_debug
// point at CDB byte `byte` (sense-key specific bytes 15-17; libata's fixed sense is 26 bytes
// long), QEMU gives the plain 18 bytes; descriptor format for libata when descriptor is set.
Answer invalid_field_answer(Target t, bool descriptor, const Command &cmd, uint8_t byte);

// REQUEST SENSE, READ CAPACITY (10) and (16), MODE SENSE (6) and (10) and LOG SENSE, as the
// drive's target answers them (descriptor: libata reports sense in descriptor format).
// Returns true with the answer in a, or false when the command is none of these or the
// target does not know it (the caller refuses the opcode).
bool sbc_answer(Drive &d, bool descriptor, const Command &cmd, Answer &a);

// The last logical block address of the drive: from the IDENTIFY data of a SATA drive
// (words 100-103, else 60-61), from capacity_blocks otherwise.
uint64_t last_lba(const Drive &d);
