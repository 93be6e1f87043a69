// The lines written for the CFS module's error codes. The loader and the lookup print
// nothing themselves; dl_cor_fw and cfs_tool both report through these two functions, so the
// texts are the same in both programs.
#include "cfs/cfs.h"

#include "base/error_output.h"

void cfs_report_load_error(int code, const char *cfs_path) {
    switch (code) {
    case CFS_ERR_OPEN:
        print_error("Could not open %s\n", cfs_path);
        break;
    case CFS_ERR_NOMEM:
        print_errno(nullptr);
        break;
    case CFS_ERR_READ:
        print_error("Could not read %s\n", cfs_path);
        break;
    case CFS_ERR_DECRYPT:
        print_error("Could not decrypt %s\n", cfs_path);
        break;
    default:
        print_error("Unknown error\n");
        break;
    }
}

void cfs_report_lookup_error(int code, const char *cfs_path, const char *device) {
    switch (code) {
    case CFS_ERR_NOMEM:
        print_errno(nullptr);
        break;
    case CFS_ERR_SYNTAX:
        print_error("Syntax error in %s\n", cfs_path);
        break;
    case CFS_NO_MATCH:
        print_error("%s does not match any entries in %s\n", device, cfs_path);
        break;
    case CFS_UP_TO_DATE:
        print_error("The firmware on %s is up to date\n", device);
        break;
    default:
        print_error("Unknown error\n");
        break;
    }
}
