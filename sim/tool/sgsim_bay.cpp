// `sgsim bay`: a bay file made from a host's own listing (dl_cor_fw -i --enump --tmc 31847),
// one drive per listed node, whose drives list exactly as the host's did, so that a rollout
// can be rehearsed against a copy of the host. The listing is read with the run's own reader
// and the CFS file with the run's own loader and lookup.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "bay_file.h"
#include "cfs/cfs.h"
#include "listing/listing.h"
#include "sgsim_tool.h"

namespace {

using ordered_json = nlohmann::ordered_json;

constexpr int k_bay_failed = 1;
constexpr int k_bay_cut_short = 10; // as cfs_tool plan: the run that listed stopped at a device
constexpr int k_bay_not_whole = 11; // as cfs_tool plan: the listing ends before its run did

// The fields a drive holds its identity in: INQUIRY vendor, product and revision, IDENTIFY
// revision, and the answers to the firmware requests (text at bytes 0-39, dotted suffix at
// bytes 464-467; the dotted answer keeps four dot-separated fields of its text).
constexpr size_t k_vendor_len = 8;
constexpr size_t k_product_len = 16;
constexpr size_t k_inquiry_revision_len = 4;
constexpr size_t k_identify_revision_len = 8;
constexpr size_t k_fw_text_len = 40;
constexpr size_t k_dotted_suffix_len = 4;
constexpr size_t k_dotted_fields = 4;

// The bytes the run trims from a model number's ends and drops from a full revision.
constexpr const char *k_ata_whitespace = " \t\v\r\n";
constexpr std::string_view k_rev = "{rev}";

// A revision that only a rehearsal gave ends in this mark ('+' when it ends in '~' already).
constexpr char k_rehearsed_mark = '~';
constexpr char k_rehearsed_mark_again = '+';

struct ListedDrive {
    unsigned long line;
    ListingLine drive;
    int identity; // a ListingIdentity
};

// How a SATA drive answers so that it lists a full revision: the firmware requests it
// answers, its IDENTIFY revision, the answer text ("{rev}" where the revision stands), the
// dotted suffix, and the revision it moves to when it takes an image.
struct SataFirmware {
    FwreqAnswer fwreq = FwreqAnswer::ignore;
    std::string revision;
    std::string text;
    std::string suffix;
    std::string target;
};

bool holds_whitespace(std::string_view s) {
    return s.find_first_of(k_ata_whitespace) != std::string_view::npos;
}

size_t count_dots(std::string_view s) {
    return static_cast<size_t>(std::count(s.begin(), s.end(), '.'));
}

// The one place that reads the listing's lines. Returns 0 with the drives in out, or an exit
// status after its message: k_bay_not_whole when the listing does not hold all its run wrote,
// k_bay_cut_short when the run stopped at a device (the drives after it were never listed),
// k_bay_failed for a line that looks like a listing line but is not one (a bay without that
// drive would not be the host).
int read_listed_drives(const std::string &text, const std::string &name,
                       std::vector<ListedDrive> &out) {
    unsigned long line_no = 0;
    int whole = listing_wholeness(text, &line_no);
    if (whole != LISTING_WHOLE) {
        std::fprintf(stderr, "sgsim bay: %s: listing cut short: %s, so no bay is made\n",
                     name.c_str(), listing_missing_text(whole, line_no).c_str());
        return k_bay_not_whole;
    }
    line_no = 0;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = std::min(text.find('\n', pos), text.size());
        std::string_view line(text.data() + pos, end - pos);
        pos = end + 1;
        ++line_no;
        std::string device;
        if (parse_listing_stop_line(line, &device) != LISTING_NO_STOP) {
            std::fprintf(stderr,
                         "sgsim bay: %s:%lu: listing cut short at %s: the drives after it are "
                         "not listed, so no bay is made\n",
                         name.c_str(), line_no, device.c_str());
            return k_bay_cut_short;
        }
        ListedDrive d{line_no, {}, LISTING_NOT_ATA};
        if (parse_listing_line(line, &d.drive)) {
            d.identity = listing_identity(d.drive);
            out.push_back(d);
        } else if (line.find(" MN: ") != std::string_view::npos) {
            std::fprintf(stderr, "sgsim bay: %s:%lu: not a complete listing line\n", name.c_str(),
                         line_no);
            return k_bay_failed;
        }
    }
    return 0;
}

// The literal new revision that the CFS entry giving the drive its image names; empty when
// no entry gives it one (no match, up to date, a syntax error first) or when the entry's
// pattern is not a revision a drive can list (a '*' or '?', whitespace). Returns 0, or -1
// when memory ran out.
int cfs_next_revision(const char *cfs_text, const ListingLine &l, std::string *next) {
    CfsEntry e;
    if (cfs_lookup_entry(cfs_text, l.model.c_str(), l.firmware.c_str(), &e) != 0)
        return cfs_last_error() == CFS_ERR_NOMEM ? -1 : 0;
    if (e.new_fw_pattern != nullptr && std::strpbrk(e.new_fw_pattern, "*?") == nullptr &&
        !holds_whitespace(e.new_fw_pattern))
        *next = e.new_fw_pattern;
    cfs_free_entry(&e);
    return 0;
}

// The revision a drive moves to when no literal new revision is known: what it shows (up to
// a NUL) with the mark added, or in place of its last character when the field is full.
std::string rehearsed_revision(const std::string &revision, size_t field) {
    std::string shown = revision.substr(0, revision.find('\0'));
    if (shown.size() < field)
        return shown + k_rehearsed_mark;
    std::string marked = shown.substr(0, field - 1) + k_rehearsed_mark;
    if (marked == shown)
        marked.back() = k_rehearsed_mark_again;
    return marked;
}

// An INQUIRY field that the listing shows shorter than its width held NUL bytes there: the
// run prints it with "%s", and a blank would show.
std::string inquiry_field(const std::string &shown, size_t width) {
    std::string field = shown;
    if (field.size() < width)
        field.resize(width, '\0');
    return field;
}

// Where the IDENTIFY revision stands in an answer text, so that the text now (a) and after
// the update (b) differ only there: a shared head and tail with 1 to 8 characters between
// them in each. The head is as short as it can be, since a drive's IDENTIFY revision is as a
// rule the start of its full revision.
bool split_revision(const std::string &a, const std::string &b, size_t *head, size_t *tail) {
    size_t shorter = std::min(a.size(), b.size());
    if (shorter == 0)
        return false;
    size_t t = 0;
    while (t + 1 < shorter && a[a.size() - 1 - t] == b[b.size() - 1 - t])
        ++t;
    size_t same = 0;
    while (same < shorter - t && a[same] == b[same])
        ++same;
    size_t longer = std::max(a.size(), b.size()) - t;
    size_t h = longer > k_identify_revision_len ? longer - k_identify_revision_len : 0;
    if (h > same || h >= shorter - t)
        return false;
    *head = h;
    *tail = t;
    return true;
}

// Chooses the answers that make get_full_fw read `listed` back, and the revision the drive
// takes on with an image: `next` (empty: none known) when the answers can carry it, else a
// rehearsed one. Returns an empty text, or why no drive answers so.
std::string choose_sata_firmware(const std::string &listed, const std::string &next,
                                 SataFirmware *fw) {
    if (listed.size() <= k_identify_revision_len) {
        // IDENTIFY's revision alone, as from the many drives that ignore the requests.
        fw->revision = listed;
        fw->target = !next.empty() && next.size() <= k_identify_revision_len
                         ? next
                         : rehearsed_revision(listed, k_identify_revision_len);
        return "";
    }
    // The dotted answer gives up to four dot-separated fields, a dot and a suffix of up to
    // four characters: a revision of that form came from it, and so did a longer one.
    std::string text = listed;
    size_t dot = listed.rfind('.');
    if (dot != std::string::npos) {
        std::string fields = listed.substr(0, dot);
        std::string suffix = listed.substr(dot + 1);
        bool fits = !suffix.empty() && suffix.size() <= k_dotted_suffix_len &&
                    fields.size() <= k_fw_text_len && count_dots(fields) < k_dotted_fields;
        if (fits && (count_dots(fields) == k_dotted_fields - 1 || listed.size() > k_fw_text_len)) {
            fw->fwreq = FwreqAnswer::dotted;
            fw->suffix = suffix;
            text = fields;
        }
    }
    if (text.size() > k_fw_text_len)
        return "a firmware revision that no answer of a drive gives";
    if (fw->fwreq != FwreqAnswer::dotted)
        fw->fwreq = FwreqAnswer::plain;
    // The text after the update; the drive keeps its dotted suffix.
    std::string after;
    std::string kept = "." + fw->suffix;
    if (fw->fwreq == FwreqAnswer::plain)
        after = next;
    else if (next.size() > kept.size() && next.ends_with(kept))
        after = next.substr(0, next.size() - kept.size());
    if (after.size() > k_fw_text_len ||
        (fw->fwreq == FwreqAnswer::dotted && count_dots(after) >= k_dotted_fields))
        after.clear();
    size_t head = 0;
    size_t tail = 0;
    bool to_next = !after.empty() && split_revision(text, after, &head, &tail);
    if (!to_next)
        tail = text.size() > k_identify_revision_len ? text.size() - k_identify_revision_len : 0;
    std::string before = text.substr(0, head);
    std::string behind = text.substr(text.size() - tail);
    if (before.find(k_rev) != std::string::npos || behind.find(k_rev) != std::string::npos)
        return "a firmware revision holding \"{rev}\", which an answer text of a bay cannot";
    fw->revision = text.substr(head, text.size() - head - tail);
    fw->text = before + std::string(k_rev) + behind;
    fw->target = to_next ? after.substr(head, after.size() - head - tail)
                         : rehearsed_revision(fw->revision, k_identify_revision_len);
    return "";
}

ordered_json accept_any(const std::string &target) {
    return {{"mode", "accept-any"}, {"target", target}};
}

// A drive that is not ATA: the INQUIRY product is listed up to its first blank, so the listed
// model is all of it that can be known.
std::string make_scsi_drive(const ListingLine &l, ordered_json &d) {
    if (l.model.size() > k_product_len || l.model.find_first_of(" \t") != std::string::npos)
        return "a model number that is no INQUIRY product (16 characters, no blank)";
    if (l.firmware.size() > k_inquiry_revision_len)
        return "a firmware revision longer than the 4 characters of INQUIRY";
    std::string revision = inquiry_field(l.firmware, k_inquiry_revision_len);
    d["vendor"] = l.vendor;
    d["product"] = l.model;
    d["serial"] = l.serial;
    d["revision"] = revision;
    d["firmware"] = accept_any(inquiry_field(rehearsed_revision(revision, k_inquiry_revision_len),
                                             k_inquiry_revision_len));
    return "";
}

// An ATA drive. Its serial number is the listed one: the listing shows 8 characters of it.
std::string make_sata_drive(const ListedDrive &ld, const char *cfs_text, ordered_json &d) {
    const ListingLine &l = ld.drive;
    if (!l.model.empty() && (std::strchr(k_ata_whitespace, l.model.front()) != nullptr ||
                             std::strchr(k_ata_whitespace, l.model.back()) != nullptr))
        return "a model number with whitespace at an end, which the run trims";
    d["model"] = l.model;
    d["serial"] = l.serial;
    if (ld.identity == LISTING_INCOMPLETE) {
        // The INQUIRY revision stands in: the last four of the IDENTIFY revision's eight.
        if (l.firmware.size() > k_inquiry_revision_len)
            return "a firmware column with whitespace that is no 4-character INQUIRY revision";
        std::string revision = "    " + inquiry_field(l.firmware, k_inquiry_revision_len);
        d["revision"] = revision;
        // A SAT layer without ATA PASS-THROUGH, whose INQUIRY product stands in for the model;
        // a model that no product holds was read, and only the revision's request failed.
        if (l.model.size() <= k_product_len && l.model.find_first_of(" \t") == std::string::npos)
            d["ata_passthrough"] = false;
        else
            d["faults"] = ordered_json::array(
                {ordered_json{{"on", "identify"}, {"index", 2}, {"kind", "no_passthrough"}}});
        d["firmware"] = accept_any(rehearsed_revision(revision, k_identify_revision_len));
        return "";
    }
    std::string next;
    if (cfs_text != nullptr && cfs_next_revision(cfs_text, l, &next) != 0)
        return "memory ran out reading the CFS file";
    SataFirmware fw;
    std::string why = choose_sata_firmware(l.firmware, next, &fw);
    if (!why.empty())
        return why;
    d["revision"] = fw.revision;
    if (fw.fwreq != FwreqAnswer::ignore) {
        d["fwreq"] = fwreq_name(fw.fwreq);
        d["fwreq_text"] = fw.text;
        if (fw.fwreq == FwreqAnswer::dotted)
            d["fwreq_suffix"] = fw.suffix;
    }
    d["firmware"] = accept_any(fw.target);
    return "";
}

// The bay record of one listed drive. Returns an empty text, or why no drive lists the line.
// A SAT layer reports the vendor "ATA" and nothing else, so only such a line is a SATA drive;
// any other vendor is a SCSI drive that reports it, "ATAPI" too (the run takes a vendor that
// begins with "ATA" for an ATA drive, its IDENTIFY fails on the SCSI drive as on a real one,
// and the INQUIRY product and revision stand in, as the line shows them).
std::string make_drive(const ListedDrive &ld, const char *cfs_text, ordered_json &d) {
    const ListingLine &l = ld.drive;
    bool sata = ld.identity != LISTING_NOT_ATA && l.vendor == "ATA";
    d = {{"node", l.device}, {"type", sata ? "sata" : "scsi"}};
    if (l.device.empty() || l.device[0] != '/')
        return "a device path that is not absolute";
    if (l.vendor.size() > k_vendor_len)
        return "a vendor longer than the 8 characters of INQUIRY";
    if (!l.serial.empty() && l.serial[0] == ' ')
        return "a serial number that begins with a blank, which the run skips";
    std::string why = sata ? make_sata_drive(ld, cfs_text, d) : make_scsi_drive(l, d);
    if (!why.empty())
        return why;
    try {
        (void)d.dump();
    } catch (const nlohmann::json::exception &) {
        return "bytes that are not UTF-8, which a bay file cannot hold";
    }
    return "";
}

// The bay file of the listed drives, as text: one line per drive. Returns false after the
// message when a line cannot be made into a drive.
bool bay_text(const std::vector<ListedDrive> &drives, const char *cfs_text, const std::string &name,
              std::string &text) {
    std::string comment = ordered_json("made by sgsim bay from " + name)
                              .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    text = "{\n  \"comment\": " + comment + ",\n  \"drives\": [";
    for (const ListedDrive &ld : drives) {
        ordered_json d;
        std::string why = make_drive(ld, cfs_text, d);
        if (!why.empty()) {
            std::fprintf(stderr, "sgsim bay: %s:%lu: %s: %s\n", name.c_str(), ld.line,
                         ld.drive.device.c_str(), why.c_str());
            return false;
        }
        text += std::string(&ld == &drives.front() ? "\n    " : ",\n    ") + d.dump();
    }
    text += drives.empty() ? "]\n}\n" : "\n  ]\n}\n";
    // Read back as sgsim run reads it, so that nothing is written that it refuses.
    Bay bay;
    std::string err;
    if (!bay_from_json(nlohmann::json::parse(text), bay, err)) {
        std::fprintf(stderr, "sgsim bay: %s: %s\n", name.c_str(), err.c_str());
        return false;
    }
    return true;
}

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};

// Reads the whole of path ("-": standard input). Returns false when it cannot be read.
bool read_whole(const std::string &path, std::string &out) {
    std::unique_ptr<FILE, FileCloser> owned(path == "-" ? nullptr : std::fopen(path.c_str(), "rb"));
    FILE *f = path == "-" ? stdin : owned.get();
    if (f == nullptr)
        return false;
    char chunk[65536];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;)
        out.append(chunk, n);
    return !std::ferror(f);
}

struct CfsText {
    char *text = nullptr;
    CfsText() = default;
    CfsText(const CfsText &) = delete;
    CfsText &operator=(const CfsText &) = delete;
    ~CfsText() { std::free(text); }
};

// Writes the bay to out ("-": standard output) only when the whole of it is written.
bool write_bay_text(const std::string &out, const std::string &text) {
    if (out == "-")
        return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
               std::fflush(stdout) == 0;
    std::string tmp = out + ".tmp." + std::to_string(getpid());
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    f << text;
    f.close();
    if (!f || std::rename(tmp.c_str(), out.c_str()) != 0) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

} // namespace

int bay_main(int argc, char **argv) {
    std::string listing_path;
    std::string cfs_path;
    std::string out = "-";
    for (int i = 0; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--cfs" && i + 1 < argc) {
            cfs_path = argv[++i];
        } else if (a == "-o" && i + 1 < argc) {
            out = argv[++i];
        } else if (listing_path.empty() && (a == "-" || a[0] != '-')) {
            listing_path = a;
        } else {
            listing_path.clear();
            break;
        }
    }
    if (listing_path.empty()) {
        std::fprintf(stderr, "usage: sgsim bay LISTING [--cfs FILE] [-o OUT]\n");
        return k_bay_failed;
    }
    std::string name = listing_path == "-" ? "standard input" : listing_path;
    std::string listing;
    if (!read_whole(listing_path, listing)) {
        std::fprintf(stderr, "sgsim bay: %s: cannot be read\n", name.c_str());
        return k_bay_failed;
    }
    CfsText cfs;
    if (!cfs_path.empty() && (cfs.text = cfs_load(cfs_path.c_str())) == nullptr) {
        cfs_report_load_error(cfs_last_error(), cfs_path.c_str());
        return k_bay_failed;
    }
    std::vector<ListedDrive> drives;
    if (int status = read_listed_drives(listing, name, drives); status != 0)
        return status;

    std::string text;
    if (!bay_text(drives, cfs.text, name, text))
        return k_bay_failed;
    if (!write_bay_text(out, text)) {
        std::fprintf(stderr, "sgsim bay: %s: cannot be written\n",
                     out == "-" ? "standard output" : out.c_str());
        return k_bay_failed;
    }
    return 0;
}
