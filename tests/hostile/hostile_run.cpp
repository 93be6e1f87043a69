// hostile_run: runs dl_cor_fw under sgsim against a drive whose every answer a script
// chooses, and checks each run's invariants (hostile_oracle.h).
//
//   hostile_run [--dl-cor-fw P] [--sgsim P] [--cfs-tool P] [--work DIR] [--save DIR]
//               [--seed N] [--runs N] [--seconds S] [SCRIPT-OR-DIR...]
//
// Every SCRIPT (a file, or each file of a DIR) is replayed first; then --runs random scripts
// from --seed, else from DLCOR_HOSTILE_SEED, else from the clock (stopping after --seconds
// when given). The seed is printed before the first random script. A run that breaks an
// invariant is reported with its reasons, the seed and the script's number, and its script
// is kept in --save as hostile-<hash>.bin.
// Exit status: 0 every run clean, 1 a violation, 2 usage or setup error.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "hostile_oracle.h"
#include "hostile_script.h"
#include "process.h"

namespace {

struct Config {
    std::string dl_cor_fw = HOSTILE_DL_COR_FW_PATH;
    std::string sgsim = HOSTILE_SGSIM_PATH;
    std::string cfs_tool = HOSTILE_CFS_TOOL_PATH;
    std::string work = "hostile-work";
    std::string save;
    uint64_t seed = 0;
    bool seed_given = false;
    long runs = 0;
    double seconds = 0;
    std::vector<std::string> replay;
};

// Runs argv in dir; stops it after limit_s seconds.
RunOutcome run_process(const std::vector<std::string> &argv, const std::string &dir,
                       double limit_s) {
    RunSpec spec;
    spec.argv = argv;
    spec.cwd = dir;
    spec.timeout_seconds = limit_s;
    RunResult r = run_process(spec);
    RunOutcome o;
    o.hung = r.hung || r.status < 0;
    o.exited = !o.hung && !r.signalled;
    o.status = r.signalled ? r.status - 128 : r.status;
    o.out = r.out;
    o.err = r.err;
    return o;
}

// The images (one per size, bytes from a fixed pattern) and a CFS file for each that maps
// every model and revision to it. Returns false after saying why.
bool prepare_images(const Config &cfg, std::vector<std::vector<uint8_t>> &images) {
    for (size_t k = 0; k < std::size(k_image_sizes); ++k) {
        std::vector<uint8_t> img(k_image_sizes[k]);
        uint32_t x = 0x9e3779b9u * static_cast<uint32_t>(k + 1);
        for (uint8_t &b : img) {
            x = x * 1664525u + 1013904223u;
            b = static_cast<uint8_t>(x >> 24);
        }
        std::string base = cfg.work + "/image" + std::to_string(k);
        if (!write_whole_file(base + ".bin", std::string(img.begin(), img.end())) ||
            !write_whole_file(base + ".txt", "*;*;" + base + ".bin;HOSTILE1\n")) {
            std::fprintf(stderr, "hostile_run: cannot write %s\n", base.c_str());
            return false;
        }
        RunOutcome o =
            run_process({cfg.cfs_tool, "pack", base + ".txt", base + ".cfs"}, cfg.work, 30);
        if (!o.exited || o.status != 0) {
            std::fprintf(stderr, "hostile_run: cfs_tool pack failed: %s\n", o.err.c_str());
            return false;
        }
        images.push_back(std::move(img));
    }
    return true;
}

std::string hash_name(const std::vector<uint8_t> &script) {
    uint64_t h = 1469598103934665603ull; // FNV-1a
    for (uint8_t b : script)
        h = (h ^ b) * 1099511628211ull;
    char buf[32];
    std::snprintf(buf, sizeof buf, "hostile-%016llx.bin", static_cast<unsigned long long>(h));
    return buf;
}

// What the runs came to, for the closing line.
struct Tally {
    long successes = 0;  // "Download SUCCESSFUL"
    long failures = 0;   // a failed download
    long commands = 0;   // SG_IO commands answered
    long status[4] = {}; // exit statuses 0-3
};

// One run of one script. Returns the violations.
std::vector<std::string> run_script(const Config &cfg, Tally &tally,
                                    const std::vector<std::vector<uint8_t>> &images,
                                    const std::vector<uint8_t> &script) {
    HostileSetup s = read_setup(script);
    std::string dir = cfg.work;
    std::string image = dir + "/image" + std::to_string(s.image);
    if (!write_whole_file(dir + "/bay.json", bay_text(s, "trace.jsonl"))) {
        return {"cannot write the bay file"};
    }
    unlink((dir + "/trace.jsonl").c_str());
    std::vector<std::string> argv = {cfg.sgsim, "run", dir + "/bay.json", "--", cfg.dl_cor_fw};
    for (const std::string &a : run_arguments(s, image + ".bin", image + ".cfs"))
        argv.push_back(a);
    RunOutcome o = run_process(argv, dir, 20);
    std::vector<TracedCommand> trace;
    std::istringstream lines(read_file(dir + "/trace.jsonl"));
    std::vector<std::string> bad;
    for (std::string line; std::getline(lines, line);) {
        if (is_traced_syslog(line)) {
            continue;
        }
        TracedCommand c;
        if (!parse_traced_command(line, c)) {
            bad.push_back("unreadable trace line: " + line);
            continue;
        }
        trace.push_back(std::move(c));
    }
    tally.commands += static_cast<long>(trace.size());
    if (o.out.find("Download SUCCESSFUL") != std::string::npos)
        ++tally.successes;
    if (o.out.find("Download FAILED") != std::string::npos)
        ++tally.failures;
    if (o.exited && o.status >= 0 && o.status <= 3)
        ++tally.status[o.status];
    RunIntent intent;
    intent.downloads = run_downloads(s, &intent.cfs);
    std::vector<std::string> v = check_run(intent, o, trace, images[s.image]);
    v.insert(v.end(), bad.begin(), bad.end());
    if (!v.empty()) {
        std::string cmd;
        for (size_t i = 4; i < argv.size(); ++i)
            cmd += " " + argv[i];
        v.push_back("command:" + cmd + " (exit " + std::to_string(o.status) + ")");
        v.push_back("stdout: " + o.out.substr(0, 2000));
        v.push_back("stderr: " + o.err.substr(0, 4000));
    }
    return v;
}

bool parse_args(int argc, char **argv, Config &cfg) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string &out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--dl-cor-fw") {
            if (!value(cfg.dl_cor_fw))
                return false;
        } else if (a == "--sgsim") {
            if (!value(cfg.sgsim))
                return false;
        } else if (a == "--cfs-tool") {
            if (!value(cfg.cfs_tool))
                return false;
        } else if (a == "--work") {
            if (!value(cfg.work))
                return false;
        } else if (a == "--save") {
            if (!value(cfg.save))
                return false;
        } else if (a == "--seed" || a == "--runs" || a == "--seconds") {
            if (!value(v))
                return false;
            char *end = nullptr;
            if (a == "--seconds")
                cfg.seconds = std::strtod(v.c_str(), &end);
            else if (a == "--runs")
                cfg.runs = std::strtol(v.c_str(), &end, 10);
            else
                cfg.seed = std::strtoull(v.c_str(), &end, 0);
            cfg.seed_given |= a == "--seed";
            if (v.empty() || *end != '\0')
                return false;
        } else if (!a.empty() && a[0] == '-') {
            return false;
        } else {
            cfg.replay.push_back(a);
        }
    }
    return true;
}

// The scripts to replay: files, and the files of directories, in name order.
std::vector<std::string> replay_files(const std::vector<std::string> &paths) {
    std::vector<std::string> files;
    for (const std::string &p : paths) {
        struct stat st;
        if (stat(p.c_str(), &st) != 0)
            continue;
        if (!S_ISDIR(st.st_mode)) {
            files.push_back(p);
            continue;
        }
        struct dirent **list = nullptr;
        int n = scandir(p.c_str(), &list, nullptr, alphasort);
        for (int i = 0; i < n; ++i) {
            if (list[i]->d_name[0] != '.')
                files.push_back(p + "/" + list[i]->d_name);
            std::free(list[i]);
        }
        std::free(list);
    }
    return files;
}

} // namespace

int main(int argc, char **argv) {
    Config cfg;
    if (!parse_args(argc, argv, cfg)) {
        std::fputs("usage: hostile_run [--dl-cor-fw P] [--sgsim P] [--cfs-tool P] [--work DIR] "
                   "[--save DIR] [--seed N] [--runs N] [--seconds S] [SCRIPT-OR-DIR...]\n",
                   stderr);
        return 2;
    }
    mkdir(cfg.work.c_str(), 0755);
    char real[PATH_MAX];
    if (realpath(cfg.work.c_str(), real) == nullptr) {
        std::fprintf(stderr, "hostile_run: %s: cannot be made\n", cfg.work.c_str());
        return 2;
    }
    cfg.work = real;
    if (!cfg.save.empty())
        mkdir(cfg.save.c_str(), 0755);
    // Sanitizer reports must show in the run's standard error whatever the exit status.
    setenv("ASAN_OPTIONS", "detect_leaks=1:exitcode=86:verify_asan_link_order=0", 1);
    setenv("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1:exitcode=87", 1);
    std::vector<std::vector<uint8_t>> images;
    if (!prepare_images(cfg, images))
        return 2;
    // The seed is printed before the first run, so that a run that hangs or crashes the
    // program can still be repeated.
    const char *env_seed = std::getenv("DLCOR_HOSTILE_SEED");
    if (!cfg.seed_given && env_seed != nullptr && *env_seed != '\0') {
        char *end = nullptr;
        cfg.seed = std::strtoull(env_seed, &end, 0);
        if (*end != '\0') {
            std::fprintf(stderr, "hostile_run: DLCOR_HOSTILE_SEED=%s is not a number\n", env_seed);
            return 2;
        }
    } else if (!cfg.seed_given) {
        cfg.seed = static_cast<uint64_t>(std::time(nullptr)) ^ static_cast<uint64_t>(getpid());
    }
    std::printf("hostile_run: random scripts from seed %llu (--seed or DLCOR_HOSTILE_SEED "
                "repeats them)\n",
                static_cast<unsigned long long>(cfg.seed));
    std::fflush(stdout);

    long done = 0, failed = 0;
    Tally tally;
    auto report = [&](const std::vector<uint8_t> &script, const std::string &name,
                      const std::vector<std::string> &v) {
        ++done;
        if (v.empty())
            return;
        ++failed;
        std::string kept;
        if (!cfg.save.empty()) {
            kept = cfg.save + "/" + hash_name(script);
            write_whole_file(kept, std::string(script.begin(), script.end()));
            kept = ", kept as " + kept;
        }
        std::fprintf(stderr, "hostile_run: VIOLATION in %s%s\n", name.c_str(), kept.c_str());
        for (const std::string &line : v)
            std::fprintf(stderr, "  %s\n", line.c_str());
    };
    for (const std::string &file : replay_files(cfg.replay)) {
        std::string text = read_file(file);
        std::vector<uint8_t> script(text.begin(), text.end());
        report(script, file, run_script(cfg, tally, images, script));
    }
    std::mt19937_64 rng(cfg.seed);
    auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < cfg.runs; ++i) {
        if (cfg.seconds > 0 &&
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >
                cfg.seconds)
            break;
        std::vector<uint8_t> script = random_script(rng);
        report(script,
               "random script " + std::to_string(i) + " of seed " + std::to_string(cfg.seed),
               run_script(cfg, tally, images, script));
        if (done % 1000 == 0)
            std::fprintf(stderr, "hostile_run: %ld runs, %ld with violations\n", done, failed);
    }
    std::printf("hostile_run: %ld runs, %ld with violations, seed %llu\n", done, failed,
                static_cast<unsigned long long>(cfg.seed));
    std::printf("hostile_run: %ld commands answered; %ld downloads reported successful, %ld "
                "failed; exit status 0/1/2/3: %ld/%ld/%ld/%ld\n",
                tally.commands, tally.successes, tally.failures, tally.status[0], tally.status[1],
                tally.status[2], tally.status[3]);
    return failed == 0 ? 0 : 1;
}
