// What a SATA drive keeps in its logs and SMART data, read with READ LOG EXT and SMART.
#pragma once

#include <cstdint>
#include <vector>

#include "drive.h"

// A log page of the drive, 512 bytes. gpl: read with READ LOG EXT (the General Purpose
// Logging directory 00h, the IDENTIFY DEVICE data log 30h pages 00h and 03h, or what the
// drive's capture holds); else with SMART READ LOG (the SMART log directory, the error log
// 01h, the self-test log 06h). Returns true, or false when the drive keeps no such page
// (it aborts the command).
bool ata_log_page(const Drive &d, bool gpl, uint8_t log, uint16_t page, std::vector<uint8_t> &out);

// True when the drive's IDENTIFY data state SMART supported and enabled (words 82 and 85,
// bit 0): only then does it answer SMART commands.
bool smart_enabled(const Drive &d);

// SMART READ DATA (thresholds false) or READ THRESHOLDS: 512 bytes with their checksum.
std::vector<uint8_t> smart_data(bool thresholds);
