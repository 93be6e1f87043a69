// Findings about entry lines that the lookup reads without complaint but not as they read.
// Every judgement about a pattern is made by wildcard_match itself, the matcher the run uses.
#include "cfs/cfs_warnings.h"

#include <cstring>

namespace {

// The pattern with each '*' written as nothing and each '?' as filler: a text that the
// pattern, read as a full wildcard match, accepts.
std::string written_out(const char *from, const char *to, char filler) {
    std::string text;
    for (const char *p = from; p < to; ++p) {
        if (*p != '*') {
            text.push_back(*p == '?' ? filler : *p);
        }
    }
    return text;
}

// A character for '?' that the pattern does not hold, so that it cannot complete a literal
// by accident.
char filler_for(const char *pattern) {
    for (const char *c = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"; *c != '\0'; ++c) {
        if (strchr(pattern, *c) == nullptr) {
            return *c;
        }
    }
    return '0';
}

bool has_wildcard(const char *pattern) {
    return strpbrk(pattern, "*?") != nullptr;
}

// True for a pattern of '*' characters alone: it matches every text.
bool only_stars(const char *pattern) {
    return pattern[0] != '\0' && strspn(pattern, "*") == strlen(pattern);
}

} // namespace

// After a run of '*', wildcard_match keeps one restart point: the first character after the
// run. On a mismatch it tries the failed subject character against that point alone (by
// plain equality, so a '?' there takes only a '?'), and never goes back to the characters it
// had matched since the restart. A full match of the segment S after the run (up to the next
// '*' or the end) that starts among those characters, or at the failed one when S begins
// with '?', is therefore missed. For each shift j at which S could start again (S[j] equals
// S[0] or one of them is '?'; j = |S| too when S begins with '?'), the text tried is the
// pattern written out with the first j characters of S put in front of S: the run of '*'
// takes those j characters in a full match, so it always accepts the text, and the text is
// an example when wildcard_match refuses it. Over every pattern of up to seven characters
// from "0A?*" and every text of up to nine from "0A1", this finds a text wherever the two
// readings differ (the unit tests repeat a smaller sweep).
bool cfs_text_missed_by_match(const char *pattern, std::string *text) {
    size_t len = strlen(pattern);
    if (len > k_cfs_warn_max_pattern) {
        return false;
    }
    char filler = filler_for(pattern);
    const char *end = pattern + len;
    for (const char *seg = pattern + 1; seg < end; ++seg) {
        if (seg[-1] != '*' || *seg == '*') {
            continue;
        }
        const char *seg_end = strchr(seg, '*');
        if (seg_end == nullptr) {
            seg_end = end;
        }
        size_t seg_len = static_cast<size_t>(seg_end - seg);
        for (size_t j = 1; j <= seg_len; ++j) {
            bool restarts = seg[0] == '?' || (j < seg_len && (seg[j] == seg[0] || seg[j] == '?'));
            if (!restarts) {
                continue;
            }
            std::string tried = written_out(pattern, seg, filler) +
                                written_out(seg, seg + j, filler) + written_out(seg, end, filler);
            if (!wildcard_match(pattern, tried.c_str())) {
                *text = std::move(tried);
                return true;
            }
        }
    }
    return false;
}

std::vector<CfsWarning> cfs_entry_warnings(const CfsEntry &entry) {
    const char *const fields[4] = {entry.model_pattern, entry.old_fw_pattern, entry.image_path,
                                   entry.new_fw_pattern};
    std::vector<CfsWarning> found;
    bool gives_image = entry.old_fw_pattern != nullptr && entry.image_path != nullptr;
    for (int k = 1; k <= 4; ++k) {
        const char *field = fields[k - 1];
        if (field == nullptr) {
            continue;
        }
        // Only field 4 can hold one: in fields 1 to 3 a '#' before the ';' is a syntax error.
        if (strchr(field, '#') != nullptr) {
            found.push_back({CFS_WARN_HASH_IN_FIELD, k, ""});
        }
        std::string example;
        if (k != 3 && cfs_text_missed_by_match(field, &example)) {
            found.push_back({CFS_WARN_MISSED_BY_MATCH, k, std::move(example)});
        }
    }
    if (!gives_image) {
        return found;
    }
    if (entry.model_pattern != nullptr && only_stars(entry.model_pattern)) {
        found.push_back({CFS_WARN_EVERY_MODEL, 1, ""});
    }
    // The lookup asks the new-revision pattern first: a drive at this revision is up to date
    // by the entry and never gets its image.
    if (entry.new_fw_pattern != nullptr && only_stars(entry.new_fw_pattern)) {
        found.push_back({CFS_WARN_NEW_MATCHES_ALL, 4, ""});
    } else if (!has_wildcard(entry.old_fw_pattern) &&
               wildcard_match(entry.new_fw_pattern, entry.old_fw_pattern)) {
        found.push_back({CFS_WARN_NEVER_GIVES_IMAGE, 2, ""});
    }
    if (entry.new_fw_pattern == nullptr) {
        found.push_back({CFS_WARN_NO_NEW_PATTERN, 4, ""});
    }
    return found;
}

std::vector<std::pair<size_t, size_t>> cfs_ping_pong_pairs(const std::vector<CfsEntryText> &map) {
    std::vector<std::pair<size_t, size_t>> pairs;
    // A's drive, once updated, is at A's literal new revision; B takes it back when its model
    // and old revision match and its own new revision does not already say up to date, and
    // the same holds the other way round.
    auto hands_on = [](const CfsEntryText &a, const CfsEntryText &b) {
        return !a.new_fw.empty() && !has_wildcard(a.new_fw.c_str()) &&
               (wildcard_match(a.model.c_str(), b.model.c_str()) ||
                wildcard_match(b.model.c_str(), a.model.c_str())) &&
               wildcard_match(b.old_fw.c_str(), a.new_fw.c_str()) &&
               !wildcard_match(b.new_fw.c_str(), a.new_fw.c_str());
    };
    for (size_t i = 0; i < map.size(); ++i) {
        for (size_t j = i + 1; j < map.size(); ++j) {
            if (hands_on(map[i], map[j]) && hands_on(map[j], map[i])) {
                pairs.emplace_back(i, j);
            }
        }
    }
    return pairs;
}
