// CFS files: the encrypted, compressed configuration container and the lookup in its text.
// This module never touches a device; the loader, the packer and the lookup print nothing and
// leave their reasons in CfsError. The report functions at the end turn a code into the one
// line the programs write for it.
#pragma once

#include <cstddef>

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

// As cfs_load, and on success stores the number of inflated bytes (the text may hold NUL
// bytes of its own before the terminator) in *text_len. Returns the text or nullptr.
char *cfs_load_with_length(const char *path, size_t *text_len);

// Returns the last error code and clears it.
int cfs_last_error();

// Encrypts buf in place with the built-in key and initial vector (the inverse of the
// loader's decryption). Returns 0, or -1 with errno set when memory ran out.
int cfs_encrypt_in_place(unsigned char *buf, size_t len);

// Default and allowed pad lengths of cfs_pack.
inline constexpr unsigned k_cfs_default_pad = 8;
inline constexpr unsigned k_cfs_max_pad = 255;
// A CFS file must be smaller than this (the inflater's input count is 32 bits wide).
inline constexpr unsigned long long k_cfs_max_file_size = 1ULL << 32;

// Builds the bytes of a CFS file from a configuration text: one gzip member of the text,
// pad_len pad bytes (each holding pad_len), all encrypted. Returns a malloc'd block with its
// length in *out_len, or nullptr with errno set: EINVAL for a pad length outside 1 to 255,
// EFBIG for a result of 4 GiB or more, ENOMEM when memory ran out.
unsigned char *cfs_pack(const char *text, size_t text_len, unsigned pad_len, size_t *out_len);

// Finds the image path for a drive. Returns a malloc'd copy of the path (last error 0), or
// nullptr with the last error at 5, 6, 7 or 2. With no text, returns nullptr and leaves the
// last error as it was.
char *cfs_lookup(const char *text, const char *model, const char *firmware);

// Matches a pattern of '*' and '?' against a whole subject, reading the subject once from
// left to right. Returns false for a null pattern or subject.
bool wildcard_match(const char *pattern, const char *subject);

// One entry line of the configuration text. Each field is a malloc'd, exact-size copy, or
// nullptr when the field is absent (empty after its blanks are removed).
struct CfsEntry {
    char *model_pattern;
    char *old_fw_pattern;
    char *image_path;
    char *new_fw_pattern;
};

// A position in a configuration text, for reading it entry by entry.
struct CfsScan {
    const char *pos;          // next character to read; the text ends at its first NUL
    unsigned long line;       // number (from 1) of the line that holds pos
    unsigned long entry_line; // number of the line of the last entry or syntax error
    int bad_field;            // after CFS_SCAN_SYNTAX: the field (1 to 3) left unclosed
    bool bad_field_hash;      // after CFS_SCAN_SYNTAX: a '#' came before its ';'
};

enum CfsScanResult : int {
    CFS_SCAN_END = 0,     // no entry line left
    CFS_SCAN_ENTRY = 1,   // *entry holds the fields of the next entry line
    CFS_SCAN_SYNTAX = -1, // the next entry line is a syntax error; the scan moved past it
    CFS_SCAN_NOMEM = -2,  // memory ran out copying a field; errno is kept
};

// Returns a scan positioned at the beginning of text, on line 1.
CfsScan cfs_scan_start(const char *text);

// Reads the next entry line, skipping blank and comment lines. Returns a CfsScanResult; only
// with CFS_SCAN_ENTRY does *entry hold fields, which the caller releases with cfs_free_entry.
// The line breaks LF, CR LF and a lone CR each end one line.
int cfs_scan_next(CfsScan *scan, CfsEntry *entry);

// Releases the fields of an entry and sets them to nullptr.
void cfs_free_entry(CfsEntry *entry);

// Finds the entry that gives a drive its image, as cfs_lookup does, and hands over the whole
// entry: returns 0 with *entry filled (the caller releases it with cfs_free_entry), or -1
// with *entry empty and the last error at 5, 6, 7 or 2. With no text, returns -1 and leaves
// the last error as it was.
int cfs_lookup_entry(const char *text, const char *model, const char *firmware, CfsEntry *entry);

// Writes to standard error the line for a code that cfs_load left, after flushing standard
// output: "Could not open %s\n" and the like, the system's error text for code 2, "Unknown
// error\n" for a code that a load does not set.
void cfs_report_load_error(int code, const char *cfs_path);

// Writes to standard error the line for a code that cfs_lookup left, after flushing standard
// output; device names the drive in the no-match and up-to-date lines.
void cfs_report_lookup_error(int code, const char *cfs_path, const char *device);
