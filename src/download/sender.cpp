#include "download/sender.h"

#include "sg/command.h"
#include "sg/sg_io.h"
#include "sg/unit_ready.h"

#include <cerrno>
#include <cstdio>

namespace {

// The message of each sender for an empty image, printed before anything is sent.
void report_empty_image(DownloadSender sender) {
    if (sender == SENDER_ATA_PASSTHROUGH) {
        puts("ERROR: Data Length to ATA PASSTHROUGH function cannot be 0");
    } else {
        printf("%s Invalid Command Parameters\n", sender_name(sender));
    }
}

CommandVerdict judge(DownloadSender sender, const CommandFacts &facts) {
    return sender == SENDER_ATA_PASSTHROUGH ? judge_ata_download_command(facts)
                                            : judge_write_buffer_command(facts);
}

bool has_data(const DownloadPlan &plan) {
    return plan.method.segmenting != Segmenting::none;
}

} // namespace

int send_plan(int fd, const DownloadPlan &plan, const uint8_t *data, DownloadReport *report) {
    DownloadReport unused{};
    DownloadReport &done = report != nullptr ? *report : unused;
    done = DownloadReport{};
    DownloadSender sender = plan.method.sender;
    bool image = has_data(plan);
    if (image && plan.image_length == 0) {
        done.failure = "the image is empty";
        report_empty_image(sender);
        return -1;
    }
    Refusal refusal = image ? check_plan_image(plan) : Refusal{};
    if (refusal.refused) {
        done.failure = refusal.reason;
        report_refusal(sender_name(sender), refusal);
        return -1;
    }
    // A unit attention the drive holds is taken by TEST UNIT READY, not by the first command.
    clear_unit_attention(fd);
    SendOptions options{k_download_timeout_ms, debug_level > 0};
    // The registers a drive returned last during this download, for the failure report.
    AtaRegisters last_registers{};
    int result = 0;
    uint32_t count = plan_command_count(plan);
    for (uint32_t i = 0; i < count; ++i) {
        PlannedCommand cmd = plan_command(plan, i);
        if (options.debug) {
            print_command_trace(plan, cmd, data);
        }
        const uint8_t *segment = image ? data + cmd.offset : nullptr;
        CommandFacts facts = send_command(fd, cmd.cdb, cmd.cdb_len, segment, cmd.length, options);
        int saved_errno = errno;
        ++done.commands_sent;
        if (facts.has_ata) {
            last_registers = facts.ata;
        }
        done.last_facts = facts;
        done.last_verdict = judge(sender, facts);
        if (done.last_verdict.failed) {
            done.failure = describe_answer(facts);
            if (image) {
                report_download_failure(plan, done.last_verdict, last_registers, saved_errno);
            }
            result = -1;
            break;
        }
        done.bytes_accepted += cmd.length;
        // A drive that reports progress says after each segment whether it expects more;
        // after the last one it should not.
        done.more_expected = sender == SENDER_ATA_PASSTHROUGH &&
                             plan.method.segmenting != Segmenting::whole && image &&
                             i + 1 == count && expects_more_microcode(facts, cmd.cdb[4]);
        if (image) {
            print_progress_mark(cmd.final_piece);
        }
    }
    if (image) {
        print_progress_end();
    }
    return result;
}

int send_write_buffer(int fd, uint8_t mode, uint8_t segment_count, const uint8_t *data,
                      uint32_t length, DownloadReport *report) {
    DownloadPlan plan =
        plan_download(method_for_code(SENDER_WRITE_BUFFER, mode), segment_count, length);
    return send_plan(fd, plan, data, report);
}

int send_ata_passthrough(int fd, uint8_t subcommand, uint16_t blocks_per_segment,
                         const uint8_t *data, uint32_t length, DownloadReport *report) {
    DownloadPlan plan = plan_download(method_for_code(SENDER_ATA_PASSTHROUGH, subcommand),
                                      blocks_per_segment, length);
    return send_plan(fd, plan, data, report);
}
