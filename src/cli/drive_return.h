// After new microcode: the wait for the drive (it may reset, answer NOT READY for a while, or
// drop off the bus and come back, even at another node), the search for it by name, and its
// revision read again wherever it answers.
#pragma once

#include "cli/identity.h"
#include "cli/options.h"
#include "cli/run_state.h"

#include <string>

// Where a drive answers after it took new microcode.
struct DriveReturn {
    int fd;           // its open node, current_device_fd; -1 when it did not come back
    std::string path; // that node: the one it was at, or the one it was found at again
};

// Waits for the drive of id, open as fd at path, after it took new microcode: TEST UNIT
// READY until it answers, for at most opts.settle_seconds (wait_until_ready). When its node
// is gone, the node is closed and the drive looked for by name among the sg nodes of /dev
// (its own node first) until the same bound; a node that holds it is opened, locked as
// claim_device locks, waited for as the old one was (within what is left of the bound), and
// becomes current_device_fd. Prints nothing.
DriveReturn await_drive(const RunOptions &opts, const DeviceIdentity &id, const char *path, int fd);

// After a download (kind REPORT_DOWNLOAD) or an activation (REPORT_ACTIVATION) that makes new
// microcode current: waits for the drive (await_drive), reads its revision again where it
// answers and reports and records it as check_revision, report_revision and
// record_revision_check do; the revision line reads "Revision of P (now Q): ..." for a drive
// found at another node. Page 86h is asked only after a --verify download: an activation is
// itself what activates, so an unchanged revision after it fails whatever the page says.
// A drive that did not come back within the bound fails a --verify run and an activation
// ("... FAILED", the reason on standard error, status 2); a -c run without --verify reports
// what it does for a revision it cannot read. The record's outcome is then lost.
void verify_after_microcode(const RunOptions &opts, const DeviceIdentity &id, const char *path,
                            int fd, int kind, RunState *state);
