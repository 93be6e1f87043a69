// sgsim: runs a command against a simulated drive bay, shows a bay, makes a bay from a host's
// listing or captures one from its drives, power-cycles a drive, makes simulated firmware
// images, prints a trace, and sends raw commands (docs/sgsim.md).
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "bay_file.h"
#include "image.h"
#include "sgsim_tool.h"
#include "sim_bytes.h"
#include "trace.h"

namespace {

void usage() {
    std::fputs("usage: sgsim run BAY -- COMMAND [ARG...]\n"
               "       sgsim show BAY\n"
               "       sgsim bay LISTING [--cfs FILE] [-o OUT]\n"
               "       sgsim power-cycle BAY NODE\n"
               "       sgsim mkimage --model MODEL --revision REV [--size BYTES] OUT\n"
               "       sgsim trace FILE\n"
               "       sgsim probe NODE [-r LEN | -s LEN [-i FILE]] [-t MS] [-f BYTE] "
               "[-n COUNT] [-D] CDB-BYTE...\n"
               "       sgsim scan DIR [PREFIX]\n"
               "       sgsim capture [NODE...] [-o OUT]\n",
               stderr);
}

// The interposer: beside this program (the build tree), or in the private library directory
// of the installation this program belongs to. Empty when neither holds it, or when its path
// has a blank or a colon, which would split it in LD_PRELOAD.
std::string preload_path() {
    char self[PATH_MAX];
    char real[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "";
    self[n] = '\0';
    std::string dir(self);
    dir.erase(dir.rfind('/'));
    for (const std::string &candidate :
         {dir + "/libsgsim.so", dir + "/" SGSIM_INSTALL_BIN_TO_PRELOAD "/libsgsim.so"})
        if (realpath(candidate.c_str(), real) != nullptr && access(real, R_OK) == 0)
            return std::strpbrk(real, " :") == nullptr ? real : "";
    return "";
}

// Loads the bay file at path; says why on standard error when it cannot.
bool load_bay_or_say(const char *path, Bay &bay, nlohmann::json &doc) {
    std::string err;
    if (!load_bay(path, bay, doc, err)) {
        std::fprintf(stderr, "sgsim: %s\n", visible(err).c_str());
        return false;
    }
    return true;
}

int run_main(int argc, char **argv) {
    if (argc < 3 || std::strcmp(argv[1], "--") != 0) {
        usage();
        return 1;
    }
    char bay_abs[PATH_MAX];
    if (realpath(argv[0], bay_abs) == nullptr) {
        std::fprintf(stderr, "sgsim: %s: no such bay file\n", argv[0]);
        return 1;
    }
    Bay bay;
    nlohmann::json doc;
    if (!load_bay_or_say(bay_abs, bay, doc)) {
        return 1;
    }
    std::string preload = preload_path();
    // Without the interposer the command would run against the machine's real drives.
    if (preload.empty()) {
        std::fprintf(stderr, "sgsim: cannot find the interposer libsgsim.so beside sgsim or in "
                             "its installation's library directory\n");
        return 1;
    }
    const char *old = std::getenv("LD_PRELOAD");
    if (old != nullptr && *old != '\0')
        preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    // A program built with AddressSanitizer refuses to start when a preloaded library
    // comes before the sanitizer's runtime; the interposer has to come first.
    std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    if (asan.find("verify_asan_link_order") == std::string::npos) {
        asan += asan.empty() ? "verify_asan_link_order=0" : ":verify_asan_link_order=0";
        setenv("ASAN_OPTIONS", asan.c_str(), 1);
    }
    setenv("SGSIM_BAY", bay_abs, 1);
    execvp(argv[2], argv + 2);
    std::fprintf(stderr, "sgsim: %s: %s\n", argv[2], std::strerror(errno));
    return 127;
}

// One line of `sgsim show`; drive strings are printed with NUL and control bytes made
// visible, so that a string holding them neither cuts the line nor moves the cursor.
std::string show_line(const Drive &d) {
    bool sata = d.type == DriveType::sata;
    std::string line = visible(d.node) + " " + (sata ? "sata" : "scsi") +
                       " vendor: " + (sata ? "ATA" : visible(trim_blanks(d.vendor))) +
                       " MN: " + visible(trim_blanks(sata ? d.model : d.product)) +
                       " SN: " + visible(trim_blanks(d.serial)) + " FW: " + visible(d.revision);
    if (sata)
        line += std::string(" fwreq: ") + fwreq_name(d.fwreq);
    line += std::string(" firmware: ") + firmware_mode_name(d.fw_mode);
    if (d.fw_mode == FirmwareMode::accept_any)
        line += " -> " + visible(d.fw_target);
    if (d.staged)
        line += " staged: " + visible(d.staged_revision);
    if (!d.captured.answers.empty())
        line += " captured";
    line += " faults: " + std::to_string(d.faults.size());
    return line;
}

int show_main(int argc, char **argv) {
    if (argc != 1) {
        usage();
        return 1;
    }
    Bay bay;
    nlohmann::json doc;
    if (!load_bay_or_say(argv[0], bay, doc)) {
        return 1;
    }
    for (const Drive &d : bay.drives)
        std::printf("%s\n", show_line(d).c_str());
    return 0;
}

// Power-cycles one drive of the bay: what was staged becomes current, the drive resets as the
// bay asks (NOT READY, off the bus, another node), and it is written back. Prints the
// revision before and after, and the node it answers at when it moved.
int power_cycle_main(int argc, char **argv) {
    if (argc != 2) {
        usage();
        return 1;
    }
    Bay bay;
    nlohmann::json doc;
    if (!load_bay_or_say(argv[0], bay, doc)) {
        return 1;
    }
    for (Drive &d : bay.drives) {
        if (d.node != argv[1])
            continue;
        std::string before = d.revision;
        power_cycle(d);
        if (std::string err; !save_bay(argv[0], bay, doc, err)) {
            std::fprintf(stderr, "sgsim: %s\n", err.c_str());
            return 1;
        }
        std::string moved = d.node != argv[1] ? " (now " + visible(d.node) + ")" : "";
        std::printf("%s: power cycled, revision %s -> %s%s\n", visible(argv[1]).c_str(),
                    visible(before).c_str(), visible(d.revision).c_str(), moved.c_str());
        return 0;
    }
    std::fprintf(stderr, "sgsim power-cycle: %s is not in the bay\n", visible(argv[1]).c_str());
    return 1;
}

int mkimage_main(int argc, char **argv) {
    std::string model;
    std::string revision;
    std::string out;
    unsigned long size = 4096;
    for (int i = 0; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--model" && i + 1 < argc) {
            model = argv[++i];
        } else if (a == "--revision" && i + 1 < argc) {
            revision = argv[++i];
        } else if (a == "--size" && i + 1 < argc) {
            char *end = nullptr;
            size = std::strtoul(argv[++i], &end, 0);
            if (*end != '\0') {
                usage();
                return 1;
            }
        } else if (out.empty() && a[0] != '-') {
            out = a;
        } else {
            usage();
            return 1;
        }
    }
    if (model.empty() || revision.empty() || out.empty()) {
        usage();
        return 1;
    }
    std::vector<uint8_t> img = make_image(model, revision, size);
    if (img.empty()) {
        std::fprintf(stderr,
                     "sgsim mkimage: the size must be at least %zu bytes, the model at most "
                     "%zu and the revision at most %zu characters\n",
                     k_image_header_len, k_image_model_len, k_image_revision_len);
        return 1;
    }
    std::ofstream f(out, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(img.data()), static_cast<std::streamsize>(img.size()));
    f.close();
    if (!f) {
        std::fprintf(stderr, "sgsim mkimage: cannot write %s\n", out.c_str());
        return 1;
    }
    return 0;
}

int trace_main(int argc, char **argv) {
    if (argc != 1) {
        usage();
        return 1;
    }
    std::ifstream in(argv[0]);
    if (!in) {
        std::fprintf(stderr, "sgsim trace: cannot read %s\n", argv[0]);
        return 1;
    }
    std::string line;
    std::string text;
    int n = 0;
    int status = 0;
    while (std::getline(in, line)) {
        n++;
        if (describe_trace_line(line, text)) {
            std::printf("#%d %s\n", n, text.c_str());
        } else {
            std::printf("#%d (not a trace line)\n", n);
            status = 1;
        }
    }
    return status;
}

int dispatch(int argc, char **argv) {
    if (argc < 2) {
        usage();
        return 1;
    }
    std::string cmd = argv[1];
    if (cmd == "run")
        return run_main(argc - 2, argv + 2);
    if (cmd == "show")
        return show_main(argc - 2, argv + 2);
    if (cmd == "bay")
        return bay_main(argc - 2, argv + 2);
    if (cmd == "power-cycle")
        return power_cycle_main(argc - 2, argv + 2);
    if (cmd == "mkimage")
        return mkimage_main(argc - 2, argv + 2);
    if (cmd == "trace")
        return trace_main(argc - 2, argv + 2);
    if (cmd == "probe")
        return probe_main(argc - 2, argv + 2);
    if (cmd == "scan")
        return scan_main(argc - 2, argv + 2);
    if (cmd == "capture")
        return capture_main(argc - 2, argv + 2);
    usage();
    return 1;
}

} // namespace

// A failure the subcommands do not expect (memory ran out, say) ends the command with a
// message and status 1 rather than an abort.
int main(int argc, char **argv) {
    try {
        return dispatch(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "sgsim: %s\n", e.what());
        return 1;
    }
}
