/* Linked into every program of a DLCOR_COVERAGE build, which links with --wrap=raise: a
 * process that dies of a signal it raises itself (dl_cor_fw after a stop signal) writes its
 * line counts first, as one that exits does. Without it, the runs that stop on a signal would
 * seem to run none of the lines they ran. */
#include <signal.h>

void __gcov_dump(void);
int __real_raise(int signo);

int __wrap_raise(int signo) {
    __gcov_dump();
    return __real_raise(signo);
}
