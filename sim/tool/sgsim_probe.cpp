// `sgsim probe`: one raw command through SG_IO, with every header field printed, so that
// tests and administrators see exactly what a client of the sg driver sees.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <scsi/sg.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

#include "sgsim_tool.h"
#include "sim_bytes.h"

namespace {

struct ProbeOptions {
    std::string node;
    std::vector<uint8_t> cdb;
    int direction = SG_DXFER_NONE;
    uint32_t length = 0;
    std::string input;
    unsigned timeout_ms = 5000;
    uint8_t fill = 0xee;
    int count = 1;
    bool dup_first = false;
};

bool parse_number(const char *text, unsigned long max, unsigned long &out) {
    char *end = nullptr;
    errno = 0;
    out = std::strtoul(text, &end, 0);
    return *text != '\0' && *end == '\0' && errno == 0 && out <= max;
}

bool parse_probe(int argc, char **argv, ProbeOptions &o) {
    std::string cdb_text;
    for (int i = 0; i < argc; i++) {
        std::string a = argv[i];
        unsigned long n;
        bool has_value = i + 1 < argc;
        if ((a == "-r" || a == "-s") && has_value && parse_number(argv[i + 1], 0xffffffff, n)) {
            o.direction = a == "-r" ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
            o.length = static_cast<uint32_t>(n);
            i++;
        } else if (a == "-i" && has_value) {
            o.input = argv[++i];
        } else if (a == "-t" && has_value && parse_number(argv[i + 1], 0xffffffff, n)) {
            o.timeout_ms = static_cast<unsigned>(n);
            i++;
        } else if (a == "-f" && has_value && parse_number(argv[i + 1], 255, n)) {
            o.fill = static_cast<uint8_t>(n);
            i++;
        } else if (a == "-n" && has_value && parse_number(argv[i + 1], 100000, n) && n > 0) {
            o.count = static_cast<int>(n);
            i++;
        } else if (a == "-D") {
            o.dup_first = true;
        } else if (o.node.empty() && a[0] == '/') {
            o.node = a;
        } else {
            cdb_text += a + " ";
        }
    }
    return !o.node.empty() && parse_hex(cdb_text, o.cdb) && o.cdb.size() >= 6 && o.cdb.size() <= 16;
}

void print_answer(const sg_io_hdr_t &h, const std::vector<uint8_t> &sense,
                  const std::vector<uint8_t> &data, bool show_data) {
    std::printf("status=0x%02x masked_status=0x%02x host_status=0x%02x driver_status=0x%02x "
                "info=0x%x resid=%d duration=%u sb_len_wr=%d\n",
                h.status, h.masked_status, h.host_status, h.driver_status, h.info, h.resid,
                h.duration, h.sb_len_wr);
    // A hostile drive may claim more sense bytes than the area holds.
    size_t shown = std::min<size_t>(h.sb_len_wr, sense.size());
    std::printf("sense: %s\n", to_hex_spaced({sense.data(), shown}).c_str());
    if (show_data)
        std::printf("data: %s\n", to_hex_spaced(data).c_str());
}

} // namespace

int probe_main(int argc, char **argv) {
    ProbeOptions o;
    if (!parse_probe(argc, argv, o)) {
        std::fprintf(stderr, "usage: sgsim probe NODE [-r LEN | -s LEN [-i FILE]] [-t MS] "
                             "[-f BYTE] [-n COUNT] [-D] CDB-BYTE...\n");
        return 1;
    }
    std::vector<uint8_t> data(o.length, o.fill);
    if (o.direction == SG_DXFER_TO_DEV) {
        std::fill(data.begin(), data.end(), 0);
        if (!o.input.empty()) {
            std::ifstream in(o.input, std::ios::binary);
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
            if (!in.eof() && !in.good()) {
                std::fprintf(stderr, "sgsim probe: cannot read %s\n", o.input.c_str());
                return 1;
            }
            std::copy_n(bytes.begin(), std::min(bytes.size(), data.size()), data.begin());
        }
    }
    int fd = open(o.node.c_str(), O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        int e = errno;
        std::printf("open: errno %d (%s)\n", e, std::strerror(e));
        return 2;
    }
    if (o.dup_first) {
        // The command goes through a duplicate; the original descriptor is closed first.
        int copy = dup(fd);
        close(fd);
        fd = copy;
    }
    int version = 0;
    if (ioctl(fd, SG_GET_VERSION_NUM, &version) < 0) {
        int e = errno;
        std::printf("SG_GET_VERSION_NUM: errno %d (%s)\n", e, std::strerror(e));
        close(fd);
        return 3;
    }
    std::printf("version: %d\n", version);
    int result = 0;
    for (int i = 0; i < o.count; i++) {
        sg_io_hdr_t h;
        std::memset(&h, 0, sizeof h);
        std::vector<uint8_t> sense(32, 0);
        if (o.direction == SG_DXFER_FROM_DEV)
            std::fill(data.begin(), data.end(), o.fill);
        h.interface_id = 'S';
        h.dxfer_direction = o.direction;
        h.cmd_len = static_cast<unsigned char>(o.cdb.size());
        h.mx_sb_len = static_cast<unsigned char>(sense.size());
        h.dxfer_len = o.length;
        h.dxferp = data.data();
        h.cmdp = o.cdb.data();
        h.sbp = sense.data();
        h.timeout = o.timeout_ms;
        h.resid = -1; // shows whether the driver wrote it
        if (ioctl(fd, SG_IO, &h) < 0) {
            int e = errno;
            std::printf("SG_IO: errno %d (%s)\n", e, std::strerror(e));
            result = 3;
            continue;
        }
        print_answer(h, sense, data, o.direction == SG_DXFER_FROM_DEV);
    }
    close(fd);
    return result;
}

static std::string scan_prefix;

static int has_scan_prefix(const struct dirent *e) {
    return std::strncmp(e->d_name, scan_prefix.c_str(), scan_prefix.size()) == 0;
}

int scan_main(int argc, char **argv) {
    if (argc < 1 || argc > 2) {
        std::fprintf(stderr, "usage: sgsim scan DIR [PREFIX]\n");
        return 1;
    }
    scan_prefix = argc == 2 ? argv[1] : "";
    struct dirent **list = nullptr;
    int n = scandir(argv[0], &list, has_scan_prefix, alphasort);
    if (n < 0) {
        std::perror("scandir");
        return 2;
    }
    for (int i = 0; i < n; i++) {
        std::printf("%s\n", list[i]->d_name);
        std::free(list[i]);
    }
    std::free(list);
    return 0;
}
