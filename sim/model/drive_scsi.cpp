// The SCSI drive: INQUIRY (standard data and the VPD pages of vpd_pages.cpp), TEST UNIT
// READY, REQUEST SENSE, READ CAPACITY, MODE SENSE and LOG SENSE (sbc_answers.cpp), WRITE
// BUFFER modes 05h, 07h, 0Dh, 0Eh and 0Fh, READ BUFFER mode 03h. Anything else is ILLEGAL
// REQUEST 20h/00h, and the data-in buffer of such a command comes back zero-filled with
// resid 0, as the sg driver hands it back.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "captured.h"
#include "drive_exec.h"
#include "drive_reset.h"
#include "image.h"
#include "sense_build.h"
#include "sim_bytes.h"
#include "target_pages.h"

static constexpr uint8_t INQUIRY_OPCODE = 0x12;
static constexpr uint8_t TEST_UNIT_READY_OPCODE = 0x00;
static constexpr uint8_t WRITE_BUFFER_OPCODE = 0x3b;
static constexpr uint8_t READ_BUFFER_OPCODE = 0x3c;

// Standard INQUIRY data, 96 bytes:
// byte 0: peripheral device type 00h (disk); byte 2: version; byte 3: response format and
// HiSup; byte 4: additional length 5Bh; bytes 5-7: flags; 8-15 vendor; 16-31 product;
// 32-35 revision; scsi_debug also fills 36-43 (its version date) and the version
// descriptors from byte 58.
static std::vector<uint8_t> standard_inquiry(const Drive &d) {
    std::vector<uint8_t> b(96, 0);
    static const uint8_t k_head_scsi_debug[8] = {0x00, 0x00, 0x07, 0x02, 0x5b, 0x00, 0x10, 0x0a};
    static const uint8_t k_head_scsi_hd[8] = {0x00, 0x00, 0x05, 0x12, 0x5b, 0x00, 0x00, 0x12};
    bool sd = d.flavor == ScsiFlavor::scsi_debug;
    std::memcpy(b.data(), sd ? k_head_scsi_debug : k_head_scsi_hd, 8);
    put_padded(&b[8], 8, d.vendor);
    put_padded(&b[16], 16, d.product);
    put_padded(&b[32], 4, d.revision);
    if (sd) {
        static const uint8_t k_descriptors[8] = {0x00, 0xc0, 0x05, 0xc0, 0x06, 0x00, 0x21, 0x00};
        std::memcpy(&b[36], "20210520", 8);
        std::memcpy(&b[58], k_descriptors, 8);
    }
    return b;
}

static Answer invalid_field(const Command &cmd) {
    return check_condition(cmd, fixed_sense(k_key_illegal_request, 0x24, 0x00));
}

// INQUIRY: the standard data, or a VPD page; a page the drive does not have is INVALID
// FIELD IN CDB (scsi_debug points at byte 2).
static Answer scsi_inquiry(const Drive &d, const Command &cmd) {
    const std::vector<uint8_t> &c = cmd.cdb;
    size_t alloc = get_be16(&c[3]);
    bool evpd = (c[1] & 0x01) != 0;
    if (!evpd && c[2] != 0)
        return invalid_field(cmd);
    char name[8];
    std::snprintf(name, sizeof name, "vpd_%02x", c[2]);
    std::vector<uint8_t> page;
    if (const CapturedAnswer *captured = captured_answer(d, evpd ? name : "inquiry")) {
        if (captured->refused)
            return check_condition(cmd, captured->bytes);
        page = captured_bytes(d, evpd ? name : "inquiry", *captured);
    } else if (!evpd) {
        page = standard_inquiry(d);
    } else if (!vpd_page(d, c[2], page)) {
        return invalid_field_answer(target_of(d), false, cmd, 2);
    }
    // QEMU states the allocation length (at most 256, at least 36) as the standard data's
    // length; a captured answer that stated the capture's 252 bytes came from such a target.
    bool follows_alloc = captured_answer(d, "inquiry") != nullptr
                             ? page.size() > 4 && page[4] == 252 - 5
                             : d.flavor == ScsiFlavor::scsi_hd;
    if (!evpd && follows_alloc)
        page[4] = static_cast<uint8_t>(std::clamp<size_t>(alloc, 36, 256) - 5);
    if (d.flavor == ScsiFlavor::scsi_hd)
        page.resize(std::max(page.size(), alloc), 0); // QEMU fills the allocation length
    return good_with_data(cmd, page, alloc, true);
}

// The DM_MD bit of page 86h byte 19 that states a WRITE BUFFER download mode; 0 for the
// modes it does not cover.
static uint8_t dm_md_bit(uint8_t mode) {
    switch (mode) {
    case 0x04:
        return 0x80;
    case 0x05:
        return 0x40;
    case 0x06:
        return 0x20;
    case 0x07:
        return 0x10;
    case 0x0d:
        return 0x08;
    case 0x0e:
        return 0x04;
    case 0x0f:
        return 0x02;
    default:
        return 0x00;
    }
}

// True when the READ BUFFER descriptor the drive states forbids a command at offset that
// moves len bytes: an offset off the boundary (FFh: any offset but 0), or beyond the
// buffer's capacity (0: not stated).
static bool breaks_descriptor(const Drive &d, uint32_t offset, uint32_t len) {
    if (!d.has_read_buffer)
        return false;
    bool off_boundary = d.offset_boundary == 0xff ? offset != 0
                        : d.offset_boundary >= 32 ? offset != 0
                                                  : offset % (1u << d.offset_boundary) != 0;
    uint64_t end = uint64_t{offset} + len;
    return off_boundary || (d.buffer_capacity != 0 && end > d.buffer_capacity);
}

// WRITE BUFFER 0Fh: staged microcode becomes current, with the unit attention of new
// microcode; nothing staged is ILLEGAL REQUEST 2Ch/00h (COMMAND SEQUENCE ERROR).
static Answer scsi_activate(Drive &d, const Command &cmd) {
    if (!activate_staged(d))
        return check_condition(cmd, fixed_sense(k_key_illegal_request, 0x2c, 0x00));
    start_reset(d);
    Answer a;
    a.state_changed = true;
    d.unit_attention = true;
    return a;
}

// WRITE BUFFER, 10 bytes:
// byte 1: mode (4:0); byte 2: buffer ID; bytes 3-5: buffer offset; bytes 6-8: parameter
// list length (big-endian).
// Modes 05h and 07h activate a complete image at once; 0Dh and 0Eh keep it staged (0Dh's
// activation events are not modelled: staged microcode waits for 0Fh or a power cycle).
// Where page 86h states the download modes (DMS_VALID), a mode it does not state is refused;
// where it does not, 0Dh-0Fh follow the drive's staging behaviour.
static Answer scsi_write_buffer(Drive &d, const Command &cmd) {
    const std::vector<uint8_t> &c = cmd.cdb;
    uint8_t mode = c[1] & 0x1f;
    uint32_t offset = get_be24(&c[3]);
    uint32_t len = get_be24(&c[6]);
    bool to_dev = cmd.direction == k_dxfer_to_dev || len == 0;
    bool immediate = mode == 0x05 || mode == 0x07;
    bool staging = mode == 0x0d || mode == 0x0e;
    bool stated_off = d.dms_valid && (d.dm_md & dm_md_bit(mode)) == 0;
    bool refused_staging =
        (staging || mode == 0x0f) && !d.dms_valid && d.staging == Staging::unsupported;
    if ((!immediate && !staging && mode != 0x0f) || stated_off || refused_staging || !to_dev ||
        len != cmd.dxfer_len || cmd.data_out.size() < len)
        return invalid_field(cmd);
    if (!immediate && d.staging == Staging::ignored && !d.dms_valid)
        return Answer{};
    if (mode == 0x0f)
        return len == 0 && offset == 0 ? scsi_activate(d, cmd) : invalid_field(cmd);
    if (breaks_descriptor(d, offset, len))
        return invalid_field(cmd);
    std::string before = d.revision;
    bool was_staged = d.staged;
    ChunkResult r = take_chunk(d, mode == 0x05, staging, offset, cmd.data_out.first(len));
    if (r == ChunkResult::refused_order)
        return invalid_field(cmd);
    if (r == ChunkResult::refused_image)
        return check_condition(cmd, fixed_sense(k_key_illegal_request, 0x26, 0x00));
    Answer a;
    if (r == ChunkResult::applied) {
        a.state_changed = d.revision != before || !d.unit_attention || was_staged;
        d.unit_attention = true;
    } else if (r == ChunkResult::staged) {
        a.state_changed = true;
    }
    return a;
}

// READ BUFFER (10): byte 1 mode (4:0), byte 2 buffer ID, bytes 6-8 allocation length. Only
// the descriptor (mode 03h) of buffer 0 is answered: byte 0 the offset boundary, bytes 1-3
// the buffer capacity. A drive that states no descriptor does not know the command.
static Answer scsi_read_buffer(const Drive &d, const Command &cmd) {
    const std::vector<uint8_t> &c = cmd.cdb;
    const CapturedAnswer *captured = captured_answer(d, "read_buffer");
    bool descriptor_of_0 = (c[1] & 0x1f) == 0x03 && c[2] == 0;
    if (captured != nullptr && descriptor_of_0)
        return captured->refused ? check_condition(cmd, captured->bytes)
                                 : good_with_data(cmd, captured->bytes, get_be24(&c[6]), true);
    if (!d.has_read_buffer)
        return invalid_opcode(cmd, false);
    if (!descriptor_of_0)
        return invalid_field(cmd);
    std::vector<uint8_t> desc(4, 0);
    desc[0] = d.offset_boundary;
    put_be24(&desc[1], d.buffer_capacity);
    return good_with_data(cmd, desc, get_be24(&c[6]), true);
}

Answer scsi_drive_answer(Drive &d, const Command &cmd) {
    const std::vector<uint8_t> &c = cmd.cdb;
    if (c[0] == INQUIRY_OPCODE && c.size() >= 6)
        return scsi_inquiry(d, cmd);
    if (c[0] == TEST_UNIT_READY_OPCODE && c.size() >= 6)
        return Answer{};
    if (c[0] == WRITE_BUFFER_OPCODE && c.size() >= 10)
        return scsi_write_buffer(d, cmd);
    if (c[0] == READ_BUFFER_OPCODE && c.size() >= 10)
        return scsi_read_buffer(d, cmd);
    if (Answer a; sbc_answer(d, false, cmd, a))
        return a;
    return invalid_opcode(cmd, false);
}

Answer invalid_opcode(const Command &cmd, bool descriptor) {
    return check_condition(cmd, descriptor ? descriptor_sense(k_key_illegal_request, 0x20, 0)
                                           : fixed_sense(k_key_illegal_request, 0x20, 0));
}
