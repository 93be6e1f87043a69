#include "cli/device_list.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Releases what scandir returned: every entry and the array.
struct DirentList {
    struct dirent **entries = nullptr;
    int count = 0;
    DirentList() = default;
    DirentList(const DirentList &) = delete;
    DirentList &operator=(const DirentList &) = delete;
    ~DirentList() {
        for (int i = 0; i < count; ++i) {
            std::free(entries[i]);
        }
        std::free(entries);
    }
};

} // namespace

int is_sg_entry(const struct dirent *entry) {
    return std::strncmp(entry->d_name, "sg", 2) == 0 ? 1 : 0;
}

int scan_device_dir(const char *dir, std::vector<OwnedText> *paths) {
    DirentList list;
    int count = scandir(dir, &list.entries, is_sg_entry, alphasort);
    if (count < 0) {
        perror("scandir");
        return -1;
    }
    list.count = count;
    try {
        paths->reserve(paths->size() + static_cast<size_t>(list.count));
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        perror("realloc");
        return -1;
    }
    for (int i = 0; i < list.count; ++i) {
        const char *name = list.entries[i]->d_name;
        size_t size = std::strlen(dir) + 1 + std::strlen(name) + 1;
        OwnedText path(static_cast<char *>(std::malloc(size)));
        if (!path) {
            perror("malloc");
            return -1;
        }
        snprintf(path.get(), size, "%s/%s", dir, name);
        paths->push_back(std::move(path)); // room reserved above: does not throw
    }
    return 0;
}

int build_device_list(std::vector<OwnedText> *paths) {
    if (!paths->empty()) {
        return 0;
    }
    return scan_device_dir("/dev", paths);
}
