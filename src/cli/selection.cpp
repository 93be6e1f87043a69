#include "cli/selection.h"

#include "cfs/cfs.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The CFS step: loads the configuration text on the first device that needs it and looks the
// drive up. Leaves the image path in selected, or says how the step ends and records why.
bool cfs_step(const RunOptions &opts, const DeviceIdentity &id, const char *path, RunState *state,
              OwnedText *selected, StepOutcome *outcome) {
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

} // namespace

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

bool select_image(const RunOptions &opts, const DeviceIdentity &id, const char *path,
                  RunState *state, OwnedText *image, StepOutcome *outcome) {
    *outcome = {false, 0};
    if (opts.fw_path) {
        *image = copy_text(opts.fw_path.get());
        if (!*image) {
            perror("malloc");
            state->device.decision = DECISION_RUN_ENDED;
            state->device.reason = "no memory";
            *outcome = {true, k_exit_usage};
            return false;
        }
    }
    // Only a drive whose identity is complete is looked up; the others are passed over
    // without a word.
    if (opts.cfs_path) {
        state->device.decision = DECISION_PASSED_OVER;
        if (id.identity_complete && !cfs_step(opts, id, path, state, image, outcome)) {
            return false;
        }
    }
    if (!passes_model_filter(opts, id, path)) {
        state->device.decision = DECISION_SKIPPED_BY_MODEL;
        return false;
    }
    return true;
}
