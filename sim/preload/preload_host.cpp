// The host's storage stack of the bay's drives, as sysfs, /proc and /dev show it: the files of
// /sys come as memory files holding their text, so that read, lseek and close need no answer
// of their own; /proc/self/mountinfo and /proc/swaps are the real ones with the bay's lines
// added; the block device nodes open as /dev/null, as the sg nodes do, and lock as nodes of
// their own. Everything else under a directory of the bay's (/sys/class/scsi_generic/sgN,
// /sys/class/block/NAME) does not exist, whatever the host has there.
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "preload_state.h"

using open_fn = int (*)(const char *, int, ...);

// The C library's close: these run under the interposer's lock, which its own close takes.
static int real_close(int fd) {
    static auto real = reinterpret_cast<int (*)(int)>(next_symbol("close"));
    return real(fd);
}

// A memory file holding text, positioned at its start. Returns it, or -1 with errno set.
static int memory_file(const std::string &text, int flags) {
    int fd = memfd_create("sgsim-host", (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0);
    if (fd < 0)
        return -1;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int err = errno;
            real_close(fd);
            errno = err;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

// The real file at path, read through the C library's own open, with more appended.
static int real_file_with(const char *path, const std::string &more, int flags) {
    static auto real_open = reinterpret_cast<open_fn>(next_symbol("open"));
    std::string text;
    int fd = real_open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
            if (n > 0)
                text.append(buf, static_cast<size_t>(n));
        real_close(fd);
    } else if (std::strcmp(path, "/proc/swaps") == 0) {
        text = "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority\n";
    }
    return memory_file(text + more, flags);
}

static int block_open(PreloadState &s, const std::string &path, const BlockNode &b, int flags) {
    if ((flags & O_EXCL) && (flags & O_CREAT)) {
        errno = EEXIST;
        return -1;
    }
    if ((flags & O_EXCL) && b.busy) {
        errno = EBUSY;
        return -1;
    }
    static auto real_open = reinterpret_cast<open_fn>(next_symbol("open"));
    int fd = real_open("/dev/null", O_RDWR | (flags & O_CLOEXEC));
    if (fd >= 0) {
        auto node = std::make_shared<NodeOpen>(b.drive, flags & O_ACCMODE);
        node->path = path;
        s.fds[fd] = node;
    }
    return fd;
}

int open_host_path(PreloadState &s, int dirfd, const char *path, int flags) {
    std::string p;
    if (!s.active || !normal_path(dirfd, path, p))
        return k_not_ours;
    auto block = s.host.nodes.find(p);
    if (block != s.host.nodes.end())
        return block_open(s, p, block->second, flags);
    bool writes = (flags & O_ACCMODE) != O_RDONLY;
    if (p == "/proc/self/mountinfo" && !s.host.mountinfo.empty() && !writes)
        return real_file_with(p.c_str(), s.host.mountinfo, flags);
    if (p == "/proc/swaps" && !s.host.swaps.empty() && !writes)
        return real_file_with(p.c_str(), s.host.swaps, flags);
    if (host_root_of(s.host, p) == nullptr)
        return k_not_ours;
    auto entry = s.host.sysfs.find(p);
    if (entry == s.host.sysfs.end() || entry->second.dir || writes) {
        errno = entry == s.host.sysfs.end() ? ENOENT : EACCES;
        return -1;
    }
    return memory_file(entry->second.text, flags);
}

int stat_host_path(PreloadState &s, int dirfd, const char *path, struct stat *st) {
    std::string p;
    if (!s.active || !normal_path(dirfd, path, p))
        return k_not_ours;
    auto block = s.host.nodes.find(p);
    auto entry = s.host.sysfs.find(p);
    if (block == s.host.nodes.end() && host_root_of(s.host, p) == nullptr)
        return k_not_ours;
    if (block == s.host.nodes.end() && entry == s.host.sysfs.end()) {
        errno = ENOENT;
        return -1;
    }
    std::memset(st, 0, sizeof *st);
    st->st_nlink = 1;
    st->st_blksize = 4096;
    if (block != s.host.nodes.end()) {
        st->st_mode = S_IFBLK | 0660;
        st->st_gid = 6; // disk
        st->st_dev = makedev(0, 5);
        st->st_rdev = makedev(k_bay_block_major, block->second.minor);
        st->st_ino = 200000 + block->second.minor;
    } else {
        st->st_mode = entry->second.dir ? S_IFDIR | 0755 : S_IFREG | 0444;
        st->st_size = static_cast<off_t>(entry->second.text.size());
        st->st_dev = makedev(0, 21);
        st->st_ino = 300000 + std::hash<std::string>{}(p) % 100000;
    }
    return 0;
}

int host_directory(PreloadState &s, const char *dir,
                   std::vector<std::pair<std::string, unsigned char>> &entries) {
    std::string p;
    if (!s.active || !normal_path(AT_FDCWD, dir, p) || host_root_of(s.host, p) == nullptr)
        return k_not_ours;
    auto entry = s.host.sysfs.find(p);
    if (entry == s.host.sysfs.end() || !entry->second.dir) {
        errno = entry == s.host.sysfs.end() ? ENOENT : ENOTDIR;
        return -1;
    }
    std::string prefix = p + "/";
    for (const std::string &child : entry->second.children) {
        auto it = s.host.sysfs.find(prefix + child);
        entries.emplace_back(child, it != s.host.sysfs.end() && !it->second.dir ? DT_REG : DT_DIR);
    }
    return 0;
}

bool fd_stat(PreloadState &s, int fd, struct stat *st) {
    auto it = s.fds.find(fd);
    if (it == s.fds.end())
        return false;
    const NodeOpen &node = *it->second;
    if (node.path.empty() || stat_host_path(s, AT_FDCWD, node.path.c_str(), st) != 0)
        node_stat(s, node.drive, st);
    return true;
}
