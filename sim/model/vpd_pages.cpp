// VPD pages as the three targets build them. Every page: byte 0 the device type (00h),
// byte 1 the page code, bytes 2-3 the page length, the page from byte 4.
// Sources: drivers/ata/libata-scsi.c (ata_scsiop_inq_*) and drivers/scsi/scsi_debug.c
// (inquiry_vpd_*) of Linux 6.1, QEMU 7.2's hw/scsi/scsi-disk.c, and the pages the real-stack
// tier captured from each (tests/vm/README.md).
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "drive_exec.h"
#include "sense_build.h"
#include "sim_bytes.h"
#include "target_pages.h"

namespace {

// The pages each target lists in VPD 00h; 86h only where the drive has the page.
const uint8_t k_libata_pages[] = {0x00, 0x80, 0x83, 0x89, 0xb0, 0xb1, 0xb2, 0xb9};
const uint8_t k_scsi_debug_pages[] = {0x00, 0x80, 0x83, 0x84, 0x85, 0x86,
                                      0x87, 0x88, 0x89, 0xb0, 0xb1, 0xb2};
const uint8_t k_scsi_hd_pages[] = {0x00, 0x80, 0x83, 0x86, 0xb0, 0xb1, 0xb2};

// scsi_debug's fixed pages as it answers them (84h software interface identification, 85h
// management network addresses, 87h mode page policy), and the block limits, block device
// characteristics and logical block provisioning pages of scsi_debug and of QEMU's disk.
const char k_sdebug_84[] = "00 84 00 12 22 22 22 00 bb 00 22 22 22 00 bb 01 22 22 22 00 bb 02";
const char k_sdebug_85[] = "00 85 00 44 01 00 00 20 68 74 74 70 73 3a 2f 2f 77 77 77 2e 6b 65 72 "
                           "6e 65 6c 2e 6f 72 67 2f 63 6f 6e 66 69 67 00 00 00 04 00 00 1c 68 74 "
                           "74 70 3a 2f 2f 77 77 77 2e 6b 65 72 6e 65 6c 2e 6f 72 67 2f 6c 6f 67 "
                           "00 00 00";
const char k_sdebug_87[] = "00 87 00 08 02 00 80 00 18 00 82 00";
const char k_sdebug_b0[] =
    "00 b0 00 3c 00 00 00 01 00 00 20 00 00 00 04 00 00 00 00 00 00 00 00 00 "
    "00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 00 00 00 ff ff";
const char k_sdebug_b1[] = "00 b1 00 3c 00 01 00 05";
const char k_sdebug_b2[] = "00 b2 00 04 00 00 00 00";
const char k_qemu_b0[] = "00 b0 00 3c 01 00 00 00 00 3f ff ff 00 00 00 00 00 00 00 00 00 20 00 00 "
                         "00 00 00 ff 00 00 00 08 00 00 00 00 00 00 00 00 00 3f ff ff";
const char k_qemu_b1[] = "00 b1 00 3c";
const char k_qemu_b2[] = "00 b2 00 04 00 e0 02 00";

// The IDENTIFY DEVICE data scsi_debug puts in its ATA Information page (a fixed drive,
// "ST380013AS"), up to byte 318; bytes 510-511 are the integrity word.
const char k_sdebug_identify[] =
    "5a0cff3f37c81000000000003f0000000000000058585858585858582020202020202020202020200000004004"
    "002e333831202020205453383330303331534120202020202020202020202020202020202020202020202020"
    "202020202010800000002f0000000200020700ffff01003f00c1ff3e001001b0f8500900000700030078007800"
    "f0007800000000000000000000000000000002000000000000007e001b006b34017d03406934013c03407f4000"
    "000000fefe0000000000fe00000000000000000000b0f850090000000000000000000000000000000000000000"
    "00000000000000000000000000000000000000000000000000000000000000000100b0f85009b0f85009202002"
    "00b64200808a00063c0a3cffffc60700010008f00f00100200300000000000000006fe0000020050008a004f95"
    "000021000b";

// scsi_debug's NAA-3 name bases: logical units and target ports/devices.
constexpr uint64_t k_sdebug_naa3_lu = 0x3333333000000000ull;
constexpr uint64_t k_sdebug_naa3_port = 0x3222222000000000ull;

uint16_t word_of(const std::vector<uint8_t> &id, size_t w) {
    return static_cast<uint16_t>(id[2 * w] | id[2 * w + 1] << 8);
}

void put_page_length(std::vector<uint8_t> &p) {
    put_be16(&p[2], static_cast<uint32_t>(p.size() - 4));
}

// Appends one designation descriptor: byte 0 protocol identifier (7:4) and code set (3:0),
// byte 1 PIV (7), association (5:4) and designator type (3:0), byte 3 its length.
void add_designator(std::vector<uint8_t> &p, uint8_t b0, uint8_t b1,
                    const std::vector<uint8_t> &designator) {
    p.insert(p.end(), {b0, b1, 0, static_cast<uint8_t>(designator.size())});
    p.insert(p.end(), designator.begin(), designator.end());
}

std::vector<uint8_t> be64_bytes(uint64_t v) {
    std::vector<uint8_t> b(8);
    put_be64(b.data(), v);
    return b;
}

std::vector<uint8_t> text_bytes(const std::string &text, size_t padded_len = 0) {
    std::vector<uint8_t> b(std::max(text.size(), padded_len), ' ');
    std::copy(text.begin(), text.end(), b.begin());
    return b;
}

// libata's page 83h: the serial (vendor specific, ASCII), the SAT model and serial
// designator (T10 vendor ID "ATA", the model, the serial) and, when word 87 states a valid
// WWN (bits 15:14 01b, bit 8), the NAA name from words 108-111, each word high byte first.
std::vector<uint8_t> libata_83(const Drive &d) {
    std::vector<uint8_t> id = identify_data(d);
    std::vector<uint8_t> p = {0x00, 0x83, 0, 0};
    std::vector<uint8_t> serial(id.begin() + 20, id.begin() + 40);
    std::vector<uint8_t> model(id.begin() + 54, id.begin() + 94);
    for (size_t i = 0; i < serial.size(); i += 2)
        std::swap(serial[i], serial[i + 1]);
    for (size_t i = 0; i < model.size(); i += 2)
        std::swap(model[i], model[i + 1]);
    add_designator(p, 0x02, 0x00, serial);
    std::vector<uint8_t> sat = text_bytes("ATA     ");
    sat.insert(sat.end(), model.begin(), model.end());
    sat.insert(sat.end(), serial.begin(), serial.end());
    add_designator(p, 0x02, 0x01, sat);
    if ((word_of(id, 87) & 0xc100) == 0x4100) {
        std::vector<uint8_t> naa(8);
        for (size_t w = 0; w < 4; w++)
            put_be16(&naa[2 * w], word_of(id, 108 + w));
        add_designator(p, 0x01, 0x03, naa);
    }
    put_page_length(p);
    return p;
}

// scsi_debug numbers its logical unit (host + 1) * 2000 + target * 1000 + lun, shows that
// number as its serial and derives its names from it: the target device is the number - 3,
// its ports the number - 2 and - 1. A serial that is no such number counts as host 0's.
uint64_t sdebug_lu_number(const Drive &d) {
    bool digits = !d.serial.empty() && d.serial.size() <= 9 &&
                  d.serial.find_first_not_of("0123456789") == std::string::npos;
    uint64_t n = digits ? std::stoull(d.serial) : 2000;
    return n < 3 ? 2000 : n;
}

// scsi_debug's page 83h: T10 vendor ID (vendor, product, serial), the logical unit's NAA-3
// name (or the bay's "wwn"), the relative target port 1, the target port's NAA-3 name, the
// target port group, the target device's NAA-3 name and its SCSI name string.
std::vector<uint8_t> sdebug_83(const Drive &d) {
    uint64_t n = sdebug_lu_number(d);
    std::vector<uint8_t> p = {0x00, 0x83, 0, 0};
    std::vector<uint8_t> t10 = text_bytes(d.vendor, 8);
    t10.resize(8, ' ');
    std::vector<uint8_t> product = text_bytes(d.product, 16);
    product.resize(16, ' ');
    t10.insert(t10.end(), product.begin(), product.end());
    t10.insert(t10.end(), d.serial.begin(), d.serial.end());
    add_designator(p, 0x02, 0x01, t10);
    add_designator(p, 0x01, 0x03, be64_bytes(d.has_wwn ? d.wwn : k_sdebug_naa3_lu + n));
    add_designator(p, 0x61, 0x94, {0, 0, 0, 1});
    add_designator(p, 0x61, 0x93, be64_bytes(k_sdebug_naa3_port + n - 2));
    add_designator(p, 0x61, 0x95, {0, 0, static_cast<uint8_t>(n / 2000 & 0x7f), 0});
    add_designator(p, 0x61, 0xa3, be64_bytes(k_sdebug_naa3_port + n - 3));
    char name[32];
    std::snprintf(name, sizeof name, "naa.32222220%08X", static_cast<unsigned>(n - 3));
    std::vector<uint8_t> sns = text_bytes(name);
    sns.resize(24, 0);
    add_designator(p, 0x63, 0xa8, sns);
    put_page_length(p);
    return p;
}

// scsi_debug's page 88h (SCSI ports): relative ports 1 and 2, each with its NAA-3 name.
std::vector<uint8_t> sdebug_88(const Drive &d) {
    uint64_t n = sdebug_lu_number(d);
    std::vector<uint8_t> p = {0x00, 0x88, 0, 0};
    for (uint8_t port = 1; port <= 2; port++) {
        p.insert(p.end(), {0, 0, 0, port, 0, 0, 0, 0, 0, 0, 0, 0x0c});
        add_designator(p, 0x61, 0x93, be64_bytes(k_sdebug_naa3_port + n - 3 + port));
    }
    put_page_length(p);
    return p;
}

// QEMU's page 83h: the serial (vendor specific, ASCII, at most 20 characters) and, with a
// wwn property, its NAA name.
std::vector<uint8_t> qemu_83(const Drive &d) {
    std::vector<uint8_t> p = {0x00, 0x83, 0, 0};
    if (!d.serial.empty())
        add_designator(p, 0x02, 0x00, text_bytes(d.serial.substr(0, 20)));
    if (d.has_wwn)
        add_designator(p, 0x01, 0x03, be64_bytes(d.wwn));
    put_page_length(p);
    return p;
}

// The ATA Information page (89h), 572 bytes: bytes 8-15 the SAT vendor, 16-31 the SAT
// product, 32-35 its revision, 36 the FIS type 34h, 37-38 the signature's first bytes,
// 40 and 48 count and LBA low 01h, 56 the command code ECh, 60-571 the IDENTIFY data.
std::vector<uint8_t> ata_information(const char *product, const char *revision, uint8_t b37,
                                     uint8_t b38, const std::vector<uint8_t> &identify) {
    std::vector<uint8_t> p(572, 0);
    p[1] = 0x89;
    put_page_length(p);
    put_padded(&p[8], 8, "linux");
    put_padded(&p[16], 16, product);
    put_padded(&p[32], 4, revision);
    p[36] = 0x34;
    p[37] = b37;
    p[38] = b38;
    p[40] = 0x01;
    p[48] = 0x01;
    p[56] = 0xec;
    std::copy_n(identify.begin(), std::min<size_t>(identify.size(), 512), p.begin() + 60);
    return p;
}

// libata's block limits (B0h): the optimal transfer length granularity (one physical block,
// word 106) at bytes 6-7 and, for a drive with TRIM (ATA major version 7 or later, word 169
// bit 0), the unmap granularity 1 at bytes 28-31 and the maximum write same length 3FFFC0h
// (65535 ranges of 64 blocks) at bytes 36-43.
std::vector<uint8_t> libata_b0(const std::vector<uint8_t> &id) {
    std::vector<uint8_t> p(64, 0);
    p[1] = 0xb0;
    p[3] = 0x3c;
    uint16_t w106 = word_of(id, 106);
    int shift = (w106 & 0xc000) == 0x4000 && (w106 & 0x2000) ? w106 & 0x0f : 0;
    put_be16(&p[6], 1u << shift);
    uint16_t w80 = word_of(id, 80);
    bool major7 = w80 != 0xffff && (w80 & 0x7f80) != 0;
    if (major7 && (word_of(id, 169) & 1)) {
        put_be32(&p[28], 1);
        put_be64(&p[36], 65535ull * 64);
    }
    return p;
}

// The page of a target whose bytes the drive does not change; padded to its page length.
std::vector<uint8_t> fixed_page(const char *hex) {
    std::vector<uint8_t> p = hex_bytes(hex, 4);
    p.resize(std::max<size_t>(p.size(), 4 + get_be16(&p[2])), 0);
    return p;
}

std::vector<uint8_t> page_list(const Drive &d, const uint8_t *pages, size_t n) {
    std::vector<uint8_t> p = {0x00, 0x00, 0, 0};
    for (size_t i = 0; i < n; i++)
        if (pages[i] != 0x86 || d.has_extended_inquiry)
            p.push_back(pages[i]);
    put_page_length(p);
    return p;
}

// The Extended INQUIRY Data page (86h), 64 bytes as scsi_debug lays it out:
// byte 4: ACTIVATE_MICROCODE (7:6); byte 5: HEADSUP, ORDSUP, SIMPSUP (07h);
// byte 12: DMS_VALID (4); byte 19: DM_MD_4 (7), _5, _6, _7, _D, _E, DM_MD_F (1).
std::vector<uint8_t> extended_inquiry_page(const Drive &d) {
    std::vector<uint8_t> b(64, 0);
    b[1] = 0x86;
    b[3] = 0x3c;
    b[4] = static_cast<uint8_t>(d.activate_microcode << 6);
    b[5] = 0x07;
    b[12] = d.dms_valid ? 0x10 : 0x00;
    b[19] = d.dm_md;
    return b;
}

bool libata_page(const Drive &d, uint8_t page, std::vector<uint8_t> &out) {
    switch (page) {
    case 0x00:
        out = page_list(d, k_libata_pages, sizeof k_libata_pages);
        return true;
    case 0x80: // the 20 characters of the IDENTIFY serial
        out.assign(24, 0);
        out[1] = 0x80;
        out[3] = 0x14;
        put_padded(&out[4], 20, d.serial);
        return true;
    case 0x83:
        out = libata_83(d);
        return true;
    case 0x89:
        out = ata_information("libata", "3.00", 0x80, 0x40, identify_data(d));
        return true;
    case 0xb0:
        out = libata_b0(identify_data(d));
        return true;
    case 0xb1: { // rotation rate (word 217) at bytes 4-5, form factor (word 168) at byte 7
        std::vector<uint8_t> id = identify_data(d);
        out.assign(64, 0);
        out[1] = 0xb1;
        out[3] = 0x3c;
        put_be16(&out[4], word_of(id, 217));
        out[7] = static_cast<uint8_t>(word_of(id, 168) & 0x0f);
        return true;
    }
    case 0xb2: // TPWS: unmap by WRITE SAME (16)
        out = fixed_page("00 b2 00 04 00 40 00 00");
        return true;
    default: // b9h is listed, but answered only for a drive with the concurrent positioning
             // log, which no modelled drive has
        return false;
    }
}

bool scsi_page(const Drive &d, uint8_t page, std::vector<uint8_t> &out) {
    bool sd = d.flavor == ScsiFlavor::scsi_debug;
    switch (page) {
    case 0x00:
        out = sd ? page_list(d, k_scsi_debug_pages, sizeof k_scsi_debug_pages)
                 : page_list(d, k_scsi_hd_pages, sizeof k_scsi_hd_pages);
        return true;
    case 0x80: {
        size_t n = std::min<size_t>(d.serial.size(), 255);
        out.assign(4 + n, 0);
        out[1] = 0x80;
        out[3] = static_cast<uint8_t>(n);
        std::memcpy(&out[4], d.serial.data(), n);
        return true;
    }
    case 0x83:
        out = sd ? sdebug_83(d) : qemu_83(d);
        return true;
    case 0x86:
        if (d.has_extended_inquiry)
            out = extended_inquiry_page(d);
        return d.has_extended_inquiry;
    case 0xb0:
    case 0xb1:
    case 0xb2: {
        static const char *const k_sd[] = {k_sdebug_b0, k_sdebug_b1, k_sdebug_b2};
        static const char *const k_hd[] = {k_qemu_b0, k_qemu_b1, k_qemu_b2};
        out = fixed_page((sd ? k_sd : k_hd)[page - 0xb0]);
        return true;
    }
    default:
        break;
    }
    if (!sd)
        return false;
    if (page == 0x84 || page == 0x85 || page == 0x87) {
        out = fixed_page(page == 0x84 ? k_sdebug_84 : page == 0x85 ? k_sdebug_85 : k_sdebug_87);
        return true;
    }
    if (page == 0x88) {
        out = sdebug_88(d);
        return true;
    }
    if (page == 0x89) {
        std::vector<uint8_t> id = hex_bytes(k_sdebug_identify, 512);
        id[510] = 0xa5;
        id[511] = 0x51;
        out = ata_information("SAT scsi_debug", "1234", 0x00, 0x00, id);
        return true;
    }
    return false;
}

} // namespace

Target target_of(const Drive &d) {
    if (d.type == DriveType::sata)
        return Target::libata;
    return d.flavor == ScsiFlavor::scsi_debug ? Target::scsi_debug : Target::scsi_hd;
}

bool vpd_page(const Drive &d, uint8_t page, std::vector<uint8_t> &out) {
    return d.type == DriveType::sata ? libata_page(d, page, out) : scsi_page(d, page, out);
}

Answer invalid_field_answer(Target t, bool descriptor, const Command &cmd, uint8_t byte) {
    if (t == Target::scsi_hd || (t == Target::libata && descriptor))
        return check_condition(cmd, descriptor ? descriptor_sense(k_key_illegal_request, 0x24, 0)
                                               : fixed_sense(k_key_illegal_request, 0x24, 0));
    std::vector<uint8_t> sense = fixed_sense(k_key_illegal_request, 0x24, 0);
    if (t == Target::libata) {
        sense.resize(26, 0);
        sense[7] = 0x12;
    }
    sense[15] = 0xc0; // SKSV, C/D: a field of the CDB
    sense[17] = byte;
    return check_condition(cmd, sense);
}
