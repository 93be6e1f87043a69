// The open family, close, the descriptor duplicators and the scan of /dev. A node of the
// bay opens as a real descriptor of /dev/null, so that descriptor numbers are the kernel's;
// a real disk node does not exist while a bay is loaded.
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "drive_exec.h"
#include "preload_state.h"

using open_fn = int (*)(const char *, int, ...);
using openat_fn = int (*)(int, const char *, int, ...);
using open2_fn = int (*)(const char *, int);
using openat2_fn = int (*)(int, const char *, int);

// Opens a bay node or refuses a real disk node. Returns the descriptor, -1 with errno set,
// or k_not_ours when the path is for the C library.
static int open_bay_path(int dirfd, const char *path, int flags) {
    PreloadState &s = preload_state();
    if (!s.active)
        return k_not_ours;
    std::lock_guard<std::mutex> lock(s.mu);
    int host = open_host_path(s, dirfd, path, flags);
    if (host != k_not_ours)
        return host;
    PathVerdict v = classify_path(s, dirfd, path);
    if (v.kind == PathKind::pass)
        return k_not_ours;
    if (v.kind == PathKind::refused) {
        errno = ENOENT;
        return -1;
    }
    if (flags & O_DIRECTORY) {
        errno = ENOTDIR;
        return -1;
    }
    int err = open_drive(s.bay, v.drive);
    if (err != 0) {
        errno = err;
        return -1;
    }
    static auto real_open = reinterpret_cast<open_fn>(next_symbol("open"));
    int fd = real_open("/dev/null", O_RDWR | (flags & O_CLOEXEC));
    if (fd >= 0) {
        s.fds[fd] = std::make_shared<NodeOpen>(v.drive, flags & O_ACCMODE);
        s.fds[fd]->generation = s.bay.drives[v.drive].rt.generation;
    }
    return fd;
}

static mode_t mode_argument(int flags, va_list ap) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, mode_t) : 0;
}

SGSIM_EXPORT int open(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_argument(flags, ap);
    va_end(ap);
    CallerErrno caller;
    int r = caller.answer(open_bay_path(AT_FDCWD, path, flags));
    if (r != k_not_ours)
        return r;
    static auto real = reinterpret_cast<open_fn>(next_symbol("open"));
    return real(path, flags, mode);
}

SGSIM_EXPORT int open64(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_argument(flags, ap);
    va_end(ap);
    CallerErrno caller;
    int r = caller.answer(open_bay_path(AT_FDCWD, path, flags));
    if (r != k_not_ours)
        return r;
    static auto real = reinterpret_cast<open_fn>(next_symbol("open64"));
    return real(path, flags, mode);
}

SGSIM_EXPORT int openat(int dirfd, const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_argument(flags, ap);
    va_end(ap);
    CallerErrno caller;
    int r = caller.answer(open_bay_path(dirfd, path, flags));
    if (r != k_not_ours)
        return r;
    static auto real = reinterpret_cast<openat_fn>(next_symbol("openat"));
    return real(dirfd, path, flags, mode);
}

SGSIM_EXPORT int openat64(int dirfd, const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_argument(flags, ap);
    va_end(ap);
    CallerErrno caller;
    int r = caller.answer(open_bay_path(dirfd, path, flags));
    if (r != k_not_ours)
        return r;
    static auto real = reinterpret_cast<openat_fn>(next_symbol("openat64"));
    return real(dirfd, path, flags, mode);
}

// The entry points that programs built with _FORTIFY_SOURCE call instead of open.
SGSIM_EXPORT int __open_2(const char *path, int flags) {
    CallerErrno caller;
    int r = caller.answer(open_bay_path(AT_FDCWD, path, flags));
    if (r != k_not_ours)
        return r;
    static auto real = reinterpret_cast<open2_fn>(next_symbol("__open_2"));
    return real(path, flags);
}

SGSIM_EXPORT int __open64_2(const char *path, int flags) {
    CallerErrno caller;
    int r = caller.answer(open_bay_path(AT_FDCWD, path, flags));
    if (r != k_not_ours)
        return r;
    static auto real = reinterpret_cast<open2_fn>(next_symbol("__open64_2"));
    return real(path, flags);
}

SGSIM_EXPORT int __openat_2(int dirfd, const char *path, int flags) {
    CallerErrno caller;
    int r = caller.answer(open_bay_path(dirfd, path, flags));
    if (r != k_not_ours)
        return r;
    static auto real = reinterpret_cast<openat2_fn>(next_symbol("__openat_2"));
    return real(dirfd, path, flags);
}

SGSIM_EXPORT int __openat64_2(int dirfd, const char *path, int flags) {
    CallerErrno caller;
    int r = caller.answer(open_bay_path(dirfd, path, flags));
    if (r != k_not_ours)
        return r;
    static auto real = reinterpret_cast<openat2_fn>(next_symbol("__openat64_2"));
    return real(dirfd, path, flags);
}

// creat opens through the C library's own internal call, which cannot be interposed: a path
// that is the bay's is opened here, so that nothing is ever made at a bay node's path on this
// host.
SGSIM_EXPORT int creat(const char *path, mode_t mode) {
    return open(path, O_CREAT | O_WRONLY | O_TRUNC, mode);
}

SGSIM_EXPORT int creat64(const char *path, mode_t mode) {
    return open64(path, O_CREAT | O_WRONLY | O_TRUNC, mode);
}

static void forget_fd(int fd) {
    PreloadState &s = preload_state();
    std::lock_guard<std::mutex> lock(s.mu);
    auto it = s.fds.find(fd);
    if (it == s.fds.end())
        return;
    size_t drive = it->second->drive;
    std::string path = it->second->path;
    s.fds.erase(it);
    release_record_locks(s, drive, path);
}

// After a successful duplication: to stands for the same open of a node as from, or for none.
static void copy_fd(int from, int to) {
    PreloadState &s = preload_state();
    std::lock_guard<std::mutex> lock(s.mu);
    auto it = s.fds.find(from);
    if (it != s.fds.end())
        s.fds[to] = it->second;
    else
        s.fds.erase(to);
}

SGSIM_EXPORT int close(int fd) {
    CallerErrno caller;
    forget_fd(fd); // the release of its record locks leaves no errno behind
    caller.restore();
    static auto real = reinterpret_cast<int (*)(int)>(next_symbol("close"));
    return real(fd);
}

SGSIM_EXPORT int dup(int fd) noexcept {
    static auto real = reinterpret_cast<int (*)(int)>(next_symbol("dup"));
    int r = real(fd);
    if (r >= 0)
        copy_fd(fd, r);
    return r;
}

SGSIM_EXPORT int dup2(int fd, int fd2) noexcept {
    static auto real = reinterpret_cast<int (*)(int, int)>(next_symbol("dup2"));
    int r = real(fd, fd2);
    if (r >= 0 && fd != fd2)
        copy_fd(fd, r);
    return r;
}

SGSIM_EXPORT int dup3(int fd, int fd2, int flags) noexcept {
    static auto real = reinterpret_cast<int (*)(int, int, int)>(next_symbol("dup3"));
    int r = real(fd, fd2, flags);
    if (r >= 0)
        copy_fd(fd, r);
    return r;
}

static int fcntl_through(const char *name, int fd, int cmd, void *arg) {
    auto real = reinterpret_cast<int (*)(int, int, ...)>(next_symbol(name));
    if (is_lock_command(cmd)) {
        int r = node_fcntl_lock(fd, cmd, arg, real);
        if (r != k_not_ours)
            return r;
    }
    int r = real(fd, cmd, arg);
    if (r >= 0 && (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC))
        copy_fd(fd, r);
    return r;
}

SGSIM_EXPORT int fcntl(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return fcntl_through("fcntl", fd, cmd, arg);
}

SGSIM_EXPORT int fcntl64(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return fcntl_through("fcntl64", fd, cmd, arg);
}

// The bay's nodes that sit directly in /dev. Returns 0, -1 with errno set, or k_not_ours.
// Call with the lock held.
static int dev_directory(PreloadState &s, const char *dir,
                         std::vector<std::pair<std::string, unsigned char>> &names) {
    PathVerdict v = classify_path(s, AT_FDCWD, dir);
    if (v.kind != PathKind::pass) {
        errno = v.kind == PathKind::refused ? ENOENT : ENOTDIR;
        return -1;
    }
    std::string abs = dir;
    while (abs.size() > 1 && abs.back() == '/')
        abs.pop_back();
    if (abs != "/dev")
        return k_not_ours;
    for (const Drive &d : s.bay.drives)
        if (d.node.rfind("/dev/", 0) == 0 && d.node.find('/', 5) == std::string::npos)
            names.emplace_back(d.node.substr(5), DT_CHR);
    return 0;
}

// The scan of /dev while a bay is loaded (the bay's nodes that sit directly in /dev), or of
// a directory of the bay's /sys, through the caller's filter and comparison, in entries the
// caller frees with free(). Returns the count, -1 with errno set, or k_not_ours.
template <typename Entry>
static int scan_bay(const char *dir, Entry ***list, int (*filter)(const Entry *),
                    int (*compare)(const Entry **, const Entry **)) {
    PreloadState &s = preload_state();
    if (!s.active)
        return k_not_ours;
    std::vector<std::pair<std::string, unsigned char>> names;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        int r = host_directory(s, dir, names);
        if (r == k_not_ours)
            r = dev_directory(s, dir, names);
        if (r != 0)
            return r;
    }
    std::vector<Entry *> kept;
    for (size_t i = 0; i < names.size(); i++) {
        auto *e = static_cast<Entry *>(std::calloc(1, sizeof(Entry)));
        if (e == nullptr)
            break;
        e->d_ino = 100000 + i;
        e->d_off = static_cast<decltype(e->d_off)>(i + 1);
        e->d_reclen = sizeof(Entry);
        e->d_type = names[i].second;
        std::strncpy(e->d_name, names[i].first.c_str(), sizeof e->d_name - 1);
        if (filter == nullptr || filter(e))
            kept.push_back(e);
        else
            std::free(e);
    }
    if (compare != nullptr)
        std::sort(kept.begin(), kept.end(),
                  [compare](const Entry *a, const Entry *b) { return compare(&a, &b) < 0; });
    auto **out = static_cast<Entry **>(std::malloc((kept.size() + 1) * sizeof(Entry *)));
    if (out == nullptr) {
        for (Entry *e : kept)
            std::free(e);
        errno = ENOMEM;
        return -1;
    }
    std::copy(kept.begin(), kept.end(), out);
    *list = out;
    return static_cast<int>(kept.size());
}

SGSIM_EXPORT int scandir(const char *dir, struct dirent ***list,
                         int (*filter)(const struct dirent *),
                         int (*compare)(const struct dirent **, const struct dirent **)) {
    CallerErrno caller;
    int r = caller.answer(scan_bay(dir, list, filter, compare));
    if (r != k_not_ours)
        return r;
    static auto real = reinterpret_cast<decltype(&scandir)>(next_symbol("scandir"));
    return real(dir, list, filter, compare);
}

SGSIM_EXPORT int scandir64(const char *dir, struct dirent64 ***list,
                           int (*filter)(const struct dirent64 *),
                           int (*compare)(const struct dirent64 **, const struct dirent64 **)) {
    CallerErrno caller;
    int r = caller.answer(scan_bay(dir, list, filter, compare));
    if (r != k_not_ours)
        return r;
    static auto real = reinterpret_cast<decltype(&scandir64)>(next_symbol("scandir64"));
    return real(dir, list, filter, compare);
}
