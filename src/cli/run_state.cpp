#include "cli/run_state.h"

struct timespec monotonic_now() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

double seconds_since(const struct timespec &start) {
    struct timespec now = monotonic_now();
    return static_cast<double>(now.tv_sec - start.tv_sec) +
           static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}
