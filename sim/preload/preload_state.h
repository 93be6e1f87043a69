// The interposer's process-wide state: the bay loaded from SGSIM_BAY, the descriptors that
// stand for its nodes, and the verdict on every path a program opens.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "drive.h"

#define SGSIM_EXPORT extern "C" __attribute__((visibility("default")))

struct PreloadState {
    std::mutex mu;
    bool active = false; // SGSIM_BAY is set: the bay governs device nodes, and fails closed
    std::string bay_path;
    nlohmann::json doc;
    Bay bay;
    std::map<int, size_t> fds;           // descriptor -> drive index
    std::set<unsigned> disk_char_majors; // sg, bsg, nvme, st ... from /proc/devices
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

// The attributes of a node: a character device of major 21 (sg), minor from its name.
void node_stat(const PreloadState &s, size_t drive, struct stat *st);

// Writes the bay's firmware state back to the bay file; a failure is reported on
// standard error. Call with the lock held.
void save_firmware(PreloadState &s);
