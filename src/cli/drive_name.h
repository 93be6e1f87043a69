// What names a drive whatever node it answers at: its world-wide name (the NAA name of page
// 83h) when it has one, else its vendor, model and whole serial number. A run processes a
// drive once under this name, and finds the drive again by it after new microcode.
#pragma once

#include "cli/identity.h"
#include "cli/options.h"

#include <string>

struct DriveName {
    std::string wwn;    // the NAA name in hex; empty when the drive names none
    std::string vendor; // INQUIRY vendor, less the blanks after it
    std::string model;  // INQUIRY product, cut at its first blank
    std::string serial; // the whole serial of page 80h, less the blanks around it
};

// True when the run must know its drives by name: a record, a dry run, a revision read again
// (--verify, -c), an activation, or more than one device (two nodes of one dual-ported drive
// are one drive).
bool run_needs_drive_names(const RunOptions &opts);

// Reads page 83h of the drive at fd into id->wwn: one INQUIRY, sent after the drive's
// identification commands. A drive that refuses the page, or names no NAA, has no WWN.
void read_drive_wwn(int fd, DeviceIdentity *id);

// The name of an identified drive.
DriveName drive_name_of(const DeviceIdentity &id);

// Reads the name of the drive at fd (standard INQUIRY, pages 80h and 83h), printing nothing.
// Returns false when the drive did not answer INQUIRY.
bool read_drive_name(int fd, DriveName *name);

// True when n can name a drive: it has a WWN, or a serial number that is not blank.
bool names_a_drive(const DriveName &n);

// True when a and b name one drive: equal WWNs (and no two serial numbers that differ) or,
// where either has no WWN, equal vendor, model and serial number. A blank name never names a
// drive: a serial number of blanks or zeros matches nothing.
bool same_drive(const DriveName &a, const DriveName &b);

// "wwn 5000c500a1b2c3d4" or "serial NV01" (terminal_safe) for the lines that name the drive;
// empty when the name is blank.
std::string drive_name_text(const DriveName &n);
