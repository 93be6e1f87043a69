// The stat family: a bay node is a character device of major 21, a real disk node does
// not exist. glibc 2.36 exports stat, fstat, lstat and fstatat (and their 64 twins) and
// statx; older binaries bind the __xstat versions, which are answered the same way.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "preload_state.h"

// Answers a stat of a path (dirfd and flags as fstatat takes them). Returns 0, -1 with
// errno set, or k_not_ours.
static int stat_bay_path(int dirfd, const char *path, int flags, struct stat *st) {
    PreloadState &s = preload_state();
    if (!s.active || path == nullptr)
        return k_not_ours;
    std::lock_guard<std::mutex> lock(s.mu);
    if (path[0] == '\0' && (flags & AT_EMPTY_PATH))
        return fd_stat(s, dirfd, st) ? 0 : k_not_ours;
    int host = stat_host_path(s, dirfd, path, st);
    if (host != k_not_ours)
        return host;
    PathVerdict v = classify_path(s, dirfd, path);
    if (v.kind == PathKind::pass)
        return k_not_ours;
    if (v.kind == PathKind::refused) {
        errno = ENOENT;
        return -1;
    }
    node_stat(s, v.drive, st);
    return 0;
}

static int stat_bay_fd(int fd, struct stat *st) {
    PreloadState &s = preload_state();
    if (!s.active)
        return k_not_ours;
    std::lock_guard<std::mutex> lock(s.mu);
    return fd_stat(s, fd, st) ? 0 : k_not_ours;
}

// struct stat and struct stat64 are the same on this platform.
static_assert(sizeof(struct stat) == sizeof(struct stat64));

SGSIM_EXPORT int stat(const char *path, struct stat *st) noexcept {
    CallerErrno caller;
    int r = caller.answer(stat_bay_path(AT_FDCWD, path, 0, st));
    if (r != k_not_ours)
        return r;
    static auto real = reinterpret_cast<decltype(&stat)>(next_symbol("stat"));
    return real(path, st);
}

SGSIM_EXPORT int stat64(const char *path, struct stat64 *st) noexcept {
    CallerErrno caller;
    int r = caller.answer(stat_bay_path(AT_FDCWD, path, 0, reinterpret_cast<struct stat *>(st)));
    if (r != k_not_ours)
        return r;
    static auto real = reinterpret_cast<decltype(&stat64)>(next_symbol("stat64"));
    return real(path, st);
}

SGSIM_EXPORT int lstat(const char *path, struct stat *st) noexcept {
    CallerErrno caller;
    int r = caller.answer(stat_bay_path(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW, st));
    if (r != k_not_ours)
        return r;
    static auto real = reinterpret_cast<decltype(&lstat)>(next_symbol("lstat"));
    return real(path, st);
}

SGSIM_EXPORT int lstat64(const char *path, struct stat64 *st) noexcept {
    CallerErrno caller;
    int r = caller.answer(
        stat_bay_path(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW, reinterpret_cast<struct stat *>(st)));
    if (r != k_not_ours)
        return r;
    static auto real = reinterpret_cast<decltype(&lstat64)>(next_symbol("lstat64"));
    return real(path, st);
}

SGSIM_EXPORT int fstat(int fd, struct stat *st) noexcept {
    CallerErrno caller;
    int r = caller.answer(stat_bay_fd(fd, st));
    if (r != k_not_ours)
        return r;
    static auto real = reinterpret_cast<decltype(&fstat)>(next_symbol("fstat"));
    return real(fd, st);
}

SGSIM_EXPORT int fstat64(int fd, struct stat64 *st) noexcept {
    CallerErrno caller;
    int r = caller.answer(stat_bay_fd(fd, reinterpret_cast<struct stat *>(st)));
    if (r != k_not_ours)
        return r;
    static auto real = reinterpret_cast<decltype(&fstat64)>(next_symbol("fstat64"));
    return real(fd, st);
}

SGSIM_EXPORT int fstatat(int dirfd, const char *path, struct stat *st, int flags) noexcept {
    CallerErrno caller;
    int r = caller.answer(stat_bay_path(dirfd, path, flags, st));
    if (r != k_not_ours)
        return r;
    static auto real = reinterpret_cast<decltype(&fstatat)>(next_symbol("fstatat"));
    return real(dirfd, path, st, flags);
}

SGSIM_EXPORT int fstatat64(int dirfd, const char *path, struct stat64 *st, int flags) noexcept {
    CallerErrno caller;
    int r = caller.answer(stat_bay_path(dirfd, path, flags, reinterpret_cast<struct stat *>(st)));
    if (r != k_not_ours)
        return r;
    static auto real = reinterpret_cast<decltype(&fstatat64)>(next_symbol("fstatat64"));
    return real(dirfd, path, st, flags);
}

// The old versioned entry points; ver is the layout version, the same one here.
SGSIM_EXPORT int __xstat(int /*ver*/, const char *path, struct stat *st) {
    return stat(path, st);
}
SGSIM_EXPORT int __xstat64(int /*ver*/, const char *path, struct stat64 *st) {
    return stat64(path, st);
}
SGSIM_EXPORT int __lxstat(int /*ver*/, const char *path, struct stat *st) {
    return lstat(path, st);
}
SGSIM_EXPORT int __lxstat64(int /*ver*/, const char *path, struct stat64 *st) {
    return lstat64(path, st);
}
SGSIM_EXPORT int __fxstat(int /*ver*/, int fd, struct stat *st) {
    return fstat(fd, st);
}
SGSIM_EXPORT int __fxstat64(int /*ver*/, int fd, struct stat64 *st) {
    return fstat64(fd, st);
}
SGSIM_EXPORT int __fxstatat(int /*ver*/, int dirfd, const char *path, struct stat *st, int flags) {
    return fstatat(dirfd, path, st, flags);
}
SGSIM_EXPORT int __fxstatat64(int /*ver*/, int dirfd, const char *path, struct stat64 *st,
                              int flags) {
    return fstatat64(dirfd, path, st, flags);
}

SGSIM_EXPORT int statx(int dirfd, const char *path, int flags, unsigned int mask,
                       struct statx *stx) noexcept {
    struct stat st;
    CallerErrno caller;
    int r = caller.answer(stat_bay_path(dirfd, path, flags, &st));
    if (r == k_not_ours) {
        static auto real = reinterpret_cast<decltype(&statx)>(next_symbol("statx"));
        return real(dirfd, path, flags, mask, stx);
    }
    if (r != 0)
        return r;
    std::memset(stx, 0, sizeof *stx);
    stx->stx_mask = STATX_BASIC_STATS;
    stx->stx_blksize = static_cast<uint32_t>(st.st_blksize);
    stx->stx_nlink = static_cast<uint32_t>(st.st_nlink);
    stx->stx_uid = st.st_uid;
    stx->stx_gid = st.st_gid;
    stx->stx_mode = static_cast<uint16_t>(st.st_mode);
    stx->stx_ino = st.st_ino;
    stx->stx_rdev_major = major(st.st_rdev);
    stx->stx_rdev_minor = minor(st.st_rdev);
    stx->stx_dev_major = major(st.st_dev);
    stx->stx_dev_minor = minor(st.st_dev);
    return 0;
}

// Whether a path names a bay node (1), a refused node (-1) or neither (0).
static int node_or_refused(int dirfd, const char *path) {
    PreloadState &s = preload_state();
    if (!s.active || path == nullptr)
        return 0;
    std::lock_guard<std::mutex> lock(s.mu);
    PathVerdict v = classify_path(s, dirfd, path);
    return v.kind == PathKind::node ? 1 : v.kind == PathKind::refused ? -1 : 0;
}

SGSIM_EXPORT int access(const char *path, int mode) noexcept {
    int k = node_or_refused(AT_FDCWD, path);
    if (k > 0) {
        return 0;
    }
    if (k < 0) {
        errno = ENOENT;
        return -1;
    }
    static auto real = reinterpret_cast<decltype(&access)>(next_symbol("access"));
    return real(path, mode);
}

SGSIM_EXPORT int faccessat(int dirfd, const char *path, int mode, int flags) noexcept {
    int k = node_or_refused(dirfd, path);
    if (k > 0) {
        return 0;
    }
    if (k < 0) {
        errno = ENOENT;
        return -1;
    }
    static auto real = reinterpret_cast<decltype(&faccessat)>(next_symbol("faccessat"));
    return real(dirfd, path, mode, flags);
}

// Extended attributes: a node has none (so that listings of /dev do not stumble on it).
static ssize_t no_xattr(const char *path, bool list, bool &handled) {
    int k = node_or_refused(AT_FDCWD, path);
    handled = k != 0;
    if (!handled || (k > 0 && list)) {
        return 0; // nothing to list, errno as the caller had it
    }
    errno = k > 0 ? ENODATA : ENOENT;
    return -1;
}

SGSIM_EXPORT ssize_t getxattr(const char *path, const char *name, void *value,
                              size_t size) noexcept {
    bool handled;
    ssize_t r = no_xattr(path, false, handled);
    if (handled)
        return r;
    static auto real = reinterpret_cast<decltype(&getxattr)>(next_symbol("getxattr"));
    return real(path, name, value, size);
}

SGSIM_EXPORT ssize_t lgetxattr(const char *path, const char *name, void *value,
                               size_t size) noexcept {
    bool handled;
    ssize_t r = no_xattr(path, false, handled);
    if (handled)
        return r;
    static auto real = reinterpret_cast<decltype(&lgetxattr)>(next_symbol("lgetxattr"));
    return real(path, name, value, size);
}

SGSIM_EXPORT ssize_t listxattr(const char *path, char *list, size_t size) noexcept {
    bool handled;
    ssize_t r = no_xattr(path, true, handled);
    if (handled)
        return r;
    static auto real = reinterpret_cast<decltype(&listxattr)>(next_symbol("listxattr"));
    return real(path, list, size);
}

SGSIM_EXPORT ssize_t llistxattr(const char *path, char *list, size_t size) noexcept {
    bool handled;
    ssize_t r = no_xattr(path, true, handled);
    if (handled)
        return r;
    static auto real = reinterpret_cast<decltype(&llistxattr)>(next_symbol("llistxattr"));
    return real(path, list, size);
}
