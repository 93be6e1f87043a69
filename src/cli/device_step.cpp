#include "cli/device_step.h"

#include "cli/activation.h"
#include "cli/download_step.h"
#include "cli/dry_run.h"

StepOutcome run_device_step(const RunOptions &opts, const DeviceIdentity &id, const char *path,
                            int fd, RunState *state) {
    OwnedText image;
    StepOutcome outcome{false, 0};
    if (!select_image(opts, id, path, state, &image, &outcome)) {
        return outcome;
    }
    if (opts.activate) {
        activation_step(opts, id, path, fd, state);
    } else if (image && opts.preflight) {
        dry_run_step(opts, id, path, fd, image.get(), state);
    } else if (image) {
        download_step(opts, id, path, fd, image.get(), state);
    }
    return outcome;
}
