#include "harness.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

// The project's own programs, as the build names them.
bool is_project_tool(const std::string &arg) {
    static const char *const tools[] = {
        DL_COR_FW_PATH,
#ifdef CFS_TOOL_PATH
        CFS_TOOL_PATH,
#endif
    };
    for (const char *tool : tools) {
        if (arg == tool) {
            return true;
        }
    }
    return false;
}

// With DLCOR_E2E_WRAP set (for example to a valgrind command line), every start of one of
// the project's programs goes through that wrapper, whether it is started directly or behind
// "sgsim run BAY --". A wrapper that reports an error changes the exit status or the
// standard error, so the test's exact comparisons fail.
std::vector<std::string> wrapped_argv(const std::vector<std::string> &argv) {
    const char *wrap = getenv("DLCOR_E2E_WRAP");
    if (wrap == nullptr || *wrap == '\0') {
        return argv;
    }
    std::vector<std::string> prefix;
    std::istringstream words(wrap);
    for (std::string w; words >> w;) {
        prefix.push_back(w);
    }
    std::vector<std::string> out;
    for (size_t i = 0; i < argv.size(); ++i) {
        // Only where the program is the command itself: first, or behind a "--" that ends
        // another program's options. An argument to "sh -c" stays as it is.
        bool starts_here = i == 0 || argv[i - 1] == "--";
        if (starts_here && is_project_tool(argv[i])) {
            out.insert(out.end(), prefix.begin(), prefix.end());
        }
        out.push_back(argv[i]);
    }
    return out;
}

} // namespace

RunResult run_command(const RunSpec &spec) {
    RunSpec wrapped = spec;
    wrapped.argv = wrapped_argv(spec.argv);
    RunResult r = run_process(wrapped);
    if (r.status == -1 && !r.hung) {
        ADD_FAILURE() << r.err;
    }
    if (r.hung) {
        ADD_FAILURE() << "hang guard: " << spec.argv[0] << " was still running after "
                      << spec.timeout_seconds << " s (the limit) and was killed";
    }
    return r;
}

RunResult run_command(const std::vector<std::string> &argv) {
    RunSpec spec;
    spec.argv = argv;
    return run_command(spec);
}

std::string mask_time(const std::string &out) {
    static const std::regex clock_line(
        R"(\n [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}\n)");
    return std::regex_replace(out, clock_line, "\n <TIME>\n");
}

std::string make_temp_dir() {
    static std::vector<std::filesystem::path> made;
    static bool registered = false;
    if (!registered) {
        registered = true;
        std::atexit([] {
            for (const auto &p : made) {
                std::error_code ec;
                std::filesystem::remove_all(p, ec);
            }
        });
    }
    std::string tmpl = (std::filesystem::temp_directory_path() / "dlcor-e2e-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) {
        throw std::runtime_error(std::string("mkdtemp: ") + strerror(errno));
    }
    made.emplace_back(tmpl);
    return tmpl;
}

void write_file(const std::string &path, const std::string &bytes) {
    if (!write_whole_file(path, bytes)) {
        throw std::runtime_error("cannot write " + path);
    }
}
