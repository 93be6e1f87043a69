// cfs_tool check: reads every line of a CFS file's text, not only up to the first answer as a
// lookup does, and reports what a lookup would stop at or pass over.
#include "cfs/cfs.h"
#include "cfs_tool.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace {

const char *field_name(int field) {
    switch (field) {
    case 1:
        return "model pattern";
    case 2:
        return "old firmware pattern";
    default:
        return "image path";
    }
}

// Returns the number of the line on which byte offset `at` of text lies, counting LF, CR LF
// and a lone CR as one line break each.
unsigned long line_of(const char *text, size_t at) {
    unsigned long line = 1;
    for (size_t i = 0; i < at; ++i) {
        if (text[i] == '\n' || (text[i] == '\r' && text[i + 1] != '\n')) {
            ++line;
        }
    }
    return line;
}

void warn(const char *cfs_path, unsigned long line, const char *what, const char *detail) {
    fprintf(stderr, "%s:%lu: warning: %s%s\n", cfs_path, line, what, detail);
}

// Warns about an image path that the driver could not open from the current directory.
void check_image(const char *cfs_path, unsigned long line, const char *image) {
    struct stat st;
    if (stat(image, &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            warn(cfs_path, line, "image file not found: ", image);
        } else {
            fprintf(stderr, "%s:%lu: warning: image file %s: %s\n", cfs_path, line, image,
                    strerror(errno));
        }
    } else if (S_ISDIR(st.st_mode)) {
        warn(cfs_path, line, "image path is a directory: ", image);
    }
}

} // namespace

int check_cfs_file(const char *cfs_path) {
    size_t text_len = 0;
    char *text = cfs_load_with_length(cfs_path, &text_len);
    if (text == nullptr) {
        int code = cfs_last_error();
        cfs_report_load_error(code, cfs_path);
        return code;
    }
    int status = CFS_OK;
    CfsScan scan = cfs_scan_start(text);
    for (;;) {
        CfsEntry entry;
        int r = cfs_scan_next(&scan, &entry);
        if (r == CFS_SCAN_END) {
            break;
        }
        if (r == CFS_SCAN_NOMEM) {
            cfs_report_lookup_error(CFS_ERR_NOMEM, cfs_path, "-");
            free(text);
            return CFS_ERR_NOMEM;
        }
        if (r == CFS_SCAN_SYNTAX) {
            fprintf(stderr, "%s:%lu: syntax error: %s (field %d) is not closed by ';' before %s\n",
                    cfs_path, scan.entry_line, field_name(scan.bad_field), scan.bad_field,
                    scan.bad_field_hash ? "'#'" : "the end of the line");
            status = CFS_ERR_SYNTAX;
            continue;
        }
        unsigned long line = scan.entry_line;
        if (entry.model_pattern == nullptr) {
            warn(cfs_path, line, "entry ignored: ", "no model pattern");
        }
        if (entry.old_fw_pattern == nullptr) {
            warn(cfs_path, line, "entry ignored: ", "no old firmware pattern");
        }
        if (entry.image_path == nullptr) {
            warn(cfs_path, line, "entry ignored: ", "no image path");
        } else {
            check_image(cfs_path, line, entry.image_path);
        }
        cfs_free_entry(&entry);
    }
    size_t read_len = strlen(text);
    if (read_len < text_len) {
        fprintf(stderr,
                "%s:%lu: warning: NUL byte: the text ends here for dl_cor_fw; the %zu "
                "bytes after it are never read\n",
                cfs_path, line_of(text, read_len), text_len - read_len - 1);
    }
    free(text);
    return status;
}
