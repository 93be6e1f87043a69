// Fuzzes the handling of what a drive answers to IDENTIFY DEVICE and to the two firmware
// requests: the model number, the choice of request and both ways of building the firmware
// revision.
// Input: 512 bytes of IDENTIFY data, 512 bytes answering the dotted request, 512 bytes
// answering the plain request. Missing bytes read as zero, as in an area the drive did not
// fill.
#include "sg/identify.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

using Area = std::unique_ptr<uint8_t[]>;
using Text = std::unique_ptr<char[]>;

// The n-th 512-byte area of the input, in a block of exactly that size so that any read
// past it is caught.
Area area_from(const uint8_t *data, size_t size, size_t n) {
    Area area(new uint8_t[IDENTIFY_DATA_LEN]());
    size_t start = n * IDENTIFY_DATA_LEN;
    if (start < size) {
        size_t have = size - start;
        std::memcpy(area.get(), data + start, have < IDENTIFY_DATA_LEN ? have : IDENTIFY_DATA_LEN);
    }
    return area;
}

// A cleared caller's buffer of exactly len bytes.
Text cleared(int len) {
    return Text(new char[static_cast<size_t>(len)]());
}

bool in_set(uint8_t c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\r' || c == '\n';
}

void require(bool condition) {
    if (!condition) {
        abort();
    }
}

// The model number as the drive states it: words 27-46, characters in pair order, up to
// the first NUL, the five whitespace bytes trimmed from both ends.
std::string expected_model(const uint8_t *identify) {
    std::string raw;
    for (int i = 0; i < 40; ++i) {
        raw.push_back(static_cast<char>(identify[54 + (i ^ 1)]));
    }
    raw.resize(std::strlen(raw.c_str()));
    size_t first = 0;
    while (first < raw.size() && in_set(static_cast<uint8_t>(raw[first]))) {
        ++first;
    }
    size_t last = raw.size();
    while (last > first && in_set(static_cast<uint8_t>(raw[last - 1]))) {
        --last;
    }
    return raw.substr(first, last - first);
}

void check_model(const uint8_t *identify) {
    Text buf = cleared(FULL_MN_MIN_LEN);
    int n = extract_model(identify, buf.get());
    require(n >= 0 && n <= 40);
    require(std::strlen(buf.get()) == static_cast<size_t>(n));
    // Behind the text the buffer holds only zeros, its last byte included.
    for (int i = n; i < FULL_MN_MIN_LEN; ++i) {
        require(buf[i] == '\0');
    }
    if (n > 0) {
        require(!in_set(static_cast<uint8_t>(buf[0])));
        require(!in_set(static_cast<uint8_t>(buf[n - 1])));
    }
    require(expected_model(identify) == buf.get());

    Text again = cleared(FULL_MN_MIN_LEN);
    require(extract_model(identify, again.get()) == n);
    require(std::memcmp(buf.get(), again.get(), FULL_MN_MIN_LEN) == 0);
}

// Checks one firmware result in a buffer of len bytes: the count in range, the terminator
// kept, nothing written behind the count, no whitespace in the text.
void check_fw_result(const char *buf, int len, int n) {
    require(n >= 0 && n <= 45);
    require(buf[len - 1] == '\0');
    for (int i = n; i < len; ++i) {
        require(buf[i] == '\0');
    }
    for (size_t i = 0; buf[i] != '\0'; ++i) {
        require(!in_set(static_cast<uint8_t>(buf[i])));
    }
}

// Runs build over the buffer lengths the run and the checks use (the smallest accepted and
// the device run's), twice each: all four results must agree byte for byte.
template <typename Build> void check_fw(Build build) {
    const int lens[] = {FULL_FW_MIN_LEN, 47};
    Text first;
    int first_n = -1;
    for (int len : lens) {
        for (int round = 0; round < 2; ++round) {
            Text buf = cleared(len);
            int n = build(buf.get(), len);
            check_fw_result(buf.get(), len, n);
            if (!first) {
                first = std::move(buf);
                first_n = n;
                continue;
            }
            require(n == first_n);
            require(std::memcmp(buf.get(), first.get(), FULL_FW_MIN_LEN) == 0);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Area identify = area_from(data, size, 0);
    Area dotted = area_from(data, size, 1);
    Area plain = area_from(data, size, 2);

    check_model(identify.get());

    bool wants_dotted = wants_dotted_fw_request(identify.get());
    require(wants_dotted == wants_dotted_fw_request(identify.get()));

    // Both paths run whatever the flag says: a drive may answer either request with anything.
    check_fw([&](char *buf, int len) { return assemble_dotted_fw(dotted.get(), buf, len); });

    // The kept bytes are copies, as the run keeps them.
    IdentifyFirmware kept = identify_firmware(identify.get());
    check_fw([&](char *buf, int len) { return assemble_plain_fw(kept, plain.get(), buf, len); });
    // A drive that transferred nothing for the plain request leaves IDENTIFY in the area.
    check_fw([&](char *buf, int len) { return assemble_plain_fw(kept, identify.get(), buf, len); });
    // The words about microcode and the log page read any bytes without a fault.
    parse_identify_statements(identify.get());
    parse_capabilities_page(dotted.get());
    return 0;
}
