// cfs_tool plan: what dl_cor_fw -c CFS would do to each drive of an identity listing, found
// with the loader and the lookup that the run itself uses, without touching a device.
#include "base/holders.h"
#include "cfs/cfs.h"
#include "cfs_tool.h"
#include "listing/listing.h"
#include "record/json_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <string_view>

namespace {

enum plan_action : int {
    PLAN_DOWNLOAD,
    PLAN_UP_TO_DATE,
    PLAN_NO_MATCH,
    PLAN_PASSED_OVER,
    PLAN_SYNTAX_ERROR,
    PLAN_NOT_REACHED,
    PLAN_LISTING_STOPPED, // the run that made the listing stopped at this device
};

// The plan for one listed drive.
struct drive_plan {
    unsigned long listing_line = 0;
    ListingLine drive;
    int identity = LISTING_NOT_ATA;
    int action = PLAN_PASSED_OVER;
    OwnedText image;            // PLAN_DOWNLOAD: the image path
    image_probe found;          // PLAN_DOWNLOAD: what is at the image path, from here
    std::string image_problem;  // PLAN_DOWNLOAD: why the run could not send it; empty: none
    unsigned long cfs_line = 0; // PLAN_SYNTAX_ERROR: the line of the text that ends the run
    int stop = LISTING_NO_STOP; // PLAN_LISTING_STOPPED: why the listing run stopped
};

const char *action_name(int action) {
    switch (action) {
    case PLAN_DOWNLOAD:
        return "download";
    case PLAN_UP_TO_DATE:
        return "up_to_date";
    case PLAN_NO_MATCH:
        return "no_match";
    case PLAN_PASSED_OVER:
        return "passed_over";
    case PLAN_SYNTAX_ERROR:
        return "syntax_error";
    case PLAN_NOT_REACHED:
        return "not_reached";
    default:
        return "listing_cut_short";
    }
}

const char *identity_name(int identity) {
    switch (identity) {
    case LISTING_COMPLETE:
        return "complete";
    case LISTING_INCOMPLETE:
        return "incomplete";
    default:
        return "not_ata";
    }
}

// The human-readable plan of a drive, as both output forms show it.
std::string plan_text(const drive_plan &p, const char *cfs_path) {
    switch (p.action) {
    case PLAN_DOWNLOAD:
        return std::string("download ") + p.image.get() + " (" +
               (p.image_problem.empty() ? "image present" : p.image_problem) + ")";
    case PLAN_UP_TO_DATE:
        return "up to date";
    case PLAN_NO_MATCH:
        return "no match";
    case PLAN_PASSED_OVER:
        return "passed over (not an ATA drive with a complete identity)";
    case PLAN_SYNTAX_ERROR:
        return "syntax error in " + std::string(cfs_path) + " line " + std::to_string(p.cfs_line) +
               ": the run ends here with status 1";
    case PLAN_NOT_REACHED:
        return "not reached (the run ends at the syntax error)";
    default:
        return std::string("the listing stops here: ") +
               (p.stop == LISTING_STOP_OPEN ? "dl_cor_fw could not open the device"
                                            : "the device did not answer INQUIRY") +
               ", and no drive after it is listed or planned";
    }
}

std::string plan_json(const drive_plan &p, const char *cfs_path) {
    std::string out = "{";
    append_json_integer(&out, "listing_line", static_cast<int64_t>(p.listing_line));
    append_json_text(&out, "device", p.drive.device);
    if (p.action == PLAN_LISTING_STOPPED) {
        // The run wrote no identity for the device it stopped at.
        for (const char *name : {"vendor", "model", "serial", "firmware", "identity"}) {
            append_json_null(&out, name);
        }
    } else {
        append_json_text(&out, "vendor", p.drive.vendor);
        append_json_text(&out, "model", p.drive.model);
        append_json_text(&out, "serial", p.drive.serial);
        append_json_text(&out, "firmware", p.drive.firmware);
        append_json_text(&out, "identity", identity_name(p.identity));
    }
    append_json_text(&out, "action", action_name(p.action));
    if (p.action == PLAN_DOWNLOAD) {
        append_json_text(&out, "image", p.image.get());
        append_json_bool(&out, "image_exists", p.found.regular);
    } else {
        append_json_null(&out, "image");
        append_json_null(&out, "image_exists");
    }
    if (!p.image_problem.empty()) {
        append_json_text(&out, "image_problem", p.image_problem);
    } else {
        append_json_null(&out, "image_problem");
    }
    if (p.action == PLAN_SYNTAX_ERROR) {
        append_json_integer(&out, "cfs_line", static_cast<int64_t>(p.cfs_line));
    } else {
        append_json_null(&out, "cfs_line");
    }
    append_json_text(&out, "plan", plan_text(p, cfs_path));
    out.append("}\n");
    return out;
}

// Why dl_cor_fw, started in the current directory, could not send the image at path to an
// ATA drive, as the plan shows it; empty when it could. Nothing is opened that can block.
std::string image_problem(const char *path, image_probe *found) {
    *found = probe_image(AT_FDCWD, path);
    if (found->error == ENOENT || found->error == ENOTDIR) {
        return "image missing";
    }
    if (found->error != 0) {
        return std::string("image not opened: ") + strerror(found->error);
    }
    if (!found->regular) {
        return std::string("image not a regular file: ") + found->kind;
    }
    std::string refusal = run_refusal(*found);
    return refusal.empty() ? "" : "the run would refuse the image: " + refusal;
}

// The line of the first syntax error in text: the one every lookup that reaches it stops
// at. Returns 0 when the scan finds none (or memory ran out before it).
unsigned long first_syntax_error_line(const char *text) {
    CfsScan scan = cfs_scan_start(text);
    for (;;) {
        CfsEntry entry;
        int r = cfs_scan_next(&scan, &entry);
        if (r == CFS_SCAN_SYNTAX) {
            return scan.entry_line;
        }
        if (r != CFS_SCAN_ENTRY) {
            return 0;
        }
        cfs_free_entry(&entry);
    }
}

// Reads the whole listing from path, or from standard input for "-". Returns 0, or -1 after
// its message.
int read_listing(const char *path, std::string *out) {
    FilePtr owned;
    FILE *f = stdin;
    if (strcmp(path, "-") != 0) {
        owned.reset(fopen(path, "rb"));
        f = owned.get();
        if (f == nullptr) {
            fprintf(stderr, "cfs_tool: %s: %s\n", path, strerror(errno));
            return -1;
        }
    }
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) {
        out->append(chunk, n);
    }
    if (ferror(f)) {
        fprintf(stderr, "cfs_tool: %s: %s\n", f == stdin ? "standard input" : path,
                strerror(errno));
        return -1;
    }
    return 0;
}

// Fills the plan of one drive the way the device run's CFS step decides. *reached turns
// false at a syntax error: the run ends there. Returns 0, or CFS_ERR_NOMEM after its
// message.
int plan_drive(const char *text, const char *cfs_path, bool *reached, drive_plan *p) {
    p->identity = listing_identity(p->drive);
    if (!*reached) {
        p->action = PLAN_NOT_REACHED;
        return 0;
    }
    if (p->identity != LISTING_COMPLETE) {
        p->action = PLAN_PASSED_OVER;
        return 0;
    }
    p->image.reset(cfs_lookup(text, p->drive.model.c_str(), p->drive.firmware.c_str()));
    int code = cfs_last_error();
    if (p->image) {
        p->action = PLAN_DOWNLOAD;
        p->image_problem = image_problem(p->image.get(), &p->found);
        return 0;
    }
    switch (code) {
    case CFS_UP_TO_DATE:
        p->action = PLAN_UP_TO_DATE;
        return 0;
    case CFS_NO_MATCH:
        p->action = PLAN_NO_MATCH;
        return 0;
    case CFS_ERR_SYNTAX:
        p->action = PLAN_SYNTAX_ERROR;
        p->cfs_line = first_syntax_error_line(text);
        *reached = false;
        return 0;
    default:
        cfs_report_lookup_error(code, cfs_path, p->drive.device.c_str());
        return CFS_ERR_NOMEM;
    }
}

// Refuses a listing that does not hold all that its run wrote: a plan of part of a host's
// drives would pass for the plan of the host. --json writes one listing_cut_short object
// without a device. Returns k_exit_listing_not_whole, or k_exit_io_error.
int refuse_listing(const char *listing_path, int whole, unsigned long lines, bool json) {
    std::string missing = listing_missing_text(whole, lines);
    if (json) {
        std::string out = "{";
        if (lines > 0) {
            append_json_integer(&out, "listing_line", static_cast<int64_t>(lines));
        } else {
            append_json_null(&out, "listing_line");
        }
        for (const char *name : {"device", "vendor", "model", "serial", "firmware", "identity"}) {
            append_json_null(&out, name);
        }
        append_json_text(&out, "action", action_name(PLAN_LISTING_STOPPED));
        for (const char *name : {"image", "image_exists", "image_problem", "cfs_line"}) {
            append_json_null(&out, name);
        }
        append_json_text(&out, "plan", "listing cut short: " + missing + "; nothing is planned");
        out.append("}\n");
        if (fwrite(out.data(), 1, out.size(), stdout) != out.size() || fflush(stdout) != 0) {
            fprintf(stderr, "cfs_tool: standard output: %s\n", strerror(errno));
            return k_exit_io_error;
        }
    }
    fprintf(stderr, "cfs_tool: %s: listing cut short: %s; nothing is planned\n", listing_path,
            missing.c_str());
    return k_exit_listing_not_whole;
}

// Plans every drive of the listing and writes the plans. Returns the exit status.
int plan_listing(const char *text, const char *cfs_path, const char *listing_path,
                 const std::string &listing, bool json) {
    unsigned long lines = 0;
    int whole = listing_wholeness(listing, &lines);
    if (whole != LISTING_WHOLE) {
        return refuse_listing(listing_path, whole, lines, json);
    }
    bool reached = true;
    bool any_missing = false;
    bool cut_short = false;
    unsigned long line_no = 0;
    size_t pos = 0;
    while (pos < listing.size()) {
        size_t end = listing.find('\n', pos);
        if (end == std::string::npos) {
            end = listing.size();
        }
        std::string_view line(listing.data() + pos, end - pos);
        pos = end + 1;
        ++line_no;
        drive_plan p;
        p.listing_line = line_no;
        p.stop = parse_listing_stop_line(line, &p.drive.device);
        if (p.stop != LISTING_NO_STOP) {
            // The run ended at this device: a plan of the drives before it is not the plan of
            // the host. The plans already written come out before the message.
            fflush(stdout);
            fprintf(stderr,
                    "cfs_tool: %s:%lu: listing cut short at %s: the drives after it are not "
                    "planned\n",
                    listing_path, line_no, p.drive.device.c_str());
            p.action = PLAN_LISTING_STOPPED;
            cut_short = true;
        } else if (parse_listing_line(line, &p.drive)) {
            int r = plan_drive(text, cfs_path, &reached, &p);
            if (r != 0) {
                return r;
            }
        } else {
            if (line.find(" MN: ") != std::string_view::npos) {
                fprintf(stderr,
                        "cfs_tool: %s:%lu: warning: not a complete listing line; "
                        "ignored\n",
                        listing_path, line_no);
            }
            continue;
        }
        any_missing = any_missing || (p.action == PLAN_DOWNLOAD && !p.image_problem.empty());
        std::string shown =
            json ? plan_json(p, cfs_path) : p.drive.device + ": " + plan_text(p, cfs_path) + "\n";
        if (fwrite(shown.data(), 1, shown.size(), stdout) != shown.size()) {
            break; // the error is reported below, from the stream's state
        }
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "cfs_tool: standard output: %s\n", strerror(errno));
        return k_exit_io_error;
    }
    if (!reached) {
        return CFS_ERR_SYNTAX;
    }
    if (cut_short) {
        return k_exit_listing_cut_short;
    }
    return any_missing ? k_exit_image_missing : CFS_OK;
}

} // namespace

int run_plan(int argc, char **argv) {
    bool json = false;
    const char *paths[2] = {nullptr, "-"};
    int n_paths = 0;
    bool options_done = false;
    for (int i = 0; i < argc; ++i) {
        const char *a = argv[i];
        if (!options_done && strcmp(a, "--") == 0) {
            options_done = true;
        } else if (!options_done && strcmp(a, "--json") == 0) {
            json = true;
        } else if (!options_done && a[0] == '-' && a[1] != '\0') {
            return usage_error("unknown option '%s'", a);
        } else if (n_paths == 2) {
            return usage_error("unexpected argument '%s'", a);
        } else {
            paths[n_paths++] = a;
        }
    }
    if (n_paths == 0) {
        return usage_error("%s", "plan needs CFS");
    }
    const char *cfs_path = paths[0];
    const char *listing_path = paths[1];
    // The plan reads the CFS file even where the run would not (a listing without an ATA
    // drive with a complete identity), so that a damaged file shows before any run.
    OwnedText text(cfs_load(cfs_path));
    if (!text) {
        int code = cfs_last_error();
        cfs_report_load_error(code, cfs_path);
        return code;
    }
    std::string listing;
    if (read_listing(listing_path, &listing) != 0) {
        return k_exit_no_input;
    }
    return plan_listing(text.get(), cfs_path,
                        strcmp(listing_path, "-") == 0 ? "standard input" : listing_path, listing,
                        json);
}
