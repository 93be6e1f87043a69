// The revision read again after a download: by --verify in every mode, and by the CFS run's
// own revision check. The judgement is the same for both; only --verify shows the revision
// line and looks for microcode that waits for a reset.
#pragma once

#include "cli/identity.h"
#include "record/record.h"

// Judges the revision read again: not readable is OUTCOME_UNVERIFIED, changed
// OUTCOME_UPDATED, unchanged OUTCOME_PENDING when the drive activates new microcode only at
// its next reset, else OUTCOME_UNCHANGED.
int judge_revision(bool readable, const char *before, const char *after, bool waits_for_reset);

// What reading the revision again found.
struct RevisionCheck {
    int outcome;   // judge_revision's
    bool readable; // after holds the revision read
    char after[sizeof DeviceIdentity::full_fw];
};

// Reads the revision of the drive at fd again at once and judges it against id.full_fw: the
// full revision (reread_full_fw) of an ATA drive whose full revision was read, else the
// revision of a fresh standard INQUIRY. With look_for_pending, a drive that is not ATA and
// reports its old revision is asked for the Extended INQUIRY Data page (86h); nothing more is
// sent when the revision changed or could not be read.
RevisionCheck check_revision(int fd, const DeviceIdentity &id, bool look_for_pending);

// What the revision was read again after.
enum RevisionReport : int {
    REPORT_DOWNLOAD,   // a download that activates the image
    REPORT_STAGE,      // a staging download (--stage): unchanged is what is expected
    REPORT_ACTIVATION, // an activation (--activate)
};

// Writes the outcome lines of a completed download or activation at path: with
// show_revision first "Revision of P: BEFORE -> AFTER" (AFTER "unreadable" when it could not
// be read), then "Download SUCCESSFUL" or "Download FAILED" (for an unchanged revision, and
// for a drive lost after the download; "Activation ..." for an activation), the line of a pending
// activation (of staged firmware for a staging download), and the warning for an unreadable
// revision on standard error.
void report_revision(const char *path, const DeviceIdentity &id, const RevisionCheck &check,
                     bool show_revision, int kind = REPORT_DOWNLOAD);

// Puts what the revision check found into the record: the outcome, the revision read again
// and the reason of an unchanged, pending or unverified revision. Returns true when the
// revision did not change where it had to (the run then ends with status 2).
bool record_revision_check(const RevisionCheck &check, int kind, DeviceRecord *record);
