// What the CFS module's own files share: the last-error code and the holders that release
// C library state on every path.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

// The module's last-error code (a CfsErrorCode), 0 when the program starts. Read and cleared
// through cfs_last_error.
extern int CfsError;

struct cfs_free_deleter {
    void operator()(void *p) const { free(p); }
};
template <typename T> using cfs_malloc_ptr = std::unique_ptr<T, cfs_free_deleter>;

struct cfs_file_closer {
    void operator()(FILE *f) const { fclose(f); }
};
using cfs_file_ptr = std::unique_ptr<FILE, cfs_file_closer>;

// Restores, when it goes out of scope, the errno that keep() saw. Declared before the other
// holders of a function, it is destroyed after them, so the releases that follow a failed
// allocation cannot replace the allocation's error, which the caller reports with perror.
struct cfs_errno_keeper {
    int saved = 0;
    bool armed = false;
    void keep() {
        saved = errno;
        armed = true;
    }
    cfs_errno_keeper() = default;
    cfs_errno_keeper(const cfs_errno_keeper &) = delete;
    cfs_errno_keeper &operator=(const cfs_errno_keeper &) = delete;
    ~cfs_errno_keeper() {
        if (armed) {
            errno = saved;
        }
    }
};
