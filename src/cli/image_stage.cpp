#include "cli/image_stage.h"

#include "cfs/cfs.h"
#include "cli/staged_run.h"
#include "cli/verify.h"
#include "download/download.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

double seconds_since(const struct timespec &start) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) +
           static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

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
// drive up. Leaves the image path in selected, or says how the stage ends and records why.
bool cfs_step(const RunOptions &opts, const DeviceIdentity &id, const char *path, RunState *state,
              OwnedText *selected, StageOutcome *outcome) {
    const char *cfs_path = opts.cfs_path.get();
    DeviceRecord &record = state->device;
    if (!state->cfs_text) {
        printf("Scanning %s\n", cfs_path);
        fflush(stdout);
        state->cfs_text.reset(cfs_load(cfs_path));
        if (!state->cfs_text) {
            int code = cfs_last_error();
            cfs_report_load_error(code, cfs_path);
            record.decision = DECISION_RUN_ENDED;
            record.reason = std::string("the CFS file ") + cfs_path +
                            " could not be loaded (error " + std::to_string(code) + ")";
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
    if (code == CFS_NO_MATCH || code == CFS_UP_TO_DATE) {
        record.decision = code == CFS_NO_MATCH ? DECISION_NO_MATCH : DECISION_UP_TO_DATE;
        *outcome = {false, 0};
    } else {
        record.decision = DECISION_RUN_ENDED;
        record.reason = std::string("the lookup in the CFS file ") + cfs_path + " failed (error " +
                        std::to_string(code) + ")";
        *outcome = {true, k_exit_usage};
    }
    return false;
}

// Sends the selected image and writes the outcome lines. After a download that completed, the
// revision is read again when --verify asks for it, and always in a CFS run: only a changed
// revision makes it a success there. Without either, the download is a success unverified.
// A staging download (--stage) is checked against the drive's statements first and always
// has its revision read again: unchanged is the expected pending activation.
void download_stage(const RunOptions &opts, const DeviceIdentity &id, const char *path, int fd,
                    const char *image, RunState *state) {
    DeviceRecord &record = state->device;
    record.decision = DECISION_DOWNLOAD;
    record.image = image;
    DriveStatements statements;
    StageRequest stage{&statements, path};
    if (opts.stage) {
        DownloadSender sender = choose_method(forced_method(opts), id.is_ata).sender;
        statements = read_drive_statements(fd, id, sender, true);
    }
    DownloadReport report;
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int result = download_image_file(fd, image, path, opts.segment_count, forced_method(opts),
                                     id.is_ata, &report, opts.stage ? &stage : nullptr);
    record.seconds = seconds_since(start);
    record.image_size = report.image_size;
    record.image_sha256 = report.image_sha256;
    record.method = report.method;
    record.segment_size = report.segment_size;
    record.commands_sent = report.commands_sent;
    record.bytes_sent = report.bytes_accepted;
    record.reason = report.failure;
    if (report.more_expected) {
        // The outcome stands as the commands and the revision decide it; the operator learns
        // that the drive itself did not consider the image complete.
        fflush(stdout);
        fprintf(stderr,
                "WARNING: %s expects more microcode after the last segment (DOWNLOAD MICROCODE "
                "Count 01h)\n",
                path);
        record.reason = "the drive expects more microcode after the last segment (DOWNLOAD "
                        "MICROCODE Count 01h)";
    }
    if (result < 0) {
        if (result != DOWNLOAD_IMAGE_NOT_OPENED) {
            puts("FW Download FAILED");
        }
        record.outcome = report.commands_sent == 0 ? OUTCOME_REFUSED : OUTCOME_FAILED;
        state->run_status = k_exit_download_failed;
    } else if (opts.stage || opts.verify || opts.cfs_path) {
        RevisionCheck check = check_revision(fd, id, opts.verify && !opts.stage);
        if (opts.stage && check.outcome == OUTCOME_UNCHANGED) {
            check.outcome = OUTCOME_PENDING;
        }
        int kind = opts.stage ? REPORT_STAGE : REPORT_DOWNLOAD;
        report_revision(path, id, check, opts.verify, kind);
        if (record_revision_check(check, kind, &record)) {
            state->run_status = k_exit_download_failed;
        }
    } else {
        puts("Download SUCCESSFUL");
        record.outcome = OUTCOME_UNVERIFIED;
    }
    log_download_attempt(record);
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
            state->device.decision = DECISION_RUN_ENDED;
            state->device.reason = "no memory";
            return {true, k_exit_usage};
        }
    }
    if (opts.cfs_path) {
        state->device.decision = DECISION_PASSED_OVER;
        if (id.identity_complete) {
            StageOutcome outcome{false, 0};
            if (!cfs_step(opts, id, path, state, &selected, &outcome)) {
                return outcome;
            }
        }
    }
    if (!passes_model_filter(opts, id, path)) {
        state->device.decision = DECISION_SKIPPED_BY_MODEL;
        return {false, 0};
    }
    if (opts.activate) {
        activate_stage(opts, id, path, fd, state);
    } else if (selected && opts.preflight) {
        preflight_stage(opts, id, path, fd, selected.get(), state);
    } else if (selected) {
        download_stage(opts, id, path, fd, selected.get(), state);
    }
    return {false, 0};
}
