// Fuzzes cfs_load. The input is the decrypted content of a CFS file (a gzip member and a
// pad): it is encrypted and written to a file first, because mutated ciphertext would only
// ever decrypt to noise and never reach the pad rule or the inflater.
#include "cfs/cfs.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// The one file that every run rewrites; removed when the fuzzer exits.
const char *file_path() {
    static char path[] = "/tmp/fuzz_cfs_load_XXXXXX";
    static const bool made = [] {
        int fd = mkstemp(path);
        if (fd < 0) {
            abort();
        }
        close(fd);
        atexit([] { unlink(path); });
        return true;
    }();
    static_cast<void>(made);
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<unsigned char> file(data, data + size);
    if (cfs_encrypt_in_place(file.data(), file.size()) != 0) {
        return 0;
    }
    FILE *f = fopen(file_path(), "wb");
    if (f == nullptr) {
        abort();
    }
    if (!file.empty() && fwrite(file.data(), 1, file.size(), f) != file.size()) {
        abort();
    }
    fclose(f);

    size_t len = 0;
    char *text = cfs_load_with_length(file_path(), &len);
    int code = cfs_last_error();
    if (text == nullptr) {
        if (code != CFS_ERR_NOMEM && code != CFS_ERR_DECRYPT) {
            abort();
        }
        return 0;
    }
    if (code != CFS_OK || text[len] != '\0') {
        abort();
    }
    // What loads must also go through the lookup.
    free(cfs_lookup(text, "QX2000A", "A104"));
    cfs_last_error();
    free(text);
    return 0;
}
