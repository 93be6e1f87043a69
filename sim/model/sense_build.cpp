#include "sense_build.h"

#include <algorithm>

std::vector<uint8_t> fixed_sense(uint8_t key, uint8_t asc, uint8_t ascq) {
    std::vector<uint8_t> s(18, 0);
    s[0] = 0x70;
    s[2] = key;
    s[7] = 0x0a;
    s[12] = asc;
    s[13] = ascq;
    return s;
}

std::vector<uint8_t> descriptor_sense(uint8_t key, uint8_t asc, uint8_t ascq) {
    std::vector<uint8_t> s(8, 0);
    s[0] = 0x72;
    s[1] = key;
    s[2] = asc;
    s[3] = ascq;
    return s;
}

std::vector<uint8_t> ata_descriptor_sense(uint8_t key, uint8_t asc, uint8_t ascq,
                                          const AtaRegs &r) {
    std::vector<uint8_t> s = descriptor_sense(key, asc, ascq);
    s[7] = 0x0e;
    s.resize(22, 0);
    uint8_t *d = &s[8];
    d[0] = 0x09;
    d[1] = 0x0c;
    d[2] = r.extend ? 0x01 : 0x00;
    d[3] = r.error;
    d[5] = r.count;
    d[7] = r.lba_low;
    d[9] = r.lba_mid;
    d[11] = r.lba_high;
    if (r.extend) {
        d[4] = r.hob_count;
        d[6] = r.hob_lba_low;
        d[8] = r.hob_lba_mid;
        d[10] = r.hob_lba_high;
    }
    d[12] = r.device;
    d[13] = r.status;
    return s;
}

static uint8_t extend_flags(const AtaRegs &r) {
    if (!r.extend)
        return 0;
    uint8_t f = 0x80;
    if (r.hob_count)
        f |= 0x40;
    if (r.hob_lba_low || r.hob_lba_mid || r.hob_lba_high)
        f |= 0x20;
    return f;
}

std::vector<uint8_t> ata_error_sense(AbortSense layout, const AtaRegs &r) {
    if (layout == AbortSense::descriptor)
        return ata_descriptor_sense(k_key_aborted_command, 0, 0, r);
    std::vector<uint8_t> s = fixed_sense(k_key_aborted_command, 0, 0);
    if (layout == AbortSense::linux_6_1) {
        // The registers start at byte 8; LBA mid and high would fall behind the 18 bytes
        // reported, so only LBA low (byte 17) is seen.
        s[8] = r.error;
        s[9] = r.status;
        s[10] = r.device;
        s[11] = r.count;
        s[16] = extend_flags(r);
        s[17] = r.lba_low;
    } else {
        s[0] = 0xf0;
        s[3] = r.error;
        s[4] = r.status;
        s[5] = r.device;
        s[6] = r.count;
        s[8] = extend_flags(r);
        s[9] = r.lba_low;
        s[10] = r.lba_mid;
        s[11] = r.lba_high;
    }
    return s;
}

Answer check_condition(const Command &cmd, std::vector<uint8_t> sense) {
    Answer a;
    a.status = k_status_check_condition;
    a.driver_status = k_driver_sense;
    a.sense = std::move(sense);
    if (cmd.direction == k_dxfer_from_dev || cmd.direction == k_dxfer_to_from_dev) {
        a.writes_data = true;
        a.data.assign(cmd.dxfer_len, 0);
    }
    return a;
}

Answer good_with_data(const Command &cmd, const std::vector<uint8_t> &bytes, size_t limit,
                      bool report_resid) {
    Answer a;
    if (cmd.direction != k_dxfer_from_dev && cmd.direction != k_dxfer_to_from_dev)
        return a;
    size_t n = std::min({bytes.size(), limit, size_t{cmd.dxfer_len}});
    a.writes_data = true;
    a.data.assign(cmd.dxfer_len, 0);
    std::copy_n(bytes.begin(), n, a.data.begin());
    a.resid = report_resid ? static_cast<int32_t>(cmd.dxfer_len - n) : 0;
    return a;
}
