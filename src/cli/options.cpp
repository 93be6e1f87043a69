#include "cli/options.h"

#include "cli/banner.h"
#include "sg/sg_io.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <new>

namespace {

constexpr char k_short_options[] = "c:d:f:m:s:vwpi";

// Values getopt_long returns for the long options (no flag pointers). Options added beyond the
// usage text never begin with d, e or t, so that every abbreviation that works stays unique.
enum LongOption : int {
    LONG_ENUM = 0,
    LONG_ENUMP = 1,
    LONG_DEBUG = 2,
    LONG_TMC = 3,
    LONG_VERIFY = 4,
    LONG_RECORD = 5,
    LONG_STAGE = 6,
    LONG_ACTIVATE = 7,
    LONG_PREFLIGHT = 8,
    LONG_ONLY_IDLE = 9,
    LONG_SETTLE = 10,
};

const struct option k_long_options[] = {
    {"enum", no_argument, nullptr, LONG_ENUM},
    {"enump", no_argument, nullptr, LONG_ENUMP},
    {"debug", no_argument, nullptr, LONG_DEBUG},
    {"tmc", required_argument, nullptr, LONG_TMC},
    {"verify", no_argument, nullptr, LONG_VERIFY},
    {"record", required_argument, nullptr, LONG_RECORD},
    {"stage", no_argument, nullptr, LONG_STAGE},
    {"activate", no_argument, nullptr, LONG_ACTIVATE},
    {"preflight", no_argument, nullptr, LONG_PREFLIGHT},
    {"only-idle", no_argument, nullptr, LONG_ONLY_IDLE},
    {"settle", required_argument, nullptr, LONG_SETTLE},
    {nullptr, 0, nullptr, 0},
};

// What apply_option returns when the scan goes on; any other result is the exit status.
constexpr int k_scan_goes_on = -1;

bool is_long_option_name(const char *name) {
    for (const struct option *o = k_long_options; o->name != nullptr; ++o) {
        if (std::strcmp(o->name, name) == 0) {
            return true;
        }
    }
    return false;
}

// Replaces a held value with a copy of value, marking the repetition.
// Returns k_scan_goes_on, or 1 after reporting a failed allocation.
int store_value(OwnedText *slot, bool *repeated, const char *value) {
    if (*slot) {
        *repeated = true;
    }
    *slot = copy_text(value);
    if (!*slot) {
        perror("malloc");
        return k_exit_usage;
    }
    return k_scan_goes_on;
}

int append_device_path(std::vector<OwnedText> *paths, const char *value) {
    OwnedText copy = copy_text(value);
    if (!copy) {
        perror("malloc");
        return k_exit_usage;
    }
    try {
        paths->push_back(std::move(copy));
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        perror("realloc");
        return k_exit_usage;
    }
    return k_scan_goes_on;
}

// Stores the --settle value: whole seconds, 0 to k_settle_max_seconds, digits only.
// Returns k_scan_goes_on, or 1 after the reason and the usage text.
int store_settle(RunOptions *opts, const char *value) {
    ++opts->settle_seen;
    size_t len = std::strlen(value);
    bool digits = len > 0 && len <= 4 && std::strspn(value, "0123456789") == len;
    if (!digits || std::strtoul(value, nullptr, 10) > k_settle_max_seconds) {
        fprintf(stderr, "dl_cor_fw: --settle takes whole seconds from 0 to %u, not '%s'\n",
                static_cast<unsigned>(k_settle_max_seconds), value);
        usage();
        return k_exit_usage;
    }
    opts->settle_seconds = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
    return k_scan_goes_on;
}

void upper_case_ascii(char *text) {
    for (; *text != '\0'; ++text) {
        if (*text >= 'a' && *text <= 'z') {
            *text = static_cast<char>(*text - 'a' + 'A');
        }
    }
}

// Applies one option returned by getopt_long. Returns k_scan_goes_on or the exit status.
int apply_option(int c, const char *value, RunOptions *opts) {
    switch (c) {
    case 'c':
        return store_value(&opts->cfs_path, &opts->cfs_repeated, value);
    case 'd':
        return append_device_path(&opts->device_paths, value);
    case 'f':
        return store_value(&opts->fw_path, &opts->fw_repeated, value);
    case 'm': {
        int rc = store_value(&opts->model_filter, &opts->model_repeated, value);
        if (rc == k_scan_goes_on) {
            upper_case_ascii(opts->model_filter.get());
        }
        return rc;
    }
    case 's':
        ++opts->segment_count_seen;
        opts->segment_count = static_cast<uint8_t>(atoi(value) & 0xFF);
        return k_scan_goes_on;
    case 'v':
        print_banner();
        return k_exit_ok;
    case 'w':
        opts->force_write_buffer = true;
        return k_scan_goes_on;
    case 'p':
        opts->force_ata_passthrough = true;
        return k_scan_goes_on;
    case 'i':
    case LONG_ENUM:
        opts->list_mode |= k_list_ident;
        return k_scan_goes_on;
    case LONG_ENUMP:
        opts->list_mode |= k_list_extended;
        return k_scan_goes_on;
    case LONG_DEBUG:
        raise_debug_level();
        return k_scan_goes_on;
    case LONG_TMC:
        ++opts->tmc_seen;
        opts->tmc_code = atoi(value);
        return k_scan_goes_on;
    case LONG_VERIFY:
        opts->verify = true;
        return k_scan_goes_on;
    case LONG_RECORD:
        return store_value(&opts->record_path, &opts->record_repeated, value);
    case LONG_STAGE:
        opts->stage = true;
        return k_scan_goes_on;
    case LONG_ACTIVATE:
        opts->activate = true;
        return k_scan_goes_on;
    case LONG_PREFLIGHT:
        opts->preflight = true;
        return k_scan_goes_on;
    case LONG_ONLY_IDLE:
        opts->only_idle = true;
        return k_scan_goes_on;
    case LONG_SETTLE:
        return store_settle(opts, value);
    default:
        // getopt_long has written its own diagnostic.
        usage();
        return k_exit_usage;
    }
}

bool takes_value(int c) {
    return c == LONG_TMC || c == LONG_RECORD || c == LONG_SETTLE ||
           (c > 0 && std::strchr("cdfms", c) != nullptr);
}

void warn_multiple(const char *option, const char *value) {
    printf("WARNING: Multiple values given for %s. Using last value: %s\n", option, value);
}

// The combinations of --stage, --activate and --preflight that make no sense, after every
// other check. Returns -1 when the run goes on, else 1 after one line saying why.
int check_staged_options(const RunOptions &o) {
    const char *why = nullptr;
    bool image = o.fw_path || o.cfs_path;
    if (o.activate && o.stage) {
        why = "--stage and --activate cannot be used together: stage in one run, activate in "
              "a later one";
    } else if (o.activate && o.preflight) {
        why = "--preflight checks a download; it cannot be used with --activate";
    } else if (o.activate && image) {
        why = "--activate sends no image: leave out -f and -c";
    } else if (o.activate && o.device_paths.empty() && !o.model_filter) {
        why = "--activate needs the drives named with -d (or -m); it never scans every device";
    } else if (o.activate && o.segment_count_seen > 0) {
        why = "--activate sends no data: leave out -s";
    } else if ((o.stage || o.preflight) && !image) {
        why = o.stage ? "--stage needs an image: give -f or -c"
                      : "--preflight needs an image: give -f or -c";
    } else if (o.preflight && (o.verify || o.record_path)) {
        why = "--preflight sends nothing: leave out --verify and --record";
    } else if (o.stage && o.segment_count_seen > 0 && o.segment_count == 0) {
        why = "--stage sends the image in segments: give -s 1 to 255, or leave it out for the "
              "drive's own size";
    }
    if (why == nullptr) {
        return -1;
    }
    printf("\n%s\n", why);
    return k_exit_usage;
}

} // namespace

bool value_looks_like_option(const char *value) {
    size_t len = std::strlen(value);
    if (len > 2 && value[0] == '-' && value[1] == '-') {
        return is_long_option_name(value + 2);
    }
    return len >= 2 && value[0] == '-' && std::strchr(k_short_options, value[1]) != nullptr;
}

ScanResult scan_options(int argc, char **argv, RunOptions *opts) {
    if (argc <= 1) {
        usage();
        return {true, k_exit_usage, 0};
    }
    // 0 makes getopt_long start afresh, so that a second scan in one process sees every
    // argument again.
    optind = 0;
    for (;;) {
        int long_index = -1;
        int c = getopt_long(argc, argv, k_short_options, k_long_options, &long_index);
        if (c == -1) {
            break;
        }
        if (takes_value(c) && optarg != nullptr && value_looks_like_option(optarg)) {
            char letter[2] = {static_cast<char>(c), '\0'};
            bool is_long = c == LONG_TMC || c == LONG_RECORD || c == LONG_SETTLE;
            const char *name =
                (is_long && long_index >= 0) ? k_long_options[long_index].name : letter;
            fprintf(stderr, "%s: option requires an argument -- '%s'\n", argv[0], name);
            usage();
            return {true, k_exit_usage, 0};
        }
        int rc = apply_option(c, optarg, opts);
        if (rc != k_scan_goes_on) {
            return {true, rc, 0};
        }
    }
    return {false, k_exit_ok, argc - optind};
}

int check_options(RunOptions *opts, int operand_count) {
    print_banner();
    if (operand_count > 0) {
        usage();
        return k_exit_usage;
    }
    // An activation carries no image.
    if (opts->list_mode == 0 && !opts->fw_path && !opts->cfs_path && !opts->activate) {
        puts("\nMust specify a firmware file or configuration file.\n");
        usage();
        return k_exit_usage;
    }
    if (opts->model_filter && opts->cfs_path) {
        puts("\nConfiguration File and Model Number modes cannot be used together");
        usage();
        return k_exit_usage;
    }
    if (opts->force_write_buffer && opts->force_ata_passthrough) {
        puts("\nCannot force two modes (e.g: -p -w ) on a single device\n");
        usage();
        return k_exit_usage;
    }
    if (opts->fw_path && opts->cfs_path) {
        puts("\nConfiguration file provided, ignoring firmware file option");
        opts->fw_path.reset();
        opts->fw_repeated = false;
    }
    if (opts->fw_path && !opts->model_filter && opts->device_paths.empty()) {
        puts("\nA device path or model number must be specified to load a specific firmware "
             "file");
        return k_exit_usage;
    }
    return check_staged_options(*opts);
}

void print_multiple_value_warnings(const RunOptions &opts) {
    if (opts.cfs_repeated && opts.cfs_path) {
        warn_multiple("-c", opts.cfs_path.get());
    }
    if (opts.fw_repeated && opts.fw_path) {
        warn_multiple("-f", opts.fw_path.get());
    }
    if (opts.model_repeated && opts.model_filter) {
        warn_multiple("-m", opts.model_filter.get());
    }
    // Room for any 32-bit number with its sign and the terminator.
    char scratch[12];
    if (opts.segment_count_seen > 1) {
        snprintf(scratch, sizeof scratch, "%u", static_cast<unsigned>(opts.segment_count));
        warn_multiple("-s", scratch);
    }
    if (opts.tmc_seen > 1) {
        snprintf(scratch, sizeof scratch, "%d", static_cast<int>(opts.tmc_code));
        warn_multiple("--tmc", scratch);
    }
    if (opts.record_repeated && opts.record_path) {
        warn_multiple("--record", opts.record_path.get());
    }
    if (opts.settle_seen > 1) {
        snprintf(scratch, sizeof scratch, "%u", static_cast<unsigned>(opts.settle_seconds));
        warn_multiple("--settle", scratch);
    }
}

ForcedMethod forced_method(const RunOptions &opts) {
    if (opts.force_write_buffer) {
        return METHOD_WRITE_BUFFER;
    }
    if (opts.force_ata_passthrough) {
        return METHOD_ATA_PASSTHROUGH;
    }
    return METHOD_AUTO;
}
