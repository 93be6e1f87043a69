// The stop signals (SIGINT, SIGTERM, SIGHUP, SIGQUIT), held for the span of one image: from
// its first command until the run has written its outcome, so that no signal leaves a drive
// with half an image. They are blocked, never caught: the SG_IO ioctl waits interruptibly,
// so a caught signal would make the sg driver abandon the command in flight, and with
// SA_RESTART the same segment would go out a second time.
#pragma once

// Notes which stop signals have their default action now, at the start of the run. A signal
// the run was started with ignored (nohup, a background job) stays ignored: it is never held,
// acted on or reported.
void note_stop_signal_dispositions();

// Blocks the stop signals that had their default action when their dispositions were noted
// and are not blocked already: none before they are noted, nothing more when they are held.
void hold_stop_signals();

// Takes one stop signal that arrived while they were held (one of them when several did)
// and returns its number; 0 when none arrived or nothing is held. They stay blocked.
int take_held_stop_signal();

// Unblocks what hold_stop_signals blocked; nothing when nothing is held.
void release_stop_signals();

// Ends the process by signo, a signal whose action is the default one (as every held signal's
// is): signo alone unblocked, the signal raised. A calling shell sees a child killed by signo.
[[noreturn]] void die_of_signal(int signo);

// The name of a stop signal ("SIGINT"), or "signal" for any other number.
const char *stop_signal_name(int signo);
