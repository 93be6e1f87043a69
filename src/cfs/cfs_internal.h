// What the CFS module's own files share: the last-error code.
#pragma once

// The module's last-error code (a CfsErrorCode), 0 when the program starts. Read and cleared
// through cfs_last_error.
extern int CfsError;
