// The SCSI answers the system reads, one parser each: standard INQUIRY data, the VPD pages
// 80h (unit serial number), 83h (device identification) and 86h (Extended INQUIRY Data),
// and the READ BUFFER descriptor. Pure functions of the bytes; nothing here sends a command.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// VPD pages.
inline constexpr uint8_t VPD_UNIT_SERIAL = 0x80;
inline constexpr uint8_t VPD_DEVICE_IDENTIFICATION = 0x83;
inline constexpr uint8_t VPD_EXTENDED_INQUIRY = 0x86;

// Standard INQUIRY data up to the end of the product revision level, the part the run reads.
inline constexpr uint32_t STANDARD_INQUIRY_MIN_LEN = 36;

// The fields of standard INQUIRY data, each as the drive gave it (blanks kept).
struct StandardInquiry {
    char vendor[9];   // T10 vendor identification
    char product[17]; // product identification
    char revision[5]; // product revision level
};

// Reads STANDARD_INQUIRY_MIN_LEN bytes of standard INQUIRY data.
StandardInquiry parse_standard_inquiry(const uint8_t *data);

// The serial number of the unit serial number page, as the run takes it.
struct UnitSerial {
    // The 8 bytes that start at the first non-blank byte of the field (past the page's end,
    // whatever the buffer holds there), up to the first NUL among them; empty when the field
    // is all blanks or empty.
    std::string first8;
    // The field up to its first NUL, less the blanks around it.
    std::string whole;
};

// Reads the unit serial number page from len bytes of an INQUIRY buffer. Nothing past len is
// read, whatever the page length claims.
UnitSerial parse_unit_serial(const uint8_t *page, size_t len);

// What the device identification page (83h) names the logical unit by.
struct DeviceIdentification {
    // The logical unit's NAA name as 16 or 32 lower-case hex digits (NAA 2, 3 or 5: 8 bytes;
    // NAA 6: 16 bytes), the first valid one of the page; empty when the page names none, or
    // only one that is zero past its NAA field.
    std::string naa;
};

// Reads the device identification page from len bytes of its answer. A descriptor that runs
// past the page or the buffer ends the walk; a page that is not 83h names nothing.
DeviceIdentification parse_device_identification(const uint8_t *page, size_t len);

// ACTIVATE_MICROCODE of the Extended INQUIRY Data page: new microcode becomes active before
// the final WRITE BUFFER completes (1), or at the next power on or hard reset (2).
inline constexpr uint8_t ACTIVATE_BEFORE_COMPLETION = 1;
inline constexpr uint8_t ACTIVATE_AFTER_RESET = 2;

// What the Extended INQUIRY Data page states. A statement the drive does not make is
// std::nullopt.
struct ExtendedInquiry {
    std::optional<uint8_t> activate_microcode; // 1 or 2
    std::optional<uint8_t> download_modes;     // the DM_MD bits of byte 19, with DMS_VALID
};

// Reads the Extended INQUIRY Data page from len bytes of its answer. Bytes beyond the page
// length the drive gives state nothing; a buffer that does not hold page 86h states nothing.
ExtendedInquiry parse_extended_inquiry(const uint8_t *page, uint32_t len);

// True when download_modes (DM_MD bits) state the WRITE BUFFER mode; false for a mode the
// page does not cover (only 04h, 05h, 06h, 07h, 0Dh, 0Eh and 0Fh have a bit).
bool states_download_mode(uint8_t download_modes, uint8_t mode);

// The modes download_modes states, as " 0x05 0x07", or " (none)".
std::string stated_download_modes(uint8_t download_modes);

// The READ BUFFER descriptor of a buffer.
struct ReadBufferDescriptor {
    uint8_t offset_boundary;          // offsets are multiples of 2^n bytes; FFh: offset 0 only
    std::optional<uint32_t> capacity; // bytes; a capacity of 0 states nothing
};

// The offset boundary that allows offset 0 only.
inline constexpr uint8_t OFFSET_ZERO_ONLY = 0xFF;

// Reads the 4 bytes of a READ BUFFER descriptor.
ReadBufferDescriptor parse_read_buffer_descriptor(const uint8_t *desc);
