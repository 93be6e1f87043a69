#include "sg/unit_ready.h"

#include "base/clock.h"
#include "sg/cdb.h"
#include "sg/command.h"
#include "sg/sg_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

namespace {

// Masked SCSI status values (the SAM status shifted right by one) and the sense key the wait
// reads.
constexpr uint8_t STATUS_GOOD = 0x00;
constexpr uint8_t STATUS_CHECK_CONDITION = 0x01;
constexpr uint8_t SENSE_NOT_READY = 0x2;

constexpr uint32_t k_first_pause_ms = 100;
constexpr uint32_t k_longest_pause_ms = 1000;

CommandFacts send_test_unit_ready(int fd, bool quiet) {
    uint8_t cdb[TEST_UNIT_READY_CDB_LEN];
    build_test_unit_ready_cdb(cdb);
    SendOptions options{SG_DEFAULT_TIMEOUT_MS, debug_level > 0, quiet};
    if (options.debug) {
        printf("tur_cdb: x%x,x%x,x%x,x%x,x%x,x%x\n", cdb[0], cdb[1], cdb[2], cdb[3], cdb[4],
               cdb[5]);
    }
    return send_command(fd, cdb, TEST_UNIT_READY_CDB_LEN, nullptr, 0, options);
}

} // namespace

int clear_unit_attention(int fd) {
    int sent = 0;
    while (sent < UNIT_ATTENTION_MAX_TRIES) {
        CommandFacts facts = send_test_unit_ready(fd, false);
        ++sent;
        if (!reports_unit_attention(facts)) {
            break;
        }
    }
    return sent;
}

Readiness judge_readiness(const CommandFacts &f) {
    if (f.transport_failed) {
        bool gone = f.transport_errno == ENODEV || f.transport_errno == ENXIO;
        return gone ? Readiness::gone : Readiness::waiting;
    }
    if (f.host_status == DID_NO_CONNECT || f.host_status == DID_BAD_TARGET) {
        return Readiness::gone;
    }
    if (reports_unit_attention(f)) {
        return Readiness::attention;
    }
    if (f.timed_out || f.host_status != 0 ||
        (f.driver_status != 0 && f.driver_status != DRIVER_SENSE)) {
        return Readiness::waiting;
    }
    if (f.status == STATUS_GOOD) {
        return Readiness::ready;
    }
    if (f.status == STATUS_CHECK_CONDITION && f.has_sense_key) {
        // NOT READY, whatever its reason, may clear; any other key is the drive's own answer.
        return f.sense_key == SENSE_NOT_READY ? Readiness::waiting : Readiness::ready;
    }
    // BUSY, TASK SET FULL, or a CHECK CONDITION that brought no sense key.
    return Readiness::waiting;
}

uint32_t next_settle_pause_ms(uint32_t last_ms) {
    if (last_ms == 0) {
        return k_first_pause_ms;
    }
    return last_ms >= k_longest_pause_ms / 2 ? k_longest_pause_ms : last_ms * 2;
}

Readiness wait_until_ready(int fd, uint32_t bound_ms) {
    uint64_t deadline = monotonic_ms() + bound_ms;
    uint32_t pause = 0;
    int attentions = 0;
    for (;;) {
        Readiness r = judge_readiness(send_test_unit_ready(fd, true));
        if (r == Readiness::attention && ++attentions < UNIT_ATTENTION_MAX_TRIES) {
            continue;
        }
        if (r == Readiness::attention || r == Readiness::ready) {
            return Readiness::ready;
        }
        attentions = 0;
        uint64_t now = monotonic_ms();
        if (r == Readiness::gone || now >= deadline) {
            return r;
        }
        pause = next_settle_pause_ms(pause);
        pause_ms(static_cast<uint32_t>(std::min<uint64_t>(pause, deadline - now)));
    }
}
