#include "cli/device_step.h"

#include "cli/activation.h"
#include "cli/download_step.h"
#include "cli/dry_run.h"
#include "cli/host_check.h"

StepOutcome run_device_step(const RunOptions &opts, const DeviceIdentity &id, const char *path,
                            int fd, RunState *state) {
    OwnedText image;
    StepOutcome outcome{false, 0};
    if (!select_image(opts, id, path, state, &image, &outcome)) {
        return outcome;
    }
    if (!opts.activate && !image) {
        return outcome;
    }
    // Nothing beyond identification reaches a drive before the host's use of it is known; the
    // whole disk stays locked against udev's probes until the drive's outcome is known.
    std::string disk;
    if (!check_host_use(opts, path, fd, image.get(), state, &disk)) {
        return outcome;
    }
    UniqueFd disk_lock;
    if (!opts.preflight && hold_whole_disk(opts, disk, path, image.get(), state, &disk_lock) < 0) {
        return {true, k_exit_invalid_device};
    }
    if (opts.activate) {
        activation_step(opts, id, path, fd, state);
    } else if (opts.preflight) {
        dry_run_step(opts, id, path, fd, image.get(), state);
    } else {
        download_step(opts, id, path, fd, image.get(), state);
    }
    return outcome;
}
