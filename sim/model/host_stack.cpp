#include "host_stack.h"

#include <algorithm>
#include <stdexcept>

using nlohmann::json;

namespace {

struct HostError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A device name as sysfs and /dev hold it: not empty, no slash, not a dot entry.
std::string device_name(const json &v, const std::string &key) {
    if (!v.is_string())
        throw HostError("\"" + key + "\": names must be text");
    std::string name = v.get<std::string>();
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        throw HostError("\"" + key + "\": not a device name: \"" + name + "\"");
    return name;
}

std::vector<std::string> name_list(const json &j, const std::string &key) {
    std::vector<std::string> out;
    if (!j.contains(key))
        return out;
    if (!j[key].is_array())
        throw HostError("\"" + key + "\" must be a list");
    for (const json &v : j[key])
        out.push_back(device_name(v, key));
    return out;
}

// A key of "mounts", "holders" or "swap": the disk or one of its partitions.
void check_own(const HostStack &h, const std::string &name, const std::string &key) {
    if (name != h.block &&
        std::find(h.partitions.begin(), h.partitions.end(), name) == h.partitions.end())
        throw HostError("\"" + key + "\": " + name +
                        " is not the drive's block device or one "
                        "of its partitions");
}

// The kernel's escapes of a path in mountinfo and /proc/swaps.
std::string escaped(const std::string &path) {
    std::string out;
    for (char c : path) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
            const char oct[] = {'\\', static_cast<char>('0' + ((c >> 6) & 7)),
                                static_cast<char>('0' + ((c >> 3) & 7)),
                                static_cast<char>('0' + (c & 7))};
            out.append(oct, 4);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

SysEntry dir_of(std::vector<std::string> children) {
    SysEntry e;
    e.dir = true;
    e.children = std::move(children);
    return e;
}

SysEntry file_of(const std::string &text) {
    SysEntry e;
    e.text = text + "\n";
    return e;
}

bool busy(const HostStack &h, const std::string &name) {
    if (h.claimed ||
        (name == h.block && (!h.mounts.empty() || !h.holders.empty() || !h.swap.empty())))
        return true;
    return h.mounts.contains(name) || h.holders.contains(name) ||
           std::find(h.swap.begin(), h.swap.end(), name) != h.swap.end();
}

// The block device's own directory: dev, holders/, partition (a partition's number).
void add_block(HostTree &t, const HostStack &h, const std::string &name, unsigned minor,
               size_t partition) {
    const std::string dir = "/sys/class/block/" + name;
    std::vector<std::string> children = {"dev", "holders"};
    if (partition > 0)
        children.push_back("partition");
    else
        children.insert(children.end(), h.partitions.begin(), h.partitions.end());
    t.roots.push_back(dir);
    t.sysfs[dir] = dir_of(children);
    t.sysfs[dir + "/dev"] =
        file_of(std::to_string(k_bay_block_major) + ":" + std::to_string(minor));
    auto held = h.holders.find(name);
    t.sysfs[dir + "/holders"] =
        dir_of(held == h.holders.end() ? std::vector<std::string>{} : held->second);
    if (partition > 0)
        t.sysfs[dir + "/partition"] = file_of(std::to_string(partition));
}

void add_holders(HostTree &t, const HostStack &h) {
    for (const auto &[name, holders] : h.holders) {
        for (const std::string &holder : holders) {
            const std::string dir = "/sys/class/block/" + holder;
            if (t.sysfs.contains(dir))
                continue;
            auto mapped = h.dm_names.find(holder);
            bool named = mapped != h.dm_names.end();
            t.roots.push_back(dir);
            t.sysfs[dir] =
                dir_of(named ? std::vector<std::string>{"dm"} : std::vector<std::string>{});
            if (named) {
                t.sysfs[dir + "/dm"] = dir_of({"name"});
                t.sysfs[dir + "/dm/name"] = file_of(mapped->second);
            }
        }
    }
}

void add_lines(HostTree &t, const HostStack &h, const std::map<std::string, unsigned> &minors) {
    for (const auto &[name, mount_point] : h.mounts)
        t.mountinfo += std::to_string(900000 + t.mountinfo.size()) + " 1 " +
                       std::to_string(k_bay_block_major) + ":" + std::to_string(minors.at(name)) +
                       " / " + escaped(mount_point) + " rw,relatime - ext4 /dev/" + name + " rw\n";
    for (const std::string &name : h.swap) {
        std::string path = escaped("/dev/" + name);
        t.swaps += path + std::string(path.size() < 40 ? 40 - path.size() : 1, ' ') +
                   "partition\t1048572\t\t0\t\t-2\n";
    }
}

} // namespace

bool parse_host_stack(const json &j, HostStack &h, std::string &err) {
    try {
        h = HostStack{};
        if (j.contains("block"))
            h.block = device_name(j["block"], "block");
        h.partitions = name_list(j, "partitions");
        if (h.partitions.size() > 15)
            throw HostError("\"partitions\": at most 15");
        for (const std::string &p : h.partitions)
            if (p.size() <= h.block.size() || p.compare(0, h.block.size(), h.block) != 0)
                throw HostError("\"partitions\": " + p + " does not begin with the disk's name");
        if (j.contains("mounts")) {
            if (!j["mounts"].is_object())
                throw HostError("\"mounts\" must be an object");
            for (auto it = j["mounts"].begin(); it != j["mounts"].end(); ++it) {
                check_own(h, it.key(), "mounts");
                if (!it.value().is_string() || it.value().get<std::string>().empty())
                    throw HostError("\"mounts\": a mount point must be text");
                h.mounts[it.key()] = it.value().get<std::string>();
            }
        }
        if (j.contains("holders")) {
            if (!j["holders"].is_object())
                throw HostError("\"holders\" must be an object");
            for (auto it = j["holders"].begin(); it != j["holders"].end(); ++it) {
                check_own(h, it.key(), "holders");
                h.holders[it.key()] = name_list(j["holders"], it.key());
            }
        }
        if (j.contains("dm_names")) {
            if (!j["dm_names"].is_object())
                throw HostError("\"dm_names\" must be an object");
            for (auto it = j["dm_names"].begin(); it != j["dm_names"].end(); ++it)
                h.dm_names[device_name(it.key(), "dm_names")] =
                    it.value().is_string() ? it.value().get<std::string>()
                                           : throw HostError("\"dm_names\": names must be text");
        }
        h.swap = name_list(j, "swap");
        for (const std::string &name : h.swap)
            check_own(h, name, "swap");
        if (j.contains("claimed")) {
            if (!j["claimed"].is_boolean())
                throw HostError("claimed: not true or false");
            h.claimed = j["claimed"].get<bool>();
        }
        if (h.block.empty() && (!h.partitions.empty() || h.claimed))
            throw HostError("\"partitions\" and \"claimed\" need \"block\"");
        return true;
    } catch (const HostError &e) {
        err = e.what();
        return false;
    }
}

unsigned node_number(const Drive &d, size_t index) {
    size_t digits = d.node.find_last_not_of("0123456789");
    if (digits + 1 >= d.node.size())
        return static_cast<unsigned>(index);
    return static_cast<unsigned>(std::strtoul(d.node.c_str() + digits + 1, nullptr, 10));
}

HostTree build_host_tree(const Bay &bay) {
    HostTree t;
    for (size_t i = 0; i < bay.drives.size(); i++) {
        const HostStack &h = bay.drives[i].host;
        const std::string sg =
            "/sys/class/scsi_generic/sg" + std::to_string(node_number(bay.drives[i], i));
        if (t.sysfs.contains(sg))
            continue; // two nodes of one number: the first is the one sysfs shows
        t.roots.push_back(sg);
        t.sysfs[sg] = dir_of({"dev", "device"});
        t.sysfs[sg + "/dev"] = file_of("21:" + std::to_string(node_number(bay.drives[i], i)));
        t.sysfs[sg + "/device"] = dir_of(h.block.empty() ? std::vector<std::string>{}
                                                         : std::vector<std::string>{"block"});
        if (h.block.empty())
            continue;
        t.sysfs[sg + "/device/block"] = dir_of({h.block});
        std::map<std::string, unsigned> minors;
        unsigned base = static_cast<unsigned>(i) * 16;
        minors[h.block] = base;
        for (size_t p = 0; p < h.partitions.size(); p++)
            minors[h.partitions[p]] = base + static_cast<unsigned>(p) + 1;
        add_block(t, h, h.block, base, 0);
        t.sysfs[sg + "/device/block/" + h.block] = t.sysfs["/sys/class/block/" + h.block];
        for (size_t p = 0; p < h.partitions.size(); p++)
            add_block(t, h, h.partitions[p], base + static_cast<unsigned>(p) + 1, p + 1);
        add_holders(t, h);
        for (const auto &[name, minor] : minors)
            t.nodes["/dev/" + name] = BlockNode{i, minor, busy(h, name)};
        add_lines(t, h, minors);
    }
    return t;
}

const std::string *host_root_of(const HostTree &tree, const std::string &path) {
    for (const std::string &root : tree.roots)
        if (path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                             path[root.size()] == '/'))
            return &root;
    return nullptr;
}
