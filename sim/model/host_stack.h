// The host's storage stack around the bay's drives (bay keys "block", "partitions", "mounts",
// "holders", "dm_names", "swap", "claimed"), and what sysfs, /proc and /dev show of it: the
// interposer answers those reads for the bay's drives only.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "drive.h"

// The block major of the bay's disks: one the kernel reserves for local use, so that their
// device numbers never meet the host's own disks in mountinfo.
inline constexpr unsigned k_bay_block_major = 240;

// Reads the host keys of drive record j into host (all absent: no block device). Returns
// true, or false with the reason in err.
bool parse_host_stack(const nlohmann::json &j, HostStack &host, std::string &err);

// The number of a drive's sg node: the digits that end its path, else its index in the bay.
unsigned node_number(const Drive &d, size_t index);

// One file or directory of the simulated sysfs.
struct SysEntry {
    bool dir = false;
    std::string text;                  // a file's contents
    std::vector<std::string> children; // a directory's entries
};

// A block device node of the bay: /dev/sdc or /dev/sdc1.
struct BlockNode {
    size_t drive = 0;
    unsigned minor = 0;
    bool busy = false; // an exclusive open gets EBUSY
};

// What the interposer shows of the bay's host stack.
struct HostTree {
    std::map<std::string, SysEntry> sysfs; // by absolute path
    std::vector<std::string> roots;        // directories whose whole subtree is the bay's
    std::map<std::string, BlockNode> nodes;
    std::string mountinfo; // lines added to the real /proc/self/mountinfo
    std::string swaps;     // lines added to the real /proc/swaps
};

// Builds the tree: for every drive /sys/class/scsi_generic/sgN (with device/block only when
// it has a block device), /sys/class/block/NAME for its disk, partitions and holders (dev,
// holders/, partition, dm/name), its /dev nodes (major 240, 16 minors a drive) and its mount
// and swap lines.
HostTree build_host_tree(const Bay &bay);

// The root of the tree that holds path, or nullptr when the path is not the bay's.
const std::string *host_root_of(const HostTree &tree, const std::string &path);
