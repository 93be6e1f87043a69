// Entry lines that are valid but do not do what their author most likely meant: found with
// the run's own matcher, for cfs_tool check. Nothing here changes what a lookup does.
#pragma once

#include "cfs/cfs.h"

#include <string>
#include <utility>
#include <vector>

enum CfsWarningKind : int {
    CFS_WARN_HASH_IN_FIELD = 1,     // a '#' inside a field: part of the field, not a comment
    CFS_WARN_MISSED_BY_MATCH = 2,   // the pattern refuses a text that a full wildcard match takes
    CFS_WARN_NEVER_GIVES_IMAGE = 3, // the literal old revision is up to date by its own entry
    CFS_WARN_NO_NEW_PATTERN = 4,    // no new revision: an updated drive is flashed again and again
    CFS_WARN_EVERY_MODEL = 5,       // a model pattern of '*' alone: the image goes to every model
    CFS_WARN_NEW_MATCHES_ALL = 6,   // a new revision of '*' alone: every drive is up to date
};

// One finding about one field of an entry.
struct CfsWarning {
    int kind;            // a CfsWarningKind
    int field;           // the field (1 to 4) the finding is about
    std::string example; // CFS_WARN_MISSED_BY_MATCH: a text the pattern does not match
};

// Looks for a text that a full (backtracking) wildcard match of pattern accepts and
// wildcard_match refuses. Returns true and stores one such text in *text, or false when the
// search finds none: then the two readings of the pattern agree. Patterns longer than
// k_cfs_warn_max_pattern are not searched (false).
bool cfs_text_missed_by_match(const char *pattern, std::string *text);

// The longest pattern cfs_text_missed_by_match searches: the search takes time that grows
// with the square of the length, and no model number or revision comes near it.
inline constexpr size_t k_cfs_warn_max_pattern = 1024;

// Returns the findings about one entry that gives an image (its old revision and image path
// present), in field order: a '#' in any field; each pattern (fields 1, 2 and 4) that refuses
// a text a full wildcard match accepts; a model pattern of '*' alone, which offers one
// model's image to every ATA drive; an entry that never gives its image (its new-revision
// pattern is '*' alone, or matches its literal old revision); an entry without a
// new-revision pattern, which never says a drive is up to date, so that a drive it updated
// gets the image again on every run.
std::vector<CfsWarning> cfs_entry_warnings(const CfsEntry &entry);

// The text of one entry of a map, and the line it is on.
struct CfsEntryText {
    std::string model;
    std::string old_fw;
    std::string new_fw; // empty: none
    unsigned long line;
};

// Finds the entries that hand a drive back and forth: for the same model, one moves it from
// a revision to a literal new one that the other takes as its old revision, and the other
// moves it back, so a fleet reflashes the drive on every run. Returns the index pairs (the
// earlier entry first).
std::vector<std::pair<size_t, size_t>> cfs_ping_pong_pairs(const std::vector<CfsEntryText> &map);
