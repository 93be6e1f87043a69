// cfs_tool check: reads every line of a CFS file's text, not only up to the first answer as a
// lookup does, and reports what a lookup would stop at, pass over or read otherwise than the
// line seems to say.
#include "base/holders.h"
#include "cfs/cfs.h"
#include "cfs/cfs_warnings.h"
#include "cfs_tool.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char *field_name(int field) {
    switch (field) {
    case 1:
        return "model pattern";
    case 2:
        return "old firmware pattern";
    case 3:
        return "image path";
    default:
        return "new firmware pattern";
    }
}

const char *entry_field(const CfsEntry &entry, int field) {
    switch (field) {
    case 1:
        return entry.model_pattern;
    case 2:
        return entry.old_fw_pattern;
    case 3:
        return entry.image_path;
    default:
        return entry.new_fw_pattern;
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

__attribute__((format(printf, 3, 4))) void warn(const char *cfs_path, unsigned long line,
                                                const char *fmt, ...) {
    fprintf(stderr, "%s:%lu: warning: ", cfs_path, line);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
}

// Where check looks for the image files: relative paths are taken from images_fd.
struct image_place {
    int images_fd = AT_FDCWD;
    const char *shown = "the current directory"; // how the note names it
    bool missing_relative = false;               // a relative path drew a warning
};

// Warns about an image path that cannot be opened as a regular file from the image
// directory. Returns true when it warned.
bool check_image(const char *cfs_path, unsigned long line, const char *image, image_place *place) {
    image_probe p = probe_image(place->images_fd, image);
    if (p.error == ENOENT || p.error == ENOTDIR) {
        warn(cfs_path, line, "image file not found: %s", image);
    } else if (p.error != 0) {
        warn(cfs_path, line, "image file %s: %s", image, strerror(p.error));
    } else if (!p.regular) {
        warn(cfs_path, line, "image path is not a regular file (%s): %s", p.kind, image);
    } else if (std::string refusal = run_refusal(p); !refusal.empty()) {
        warn(cfs_path, line, "image %s would be refused by dl_cor_fw: %s", image, refusal.c_str());
        return true;
    } else {
        return false;
    }
    place->missing_relative = place->missing_relative || image[0] != '/';
    return true;
}

// Writes the findings of cfs_entry_warnings about one entry. Returns how many there were.
size_t report_entry_warnings(const char *cfs_path, unsigned long line, const CfsEntry &entry) {
    std::vector<CfsWarning> found = cfs_entry_warnings(entry);
    for (const CfsWarning &w : found) {
        const char *name = field_name(w.field);
        const char *field = entry_field(entry, w.field);
        switch (w.kind) {
        case CFS_WARN_HASH_IN_FIELD:
            warn(cfs_path, line,
                 "'#' in the %s \"%s\" is part of the pattern, not a comment (close the field "
                 "with ';' before a comment)",
                 name, field);
            break;
        case CFS_WARN_MISSED_BY_MATCH:
            warn(cfs_path, line,
                 "%s \"%s\" does not match \"%s\", which a full wildcard match accepts: "
                 "dl_cor_fw does not backtrack after '*'",
                 name, field, w.example.c_str());
            break;
        case CFS_WARN_NEVER_GIVES_IMAGE:
            warn(cfs_path, line,
                 "entry never gives an image: a drive at \"%s\" is up to date by its %s \"%s\"",
                 field, field_name(4), entry.new_fw_pattern);
            break;
        case CFS_WARN_NEW_MATCHES_ALL:
            warn(cfs_path, line,
                 "entry never gives an image: its %s \"%s\" says every drive is up to date", name,
                 field);
            break;
        case CFS_WARN_EVERY_MODEL:
            warn(cfs_path, line,
                 "%s \"%s\" matches every model: the image %s is offered to every ATA drive at "
                 "a matching revision",
                 name, field, entry.image_path);
            break;
        default:
            warn(cfs_path, line,
                 "entry has no %s: it never says a drive is up to date, so a drive it updates "
                 "gets %s again on every run",
                 name, entry.image_path);
            break;
        }
    }
    return found.size();
}

// Reads every line of the CFS file and writes its findings. Returns the exit status: 0 when
// there is none, CFS_ERR_SYNTAX with a syntax error, k_exit_check_warnings with warnings
// alone, or the load's code after its message.
int check_cfs_file(const char *cfs_path, image_place *place) {
    size_t text_len = 0;
    char *text = cfs_load_with_length(cfs_path, &text_len);
    if (text == nullptr) {
        int code = cfs_last_error();
        cfs_report_load_error(code, cfs_path);
        return code;
    }
    bool syntax_error = false;
    size_t warnings = 0;
    std::vector<CfsEntryText> map; // the entries that give an image
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
            syntax_error = true;
            continue;
        }
        unsigned long line = scan.entry_line;
        for (int k = 1; k <= 3; ++k) {
            if (entry_field(entry, k) == nullptr) {
                warn(cfs_path, line, "entry ignored: no %s", field_name(k));
                ++warnings;
            }
        }
        warnings += report_entry_warnings(cfs_path, line, entry);
        if (entry.image_path != nullptr && check_image(cfs_path, line, entry.image_path, place)) {
            ++warnings;
        }
        if (entry.model_pattern != nullptr && entry.old_fw_pattern != nullptr &&
            entry.image_path != nullptr) {
            map.push_back({entry.model_pattern, entry.old_fw_pattern,
                           entry.new_fw_pattern != nullptr ? entry.new_fw_pattern : "", line});
        }
        cfs_free_entry(&entry);
    }
    for (auto [a, b] : cfs_ping_pong_pairs(map)) {
        warn(cfs_path, map[b].line,
             "entries on lines %lu and %lu hand a drive back and forth (\"%s\" to \"%s\" and "
             "back): a fleet flashes it again on every run",
             map[a].line, map[b].line, map[b].new_fw.c_str(), map[a].new_fw.c_str());
        ++warnings;
    }
    size_t read_len = strlen(text);
    if (read_len < text_len) {
        warn(cfs_path, line_of(text, read_len),
             "NUL byte: the text ends here for dl_cor_fw; the %zu bytes after it are never read",
             text_len - read_len - 1);
        ++warnings;
    }
    free(text);
    if (place->missing_relative) {
        fprintf(stderr,
                "%s: note: relative image paths were looked up in %s; dl_cor_fw opens them "
                "from the directory it runs in\n",
                cfs_path, place->shown);
    }
    if (syntax_error) {
        return CFS_ERR_SYNTAX;
    }
    return warnings > 0 ? k_exit_check_warnings : CFS_OK;
}

} // namespace

int run_check(int argc, char **argv) {
    const char *images = nullptr;
    const char *cfs_path = nullptr;
    int n_paths = 0;
    bool options_done = false;
    for (int i = 0; i < argc; ++i) {
        const char *a = argv[i];
        if (!options_done && strcmp(a, "--") == 0) {
            options_done = true;
        } else if (!options_done && strcmp(a, "--images") == 0) {
            if (i + 1 == argc) {
                return usage_error("option '%s' needs a value", a);
            }
            images = argv[++i];
        } else if (!options_done && strncmp(a, "--images=", 9) == 0) {
            images = a + 9;
        } else if (!options_done && a[0] == '-' && a[1] != '\0') {
            return usage_error("unknown option '%s'", a);
        } else if (n_paths++ == 0) {
            cfs_path = a;
        }
    }
    if (n_paths != 1) {
        return usage_error(
            n_paths == 0 ? "too few arguments for '%s'" : "too many arguments for '%s'", "check");
    }
    image_place place;
    UniqueFd images_dir;
    if (images != nullptr) {
        images_dir.reset(open(images, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!images_dir) {
            fprintf(stderr, "cfs_tool: %s: %s\n", images, strerror(errno));
            return k_exit_no_input;
        }
        place.images_fd = images_dir.get();
        place.shown = images;
    }
    return check_cfs_file(cfs_path, &place);
}
