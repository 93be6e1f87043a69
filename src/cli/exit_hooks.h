// The process-wide handle of the device being processed, and the two process-exit hooks.
#pragma once

// Handle of the sg node being processed; -1 while none is open.
extern int current_device_fd;

// Exit hook, registered first: writes one newline to standard output.
void print_final_newline();

// Exit hook and end-of-device step: closes current_device_fd when it is 0 or more, and sets
// it to -1 in every case.
void close_current_device();
