// Running commands against the simulated drives: faults, unit attention, then the drive
// model of the SCSI drive or of the SATA drive behind the SAT layer.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "drive.h"

// The sg driver version the bay reports to SG_GET_VERSION_NUM (below 40000, so that
// clients keep to sg_io_hdr).
inline constexpr int k_sg_version_num = 30536;

// The kinds a command counts as, the most specific first, "any" last (fault "on" values).
std::vector<std::string> command_kinds(const Command &cmd);

// Runs one SG_IO command on drive idx of the bay, counting it, applying the first fault
// that fires, and otherwise letting the drive answer. Returns the answer; a nonzero
// io_errno means the ioctl fails.
Answer execute_command(Bay &bay, size_t idx, const Command &cmd);

// An open of drive idx's node. Returns 0, or the errno with which the open fails.
int open_drive(Bay &bay, size_t idx);

// SG_GET_VERSION_NUM on drive idx. Returns 0 and sets value, or the errno of the failure.
int version_of_drive(Bay &bay, size_t idx, int &value);

// The drive models, without faults or unit attention (drive_scsi.cpp, drive_sata.cpp).
Answer scsi_drive_answer(Drive &d, const Command &cmd);
Answer sata_drive_answer(const Bay &bay, Drive &d, const Command &cmd);

// The 512 bytes of IDENTIFY DEVICE data of a SATA drive (its captured ones, if any).
std::vector<uint8_t> identify_data(const Drive &d);

// Sets the integrity word (255) of 512 bytes of IDENTIFY data: the signature A5h and the
// checksum that makes the bytes sum to 0 (mod 256).
void seal_identify(uint8_t *id);

// The 4 characters of libata's INQUIRY revision for an 8-character IDENTIFY revision: the
// last four, or the first four when those are blank, and "n/a " when the four begin with a
// blank or NUL.
std::string libata_revision(const std::string &revision);

// The answer of a SAT layer that does not know the command: ILLEGAL REQUEST 20h/00h
// (fixed format, or descriptor format when descriptor is set).
Answer invalid_opcode(const Command &cmd, bool descriptor);

// The answer of a SATA drive that aborts the command: for ATA PASS-THROUGH the ATA error
// sense (ABRT, the drive's abort status, the command's registers) in the bay's layout;
// for other commands ABORTED COMMAND 00h/00h.
Answer sata_abort_answer(const Bay &bay, const Drive &d, const Command &cmd);
