// The SATA drive behind Linux's SAT layer (libata): INQUIRY and the VPD pages as libata
// builds them from the IDENTIFY data, TEST UNIT READY, what libata translates itself
// (REQUEST SENSE, READ CAPACITY, MODE SENSE: sbc_answers.cpp), and ATA PASS-THROUGH (12)
// and (16) carrying IDENTIFY DEVICE, the drive's firmware requests, CHECK POWER MODE,
// DOWNLOAD MICROCODE, SMART and READ LOG EXT.
// libata fills the whole data-in buffer and reports resid 0.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "ata_logs.h"
#include "captured.h"
#include "drive_exec.h"
#include "drive_reset.h"
#include "image.h"
#include "sense_build.h"
#include "sim_bytes.h"
#include "target_pages.h"

static constexpr uint8_t INQUIRY_OPCODE = 0x12;
static constexpr uint8_t TEST_UNIT_READY_OPCODE = 0x00;
static constexpr uint8_t ATA_PASS_THROUGH_12 = 0xa1;
static constexpr uint8_t ATA_PASS_THROUGH_16 = 0x85;
static constexpr uint8_t ATA_IDENTIFY_DEVICE = 0xec;
static constexpr uint8_t ATA_CHECK_POWER_MODE = 0xe5;
static constexpr uint8_t ATA_DOWNLOAD_MICROCODE = 0x92;
static constexpr uint8_t ATA_READ_LOG_EXT = 0x2f;
static constexpr uint8_t ATA_SMART = 0xb0;

static constexpr uint8_t k_ata_abrt = 0x04;
static constexpr uint8_t k_ata_status_ok = 0x50; // DRDY | DSC
// Status bits after which libata reports the registers of a CK_COND command as an error; a
// command without CK_COND fails only with ERR (QEMU ends IDENTIFY with DRQ set, 58h: GOOD
// without CK_COND, ABORTED COMMAND with it).
static constexpr uint8_t k_ata_status_error_bits = 0x80 | 0x20 | 0x08 | 0x01; // BSY DF DRQ ERR
static constexpr uint8_t k_ata_status_err = 0x01;

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

// The words in which a drive that takes microcode differs from QEMU's disk:
//   83  7401h  DOWNLOAD MICROCODE supported (bit 0; bits 15:14 01b: the word is valid)
//   84  4020h  General Purpose Logging supported (bit 5), so READ LOG EXT
//   86  B401h  words 119-120 valid (bit 15); DOWNLOAD MICROCODE (bit 0)
//   87  4020h  General Purpose Logging (bit 5)
//   119 4010h  DOWNLOAD MICROCODE with offsets (03h) supported (bit 4; bits 15:14 01b)
//   120 4010h  the same, among the enabled
static const IdentifyWord k_microcode_words[] = {
    {83, 0x7401}, {84, 0x4020}, {86, 0xb401}, {87, 0x4020}, {119, 0x4010}, {120, 0x4010},
};

static void put_word(std::vector<uint8_t> &b, int word, uint16_t value) {
    size_t at = 2 * static_cast<size_t>(word);
    b[at] = static_cast<uint8_t>(value);
    b[at + 1] = static_cast<uint8_t>(value >> 8);
}

// IDENTIFY DEVICE data (words little-endian): the flavour's words; the capacity in words
// 60-61 (28-bit) and 100-103 (48-bit); the WWN in words 108-111 with word 84 and 87 bit 8
// (supported, valid); then the drive's own words; words 10-19 serial, 23-26 firmware
// revision, 27-46 model (ATA strings); byte 275 (high byte of word 137): 50h ('P') on
// drives that answer the dotted request; word 255 the integrity word of a generic drive
// (QEMU's disk leaves it 0).
std::vector<uint8_t> identify_data(const Drive &d) {
    if (const CapturedAnswer *c = captured_answer(d, "identify"); c != nullptr && !c->refused)
        return captured_bytes(d, "identify", *c);
    std::vector<uint8_t> b(512, 0);
    for (const IdentifyWord &w : k_identify_words)
        put_word(b, w.word, w.value);
    bool generic = d.ata_flavor == AtaFlavor::generic;
    if (generic)
        for (const IdentifyWord &w : k_microcode_words)
            put_word(b, w.word, w.value);
    uint64_t blocks = d.capacity_blocks;
    uint64_t blocks28 = std::min<uint64_t>(blocks, 0x0fffffff);
    for (int i = 0; i < 4; i++)
        put_word(b, 100 + i, static_cast<uint16_t>(blocks >> (16 * i)));
    put_word(b, 60, static_cast<uint16_t>(blocks28));
    put_word(b, 61, static_cast<uint16_t>(blocks28 >> 16));
    if (d.has_wwn) {
        for (int i = 0; i < 4; i++)
            put_word(b, 108 + i, static_cast<uint16_t>(d.wwn >> (48 - 16 * i)));
        b[169] |= 0x01; // word 84 bit 8
        b[175] |= 0x01; // word 87 bit 8
    }
    for (const auto &[word, value] : d.identify_words)
        put_word(b, word, value);
    put_ata_string(&b[20], 20, d.serial);
    put_ata_string(&b[46], 8, d.revision);
    put_ata_string(&b[54], 40, d.model);
    if (d.dotted_flag)
        b[275] = 0x50;
    if (generic && !d.identify_words.contains(255))
        seal_identify(b.data());
    return b;
}

void seal_identify(uint8_t *id) {
    id[510] = 0xa5;
    uint8_t sum = 0;
    for (size_t i = 0; i < 511; i++)
        sum = static_cast<uint8_t>(sum + id[i]);
    id[511] = static_cast<uint8_t>(-sum);
}

// What the drive states about DOWNLOAD MICROCODE, read from its own IDENTIFY words and log
// the way a host reads them; the drive does what it states.
struct MicrocodeStatements {
    bool refuses_download = false;  // word 83 valid and bit 0 clear
    bool refuses_segmented = false; // word 86 bit 15, word 119 valid and bit 4 clear
    uint16_t max_blocks = 0;        // word 235; 0: not stated
    bool log_valid = false;         // the log's capabilities qword has bit 63
    bool deferred = false;          // ... and bit 34
    uint16_t log_max_blocks = 0;    // ... bits 31:16; 0: not stated
};

static uint16_t stated_count(uint16_t v) {
    return v == 0xffff ? 0 : v;
}

static MicrocodeStatements microcode_statements(const Drive &d) {
    std::vector<uint8_t> id = identify_data(d);
    auto word = [&id](size_t w) { return static_cast<uint16_t>(id[2 * w] | id[2 * w + 1] << 8); };
    auto valid = [](uint16_t w) { return (w >> 14) == 1; };
    MicrocodeStatements s;
    s.refuses_download = valid(word(83)) && (word(83) & 0x0001) == 0;
    s.refuses_segmented = (word(86) & 0x8000) != 0 && valid(word(119)) && (word(119) & 0x0010) == 0;
    s.max_blocks = stated_count(word(235));
    s.log_valid = d.has_dm_log && (d.dm_capabilities >> 63) != 0;
    s.deferred = s.log_valid && (d.dm_capabilities >> 34 & 1) != 0;
    s.log_max_blocks = s.log_valid ? stated_count(d.dm_capabilities >> 16 & 0xffff) : 0;
    return s;
}

// How the drive treats staging: as its log states, else as its staging behaviour says.
static Staging staging_of(const Drive &d, const MicrocodeStatements &s) {
    if (s.log_valid)
        return s.deferred ? Staging::supported : Staging::unsupported;
    return d.staging;
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

std::string libata_revision(const std::string &revision) {
    std::string rev(8, ' ');
    put_padded(reinterpret_cast<uint8_t *>(rev.data()), 8, revision);
    std::string four = rev.substr(4, 4) == "    " ? rev.substr(0, 4) : rev.substr(4, 4);
    return four[0] == ' ' || four[0] == '\0' ? "n/a " : four;
}

// libata's standard INQUIRY data:
// bytes 0-7: 00 00 05 02 5b 00 00 02; 8-15 "ATA     "; 16-31 the first 16 characters of
// the model; 32-35 libata_revision; 58-63 version descriptors SAM-3, SBC-2, SPC-3.
static std::vector<uint8_t> libata_inquiry(const Drive &d) {
    std::vector<uint8_t> b(96, 0);
    static const uint8_t k_head[8] = {0x00, 0x00, 0x05, 0x02, 0x5b, 0x00, 0x00, 0x02};
    static const uint8_t k_versions[6] = {0x00, 0x60, 0x03, 0x20, 0x03, 0x00};
    std::memcpy(b.data(), k_head, 8);
    put_padded(&b[8], 8, "ATA");
    put_padded(&b[16], 16, d.model);
    put_padded(&b[32], 4, libata_revision(d.revision));
    std::memcpy(&b[58], k_versions, 6);
    return b;
}

static Answer libata_check(const Bay &bay, const Command &cmd, uint8_t key, uint8_t asc,
                           uint8_t ascq) {
    return check_condition(cmd, bay.abort_sense == AbortSense::descriptor
                                    ? descriptor_sense(key, asc, ascq)
                                    : fixed_sense(key, asc, ascq));
}

// INQUIRY: the standard data, or a VPD page (vpd_pages.cpp); a page libata does not have is
// INVALID FIELD IN CDB with the field pointer to byte 2.
static Answer sata_inquiry(const Bay &bay, const Drive &d, const Command &cmd) {
    const std::vector<uint8_t> &c = cmd.cdb;
    bool descriptor = bay.abort_sense == AbortSense::descriptor;
    std::vector<uint8_t> page;
    char name[8];
    std::snprintf(name, sizeof name, "vpd_%02x", c[2]);
    bool evpd = (c[1] & 0x01) != 0;
    if (!evpd && c[2] != 0)
        return libata_check(bay, cmd, k_key_illegal_request, 0x24, 0);
    const CapturedAnswer *captured = captured_answer(d, evpd ? name : "inquiry");
    if (captured != nullptr && captured->refused)
        return check_condition(cmd, captured->bytes);
    if (captured != nullptr)
        page = captured_bytes(d, evpd ? name : "inquiry", *captured);
    else if (!evpd)
        page = libata_inquiry(d);
    else if (!vpd_page(d, c[2], page))
        return invalid_field_answer(Target::libata, descriptor, cmd, 2);
    return good_with_data(cmd, page, page.size(), false);
}

// The fields of an ATA PASS-THROUGH CDB.
// (12): byte 1 protocol (4:1); 2 flags: CK_COND (5), T_DIR (3), BYT_BLOK (2), T_LENGTH
// (1:0); 3 features; 4 count; 5-7 LBA low, mid, high; 8 device; 9 command.
// (16): byte 1 protocol (4:1), EXTEND (0); 2 flags; 3/4 features (15:8, 7:0); 5/6 count;
// 7/8 LBA low; 9/10 LBA mid; 11/12 LBA high (each 15:8 first); 13 device; 14 command.
namespace {
struct AtaTaskfile {
    uint8_t protocol = 0, features = 0, command = 0;
    bool ck_cond = false;
    AtaRegs regs;
};
} // namespace

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

// DOWNLOAD MICROCODE 0Fh (no data): staged microcode becomes current; nothing staged is
// aborted.
static AtaOutcome ata_activate(Drive &d, const AtaTaskfile &t, Staging staging) {
    if (staging == Staging::unsupported || (staging == Staging::supported && !d.staged))
        return ata_abort(d, t);
    AtaOutcome o;
    o.regs = t.regs;
    o.regs.status = k_ata_status_ok;
    o.changed = activate_staged(d);
    if (o.changed)
        start_reset(d);
    return o;
}

// DOWNLOAD MICROCODE: FEATURES = subcommand; block count = COUNT | LBA LOW << 8; block
// offset = LBA MID | LBA HIGH << 8 (512-byte blocks). Subcommands 03h and 0Eh report in
// COUNT 01h (more segments expected), 02h (microcode applied) or 03h (saved, waiting for
// activation). A drive aborts what it states it does not take: the command itself (word
// 83), subcommand 03h (words 86 and 119), 0Eh and 0Fh (the log), more blocks than stated
// per command (word 235 for 03h, the log for 0Eh).
static AtaOutcome ata_download(Drive &d, const Command &cmd, const AtaTaskfile &t) {
    uint32_t blocks = t.regs.count | uint32_t{t.regs.lba_low} << 8;
    uint32_t offset = t.regs.lba_mid | uint32_t{t.regs.lba_high} << 8;
    size_t bytes = size_t{blocks} * 512;
    MicrocodeStatements s = microcode_statements(d);
    Staging staging = staging_of(d, s);
    bool deferred = t.features == 0x0e;
    if (s.refuses_download)
        return ata_abort(d, t);
    if (t.features == 0x0f)
        return ata_activate(d, t, staging);
    uint16_t max = deferred ? s.log_max_blocks : t.features == 0x03 ? s.max_blocks : 0;
    if ((t.features != 0x03 && t.features != 0x07 && !deferred) || blocks == 0 ||
        cmd.data_out.size() < bytes || (t.features == 0x03 && s.refuses_segmented) ||
        (deferred && staging == Staging::unsupported) || (max != 0 && blocks > max))
        return ata_abort(d, t);
    AtaOutcome o;
    o.regs = t.regs;
    o.regs.status = k_ata_status_ok;
    if (deferred && staging == Staging::ignored)
        return o;
    std::string before = d.revision;
    bool was_staged = d.staged;
    ChunkResult r =
        take_chunk(d, t.features == 0x07, deferred, offset * 512, cmd.data_out.first(bytes));
    if (r == ChunkResult::refused_image || r == ChunkResult::refused_order)
        return ata_abort(d, t);
    if (t.features != 0x07)
        o.regs.count = r == ChunkResult::applied ? 0x02 : r == ChunkResult::staged ? 0x03 : 0x01;
    o.changed = d.revision != before || d.staged != was_staged || r == ChunkResult::staged;
    return o;
}

// READ LOG EXT: LBA (7:0) the log, LBA (15:8) and (39:32) the page, COUNT the pages. One
// page a command of what the drive keeps (ata_logs.h); anything else is aborted, as by a
// drive without General Purpose Logging.
static AtaOutcome ata_read_log(const Drive &d, const AtaTaskfile &t) {
    const AtaRegs &r = t.regs;
    uint16_t page = r.lba_mid | uint16_t{r.hob_lba_mid} << 8;
    uint16_t pages = r.count | uint16_t{r.hob_count} << 8;
    AtaOutcome o;
    if (pages != 1 || !ata_log_page(d, true, r.lba_low, page, o.data))
        return ata_abort(d, t);
    o.regs = t.regs;
    o.regs.status = d.pio_in_status;
    o.has_data = true;
    return o;
}

// SMART: FEATURES the subcommand, LBA mid/high the signature 4Fh/C2h. A drive whose
// IDENTIFY data state SMART enabled answers READ DATA (D0h), READ THRESHOLDS (D1h), READ
// LOG (D5h; LBA low the log, one page) and RETURN STATUS (DAh: the signature stays, no
// threshold exceeded), and takes ENABLE OPERATIONS (D8h); anything else is aborted.
static AtaOutcome ata_smart(const Drive &d, const AtaTaskfile &t) {
    const AtaRegs &r = t.regs;
    if (!smart_enabled(d) || r.lba_mid != 0x4f || r.lba_high != 0xc2)
        return ata_abort(d, t);
    AtaOutcome o;
    o.regs = r;
    o.regs.status = k_ata_status_ok;
    if (t.features == 0xda || t.features == 0xd8)
        return o;
    if (t.features == 0xd0 || t.features == 0xd1) {
        o.data = smart_data(t.features == 0xd1);
    } else if (t.features != 0xd5 || r.count != 1 ||
               !ata_log_page(d, false, r.lba_low, 0, o.data)) {
        return ata_abort(d, t);
    }
    o.has_data = true;
    o.regs.status = d.pio_in_status;
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
        const char *name = t.features == 0x0b ? "fwreq_dotted" : "fwreq_plain";
        const CapturedAnswer *captured = fwreq ? captured_answer(d, name) : nullptr;
        o.has_data = true;
        o.data = captured != nullptr ? captured_bytes(d, name, *captured)
                 : answers           ? fwreq_data(d)
                                     : identify_data(d);
        o.regs.status = d.pio_in_status;
        return o;
    }
    case ATA_CHECK_POWER_MODE:
        o.regs.count = 0xff; // active or idle
        return o;
    case ATA_DOWNLOAD_MICROCODE:
        return ata_download(d, cmd, t);
    case ATA_READ_LOG_EXT:
        return ata_read_log(d, t);
    case ATA_SMART:
        return ata_smart(d, t);
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
    bool failed = (o.regs.status & k_ata_status_err) != 0;
    if (failed || (t.ck_cond && (o.regs.status & k_ata_status_error_bits))) {
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
    if (Answer a; !pt12 && !pt16 && sbc_answer(d, descriptor, cmd, a))
        return a;
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
