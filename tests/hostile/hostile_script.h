// A hostile run as a byte script: which dl_cor_fw run, which drive underneath, and the
// drive's own script (sim/model/hostile.h). Fuzzer inputs and regression seeds have this
// layout:
//   byte 0   the run: bits 3-0 (% k_run_kinds) pick the command line (run_arguments);
//            bit 7 leaves out -d, so the device list comes from scanning /dev
//   byte 1   the drive: bit 0 SATA (else SCSI); bits 2-1 the ATA error sense layout
//            (linux-6.1, sat, descriptor); bits 4-3 the firmware requests (ignore, dotted,
//            plain); bits 7-5 the image (k_image_sizes)
//   byte 2   the -s value: 1 + byte % 8
//   byte 3-  the drive's script
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

inline constexpr int k_run_kinds = 10;
inline constexpr uint32_t k_image_sizes[8] = {4096, 1536, 512, 4608, 1000, 8704, 2048, 64};

struct HostileSetup {
    int run_kind = 0;
    bool scan_dev = false;
    bool sata = false;
    int error_sense = 0; // 0 linux-6.1, 1 sat, 2 descriptor
    int fwreq = 0;       // 0 ignore, 1 dotted, 2 plain
    int image = 0;       // index into k_image_sizes
    int segments = 1;
    std::vector<uint8_t> drive_script;
};

// Reads the layout above; missing header bytes read as zero.
HostileSetup read_setup(const std::vector<uint8_t> &script);

// True when the run sends firmware (-f or -c); cfs is set for -c.
bool run_downloads(const HostileSetup &s, bool *cfs);

// The arguments of dl_cor_fw for the run: image is the -f file, cfs the -c file.
std::vector<std::string> run_arguments(const HostileSetup &s, const std::string &image,
                                       const std::string &cfs);

// The bay file text: one drive at /dev/sg0 of the setup's kind whose firmware takes any
// image and moves to "HOSTILE1", with the drive script, tracing to trace_name.
std::string bay_text(const HostileSetup &s, const std::string &trace_name);

// A random script, biased towards answers near what drives and the kernel really give.
std::vector<uint8_t> random_script(std::mt19937_64 &rng);
