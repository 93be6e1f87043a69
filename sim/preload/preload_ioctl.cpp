// ioctl on a bay node: SG_GET_VERSION_NUM, SG_IO with an sg_io_hdr, and the few
// housekeeping requests of the sg driver that clients ask; everything else goes through.
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <scsi/sg.h>
#include <sys/ioctl.h>

#include "drive_exec.h"
#include "drive_reset.h"
#include "preload_state.h"
#include "sense_build.h"
#include "trace.h"

// A slow drive's command takes its time: a real wait, resumed after a signal handler ran.
static void wait_ms(uint32_t ms) {
    struct timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// Writes a data-in answer into the caller's buffer through the open's bounce buffer, as the sg
// driver does: the drive's bytes go into the bounce buffer, and the driver then copies all
// dxfer_len bytes of it back whatever resid says. Behind a short answer the caller finds the
// bytes that the previous data-in command on this open left there.
static void copy_data_in(NodeOpen &open, const Answer &a, uint32_t dxfer_len, void *dest) {
    uint32_t missing = a.resid > 0 ? std::min(static_cast<uint32_t>(a.resid), dxfer_len) : 0;
    size_t moved = std::min<size_t>(a.data.size(), dxfer_len - missing);
    if (open.bounce.size() < dxfer_len)
        open.bounce.resize(dxfer_len, 0);
    std::copy_n(a.data.begin(), moved, open.bounce.begin());
    std::memcpy(dest, open.bounce.data(), dxfer_len);
}

// The answer on an open of a drive that has since dropped off the bus or moved: while it is
// away the command ends at once with host status DID_NO_CONNECT and nothing moved, as the
// midlayer ends commands to a device that is going; once it is back (or elsewhere) the open
// leads to no device at all (ENODEV).
static Answer departed_answer(const Drive &d, const Command &cmd) {
    Answer a;
    if (drive_absent(d)) {
        a.host_status = k_did_no_connect;
        a.resid = static_cast<int32_t>(cmd.dxfer_len);
    } else {
        a.io_errno = ENODEV;
    }
    return a;
}

// Builds the drive's command from the header, runs it, and writes the answer back as the
// sg driver does. Returns 0, or -1 with errno set.
static int sg_io(PreloadState &s, NodeOpen &open, sg_io_hdr_t *h) {
    size_t drive = open.drive;
    if (h == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (h->interface_id != 'S') {
        errno = ENOSYS;
        return -1;
    }
    if (h->cmd_len < 6 || h->cmd_len > 16 || h->cmdp == nullptr) {
        errno = h->cmdp == nullptr ? EFAULT : EMSGSIZE;
        return -1;
    }
    int dir = h->dxfer_direction;
    if (dir != k_dxfer_none && dir != k_dxfer_to_dev && dir != k_dxfer_from_dev &&
        dir != k_dxfer_to_from_dev) {
        errno = EINVAL;
        return -1;
    }
    if (h->iovec_count != 0 || (h->dxfer_len > 0 && dir != k_dxfer_none && h->dxferp == nullptr)) {
        errno = h->iovec_count != 0 ? EINVAL : EFAULT;
        return -1;
    }
    Command cmd;
    cmd.cdb.assign(h->cmdp, h->cmdp + h->cmd_len);
    cmd.direction = dir;
    cmd.dxfer_len = dir == k_dxfer_none ? 0 : h->dxfer_len;
    cmd.timeout_ms = h->timeout;
    if (dir == k_dxfer_to_dev || dir == k_dxfer_to_from_dev)
        cmd.data_out = {static_cast<const uint8_t *>(h->dxferp), h->dxfer_len};

    Answer a;
    if (open.generation == s.bay.drives[drive].rt.generation) {
        wait_ms(s.bay.drives[drive].slow_ms);
        a = execute_command(s.bay, drive, cmd);
    } else {
        a = departed_answer(s.bay.drives[drive], cmd);
    }
    if (!s.bay.trace_path.empty() &&
        !append_trace(s.bay.trace_path, trace_line(s.bay.drives[drive].node, cmd, a)))
        std::fprintf(stderr, "sgsim: cannot append to %s\n", s.bay.trace_path.c_str());
    if (a.state_changed)
        save_firmware(s);
    if (a.io_errno != 0) {
        errno = a.io_errno;
        return -1;
    }
    if (a.writes_data && cmd.dxfer_len > 0)
        copy_data_in(open, a, cmd.dxfer_len, h->dxferp);
    h->status = a.status;
    h->masked_status = masked_status_of(a);
    h->msg_status = 0;
    h->host_status = a.host_status;
    h->driver_status = a.driver_status;
    h->info = info_of(a);
    h->resid = a.resid;
    h->duration = a.duration_ms;
    size_t sb = std::min<size_t>(h->mx_sb_len, a.sense.size());
    if (h->sbp == nullptr)
        sb = 0;
    if (sb > 0)
        std::memcpy(h->sbp, a.sense.data(), sb);
    h->sb_len_wr = h->sbp == nullptr ? 0 : sb_len_wr_of(a, h->mx_sb_len);
    return 0;
}

static int put_int(void *arg, int value) {
    if (arg == nullptr) {
        errno = EFAULT;
        return -1;
    }
    std::memcpy(arg, &value, sizeof value);
    return 0;
}

static int node_ioctl(PreloadState &s, NodeOpen &open, unsigned long request, void *arg) {
    size_t drive = open.drive;
    if (s.bay.drives[drive].rt.vanished) {
        errno = ENODEV;
        return -1;
    }
    if (open.generation != s.bay.drives[drive].rt.generation && request != SG_IO) {
        errno = ENODEV;
        return -1;
    }
    switch (request) {
    case SG_GET_VERSION_NUM: {
        int value = 0;
        int err = version_of_drive(s.bay, drive, value);
        if (err != 0) {
            errno = err;
            return -1;
        }
        return put_int(arg, value);
    }
    case SG_IO:
        return sg_io(s, open, static_cast<sg_io_hdr_t *>(arg));
    case SG_GET_RESERVED_SIZE:
        return put_int(arg, 32768);
    case SG_GET_SG_TABLESIZE:
        return put_int(arg, 128);
    case SG_EMULATED_HOST:
    case SG_GET_COMMAND_Q:
    case SG_GET_PACK_ID:
    case SG_GET_NUM_WAITING:
        return put_int(arg, 0);
    case SG_SET_RESERVED_SIZE:
    case SG_SET_TIMEOUT:
    case SG_SET_COMMAND_Q:
    case SG_SET_FORCE_PACK_ID:
    case SG_SET_KEEP_ORPHAN:
    case SG_SET_DEBUG:
        return 0;
    case SG_GET_TIMEOUT:
        return 60 * 100; // the driver's default, in jiffies
    case SG_GET_SCSI_ID: {
        if (arg == nullptr) {
            errno = EFAULT;
            return -1;
        }
        struct sg_scsi_id id;
        std::memset(&id, 0, sizeof id);
        id.scsi_id = static_cast<int>(drive);
        id.scsi_type = 0; // disk
        id.h_cmd_per_lun = 1;
        id.d_queue_depth = 1;
        std::memcpy(arg, &id, sizeof id);
        return 0;
    }
    default:
        errno = ENOTTY;
        return -1;
    }
}

SGSIM_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    PreloadState &s = preload_state();
    if (s.active) {
        std::lock_guard<std::mutex> lock(s.mu);
        auto it = s.fds.find(fd);
        // The trace and the bay file written back leave no errno behind.
        if (it != s.fds.end())
            return CallerErrno{}.answer(node_ioctl(s, *it->second, request, arg));
    }
    static auto real = reinterpret_cast<int (*)(int, unsigned long, ...)>(next_symbol("ioctl"));
    return real(fd, request, arg);
}
