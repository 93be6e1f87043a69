#include "hostile_script.h"

#include <nlohmann/json.hpp>

namespace {

uint8_t at(const std::vector<uint8_t> &s, size_t i) {
    return i < s.size() ? s[i] : 0;
}

void put_be(std::vector<uint8_t> &out, uint32_t v, int count) {
    for (int i = count - 1; i >= 0; --i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

template <typename T, size_t N> T pick(std::mt19937_64 &rng, const T (&values)[N]) {
    return values[rng() % N];
}

// Sense bytes near the layouts the stack really builds: fixed, descriptor, with and
// without ATA registers, sometimes cut short as a bridge would.
std::vector<uint8_t> plausible_sense(std::mt19937_64 &rng) {
    std::vector<uint8_t> s;
    uint8_t key = static_cast<uint8_t>(rng() % 3 == 0 ? rng() % 16 : pick(rng, {0, 1, 5, 0xb}));
    uint8_t status = pick(rng, {0x50, 0x51, 0x41, 0x40, 0x58, 0xd0, 0x70, 0x00});
    uint8_t error = static_cast<uint8_t>(rng() % 2 ? 0 : pick(rng, {0x04, 0x01, 0x80}));
    switch (rng() % 5) {
    case 0: // fixed, ASC/ASCQ
        s = {0x70, 0, key, 0, 0, 0, 0, 0x0a, 0, 0, 0, 0, 0x20, 0, 0, 0, 0, 0};
        break;
    case 1: // Linux 6.1 failed pass-through
        s = {0x70, 0, key, 0, 0, 0, 0, 0x0a, error, status, 0x40, 0x08, 0, 0, 0, 0, 0, 0};
        break;
    case 2: // SAT layout with VALID
        s = {0xf0, 0, key, error, status, 0x40, 0x08, 0x0a, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        break;
    case 3: // descriptor with the ATA Status Return descriptor
        s = {0x72,  key, 0,    0x1d, 0, 0, 0, 0x0e, 0x09, 0x0c, 0,
             error, 0,   0x02, 0,    0, 0, 0, 0,    0,    0x40, status};
        break;
    default: // descriptor, nothing behind
        s = {0x72, key, 0x20, 0, 0, 0, 0, 0};
        break;
    }
    if (rng() % 4 == 0)
        s.resize(rng() % (s.size() + 1));
    return s;
}

// A data patch at a place the program reads: INQUIRY vendor, product, revision, the serial
// page length; IDENTIFY word 0, revision, model, the dotted flag, the dotted suffix.
void data_patch(std::mt19937_64 &rng, std::vector<uint8_t> &f) {
    uint16_t offset = static_cast<uint16_t>(
        rng() % 4 == 0 ? rng() % 512 : pick(rng, {0, 3, 4, 8, 16, 32, 46, 54, 90, 275, 464}));
    uint8_t n = static_cast<uint8_t>(rng() % 3 == 0 ? rng() % 64 : 1 + rng() % 8);
    put_be(f, offset, 2);
    f.push_back(n);
    static const uint8_t k_bytes[] = {' ', '.', 'P', 'A', 'T', 0, 0xff, '\t', 0x7f, '9'};
    for (int i = 0; i < n; ++i)
        f.push_back(rng() % 2 ? pick(rng, k_bytes) : static_cast<uint8_t>(rng()));
}

void append_record(std::mt19937_64 &rng, std::vector<uint8_t> &script) {
    if (rng() % 2 == 0) {
        put_be(script, 0, 2); // the honest answer
        return;
    }
    uint16_t mask = 0;
    int bits = 1 + static_cast<int>(rng() % 3);
    for (int i = 0; i < bits; ++i)
        mask |= static_cast<uint16_t>(1u << (rng() % 14));
    if (rng() % 16 != 0)
        mask &= static_cast<uint16_t>(~1u); // errno now and then only
    std::vector<uint8_t> f;
    if (mask & (1 << 0))
        f.push_back(static_cast<uint8_t>(rng()));
    if (mask & (1 << 1))
        f.push_back(pick(rng, {0x00, 0x02, 0x04, 0x08, 0x18, 0x22, 0x28, 0x40, 0xff}));
    if (mask & (1 << 2))
        f.push_back(rng() % 4 == 0 ? static_cast<uint8_t>(rng()) : pick(rng, {0, 1, 2, 4, 0x11}));
    if (mask & (1 << 3))
        put_be(f, rng() % 4 == 0 ? static_cast<uint16_t>(rng()) : pick(rng, {0, 1, 3, 7, 0x0b}), 2);
    if (mask & (1 << 4))
        put_be(f, rng() % 4 == 0 ? static_cast<uint16_t>(rng()) : pick(rng, {0, 8, 6, 0x18, 0x28}),
               2);
    if (mask & (1 << 5)) {
        std::vector<uint8_t> s = plausible_sense(rng);
        if (rng() % 8 == 0) {
            s.resize(rng() % 65);
            for (uint8_t &b : s)
                b = static_cast<uint8_t>(rng());
        }
        f.push_back(static_cast<uint8_t>(s.size()));
        f.insert(f.end(), s.begin(), s.end());
    }
    if (mask & (1 << 6)) {
        uint8_t n = static_cast<uint8_t>(rng() % 5);
        f.push_back(static_cast<uint8_t>(rng() % 32));
        f.push_back(n);
        for (int i = 0; i < n; ++i)
            f.push_back(static_cast<uint8_t>(rng()));
    }
    if (mask & (1 << 7))
        f.push_back(rng() % 4 == 0
                        ? static_cast<uint8_t>(rng())
                        : pick(rng, {0, 1, 2, 3, 7, 8, 12, 13, 18, 21, 22, 31, 32, 33, 255}));
    if (mask & (1 << 8)) {
        static const int32_t k_resids[] = {
            0, 1, -1, 512, 4096, -4096, 96, 2147483647, -2147483647 - 1};
        put_be(f,
               static_cast<uint32_t>(rng() % 4 == 0 ? static_cast<int32_t>(rng())
                                                    : pick(rng, k_resids)),
               4);
    }
    if (mask & (1 << 9))
        f.push_back(static_cast<uint8_t>(rng() % 2 ? rng() : 1));
    if (mask & (1 << 10))
        put_be(f, static_cast<uint32_t>(rng()), 4);
    if (mask & (1 << 11))
        f.push_back(pick(rng, {0x00, 0x20, 0xff, 0x50, 0x41}));
    if (mask & (1 << 12))
        data_patch(rng, f);
    put_be(script, mask, 2);
    script.insert(script.end(), f.begin(), f.end());
}

} // namespace

HostileSetup read_setup(const std::vector<uint8_t> &script) {
    HostileSetup s;
    uint8_t run = at(script, 0), drive = at(script, 1);
    s.run_kind = (run & 0x0f) % k_run_kinds;
    s.scan_dev = (run & 0x80) != 0;
    s.sata = (drive & 0x01) != 0;
    s.error_sense = ((drive >> 1) & 0x03) % 3;
    s.fwreq = ((drive >> 3) & 0x03) % 3;
    s.image = (drive >> 5) & 0x07;
    s.segments = 1 + at(script, 2) % 8;
    if (script.size() > 3)
        s.drive_script.assign(script.begin() + 3, script.end());
    return s;
}

bool run_downloads(const HostileSetup &s, bool *cfs) {
    *cfs = s.run_kind >= 8;
    return s.run_kind >= 2;
}

// The kinds: 0 -i; 1 --enump --tmc 31847; 2 -f; 3 -f -s; 4 -f -w; 5 -f -w -s; 6 -f -p;
// 7 -f -p -s; 8 -c; 9 -c -s.
std::vector<std::string> run_arguments(const HostileSetup &s, const std::string &image,
                                       const std::string &cfs) {
    std::vector<std::string> a;
    switch (s.run_kind) {
    case 0:
        a = {"-i"};
        break;
    case 1:
        a = {"--enump", "--tmc", "31847"};
        break;
    case 8:
    case 9: // a -c run waits for the drive after its image: 2 s keep it inside the hang guard
        a = {"-c", cfs, "--settle", "2"};
        break;
    default:
        a = {"-f", image};
        break;
    }
    if (s.run_kind == 4 || s.run_kind == 5)
        a.push_back("-w");
    if (s.run_kind == 6 || s.run_kind == 7)
        a.push_back("-p");
    if (s.run_kind == 3 || s.run_kind == 5 || s.run_kind == 7 || s.run_kind == 9) {
        a.push_back("-s");
        a.push_back(std::to_string(s.segments));
    }
    if (!s.scan_dev) {
        a.push_back("-d");
        a.push_back("/dev/sg0");
    }
    return a;
}

std::string bay_text(const HostileSetup &s, const std::string &trace_name) {
    static const char *const k_layouts[] = {"linux-6.1", "sat", "descriptor"};
    static const char *const k_fwreq[] = {"ignore", "dotted", "plain"};
    nlohmann::ordered_json drive;
    drive["node"] = "/dev/sg0";
    if (s.sata) {
        drive["type"] = "sata";
        drive["model"] = "HOSTILE HX-1 SATA";
        drive["serial"] = "   HX0000000001";
        drive["revision"] = "HX01.A00";
        drive["fwreq"] = k_fwreq[s.fwreq];
    } else {
        drive["type"] = "scsi";
        drive["vendor"] = "HOSTILE";
        drive["product"] = "HX-SAS";
        drive["revision"] = "HX01";
        drive["serial"] = "HX0000000002";
    }
    drive["firmware"] = {{"mode", "accept-any"}, {"target", "HOSTILE1"}};
    static const char k_hex[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t b : s.drive_script) {
        hex += k_hex[b >> 4];
        hex += k_hex[b & 15];
    }
    drive["hostile"] = hex;
    nlohmann::ordered_json bay;
    bay["trace"] = trace_name;
    bay["ata_error_sense"] = k_layouts[s.error_sense];
    bay["drives"] = nlohmann::ordered_json::array({drive});
    return bay.dump() + "\n";
}

std::vector<uint8_t> random_script(std::mt19937_64 &rng) {
    std::vector<uint8_t> script;
    // Mostly runs that download, which have the most to judge.
    uint8_t run = static_cast<uint8_t>(rng() % 5 == 0 ? rng() % 2 : 2 + rng() % 8);
    if (rng() % 8 == 0)
        run |= 0x80;
    uint8_t drive = static_cast<uint8_t>(rng());
    if (rng() % 4 != 0)
        drive |= 0x01; // SATA: the longer conversation
    script.push_back(run);
    script.push_back(drive);
    script.push_back(static_cast<uint8_t>(rng()));
    size_t records = rng() % 20;
    for (size_t i = 0; i < records; ++i)
        append_record(rng, script);
    return script;
}
