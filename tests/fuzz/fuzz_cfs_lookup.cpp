// Fuzzes cfs_lookup and the entry scan. The input is the model number, a NUL, the firmware
// revision, a NUL and the configuration text.
#include "cfs/cfs.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t a = input.find('\0');
    size_t b = a == std::string::npos ? a : input.find('\0', a + 1);
    if (b == std::string::npos) {
        return 0;
    }
    std::string model = input.substr(0, a);
    std::string firmware = input.substr(a + 1, b - a - 1);
    std::string text = input.substr(b + 1);

    char *path = cfs_lookup(text.c_str(), model.c_str(), firmware.c_str());
    int code = cfs_last_error();
    if (path != nullptr) {
        // The path is a copy of a field of the text, blanks at its ends removed.
        size_t n = strlen(path);
        if (code != CFS_OK || n == 0 || strstr(text.c_str(), path) == nullptr || path[0] == ' ' ||
            path[0] == '\t' || path[n - 1] == ' ' || path[n - 1] == '\t') {
            abort();
        }
        free(path);
    } else if (code != CFS_ERR_SYNTAX && code != CFS_NO_MATCH && code != CFS_UP_TO_DATE &&
               code != CFS_ERR_NOMEM) {
        abort();
    }

    // The scan that cfs_tool check makes over every line.
    CfsScan scan = cfs_scan_start(text.c_str());
    for (;;) {
        CfsEntry entry;
        int r = cfs_scan_next(&scan, &entry);
        if (r == CFS_SCAN_END || r == CFS_SCAN_NOMEM) {
            break;
        }
        if (r == CFS_SCAN_SYNTAX && (scan.bad_field < 1 || scan.bad_field > 3)) {
            abort();
        }
        cfs_free_entry(&entry);
    }
    return 0;
}
