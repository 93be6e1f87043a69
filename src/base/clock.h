// Time as a run measures its waits: the monotonic clock, and pauses no signal cuts short.
#pragma once

#include <cerrno>
#include <cstdint>
#include <ctime>

// The monotonic clock now.
inline struct timespec monotonic_now() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

// The monotonic clock, in milliseconds.
inline uint64_t monotonic_ms() {
    struct timespec now = monotonic_now();
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

// Seconds on the monotonic clock since start.
inline double seconds_since(const struct timespec &start) {
    struct timespec now = monotonic_now();
    return static_cast<double>(now.tv_sec - start.tv_sec) +
           static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

// Sleeps ms milliseconds; a signal handler that runs meanwhile does not cut the pause short.
inline void pause_ms(uint32_t ms) {
    struct timespec left = {static_cast<time_t>(ms / 1000),
                            static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
