#include "cli/device_run.h"

#include "cli/banner.h"
#include "cli/device_step.h"
#include "cli/drive_seen.h"
#include "cli/exit_hooks.h"
#include "cli/identity.h"
#include "cli/run_safety.h"
#include "cli/run_state.h"
#include "cli/signal_hold.h"
#include "listing/listing.h"
#include "sg/sg_io.h"

#include <csignal>
#include <cstdio>

namespace {

// Ends the device's record: a device that stopped the run is named with why; every line is
// written before the run goes on or ends. Returns 0, or -1 when the line could not be written.
int record_stop(RunState *state, const char *why) {
    state->device.decision = DECISION_NOT_IDENTIFIED;
    state->device.reason = why;
    return write_device_record(&state->record, state->device);
}

// The device loop of run_devices. Returns the exit status.
int process_devices(RunOptions *opts, RunState *state) {
    size_t count = opts->device_paths.size();
    bool named = run_needs_drive_names(*opts);
    SeenDrives seen;
    for (size_t i = 0; i < count; ++i) {
        OwnedText &path = opts->device_paths[i];
        state->device = DeviceRecord{};
        state->device.device = path.get();
        // What earlier devices wrote comes out before anything the transport reports on
        // standard error; a device is not touched once the output is lost.
        if (output_lost(count - i)) {
            return k_exit_usage;
        }
        current_device_fd = get_sg_fd(path.get());
        bool held = current_device_fd >= 0 && claim_device(current_device_fd, path.get()) < 0;
        if (held) {
            close_current_device();
        }
        if (current_device_fd < 0) {
            fputs(format_listing_stop_line(LISTING_STOP_OPEN, path.get()).c_str(), stdout);
            record_stop(state, held ? "the device is in use by another process"
                                    : "the device could not be opened");
            return k_exit_invalid_device;
        }
        DeviceIdentity id;
        if (identify_device(current_device_fd, path.get(), &id) < 0) {
            record_stop(state, "the device did not answer INQUIRY");
            return k_exit_invalid_device;
        }
        if (named) {
            read_drive_wwn(current_device_fd, &id);
        }
        record_identity(&state->device, id);
        if (is_duplicate(seen, current_device_fd, path.get(), id, &state->device)) {
            if (write_device_record(&state->record, state->device) < 0) {
                return k_exit_usage;
            }
            close_current_device();
            path.reset();
            continue;
        }
        if (opts->list_mode != 0) {
            fputs(listing_line(id, path.get(), opts->list_mode, opts->tmc_code).c_str(), stdout);
        }
        StepOutcome outcome = run_device_step(*opts, id, path.get(), current_device_fd, state);
        remember_drive(&seen, current_device_fd, path.get(), id);
        // The line is written before the run goes on or ends here: a stop signal held during
        // the image acts only after the image's outcome, which the line tells truly.
        if (write_device_record(&state->record, state->device) < 0) {
            return k_exit_usage;
        }
        if (outcome.end_run) {
            return outcome.status;
        }
        if (int signo = take_stop_signal(); signo != 0) {
            finish_run_record(&state->record, k_exit_signal_base + signo);
            stop_for_signal(signo, path.get(), count - i - 1);
        }
        close_current_device();
        path.reset();
    }
    return output_lost(0) ? k_exit_usage : state->run_status;
}

} // namespace

int run_devices(RunOptions *opts) {
    // A closed standard output must not cut an image: its failed writes are noted, and the
    // run stops between two devices instead.
    signal(SIGPIPE, SIG_IGN);
    note_stop_signal_dispositions();
    RunState state;
    if (open_run_record(opts->record_path.get(), tool_version(), &state.record) < 0) {
        return k_exit_usage;
    }
    return finish_run_record(&state.record, process_devices(opts, &state));
}
