// Fuzzes the option scan and the checks of the option combination with hostile command
// lines. Nothing here opens a device: the run stops where the device list would be built.
// Input: the arguments after the program name, separated by NUL bytes (at most 16 of them,
// each cut to 64 bytes). The scan's messages go to standard output and standard error;
// standard output is sent to /dev/null here, standard error by the fuzzer's -close_fd_mask=2.
#include "cli/options.h"
#include "sg/sg_io.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr size_t k_max_args = 16;
constexpr size_t k_max_arg_len = 64;

void require(bool condition) {
    if (!condition) {
        abort();
    }
}

std::vector<std::string> split_args(const uint8_t *data, size_t size) {
    std::vector<std::string> args;
    if (size == 0) {
        return args;
    }
    std::string current;
    for (size_t i = 0; i <= size && args.size() < k_max_args; ++i) {
        if (i == size || data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else if (current.size() < k_max_arg_len) {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    return args;
}

// A fresh, writable argument vector (getopt_long permutes it) with its terminating null.
struct ArgVector {
    std::vector<std::vector<char>> storage;
    std::vector<char *> argv;
    explicit ArgVector(const std::vector<std::string> &args) {
        storage.emplace_back(std::begin("dl_cor_fw"), std::end("dl_cor_fw"));
        for (const std::string &a : args) {
            storage.emplace_back(a.begin(), a.end());
            storage.back().push_back('\0');
        }
        for (std::vector<char> &s : storage) {
            argv.push_back(s.data());
        }
        argv.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(argv.size()) - 1; }
};

// The missing-argument guard, from its rule: after "--" (with more behind it) only a long
// option name counts; otherwise a dash followed by any character of the short-option string.
bool looks_like_option_by_rule(std::string_view v) {
    if (v.size() > 2 && v.substr(0, 2) == "--") {
        std::string_view name = v.substr(2);
        return name == "enum" || name == "enump" || name == "debug" || name == "tmc" ||
               name == "verify" || name == "record" || name == "stage" || name == "activate" ||
               name == "preflight" || name == "settle" || name == "only-idle";
    }
    return v.size() >= 2 && v[0] == '-' &&
           std::string_view("c:d:f:m:s:vwpi").find(v[1]) != std::string_view::npos;
}

// What the scan must leave, derived from getopt_long's own reading of the same arguments.
struct Expected {
    bool exit_now = false;
    int status = 0;
    int operands = 0;
    std::optional<std::string> cfs, fw, model, record;
    std::vector<std::string> devices;
    bool cfs_repeated = false, fw_repeated = false, model_repeated = false, record_repeated = false;
    bool verify = false, stage = false, activate = false, preflight = false, only_idle = false;
    uint8_t list_mode = 0;
    int segments_seen = 0;
    int last_segment_value = 0;
    int tmc_seen = 0;
    int32_t tmc = 0;
    uint32_t settle = 60;
    bool w = false, p = false;
};

void keep(std::optional<std::string> *slot, bool *repeated, const char *value) {
    if (slot->has_value()) {
        *repeated = true;
    }
    *slot = value;
}

Expected expected_scan(const std::vector<std::string> &args) {
    Expected e;
    ArgVector av(args);
    if (av.argc() <= 1) {
        e.exit_now = true;
        e.status = 1;
        return e;
    }
    static const struct option longs[] = {
        {"enum", no_argument, nullptr, 1000},      {"enump", no_argument, nullptr, 1001},
        {"debug", no_argument, nullptr, 1002},     {"tmc", required_argument, nullptr, 1003},
        {"verify", no_argument, nullptr, 1004},    {"record", required_argument, nullptr, 1005},
        {"stage", no_argument, nullptr, 1006},     {"activate", no_argument, nullptr, 1007},
        {"preflight", no_argument, nullptr, 1008}, {"settle", required_argument, nullptr, 1009},
        {"only-idle", no_argument, nullptr, 1010}, {nullptr, 0, nullptr, 0},
    };
    optind = 0;
    int c;
    while ((c = getopt_long(av.argc(), av.argv.data(), "c:d:f:m:s:vwpi", longs, nullptr)) != -1) {
        bool valued =
            c == 1003 || c == 1005 || c == 1009 || (c != '?' && std::strchr("cdfms", c) != nullptr);
        if (c == '?' || (valued && looks_like_option_by_rule(optarg))) {
            e.exit_now = true;
            e.status = 1;
            return e;
        }
        switch (c) {
        case 'c':
            keep(&e.cfs, &e.cfs_repeated, optarg);
            break;
        case 'f':
            keep(&e.fw, &e.fw_repeated, optarg);
            break;
        case 'm':
            keep(&e.model, &e.model_repeated, optarg);
            break;
        case 'd':
            e.devices.emplace_back(optarg);
            break;
        case 's':
            ++e.segments_seen;
            e.last_segment_value = atoi(optarg);
            break;
        case 1003:
            ++e.tmc_seen;
            e.tmc = atoi(optarg);
            break;
        case 'v':
            e.exit_now = true;
            e.status = 0;
            return e;
        case 'w':
            e.w = true;
            break;
        case 'p':
            e.p = true;
            break;
        case 'i':
        case 1000:
            e.list_mode |= 1;
            break;
        case 1001:
            e.list_mode |= 2;
            break;
        case 1004:
            e.verify = true;
            break;
        case 1005:
            keep(&e.record, &e.record_repeated, optarg);
            break;
        case 1006:
            e.stage = true;
            break;
        case 1007:
            e.activate = true;
            break;
        case 1008:
            e.preflight = true;
            break;
        case 1009: // whole seconds, 0 to 3600, at most four digits; else the scan ends
            if (*optarg == '\0' || std::strlen(optarg) > 4 ||
                std::strspn(optarg, "0123456789") != std::strlen(optarg) || atoi(optarg) > 3600) {
                e.exit_now = true;
                e.status = 1;
                return e;
            }
            e.settle = static_cast<uint32_t>(atoi(optarg));
            break;
        case 1010:
            e.only_idle = true;
            break;
        default:
            break;
        }
    }
    e.operands = av.argc() - optind;
    return e;
}

std::string upper(std::string s) {
    for (char &ch : s) {
        if (ch >= 'a' && ch <= 'z') {
            ch = static_cast<char>(ch - 32);
        }
    }
    return s;
}

bool same_text(const OwnedText &held, const std::optional<std::string> &want) {
    if (!want) {
        return !held;
    }
    return held && *want == held.get();
}

struct Scanned {
    ScanResult result;
    RunOptions opts;
};

Scanned scan(const std::vector<std::string> &args) {
    ArgVector av(args);
    Scanned s;
    debug_level = 0;
    s.result = scan_options(av.argc(), av.argv.data(), &s.opts);
    return s;
}

void check_against(const Scanned &s, const Expected &e) {
    require(s.result.exit_now == e.exit_now);
    if (e.exit_now) {
        require(s.result.status == e.status);
        return;
    }
    const RunOptions &o = s.opts;
    require(s.result.operand_count == e.operands);
    require(same_text(o.cfs_path, e.cfs) && same_text(o.fw_path, e.fw));
    std::optional<std::string> model;
    if (e.model) {
        model = upper(*e.model);
    }
    require(same_text(o.model_filter, model));
    if (o.model_filter) {
        for (const char *ch = o.model_filter.get(); *ch != '\0'; ++ch) {
            require(!(*ch >= 'a' && *ch <= 'z'));
        }
    }
    require(o.device_paths.size() == e.devices.size());
    for (size_t i = 0; i < e.devices.size(); ++i) {
        require(o.device_paths[i] && e.devices[i] == o.device_paths[i].get());
    }
    require(o.cfs_repeated == e.cfs_repeated && o.fw_repeated == e.fw_repeated &&
            o.model_repeated == e.model_repeated);
    require(o.list_mode == e.list_mode);
    require(o.segment_count_seen == e.segments_seen);
    require(o.segment_count == static_cast<uint8_t>(e.last_segment_value & 0xFF));
    require(o.tmc_seen == e.tmc_seen && o.tmc_code == e.tmc);
    require(o.force_write_buffer == e.w && o.force_ata_passthrough == e.p);
    require(same_text(o.record_path, e.record) && o.record_repeated == e.record_repeated &&
            o.verify == e.verify);
    require(o.stage == e.stage && o.activate == e.activate && o.preflight == e.preflight);
    require(o.settle_seconds == e.settle && o.only_idle == e.only_idle);
}

bool same_scan(const Scanned &a, const Scanned &b) {
    if (a.result.exit_now != b.result.exit_now || a.result.status != b.result.status ||
        a.result.operand_count != b.result.operand_count) {
        return false;
    }
    const RunOptions &x = a.opts;
    const RunOptions &y = b.opts;
    auto text = [](const OwnedText &t) {
        return t ? std::optional<std::string>(t.get()) : std::nullopt;
    };
    if (text(x.cfs_path) != text(y.cfs_path) || text(x.fw_path) != text(y.fw_path) ||
        text(x.model_filter) != text(y.model_filter) ||
        text(x.record_path) != text(y.record_path) ||
        x.device_paths.size() != y.device_paths.size()) {
        return false;
    }
    for (size_t i = 0; i < x.device_paths.size(); ++i) {
        if (text(x.device_paths[i]) != text(y.device_paths[i])) {
            return false;
        }
    }
    return x.list_mode == y.list_mode && x.segment_count == y.segment_count &&
           x.segment_count_seen == y.segment_count_seen && x.tmc_code == y.tmc_code &&
           x.tmc_seen == y.tmc_seen && x.force_write_buffer == y.force_write_buffer &&
           x.force_ata_passthrough == y.force_ata_passthrough && x.cfs_repeated == y.cfs_repeated &&
           x.fw_repeated == y.fw_repeated && x.model_repeated == y.model_repeated &&
           x.record_repeated == y.record_repeated && x.verify == y.verify && x.stage == y.stage &&
           x.activate == y.activate && x.preflight == y.preflight &&
           x.settle_seconds == y.settle_seconds && x.settle_seen == y.settle_seen &&
           x.only_idle == y.only_idle;
}

// The combination checks on a completed scan; the run would build the device list next.
void check_combination(Scanned *s) {
    RunOptions &o = s->opts;
    bool had_cfs = static_cast<bool>(o.cfs_path);
    int rc = check_options(&o, s->result.operand_count);
    require(rc == -1 || rc == 1);
    if (rc != -1) {
        return;
    }
    // A run that goes on with a CFS file has dropped the firmware file.
    if (had_cfs) {
        require(!o.fw_path && !o.fw_repeated);
    }
    require(s->result.operand_count == 0);
    require(o.list_mode != 0 || o.fw_path || o.cfs_path || o.activate);
    // An activation names its drives and sends no image; staging and a dry run need one.
    require(!o.activate || (!o.fw_path && !o.cfs_path && !o.stage && !o.preflight &&
                            (!o.device_paths.empty() || o.model_filter)));
    require(!(o.stage || o.preflight) || o.fw_path || o.cfs_path);
    require(!(o.model_filter && o.cfs_path));
    require(!(o.force_write_buffer && o.force_ata_passthrough));
    require(!o.fw_path || o.model_filter || !o.device_paths.empty());
    // An empty list is filled from /dev next: only with something to list or to match.
    if (o.device_paths.empty()) {
        require(o.list_mode != 0 || o.cfs_path || o.model_filter);
    }
    print_multiple_value_warnings(o);
    ForcedMethod m = forced_method(o);
    require(m == METHOD_AUTO || m == METHOD_WRITE_BUFFER || m == METHOD_ATA_PASSTHROUGH);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (freopen("/dev/null", "w", stdout) == nullptr) {
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> args = split_args(data, size);

    for (const std::string &a : args) {
        require(value_looks_like_option(a.c_str()) == looks_like_option_by_rule(a.c_str()));
    }

    Expected e = expected_scan(args);
    Scanned first = scan(args);
    require(!first.result.exit_now || first.result.status == 0 || first.result.status == 1);
    check_against(first, e);

    // getopt_long keeps state between calls; a second scan must start afresh.
    Scanned second = scan(args);
    require(same_scan(first, second));

    if (!first.result.exit_now) {
        check_combination(&first);
    }
    return 0;
}
