// Fuzzes what the device run makes of a drive's INQUIRY answers: the identity fields, the
// serial number (with a hostile page length), the device identification and Extended INQUIRY
// pages, and the listing line in every list mode.
// Input, by byte:
//   0-95     standard INQUIRY data
//   96-191   the unit serial number page
//   192      length of a second, shorter serial buffer (taken modulo 97)
//   193-233  full model number text, 41 bytes (the last one read as NUL)
//   234-280  full firmware revision text, 47 bytes (the last one read as NUL)
// Missing bytes read as zero; without the texts the INQUIRY fields stand in for them, as
// for a drive that is not ATA.
#include "cli/identity.h"
#include "sg/scsi_pages.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr size_t k_std_at = 0;
constexpr size_t k_page_at = 96;
constexpr size_t k_short_len_at = 192;
constexpr size_t k_model_at = 193;
constexpr size_t k_fw_at = 234;
constexpr size_t k_input_len = 281;

using Bytes = std::unique_ptr<uint8_t[]>;

void require(bool condition) {
    if (!condition) {
        abort();
    }
}

// len bytes of the input from at, in a block of exactly len bytes; missing bytes are zero.
Bytes slice(const uint8_t *data, size_t size, size_t at, size_t len) {
    Bytes out(new uint8_t[len ? len : 1]());
    if (at < size) {
        std::memcpy(out.get(), data + at, std::min(len, size - at));
    }
    return out;
}

bool is_control(unsigned char c) {
    return (c >= 0x01 && c <= 0x1F) || c == 0x7F;
}

bool terminated(const char *field, size_t storage) {
    return std::memchr(field, '\0', storage) != nullptr;
}

// The serial as a page of len bytes gives it when the buffer is taken to go on with zeros:
// the eight bytes from the first non-space byte of the field that the page length claims.
std::string expected_serial(const uint8_t *page, size_t len) {
    auto at = [&](size_t i) -> char { return i < len ? static_cast<char>(page[i]) : '\0'; };
    size_t claimed = len > 3 ? page[3] : 0;
    for (size_t i = 0; i < claimed; ++i) {
        if (at(4 + i) != ' ') {
            std::string s;
            for (size_t k = 0; k < 8 && at(4 + i + k) != '\0'; ++k) {
                s.push_back(at(4 + i + k));
            }
            return s;
        }
    }
    return std::string();
}

void check_serial(const DeviceIdentity &id, const uint8_t *page, size_t len) {
    require(id.serial[8] == '\0');
    require(std::strlen(id.serial) <= 8);
    require(id.serial[0] != ' ');
    require(expected_serial(page, len) == id.serial);
}

std::string padded(const char *text, size_t width) {
    std::string s(text);
    if (s.size() < width) {
        s.append(width - s.size(), ' ');
    }
    return s;
}

void check_listing(const DeviceIdentity &id, const char *path, uint8_t mode, int32_t tmc) {
    std::string line = listing_line(id, path, mode, tmc);
    bool full = (mode & 2) != 0 && tmc == 31847;
    std::string serial(id.serial);
    // The serial reaches the terminal with no control byte, the other drive strings with none
    // but tab, VT, FF and CR.
    auto masked = [](std::string t, const char *kept) {
        std::replace_if(
            t.begin(), t.end(),
            [&](char c) { return is_control(static_cast<unsigned char>(c)) && !strchr(kept, c); },
            '?');
        return t;
    };
    std::string shown = masked(serial, "");
    auto safe = [&](const std::string &t) { return masked(t, "\t\v\f\r"); };
    std::string head = padded(safe(id.vendor).c_str(), 9) + " " + path +
                       " MN: " + padded(safe(id.full_model).c_str(), 20) + " SN: ";
    std::string expected =
        head + padded(shown.c_str(), 8) + " FW: " + safe(full ? id.full_fw : id.revision) + "\n";
    require(line == expected);
    require(!line.empty() && line.back() == '\n');
    size_t mn = line.find(" MN: ");
    size_t sn = line.find(" SN: ", mn);
    size_t fw = line.find(" FW: ", sn);
    require(mn != std::string::npos && sn != std::string::npos && fw != std::string::npos);
    // The serial column, at its place behind the fields before it, shows no control byte.
    for (size_t i = head.size(); i < head.size() + serial.size(); ++i) {
        require(!is_control(static_cast<unsigned char>(line[i])));
    }
    // The stored serial keeps its bytes.
    require(serial == id.serial);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Bytes inquiry = slice(data, size, k_std_at, k_inquiry_buf_len);
    Bytes page = slice(data, size, k_page_at, k_inquiry_buf_len);

    DeviceIdentity id;
    std::memset(&id, 0, sizeof id);
    fill_standard_identity(&id, inquiry.get());
    require(id.vendor[8] == '\0' && id.revision[4] == '\0');
    require(terminated(id.product, sizeof id.product));
    require(std::strcspn(id.product, " \t") == std::strlen(id.product));
    require(std::strncmp(id.product, reinterpret_cast<const char *>(inquiry.get() + 16),
                         std::strlen(id.product)) == 0);
    require(id.is_ata == (std::memcmp(id.vendor, "ATA", 3) == 0));

    fill_serial(&id, page.get(), k_inquiry_buf_len);
    check_serial(id, page.get(), k_inquiry_buf_len);

    // The same page in a shorter buffer: the scan and the copy stay inside it.
    size_t short_len = size > k_short_len_at ? data[k_short_len_at] % 97u : 0;
    Bytes short_page = slice(data, size, k_page_at, short_len);
    DeviceIdentity other;
    std::memset(&other, 0xA5, sizeof other);
    fill_serial(&other, short_page.get(), short_len);
    check_serial(other, short_page.get(), short_len);

    // The same bytes read as the other VPD pages, whatever their lengths claim: a name is
    // 16 or 32 hex digits, never a zero one.
    DeviceIdentification ident = parse_device_identification(short_page.get(), short_len);
    require(ident.naa.empty() || ident.naa.size() == 16 || ident.naa.size() == 32);
    require(ident.naa.find_first_not_of('0') != std::string::npos || ident.naa.empty());
    parse_extended_inquiry(short_page.get(), static_cast<uint32_t>(short_len));

    if (size >= k_input_len) {
        std::memcpy(id.full_model, data + k_model_at, sizeof id.full_model);
        id.full_model[sizeof id.full_model - 1] = '\0';
        std::memcpy(id.full_fw, data + k_fw_at, sizeof id.full_fw);
        id.full_fw[sizeof id.full_fw - 1] = '\0';
        id.identity_complete = true;
    } else {
        std::memcpy(id.full_model, id.product, sizeof id.product);
        std::memcpy(id.full_fw, id.revision, sizeof id.revision);
    }

    const int32_t tmcs[] = {0, 31847, -31847, 31846};
    const char *paths[] = {"/dev/sg0", ""};
    for (uint8_t mode = 0; mode < 4; ++mode) {
        for (int32_t tmc : tmcs) {
            for (const char *path : paths) {
                check_listing(id, path, mode, tmc);
            }
        }
    }
    return 0;
}
