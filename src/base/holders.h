// RAII holders of C library resources: a descriptor, a stdio stream, a malloc'd block, and a
// keeper of errno across the releases that follow a failure.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>

// A move-only descriptor, closed when its holder goes. No implicit conversion to int; close
// keeps errno, so a failure reported after it names the call that failed.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        reset(other.release());
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Gives up the descriptor without closing it.
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            int saved = errno;
            ::close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

struct FreeDeleter {
    void operator()(void *p) const noexcept { std::free(p); }
};
struct FileCloser {
    void operator()(FILE *f) const noexcept { std::fclose(f); }
};

// A block from malloc, released with free.
template <typename T> using MallocPtr = std::unique_ptr<T, FreeDeleter>;
// A stdio stream, closed with fclose.
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// A NUL-terminated text on the heap, or nothing (an absent value).
using OwnedText = MallocPtr<char>;

// Copies text into a new heap block. Returns the holder, empty when malloc fails (errno set).
inline OwnedText copy_text(const char *text) {
    size_t size = std::strlen(text) + 1;
    char *copy = static_cast<char *>(std::malloc(size));
    if (copy != nullptr) {
        std::memcpy(copy, text, size);
    }
    return OwnedText(copy);
}

// Restores, when it goes out of scope, the errno that keep() saw. Declared before the other
// holders of a function, it is destroyed after them, so the releases that follow a failed
// allocation cannot replace the allocation's error, which the caller reports with perror.
class ErrnoKeeper {
  public:
    ErrnoKeeper() = default;
    ErrnoKeeper(const ErrnoKeeper &) = delete;
    ErrnoKeeper &operator=(const ErrnoKeeper &) = delete;
    ~ErrnoKeeper() {
        if (armed_) {
            errno = saved_;
        }
    }
    void keep() {
        saved_ = errno;
        armed_ = true;
    }

  private:
    int saved_ = 0;
    bool armed_ = false;
};
