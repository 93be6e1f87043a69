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

#define SGSIM_EXPORT extern "C" __attribute__((visibility("default")))

// What an interposed call returns when the descriptor or path is not the bay's: the call
// then goes to the C library.
inline constexpr int k_not_ours = -2;

// One open of a bay node, shared by the descriptors dup makes of it, as an open file
// description is. Its lock descriptor is closed with the last of them.
struct NodeOpen {
    size_t drive = 0;
    int access = 0;   // O_RDONLY, O_WRONLY or O_RDWR, as the node was opened
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

// After a descriptor of drive's node was closed: the process's record locks on the node go,
// as the kernel drops a process's record locks on a file when it closes any descriptor of
// it. Call with the lock held.
void release_record_locks(PreloadState &s, size_t drive);

// The fcntl commands that take, drop or test a lock.
bool is_lock_command(int cmd);

// A lock command of fcntl on a bay node, done on the node's lock file through real_fcntl.
// Returns fcntl's result, -1 with errno set, or k_not_ours when fd is not a node.
int node_fcntl_lock(int fd, int cmd, void *arg, int (*real_fcntl)(int, int, ...));

// The attributes of a node: a character device of major 21 (sg), minor from its name.
void node_stat(const PreloadState &s, size_t drive, struct stat *st);

// Writes the bay's firmware state back to the bay file; a failure is reported on
// standard error. Call with the lock held.
void save_firmware(PreloadState &s);
