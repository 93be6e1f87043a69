#include "cli/banner.h"

#include <cstdio>
#include <ctime>

namespace {

struct VersionRecord {
    int major;
    int minor;
    int patch;
    const char *suffix;
    const char *build_date;
};

constexpr VersionRecord k_version = {0, 2, 3, "", "Jan  9 2013"};

// usage names the program by this fixed text, whatever name it was invoked by.
constexpr char k_program_name[] = "dl_cor_fw";

constexpr char k_rule[] =
    "================================================================================";
static_assert(sizeof k_rule == 81, "the rule is 80 equals signs");

} // namespace

std::string tool_version() {
    bool has_suffix = k_version.suffix[0] != '\0';
    char text[64];
    snprintf(text, sizeof text, "%d.%d.%s%s%s%d", k_version.major, k_version.minor,
             has_suffix ? "0-" : "", k_version.suffix, has_suffix ? "-" : "", k_version.patch);
    return text;
}

void print_banner() {
    // The clock is read before anything is printed.
    time_t now = time(nullptr);
    puts(k_rule);
    printf(" Corvane Firmware Download Utility v%s Build Date: %s\n", tool_version().c_str(),
           k_version.build_date);
    // The space after the copyright line's newline opens the clock line.
    fputs(" Copyright (c) 2013 Corvane Corporation. All rights reserved.\n ", stdout);
    const char *clock = ctime(&now);
    fputs(clock != nullptr ? clock : "\n", stdout);
    puts(k_rule);
}

void usage() {
    printf("%s:\n", "usage");
    printf("%s {-m <model_number> -f <fw_file> | -c <cfs_file>} [-d <sg_device>]\n",
           k_program_name);
    printf("%s -f <fw_file> -d <sg_device>\n\n", k_program_name);
    puts("Options:\n\t-i\tPRINT IDENT INFO\n\t-v\tPRINT VERSION AND EXIT (overrides all other "
         "arguments)");
    puts("Modes supported:\n\t-s\tSEGMENT SIZE (1 segment = 512 bytes)\n\t-p\tFORCE ATA "
         "PASSTHROUGH\n\t-w\tFORCE WRITE BUFFER CMD");
    printf("e.g:\n\t%s -s 64 -f test.lod -d /dev/sg0\n", k_program_name);
    puts("returns:\n\t0\t No error found");
    puts("\t1\t Fatal error in command line options");
    puts("\t2\t FW Download Failed");
    puts("\t3\t Invalid device");
}
