// CFS files: the encrypted, compressed configuration container and the lookup in its text.
// This module never touches a device and prints nothing; it leaves its reasons in CfsError.
#pragma once

enum CfsErrorCode : int {
    CFS_OK = 0,
    CFS_ERR_OPEN = 1,
    CFS_ERR_NOMEM = 2,
    CFS_ERR_READ = 3,
    CFS_ERR_DECRYPT = 4,
    CFS_ERR_SYNTAX = 5,
    CFS_NO_MATCH = 6,
    CFS_UP_TO_DATE = 7,
};

// Loads a CFS file into its configuration text: a malloc'd, NUL-terminated block that the
// caller releases with free. Returns nullptr and sets the last error (1 to 4) on failure.
char *cfs_load(const char *path);

// Returns the last error code and clears it.
int cfs_last_error();

// Finds the image path for a drive. Returns a malloc'd copy of the path (last error 0), or
// nullptr with the last error at 5, 6, 7 or 2. With no text, returns nullptr and leaves the
// last error as it was.
char *cfs_lookup(const char *text, const char *model, const char *firmware);

// Matches a pattern of '*' and '?' against a whole subject, reading the subject once from
// left to right. Returns false for a null pattern or subject.
bool wildcard_match(const char *pattern, const char *subject);
