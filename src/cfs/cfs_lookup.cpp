// The configuration text of a CFS file: entry lines of four ';'-separated fields, comment
// lines, and the lookup of the image path for one drive.
#include "base/holders.h"
#include "cfs/cfs.h"
#include "cfs/cfs_internal.h"

#include <cstring>

namespace {

// Skipped before a line, so that blank lines vanish.
constexpr const char *k_skipped = " \t\v\r\n";
// The first of these ends a line.
constexpr const char *k_line_end = "\r\n";

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// Returns the first ';' or '#' in [pos, line_end), or line_end when there is none. The search
// stops at the line's end so that reading a long text stays linear.
const char *find_field_mark(const char *pos, const char *line_end) {
    while (pos < line_end && *pos != ';' && *pos != '#') {
        ++pos;
    }
    return pos;
}

// Copies [from, to) less its leading and trailing spaces and tabs into an exact-size block.
// Sets *field to the copy, or to nullptr when nothing is left (the field is absent). Returns
// 0, or -1 when memory ran out.
int copy_field(const char *from, const char *to, char **field) {
    while (from < to && is_blank(*from)) {
        ++from;
    }
    while (to > from && is_blank(to[-1])) {
        --to;
    }
    *field = nullptr;
    if (from == to) {
        return 0;
    }
    size_t len = static_cast<size_t>(to - from);
    char *copy = static_cast<char *>(malloc(len + 1));
    if (copy == nullptr) {
        return -1;
    }
    memcpy(copy, from, len);
    copy[len] = '\0';
    *field = copy;
    return 0;
}

// Reads the four fields of the entry line [pos, line_end). Returns CFS_SCAN_ENTRY,
// CFS_SCAN_SYNTAX (with bad_field and bad_field_hash set in *scan) or CFS_SCAN_NOMEM; on
// failure no field is left allocated.
int read_fields(const char *pos, const char *line_end, CfsScan *scan, CfsEntry *entry) {
    char **fields[4] = {&entry->model_pattern, &entry->old_fw_pattern, &entry->image_path,
                        &entry->new_fw_pattern};
    for (int k = 1; k <= 4; ++k) {
        const char *mark = find_field_mark(pos, line_end);
        const char *end;
        if (mark < line_end && *mark == ';') {
            end = mark;
        } else if (k < 4) {
            cfs_free_entry(entry);
            scan->bad_field = k;
            scan->bad_field_hash = mark < line_end;
            return CFS_SCAN_SYNTAX;
        } else {
            // A '#' after the start of field 4 does not end it: the field runs to the end of
            // the line, the '#' and what follows it included.
            end = line_end;
        }
        if (copy_field(pos, end, fields[k - 1]) != 0) {
            ErrnoKeeper errno_keeper;
            errno_keeper.keep();
            cfs_free_entry(entry);
            return CFS_SCAN_NOMEM;
        }
        pos = end + 1;
    }
    return CFS_SCAN_ENTRY;
}

} // namespace

CfsScan cfs_scan_start(const char *text) {
    CfsScan scan{};
    scan.pos = text;
    scan.line = 1;
    return scan;
}

void cfs_free_entry(CfsEntry *entry) {
    free(entry->model_pattern);
    free(entry->old_fw_pattern);
    free(entry->image_path);
    free(entry->new_fw_pattern);
    *entry = CfsEntry{};
}

int cfs_scan_next(CfsScan *scan, CfsEntry *entry) {
    *entry = CfsEntry{};
    const char *p = scan->pos;
    for (;;) {
        while (*p != '\0' && strchr(k_skipped, *p) != nullptr) {
            // LF, CR LF and a lone CR each end one line.
            if (*p == '\n' || (*p == '\r' && p[1] != '\n')) {
                ++scan->line;
            }
            ++p;
        }
        if (*p == '\0') {
            scan->pos = p;
            return CFS_SCAN_END;
        }
        if (*p != '#') {
            break;
        }
        p += strcspn(p, k_line_end);
    }
    const char *line_end = p + strcspn(p, k_line_end);
    scan->entry_line = scan->line;
    scan->pos = line_end;
    return read_fields(p, line_end, scan, entry);
}

int cfs_lookup_entry(const char *text, const char *model, const char *firmware, CfsEntry *entry) {
    *entry = CfsEntry{};
    if (text == nullptr) {
        return -1;
    }
    ErrnoKeeper errno_keeper; // destroyed last: see its comment
    CfsError = CFS_NO_MATCH;
    CfsScan scan = cfs_scan_start(text);
    for (;;) {
        CfsEntry candidate;
        int r = cfs_scan_next(&scan, &candidate);
        if (r == CFS_SCAN_END) {
            return -1;
        }
        if (r == CFS_SCAN_SYNTAX) {
            // Overrides an up-to-date answer of an earlier line.
            CfsError = CFS_ERR_SYNTAX;
            return -1;
        }
        if (r == CFS_SCAN_NOMEM) {
            errno_keeper.keep();
            CfsError = CFS_ERR_NOMEM;
            return -1;
        }
        // An entry without an old revision or an image is ignored, for up to date as well.
        // Absent patterns (nullptr) match nothing.
        if (candidate.old_fw_pattern != nullptr && candidate.image_path != nullptr &&
            wildcard_match(candidate.model_pattern, model)) {
            if (wildcard_match(candidate.new_fw_pattern, firmware)) {
                CfsError = CFS_UP_TO_DATE;
            } else if (wildcard_match(candidate.old_fw_pattern, firmware)) {
                *entry = candidate;
                CfsError = CFS_OK;
                return 0;
            }
        }
        cfs_free_entry(&candidate);
    }
}

char *cfs_lookup(const char *text, const char *model, const char *firmware) {
    CfsEntry entry;
    if (cfs_lookup_entry(text, model, firmware, &entry) != 0) {
        return nullptr;
    }
    // The field is already an exact-size copy of its own; it becomes the result.
    char *path = entry.image_path;
    entry.image_path = nullptr;
    cfs_free_entry(&entry);
    return path;
}

bool wildcard_match(const char *pattern, const char *subject) {
    if (pattern == nullptr || subject == nullptr) {
        return false;
    }
    const char *p = pattern;
    const char *s = subject;
    const char *restart = nullptr;
    for (;;) {
        if (*s == '\0') {
            while (*p == '*') {
                ++p;
            }
            return *p == '\0';
        }
        if (*p == '*') {
            while (*p == '*') {
                ++p;
            }
            if (*p == '\0') {
                return true;
            }
            restart = p;
        }
        if (*p == '?' || *p == *s) {
            ++p;
        } else if (restart == nullptr) {
            return false;
        } else if (*restart == *s) {
            // The subject is never re-read: only the character that failed is tried again,
            // against the restart point, and a '?' there stands only for itself.
            p = restart + 1;
        } else {
            p = restart;
        }
        ++s;
    }
}
