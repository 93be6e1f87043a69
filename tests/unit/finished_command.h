// Helpers shared by the unit tests of the commands' verdicts and of what the senders print:
// a finished command as the driver hands it back, and the capture of both output streams.
#pragma once

#include "download/plan.h"
#include "download/report.h"
#include "sg/sg_io.h"
#include "sg/verdict.h"

#include <gtest/gtest.h>
#include <scsi/sg.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// Descriptor-format sense with the ATA Status Return descriptor, as libata answers a
// pass-through with CK_COND: 72 <key> <asc> <ascq> 00 00 00 0e 09 0c 00 <error> 00 <count>
// 00 00 00 00 00 00 <device 40h> <status>.
inline std::vector<uint8_t> ata_return(uint8_t key, uint8_t asc, uint8_t ascq, uint8_t error,
                                       uint8_t status, uint8_t count = 0x01) {
    return {0x72,  key,  asc,   ascq, 0x00, 0x00, 0x00, 0x0e, 0x09, 0x0c, 0x00,
            error, 0x00, count, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, status};
}

// What the driver and the device returned for one command, and the verdict a rule owes it.
struct Answer {
    const char *what;
    int send_result;
    uint8_t masked_status;
    uint16_t host_status;
    uint16_t driver_status;
    int resid;
    std::vector<uint8_t> sense;
    bool failed;
    const char *reason; // nullptr: a failure shown by the plain test, or a success
};

// The request as send_io leaves it after a, run through the transport's own write-back.
// cdb must hold at least cdb_len bytes and outlive the request.
inline SgRequest finished_command(const Answer &a, uint8_t *cdb, uint8_t cdb_len,
                                  uint32_t data_len) {
    SgRequest req{};
    req.cdb = cdb;
    req.cdb_len = cdb_len;
    req.data_len = data_len;
    sg_io_hdr_t hdr{};
    uint8_t sense[SG_SENSE_LEN] = {};
    if (!a.sense.empty()) {
        std::memcpy(sense, a.sense.data(), std::min<size_t>(a.sense.size(), SG_SENSE_LEN));
    }
    hdr.sb_len_wr = static_cast<uint8_t>(a.sense.size());
    hdr.masked_status = a.masked_status;
    hdr.host_status = a.host_status;
    hdr.driver_status = a.driver_status;
    hdr.resid = a.resid;
    apply_io_result(&req, &hdr, sense);
    return req;
}

struct Captured {
    std::string out;
    std::string err;
};

// Runs f and returns what it wrote to standard output and standard error.
template <typename F> Captured capture(F &&f) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    f();
    fflush(stdout);
    Captured c;
    c.err = testing::internal::GetCapturedStderr();
    c.out = testing::internal::GetCapturedStdout();
    return c;
}

// The plan the sender functions make of a mode or subcommand, as they are called.
inline DownloadPlan plan_of(DownloadSender sender, uint8_t code, uint16_t segment,
                            uint32_t length) {
    return plan_download(method_for_code(sender, code), segment, length);
}
inline std::vector<PlannedCommand> plan_write_buffer(uint8_t mode, uint8_t segment_count,
                                                     uint32_t length) {
    return plan_commands(plan_of(SENDER_WRITE_BUFFER, mode, segment_count, length));
}
inline std::vector<PlannedCommand> plan_ata_download(uint8_t subcommand, uint16_t blocks,
                                                     uint32_t length) {
    return plan_commands(plan_of(SENDER_ATA_PASSTHROUGH, subcommand, blocks, length));
}
inline Refusal check_write_buffer_image(uint8_t mode, uint8_t segment_count, uint32_t length) {
    return check_plan_image(plan_of(SENDER_WRITE_BUFFER, mode, segment_count, length));
}
inline Refusal check_ata_image(uint8_t subcommand, uint32_t length) {
    return check_plan_image(plan_of(SENDER_ATA_PASSTHROUGH, subcommand, 0, length));
}
