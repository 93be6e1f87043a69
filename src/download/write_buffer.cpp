// The WRITE BUFFER sender: one command per segment, judged as it returns, stopping at the
// first failure.
#include "download/download.h"
#include "download/download_plan.h"
#include "download/download_report.h"
#include "download/signal_hold.h"
#include "sg/sg_io.h"
#include "sg/unit_ready.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <scsi/sg.h>

int send_write_buffer(int fd, uint8_t mode, uint8_t segment_count, const uint8_t *data,
                      uint32_t length, DownloadReport *report) {
    DownloadReport unused{};
    DownloadReport &done = report != nullptr ? *report : unused;
    done = DownloadReport{};
    if (length == 0) {
        done.failure = "the image is empty";
        printf("%s Invalid Command Parameters\n", "send_write_buffer");
        return -1;
    }
    Refusal refusal = check_write_buffer_image(mode, segment_count, length);
    if (refusal.refused) {
        done.failure = refusal.reason;
        report_refusal("send_write_buffer", refusal);
        return -1;
    }
    // The image's first command: from here no stop signal cuts the image short, and
    // a unit attention the drive holds is taken by TEST UNIT READY, not by the first segment.
    hold_stop_signals();
    clear_unit_attention(fd);
    SegmentSizes sizes = write_buffer_sizes(mode, segment_count, length);
    uint8_t cdb[k_write_buffer_cdb_len];
    build_write_buffer_cdb(cdb, mode, 0, 0);

    // One request serves every command; only the data pointer, the length and the CDB
    // fields change between them.
    SgRequest req = download_request(fd, cdb, k_write_buffer_cdb_len);

    int result = 0;
    uint32_t count = planned_command_count(sizes);
    for (uint32_t i = 0; i < count; ++i) {
        PlannedCommand cmd = write_buffer_command(mode, sizes, i);
        memcpy(cdb, cmd.cdb, k_write_buffer_cdb_len);
        // The data goes to the device only; the transport never writes through this pointer.
        req.data = const_cast<uint8_t *>(data + cmd.offset);
        req.data_len = cmd.length;
        if (req.debug != 0) {
            print_write_buffer_trace(cmd, data);
        }
        int rc = send_io(&req);
        int saved_errno = errno;
        ++done.commands_sent;
        CommandFacts facts = classify_command(rc, req);
        CommandVerdict verdict = judge_write_buffer_command(facts);
        if (verdict.failed) {
            done.failure = describe_answer(facts);
            report_write_buffer_failure(verdict, saved_errno);
            result = -1;
            break;
        }
        done.bytes_accepted += cmd.length;
        print_progress_mark(cmd.final_piece);
    }
    print_progress_end();
    return result;
}
