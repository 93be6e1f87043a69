// Reading identity listing lines back. The columns are found by what the listing fixes
// about them, not by searching for their labels alone, since a model number may hold
// blanks and even the text of a label.
#include "listing/listing.h"

#include "base/printable.h"

#include <algorithm>
#include <cstdio>

namespace {

// The listing line, by column:
//   0-8    vendor: 8 bytes at most, padded with blanks to 9
//   9      a blank
//   10..   device path, up to the first " MN: " after it
//   ..     " MN: ", then the model number padded with blanks to at least 20 (40 at most)
//   ..     " SN: ", then the serial number padded to exactly 8 (it is 8 bytes at most)
//   ..     " FW: ", then the firmware column to the end of the line (45 bytes at most)
constexpr size_t k_vendor_width = 9;
constexpr size_t k_device_start = k_vendor_width + 1;
constexpr std::string_view k_mn_label = " MN: ";
constexpr std::string_view k_sn_label = " SN: ";
constexpr std::string_view k_fw_label = " FW: ";
constexpr size_t k_model_min_width = 20;
constexpr size_t k_model_max_len = 40;
constexpr size_t k_serial_width = 8;
constexpr size_t k_firmware_max_len = 45;

// The lines the run writes, instead of a listing line, for a device it cannot open or
// identify before it ends, by ListingStop: the device path stands between prefix and suffix.
struct StopLine {
    int stop;
    std::string_view prefix;
    std::string_view suffix;
};
constexpr StopLine k_stop_lines[] = {
    {LISTING_STOP_OPEN, "Error: Could not open handle to ", ""},
    {LISTING_STOP_INQUIRY, "Sending INQUIRY command to ", " Failed"},
    {LISTING_STOP_VPD, "Sending INQUIRY VPD 0x80 command to ", " Failed"},
};

// The bytes that reading a full revision drops wherever they occur. A line end cannot be in
// a listing line, so it is not among them here.
constexpr std::string_view k_revision_whitespace = " \t\v\r";

std::string_view drop_trailing_blanks(std::string_view s) {
    size_t end = s.find_last_not_of(' ');
    return end == std::string_view::npos ? std::string_view() : s.substr(0, end + 1);
}

} // namespace

std::string format_listing_line(const ListingLine &columns) {
    // printf's %s ends at a NUL byte, and so does the serial column.
    std::string serial =
        with_controls_shown(std::string_view(columns.serial).substr(0, columns.serial.find('\0')));
    const char *format = "%-9s %s MN: %-20s SN: %-8s FW: %s\n";
    std::string vendor = terminal_safe(columns.vendor.c_str());
    std::string model = terminal_safe(columns.model.c_str());
    std::string firmware = terminal_safe(columns.firmware.c_str());
    const char *args[] = {vendor.c_str(), columns.device.c_str(), model.c_str(), serial.c_str(),
                          firmware.c_str()};
    int n = snprintf(nullptr, 0, format, args[0], args[1], args[2], args[3], args[4]);
    std::string line(static_cast<size_t>(std::max(n, 0)), '\0');
    snprintf(line.data(), line.size() + 1, format, args[0], args[1], args[2], args[3], args[4]);
    return line;
}

bool parse_listing_line(std::string_view line, ListingLine *out) {
    if (line.find('\0') != std::string_view::npos || line.size() < k_device_start ||
        line[k_vendor_width] != ' ') {
        return false;
    }
    size_t mn_label = line.find(k_mn_label, k_device_start);
    // A firmware revision holds no blank, so the last " FW: " is the label (a serial number
    // or a model number may hold that text, the firmware column cannot).
    size_t fw_label = line.rfind(k_fw_label);
    if (mn_label == std::string_view::npos || fw_label == std::string_view::npos) {
        return false;
    }
    size_t model_start = mn_label + k_mn_label.size();
    // The serial column has a fixed width, so its label sits at a known distance before the
    // firmware label, whatever the model number holds.
    if (fw_label < model_start + k_model_min_width + k_sn_label.size() + k_serial_width) {
        return false;
    }
    size_t sn_label = fw_label - k_serial_width - k_sn_label.size();
    if (line.substr(sn_label, k_sn_label.size()) != k_sn_label) {
        return false;
    }
    std::string_view model = line.substr(model_start, sn_label - model_start);
    std::string_view firmware = line.substr(fw_label + k_fw_label.size());
    if (model.size() > k_model_max_len || firmware.size() > k_firmware_max_len) {
        return false;
    }
    // Neither a full model number (trimmed as it is read) nor the INQUIRY product that
    // stands in for it (cut at its first blank) ends in a blank, so the blanks at the end of
    // the column are all padding.
    model = drop_trailing_blanks(model);
    out->vendor = drop_trailing_blanks(line.substr(0, k_vendor_width));
    out->device = line.substr(k_device_start, mn_label - k_device_start);
    out->model = model;
    out->serial = drop_trailing_blanks(line.substr(sn_label + k_sn_label.size(), k_serial_width));
    out->firmware = firmware;
    return true;
}

int listing_identity(const ListingLine &line) {
    if (line.vendor.compare(0, 3, "ATA") != 0) {
        return LISTING_NOT_ATA;
    }
    // The 4-byte INQUIRY revision stands in for a revision that could not be read, and it
    // is shown as the drive gave it ("n/a ", "1.0 "); a revision that was read has had its
    // whitespace dropped.
    if (line.firmware.find_first_of(k_revision_whitespace) != std::string::npos) {
        return LISTING_INCOMPLETE;
    }
    return LISTING_COMPLETE;
}

std::string format_listing_stop_line(int stop, const char *path) {
    for (const StopLine &l : k_stop_lines) {
        if (l.stop == stop) {
            return std::string(l.prefix) + path + std::string(l.suffix) + "\n";
        }
    }
    return "";
}

int parse_listing_stop_line(std::string_view line, std::string *device) {
    for (const StopLine &l : k_stop_lines) {
        if (line.size() >= l.prefix.size() + l.suffix.size() && line.starts_with(l.prefix) &&
            line.ends_with(l.suffix)) {
            *device = line.substr(l.prefix.size(), line.size() - l.prefix.size() - l.suffix.size());
            return l.stop;
        }
    }
    return LISTING_NO_STOP;
}

int listing_wholeness(std::string_view text, unsigned long *lines) {
    unsigned long n = 0;
    bool drive = false;
    std::string_view last;
    std::string device;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        ++n;
        if (end == std::string_view::npos) {
            *lines = n;
            return LISTING_ENDS_INSIDE_LINE;
        }
        last = text.substr(pos, end - pos);
        pos = end + 1;
        if (parse_listing_stop_line(last, &device) != LISTING_NO_STOP) {
            *lines = n;
            return LISTING_WHOLE;
        }
        ListingLine columns;
        drive = drive || parse_listing_line(last, &columns);
    }
    *lines = n;
    if (!drive) {
        return LISTING_NO_DRIVE;
    }
    return last.empty() ? LISTING_WHOLE : LISTING_NO_FINAL_BLANK;
}

std::string listing_missing_text(int whole, unsigned long lines) {
    switch (whole) {
    case LISTING_ENDS_INSIDE_LINE:
        return "it ends inside line " + std::to_string(lines) +
               ": the rest of that line and the run's final blank line are missing";
    case LISTING_NO_FINAL_BLANK:
        return "the run's final blank line is missing after line " + std::to_string(lines);
    case LISTING_NO_DRIVE:
        return lines == 0 ? "it is empty" : "it holds no drive line";
    default:
        return "";
    }
}
