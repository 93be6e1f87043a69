#include "host/host_view.h"

#include "base/printable.h"

#include <algorithm>
#include <charconv>

namespace {

bool is_octal_digit(char c) {
    return c >= '0' && c <= '7';
}

// The fields of one line, split at single blanks as the kernel writes them.
std::vector<std::string_view> fields_of(std::string_view line) {
    std::vector<std::string_view> out;
    size_t start = 0;
    while (start <= line.size()) {
        size_t end = line.find(' ', start);
        if (end == std::string_view::npos) {
            end = line.size();
        }
        out.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// Calls each(line) for every line of text, without its line end.
template <typename Each> void for_each_line(std::string_view text, Each each) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        each(text.substr(start, end - start));
        start = end + 1;
    }
}

bool parse_unsigned(std::string_view text, unsigned *out) {
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, *out);
    return !text.empty() && ec == std::errc() && ptr == end;
}

std::string device_path(const std::string &name) {
    return "/dev/" + with_controls_shown(name);
}

// A holder as the reasons name it: md arrays as members, device-mapper devices with their
// mapped name.
std::string holder_reason(const BlockEntry &block, const std::string &holder,
                          const std::map<std::string, std::string> &dm_names) {
    std::string shown = with_controls_shown(holder);
    if (holder.rfind("md", 0) == 0) {
        return device_path(block.name) + " member of " + shown;
    }
    auto named = dm_names.find(holder);
    if (named != dm_names.end() && !named->second.empty()) {
        shown += " (" + with_controls_shown(named->second) + ")";
    }
    return device_path(block.name) + " held by " + shown;
}

} // namespace

std::string decode_octal_escapes(std::string_view field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && is_octal_digit(field[i + 1]) &&
            is_octal_digit(field[i + 2]) && is_octal_digit(field[i + 3])) {
            int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
            out.push_back(static_cast<char>(value & 0xFF));
            i += 3;
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

std::vector<MountEntry> parse_mountinfo(std::string_view text) {
    // ID PARENT MAJOR:MINOR ROOT MOUNT-POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER-OPTIONS
    std::vector<MountEntry> out;
    for_each_line(text, [&](std::string_view line) {
        std::vector<std::string_view> f = fields_of(line);
        MountEntry m;
        if (f.size() >= 5 && parse_device_number(f[2], &m.major, &m.minor)) {
            m.mount_point = decode_octal_escapes(f[4]);
            out.push_back(std::move(m));
        }
    });
    return out;
}

std::vector<std::string> parse_swaps(std::string_view text) {
    // Filename Type Size Used Priority, separated by blanks and tabs; the path is escaped.
    std::vector<std::string> out;
    bool heading = true;
    for_each_line(text, [&](std::string_view line) {
        if (heading) {
            heading = false;
            return;
        }
        size_t end = line.find_first_of(" \t");
        std::string_view path = line.substr(0, end);
        if (!path.empty()) {
            out.push_back(decode_octal_escapes(path));
        }
    });
    return out;
}

bool parse_device_number(std::string_view text, unsigned *major, unsigned *minor) {
    if (!text.empty() && text.back() == '\n') {
        text.remove_suffix(1);
    }
    size_t colon = text.find(':');
    return colon != std::string_view::npos && parse_unsigned(text.substr(0, colon), major) &&
           parse_unsigned(text.substr(colon + 1), minor);
}

std::vector<std::string> partition_names(const std::string &disk,
                                         const std::vector<std::string> &entries) {
    std::vector<std::string> out;
    for (const std::string &e : entries) {
        if (e.size() > disk.size() && e.compare(0, disk.size(), disk) == 0) {
            out.push_back(e);
        }
    }
    // Numbers of one disk differ only in their digits, so the shorter name is the lower one.
    std::sort(out.begin(), out.end(), [](const std::string &a, const std::string &b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return out;
}

std::vector<std::string> in_use_reasons(const HostReads &reads) {
    std::vector<std::string> out;
    std::vector<MountEntry> mounts = parse_mountinfo(reads.mountinfo);
    for (const BlockEntry &b : reads.blocks) {
        for (const MountEntry &m : mounts) {
            std::string reason =
                device_path(b.name) + " mounted at " + with_controls_shown(m.mount_point);
            if (m.major == b.major && m.minor == b.minor &&
                std::find(out.begin(), out.end(), reason) == out.end()) {
                out.push_back(reason);
            }
        }
    }
    for (const BlockEntry &b : reads.blocks) {
        for (const std::string &h : b.holders) {
            out.push_back(holder_reason(b, h, reads.dm_names));
        }
    }
    std::vector<std::string> swaps = parse_swaps(reads.swaps);
    for (const BlockEntry &b : reads.blocks) {
        if (std::find(swaps.begin(), swaps.end(), "/dev/" + b.name) != swaps.end()) {
            out.push_back(device_path(b.name) + " used as swap");
        }
    }
    if (out.empty() && reads.claimed && !reads.blocks.empty()) {
        out.push_back(device_path(reads.blocks.front().name) + " held open exclusively");
    }
    return out;
}

std::string join_reasons(const std::vector<std::string> &reasons) {
    std::string out;
    for (const std::string &r : reasons) {
        if (!out.empty()) {
            out += "; ";
        }
        out += r;
    }
    return out;
}
