// `sgsim capture`: reads the drives of a real host with identification commands only and
// writes a bay whose drives answer those commands with the bytes the host's drives gave
// (docs/sgsim.md). It uses nothing of the run's code: what it parses (the INQUIRY lengths,
// the VPD page list, the IDENTIFY strings) it parses here.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <scsi/sg.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "captured.h"
#include "sgsim_tool.h"
#include "sim_bytes.h"

namespace {

using nlohmann::json;

// The only commands capture sends: identification reads that change nothing on a drive.
// The VPD page (byte 2) and its allocation length (bytes 3-4), and the log address (byte 8)
// and page (byte 10) of READ LOG EXT, are put in by capture_command; nothing else changes.
struct CaptureCommand {
    const char *name;
    uint8_t cdb[16];
    uint8_t cdb_len;
    uint32_t length; // data-in bytes
};

enum CommandIndex {
    INQUIRY,
    VPD,
    IDENTIFY,
    IDENTIFY_STATUS,
    FWREQ_DOTTED,
    FWREQ_PLAIN,
    READ_LOG,
    READ_BUFFER
};

const CaptureCommand k_capture_commands[] = {
    // INQUIRY, standard data; allocation length 252 (byte 4, as SCSI-2 devices read it)
    {"inquiry", {0x12, 0x00, 0x00, 0x00, 0xfc, 0x00}, 6, 252},
    // INQUIRY, EVPD (byte 1 bit 0): a VPD page
    {"vpd", {0x12, 0x01, 0x00, 0x00, 0xfc, 0x00}, 6, 252},
    // ATA PASS-THROUGH (16): byte 1 protocol 4, PIO data-in (4:1); byte 2 T_DIR, BYT_BLOK,
    // T_LENGTH in COUNT (0Eh); COUNT 1; device 40h; IDENTIFY DEVICE (ECh). Without CK_COND the
    // data come back GOOD even from a drive that ends the transfer with DRQ set.
    {"identify", {0x85, 0x08, 0x0e, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0x40, 0xec, 0}, 16, 512},
    // ATA PASS-THROUGH (12) IDENTIFY DEVICE with CK_COND (byte 2 bit 5): the Status register
    // the drive ends it with, as the run's identification reads it
    {"identify", {0xa1, 0x08, 0x2e, 0x00, 0x01, 0x00, 0x00, 0x00, 0x40, 0xec, 0x00, 0x00}, 12, 512},
    // the drives' firmware requests: IDENTIFY DEVICE with LBA DB/97/20h, FEATURES 0Bh and 00h
    {"fwreq_dotted",
     {0xa1, 0x08, 0x0e, 0x0b, 0x01, 0xdb, 0x97, 0x20, 0x40, 0xec, 0x00, 0x00},
     12,
     512},
    {"fwreq_plain",
     {0xa1, 0x08, 0x0e, 0x00, 0x01, 0xdb, 0x97, 0x20, 0x40, 0xec, 0x00, 0x00},
     12,
     512},
    // ATA PASS-THROUGH (16), 48-bit (byte 1 bit 0) PIO data-in, READ LOG EXT (2Fh): one page
    {"read_log", {0x85, 0x09, 0x0e, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x2f, 0}, 16, 512},
    // READ BUFFER (10): mode 03h (descriptor), buffer 0, allocation length 4 (bytes 6-8)
    {"read_buffer", {0x3c, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00}, 10, 4},
};

constexpr unsigned k_timeout_ms = 20000;
constexpr uint8_t k_key_aborted_command = 0x0b;

// What one command brought back; ok false when the ioctl itself failed.
struct Reply {
    bool ok = false;
    uint8_t status = 0;
    uint16_t host_status = 0, driver_status = 0;
    std::vector<uint8_t> data; // the bytes the target returned (dxfer_len - resid)
    std::vector<uint8_t> sense;
    bool good() const {
        return ok && status == 0 && host_status == 0 && (driver_status & 0x0f) == 0;
    }
    bool refused() const { return ok && status == 0x02 && !sense.empty(); }
};

struct Command {
    std::vector<uint8_t> cdb;
    uint32_t length;
};

// The table's command `index`, with a VPD page and allocation length or a log address and
// page put in.
Command capture_command(CommandIndex index, uint8_t page = 0, uint16_t alloc = 0, uint8_t log = 0) {
    const CaptureCommand &c = k_capture_commands[index];
    Command out{std::vector<uint8_t>(c.cdb, c.cdb + c.cdb_len), c.length};
    if (index == VPD) {
        out.cdb[2] = page;
        put_be16(&out.cdb[3], alloc);
        out.length = alloc;
    } else if (index == READ_LOG) {
        out.cdb[8] = log;
        out.cdb[10] = page;
    }
    return out;
}

Reply send(int fd, const Command &c) {
    Reply r;
    std::vector<uint8_t> data(c.length, 0);
    std::vector<uint8_t> sense(64, 0);
    sg_io_hdr_t h;
    std::memset(&h, 0, sizeof h);
    h.interface_id = 'S';
    h.dxfer_direction = SG_DXFER_FROM_DEV;
    h.cmd_len = static_cast<unsigned char>(c.cdb.size());
    h.cmdp = const_cast<unsigned char *>(c.cdb.data());
    h.dxfer_len = c.length;
    h.dxferp = data.data();
    h.mx_sb_len = static_cast<unsigned char>(sense.size());
    h.sbp = sense.data();
    h.timeout = k_timeout_ms;
    if (ioctl(fd, SG_IO, &h) < 0)
        return r;
    r.ok = true;
    r.status = h.status;
    r.host_status = h.host_status;
    r.driver_status = h.driver_status;
    int got = static_cast<int>(c.length) - h.resid;
    data.resize(got < 0 ? 0 : std::min<size_t>(got, c.length));
    r.data = std::move(data);
    sense.resize(std::min<size_t>(h.sb_len_wr, sense.size()));
    r.sense = std::move(sense);
    return r;
}

// Drive strings go into the bay as ASCII, trailing blanks dropped; the captured bytes keep
// them exactly.
std::string ascii(std::string s) {
    for (char &c : s)
        if (static_cast<uint8_t>(c) >= 0x80)
            c = '?';
    return trim_trailing(s);
}

std::string hex_number(uint64_t v) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%llx", static_cast<unsigned long long>(v));
    return b;
}

// What the ATA sense of a command tells: its layout and the Status register.
struct AtaSense {
    bool valid = false;
    std::string layout; // as the bay's "ata_error_sense" names it
    uint8_t key = 0, status = 0;
};

// Descriptor format with the ATA Status Return descriptor (09h) at byte 8: status at 21;
// fixed format 70h/71h (Linux 6.1, only for ABORTED COMMAND): registers from byte 8, status
// at 9; F0h/F1h (the SAT layout of later kernels, ABORTED COMMAND or RECOVERED ERROR):
// status at 4. Any other sense carries no registers.
AtaSense ata_sense(const std::vector<uint8_t> &s) {
    AtaSense a;
    uint8_t code = s.empty() ? 0 : s[0] & 0x7f;
    uint8_t key = s.size() > 2 ? s[code == 0x72 ? 1 : 2] & 0x0f : 0;
    bool sat = !s.empty() && (s[0] & 0x80) != 0;
    if (code == 0x72 && s.size() >= 22 && s[8] == 0x09) {
        a = {true, "descriptor", key, s[21]};
    } else if ((code == 0x70 || code == 0x71) && s.size() >= 18 &&
               (key == k_key_aborted_command || (sat && key == 0x01))) {
        a = {true, sat ? "sat" : "linux-6.1", key, s[sat ? 4 : 9]};
    }
    return a;
}

// What capture learnt of the host's SAT layer, over all its drives.
struct HostFacts {
    std::string ata_error_sense;
};

// One drive under capture: its open node, its record in the bay and its captured answers.
struct DriveCapture {
    int fd;
    json &record;
    Captured &captured;
};

// Keeps an answer: the data cut to the length the answer declares, or the refusal's sense.
// Returns the data (empty when the command was refused or failed).
std::vector<uint8_t> keep(DriveCapture &dc, const std::string &name, const Reply &r,
                          size_t declared) {
    if (r.refused()) {
        dc.captured.answers[name] = {true, r.sense};
        return {};
    }
    if (!r.good())
        return {};
    std::vector<uint8_t> data = r.data;
    if (declared < data.size())
        data.resize(declared);
    dc.captured.answers[name] = {false, data};
    return data;
}

// The VPD pages: 00h and each of 80h, 83h, 86h and 89h it lists; a page longer than the
// first allocation is read again whole. padded (when given) is set when the target filled
// the allocation length behind the page.
std::vector<uint8_t> capture_vpd(DriveCapture &dc, uint8_t page, bool *padded = nullptr) {
    char name[8];
    std::snprintf(name, sizeof name, "vpd_%02x", page);
    Reply r = send(dc.fd, capture_command(VPD, page, 252));
    if (r.good() && r.data.size() >= 4 && get_be16(&r.data[2]) + 4u > 252u)
        r = send(dc.fd, capture_command(
                            VPD, page,
                            static_cast<uint16_t>(std::min(get_be16(&r.data[2]) + 4u, 0xffffu))));
    size_t declared = r.data.size() >= 4 ? get_be16(&r.data[2]) + 4u : 0;
    if (padded != nullptr)
        *padded = r.good() && r.data.size() > declared;
    return keep(dc, name, r, declared);
}

void capture_scsi(DriveCapture &dc, const std::vector<uint8_t> &vpd80,
                  const std::vector<uint8_t> &vpd83, const std::vector<uint8_t> &vpd86) {
    json &rec = dc.record;
    if (vpd80.size() > 4)
        rec["serial"] = ascii(std::string(reinterpret_cast<const char *>(&vpd80[4]),
                                          std::min<size_t>(vpd80.size() - 4, 255)));
    // The logical unit's NAA name: association 0 (byte 1 bits 5:4), type 3, 8 bytes.
    for (size_t at = 4; at + 4 <= vpd83.size(); at += 4 + vpd83[at + 3]) {
        if ((vpd83[at + 1] & 0x3f) == 0x03 && vpd83[at + 3] == 8 && at + 12 <= vpd83.size()) {
            char w[20];
            std::snprintf(w, sizeof w, "%016llx",
                          static_cast<unsigned long long>(get_be64(&vpd83[at + 4])));
            rec["wwn"] = w;
            break;
        }
    }
    if (vpd86.size() >= 20) {
        json ext = {{"activate_microcode", vpd86[4] >> 6}};
        if (vpd86[12] & 0x10) {
            static const int k_modes[] = {0x04, 0x05, 0x06, 0x07, 0x0d, 0x0e, 0x0f};
            ext["download_modes"] = json::array();
            for (int i = 0; i < 7; i++)
                if (vpd86[19] & (0x80 >> i))
                    ext["download_modes"].push_back(hex_number(k_modes[i]));
        }
        rec["extended_inquiry"] = ext;
    } else {
        rec["extended_inquiry"] = false;
    }
    std::vector<uint8_t> rb = keep(dc, "read_buffer", send(dc.fd, capture_command(READ_BUFFER)), 4);
    if (rb.size() == 4)
        rec["read_buffer"] = {{"offset_boundary", rb[0]}, {"capacity", get_be24(&rb[1])}};
}

void note_ata_sense(HostFacts &host, json &rec, const Reply &r) {
    AtaSense a = ata_sense(r.sense);
    if (!a.valid || a.key != k_key_aborted_command)
        return;
    host.ata_error_sense = a.layout;
    if (a.status & 0x01) // ERR: the status of a command the drive aborts
        rec["abort_status"] = hex_number(a.status);
}

void capture_sata(DriveCapture &dc, HostFacts &host) {
    json &rec = dc.record;
    std::vector<uint8_t> id = keep(dc, "identify", send(dc.fd, capture_command(IDENTIFY)), 512);
    if (id.size() == 512) {
        rec["model"] = ascii(get_ata_string(&id[54], 40));
        rec["serial"] = ascii(get_ata_string(&id[20], 20));
        rec["revision"] = ascii(get_ata_string(&id[46], 8));
        uint16_t w87 = static_cast<uint16_t>(id[174] | id[175] << 8);
        if ((w87 & 0xc100) == 0x4100) {
            char w[20];
            std::snprintf(w, sizeof w, "%02x%02x%02x%02x%02x%02x%02x%02x", id[217], id[216],
                          id[219], id[218], id[221], id[220], id[223], id[222]);
            rec["wwn"] = w;
        }
    } else if (dc.captured.answers.contains("identify")) { // refused: no ATA PASS-THROUGH
        rec["ata_passthrough"] = false;
    }
    Reply status = send(dc.fd, capture_command(IDENTIFY_STATUS));
    if (AtaSense a = ata_sense(status.sense); a.valid)
        rec["pio_in_status"] = hex_number(a.status);
    note_ata_sense(host, rec, status);
    for (CommandIndex i : {FWREQ_DOTTED, FWREQ_PLAIN}) {
        Reply r = send(dc.fd, capture_command(i));
        if (r.good() && r.data.size() == 512 && r.data != id)
            dc.captured.answers[k_capture_commands[i].name] = {false, r.data};
    }
    static const uint8_t k_logs[][2] = {{0x00, 0x00}, {0x30, 0x00}, {0x30, 0x03}};
    for (const auto &lp : k_logs) {
        char name[16];
        std::snprintf(name, sizeof name, "log_%02x_%02x", lp[0], lp[1]);
        Reply r = send(dc.fd, capture_command(READ_LOG, lp[1], 0, lp[0]));
        note_ata_sense(host, rec, r);
        std::vector<uint8_t> page = keep(dc, name, r, 512);
        if (lp[1] == 0x03 && page.size() == 512) {
            uint64_t caps = 0;
            for (int b = 7; b >= 0; b--)
                caps = caps << 8 | page[16 + b];
            rec["dm_capabilities"] = hex_number(caps);
        }
    }
    if (!rec.contains("dm_capabilities"))
        rec["dm_capabilities"] = false;
}

// One node: SG_GET_VERSION_NUM, the standard INQUIRY, the VPD pages, then the SATA or the
// SCSI identification. Returns false (with the reason in why) when the node cannot be
// opened or answers no INQUIRY.
bool capture_node(const std::string &node, HostFacts &host, json &out, std::string &why) {
    json record;
    Captured captured;
    DriveCapture dc{open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC), record, captured};
    if (dc.fd < 0) {
        why = std::string("cannot be opened: ") + std::strerror(errno);
        return false;
    }
    int version = 0;
    bool sg = ioctl(dc.fd, SG_GET_VERSION_NUM, &version) == 0 && version >= 30000;
    Reply inq = sg ? send(dc.fd, capture_command(INQUIRY)) : Reply{};
    std::vector<uint8_t> std_data =
        keep(dc, "inquiry", inq, inq.data.size() >= 5 ? inq.data[4] + 5u : 0);
    if (std_data.size() < 36) {
        close(dc.fd);
        why = sg ? "answers no INQUIRY" : "is not an sg node";
        return false;
    }
    json &rec = dc.record;
    bool sata = std::memcmp(&std_data[8], "ATA", 3) == 0;
    rec["node"] = node;
    rec["type"] = sata ? "sata" : "scsi";
    if (!sata) {
        rec["vendor"] = ascii(std::string(std_data.begin() + 8, std_data.begin() + 16));
        rec["product"] = ascii(std::string(std_data.begin() + 16, std_data.begin() + 32));
        rec["revision"] = ascii(std::string(std_data.begin() + 32, std_data.begin() + 36));
    }
    bool padded = false;
    std::vector<uint8_t> list = capture_vpd(dc, 0x00, &padded);
    // A target that fills the allocation length (resid 0 behind a shorter answer, or standard
    // data that state the allocation length itself) answers like QEMU's disk; one that
    // reports resid like scsi_debug.
    if (!sata)
        rec["flavor"] = padded || inq.data.size() > std_data.size() || std_data.size() == 252
                            ? "scsi-hd"
                            : "scsi_debug";
    std::vector<uint8_t> pages[4];
    static const uint8_t k_pages[4] = {0x80, 0x83, 0x86, 0x89};
    for (size_t i = 4; i < list.size(); i++)
        for (int k = 0; k < 4; k++)
            if (list[i] == k_pages[k])
                pages[k] = capture_vpd(dc, k_pages[k]);
    if (sata) {
        capture_sata(dc, host);
        if (!rec.contains("model")) { // no IDENTIFY: what INQUIRY and page 80h say
            rec["model"] = ascii(std::string(std_data.begin() + 16, std_data.begin() + 32));
            rec["revision"] = ascii(std::string(std_data.begin() + 32, std_data.begin() + 36));
            if (pages[0].size() > 4)
                rec["serial"] =
                    ascii(std::string(pages[0].begin() + 4, pages[0].end())).substr(0, 20);
        }
    } else {
        capture_scsi(dc, pages[0], pages[1], pages[2]);
    }
    close(dc.fd);
    captured.revision = rec.value("revision", "");
    rec["captured"] = captured_to_json(captured);
    out = rec;
    return true;
}

int has_sg_prefix(const struct dirent *e) {
    return std::strncmp(e->d_name, "sg", 2) == 0;
}

// The sg nodes of /dev, in alphasort order (as the run lists them).
std::vector<std::string> dev_sg_nodes() {
    std::vector<std::string> nodes;
    struct dirent **list = nullptr;
    int n = scandir("/dev", &list, has_sg_prefix, alphasort);
    for (int i = 0; i < n; i++) {
        nodes.push_back(std::string("/dev/") + list[i]->d_name);
        std::free(list[i]);
    }
    std::free(list);
    return nodes;
}

// Writes text to path whole or not at all: a temporary file beside it, then a rename.
bool write_whole(const std::string &path, const std::string &text) {
    if (path == "-")
        return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
               std::fflush(stdout) == 0;
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            std::remove(tmp.c_str());
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

} // namespace

int capture_main(int argc, char **argv) {
    std::string out = "-";
    std::vector<std::string> nodes;
    for (int i = 0; i < argc; i++) {
        std::string a = argv[i];
        if (a == "-o" && i + 1 < argc) {
            out = argv[++i];
        } else if (!a.empty() && a[0] == '/') {
            nodes.push_back(a);
        } else {
            std::fprintf(stderr, "usage: sgsim capture [NODE...] [-o OUT]\n");
            return 1;
        }
    }
    if (nodes.empty())
        nodes = dev_sg_nodes();
    HostFacts host;
    json bay = {{"comment", "captured by sgsim capture"}, {"drives", json::array()}};
    int status = 0;
    for (const std::string &node : nodes) {
        json drive;
        std::string why;
        if (!capture_node(node, host, drive, why)) {
            std::fprintf(stderr, "sgsim capture: %s %s\n", visible(node).c_str(), why.c_str());
            status = 2;
            continue;
        }
        bool sata = drive["type"] == "sata";
        std::fprintf(stderr, "sgsim capture: %s %s %s %s, %zu answers\n", visible(node).c_str(),
                     sata ? "sata" : "scsi",
                     visible(drive.value(sata ? "model" : "product", "")).c_str(),
                     visible(drive.value("revision", "")).c_str(), drive["captured"].size() - 1);
        bay["drives"].push_back(drive);
    }
    if (!host.ata_error_sense.empty())
        bay["ata_error_sense"] = host.ata_error_sense;
    if (!write_whole(out, bay.dump(2) + "\n")) {
        std::fprintf(stderr, "sgsim capture: %s cannot be written\n", visible(out).c_str());
        return 1;
    }
    return status;
}
