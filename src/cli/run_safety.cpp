#include "cli/run_safety.h"

#include "base/error_output.h"
#include "cli/exit_hooks.h"
#include "cli/signal_hold.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/file.h>

namespace {

const char *devices_word(size_t count) {
    return count == 1 ? "device" : "devices";
}

} // namespace

int claim_device(int fd, const char *path) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        return 0;
    }
    int saved = errno;
    if (saved == EWOULDBLOCK) {
        print_error("%s: in use by another process\n", path);
    } else {
        print_error("%s: cannot be locked: %s\n", path, strerror(saved));
    }
    return -1;
}

int take_stop_signal() {
    int signo = take_held_stop_signal();
    if (signo == 0) {
        release_stop_signals();
    }
    return signo;
}

void stop_for_signal(int signo, const char *path, size_t not_processed) {
    print_error("Interrupted by %s after %s; %zu %s not processed\n", stop_signal_name(signo), path,
                not_processed, devices_word(not_processed));
    close_current_device();
    // Death by a signal runs no exit hook, so the last newline is written here.
    print_final_newline();
    fflush(stdout);
    die_of_signal(signo);
}

bool output_lost(size_t not_processed) {
    fflush(stdout);
    if (ferror(stdout) == 0) {
        return false;
    }
    print_error("Standard output cannot be written: the run stops with %zu %s not processed\n",
                not_processed, devices_word(not_processed));
    return true;
}
