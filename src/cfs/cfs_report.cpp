// The lines written for the CFS module's error codes. The loader and the lookup print
// nothing themselves; dl_cor_fw and cfs_tool both report through these two functions, so the
// texts are the same in both programs.
#include "cfs/cfs.h"

#include <cerrno>
#include <cstdio>

void cfs_report_load_error(int code, const char *cfs_path) {
    // The flush keeps what the program wrote on standard output ahead of this line.
    int saved_errno = errno;
    fflush(stdout);
    errno = saved_errno;
    switch (code) {
    case CFS_ERR_OPEN:
        fprintf(stderr, "Could not open %s\n", cfs_path);
        break;
    case CFS_ERR_NOMEM:
        perror(nullptr);
        break;
    case CFS_ERR_READ:
        fprintf(stderr, "Could not read %s\n", cfs_path);
        break;
    case CFS_ERR_DECRYPT:
        fprintf(stderr, "Could not decrypt %s\n", cfs_path);
        break;
    default:
        fputs("Unknown error\n", stderr);
        break;
    }
}

void cfs_report_lookup_error(int code, const char *cfs_path, const char *device) {
    int saved_errno = errno;
    fflush(stdout);
    errno = saved_errno;
    switch (code) {
    case CFS_ERR_NOMEM:
        perror(nullptr);
        break;
    case CFS_ERR_SYNTAX:
        fprintf(stderr, "Syntax error in %s\n", cfs_path);
        break;
    case CFS_NO_MATCH:
        fprintf(stderr, "%s does not match any entries in %s\n", device, cfs_path);
        break;
    case CFS_UP_TO_DATE:
        fprintf(stderr, "The firmware on %s is up to date\n", device);
        break;
    default:
        fputs("Unknown error\n", stderr);
        break;
    }
}
