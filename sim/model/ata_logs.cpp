// Logs and SMART data of the SATA drive. The SMART data are those of QEMU's AHCI disk as the
// real-stack tier read them (seven attributes, an empty error log and self-test log), so a
// drive of either flavour reads like a real one; QEMU keeps no log directory, the generic
// drive keeps both directories and lists in them exactly the logs it serves.
#include "ata_logs.h"

#include <cstdio>

#include "captured.h"
#include "drive_exec.h"
#include "sim_bytes.h"

namespace {

// SMART READ DATA: revision 0001h and seven attributes (bytes 2-361, 12 bytes each: id,
// flags, value, worst, raw), offline collection status 82h (byte 362), self-test status 0,
// 288 s of offline collection (364-365), offline capabilities 19h (367), SMART capabilities
// 0003h (368-369), error logging supported (370), 2 and 54 minutes of self-test (372-373).
const char k_smart_data[] =
    "01000103006464000000000000000303006464100000000000000402006464640000000000000503006464"
    "000000000000000903006464010000000000000c0300646400000000000000be030045451f001f1f00000000";
const char k_smart_data_tail[] = "8200200100190300010002360100"; // from byte 362
// SMART READ THRESHOLDS: revision 0001h and the threshold of each attribute.
const char k_smart_thresholds[] =
    "01000106000000000000000000000300000000000000000000000414000000000000000000000524000000"
    "000000000000000900000000000000000000000c0000000000000000000000be32";

// The last byte of a SMART structure makes its 512 bytes sum to 0 (mod 256).
void put_checksum(std::vector<uint8_t> &b) {
    uint8_t sum = 0;
    for (size_t i = 0; i < 511; i++)
        sum = static_cast<uint8_t>(sum + b[i]);
    b[511] = static_cast<uint8_t>(-sum);
}

// A log page with a version word (bytes 0-1) and the rest of the 512 bytes zero.
std::vector<uint8_t> versioned_page(uint16_t version) {
    std::vector<uint8_t> b(512, 0);
    b[0] = static_cast<uint8_t>(version);
    b[1] = static_cast<uint8_t>(version >> 8);
    return b;
}

// The IDENTIFY DEVICE data log (30h), 512 bytes a page, quadwords little-endian; the first
// quadword of a page holds the revision 0001h (bits 15:0) and the page number (23:16).
//   page 00h: byte 8 the number of pages listed, from byte 9 the pages: 00h, 03h
//   page 03h (supported capabilities): bytes 8-15 the capabilities quadword (valid, no
//   capability stated), bytes 16-23 the DOWNLOAD MICROCODE capabilities: bit 63 valid,
//   bit 34 deferred (0Eh) supported, bits 31:16 the maximum and 15:0 the minimum blocks
std::vector<uint8_t> identify_log_page(const Drive &d, uint16_t page) {
    std::vector<uint8_t> b(512, 0);
    b[0] = 0x01;
    b[2] = static_cast<uint8_t>(page);
    if (page == 0x00) {
        b[8] = 2;
        b[9] = 0x00;
        b[10] = 0x03;
    } else {
        b[15] = 0x80;
        for (int i = 0; i < 8; i++)
            b[16 + i] = static_cast<uint8_t>(d.dm_capabilities >> (8 * i));
    }
    return b;
}

// A log directory: version 0001h, then at bytes 2N-2N+1 the number of pages of log N.
// READ LOG EXT's lists log 30h (pages 00h to 03h) where the drive keeps it; SMART READ
// LOG's lists the error log (01h) and the self-test log (06h).
std::vector<uint8_t> log_directory(const Drive &d, bool gpl) {
    std::vector<uint8_t> b = versioned_page(1);
    if (gpl && d.has_dm_log)
        b[size_t{2} * 0x30] = 4;
    if (!gpl) {
        b[size_t{2} * 0x01] = 1;
        b[size_t{2} * 0x06] = 1;
    }
    return b;
}

} // namespace

bool ata_log_page(const Drive &d, bool gpl, uint8_t log, uint16_t page, std::vector<uint8_t> &out) {
    bool generic = d.ata_flavor == AtaFlavor::generic;
    if (gpl && page < 0x100) {
        char name[16];
        std::snprintf(name, sizeof name, "log_%02x_%02x", log, page);
        if (const CapturedAnswer *c = captured_answer(d, name)) {
            out = captured_bytes(d, name, *c);
            return !c->refused && out.size() == 512;
        }
    }
    if (log == 0x00 && page == 0 && generic) {
        out = log_directory(d, gpl);
        return true;
    }
    if (gpl && log == 0x30 && generic && d.has_dm_log && (page == 0x00 || page == 0x03)) {
        out = identify_log_page(d, page);
        return true;
    }
    if (!gpl && (log == 0x01 || log == 0x06) && page == 0) {
        out = versioned_page(1);
        put_checksum(out);
        return true;
    }
    return false;
}

bool smart_enabled(const Drive &d) {
    std::vector<uint8_t> id = identify_data(d);
    return (id[164] & 0x01) != 0 && (id[170] & 0x01) != 0; // words 82 and 85, bit 0
}

std::vector<uint8_t> smart_data(bool thresholds) {
    std::vector<uint8_t> b = hex_bytes(thresholds ? k_smart_thresholds : k_smart_data, 512);
    if (!thresholds) {
        std::vector<uint8_t> tail = hex_bytes(k_smart_data_tail);
        std::copy(tail.begin(), tail.end(), b.begin() + 362);
    }
    put_checksum(b);
    return b;
}
