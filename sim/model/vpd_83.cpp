// The device identification page (83h), as little of it as a drive's name needs: the T10
// vendor ID designator (SCSI: vendor, product, serial; SATA as libata builds it: "ATA", the
// model and the serial) and, for a drive the bay gives a "wwn", its NAA name (association:
// the logical unit, code set binary).
#include <algorithm>

#include "drive_exec.h"
#include "sim_bytes.h"

// Appends one designation descriptor: byte 0 protocol identifier (7:4) and code set (3:0),
// byte 1 PIV (7), association (5:4) and designator type (3:0), byte 3 its length.
static void add_designator(std::vector<uint8_t> &p, uint8_t b0, uint8_t b1,
                           const std::vector<uint8_t> &designator) {
    p.insert(p.end(), {b0, b1, 0, static_cast<uint8_t>(designator.size())});
    p.insert(p.end(), designator.begin(), designator.end());
}

static std::vector<uint8_t> padded(const std::string &text, size_t len) {
    std::vector<uint8_t> b(len, ' ');
    std::copy_n(text.begin(), std::min(text.size(), len), b.begin());
    return b;
}

std::vector<uint8_t> device_identification_page(const Drive &d) {
    bool sata = d.type == DriveType::sata;
    std::vector<uint8_t> t10 = padded(sata ? "ATA" : d.vendor, 8);
    std::vector<uint8_t> model = padded(sata ? d.model : d.product, sata ? 40 : 16);
    std::vector<uint8_t> serial = sata ? padded(d.serial, 20) : padded(d.serial, d.serial.size());
    t10.insert(t10.end(), model.begin(), model.end());
    t10.insert(t10.end(), serial.begin(), serial.end());
    std::vector<uint8_t> p = {0x00, 0x83, 0, 0};
    add_designator(p, 0x02, 0x01, t10);
    if (d.has_wwn) {
        std::vector<uint8_t> naa(8);
        put_be32(naa.data(), static_cast<uint32_t>(d.wwn >> 32));
        put_be32(naa.data() + 4, static_cast<uint32_t>(d.wwn));
        add_designator(p, 0x01, 0x03, naa);
    }
    put_be16(&p[2], static_cast<uint32_t>(p.size() - 4));
    return p;
}
