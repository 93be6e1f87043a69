// Locks on bay nodes: flock, lockf and the record locks of fcntl (those a process owns and
// those an open file description owns). Every node opens as a descriptor of /dev/null, so a
// lock taken there would be one lock for all the nodes of the bay, and for every program on
// the host that locks /dev/null. Each node has a lock file of its own instead, in the
// directory BAY.locks beside the bay file (made on the first lock request), and a lock on a
// node is the same lock on its file, taken through a descriptor that belongs to the node's
// open: two processes under one bay contend for a node exactly as on a real host.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "preload_state.h"

using fcntl_fn = int (*)(int, int, ...);

NodeOpen::~NodeOpen() {
    static auto real_close = reinterpret_cast<int (*)(int)>(next_symbol("close"));
    if (lock_fd >= 0)
        real_close(lock_fd);
}

// The node's lock file: its path with '%' and '/' written %25 and %2F, so that every node
// path has a name of its own.
static std::string lock_file_path(const PreloadState &s, const NodeOpen &node) {
    std::string name;
    for (char c : node.path.empty() ? s.bay.drives[node.drive].node : node.path)
        name += c == '/' ? "%2F" : c == '%' ? "%25" : std::string(1, c);
    return s.bay_path + ".locks/" + name;
}

// The lock descriptor of the node open behind fd, opened on first use; access is set to the
// mode the node was opened with. Returns it, -1 with errno set, or k_not_ours.
static int lock_fd_of(int fd, int &access) {
    PreloadState &s = preload_state();
    if (!s.active)
        return k_not_ours;
    std::lock_guard<std::mutex> lock(s.mu);
    auto it = s.fds.find(fd);
    if (it == s.fds.end())
        return k_not_ours;
    NodeOpen &node = *it->second;
    access = node.access;
    if (node.lock_fd >= 0)
        return node.lock_fd;
    static auto real_open = reinterpret_cast<int (*)(const char *, int, ...)>(next_symbol("open"));
    std::string dir = s.bay_path + ".locks";
    std::string path = lock_file_path(s, node);
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "sgsim: cannot make %s: %s\n", dir.c_str(), std::strerror(errno));
    } else {
        node.lock_fd = real_open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (node.lock_fd >= 0)
            return node.lock_fd;
        std::fprintf(stderr, "sgsim: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
    }
    errno = ENOLCK;
    return -1;
}

void release_record_locks(PreloadState &s, size_t drive, const std::string &path) {
    static auto real_fcntl = reinterpret_cast<fcntl_fn>(next_symbol("fcntl"));
    for (const auto &[fd, node] : s.fds) {
        if (node->drive == drive && node->path == path && node->lock_fd >= 0) {
            struct flock whole = {};
            whole.l_type = F_UNLCK;
            whole.l_whence = SEEK_SET;
            real_fcntl(node->lock_fd, F_SETLK, &whole);
            return;
        }
    }
}

bool is_lock_command(int cmd) {
    return cmd == F_SETLK || cmd == F_SETLKW || cmd == F_GETLK || cmd == F_OFD_SETLK ||
           cmd == F_OFD_SETLKW || cmd == F_OFD_GETLK;
}

int node_fcntl_lock(int fd, int cmd, void *arg, fcntl_fn real_fcntl) {
    int access = 0;
    CallerErrno caller;
    int lock_fd = caller.answer(lock_fd_of(fd, access));
    if (lock_fd < 0)
        return lock_fd;
    // The lock file is open for reading and writing; the node may not be, and a lock of a
    // kind its open does not allow fails as it does on the node.
    const auto *want = static_cast<const struct flock *>(arg);
    bool sets = cmd != F_GETLK && cmd != F_OFD_GETLK;
    if (sets && want != nullptr &&
        ((want->l_type == F_WRLCK && access == O_RDONLY) ||
         (want->l_type == F_RDLCK && access == O_WRONLY))) {
        errno = EBADF;
        return -1;
    }
    return real_fcntl(lock_fd, cmd, arg);
}

SGSIM_EXPORT int flock(int fd, int op) {
    static auto real = reinterpret_cast<int (*)(int, int)>(next_symbol("flock"));
    int access = 0;
    CallerErrno caller;
    int lock_fd = caller.answer(lock_fd_of(fd, access));
    if (lock_fd == k_not_ours)
        return real(fd, op);
    return lock_fd < 0 ? -1 : real(lock_fd, op);
}

// lockf takes write locks, which need a node open for writing.
static int lockf_through(const char *name, int fd, int cmd, off_t len) {
    auto real = reinterpret_cast<int (*)(int, int, off_t)>(next_symbol(name));
    int access = 0;
    CallerErrno caller;
    int lock_fd = caller.answer(lock_fd_of(fd, access));
    if (lock_fd == k_not_ours)
        return real(fd, cmd, len);
    if (lock_fd >= 0 && access == O_RDONLY && (cmd == F_LOCK || cmd == F_TLOCK)) {
        errno = EBADF;
        return -1;
    }
    return lock_fd < 0 ? -1 : real(lock_fd, cmd, len);
}

SGSIM_EXPORT int lockf(int fd, int cmd, off_t len) {
    return lockf_through("lockf", fd, cmd, len);
}

SGSIM_EXPORT int lockf64(int fd, int cmd, off_t len) {
    return lockf_through("lockf64", fd, cmd, len);
}
