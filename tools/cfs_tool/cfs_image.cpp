// What dl_cor_fw would find at an image path of a CFS file, for check and plan: found without
// opening anything that can wait (a FIFO without a writer) or act (a device), and judged by
// the run's own checks of an image.
#include "base/holders.h"
#include "cfs_tool.h"
#include "download/statements.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

const char *file_kind(mode_t mode) {
    if (S_ISDIR(mode)) {
        return "a directory";
    }
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISCHR(mode)) {
        return "a character device";
    }
    if (S_ISBLK(mode)) {
        return "a block device";
    }
    return S_ISSOCK(mode) ? "a socket" : "not a file";
}

} // namespace

image_probe probe_image(int dir_fd, const char *path) {
    image_probe p;
    struct stat st;
    // Only a regular file is opened, and without waiting: the stat takes no open, and a file
    // swapped for something else in between shows in the fstat of what was opened.
    if (fstatat(dir_fd, path, &st, 0) != 0) {
        p.error = errno;
        return p;
    }
    if (S_ISREG(st.st_mode)) {
        UniqueFd f(openat(dir_fd, path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (!f || fstat(f.get(), &st) != 0) {
            p.error = errno;
            return p;
        }
    }
    if (!S_ISREG(st.st_mode)) {
        p.kind = file_kind(st.st_mode);
        return p;
    }
    p.regular = true;
    p.size = st.st_size;
    return p;
}

std::string run_refusal(const image_probe &p) {
    Refusal too_long = check_image_length(p.size);
    if (too_long.refused) {
        return too_long.reason;
    }
    // A CFS run downloads only to ATA drives, by DOWNLOAD MICROCODE unless -w forces WRITE
    // BUFFER. With any segment count the sender's checks are the ones that no segment size
    // avoids: an empty image, one that is not whole 512-byte blocks, one beyond 32 MiB. (An
    // image over 8 MiB also needs -s, which the plan is not given.)
    constexpr uint8_t k_any_segment_count = 1;
    return image_refusal(plan_for_run(SENDER_ATA_PASSTHROUGH, DownloadGoal::update,
                                      k_any_segment_count, DriveStatements{},
                                      static_cast<uint32_t>(p.size)));
}
