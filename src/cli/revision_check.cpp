#include "cli/revision_check.h"

#include "base/error_output.h"
#include "base/printable.h"
#include "sg/identify.h"

#include <cstdio>
#include <cstring>
#include <string>

int judge_revision(bool readable, const char *before, const char *after, bool waits_for_reset) {
    if (!readable) {
        return OUTCOME_UNVERIFIED;
    }
    if (std::strcmp(before, after) != 0) {
        return OUTCOME_UPDATED;
    }
    return waits_for_reset ? OUTCOME_PENDING : OUTCOME_UNCHANGED;
}

RevisionCheck check_revision(int fd, const DeviceIdentity &id, bool look_for_pending) {
    RevisionCheck check{};
    if (id.is_ata && id.full_fw_read) {
        check.readable = reread_full_fw(fd, check.after, sizeof check.after, id.is_ata) >= 0;
    } else {
        // A drive whose full revision was never read is compared by its INQUIRY revision,
        // which is what full_fw holds for it.
        uint8_t inq[k_inquiry_buf_len] = {};
        if (send_inq(fd, inq, sizeof inq, 0) == 0) {
            DeviceIdentity fresh{};
            fill_standard_identity(&fresh, inq);
            std::memcpy(check.after, fresh.revision, sizeof fresh.revision);
            check.readable = true;
        }
    }
    bool waits_for_reset = false;
    if (look_for_pending && !id.is_ata && check.readable &&
        std::strcmp(check.after, id.full_fw) == 0) {
        uint8_t page[INQUIRY_MIN_LEN];
        read_extended_inquiry(fd, page);
        waits_for_reset =
            parse_extended_inquiry(page, sizeof page).activate_microcode == ACTIVATE_AFTER_RESET;
    }
    check.outcome = judge_revision(check.readable, id.full_fw, check.after, waits_for_reset);
    return check;
}

void report_revision(const char *path, const DeviceIdentity &id, const RevisionCheck &check,
                     bool show_revision, int kind) {
    if (show_revision) {
        printf("Revision of %s: %s -> %s\n", path, terminal_safe(id.full_fw).c_str(),
               check.readable ? terminal_safe(check.after).c_str() : "unreadable");
    }
    const char *what = kind == REPORT_ACTIVATION ? "Activation" : "Download";
    if (check.outcome == OUTCOME_UNCHANGED || check.outcome == OUTCOME_LOST) {
        printf("%s FAILED\n", what);
        return;
    }
    printf("%s SUCCESSFUL\n", what);
    if (kind == REPORT_STAGE && check.outcome != OUTCOME_UPDATED) {
        printf("Firmware staged on %s: activation is pending until --activate or a power "
               "cycle\n",
               path);
    } else if (check.outcome == OUTCOME_PENDING) {
        printf("Activation of the new firmware on %s is pending until the drive is reset or "
               "power-cycled\n",
               path);
    }
    if (check.outcome == OUTCOME_UNVERIFIED) {
        print_error("WARNING: Unabled to verify firmware revision change.\n");
    }
}

bool record_revision_check(const RevisionCheck &check, int kind, DeviceRecord *record) {
    record->outcome = check.outcome;
    if (check.readable) {
        record->revision_after = check.after;
    }
    if (check.outcome == OUTCOME_UNCHANGED) {
        record->reason = std::string("the drive still reports revision ") + check.after;
        return true;
    }
    if (check.outcome == OUTCOME_PENDING) {
        record->reason = kind == REPORT_STAGE
                             ? "the firmware is staged: the drive runs it once activated "
                               "(--activate) or power-cycled"
                             : "the drive activates the new microcode at its next power on or "
                               "hard reset";
    } else if (check.outcome == OUTCOME_UNVERIFIED) {
        record->reason = "the revision could not be read again";
    }
    return false;
}
