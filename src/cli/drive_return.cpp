#include "cli/drive_return.h"

#include "base/clock.h"
#include "base/error_output.h"
#include "cli/device_list.h"
#include "cli/drive_name.h"
#include "cli/exit_hooks.h"
#include "cli/revision_check.h"
#include "sg/sg_io.h"
#include "sg/unit_ready.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sys/file.h>
#include <vector>

namespace {

// Opens and locks the node at path when it holds the drive called name. Returns the
// descriptor, or -1 (the node cannot be opened, another process holds it, or it holds
// another drive).
int open_if_drive(const char *path, const DriveName &name) {
    int fd = open_sg_node(path);
    if (fd < 0) {
        return -1;
    }
    DriveName found;
    // Locked before a command goes out: a drive that another run holds gets none from here.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !read_drive_name(fd, &found) ||
        !same_drive(name, found)) {
        close_sg_fd(fd);
        return -1;
    }
    return fd;
}

// Looks for the drive called name among the sg nodes of /dev, its old node at path first,
// until deadline (monotonic milliseconds), with a growing pause between two looks.
DriveReturn find_drive_again(const DriveName &name, const char *path, uint64_t deadline) {
    uint32_t pause = 0;
    for (;;) {
        std::vector<OwnedText> nodes;
        // The same nodes as /sys/class/scsi_generic lists on a real host, found the way the
        // device list finds them.
        if (scan_device_dir("/dev", &nodes) < 0) {
            nodes.clear();
        }
        std::vector<std::string> order{path};
        for (const OwnedText &node : nodes) {
            if (std::strcmp(node.get(), path) != 0) {
                order.emplace_back(node.get());
            }
        }
        for (const std::string &node : order) {
            int fd = open_if_drive(node.c_str(), name);
            if (fd >= 0) {
                return DriveReturn{fd, node};
            }
        }
        uint64_t now = monotonic_ms();
        if (now >= deadline) {
            return DriveReturn{-1, path};
        }
        pause = next_settle_pause_ms(pause);
        pause_ms(static_cast<uint32_t>(std::min<uint64_t>(pause, deadline - now)));
    }
}

} // namespace

DriveReturn await_drive(const RunOptions &opts, const DeviceIdentity &id, const char *path,
                        int fd) {
    uint32_t bound_ms = opts.settle_seconds * 1000u;
    uint64_t deadline = monotonic_ms() + bound_ms;
    Readiness r = wait_until_ready(fd, bound_ms);
    if (r != Readiness::gone) {
        return DriveReturn{r == Readiness::ready ? fd : -1, path};
    }
    // The node leads nowhere now: its lock goes with it, so that the drive can be claimed
    // again should it come back at the same node.
    close_current_device();
    DriveName name = drive_name_of(id);
    // A drive without a name cannot be told from another: it is not looked for.
    DriveReturn back =
        names_a_drive(name) ? find_drive_again(name, path, deadline) : DriveReturn{-1, path};
    // Found, it answers INQUIRY; it is read once it is ready too, and its unit attention taken.
    uint64_t now = monotonic_ms();
    if (back.fd >= 0 &&
        wait_until_ready(back.fd, static_cast<uint32_t>(deadline > now ? deadline - now : 0)) !=
            Readiness::ready) {
        close_sg_fd(back.fd);
        back.fd = -1;
    }
    current_device_fd = back.fd;
    return back;
}

void verify_after_microcode(const RunOptions &opts, const DeviceIdentity &id, const char *path,
                            int fd, int kind, RunState *state) {
    DeviceRecord &record = state->device;
    bool show = opts.verify || kind == REPORT_ACTIVATION;
    DriveReturn back = await_drive(opts, id, path, fd);
    if (back.fd < 0) {
        bool fails = show;
        RevisionCheck lost{};
        lost.outcome = fails ? OUTCOME_LOST : OUTCOME_UNVERIFIED;
        report_revision(path, id, lost, show, kind);
        char reason[96];
        snprintf(reason, sizeof reason, "the drive did not answer within %u s after the %s",
                 opts.settle_seconds, kind == REPORT_ACTIVATION ? "activation" : "download");
        if (fails) {
            print_error("%s: %s\n", path, reason);
            state->run_status = k_exit_download_failed;
        }
        record.outcome = OUTCOME_LOST;
        record.reason = reason;
        return;
    }
    std::string shown =
        back.path == path ? back.path : std::string(path) + " (now " + back.path + ")";
    RevisionCheck check = check_revision(back.fd, id, opts.verify && kind == REPORT_DOWNLOAD);
    report_revision(shown.c_str(), id, check, show, kind);
    if (record_revision_check(check, kind, &record)) {
        state->run_status = k_exit_download_failed;
    }
}
