// Reads the host's view of a drive from sysfs, /proc and /dev: the thin layer over
// host_view.h. Files are read with open and read, directories listed with scandir, so that
// the simulated bay's interposer can answer every read (it cannot see the C library's own
// stdio and directory streams).
#pragma once

#include "base/holders.h"

#include <string>
#include <vector>

// The host's view of one drive.
struct HostView {
    bool read = false; // false: sysfs or /proc could not be read, and why says what
    std::string why;
    std::string disk;                 // "sdc"; empty when the node has no block device
    std::vector<std::string> reasons; // in_use_reasons; empty: idle
};

// The name of the sg node open as fd ("sg3"): from its device number when it is a node of
// the sg driver, else the last part of path.
std::string sg_node_name(int fd, const char *path);

// Reads what the host does with the drive behind the sg node named sg_name: its block
// device under /sys/class/scsi_generic, the partitions, holders and device numbers under
// /sys/class/block, /proc/self/mountinfo and /proc/swaps, and an exclusive open of the disk
// (O_RDONLY | O_EXCL, closed at once), which the kernel refuses with EBUSY while it has the
// disk claimed. A node without a block device is idle; a partition or holder that vanishes
// between the reads is left out. Never fails: a view that could not be read says why.
HostView read_host_view(const std::string &sg_name);

// Opens the whole-disk node /dev/DISK and takes flock(LOCK_EX | LOCK_NB) on it, the lock that
// udev honours before it probes a disk, held until *lock is closed. Returns -1 when another
// process holds the lock, else 0: locked, or the node cannot be opened or locked at all (no
// node in /dev, no right to it), and *lock stays empty.
int lock_whole_disk(const std::string &disk, UniqueFd *lock);
