#include "download/report.h"

#include "base/error_output.h"
#include "sg/diag.h"

#include <cerrno>
#include <cstdio>

namespace {

void print_reason(const char *who, const CommandVerdict &verdict) {
    if (verdict.explained) {
        print_error("%s: %s\n", who, verdict.reason);
    }
}

} // namespace

const char *sender_name(DownloadSender sender) {
    return sender == SENDER_ATA_PASSTHROUGH ? "send_ata_passthrough" : "send_write_buffer";
}

void print_command_trace(const DownloadPlan &plan, const PlannedCommand &cmd, const uint8_t *data) {
    const uint8_t *c = cmd.cdb;
    if (plan.method.segmenting == Segmenting::none) {
        printf("activate_cdb:");
        for (uint8_t i = 0; i < cmd.cdb_len; ++i) {
            printf(" %02x", c[i]);
        }
        printf("\n");
        return;
    }
    const uint8_t *start = data + cmd.offset;
    if (plan.method.sender == SENDER_ATA_PASSTHROUGH) {
        printf("CDB: x%x, x%x, x%x, x%x, x%x, x%x, x%x, x%x, x%x, x%x pdata 0x%x\n", c[0], c[1],
               c[2], c[3], c[4], c[5], c[6], c[7], c[8], c[9], low32(start));
        return;
    }
    if (cmd.final_piece) {
        printf("Final remainder %d pdata x%x\n", static_cast<int>(cmd.length), low32(start));
        printf("wb_cdb: x%x,x%x,x%x,x%x,x%x,x%x,x%x,x%x,x%x,x%x\n", c[0], c[1], c[2], c[3], c[4],
               c[5], c[6], c[7], c[8], c[9]);
        return;
    }
    printf("wb_cdb: x%x,x%x,x%x,x%x,x%x,x%x,x%x,x%x,x%x,x%x pdata 0x%x\n", c[0], c[1], c[2], c[3],
           c[4], c[5], c[6], c[7], c[8], c[9], low32(start));
}

void print_progress_mark(bool final_piece) {
    fputs(final_piece ? " % " : " . ", stdout);
    fflush(stdout);
}

void print_progress_end() {
    puts(" !");
    fflush(stdout);
}

void report_refusal(const char *who, const Refusal &refusal) {
    print_error("%s: %s\n", who, refusal.reason);
}

void report_download_failure(const DownloadPlan &plan, const CommandVerdict &verdict,
                             const AtaRegisters &last_registers, int saved_errno) {
    print_reason(sender_name(plan.method.sender), verdict);
    if (plan.method.sender == SENDER_ATA_PASSTHROUGH) {
        printf("\nATA Ret: Err 0x%x, Dev 0x%x, Status 0x%x\n", last_registers.error,
               last_registers.device, last_registers.status);
    }
    errno = saved_errno;
    print_errno("send_io");
}
