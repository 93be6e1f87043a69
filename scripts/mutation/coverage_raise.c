/* Linked into every program of a DLCOR_COVERAGE build, which links with --wrap=raise and
 * --wrap=_exit: a process that dies of a signal it raises itself (dl_cor_fw after a stop
 * signal), or ends with _exit (a test's forked child, a death test), writes its line counts
 * first, as one that exits does. Without it, those runs would seem to run none of the lines
 * they ran. */
#include <signal.h>

void __gcov_dump(void);
int __real_raise(int signo);
void __real__exit(int status) __attribute__((noreturn));

int __wrap_raise(int signo) {
    __gcov_dump();
    return __real_raise(signo);
}

void __wrap__exit(int status) {
    __gcov_dump();
    __real__exit(status);
}
