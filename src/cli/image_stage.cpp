#include "cli/image_stage.h"

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
                             [[maybe_unused]] int fd, [[maybe_unused]] RunState *state) {
    // Image selection: the -f file for every device; with a CFS file the CFS step picks the
    // image for a drive whose identity is complete, and may pass the drive over or end the
    // run. The CFS step comes with the configuration module.
    if (!passes_model_filter(opts, id, path)) {
        return {false, 0};
    }
    // Download of the selected image: opening it, download_fw_file and the result lines (the
    // revision check for a CFS-driven download). It comes with the download module.
    return {false, 0};
}
