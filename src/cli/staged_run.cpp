#include "cli/staged_run.h"

#include "cli/verify.h"
#include "download/download_plan.h"
#include "download/signal_hold.h"
#include "sg/capabilities.h"
#include "sg/identify.h"
#include "sg/unit_ready.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

// How the plan cuts the image: "in one command", "in 3 segments of 32768 bytes, the last of
// 4464 bytes".
std::string plan_text(const PlannedDownload &p) {
    char text[96];
    const SegmentSizes &z = p.sizes;
    uint32_t commands = planned_command_count(z);
    if (p.segment == 0) {
        return "in one command";
    }
    if (z.full_segments == 0) {
        snprintf(text, sizeof text, "in 1 segment of %u bytes", z.remainder);
    } else if (z.remainder == 0) {
        snprintf(text, sizeof text, "in %u segment%s of %u bytes", commands,
                 commands == 1 ? "" : "s", z.segment_size);
    } else {
        snprintf(text, sizeof text, "in %u segments of %u bytes, the last of %u bytes", commands,
                 z.segment_size, z.remainder);
    }
    return text;
}

// The reasons the run would send nothing: the image's own (length, emptiness, the method's
// limits) and what the drive states.
std::vector<std::string> preflight_refusals(const DriveStatements &s, const PlannedDownload &p) {
    std::vector<std::string> out = check_download(s, p);
    std::string own = image_refusal(p);
    if (!own.empty()) {
        out.insert(out.begin(), own);
    }
    return out;
}

// Sends the activation CDB with no data, with the download time-out. Returns the facts.
CommandFacts send_activation(int fd, DownloadSender sender) {
    uint8_t cdb[k_max_cdb_len];
    uint8_t cdb_len = k_write_buffer_cdb_len;
    if (sender == SENDER_ATA_PASSTHROUGH) {
        build_ata_activate_cdb(cdb);
        cdb_len = k_ata_cdb_len;
    } else {
        build_write_buffer_activate_cdb(cdb);
    }
    SgRequest req = download_request(fd, cdb, cdb_len);
    req.direction = DIR_NONE;
    if (req.debug != 0) {
        printf("activate_cdb:");
        for (uint8_t i = 0; i < cdb_len; ++i) {
            printf(" %02x", cdb[i]);
        }
        printf("\n");
    }
    int rc = send_io(&req);
    return classify_command(rc, req);
}

} // namespace

DriveStatements read_drive_statements(int fd, const DeviceIdentity &id, DownloadSender sender,
                                      bool stage) {
    DriveStatements s;
    if (sender == SENDER_ATA_PASSTHROUGH) {
        parse_identify_statements(id.identify, s);
        uint8_t page[ATA_LOG_PAGE_LEN];
        if (stage && read_capabilities_page(fd, page) == Reply::answered) {
            parse_capabilities_page(page, s);
        }
        return s;
    }
    read_extended_inquiry(fd, s);
    uint8_t desc[READ_BUFFER_DESCRIPTOR_LEN];
    if (read_buffer_descriptor(fd, desc) == Reply::answered) {
        parse_read_buffer_descriptor(desc, s);
    }
    return s;
}

void preflight_stage(const RunOptions &opts, const DeviceIdentity &id, const char *path, int fd,
                     const char *image, RunState *state) {
    std::string why;
    long long length = measure_image_file(image, &why);
    Refusal too_long = check_image_length(length);
    if (length < 0 || too_long.refused) {
        printf("%s: would not send %s: %s\n", path, image,
               length < 0 ? why.c_str() : too_long.reason);
        state->run_status = k_exit_download_failed;
        return;
    }
    DownloadSender sender = choose_method(forced_method(opts), id.is_ata).sender;
    DriveStatements s = read_drive_statements(fd, id, sender, opts.stage);
    PlannedDownload p =
        plan_download(sender, opts.segment_count, opts.stage, s, static_cast<uint32_t>(length));
    std::string method = method_name(sender, p.code);
    std::vector<std::string> refusals = preflight_refusals(s, p);
    if (refusals.empty()) {
        printf("%s: would send %s (%lld bytes) by %s %s\n", path, image, length, method.c_str(),
               plan_text(p).c_str());
        return;
    }
    for (const std::string &line : refusals) {
        printf("%s: would not send %s by %s: %s\n", path, image, method.c_str(), line.c_str());
    }
    state->run_status = k_exit_download_failed;
}

void activate_stage(const RunOptions &opts, const DeviceIdentity &id, const char *path, int fd,
                    RunState *state) {
    DeviceRecord &record = state->device;
    record.decision = DECISION_ACTIVATE;
    MethodChoice choice = choose_method(forced_method(opts), id.is_ata);
    printf("Activating the firmware staged on %s\n", path);
    for (int i = 0; i < choice.line_count; ++i) {
        puts(choice.lines[i]);
    }
    // Both methods activate with code 0Fh.
    static_assert(DLMC_ACTIVATE == WB_MODE_ACTIVATE_DEFERRED);
    record.method = method_name(choice.sender, DLMC_ACTIVATE);
    fflush(stdout);
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    // As before an image: no stop signal cuts the activation off from its revision check, and
    // a unit attention the drive holds is taken by TEST UNIT READY, not by the activation.
    hold_stop_signals();
    clear_unit_attention(fd);
    CommandFacts facts = send_activation(fd, choice.sender);
    record.seconds = seconds_since(start);
    record.commands_sent = 1;
    CommandVerdict verdict = choice.sender == SENDER_ATA_PASSTHROUGH
                                 ? judge_ata_download_command(facts)
                                 : judge_write_buffer_command(facts);
    if (!verdict.failed) {
        RevisionCheck check = check_revision(fd, id, true);
        report_revision(path, id, check, true, REPORT_ACTIVATION);
        if (record_revision_check(check, REPORT_ACTIVATION, &record)) {
            state->run_status = k_exit_download_failed;
        }
        log_download_attempt(record);
        return;
    }
    std::string answer = describe_answer(facts);
    if (refuses_activation(facts)) {
        // The drive's own refusal of the sequence, not a fault of the host: said plainly.
        record.reason = std::string(facts.has_ata ? "nothing is staged to activate, or the "
                                                    "drive takes no DOWNLOAD MICROCODE 0Fh"
                                                  : "nothing is staged to activate") +
                        " (the drive answered " + answer + ")";
        printf("%s: %s\n", path, record.reason.c_str());
    } else {
        record.reason = answer;
        fflush(stdout);
        fprintf(stderr, "%s: activation failed: %s%s%s\n", path, answer.c_str(),
                verdict.explained ? "; " : "", verdict.explained ? verdict.reason : "");
    }
    puts("Activation FAILED");
    record.outcome = OUTCOME_FAILED;
    state->run_status = k_exit_download_failed;
    log_download_attempt(record);
}
