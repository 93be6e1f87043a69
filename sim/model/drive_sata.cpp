// The SATA drive behind Linux's SAT layer (libata): INQUIRY as libata builds it from the
// IDENTIFY data, TEST UNIT READY, and ATA PASS-THROUGH (12) and (16) carrying IDENTIFY
// DEVICE, the drive's firmware requests, CHECK POWER MODE and DOWNLOAD MICROCODE.
// libata fills the whole data-in buffer and reports resid 0.
#include <algorithm>
#include <cstring>

#include "drive_exec.h"
#include "image.h"
#include "sense_build.h"
#include "sim_bytes.h"

static constexpr uint8_t INQUIRY_OPCODE = 0x12;
static constexpr uint8_t TEST_UNIT_READY_OPCODE = 0x00;
static constexpr uint8_t ATA_PASS_THROUGH_12 = 0xa1;
static constexpr uint8_t ATA_PASS_THROUGH_16 = 0x85;
static constexpr uint8_t ATA_IDENTIFY_DEVICE = 0xec;
static constexpr uint8_t ATA_CHECK_POWER_MODE = 0xe5;
static constexpr uint8_t ATA_DOWNLOAD_MICROCODE = 0x92;

static constexpr uint8_t k_ata_abrt = 0x04;
static constexpr uint8_t k_ata_status_ok = 0x50; // DRDY | DSC
// Status bits after which libata reports the registers as an error.
static constexpr uint8_t k_ata_status_error_bits = 0x80 | 0x20 | 0x08 | 0x01; // BSY DF DRQ ERR

// IDENTIFY words that are not strings, as a QEMU AHCI disk reports them.
struct IdentifyWord {
    int word;
    uint16_t value;
};
static const IdentifyWord k_identify_words[] = {
    {0, 0x0040},   {1, 0x0020},   {3, 0x0010},  {4, 0x7e00},  {5, 0x0200},  {6, 0x003f},
    {20, 0x0003},  {21, 0x0200},  {22, 0x0004}, {47, 0x8010}, {48, 0x0001}, {49, 0x0b00},
    {51, 0x0200},  {52, 0x0200},  {53, 0x0007}, {54, 0x0020}, {55, 0x0010}, {56, 0x003f},
    {57, 0x7e00},  {59, 0x0110},  {60, 0x8000}, {62, 0x0007}, {63, 0x0007}, {64, 0x0003},
    {65, 0x0078},  {66, 0x0078},  {67, 0x0078}, {68, 0x0078}, {69, 0x4000}, {75, 0x001f},
    {76, 0x0100},  {80, 0x00f0},  {81, 0x0016}, {82, 0x4021}, {83, 0x7400}, {84, 0x4000},
    {85, 0x4021},  {86, 0x3400},  {87, 0x4000}, {88, 0x203f}, {93, 0x6001}, {100, 0x8000},
    {106, 0x6000}, {169, 0x0001},
};

// IDENTIFY DEVICE data (words little-endian):
// words 10-19 serial, 23-26 firmware revision, 27-46 model (ATA strings);
// byte 275 (high byte of word 137): 50h ('P') on drives that answer the dotted request.
std::vector<uint8_t> identify_data(const Drive &d) {
    std::vector<uint8_t> b(512, 0);
    for (const IdentifyWord &w : k_identify_words) {
        b[2 * w.word] = static_cast<uint8_t>(w.value);
        b[2 * w.word + 1] = static_cast<uint8_t>(w.value >> 8);
    }
    put_ata_string(&b[20], 20, d.serial);
    put_ata_string(&b[46], 8, d.revision);
    put_ata_string(&b[54], 40, d.model);
    if (d.dotted_flag)
        b[275] = 0x50;
    return b;
}

// The answer to a firmware request that the drive understands: bytes 0-39 its text
// ({rev} replaced by the revision), for the dotted request also bytes 464-467 its suffix
// (blank padded).
static std::vector<uint8_t> fwreq_data(const Drive &d) {
    std::string text = d.fwreq_text;
    // The search goes on behind each revision put in, so that a revision holding "{rev}"
    // is not replaced again.
    for (size_t at = 0; (at = text.find("{rev}", at)) != std::string::npos; at += d.revision.size())
        text.replace(at, 5, d.revision);
    std::vector<uint8_t> b(512, 0);
    std::memcpy(b.data(), text.data(), std::min<size_t>(text.size(), 40));
    if (d.fwreq == FwreqAnswer::dotted)
        put_padded(&b[464], 4, d.fwreq_suffix);
    return b;
}

// libata's standard INQUIRY data:
// bytes 0-7: 00 00 05 02 5b 00 00 02; 8-15 "ATA     "; 16-31 the first 16 characters of
// the model; 32-35 the last 4 characters of the firmware revision (the first 4 when those
// are blank); 58-63 version descriptors SAM-3, SBC-2, SPC-3.
static std::vector<uint8_t> libata_inquiry(const Drive &d) {
    std::vector<uint8_t> b(96, 0);
    static const uint8_t k_head[8] = {0x00, 0x00, 0x05, 0x02, 0x5b, 0x00, 0x00, 0x02};
    static const uint8_t k_versions[6] = {0x00, 0x60, 0x03, 0x20, 0x03, 0x00};
    std::memcpy(b.data(), k_head, 8);
    put_padded(&b[8], 8, "ATA");
    put_padded(&b[16], 16, d.model);
    std::string rev(8, ' ');
    put_padded(reinterpret_cast<uint8_t *>(rev.data()), 8, d.revision);
    std::string last = rev.substr(4, 4);
    put_padded(&b[32], 4, last == "    " ? rev.substr(0, 4) : last);
    std::memcpy(&b[58], k_versions, 6);
    return b;
}

static Answer libata_check(const Bay &bay, const Command &cmd, uint8_t key, uint8_t asc,
                           uint8_t ascq) {
    return check_condition(cmd, bay.abort_sense == AbortSense::descriptor
                                    ? descriptor_sense(key, asc, ascq)
                                    : fixed_sense(key, asc, ascq));
}

static Answer sata_inquiry(const Bay &bay, const Drive &d, const Command &cmd) {
    const std::vector<uint8_t> &c = cmd.cdb;
    std::vector<uint8_t> page;
    if (!(c[1] & 0x01)) {
        if (c[2] != 0)
            return libata_check(bay, cmd, k_key_illegal_request, 0x24, 0);
        page = libata_inquiry(d);
    } else if (c[2] == 0x00) {
        page = {0x00, 0x00, 0x00, 0x02, 0x00, 0x80};
    } else if (c[2] == 0x80) {
        // byte 3: 14h; bytes 4-23: the IDENTIFY serial, 20 characters
        page.assign(24, 0);
        page[1] = 0x80;
        page[3] = 0x14;
        put_padded(&page[4], 20, d.serial);
    } else {
        return libata_check(bay, cmd, k_key_illegal_request, 0x24, 0);
    }
    return good_with_data(cmd, page, page.size(), false);
}

// The fields of an ATA PASS-THROUGH CDB.
// (12): byte 1 protocol (4:1); 2 flags: CK_COND (5), T_DIR (3), BYT_BLOK (2), T_LENGTH
// (1:0); 3 features; 4 count; 5-7 LBA low, mid, high; 8 device; 9 command.
// (16): byte 1 protocol (4:1), EXTEND (0); 2 flags; 3/4 features (15:8, 7:0); 5/6 count;
// 7/8 LBA low; 9/10 LBA mid; 11/12 LBA high (each 15:8 first); 13 device; 14 command.
struct AtaTaskfile {
    uint8_t protocol = 0, features = 0, command = 0;
    bool ck_cond = false;
    AtaRegs regs;
};

static AtaTaskfile parse_taskfile(const std::vector<uint8_t> &c) {
    AtaTaskfile t;
    t.protocol = (c[1] >> 1) & 0x0f;
    t.ck_cond = (c[2] & 0x20) != 0;
    AtaRegs &r = t.regs;
    if (c[0] == ATA_PASS_THROUGH_12) {
        t.features = c[3];
        r.count = c[4];
        r.lba_low = c[5];
        r.lba_mid = c[6];
        r.lba_high = c[7];
        r.device = c[8];
        t.command = c[9];
    } else {
        r.extend = (c[1] & 0x01) != 0;
        t.features = c[4];
        r.hob_count = c[5];
        r.count = c[6];
        r.hob_lba_low = c[7];
        r.lba_low = c[8];
        r.hob_lba_mid = c[9];
        r.lba_mid = c[10];
        r.hob_lba_high = c[11];
        r.lba_high = c[12];
        r.device = c[13];
        t.command = c[14];
    }
    r.device &= static_cast<uint8_t>(~0x10); // libata forces device 0
    return t;
}

// What the drive did with an ATA command: its registers afterwards and any data-in.
struct AtaOutcome {
    AtaRegs regs;
    bool has_data = false;
    std::vector<uint8_t> data;
    bool changed = false;
};

static AtaOutcome ata_abort(const Drive &d, const AtaTaskfile &t) {
    AtaOutcome o;
    o.regs = t.regs;
    o.regs.error = k_ata_abrt;
    o.regs.status = d.abort_status;
    return o;
}

// DOWNLOAD MICROCODE: FEATURES = subcommand; block count = COUNT | LBA LOW << 8; block
// offset = LBA MID | LBA HIGH << 8 (512-byte blocks). Subcommand 03h reports in COUNT
// 01h (more segments expected) or 02h (microcode applied).
static AtaOutcome ata_download(Drive &d, const Command &cmd, const AtaTaskfile &t) {
    uint32_t blocks = t.regs.count | uint32_t{t.regs.lba_low} << 8;
    uint32_t offset = t.regs.lba_mid | uint32_t{t.regs.lba_high} << 8;
    size_t bytes = size_t{blocks} * 512;
    if ((t.features != 0x03 && t.features != 0x07) || blocks == 0 || cmd.data_out.size() < bytes)
        return ata_abort(d, t);
    std::string before = d.revision;
    ChunkResult r = take_chunk(d, t.features == 0x07, offset * 512, cmd.data_out.first(bytes));
    if (r == ChunkResult::refused_image || r == ChunkResult::refused_order)
        return ata_abort(d, t);
    AtaOutcome o;
    o.regs = t.regs;
    o.regs.status = k_ata_status_ok;
    if (t.features == 0x03)
        o.regs.count = r == ChunkResult::applied ? 0x02 : 0x01;
    o.changed = d.revision != before;
    return o;
}

static AtaOutcome ata_execute(Drive &d, const Command &cmd, const AtaTaskfile &t) {
    AtaOutcome o;
    o.regs = t.regs;
    o.regs.status = k_ata_status_ok;
    switch (t.command) {
    case ATA_IDENTIFY_DEVICE: {
        const AtaRegs &r = t.regs;
        bool fwreq = r.lba_low == 0xdb && r.lba_mid == 0x97 && r.lba_high == 0x20;
        bool answers = fwreq && ((d.fwreq == FwreqAnswer::dotted && t.features == 0x0b) ||
                                 (d.fwreq == FwreqAnswer::plain && t.features == 0x00));
        o.has_data = true;
        o.data = answers ? fwreq_data(d) : identify_data(d);
        o.regs.status = d.pio_in_status;
        return o;
    }
    case ATA_CHECK_POWER_MODE:
        o.regs.count = 0xff; // active or idle
        return o;
    case ATA_DOWNLOAD_MICROCODE:
        return ata_download(d, cmd, t);
    default:
        return ata_abort(d, t);
    }
}

static Answer sata_passthrough(const Bay &bay, Drive &d, const Command &cmd) {
    AtaTaskfile t = parse_taskfile(cmd.cdb);
    static const bool k_known_protocol[16] = {false, false, false, true, true, true,  true,  false,
                                              false, false, true,  true, true, false, false, false};
    if (!k_known_protocol[t.protocol])
        return libata_check(bay, cmd, k_key_illegal_request, 0x24, 0);
    AtaOutcome o = ata_execute(d, cmd, t);

    Answer a;
    bool data_in = cmd.direction == k_dxfer_from_dev || cmd.direction == k_dxfer_to_from_dev;
    if (data_in) {
        a.writes_data = true;
        a.data.assign(cmd.dxfer_len, 0);
        if (o.has_data)
            std::memcpy(a.data.data(), o.data.data(), std::min<size_t>(512, cmd.dxfer_len));
    }
    a.state_changed = o.changed;
    if (o.regs.status & k_ata_status_error_bits) {
        a.status = k_status_check_condition;
        a.driver_status = k_driver_sense;
        a.sense = ata_error_sense(bay.abort_sense, o.regs);
    } else if (t.ck_cond) {
        // ATA PASS-THROUGH INFORMATION AVAILABLE, always in descriptor format
        a.status = k_status_check_condition;
        a.driver_status = k_driver_sense;
        a.sense = ata_descriptor_sense(k_key_recovered_error, 0x00, 0x1d, o.regs);
    }
    return a;
}

Answer sata_drive_answer(const Bay &bay, Drive &d, const Command &cmd) {
    const std::vector<uint8_t> &c = cmd.cdb;
    bool descriptor = bay.abort_sense == AbortSense::descriptor;
    if (c[0] == INQUIRY_OPCODE && c.size() >= 6)
        return sata_inquiry(bay, d, cmd);
    if (c[0] == TEST_UNIT_READY_OPCODE && c.size() >= 6)
        return Answer{};
    bool pt12 = c[0] == ATA_PASS_THROUGH_12 && c.size() >= 12;
    bool pt16 = c[0] == ATA_PASS_THROUGH_16 && c.size() >= 16;
    if ((pt12 || pt16) && d.ata_passthrough)
        return sata_passthrough(bay, d, cmd);
    return invalid_opcode(cmd, descriptor);
}

Answer sata_abort_answer(const Bay &bay, const Drive &d, const Command &cmd) {
    const std::vector<uint8_t> &c = cmd.cdb;
    bool pt = (c[0] == ATA_PASS_THROUGH_12 && c.size() >= 12) ||
              (c[0] == ATA_PASS_THROUGH_16 && c.size() >= 16);
    if (!pt)
        return libata_check(bay, cmd, k_key_aborted_command, 0, 0);
    AtaOutcome o = ata_abort(d, parse_taskfile(c));
    return check_condition(cmd, ata_error_sense(bay.abort_sense, o.regs));
}
