#include "cli/drive_seen.h"

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
    for (const SeenDrive &s : seen) {
        if ((has_rdev && s.has_rdev && s.rdev == rdev) || same_drive(s.name, name)) {
            fflush(stdout);
            fprintf(stderr, "%s: same drive as %s; not processed again\n", path, s.path.c_str());
            record->decision = DECISION_DUPLICATE;
            record->reason = "the same drive as " + s.path + ", processed already in this run";
            return true;
        }
    }
    return false;
}

void remember_drive(SeenDrives *seen, int fd, const char *path, const DeviceIdentity &id) {
    SeenDrive s{path, false, 0, drive_name_of(id)};
    s.has_rdev = device_number(fd, &s.rdev);
    seen->push_back(std::move(s));
}
