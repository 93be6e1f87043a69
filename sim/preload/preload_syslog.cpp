// The system log under a bay: openlog, syslog, vsyslog, their fortified forms and closelog
// write each message into the trace as a line of its own kind ({"syslog": {...}}), so that a
// rehearsal leaves the host's log untouched and a test sees what a run would have logged.
// Without a bay every call goes to the C library.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <syslog.h>

#include "preload_state.h"
#include "trace.h"

namespace {

// What openlog set; the C library's defaults until it is called.
struct LogSettings {
    std::string ident;
    bool ident_set = false;
    int facility = LOG_USER;
};

LogSettings &settings() {
    static LogSettings *s = new LogSettings; // never destroyed: exit handlers may log
    return *s;
}

void trace_message(PreloadState &s, int priority, const char *format, va_list ap) {
    // The message is formatted before the lock is taken; %m stands for the caller's errno.
    CallerErrno caller;
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string message(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    caller.restore();
    std::vsnprintf(message.data(), message.size() + 1, format, ap);
    std::lock_guard<std::mutex> lock(s.mu);
    const LogSettings &log = settings();
    int facility = (priority & LOG_FACMASK) != 0 ? (priority & LOG_FACMASK) : log.facility;
    std::string ident = log.ident_set ? log.ident : program_invocation_short_name;
    if (!s.bay.trace_path.empty() &&
        !append_trace(s.bay.trace_path,
                      syslog_trace_line(ident, facility, LOG_PRI(priority), message)))
        std::fprintf(stderr, "sgsim: cannot append to %s\n", s.bay.trace_path.c_str());
    caller.restore(); // as syslog(3), which leaves errno alone
}

using vsyslog_fn = void (*)(int, const char *, va_list);
using vsyslog_chk_fn = void (*)(int, int, const char *, va_list);

} // namespace

SGSIM_EXPORT void openlog(const char *ident, int option, int facility) {
    PreloadState &s = preload_state();
    if (!s.active) {
        static auto real =
            reinterpret_cast<void (*)(const char *, int, int)>(next_symbol("openlog"));
        real(ident, option, facility);
        return;
    }
    std::lock_guard<std::mutex> lock(s.mu);
    LogSettings &log = settings();
    log.ident_set = ident != nullptr;
    log.ident = ident != nullptr ? ident : "";
    if (facility != 0 && (facility & ~LOG_FACMASK) == 0)
        log.facility = facility;
}

SGSIM_EXPORT void closelog() {
    PreloadState &s = preload_state();
    if (!s.active) {
        static auto real = reinterpret_cast<void (*)()>(next_symbol("closelog"));
        real();
        return;
    }
    std::lock_guard<std::mutex> lock(s.mu);
    settings() = LogSettings{};
}

SGSIM_EXPORT void vsyslog(int priority, const char *format, va_list ap) {
    PreloadState &s = preload_state();
    if (!s.active) {
        static auto real = reinterpret_cast<vsyslog_fn>(next_symbol("vsyslog"));
        real(priority, format, ap);
        return;
    }
    trace_message(s, priority, format, ap);
}

SGSIM_EXPORT void syslog(int priority, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    vsyslog(priority, format, ap);
    va_end(ap);
}

SGSIM_EXPORT void __vsyslog_chk(int priority, int flag, const char *format, va_list ap) {
    PreloadState &s = preload_state();
    if (!s.active) {
        static auto real = reinterpret_cast<vsyslog_chk_fn>(next_symbol("__vsyslog_chk"));
        real(priority, flag, format, ap);
        return;
    }
    trace_message(s, priority, format, ap);
}

SGSIM_EXPORT void __syslog_chk(int priority, int flag, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    __vsyslog_chk(priority, flag, format, ap);
    va_end(ap);
}
