// REQUEST SENSE, READ CAPACITY, MODE SENSE and LOG SENSE as libata, scsi_debug and QEMU's
// scsi-hd answer them (captured in the real-stack tier; tests/vm/README.md). scsi_debug
// reports what it did not fill in resid; QEMU and libata fill the allocation length.
#include <algorithm>

#include "drive_exec.h"
#include "sense_build.h"
#include "sim_bytes.h"
#include "target_pages.h"

namespace {

constexpr uint8_t REQUEST_SENSE_OPCODE = 0x03;
constexpr uint8_t MODE_SENSE_6_OPCODE = 0x1a;
constexpr uint8_t READ_CAPACITY_10_OPCODE = 0x25;
constexpr uint8_t LOG_SENSE_OPCODE = 0x4d;
constexpr uint8_t MODE_SENSE_10_OPCODE = 0x5a;
constexpr uint8_t SERVICE_ACTION_IN_16_OPCODE = 0x9e;
constexpr uint8_t READ_CAPACITY_16_ACTION = 0x10;

// One mode page of a target: its current values and the mask of what MODE SELECT may
// change (PC 01b). Default values are answered as the current ones.
struct ModePage {
    const char *current;
    const char *changeable;
};

// QEMU's disk: read-write error recovery, rigid disk geometry and flexible disk pages of
// its 16 MiB image, caching with WCE.
const ModePage k_qemu_pages[] = {
    {"01 0a 80", "01 0a"},
    {"04 16 00 00 20 10 00 00 20 00 00 20 00 c8 ff ff ff 00 00 00 15 18", "04 16"},
    {"05 1e 13 88 10 3f 02 00 00 20 00 20 00 20 00 01 01 00 01 01 01 00 00 00 00 00 00 00 15 18",
     "05 1e"},
    {"08 12 04", "08 12 04"},
};

// scsi_debug: error recovery, disconnect-reconnect, format, caching, control, the SAS
// protocol specific port page and informational exceptions control (DEXCPT set).
const ModePage k_sdebug_pages[] = {
    {"01 0a c0 0b f0 00 00 00 05 00 ff ff", "01 0a"},
    {"02 0e 80 80 00 0a", "02 0e"},
    {"03 16 00 00 00 00 00 00 00 00 00 20 02 00 00 00 00 00 00 00 40", "03 16"},
    {"08 12 14 00 ff ff 00 00 ff ff ff ff 80 14", "08 12 04"},
    {"0a 0a 02 00 00 80 00 00 00 00 02 4b", "0a 0a 06"},
    {"19 06 06 00 07 d0", "19 06"},
    {"1c 0a 08", "1c 0a 04 0f"},
};

// scsi_debug's log pages: supported pages, temperature, informational exceptions.
const char *const k_sdebug_log_pages[] = {
    "00 00 00 03 00 0d 2f",
    "0d 00 00 0c 00 00 03 02 00 26 00 01 03 02 00 41",
    "2f 00 00 07 00 00 03 03 00 00 26",
};

// A mode page with its length byte (byte 1) filled out with zeros.
std::vector<uint8_t> mode_page(const char *hex) {
    std::vector<uint8_t> p = hex_bytes(hex, 2);
    p.resize(2 + p[1], 0);
    return p;
}

// libata's pages, from the IDENTIFY data: read-write error recovery (AWRE); caching: WCE
// (byte 2 bit 2) when word 85 says the write cache is on, DRA (byte 12 bit 5) when look-ahead
// (word 85 bit 6) is off; control: D_SENSE (byte 2 bit 2) with descriptor sense, the busy
// time-out FFFFh and 30 s of extended self-test.
std::vector<std::vector<uint8_t>> libata_pages(const Drive &d, bool descriptor, bool changeable) {
    std::vector<uint8_t> id = identify_data(d);
    uint16_t w85 = static_cast<uint16_t>(id[170] | id[171] << 8);
    std::vector<uint8_t> recovery = mode_page("01 0a 80");
    std::vector<uint8_t> caching = mode_page("08 12");
    std::vector<uint8_t> control = mode_page("0a 0a 02 00 00 00 00 00 ff ff 00 1e");
    if (changeable) {
        recovery = mode_page("01 0a");
        caching[2] = 0x04;
        control = mode_page("0a 0a 04");
        return {recovery, caching, control};
    }
    caching[2] = (w85 & 0x0020) ? 0x04 : 0x00;
    caching[12] = (w85 & 0x0040) ? 0x00 : 0x20;
    if (descriptor)
        control[2] |= 0x04;
    return {recovery, caching, control};
}

std::vector<std::vector<uint8_t>> target_pages(const Drive &d, Target t, bool descriptor,
                                               bool changeable) {
    if (t == Target::libata)
        return libata_pages(d, descriptor, changeable);
    std::vector<std::vector<uint8_t>> out;
    auto add = [&](const ModePage &p) {
        out.push_back(mode_page(changeable ? p.changeable : p.current));
    };
    if (t == Target::scsi_debug)
        std::for_each(std::begin(k_sdebug_pages), std::end(k_sdebug_pages), add);
    else
        std::for_each(std::begin(k_qemu_pages), std::end(k_qemu_pages), add);
    return out;
}

// Data-in of the target: scsi_debug reports resid, the others fill the allocation length.
Answer target_data(Target t, const Command &cmd, const std::vector<uint8_t> &bytes, size_t alloc) {
    std::vector<uint8_t> padded = bytes;
    if (t != Target::scsi_debug)
        padded.resize(std::max(bytes.size(), alloc), 0);
    return good_with_data(cmd, padded, alloc, t != Target::libata);
}

// MODE SENSE (6): byte 1 DBD (3); byte 2 PC (7:6), page code (5:0); byte 3 subpage; byte 4
// allocation length. (10): the same, allocation length in bytes 7-8. The answer: a header
// (6: mode data length, medium type, device-specific parameter (scsi_debug: DPOFUA), block
// descriptor length; 10: the same in 8 bytes), the short block descriptor (number of blocks
// big-endian in bytes 0-3, libata states none; block length 512 in bytes 5-7), the pages.
Answer mode_sense(Drive &d, Target t, bool descriptor, const Command &cmd) {
    const std::vector<uint8_t> &c = cmd.cdb;
    bool ten = c[0] == MODE_SENSE_10_OPCODE;
    size_t alloc = ten ? get_be16(&c[7]) : c[4];
    uint8_t pc = c[2] >> 6;
    uint8_t code = c[2] & 0x3f;
    if (pc == 3) // saved values
        return check_condition(cmd, descriptor && t == Target::libata
                                        ? descriptor_sense(k_key_illegal_request, 0x39, 0)
                                        : fixed_sense(k_key_illegal_request, 0x39, 0));
    if (c[3] != 0 && t != Target::scsi_hd) // QEMU ignores the subpage
        return invalid_field_answer(t, descriptor, cmd, 3);
    std::vector<uint8_t> pages;
    for (const std::vector<uint8_t> &p : target_pages(d, t, descriptor, pc == 1))
        if (code == 0x3f || (p[0] & 0x3f) == code)
            pages.insert(pages.end(), p.begin(), p.end());
    if (pages.empty())
        return invalid_field_answer(t, descriptor, cmd, 2);
    std::vector<uint8_t> block(8, 0);
    if (t != Target::libata)
        put_be32(block.data(),
                 static_cast<uint32_t>(std::min<uint64_t>(last_lba(d) + 1, 0xffffffff)));
    put_be24(&block[5], 512);
    if (c[1] & 0x08) // DBD
        block.clear();
    std::vector<uint8_t> b(ten ? 8 : 4, 0);
    uint8_t device_specific = t == Target::scsi_debug ? 0x10 : 0x00;
    b[ten ? 3 : 2] = device_specific;
    b[ten ? 7 : 3] = static_cast<uint8_t>(block.size());
    b.insert(b.end(), block.begin(), block.end());
    b.insert(b.end(), pages.begin(), pages.end());
    if (ten)
        put_be16(b.data(), static_cast<uint32_t>(b.size() - 2));
    else
        b[0] = static_cast<uint8_t>(b.size() - 1);
    return target_data(t, cmd, b, alloc);
}

// READ CAPACITY (10): the last LBA (FFFFFFFFh when it does not fit) and the block length.
// (16): SERVICE ACTION IN 10h, allocation length in bytes 10-13; the last LBA in 8 bytes,
// the block length, and LBPME (byte 14 bit 7) where the target provisions thinly (libata
// for a drive with TRIM, QEMU).
Answer read_capacity(Drive &d, Target t, bool descriptor, const Command &cmd) {
    const std::vector<uint8_t> &c = cmd.cdb;
    uint64_t last = last_lba(d);
    std::vector<uint8_t> b;
    size_t alloc = 8;
    if (c[0] == READ_CAPACITY_10_OPCODE) {
        b.assign(8, 0);
        put_be32(b.data(), static_cast<uint32_t>(std::min<uint64_t>(last, 0xffffffff)));
        put_be32(&b[4], 512);
    } else {
        if ((c[1] & 0x1f) != READ_CAPACITY_16_ACTION)
            return invalid_field_answer(t, descriptor, cmd, 1);
        alloc = get_be32(&c[10]);
        b.assign(32, 0);
        put_be64(b.data(), last);
        put_be32(&b[8], 512);
        bool thin = t == Target::scsi_hd;
        if (t == Target::libata) {
            std::vector<uint8_t> id = identify_data(d);
            thin = (id[160] & 0x80) != 0 || (id[161] & 0x7f) != 0; // major version 7 and up
            thin = thin && (id[338] & 1) != 0;                     // TRIM (word 169)
        }
        b[14] = thin ? 0x80 : 0x00;
    }
    return target_data(t, cmd, b, alloc);
}

// REQUEST SENSE: byte 1 DESC (0), byte 4 allocation length. libata ends it with CHECK
// CONDITION and NO SENSE; scsi_debug answers NO SENSE (18 bytes fixed, 8 descriptor); QEMU
// hands over the sense of the last command that failed, once, else NO SENSE. None of them
// reports or consumes a pending unit attention with it.
Answer request_sense(Drive &d, Target t, bool descriptor, const Command &cmd) {
    const std::vector<uint8_t> &c = cmd.cdb;
    if (t == Target::libata)
        return check_condition(cmd, descriptor ? descriptor_sense(0, 0, 0) : fixed_sense(0, 0, 0));
    if (t == Target::scsi_hd && !d.rt.last_sense.empty())
        return good_with_data(cmd, d.rt.last_sense, c[4], true);
    std::vector<uint8_t> none = (c[1] & 0x01) ? descriptor_sense(0, 0, 0) : fixed_sense(0, 0, 0);
    return target_data(t, cmd, none, c[4]);
}

// LOG SENSE (scsi_debug only): byte 2 PC (7:6), page code (5:0); byte 3 subpage; bytes 7-8
// allocation length.
Answer log_sense(Target t, const Command &cmd) {
    const std::vector<uint8_t> &c = cmd.cdb;
    if (c[3] != 0)
        return invalid_field_answer(t, false, cmd, 3);
    for (const char *hex : k_sdebug_log_pages) {
        std::vector<uint8_t> p = hex_bytes(hex);
        if (p[0] == (c[2] & 0x3f))
            return target_data(t, cmd, p, get_be16(&c[7]));
    }
    return invalid_field_answer(t, false, cmd, 2);
}

} // namespace

uint64_t last_lba(const Drive &d) {
    if (d.type != DriveType::sata)
        return d.capacity_blocks == 0 ? 0 : d.capacity_blocks - 1;
    std::vector<uint8_t> id = identify_data(d);
    auto word = [&id](size_t w) { return uint64_t{id[2 * w]} | uint64_t{id[2 * w + 1]} << 8; };
    bool lba48 = (word(83) & 0xc400) == 0x4400;
    uint64_t n = lba48 ? word(100) | word(101) << 16 | word(102) << 32 | word(103) << 48
                       : word(60) | word(61) << 16;
    return n == 0 ? 0 : n - 1;
}

bool sbc_answer(Drive &d, bool descriptor, const Command &cmd, Answer &a) {
    const std::vector<uint8_t> &c = cmd.cdb;
    Target t = target_of(d);
    size_t need = c[0] < 0x20 ? 6 : c[0] < 0x60 ? 10 : 16;
    if (c.size() < need)
        return false;
    switch (c[0]) {
    case REQUEST_SENSE_OPCODE:
        a = request_sense(d, t, descriptor, cmd);
        return true;
    case READ_CAPACITY_10_OPCODE:
    case SERVICE_ACTION_IN_16_OPCODE:
        a = read_capacity(d, t, descriptor, cmd);
        return true;
    case MODE_SENSE_6_OPCODE:
    case MODE_SENSE_10_OPCODE:
        a = mode_sense(d, t, descriptor, cmd);
        return true;
    case LOG_SENSE_OPCODE:
        if (t != Target::scsi_debug)
            return false;
        a = log_sense(t, cmd);
        return true;
    default:
        return false;
    }
}
