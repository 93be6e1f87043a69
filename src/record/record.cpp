#include "record/record.h"

#include "base/printable.h"
#include "record/json_writer.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void append_stamp(std::string *out, const char *kind, const RecordStamp &stamp, time_t t) {
    append_json_text(out, "record", kind);
    append_json_text(out, "time", utc_timestamp(t));
    append_json_text(out, "host", stamp.host);
    append_json_text(out, "tool_version", stamp.tool_version);
}

void append_optional_text(std::string *out, const char *name,
                          const std::optional<std::string> &value) {
    if (value) {
        append_json_text(out, name, *value);
    } else {
        append_json_null(out, name);
    }
}

// True for the decisions that send commands to the drive and have an outcome.
bool sends_commands(int decision) {
    return decision == DECISION_DOWNLOAD || decision == DECISION_ACTIVATE;
}

// The download members: null for every decision but a download or an activation, and each
// one null where the command did not get that far (an activation has no image).
void append_download(std::string *out, const DeviceRecord &r) {
    bool download = sends_commands(r.decision);
    auto text_or_null = [&](const char *name, const std::string &value) {
        if (download && !value.empty()) {
            append_json_text(out, name, value);
        } else {
            append_json_null(out, name);
        }
    };
    auto integer_or_null = [&](const char *name, int64_t value, bool known) {
        if (download && known) {
            append_json_integer(out, name, value);
        } else {
            append_json_null(out, name);
        }
    };
    text_or_null("image", r.image);
    integer_or_null("image_size", r.image_size, r.image_size >= 0);
    text_or_null("image_sha256", r.image_sha256);
    text_or_null("method", r.method);
    integer_or_null("segment_size", r.segment_size, !r.method.empty() && r.segment_size > 0);
    integer_or_null("commands_sent", r.commands_sent, true);
    integer_or_null("bytes_sent", static_cast<int64_t>(r.bytes_sent), true);
    if (download) {
        append_json_fixed(out, "seconds", r.seconds, 3);
    } else {
        append_json_null(out, "seconds");
    }
    text_or_null("outcome", download ? outcome_name(r.outcome) : "");
}

// A value of the audit message: bare when it is a plain word, else a JSON string.
void append_audit_value(std::string *out, const char *name, std::string_view value) {
    if (!out->empty()) {
        out->push_back(' ');
    }
    out->append(name).push_back('=');
    bool plain = !value.empty();
    for (char ch : value) {
        unsigned char c = static_cast<unsigned char>(ch);
        plain = plain && is_printable_ascii(c) && c != ' ' && c != '"' && c != '\\' && c != '=';
    }
    if (plain) {
        out->append(value);
    } else {
        append_json_string(out, value);
    }
}

// The reasons the host counts the drive as in use: an array of strings, or null.
void append_in_use(std::string *out, const std::optional<std::vector<std::string>> &in_use) {
    if (!in_use) {
        append_json_null(out, "in_use");
        return;
    }
    out->append(",\"in_use\":[");
    for (size_t i = 0; i < in_use->size(); ++i) {
        if (i > 0) {
            out->push_back(',');
        }
        append_json_string(out, (*in_use)[i]);
    }
    out->push_back(']');
}

} // namespace

const char *decision_name(int decision) {
    switch (decision) {
    case DECISION_LISTED:
        return "listed";
    case DECISION_SKIPPED_BY_MODEL:
        return "skipped_by_model";
    case DECISION_PASSED_OVER:
        return "passed_over";
    case DECISION_NO_MATCH:
        return "no_match";
    case DECISION_UP_TO_DATE:
        return "up_to_date";
    case DECISION_DOWNLOAD:
        return "download";
    case DECISION_NOT_IDENTIFIED:
        return "not_identified";
    case DECISION_ACTIVATE:
        return "activate";
    case DECISION_DUPLICATE:
        return "duplicate";
    default:
        return "run_ended";
    }
}

const char *outcome_name(int outcome) {
    switch (outcome) {
    case OUTCOME_UPDATED:
        return "updated";
    case OUTCOME_UNCHANGED:
        return "unchanged";
    case OUTCOME_PENDING:
        return "pending";
    case OUTCOME_UNVERIFIED:
        return "unverified";
    case OUTCOME_FAILED:
        return "failed";
    case OUTCOME_REFUSED:
        return "refused";
    case OUTCOME_LOST:
        return "lost";
    default:
        return "none";
    }
}

bool outcome_is_success(int outcome) {
    return outcome == OUTCOME_UPDATED || outcome == OUTCOME_PENDING ||
           outcome == OUTCOME_UNVERIFIED;
}

std::string utc_timestamp(time_t t) {
    struct tm utc;
    char text[32];
    if (gmtime_r(&t, &utc) == nullptr ||
        strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0) {
        return "1970-01-01T00:00:00Z";
    }
    return text;
}

std::string device_record_line(const RecordStamp &stamp, time_t t, const DeviceRecord &r) {
    std::string out = "{";
    append_stamp(&out, "device", stamp, t);
    append_json_text(&out, "device", r.device);
    if (r.identified) {
        append_json_text(&out, "vendor", r.vendor);
        append_json_text(&out, "model", r.model);
        append_json_text(&out, "serial", r.serial);
        append_optional_text(&out, "ata_serial", r.ata_serial);
        append_optional_text(&out, "wwn", r.wwn);
        append_json_text(&out, "revision_before", r.revision_before);
        append_json_bool(&out, "identity_complete", r.identity_complete);
    } else {
        for (const char *name : {"vendor", "model", "serial", "ata_serial", "wwn",
                                 "revision_before", "identity_complete"}) {
            append_json_null(&out, name);
        }
    }
    append_json_text(&out, "decision", decision_name(r.decision));
    append_download(&out, r);
    if (r.reason.empty()) {
        append_json_null(&out, "reason");
    } else {
        append_json_text(&out, "reason", r.reason);
    }
    // A revision is read again only after a download or an activation.
    append_optional_text(&out, "revision_after",
                         sends_commands(r.decision) ? r.revision_after : std::nullopt);
    append_in_use(&out, r.in_use);
    out.append("}\n");
    return out;
}

std::string run_record_line(const RecordStamp &stamp, time_t t, int devices, int exit_status) {
    std::string out = "{";
    append_stamp(&out, "run", stamp, t);
    append_json_integer(&out, "devices", devices);
    append_json_integer(&out, "exit_status", exit_status);
    out.append("}\n");
    return out;
}

std::string audit_message(const DeviceRecord &r) {
    std::string out;
    append_audit_value(&out, "device", r.device);
    append_audit_value(&out, "model", r.model);
    append_audit_value(&out, "serial", r.ata_serial ? *r.ata_serial : r.serial);
    if (r.wwn) {
        append_audit_value(&out, "wwn", *r.wwn);
    }
    // An activation sends no image; its method (0Fh) names it.
    if (r.decision != DECISION_ACTIVATE) {
        append_audit_value(&out, "image", r.image);
    }
    if (!r.image_sha256.empty()) {
        append_audit_value(&out, "sha256", r.image_sha256);
    }
    if (!r.method.empty()) {
        append_audit_value(&out, "method", r.method);
    }
    append_audit_value(&out, "revision_before", r.revision_before);
    if (r.revision_after) {
        append_audit_value(&out, "revision_after", *r.revision_after);
    }
    append_audit_value(&out, "outcome", outcome_name(r.outcome));
    if (!r.reason.empty()) {
        append_audit_value(&out, "reason", r.reason);
    }
    if (r.in_use && !r.in_use->empty()) {
        std::string joined;
        for (const std::string &why : *r.in_use) {
            joined += (joined.empty() ? "" : "; ") + why;
        }
        append_audit_value(&out, "in_use", joined);
    }
    return out;
}

int open_record_file(const char *path, std::string *why) {
    // Checked before the open as well as after it: opening a device node can act on it (a
    // tape rewinds), and a FIFO without a reader would block.
    struct stat st;
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        *why = "not a regular file";
        return -1;
    }
    // Read as well as written: the last byte of a file a crash left without its line end is
    // read before the next line.
    int flags = O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK;
    int fd = open(path, O_RDWR | flags, 0640);
    if (fd < 0 && errno == EACCES) {
        fd = open(path, O_WRONLY | flags, 0640);
    }
    if (fd < 0) {
        *why = strerror(errno);
        return -1;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        *why = "not a regular file";
        return -1;
    }
    return fd;
}

int append_record_line(int fd, const std::string &line) {
    // Runs that share the file take turns, so that the length read here is where this line
    // starts, and a line cut short can be taken back without touching another run's.
    flock(fd, LOCK_EX);
    struct stat st;
    int rc = fstat(fd, &st);
    off_t start = rc == 0 ? st.st_size : 0;
    std::string text;
    char last = '\n';
    if (rc == 0 && start > 0 && pread(fd, &last, 1, start - 1) == 1 && last != '\n') {
        text = "\n"; // the line end of a line a crash left unfinished
    }
    text += line;
    ssize_t n = rc == 0 ? write(fd, text.data(), text.size()) : -1;
    if (n != static_cast<ssize_t>(text.size())) {
        // A full disk or a file size limit cut the line: nothing of it stays, so that every
        // line of the file parses.
        int saved = n < 0 ? errno : ENOSPC;
        if (rc == 0 && ftruncate(fd, start) != 0) {
            saved = errno;
        }
        errno = saved;
        rc = -1;
    }
    int saved = errno;
    flock(fd, LOCK_UN);
    errno = saved;
    return rc;
}
