// Fuzzes wildcard_match. The input is the pattern, a NUL and the subject.
#include "cfs/cfs.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t nul = input.find('\0');
    if (nul == std::string::npos) {
        return 0;
    }
    std::string pattern = input.substr(0, nul);
    std::string subject = input.substr(nul + 1);
    bool m = wildcard_match(pattern.c_str(), subject.c_str());
    // A pattern without wildcards matches exactly itself, and "*" matches everything.
    if (pattern.find_first_of("*?") == std::string::npos && m != (pattern == subject.c_str())) {
        abort();
    }
    if (!wildcard_match("*", subject.c_str())) {
        abort();
    }
    return 0;
}
