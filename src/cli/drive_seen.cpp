#include "cli/drive_seen.h"

#include "base/error_output.h"

#include <algorithm>
#include <cstdio>
#include <sys/stat.h>

namespace {

// The device number of the character device open as fd; false when fd is no such device.
bool device_number(int fd, dev_t *rdev) {
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        return false;
    }
    *rdev = st.st_rdev;
    return true;
}

} // namespace

bool is_duplicate(const SeenDrives &seen, int fd, const char *path, const DeviceIdentity &id,
                  DeviceRecord *record) {
    dev_t rdev = 0;
    bool has_rdev = device_number(fd, &rdev);
    DriveName name = drive_name_of(id);
    auto first = std::find_if(seen.begin(), seen.end(), [&](const SeenDrive &s) {
        return (has_rdev && s.has_rdev && s.rdev == rdev) || same_drive(s.name, name);
    });
    if (first == seen.end()) {
        return false;
    }
    print_error("%s: same drive as %s; not processed again\n", path, first->path.c_str());
    record->decision = DECISION_DUPLICATE;
    record->reason = "the same drive as " + first->path + ", processed already in this run";
    return true;
}

void remember_drive(SeenDrives *seen, int fd, const char *path, const DeviceIdentity &id) {
    SeenDrive s{path, false, 0, drive_name_of(id)};
    s.has_rdev = device_number(fd, &s.rdev);
    seen->push_back(std::move(s));
}
