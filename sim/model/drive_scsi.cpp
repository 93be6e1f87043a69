// The SCSI drive: INQUIRY (standard data, VPD 00h and 80h), TEST UNIT READY, WRITE BUFFER
// modes 05h and 07h. Anything else is ILLEGAL REQUEST 20h/00h, and the data-in buffer of
// such a command comes back zero-filled with resid 0, as the sg driver hands it back.
#include <algorithm>
#include <cstring>

#include "drive_exec.h"
#include "image.h"
#include "sense_build.h"
#include "sim_bytes.h"

static constexpr uint8_t INQUIRY_OPCODE = 0x12;
static constexpr uint8_t TEST_UNIT_READY_OPCODE = 0x00;
static constexpr uint8_t WRITE_BUFFER_OPCODE = 0x3b;

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

// VPD pages: 00h lists 00h and 80h; 80h holds the serial number.
// byte 1: page code; bytes 2-3: page length; from byte 4: the page.
static bool vpd_page(const Drive &d, uint8_t page, std::vector<uint8_t> &out) {
    if (page == 0x00) {
        out = {0x00, 0x00, 0x00, 0x02, 0x00, 0x80};
        return true;
    }
    if (page == 0x80) {
        size_t n = std::min<size_t>(d.serial.size(), 255);
        out.assign(4 + n, 0);
        out[1] = 0x80;
        out[3] = static_cast<uint8_t>(n);
        std::memcpy(&out[4], d.serial.data(), n);
        return true;
    }
    return false;
}

static Answer scsi_inquiry(const Drive &d, const Command &cmd) {
    const std::vector<uint8_t> &c = cmd.cdb;
    size_t alloc = get_be16(&c[3]);
    std::vector<uint8_t> page;
    if (c[1] & 0x01) {
        if (!vpd_page(d, c[2], page))
            return check_condition(cmd, fixed_sense(k_key_illegal_request, 0x24, 0x00));
    } else if (c[2] != 0) {
        return check_condition(cmd, fixed_sense(k_key_illegal_request, 0x24, 0x00));
    } else {
        page = standard_inquiry(d);
    }
    if (d.flavor == ScsiFlavor::scsi_hd)
        page.resize(std::max(page.size(), alloc), 0); // QEMU fills the allocation length
    return good_with_data(cmd, page, alloc, true);
}

// WRITE BUFFER, 10 bytes:
// byte 1: mode (4:0); byte 2: buffer ID; bytes 3-5: buffer offset; bytes 6-8: parameter
// list length (big-endian).
static Answer scsi_write_buffer(Drive &d, const Command &cmd) {
    const std::vector<uint8_t> &c = cmd.cdb;
    uint8_t mode = c[1] & 0x1f;
    uint32_t offset = get_be24(&c[3]);
    uint32_t len = get_be24(&c[6]);
    bool to_dev = cmd.direction == k_dxfer_to_dev || len == 0;
    if ((mode != 0x05 && mode != 0x07) || !to_dev || len != cmd.dxfer_len ||
        cmd.data_out.size() < len)
        return check_condition(cmd, fixed_sense(k_key_illegal_request, 0x24, 0x00));
    std::string before = d.revision;
    ChunkResult r = take_chunk(d, mode == 0x05, offset, cmd.data_out.first(len));
    if (r == ChunkResult::refused_order)
        return check_condition(cmd, fixed_sense(k_key_illegal_request, 0x24, 0x00));
    if (r == ChunkResult::refused_image)
        return check_condition(cmd, fixed_sense(k_key_illegal_request, 0x26, 0x00));
    Answer a;
    if (r == ChunkResult::applied) {
        a.state_changed = d.revision != before || !d.unit_attention;
        d.unit_attention = true;
    }
    return a;
}

Answer scsi_drive_answer(Drive &d, const Command &cmd) {
    const std::vector<uint8_t> &c = cmd.cdb;
    if (c[0] == INQUIRY_OPCODE && c.size() >= 6)
        return scsi_inquiry(d, cmd);
    if (c[0] == TEST_UNIT_READY_OPCODE && c.size() >= 6)
        return Answer{};
    if (c[0] == WRITE_BUFFER_OPCODE && c.size() >= 10)
        return scsi_write_buffer(d, cmd);
    return invalid_opcode(cmd, false);
}

Answer invalid_opcode(const Command &cmd, bool descriptor) {
    return check_condition(cmd, descriptor ? descriptor_sense(k_key_illegal_request, 0x20, 0)
                                           : fixed_sense(k_key_illegal_request, 0x20, 0));
}
