// The device list and the device run: open, identify, list, hand to the image stage, close.
#pragma once

#include "cli/options.h"
#include "cli/owned_text.h"
#include "sg/identify.h"

#include <cstddef>
#include <cstdint>
#include <dirent.h>
#include <string>
#include <vector>

// Length of the buffer of both INQUIRY commands of a device.
inline constexpr int k_inquiry_buf_len = 96;

// What the run knows of one drive. Cleared to zero bytes before the device's first INQUIRY,
// so a field that is never filled is the empty text.
struct DeviceIdentity {
    char vendor[9];         // INQUIRY vendor identification, trailing blanks kept
    char product[17];       // INQUIRY product identification, cut at its first blank
    char revision[5];       // INQUIRY product revision level
    char serial[9];         // unit serial number page, from its first non-space byte
    char full_serial[93];   // the page's whole serial field, less the blanks around it
    char ata_serial[21];    // the IDENTIFY serial number of an ATA drive, when it was read
    char full_model[41];    // get_full_mn, or product
    char full_fw[47];       // get_full_fw, or revision
    bool is_ata;            // vendor begins "ATA"
    bool full_fw_read;      // get_full_fw succeeded: full_fw is the drive's full revision
    bool identity_complete; // both full reads succeeded
    // The IDENTIFY DEVICE data that gave full_model; all zero when none was read (a drive
    // that is not ATA), which states nothing about microcode.
    uint8_t identify[IDENTIFY_DATA_LEN];
};

// scandir filter: keeps every entry whose name begins with "sg". Returns 1 to keep, else 0.
int is_sg_entry(const struct dirent *entry);

// Appends dir/<name> for every "sg" entry of dir, in alphasort order.
// Returns 0, or -1 after perror ("scandir", "realloc" or "malloc").
int scan_device_dir(const char *dir, std::vector<OwnedText> *paths);

// Leaves a non-empty list as it is; fills an empty one from /dev.
// Returns 0, or -1 after reporting why (the run then ends with status 1).
int build_device_list(std::vector<OwnedText> *paths);

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

// Processes every device of opts->device_paths in order, releasing each path when its device
// is done. Returns the exit status: 0, 2 when a download failed, 3 when a device could not be
// opened, was in use by another process or could not be identified (the run stops there), 1
// when standard output could no longer be written (the run stops before the next device),
// or what the image stage ended the run with. A stop signal that arrived during an image
// ends the process by that signal once the image's outcome is written.
int run_devices(RunOptions *opts);
