// The host's use of a drive, judged from what sysfs and /proc say about its block device: the
// disk and its partitions, what holds them (md, device-mapper, bcache ...), where they are
// mounted, which is swap, and whether the kernel refuses an exclusive open of the disk. Pure
// functions over the texts and directory listings as read; host_reader.h reads them.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

// One block device of a drive: the whole disk or one of its partitions.
struct BlockEntry {
    std::string name; // "sdc", "sdc1"
    unsigned major = 0;
    unsigned minor = 0;
    std::vector<std::string> holders; // the entries of its holders/ directory ("md0", "dm-0")
};

// What the reader found for one drive that has a block device.
struct HostReads {
    std::vector<BlockEntry> blocks;              // the disk first, then its partitions
    std::map<std::string, std::string> dm_names; // "dm-0" -> its dm/name, for the dm holders
    std::string mountinfo;                       // /proc/self/mountinfo
    std::string swaps;                           // /proc/swaps
    bool claimed = false; // the kernel refused an exclusive open of the disk (EBUSY)
};

// One line of mountinfo, as far as the host view needs it.
struct MountEntry {
    unsigned major = 0;
    unsigned minor = 0;
    std::string mount_point; // the escapes decoded
};

// A field of mountinfo or /proc/swaps with the kernel's octal escapes (\040 blank, \011 tab,
// \012 newline, \134 backslash) turned back into their bytes; a backslash not followed by
// three octal digits stays as it is.
std::string decode_octal_escapes(std::string_view field);

// The mounts of a mountinfo text, in its order; lines that do not have the fields are left
// out.
std::vector<MountEntry> parse_mountinfo(std::string_view text);

// The device paths of a /proc/swaps text (its first column, decoded), the heading left out.
std::vector<std::string> parse_swaps(std::string_view text);

// Reads "MAJOR:MINOR" with an optional line end, as a dev file of sysfs holds it. Returns
// true and sets both, or false for any other text.
bool parse_device_number(std::string_view text, unsigned *major, unsigned *minor);

// The partitions among the entries of a disk's sysfs directory: the names that begin with
// the disk's own name and go on, in the order of their numbers (sdc2 before sdc10).
std::vector<std::string> partition_names(const std::string &disk,
                                         const std::vector<std::string> &entries);

// Why the drive counts as in use, one reason a string, in a fixed order: mounts, then
// holders, then swap, each in the order of the blocks; the refused exclusive open only when
// nothing else explains it. "/dev/sdc1 mounted at /var", "/dev/sdc2 member of md0",
// "/dev/sdc3 held by dm-0 (vg0-root)", "/dev/sdc4 used as swap", "/dev/sdc held open
// exclusively". Control bytes of names and mount points show as '?'. Empty: idle.
std::vector<std::string> in_use_reasons(const HostReads &reads);

// The reasons joined with "; ", as the lines and the system log show them.
std::string join_reasons(const std::vector<std::string> &reasons);
