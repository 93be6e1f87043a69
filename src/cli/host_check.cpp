#include "cli/host_check.h"

#include "base/error_output.h"
#include "host/host_reader.h"
#include "host/host_view.h"
#include "record/run_record.h"

#include <cstdio>

namespace {

// Fills the record of a drive that the run refuses before sending it anything.
void record_refusal(const RunOptions &opts, const char *image, const std::string &reason,
                    DeviceRecord *record) {
    record->decision = opts.activate ? DECISION_ACTIVATE : DECISION_DOWNLOAD;
    record->image = image != nullptr ? image : "";
    record->outcome = OUTCOME_REFUSED;
    record->reason = reason;
}

} // namespace

bool check_host_use(const RunOptions &opts, const char *path, int fd, const char *image,
                    RunState *state, std::string *disk) {
    // The reads fail by design (no block directory, no /proc/swaps); the transport's reports
    // later name errno as the run left it, so they leave it as it was.
    ErrnoKeeper keep_errno;
    keep_errno.keep();
    HostView view = read_host_view(sg_node_name(fd, path));
    *disk = view.disk;
    if (view.read) {
        state->device.in_use = view.reasons;
    } else if ((opts.preflight || opts.only_idle) && !state->host_view_warned) {
        state->host_view_warned = true;
        print_error("WARNING: the host's view of the drives could not be read (%s)\n",
                    view.why.c_str());
    }
    std::string reasons = join_reasons(view.reasons);
    if (opts.preflight && !view.reasons.empty()) {
        printf("%s: in use: %s\n", path, reasons.c_str());
    }
    if ((view.read && view.reasons.empty()) || opts.stage) {
        return true;
    }
    if (!opts.only_idle) {
        if (view.read && !opts.preflight) {
            print_error("WARNING: %s is in use (%s); its I/O may fail while the drive takes new "
                        "microcode\n",
                        path, reasons.c_str());
        }
        return true;
    }
    std::string unknown = "the host's view of the drive could not be read: " + view.why;
    state->run_status = k_exit_download_failed;
    if (opts.preflight) {
        printf("%s: would not send %s: %s (--only-idle)\n", path, image,
               view.read ? "the drive is in use" : unknown.c_str());
        return false;
    }
    const char *done = opts.activate ? "not activated" : "not updated";
    if (view.read) {
        printf("%s: in use (%s); %s\n", path, reasons.c_str(), done);
    } else {
        printf("%s: not known to be idle (%s); %s\n", path, unknown.c_str(), done);
    }
    record_refusal(opts, image,
                   view.read ? "in use: " + reasons : "not known to be idle: " + unknown,
                   &state->device);
    log_download_attempt(state->device);
    return false;
}

int hold_whole_disk(const RunOptions &opts, const std::string &disk, const char *path,
                    const char *image, RunState *state, UniqueFd *lock) {
    ErrnoKeeper keep_errno;
    keep_errno.keep();
    if (disk.empty() || lock_whole_disk(disk, lock) == 0) {
        return 0;
    }
    print_error("%s: in use by another process\n", path);
    record_refusal(opts, image, "the block device /dev/" + disk + " is locked by another process",
                   &state->device);
    return -1;
}
