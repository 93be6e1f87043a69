#include "hostile.h"

#include <algorithm>
#include <cerrno>

const int k_hostile_errnos[k_hostile_errno_count] = {EIO,    EINVAL, ENODEV,    EBUSY, EFAULT,
                                                     ENOMEM, EAGAIN, ETIMEDOUT, ENXIO, EINTR};

namespace {

// The next byte of the script at pos, moving pos on; bytes past its end read as zero.
uint8_t next_byte(std::span<const uint8_t> script, size_t &pos) {
    uint8_t b = pos < script.size() ? script[pos] : 0;
    ++pos;
    return b;
}

// The next count bytes as a big-endian number.
uint32_t next_be(std::span<const uint8_t> script, size_t &pos, int count) {
    uint32_t v = 0;
    for (int i = 0; i < count; ++i)
        v = v << 8 | next_byte(script, pos);
    return v;
}

enum : uint16_t {
    k_bit_errno = 1 << 0,
    k_bit_status = 1 << 1,
    k_bit_masked = 1 << 2,
    k_bit_host = 1 << 3,
    k_bit_driver = 1 << 4,
    k_bit_sense = 1 << 5,
    k_bit_sense_patch = 1 << 6,
    k_bit_sb_len_wr = 1 << 7,
    k_bit_resid = 1 << 8,
    k_bit_info = 1 << 9,
    k_bit_duration = 1 << 10,
    k_bit_data_fill = 1 << 11,
    k_bit_data_patch = 1 << 12,
    k_bit_no_data = 1 << 13,
};

// The data-in buffer as the answer writes it: dxfer_len bytes, the model's answer first.
void make_data_whole(Answer &a, const Command &cmd) {
    if (!a.writes_data) {
        a.writes_data = true;
        a.data.assign(cmd.dxfer_len, 0);
    }
    a.data.resize(cmd.dxfer_len, 0);
}

} // namespace

Answer hostile_answer(std::span<const uint8_t> script, size_t &pos, const Command &cmd,
                      Answer base) {
    Answer a = std::move(base);
    a.hostile = true;
    if (pos >= script.size())
        return a;
    uint16_t mask = static_cast<uint16_t>(next_be(script, pos, 2));
    bool data_in = cmd.direction == k_dxfer_from_dev || cmd.direction == k_dxfer_to_from_dev;
    int err = 0;
    if (mask & k_bit_errno)
        err = k_hostile_errnos[next_byte(script, pos) % k_hostile_errno_count];
    if (mask & k_bit_status)
        a.status = next_byte(script, pos);
    if (mask & k_bit_masked)
        a.masked_status = next_byte(script, pos);
    if (mask & k_bit_host)
        a.host_status = static_cast<uint16_t>(next_be(script, pos, 2));
    if (mask & k_bit_driver)
        a.driver_status = static_cast<uint16_t>(next_be(script, pos, 2));
    if (mask & k_bit_sense) {
        size_t n = next_byte(script, pos) % 65;
        a.sense.clear();
        for (size_t i = 0; i < n; ++i)
            a.sense.push_back(next_byte(script, pos));
    }
    if (mask & k_bit_sense_patch) {
        size_t offset = next_byte(script, pos) % 64;
        size_t n = next_byte(script, pos) % 17;
        if (a.sense.size() < offset + n)
            a.sense.resize(offset + n, 0);
        for (size_t i = 0; i < n; ++i)
            a.sense[offset + i] = next_byte(script, pos);
    }
    if (mask & k_bit_sb_len_wr)
        a.sb_len_wr = next_byte(script, pos);
    if (mask & k_bit_resid)
        a.resid = static_cast<int32_t>(next_be(script, pos, 4));
    if (mask & k_bit_info)
        a.info = next_byte(script, pos);
    if (mask & k_bit_duration)
        a.duration_ms = next_be(script, pos, 4);
    if (mask & k_bit_data_fill) {
        uint8_t fill = next_byte(script, pos);
        if (data_in && cmd.dxfer_len > 0) {
            make_data_whole(a, cmd);
            std::fill(a.data.begin(), a.data.end(), fill);
        }
    }
    if (mask & k_bit_data_patch) {
        uint32_t offset = next_be(script, pos, 2);
        size_t n = next_byte(script, pos);
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i < n; ++i)
            bytes.push_back(next_byte(script, pos));
        if (data_in && cmd.dxfer_len > 0) {
            make_data_whole(a, cmd);
            offset %= cmd.dxfer_len;
            size_t count = std::min<size_t>(n, cmd.dxfer_len - offset);
            std::copy_n(bytes.begin(), count, a.data.begin() + offset);
        }
    }
    if ((mask & k_bit_no_data) && data_in) {
        a.writes_data = false;
        a.data.clear();
    }
    if (err != 0) {
        Answer failed;
        failed.hostile = true;
        failed.io_errno = err;
        failed.state_changed = a.state_changed;
        return failed;
    }
    return a;
}
