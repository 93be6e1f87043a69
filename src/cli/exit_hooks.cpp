#include "cli/exit_hooks.h"

#include "sg/sg_io.h"

#include <cstdio>

int current_device_fd = -1;

void print_final_newline() {
    fputc('\n', stdout);
}

void close_current_device() {
    if (current_device_fd >= 0) {
        close_sg_fd(current_device_fd);
    }
    current_device_fd = -1;
}
