// What the run knows of one drive, and how it learns it: both INQUIRY commands and the full
// model number and revision of an ATA drive, then the listing line and the record members
// made from them.
#pragma once

#include "record/record.h"
#include "sg/ata_pages.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Length of the buffer of both INQUIRY commands of a device.
inline constexpr int k_inquiry_buf_len = 96;

// Cleared to zero bytes before the device's first INQUIRY, so a field that is never filled
// is the empty text.
struct DeviceIdentity {
    char vendor[9];         // INQUIRY vendor identification, trailing blanks kept
    char product[17];       // INQUIRY product identification, cut at its first blank
    char revision[5];       // INQUIRY product revision level
    char serial[9];         // unit serial number page, from its first non-space byte
    char full_serial[93];   // the page's whole serial field, less the blanks around it
    char ata_serial[21];    // the IDENTIFY serial number of an ATA drive, when it was read
    char wwn[33];           // the NAA name of page 83h in hex, when the run read one
    char full_model[41];    // get_full_mn, or product
    char full_fw[47];       // get_full_fw, or revision
    bool is_ata;            // vendor begins "ATA"
    bool full_fw_read;      // get_full_fw succeeded: full_fw is the drive's full revision
    bool identity_complete; // both full reads succeeded
    // The IDENTIFY DEVICE data that gave full_model; all zero when none was read (a drive
    // that is not ATA), which states nothing about microcode.
    uint8_t identify[IDENTIFY_DATA_LEN];
};

// Sends both INQUIRY commands and the full-identity reads to the drive at fd, filling id.
// Returns 0, or -1 after writing the stop line of the device at path (the drive did not
// answer an INQUIRY; the run then ends with status 3).
int identify_device(int fd, const char *path, DeviceIdentity *id);

// Fills vendor, product, revision and is_ata from 96 bytes of standard INQUIRY data.
void fill_standard_identity(DeviceIdentity *id, const uint8_t *inquiry);

// Fills serial and full_serial from the unit serial number page in page (len bytes, the
// INQUIRY buffer). The scan and the copies never reach past len, whatever the page length
// claims. full_serial is the field up to its first NUL byte, less the spaces that pad it at
// either end.
void fill_serial(DeviceIdentity *id, const uint8_t *page, size_t len);

// The identity listing line for a device at path, with its line end. The firmware column is
// the full revision only for the extended listing with the --tmc code 31847.
std::string listing_line(const DeviceIdentity &id, const char *path, uint8_t list_mode,
                         int32_t tmc_code);

// Fills the identity members of r from what the run read of the drive.
void record_identity(DeviceRecord *r, const DeviceIdentity &id);
