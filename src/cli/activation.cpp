#include "cli/activation.h"

#include "base/error_output.h"
#include "cli/drive_return.h"
#include "cli/revision_check.h"
#include "cli/signal_hold.h"
#include "download/download.h"
#include "record/run_record.h"

#include <cstdio>
#include <string>

namespace {

// Says why the activation failed, on the line and in the record.
void report_failed_activation(const DownloadReport &report, const char *path,
                              DeviceRecord *record) {
    const CommandFacts &facts = report.last_facts;
    std::string answer = describe_answer(facts);
    if (refuses_activation(facts)) {
        // The drive's own refusal of the sequence, not a fault of the host: said plainly.
        record->reason = std::string(facts.has_ata ? "nothing is staged to activate, or the "
                                                     "drive takes no DOWNLOAD MICROCODE 0Fh"
                                                   : "nothing is staged to activate") +
                         " (the drive answered " + answer + ")";
        printf("%s: %s\n", path, record->reason.c_str());
    } else {
        const CommandVerdict &verdict = report.last_verdict;
        record->reason = answer;
        print_error("%s: activation failed: %s%s%s\n", path, answer.c_str(),
                    verdict.explained ? "; " : "", verdict.explained ? verdict.reason : "");
    }
    puts("Activation FAILED");
}

} // namespace

void activation_step(const RunOptions &opts, const DeviceIdentity &id, const char *path, int fd,
                     RunState *state) {
    DeviceRecord &record = state->device;
    record.decision = DECISION_ACTIVATE;
    MethodChoice choice = choose_method(forced_method(opts), id.is_ata);
    // As before an image: no stop signal cuts the activation off from its revision check,
    // nor comes between its announcement and the command.
    hold_stop_signals();
    printf("Activating the firmware staged on %s\n", path);
    for (int i = 0; i < choice.line_count; ++i) {
        puts(choice.lines[i]);
    }
    fflush(stdout);
    struct timespec start = monotonic_now();
    DownloadReport report;
    int result = activate_staged_microcode(fd, choice.sender, &report);
    record.method = report.method;
    record.seconds = seconds_since(start);
    record.commands_sent = report.commands_sent;
    if (result == 0) {
        verify_after_microcode(opts, id, path, fd, REPORT_ACTIVATION, state);
    } else {
        report_failed_activation(report, path, &record);
        record.outcome = OUTCOME_FAILED;
        state->run_status = k_exit_download_failed;
    }
    log_download_attempt(record);
}
