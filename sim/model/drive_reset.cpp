#include "drive_reset.h"

#include <ctime>

int64_t sim_now_ms() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

void start_reset(Drive &d) {
    if (d.settle_ms == 0 && d.vanish_ms == 0 && d.moves_to.empty())
        return;
    int64_t now = sim_now_ms();
    if (d.settle_ms != 0) {
        // The drive becomes ready once it is back on the bus.
        d.not_ready_until = now + d.vanish_ms + d.settle_ms;
        if (d.type == DriveType::scsi)
            d.power_on_attention = true;
    }
    if (d.vanish_ms != 0) {
        d.absent_until = now + d.vanish_ms;
        d.rt.generation++;
    }
    if (!d.moves_to.empty()) {
        d.node = d.moves_to;
        d.moves_to.clear();
        d.rt.generation++;
    }
    d.rt.reset_started = true;
}

bool drive_absent(const Drive &d) {
    return d.absent_until != 0 && sim_now_ms() < d.absent_until;
}

bool drive_becoming_ready(const Drive &d) {
    return d.not_ready_until != 0 && sim_now_ms() < d.not_ready_until;
}
