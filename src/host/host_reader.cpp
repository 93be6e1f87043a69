#include "host/host_reader.h"

#include "host/host_view.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// The sg driver's character major.
constexpr unsigned k_sg_major = 21;

// The longest file the view reads; a mountinfo of many thousand mounts stays below it.
constexpr size_t k_max_text = 16 << 20;

// Reads the whole file at path into *text. Returns true, or false with errno set.
bool read_text(const std::string &path, std::string *text) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return false;
    }
    text->clear();
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        if (text->size() + static_cast<size_t>(n) > k_max_text) {
            errno = EFBIG;
            return false;
        }
        text->append(buf, static_cast<size_t>(n));
    }
}

int not_dot(const struct dirent *e) {
    return std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0;
}

// The entries of directory path, sorted. Returns true, or false with errno set.
bool list_directory(const std::string &path, std::vector<std::string> *names) {
    struct dirent **list = nullptr;
    int n = scandir(path.c_str(), &list, not_dot, alphasort);
    if (n < 0) {
        return false;
    }
    names->clear();
    for (int i = 0; i < n; ++i) {
        names->emplace_back(list[i]->d_name);
        std::free(list[i]);
    }
    std::free(list);
    return true;
}

std::string failed(const std::string &path) {
    return path + ": " + std::strerror(errno);
}

// The disk and its partitions with their device numbers and holders; a block whose dev file
// cannot be read any more has vanished and is left out.
void read_blocks(const std::string &disk, HostReads *reads) {
    const std::string base = "/sys/class/block/";
    std::vector<std::string> names = {disk};
    std::vector<std::string> entries;
    if (list_directory(base + disk, &entries)) {
        std::vector<std::string> parts = partition_names(disk, entries);
        names.insert(names.end(), parts.begin(), parts.end());
    }
    for (const std::string &name : names) {
        BlockEntry b;
        b.name = name;
        std::string dev;
        if (!read_text(base + name + "/dev", &dev) ||
            !parse_device_number(dev, &b.major, &b.minor)) {
            continue;
        }
        list_directory(base + name + "/holders", &b.holders);
        for (const std::string &h : b.holders) {
            std::string dm_name;
            if (h.rfind("dm-", 0) == 0 && read_text(base + h + "/dm/name", &dm_name)) {
                while (!dm_name.empty() && dm_name.back() == '\n') {
                    dm_name.pop_back();
                }
                reads->dm_names[h] = dm_name;
            }
        }
        reads->blocks.push_back(std::move(b));
    }
}

// Whether the kernel refuses an exclusive open of the disk. The node is opened read-only and
// closed at once: nothing is written, so udev sees no change.
bool disk_claimed(const std::string &disk) {
    UniqueFd fd(open(("/dev/" + disk).c_str(), O_RDONLY | O_EXCL | O_NONBLOCK | O_CLOEXEC));
    return !fd && errno == EBUSY;
}

} // namespace

std::string sg_node_name(int fd, const char *path) {
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) == k_sg_major) {
        return "sg" + std::to_string(minor(st.st_rdev));
    }
    const char *slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

HostView read_host_view(const std::string &sg_name) {
    HostView view;
    std::string node_dir = "/sys/class/scsi_generic/" + sg_name;
    std::vector<std::string> disks;
    std::string block_dir = node_dir + "/device/block";
    if (!list_directory(block_dir, &disks)) {
        // No block directory under a node that sysfs knows: the drive has no block device.
        struct stat st;
        if (errno != ENOENT) {
            view.why = failed(block_dir);
        } else if (stat(node_dir.c_str(), &st) != 0) {
            view.why = failed(node_dir);
        } else {
            view.read = true;
        }
        return view;
    }
    view.read = true;
    if (disks.empty()) {
        return view;
    }
    view.disk = disks.front();
    HostReads reads;
    read_blocks(view.disk, &reads);
    if (!read_text("/proc/self/mountinfo", &reads.mountinfo)) {
        view.read = false;
        view.why = failed("/proc/self/mountinfo");
        return view;
    }
    // A kernel without swap has no /proc/swaps, and then nothing is swap.
    read_text("/proc/swaps", &reads.swaps);
    reads.claimed = disk_claimed(view.disk);
    view.reasons = in_use_reasons(reads);
    return view;
}

int lock_whole_disk(const std::string &disk, UniqueFd *lock) {
    UniqueFd fd(open(("/dev/" + disk).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd && flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
        *lock = std::move(fd);
        return 0;
    }
    return fd && errno == EWOULDBLOCK ? -1 : 0;
}
