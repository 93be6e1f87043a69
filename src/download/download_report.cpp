#include "download/download_report.h"

#include <cerrno>
#include <cstdio>

namespace {

// The low 32 bits of an address, as the traces show pointers.
unsigned low32(const void *p) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

void print_reason(const char *who, const CommandVerdict &verdict) {
    if (verdict.explained) {
        fflush(stdout);
        fprintf(stderr, "%s: %s\n", who, verdict.reason);
    }
}

void perror_send_io(int saved_errno) {
    fflush(stdout);
    errno = saved_errno;
    perror("send_io");
}

} // namespace

void print_write_buffer_trace(const PlannedCommand &cmd, const uint8_t *data) {
    const uint8_t *c = cmd.cdb;
    const uint8_t *start = data + cmd.offset;
    if (cmd.final_piece) {
        printf("Final remainder %d pdata x%x\n", static_cast<int>(cmd.length), low32(start));
        printf("wb_cdb: x%x,x%x,x%x,x%x,x%x,x%x,x%x,x%x,x%x,x%x\n", c[0], c[1], c[2], c[3], c[4],
               c[5], c[6], c[7], c[8], c[9]);
        return;
    }
    printf("wb_cdb: x%x,x%x,x%x,x%x,x%x,x%x,x%x,x%x,x%x,x%x pdata 0x%x\n", c[0], c[1], c[2], c[3],
           c[4], c[5], c[6], c[7], c[8], c[9], low32(start));
}

void print_ata_download_trace(const PlannedCommand &cmd, const uint8_t *data) {
    const uint8_t *c = cmd.cdb;
    printf("CDB: x%x, x%x, x%x, x%x, x%x, x%x, x%x, x%x, x%x, x%x pdata 0x%x\n", c[0], c[1], c[2],
           c[3], c[4], c[5], c[6], c[7], c[8], c[9], low32(data + cmd.offset));
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
    fflush(stdout);
    fprintf(stderr, "%s: %s\n", who, refusal.reason);
}

void report_write_buffer_failure(const CommandVerdict &verdict, int saved_errno) {
    print_reason("send_write_buffer", verdict);
    perror_send_io(saved_errno);
}

void report_ata_download_failure(const CommandVerdict &verdict, const SgRequest &req,
                                 int saved_errno) {
    print_reason("send_ata_passthrough", verdict);
    printf("\nATA Ret: Err 0x%x, Dev 0x%x, Status 0x%x\n", req.ata_error, req.ata_device,
           req.ata_status);
    perror_send_io(saved_errno);
}
