// The interposer's process-wide state: the bay loaded from SGSIM_BAY, the descriptors that
// stand for its nodes, and the verdict on every path a program opens.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "drive.h"
#include "host_stack.h"

#define SGSIM_EXPORT extern "C" __attribute__((visibility("default")))

// What an interposed call returns when the descriptor or path is not the bay's: the call
// then goes to the C library.
inline constexpr int k_not_ours = -2;

// The caller's errno, kept across what the interposer does for a call (its look-ups, lock
// files, the trace, the bay file): a call the bay answers with success, and a call that goes
// on to the C library, leave errno as the program had it, as they would without a bay; a
// call the bay refuses sets errno to its own reason.
struct CallerErrno {
    int saved = errno;
    // Returns r, the bay's answer (k_not_ours: none), with the caller's errno back unless r
    // is a failure.
    int answer(int r) const {
        if (r >= 0 || r == k_not_ours) {
            errno = saved;
        }
        return r;
    }
    void restore() const { errno = saved; }
};

// One open of a bay node, shared by the descriptors dup makes of it, as an open file
// description is. Its lock descriptor is closed with the last of them.
struct NodeOpen {
    size_t drive = 0;
    int access = 0;   // O_RDONLY, O_WRONLY or O_RDWR, as the node was opened
    std::string path; // a block device node of the drive ("/dev/sdc"); empty: its sg node
    int lock_fd = -1; // the node's lock file (preload_lock.cpp), opened on the first lock
    // The sg driver's bounce buffer of this open: what the last data-in command left in it.
    std::vector<uint8_t> bounce;
    // The drive's generation when its node was opened: once the drive drops off the bus or
    // moves (a newer generation), this open leads nowhere.
    uint32_t generation = 0;
    NodeOpen(size_t d, int a) : drive(d), access(a) {}
    NodeOpen(const NodeOpen &) = delete;
    NodeOpen &operator=(const NodeOpen &) = delete;
    ~NodeOpen();
};

// The implicit constructor is noexcept and makes a null json document, which allocates
// nothing; the throw that bugprone-exception-escape finds is json's path for an object or
// an array.
// NOLINTNEXTLINE(bugprone-exception-escape)
struct PreloadState {
    std::mutex mu;
    bool active = false; // SGSIM_BAY is set: the bay governs device nodes, and fails closed
    std::string bay_path;
    nlohmann::json doc;
    Bay bay;
    std::map<int, std::shared_ptr<NodeOpen>> fds; // descriptor -> the open of a node
    std::set<unsigned> disk_char_majors;          // sg, bsg, nvme, st ... from /proc/devices
    HostTree host;                                // what sysfs, /proc and /dev show of the bay
};

// The state, loaded from the environment on first use. A bay that cannot be loaded leaves
// an empty bay in force (every device node refused) and says why on standard error.
PreloadState &preload_state();

// The symbol that the next object after this library defines (the C library's own).
// Aborts with a message when there is none.
void *next_symbol(const char *name);

enum class PathKind {
    pass,    // not a device node: the call goes through
    node,    // one of the bay's nodes
    refused, // a real disk node while a bay is loaded: it does not exist
};

struct PathVerdict {
    PathKind kind = PathKind::pass;
    size_t drive = 0;
};

// Judges a path as openat/fstatat would resolve it against dirfd. Call with the lock held.
PathVerdict classify_path(PreloadState &s, int dirfd, const char *path);

// The drive behind a descriptor. Returns true and sets drive when fd stands for a node.
// Call with the lock held.
bool drive_of_fd(PreloadState &s, int fd, size_t &drive);

// After a descriptor of drive's node (path: of its block device node at path) was closed:
// the process's record locks on the node go, as the kernel drops a process's record locks on
// a file when it closes any descriptor of it. Call with the lock held.
void release_record_locks(PreloadState &s, size_t drive, const std::string &path);

// The fcntl commands that take, drop or test a lock.
bool is_lock_command(int cmd);

// A lock command of fcntl on a bay node, done on the node's lock file through real_fcntl.
// Returns fcntl's result, -1 with errno set, or k_not_ours when fd is not a node.
int node_fcntl_lock(int fd, int cmd, void *arg, int (*real_fcntl)(int, int, ...));

// The attributes of a node: a character device of major 21 (sg), minor from its name.
void node_stat(const PreloadState &s, size_t drive, struct stat *st);

// The attributes of the node behind fd: its sg node, or the block device node it opened.
// Returns false when fd stands for no node. Call with the lock held.
bool fd_stat(PreloadState &s, int fd, struct stat *st);

// path as openat would resolve it against dirfd, absolute, without "." and "..". Returns
// false when it cannot be made absolute.
bool normal_path(int dirfd, const char *path, std::string &out);

// The bay's host stack (preload_host.cpp). Each returns k_not_ours for a path that is not
// the bay's, else what the call returns (-1 with errno set on failure). Call with the lock
// held.
// open: /sys files of the bay as memory files, /proc/self/mountinfo and /proc/swaps with the
// bay's lines added, the bay's block device nodes (EBUSY for an exclusive open of one in use).
int open_host_path(PreloadState &s, int dirfd, const char *path, int flags);
// stat of a /sys entry or a block device node of the bay.
int stat_host_path(PreloadState &s, int dirfd, const char *path, struct stat *st);
// The entries of a /sys directory of the bay, with their d_type.
int host_directory(PreloadState &s, const char *dir,
                   std::vector<std::pair<std::string, unsigned char>> &entries);

// Writes the bay's firmware state back to the bay file; a failure is reported on
// standard error. Call with the lock held.
void save_firmware(PreloadState &s);
