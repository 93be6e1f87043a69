// Lines on standard error. Each is written after whatever standard output holds, so that a
// terminal, or one file that takes both streams, shows them in the order they happened.
#pragma once

#include <cerrno>
#include <cstdarg>
#include <cstdio>

// fprintf(stderr, ...) once standard output is flushed; errno is kept.
[[gnu::format(printf, 1, 2)]] inline void print_error(const char *format, ...) {
    int saved = errno;
    fflush(stdout);
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    errno = saved;
}

// perror(what) once standard output is flushed, naming errno as it was on entry.
inline void print_errno(const char *what) {
    int saved = errno;
    fflush(stdout);
    errno = saved;
    perror(what);
}
