#include "cli/signal_hold.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <unistd.h>

namespace {

const int k_stop_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

bool held = false;
// The stop signals this hold blocked; those the process had blocked before stay as they were.
sigset_t held_set;
// The stop signals whose action was the default one when the run started.
sigset_t default_set;

} // namespace

void note_stop_signal_dispositions() {
    sigemptyset(&default_set);
    for (int signo : k_stop_signals) {
        struct sigaction action {};
        if (sigaction(signo, nullptr, &action) == 0 && action.sa_handler == SIG_DFL) {
            sigaddset(&default_set, signo);
        }
    }
}

void hold_stop_signals() {
    if (held) {
        return;
    }
    sigset_t before;
    sigprocmask(SIG_SETMASK, nullptr, &before);
    sigemptyset(&held_set);
    // An ignored signal is not held: blocked, it would stay pending and be taken for a stop.
    for (int signo : k_stop_signals) {
        if (sigismember(&default_set, signo) == 1 && sigismember(&before, signo) == 0) {
            sigaddset(&held_set, signo);
        }
    }
    sigprocmask(SIG_BLOCK, &held_set, nullptr);
    held = true;
}

int take_held_stop_signal() {
    if (!held) {
        return 0;
    }
    const struct timespec no_wait = {0, 0};
    int signo;
    do {
        signo = sigtimedwait(&held_set, nullptr, &no_wait);
    } while (signo < 0 && errno == EINTR);
    return signo > 0 ? signo : 0;
}

void release_stop_signals() {
    if (!held) {
        return;
    }
    held = false;
    sigprocmask(SIG_UNBLOCK, &held_set, nullptr);
}

void die_of_signal(int signo) {
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signo);
    sigprocmask(SIG_UNBLOCK, &one, nullptr);
    raise(signo);
    // Not reached for the stop signals, whose default action ends the process.
    _exit(128 + signo);
}

const char *stop_signal_name(int signo) {
    switch (signo) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    case SIGQUIT:
        return "SIGQUIT";
    default:
        return "signal";
    }
}
