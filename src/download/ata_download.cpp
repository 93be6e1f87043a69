// The DOWNLOAD MICROCODE sender: one ATA PASS-THROUGH (12) command per segment, judged as it
// returns, stopping at the first failure.
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

int send_ata_passthrough(int fd, uint8_t subcommand, uint16_t blocks_per_segment,
                         const uint8_t *data, uint32_t length, DownloadReport *report) {
    DownloadReport unused{};
    DownloadReport &done = report != nullptr ? *report : unused;
    done = DownloadReport{};
    if (length == 0) {
        done.failure = "the image is empty";
        puts("ERROR: Data Length to ATA PASSTHROUGH function cannot be 0");
        return -1;
    }
    Refusal refusal = check_ata_image(subcommand, length);
    if (refusal.refused) {
        done.failure = refusal.reason;
        report_refusal("send_ata_passthrough", refusal);
        return -1;
    }
    // The image's first command: from here no stop signal cuts the image short, and
    // a unit attention the drive holds is taken by TEST UNIT READY, not by the first segment.
    hold_stop_signals();
    clear_unit_attention(fd);
    SegmentSizes sizes = ata_download_sizes(subcommand, blocks_per_segment, length);
    uint8_t cdb[k_ata_cdb_len];
    build_ata_download_cdb(cdb, subcommand, sizes.segment_blocks, 0);

    // One request serves every command; only the data pointer, the length and the CDB
    // fields change between them. The ATA registers it holds are therefore the latest the
    // drive returned during this download.
    SgRequest req = download_request(fd, cdb, k_ata_cdb_len);

    int result = 0;
    uint32_t count = planned_command_count(sizes);
    for (uint32_t i = 0; i < count; ++i) {
        PlannedCommand cmd = ata_download_command(subcommand, sizes, i);
        memcpy(cdb, cmd.cdb, k_ata_cdb_len);
        // The data goes to the device only; the transport never writes through this pointer.
        req.data = const_cast<uint8_t *>(data + cmd.offset);
        req.data_len = cmd.length;
        if (req.debug != 0) {
            print_ata_download_trace(cmd, data);
        }
        int rc = send_io(&req);
        int saved_errno = errno;
        ++done.commands_sent;
        CommandFacts facts = classify_command(rc, req);
        CommandVerdict verdict = judge_ata_download_command(facts);
        if (verdict.failed) {
            done.failure = describe_answer(facts);
            report_ata_download_failure(verdict, req, saved_errno);
            result = -1;
            break;
        }
        done.bytes_accepted += cmd.length;
        // A drive that reports progress says after each segment whether it expects more;
        // after the last one it should not.
        done.more_expected = ata_subcommand_has_offsets(subcommand) && i + 1 == count &&
                             expects_more_microcode(facts, cmd.cdb[4]);
        print_progress_mark(cmd.final_piece);
    }
    print_progress_end();
    return result;
}
