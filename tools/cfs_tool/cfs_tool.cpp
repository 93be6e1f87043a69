// cfs_tool: the companion of dl_cor_fw -c. It makes CFS files from configuration texts and
// reads, checks and queries them with the same loader and lookup that dl_cor_fw runs.
#include "cfs_tool.h"
#include "base/holders.h"
#include "cfs/cfs.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *const k_usage =
    "Usage: cfs_tool pack [--pad N] TEXT OUT\n"
    "       cfs_tool unpack CFS\n"
    "       cfs_tool check [--images DIR] CFS\n"
    "       cfs_tool lookup CFS MODEL FIRMWARE\n"
    "       cfs_tool plan [--json] CFS [LISTING]\n"
    "       cfs_tool --help | --version\n"
    "\n"
    "  pack    compress TEXT (a path, or - for standard input) and encrypt it into the\n"
    "          CFS file OUT, written atomically; --pad N appends N pad bytes (1 to 255,\n"
    "          default 8)\n"
    "  unpack  write the configuration text of CFS to standard output\n"
    "  check   read every line of CFS; report syntax errors, ignored entries, lines that\n"
    "          do not read as they seem, and image files missing from DIR (default: the\n"
    "          current directory)\n"
    "  lookup  print the image path that dl_cor_fw -c CFS picks for a drive of that model\n"
    "          number and firmware revision\n"
    "  plan    read the identity listing of dl_cor_fw -i --enump --tmc 31847 from LISTING\n"
    "          (or standard input) and print what dl_cor_fw -c CFS would do to each drive;\n"
    "          --json prints one JSON object per drive\n"
    "\n"
    "Exit status: 0 success, 1 CFS file not opened, 2 out of memory, 3 CFS file not read,\n"
    "4 CFS file not decrypted, 5 syntax error, 6 no matching entry, 7 up to date,\n"
    "8 image missing or unusable (plan), 9 warnings (check), 10 listing cut short\n"
    "(plan), 11 listing not whole (plan), 64 usage error, 66 TEXT, LISTING or DIR not\n"
    "read, 73 OUT not created, 74 write error.\n";

// Reads the whole stream into *out. Returns 0, or -1 with errno set.
int read_stream(FILE *f, std::string *out) {
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) {
        out->append(chunk, n);
    }
    return ferror(f) ? -1 : 0;
}

// Reads the text to pack from path, or from standard input for "-". Returns 0, or -1 after
// its message.
int read_text(const char *path, std::string *text) {
    if (strcmp(path, "-") == 0) {
        if (read_stream(stdin, text) == 0) {
            return 0;
        }
        fprintf(stderr, "cfs_tool: standard input: %s\n", strerror(errno));
        return -1;
    }
    FILE *f = fopen(path, "rb");
    if (f == nullptr) {
        fprintf(stderr, "cfs_tool: %s: %s\n", path, strerror(errno));
        return -1;
    }
    int r = read_stream(f, text);
    int saved = errno;
    fclose(f);
    if (r != 0) {
        fprintf(stderr, "cfs_tool: %s: %s\n", path, strerror(saved));
    }
    return r;
}

// Writes all of buf to fd. Returns 0, or -1 with errno set.
int write_all(int fd, const unsigned char *buf, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, buf, len);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

// Writes the file out_path atomically: a temporary file beside it, filled, synced and renamed
// over it, so that a reader sees the old file or the whole new one. Returns 0 or an exit
// status after its message.
int write_atomically(const char *out_path, const unsigned char *buf, size_t len) {
    std::string tmp = std::string(out_path) + ".XXXXXX";
    UniqueFd out(mkstemp(tmp.data()));
    if (!out) {
        fprintf(stderr, "cfs_tool: %s: %s\n", out_path, strerror(errno));
        return k_exit_cant_create;
    }
    // mkstemp makes the file private; give it the mode a plain creation would.
    mode_t mask = umask(0);
    umask(mask);
    int r = fchmod(out.get(), 0666 & ~mask);
    if (r == 0) {
        r = write_all(out.get(), buf, len);
    }
    if (r == 0) {
        r = fsync(out.get());
    }
    if (r == 0) {
        r = close(out.release()); // its result is the write's last word
    }
    if (r == 0) {
        r = rename(tmp.c_str(), out_path);
    }
    if (r != 0) {
        int saved = errno;
        unlink(tmp.c_str());
        fprintf(stderr, "cfs_tool: %s: %s\n", out_path, strerror(saved));
        return k_exit_io_error;
    }
    return 0;
}

// Parses the --pad value: a decimal number from 1 to 255. Returns it, or 0 when it is none.
unsigned parse_pad(const char *s) {
    if (*s < '0' || *s > '9') {
        return 0;
    }
    errno = 0;
    char *end = nullptr;
    unsigned long v = strtoul(s, &end, 10);
    if (errno != 0 || *end != '\0' || v < 1 || v > k_cfs_max_pad) {
        return 0;
    }
    return static_cast<unsigned>(v);
}

int run_pack(int argc, char **argv) {
    unsigned pad = k_cfs_default_pad;
    const char *paths[2];
    int n_paths = 0;
    bool options_done = false;
    for (int i = 0; i < argc; ++i) {
        const char *a = argv[i];
        const char *pad_arg = nullptr;
        if (!options_done && strcmp(a, "--") == 0) {
            options_done = true;
            continue;
        }
        if (!options_done && strcmp(a, "--pad") == 0) {
            if (i + 1 == argc) {
                return usage_error("option '%s' needs a value", a);
            }
            pad_arg = argv[++i];
        } else if (!options_done && strncmp(a, "--pad=", 6) == 0) {
            pad_arg = a + 6;
        } else if (!options_done && a[0] == '-' && a[1] != '\0') {
            return usage_error("unknown option '%s'", a);
        } else {
            if (n_paths == 2) {
                return usage_error("unexpected argument '%s'", a);
            }
            paths[n_paths++] = a;
            continue;
        }
        pad = parse_pad(pad_arg);
        if (pad == 0) {
            return usage_error("--pad takes a number from 1 to 255, not '%s'", pad_arg);
        }
    }
    if (n_paths != 2) {
        return usage_error("%s", "pack needs TEXT and OUT");
    }
    std::string text;
    if (read_text(paths[0], &text) != 0) {
        return k_exit_no_input;
    }
    size_t len = 0;
    unsigned char *packed = cfs_pack(text.data(), text.size(), pad, &len);
    if (packed == nullptr) {
        if (errno == ENOMEM) {
            perror(nullptr);
            return CFS_ERR_NOMEM;
        }
        fprintf(stderr, "cfs_tool: %s: %s\n", paths[0], strerror(errno));
        return k_exit_no_input;
    }
    int status = write_atomically(paths[1], packed, len);
    free(packed);
    return status;
}

int run_unpack(const char *cfs_path) {
    size_t len = 0;
    char *text = cfs_load_with_length(cfs_path, &len);
    if (text == nullptr) {
        int code = cfs_last_error();
        cfs_report_load_error(code, cfs_path);
        return code;
    }
    bool ok = fwrite(text, 1, len, stdout) == len;
    ok = fflush(stdout) == 0 && ok;
    free(text);
    if (!ok) {
        fprintf(stderr, "cfs_tool: standard output: %s\n", strerror(errno));
        return k_exit_io_error;
    }
    return CFS_OK;
}

int run_lookup(const char *cfs_path, const char *model, const char *firmware) {
    char *text = cfs_load(cfs_path);
    if (text == nullptr) {
        int code = cfs_last_error();
        cfs_report_load_error(code, cfs_path);
        return code;
    }
    char *image = cfs_lookup(text, model, firmware);
    int code = cfs_last_error();
    free(text);
    if (image == nullptr) {
        cfs_report_lookup_error(code, cfs_path, model);
        return code;
    }
    bool ok = printf("%s\n", image) >= 0;
    ok = fflush(stdout) == 0 && ok;
    free(image);
    if (!ok) {
        fprintf(stderr, "cfs_tool: standard output: %s\n", strerror(errno));
        return k_exit_io_error;
    }
    return CFS_OK;
}

// Checks that the subcommand got exactly `want` arguments. Returns 0 or the usage status.
int expect_args(const char *command, int argc, int want) {
    if (argc == want) {
        return 0;
    }
    return usage_error(argc < want ? "too few arguments for '%s'" : "too many arguments for '%s'",
                       command);
}

} // namespace

int usage_error(const char *fmt, const char *arg) {
    fputs("cfs_tool: ", stderr);
    fprintf(stderr, fmt, arg);
    fputs("\nTry 'cfs_tool --help' for more information.\n", stderr);
    return k_exit_usage;
}

int main(int argc, char **argv) {
    if (argc < 2) {
        fputs(k_usage, stderr);
        return k_exit_usage;
    }
    const char *command = argv[1];
    int n = argc - 2;
    char **args = argv + 2;
    if (strcmp(command, "--help") == 0 || strcmp(command, "-h") == 0 ||
        strcmp(command, "help") == 0) {
        fputs(k_usage, stdout);
        return 0;
    }
    if (strcmp(command, "--version") == 0) {
        printf("cfs_tool (dl_cor_fw) %s\n", CFS_TOOL_VERSION);
        return 0;
    }
    if (strcmp(command, "pack") == 0) {
        return run_pack(n, args);
    }
    if (strcmp(command, "plan") == 0) {
        return run_plan(n, args);
    }
    if (strcmp(command, "check") == 0) {
        return run_check(n, args);
    }
    int status;
    if (strcmp(command, "unpack") == 0) {
        status = expect_args(command, n, 1);
        return status != 0 ? status : run_unpack(args[0]);
    }
    if (strcmp(command, "lookup") == 0) {
        status = expect_args(command, n, 3);
        return status != 0 ? status : run_lookup(args[0], args[1], args[2]);
    }
    return usage_error("unknown command '%s'", command);
}
