#include "sg/scsi_pages.h"

#include "base/bytes.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

// Standard INQUIRY data, by byte:
//   8-15   vendor identification
//   16-31  product identification
//   32-35  product revision level
constexpr size_t k_inq_vendor = 8;
constexpr size_t k_inq_vendor_len = 8;
constexpr size_t k_inq_product = 16;
constexpr size_t k_inq_product_len = 16;
constexpr size_t k_inq_revision = 32;
constexpr size_t k_inq_revision_len = 4;

// Every VPD page begins with a 4-byte header:
//   1     page code
//   2-3   page length, big-endian, of the bytes after byte 3 (page 80h: byte 3 alone)
constexpr size_t k_vpd_page_code = 1;
constexpr size_t k_vpd_header_len = 4;

// Unit serial number page (80h): byte 3 the page length L, bytes 4.. the serial, L bytes.
constexpr size_t k_vpd80_len = 3;
constexpr size_t k_listed_serial_len = 8;

// Device identification page (83h), designation descriptors from byte 4, each:
//   0     protocol identifier (7:4), code set (3:0): 1 binary
//   1     PIV (7), association (5:4): 0 the logical unit, designator type (3:0): 3 NAA
//   3     designator length n
//   4..   designator, n bytes; an NAA designator's first nibble is the NAA: 2, 3, 5 (8 bytes)
//         or 6 (16 bytes)
constexpr size_t k_desc_header_len = 4;
constexpr uint8_t k_code_set_binary = 1;
constexpr uint8_t k_designator_naa = 3;
constexpr uint8_t k_association_lu = 0;

// The Extended INQUIRY Data page (86h):
//   4     ACTIVATE_MICROCODE (7:6)
//   12    DMS_VALID (4)
//   19    DM_MD_4 (7), DM_MD_5 (6), DM_MD_6 (5), DM_MD_7 (4), DM_MD_D (3), DM_MD_E (2),
//         DM_MD_F (1): the WRITE BUFFER download modes supported, when DMS_VALID
constexpr uint32_t k_ei_activate = 4;
constexpr uint32_t k_ei_dms_valid = 12;
constexpr uint32_t k_ei_download_modes = 19;
// The modes of the DM_MD bits, from bit 7 down.
constexpr uint8_t k_dm_md_modes[] = {0x04, 0x05, 0x06, 0x07, 0x0D, 0x0E, 0x0F};

// The READ BUFFER descriptor: byte 0 the offset boundary, bytes 1-3 the buffer capacity.

void copy_field(char *to, const uint8_t *from, size_t len) {
    std::memcpy(to, from, len);
    to[len] = '\0';
}

std::string hex_of(const uint8_t *p, size_t n) {
    std::string text;
    char pair[3];
    for (size_t i = 0; i < n; ++i) {
        snprintf(pair, sizeof pair, "%02x", p[i]);
        text += pair;
    }
    return text;
}

// The designator of an NAA descriptor whose length fits its NAA; empty otherwise, and for a
// name whose bits past the NAA field are all zero, which names no drive.
std::string naa_name(const uint8_t *d, size_t n) {
    if (n == 0) {
        return "";
    }
    uint8_t naa = d[0] >> 4;
    size_t want = naa == 6 ? 16 : (naa == 2 || naa == 3 || naa == 5) ? 8 : 0;
    if (want == 0 || n != want ||
        ((d[0] & 0x0F) == 0 && std::all_of(d + 1, d + n, [](uint8_t b) { return b == 0; }))) {
        return "";
    }
    return hex_of(d, n);
}

} // namespace

StandardInquiry parse_standard_inquiry(const uint8_t *data) {
    StandardInquiry s{};
    copy_field(s.vendor, data + k_inq_vendor, k_inq_vendor_len);
    copy_field(s.product, data + k_inq_product, k_inq_product_len);
    copy_field(s.revision, data + k_inq_revision, k_inq_revision_len);
    return s;
}

UnitSerial parse_unit_serial(const uint8_t *page, size_t len) {
    UnitSerial u;
    if (len <= k_vpd_header_len) {
        return u;
    }
    size_t field_len = std::min<size_t>(page[k_vpd80_len], len - k_vpd_header_len);
    std::string_view field(reinterpret_cast<const char *>(page + k_vpd_header_len), field_len);
    field = field.substr(0, field.find('\0'));
    size_t first = field.find_first_not_of(' ');
    if (first != std::string_view::npos) {
        u.whole = field.substr(first, field.find_last_not_of(' ') + 1 - first);
    }
    // Only the blank counts as leading padding here, and the copy is 8 bytes whatever the
    // page length says; it never reaches past the buffer.
    for (size_t i = 0; i < field_len; ++i) {
        size_t start = k_vpd_header_len + i;
        if (page[start] != ' ') {
            std::string_view eight(reinterpret_cast<const char *>(page + start),
                                   std::min(k_listed_serial_len, len - start));
            u.first8 = eight.substr(0, eight.find('\0'));
            break;
        }
    }
    return u;
}

DeviceIdentification parse_device_identification(const uint8_t *page, size_t len) {
    DeviceIdentification id;
    if (len < k_vpd_header_len || page[k_vpd_page_code] != VPD_DEVICE_IDENTIFICATION) {
        return id;
    }
    size_t end = std::min(len, k_vpd_header_len + get_be16(page + 2));
    for (size_t at = k_vpd_header_len; at + k_desc_header_len <= end;) {
        const uint8_t *d = page + at;
        size_t n = d[3];
        if (at + k_desc_header_len + n > end) {
            break;
        }
        bool lu_naa = (d[0] & 0x0F) == k_code_set_binary && (d[1] & 0x0F) == k_designator_naa &&
                      ((d[1] >> 4) & 0x03) == k_association_lu;
        if (lu_naa) {
            id.naa = naa_name(d + k_desc_header_len, n);
            if (!id.naa.empty()) {
                break;
            }
        }
        at += k_desc_header_len + n;
    }
    return id;
}

ExtendedInquiry parse_extended_inquiry(const uint8_t *page, uint32_t len) {
    ExtendedInquiry e;
    if (len < k_vpd_header_len || page[k_vpd_page_code] != VPD_EXTENDED_INQUIRY) {
        return e;
    }
    uint32_t end = std::min<uint32_t>(len, k_vpd_header_len + get_be16(page + 2));
    if (k_ei_activate < end) {
        uint8_t activate = page[k_ei_activate] >> 6;
        if (activate == ACTIVATE_BEFORE_COMPLETION || activate == ACTIVATE_AFTER_RESET) {
            e.activate_microcode = activate;
        }
    }
    if (k_ei_download_modes < end && (page[k_ei_dms_valid] & 0x10) != 0) {
        e.download_modes = static_cast<uint8_t>(page[k_ei_download_modes] & 0xFE);
    }
    return e;
}

bool states_download_mode(uint8_t download_modes, uint8_t mode) {
    for (size_t i = 0; i < sizeof k_dm_md_modes; ++i) {
        if (k_dm_md_modes[i] == mode) {
            return (download_modes & (0x80 >> i)) != 0;
        }
    }
    return false;
}

std::string stated_download_modes(uint8_t download_modes) {
    std::string modes;
    for (uint8_t mode : k_dm_md_modes) {
        if (states_download_mode(download_modes, mode)) {
            char one[8];
            snprintf(one, sizeof one, " 0x%02x", unsigned{mode});
            modes += one;
        }
    }
    return modes.empty() ? " (none)" : modes;
}

ReadBufferDescriptor parse_read_buffer_descriptor(const uint8_t *desc) {
    ReadBufferDescriptor d{};
    d.offset_boundary = desc[0];
    uint32_t capacity = get_be24(desc + 1);
    // A capacity of 0 tells nothing about how much of an image the buffer takes; the drive
    // judges the download itself.
    if (capacity != 0) {
        d.capacity = capacity;
    }
    return d;
}
