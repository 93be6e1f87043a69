// One drive once per run: the drives the run has processed, by node and by name, so that a
// second path to a drive (the same node again, another name of the node, the other port of a
// dual-ported drive) is not processed again.
#pragma once

#include "cli/drive_name.h"
#include "record/record.h"

#include <string>
#include <sys/types.h>
#include <vector>

struct SeenDrive {
    std::string path; // the path the run processed the drive under
    bool has_rdev;    // rdev holds the device number of the node it answers at
    dev_t rdev;
    DriveName name;
};

using SeenDrives = std::vector<SeenDrive>;

// When the device at path, open as fd and identified as id, is a drive the run processed
// already (the same device number, or the same name): writes "PATH: same drive as FIRST; not
// processed again" on standard error and fills record (decision duplicate, the reason).
// Returns true when the device is such a duplicate.
bool is_duplicate(const SeenDrives &seen, int fd, const char *path, const DeviceIdentity &id,
                  DeviceRecord *record);

// Remembers the drive of id, processed under path, at the node open as fd now (another node
// than path's when the drive came back elsewhere; -1 when it did not come back: only its
// name is kept).
void remember_drive(SeenDrives *seen, int fd, const char *path, const DeviceIdentity &id);
