#include "cli/image_stage.h"

#include "download/download.h"

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

StageOutcome run_image_stage(const RunOptions &opts, const DeviceIdentity &id, const char *path,
                             int fd, RunState *state) {
    // Image selection: the -f file for every device.
    OwnedText selected;
    if (opts.fw_path) {
        selected = copy_text(opts.fw_path.get());
        if (!selected) {
            perror("malloc");
            return {true, k_exit_usage};
        }
    }
    if (!passes_model_filter(opts, id, path) || !selected) {
        return {false, 0};
    }
    int result = download_image_file(fd, selected.get(), path, opts.segment_count,
                                     forced_method(opts), id.is_ata);
    if (result == DOWNLOAD_IMAGE_NOT_OPENED) {
        state->run_status = k_exit_download_failed;
    } else if (result < 0) {
        puts("FW Download FAILED");
        state->run_status = k_exit_download_failed;
    } else {
        puts("Download SUCCESSFUL");
    }
    return {false, 0};
}
