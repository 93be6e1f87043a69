#include "cli/drive_name.h"

#include "base/printable.h"
#include "sg/identify.h"

#include <cstring>

namespace {

// A serial number that tells one drive from another: one character that is neither a blank
// nor a zero (a drive without a serial may fill the field with either).
bool serial_names_a_drive(const std::string &serial) {
    return serial.find_first_not_of(" 0") != std::string::npos;
}

std::string without_trailing_blanks(const char *text) {
    std::string s = text;
    s.erase(s.find_last_not_of(' ') + 1);
    return s;
}

} // namespace

bool run_needs_drive_names(const RunOptions &opts) {
    return opts.record_path || opts.preflight || opts.verify || opts.activate || opts.cfs_path ||
           opts.device_paths.size() > 1;
}

void read_drive_wwn(int fd, DeviceIdentity *id) {
    DeviceIdentification page = read_device_identification(fd);
    std::memset(id->wwn, 0, sizeof id->wwn);
    page.naa.copy(id->wwn, sizeof id->wwn - 1);
}

DriveName drive_name_of(const DeviceIdentity &id) {
    DriveName n;
    n.wwn = id.wwn;
    n.vendor = without_trailing_blanks(id.vendor);
    n.model = id.product;
    n.serial = id.full_serial;
    return n;
}

bool read_drive_name(int fd, DriveName *name) {
    DeviceIdentity id{};
    uint8_t inq[k_inquiry_buf_len];
    if (send_inq(fd, inq, k_inquiry_buf_len, 0) < 0) {
        return false;
    }
    fill_standard_identity(&id, inq);
    if (send_inq(fd, inq, k_inquiry_buf_len, VPD_UNIT_SERIAL) == 0) {
        fill_serial(&id, inq, sizeof inq);
    }
    read_drive_wwn(fd, &id);
    *name = drive_name_of(id);
    return true;
}

bool names_a_drive(const DriveName &n) {
    return !n.wwn.empty() || serial_names_a_drive(n.serial);
}

bool same_drive(const DriveName &a, const DriveName &b) {
    bool serials = serial_names_a_drive(a.serial) && serial_names_a_drive(b.serial);
    if (!a.wwn.empty() && !b.wwn.empty()) {
        // Two drives behind a bridge that gives every drive one fixed name still differ by
        // their serial numbers.
        return a.wwn == b.wwn && (!serials || a.serial == b.serial);
    }
    return serials && a.serial == b.serial && a.vendor == b.vendor && a.model == b.model;
}

std::string drive_name_text(const DriveName &n) {
    if (!n.wwn.empty()) {
        return "wwn " + n.wwn;
    }
    return names_a_drive(n) ? "serial " + terminal_safe(n.serial) : "";
}
