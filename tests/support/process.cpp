#include "process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

struct Pipe {
    int rd = -1;
    int wr = -1;
    Pipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            throw std::runtime_error(std::string("pipe2: ") + strerror(errno));
        }
        rd = fds[0];
        wr = fds[1];
    }
    ~Pipe() {
        close_rd();
        close_wr();
    }
    void close_rd() {
        if (rd >= 0) {
            close(rd);
        }
        rd = -1;
    }
    void close_wr() {
        if (wr >= 0) {
            close(wr);
        }
        wr = -1;
    }
};

std::vector<std::string> merged_environment(const std::vector<std::string> &extra) {
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        std::string name = entry.substr(0, entry.find('='));
        bool overridden = false;
        for (const auto &x : extra) {
            if (x.substr(0, x.find('=')) == name) {
                overridden = true;
            }
        }
        if (!overridden) {
            env.push_back(entry);
        }
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char *> c_strings(std::vector<std::string> &v) {
    std::vector<char *> out;
    for (auto &s : v) {
        out.push_back(s.data());
    }
    out.push_back(nullptr);
    return out;
}

} // namespace

RunResult run_process(const RunSpec &spec) {
    Pipe in, out, err;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (spec.stdin_closed) {
        posix_spawn_file_actions_addclose(&actions, 0);
    } else {
        posix_spawn_file_actions_adddup2(&actions, in.rd, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, out.wr, 1);
    posix_spawn_file_actions_adddup2(&actions, err.wr, 2);
    // Nothing else the test runner holds open reaches the child, so that valgrind's
    // --track-fds (the memcheck tier) lists only the descriptors the program itself leaves.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (!spec.cwd.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, spec.cwd.c_str());
    }
    std::vector<std::string> argv = spec.argv;
    std::vector<std::string> env = merged_environment(spec.env);
    auto c_argv = c_strings(argv);
    auto c_env = c_strings(env);
    // The child leads a process group of its own, so that the hang guard stops whatever it
    // started as well (ansible-playbook's workers, a command under sgsim), whose copies of
    // the pipes would otherwise keep the reads below waiting.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attr, 0);
    // The stop signals reach the child with their default action, however the test runner
    // was started (a background job ignores SIGINT and SIGQUIT); a test that wants one
    // ignored says so in the command it runs.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    for (int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        sigaddset(&stop_signals, signo);
    }
    posix_spawnattr_setsigdefault(&attr, &stop_signals);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, c_argv[0], &actions, &attr, c_argv.data(), c_env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        return {"", std::string("cannot start ") + spec.argv[0] + ": " + strerror(rc), -1};
    }
    in.close_rd();
    out.close_wr();
    err.close_wr();

    RunResult result{"", "", -1};
    size_t written = 0;
    if (spec.input.empty()) {
        in.close_wr();
    } else {
        fcntl(in.wr, F_SETFL, O_NONBLOCK);
    }
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(spec.timeout_seconds);
    bool acted = false;
    while (out.rd >= 0 || err.rd >= 0) {
        struct pollfd fds[3];
        int n = 0;
        int out_i = -1, err_i = -1, in_i = -1;
        if (out.rd >= 0) {
            fds[n] = {out.rd, POLLIN, 0};
            out_i = n++;
        }
        if (err.rd >= 0) {
            fds[n] = {err.rd, POLLIN, 0};
            err_i = n++;
        }
        if (in.wr >= 0) {
            fds[n] = {in.wr, POLLOUT, 0};
            in_i = n++;
        }
        int ready = poll(fds, n, 100);
        if (std::chrono::steady_clock::now() > deadline && !result.hung) {
            kill(-pid, SIGKILL);
            result.hung = true;
        }
        if (ready <= 0) {
            continue;
        }
        char buf[65536];
        auto drain = [&](Pipe &p, int i, std::string &into) {
            if (i < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                return;
            }
            ssize_t got = read(p.rd, buf, sizeof buf);
            if (got > 0) {
                into.append(buf, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                p.close_rd();
            }
        };
        drain(out, out_i, result.out);
        drain(err, err_i, result.err);
        if (spec.on_output && !acted && result.out.find(spec.when_output) != std::string::npos) {
            acted = true;
            if (spec.on_output(pid)) {
                out.close_rd();
            }
        }
        if (in_i >= 0 && (fds[in_i].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            ssize_t put = write(in.wr, spec.input.data() + written, spec.input.size() - written);
            if (put > 0) {
                written += static_cast<size_t>(put);
            }
            if (put < 0 || written == spec.input.size()) {
                in.close_wr();
            }
        }
    }
    in.close_wr();
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(wstatus)) {
        result.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        result.status = 128 + WTERMSIG(wstatus);
        result.signalled = true;
    }
    return result;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool write_whole_file(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return static_cast<bool>(out.flush());
}
