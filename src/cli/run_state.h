// What the run keeps from device to device, and the clock it measures steps with.
#pragma once

#include "base/clock.h"
#include "base/holders.h"
#include "record/record.h"
#include "record/run_record.h"

struct RunState {
    int run_status = 0;  // 0, then 2 once an image failed to open or to download; never reset
    OwnedText cfs_text;  // the configuration text, loaded at most once; released with the run
    RunRecord record;    // the --record file, when given
    DeviceRecord device; // the record of the device being processed, filled by its steps
    bool host_view_warned = false; // the host's view could not be read, and the run said so
};
