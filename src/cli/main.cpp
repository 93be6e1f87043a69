// dl_cor_fw: downloads firmware into disk drives through the Linux sg driver.
#include "cli/device_list.h"
#include "cli/device_run.h"
#include "cli/exit_hooks.h"
#include "cli/options.h"

#include <cstdlib>

int main(int argc, char **argv) {
    // First of all, so that every run ends its standard output with one extra newline.
    atexit(print_final_newline);

    RunOptions opts;
    ScanResult scan = scan_options(argc, argv, &opts);
    if (scan.exit_now) {
        return scan.status;
    }
    int status = check_options(&opts, scan.operand_count);
    if (status >= 0) {
        return status;
    }
    if (build_device_list(&opts.device_paths) < 0) {
        return k_exit_usage;
    }
    print_multiple_value_warnings(opts);
    // Registered after the newline hook, so it runs first at exit: a device left open by a
    // run that ended early is closed before the last newline is written.
    atexit(close_current_device);
    return run_devices(&opts);
}
