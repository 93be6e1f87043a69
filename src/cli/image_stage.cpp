#include "cli/image_stage.h"

#include "cfs/cfs.h"
#include "download/download.h"
#include "sg/identify.h"

#include <cstdio>
#include <cstring>

bool passes_model_filter(const RunOptions &opts, const DeviceIdentity &id, const char *path) {
    if (!opts.model_filter) {
        return true;
    }
    // The filter serves drives that are not ATA; their model number is the INQUIRY product.
    if (id.is_ata) {
        printf("Skipping ATA device: %s\n", path);
        return false;
    }
    if (std::strcmp(opts.model_filter.get(), id.full_model) != 0) {
        printf("%s: No model number match; skipping\n", path);
        return false;
    }
    return true;
}

namespace {

// The CFS step: loads the configuration text on the first device that needs it and looks the
// drive up. Leaves the image path in selected, or says how the stage ends.
bool cfs_step(const RunOptions &opts, const DeviceIdentity &id, const char *path, RunState *state,
              OwnedText *selected, StageOutcome *outcome) {
    const char *cfs_path = opts.cfs_path.get();
    if (!state->cfs_text) {
        printf("Scanning %s\n", cfs_path);
        fflush(stdout);
        state->cfs_text.reset(cfs_load(cfs_path));
        if (!state->cfs_text) {
            cfs_report_load_error(cfs_last_error(), cfs_path);
            *outcome = {true, k_exit_usage};
            return false;
        }
    }
    selected->reset(cfs_lookup(state->cfs_text.get(), id.full_model, id.full_fw));
    if (*selected) {
        return true;
    }
    int code = cfs_last_error();
    cfs_report_lookup_error(code, cfs_path, path);
    bool goes_on = code == CFS_NO_MATCH || code == CFS_UP_TO_DATE;
    *outcome = {!goes_on, goes_on ? 0 : k_exit_usage};
    return false;
}

// After a CFS-driven download the revision is read again at once: only a changed revision
// makes the download a success. A command the drive did not answer makes the revision
// unreadable, so that an empty or stale buffer is never taken for a new revision.
void check_new_revision(int fd, const DeviceIdentity &id, RunState *state) {
    char new_fw[47];
    if (reread_full_fw(fd, new_fw, sizeof new_fw, id.is_ata) < 0) {
        puts("Download SUCCESSFUL");
        fflush(stdout);
        fputs("WARNING: Unabled to verify firmware revision change.\n", stderr);
    } else if (strcmp(new_fw, id.full_fw) == 0) {
        puts("Download FAILED");
        state->run_status = k_exit_download_failed;
    } else {
        puts("Download SUCCESSFUL");
    }
}

} // namespace

StageOutcome run_image_stage(const RunOptions &opts, const DeviceIdentity &id, const char *path,
                             int fd, RunState *state) {
    // Image selection: the -f file for every device, or what the CFS file names for a drive
    // whose identity is complete (other drives are passed over without a word).
    OwnedText selected;
    if (opts.fw_path) {
        selected = copy_text(opts.fw_path.get());
        if (!selected) {
            perror("malloc");
            return {true, k_exit_usage};
        }
    }
    if (opts.cfs_path && id.identity_complete) {
        StageOutcome outcome{false, 0};
        if (!cfs_step(opts, id, path, state, &selected, &outcome)) {
            return outcome;
        }
    }
    if (!passes_model_filter(opts, id, path) || !selected) {
        return {false, 0};
    }
    DownloadReport report;
    int result = download_image_file(fd, selected.get(), path, opts.segment_count,
                                     forced_method(opts), id.is_ata, &report);
    if (report.more_expected) {
        // The outcome stands as the commands and the revision decide it; the operator learns
        // that the drive itself did not consider the image complete.
        fflush(stdout);
        fprintf(stderr,
                "WARNING: %s expects more microcode after the last segment (DOWNLOAD MICROCODE "
                "Count 01h)\n",
                path);
    }
    if (result == DOWNLOAD_IMAGE_NOT_OPENED) {
        state->run_status = k_exit_download_failed;
    } else if (result < 0) {
        puts("FW Download FAILED");
        state->run_status = k_exit_download_failed;
    } else if (opts.cfs_path) {
        check_new_revision(fd, id, state);
    } else {
        puts("Download SUCCESSFUL");
    }
    return {false, 0};
}
