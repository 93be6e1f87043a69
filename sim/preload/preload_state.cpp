#include "preload_state.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

#include "bay_file.h"

static constexpr unsigned k_sg_major = 21;

// The character-device majors through which a disk can be reached, as this kernel
// numbers them; read through stdio, which the interposer does not see.
static std::set<unsigned> read_disk_char_majors() {
    std::set<unsigned> majors = {21, 9}; // sg, st
    FILE *f = std::fopen("/proc/devices", "re");
    if (f == nullptr)
        return majors;
    char line[256];
    bool chars = false;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, "Character", 9) == 0 || std::strncmp(line, "Block", 5) == 0) {
            chars = line[0] == 'C';
            continue;
        }
        unsigned major;
        char name[128];
        if (!chars || std::sscanf(line, "%u %127s", &major, name) != 2)
            continue;
        std::string n = name;
        if (n == "sg" || n == "bsg" || n == "st" || n == "osst" || n == "ch" ||
            n.rfind("nvme", 0) == 0)
            majors.insert(major);
    }
    std::fclose(f);
    return majors;
}

static void load_from_environment(PreloadState &s) {
    const char *bay = std::getenv("SGSIM_BAY");
    if (bay == nullptr || *bay == '\0')
        return;
    s.active = true;
    s.bay_path = bay;
    s.disk_char_majors = read_disk_char_majors();
    std::string err;
    Bay loaded;
    if (!load_bay(s.bay_path, loaded, s.doc, err)) {
        std::fprintf(stderr, "sgsim: %s; no drive is present\n", err.c_str());
        s.bay = Bay{};
        s.bay_path.clear(); // nothing to write back
        return;
    }
    s.bay = std::move(loaded);
    s.host = build_host_tree(s.bay);
    const char *trace = std::getenv("SGSIM_TRACE");
    if (trace != nullptr && *trace != '\0')
        s.bay.trace_path = trace;
}

PreloadState &preload_state() {
    static PreloadState *state = [] {
        // Never destroyed: programs call close and ioctl from their exit handlers.
        auto *s = new PreloadState;
        load_from_environment(*s);
        return s;
    }();
    return *state;
}

void *next_symbol(const char *name) {
    void *p = dlsym(RTLD_NEXT, name);
    if (p == nullptr) {
        std::fprintf(stderr, "sgsim: the C library has no %s\n", name);
        std::abort();
    }
    return p;
}

// The path with "." and ".." and repeated slashes removed, without following links.
static std::string lexical_normal(const std::string &abs) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i < abs.size()) {
        size_t j = abs.find('/', i);
        if (j == std::string::npos)
            j = abs.size();
        std::string part = abs.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    std::string out;
    for (const std::string &p : parts)
        out += "/" + p;
    return out.empty() ? "/" : out;
}

// The path with every link followed, as the kernel resolves it, but also where a component
// does not exist on this host (a bay node, or what a link to one names): from there on the
// path is taken as written. Gives up (the path as it is) after 40 links, as the kernel does.
static std::string resolved_path(const std::string &abs) {
    std::vector<std::string> rest; // the components still to resolve, the next one last
    auto push_front = [&rest](const std::string &path) {
        std::vector<std::string> parts;
        size_t i = 0;
        while (i <= path.size()) {
            size_t j = path.find('/', i);
            if (j == std::string::npos)
                j = path.size();
            if (j > i)
                parts.push_back(path.substr(i, j - i));
            i = j + 1;
        }
        rest.insert(rest.end(), parts.rbegin(), parts.rend());
    };
    push_front(abs);
    std::string done;
    for (int links = 0; !rest.empty();) {
        std::string part = rest.back();
        rest.pop_back();
        if (part == ".")
            continue;
        if (part == "..") {
            done.erase(done.empty() ? 0 : done.rfind('/'));
            continue;
        }
        std::string next = done + "/" + part;
        char target[PATH_MAX];
        ssize_t n = readlink(next.c_str(), target, sizeof target - 1);
        if (n < 0) {
            done = next; // not a link, or not on this host: as written
            continue;
        }
        if (++links > 40)
            return abs;
        target[n] = '\0';
        if (target[0] == '/')
            done.clear();
        push_front(target);
    }
    return done.empty() ? "/" : done;
}

static bool absolute_path(int dirfd, const char *path, std::string &out) {
    if (path[0] == '/') {
        out = path;
        return true;
    }
    char base[PATH_MAX];
    if (dirfd == AT_FDCWD) {
        if (getcwd(base, sizeof base) == nullptr)
            return false;
    } else {
        std::string link = "/proc/self/fd/" + std::to_string(dirfd);
        ssize_t n = readlink(link.c_str(), base, sizeof base - 1);
        if (n < 0)
            return false;
        base[n] = '\0';
    }
    out = std::string(base) + "/" + path;
    return true;
}

static bool starts_digit(const std::string &s, size_t at) {
    return at < s.size() && s[at] >= '0' && s[at] <= '9';
}

// Names under /dev of the nodes through which a real disk could be reached.
static bool is_disk_node(const std::string &p) {
    if (p.rfind("/dev/", 0) != 0)
        return false;
    std::string n = p.substr(5);
    auto has = [&n](const char *prefix) { return n.rfind(prefix, 0) == 0; };
    return (has("sg") && starts_digit(n, 2)) ||
           (has("sd") && n.size() > 2 && n[2] >= 'a' && n[2] <= 'z') ||
           (has("sr") && starts_digit(n, 2)) || (has("st") && starts_digit(n, 2)) ||
           (has("nst") && starts_digit(n, 3)) || has("bsg") || has("nvme");
}

static bool find_node(const PreloadState &s, const std::string &p, PathVerdict &v) {
    for (size_t i = 0; i < s.bay.drives.size(); i++) {
        if (s.bay.drives[i].node == p) {
            v.kind = PathKind::node;
            v.drive = i;
            return true;
        }
    }
    return false;
}

bool normal_path(int dirfd, const char *path, std::string &out) {
    struct ErrnoKeeper {
        int saved = errno;
        ~ErrnoKeeper() { errno = saved; }
    } keep;
    if (path == nullptr || !absolute_path(dirfd, path, out))
        return false;
    out = lexical_normal(out);
    return true;
}

PathVerdict classify_path(PreloadState &s, int dirfd, const char *path) {
    // The look-up (getcwd, realpath, stat) must not leave its errno behind: a call that goes
    // through to the C library returns with the caller's errno, as it would without a bay.
    struct ErrnoKeeper {
        int saved = errno;
        ~ErrnoKeeper() { errno = saved; }
    } keep;
    PathVerdict v;
    std::string abs;
    if (!s.active || path == nullptr || !absolute_path(dirfd, path, abs))
        return v;
    std::string p = lexical_normal(abs);
    if (find_node(s, p, v))
        return v;
    if (is_disk_node(p)) {
        v.kind = PathKind::refused;
        return v;
    }
    // A link (by-id, block/8:0, one in a temporary directory ...) leads to what it names: a
    // bay node, which is then answered as the node (nothing is ever made at its path on this
    // host), or a real disk, refused by its name and by its kind.
    std::string resolved = resolved_path(p);
    if (find_node(s, resolved, v))
        return v;
    static auto real_stat =
        reinterpret_cast<int (*)(const char *, struct stat *)>(next_symbol("stat"));
    struct stat st;
    if (is_disk_node(resolved) ||
        (real_stat(resolved.c_str(), &st) == 0 &&
         (S_ISBLK(st.st_mode) ||
          (S_ISCHR(st.st_mode) && s.disk_char_majors.contains(major(st.st_rdev))))))
        v.kind = PathKind::refused;
    return v;
}

bool drive_of_fd(PreloadState &s, int fd, size_t &drive) {
    auto it = s.fds.find(fd);
    if (it == s.fds.end())
        return false;
    drive = it->second->drive;
    return true;
}

void node_stat(const PreloadState &s, size_t drive, struct stat *st) {
    unsigned minor = node_number(s.bay.drives[drive], drive);
    std::memset(st, 0, sizeof *st);
    st->st_dev = makedev(0, 5);
    st->st_ino = 100000 + drive;
    st->st_mode = S_IFCHR | 0660;
    st->st_nlink = 1;
    st->st_uid = 0;
    st->st_gid = 6; // disk
    st->st_rdev = makedev(k_sg_major, minor);
    st->st_blksize = 4096;
}

void save_firmware(PreloadState &s) {
    if (s.bay_path.empty())
        return;
    std::string err;
    if (!save_bay(s.bay_path, s.bay, s.doc, err))
        std::fprintf(stderr, "sgsim: %s\n", err.c_str());
}
