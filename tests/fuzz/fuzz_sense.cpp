// Fuzzes the sense decoder with what a driver, a bridge or a broken drive may hand back.
// Input: byte 0 = the CDB's operation code, byte 1 = the length the driver claims to have
// written (sb_len_wr), then the sense bytes actually in the area.
#include "sg/sense.h"
#include "sg/sg_io.h"

#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) {
        return 0;
    }
    uint8_t opcode = data[0];
    size_t claimed = data[1];
    size_t have = size - 2;
    // An area of exactly the bytes present, so that any read past them is caught.
    auto area = std::make_unique<uint8_t[]>(have + 1);
    memcpy(area.get(), data + 2, have);
    size_t len = claimed < have ? claimed : have;
    SenseFields f = decode_sense(area.get(), len, opcode);

    // What lies behind the written length must not change the result.
    if (len < have) {
        auto other = std::make_unique<uint8_t[]>(have + 1);
        memcpy(other.get(), data + 2, len);
        memset(other.get() + len, 0xFF, have - len);
        SenseFields g = decode_sense(other.get(), len, opcode);
        if (memcmp(&f, &g, sizeof f) != 0) {
            abort();
        }
    }
    // Registers only come with a decodable response code.
    if (f.has_ata && !f.has_key) {
        abort();
    }
    if (len == 0 && (f.has_key || f.has_ata || f.response_code != 0)) {
        abort();
    }
    return 0;
}
