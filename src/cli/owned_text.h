// Owned texts: heap blocks from malloc, released with free when their holder goes.
#pragma once

#include <cstdlib>
#include <cstring>
#include <memory>

struct FreeDeleter {
    void operator()(void *p) const noexcept { std::free(p); }
};

// A NUL-terminated text on the heap, or nothing (an absent value).
using OwnedText = std::unique_ptr<char, FreeDeleter>;

// Copies text into a new heap block. Returns the holder, empty when malloc fails (errno set).
inline OwnedText copy_text(const char *text) {
    size_t size = std::strlen(text) + 1;
    char *copy = static_cast<char *>(std::malloc(size));
    if (copy != nullptr) {
        std::memcpy(copy, text, size);
    }
    return OwnedText(copy);
}
