#include "cli/download_step.h"

#include "base/error_output.h"
#include "cli/drive_return.h"
#include "cli/revision_check.h"
#include "cli/signal_hold.h"
#include "download/download.h"
#include "record/run_record.h"

#include <cstdio>

namespace {

// Puts what the download did into the record.
void record_download(const DownloadReport &report, DeviceRecord *record) {
    record->image_size = report.image_size;
    record->image_sha256 = report.image_sha256;
    record->method = report.method;
    record->segment_size = report.segment_size;
    record->commands_sent = report.commands_sent;
    record->bytes_sent = report.bytes_accepted;
    record->reason = report.failure;
}

} // namespace

void download_step(const RunOptions &opts, const DeviceIdentity &id, const char *path, int fd,
                   const char *image, RunState *state) {
    DeviceRecord &record = state->device;
    record.decision = DECISION_DOWNLOAD;
    record.image = image;
    DriveStatements statements;
    StageRequest stage{&statements, path};
    if (opts.stage) {
        DownloadSender sender = choose_method(forced_method(opts), id.is_ata).sender;
        statements = read_drive_statements(fd, id.identify, sender, true);
    }
    DownloadReport report;
    struct timespec start = monotonic_now();
    // From here no stop signal cuts the image short: one that arrives is acted on once the
    // device's outcome is written.
    hold_stop_signals();
    int result = download_image_file(fd, image, path, opts.segment_count, forced_method(opts),
                                     id.is_ata, &report, opts.stage ? &stage : nullptr);
    record.seconds = seconds_since(start);
    record_download(report, &record);
    if (report.more_expected) {
        // The outcome stands as the commands and the revision decide it; the operator learns
        // that the drive itself did not consider the image complete.
        print_error("WARNING: %s expects more microcode after the last segment (DOWNLOAD MICROCODE "
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
    } else if (opts.stage) {
        // Staging activates nothing: the drive is read again at once.
        RevisionCheck check = check_revision(fd, id, false);
        if (check.outcome == OUTCOME_UNCHANGED) {
            check.outcome = OUTCOME_PENDING;
        }
        report_revision(path, id, check, opts.verify, REPORT_STAGE);
        if (record_revision_check(check, REPORT_STAGE, &record)) {
            state->run_status = k_exit_download_failed;
        }
    } else if (opts.verify || opts.cfs_path) {
        verify_after_microcode(opts, id, path, fd, REPORT_DOWNLOAD, state);
    } else {
        puts("Download SUCCESSFUL");
        record.outcome = OUTCOME_UNVERIFIED;
    }
    log_download_attempt(record);
}
