// Entry lines that are valid but do not do what their author most likely meant: found with
// the run's own matcher, for cfs_tool check. Nothing here changes what a lookup does.
#pragma once

#include "cfs/cfs.h"

#include <string>
#include <vector>

enum CfsWarningKind : int {
    CFS_WARN_HASH_IN_FIELD = 1,     // a '#' inside a field: part of the field, not a comment
    CFS_WARN_MISSED_BY_MATCH = 2,   // the pattern refuses a text that a full wildcard match takes
    CFS_WARN_NEVER_GIVES_IMAGE = 3, // the literal old revision is up to date by its own entry
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

// Returns the findings about one entry, in field order: a '#' in any field; each pattern
// (fields 1, 2 and 4) that refuses a text a full wildcard match accepts; an old revision
// without wildcards that the entry's own new-revision pattern matches, so that the entry
// reports such a drive up to date and never gives it the image.
std::vector<CfsWarning> cfs_entry_warnings(const CfsEntry &entry);
