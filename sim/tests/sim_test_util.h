// Helpers of the drive model tests: the real-stack captures and one-command runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "drive.h"

// One capture of tests/data: the CDB sent, the transfer, and what the stack answered.
struct Capture {
    std::vector<uint8_t> cdb;
    int direction = k_dxfer_none;
    uint32_t length = 0;
    int status = -1, masked_status = -1, host_status = -1, driver_status = -1, info = -1;
    int resid = -1, sb_len_wr = -1;
    std::vector<uint8_t> sense;
    std::vector<uint8_t> data;
};

// Reads tests/data/<name>. Fails the calling test (and returns an empty capture) when the
// file cannot be read or parsed.
Capture load_capture(const std::string &name);

// Bytes given as hex text ("70 00 0b ..."); aborts on bad text.
std::vector<uint8_t> hex(const std::string &text);

// Runs one command on a one-drive bay holding d (or on drive idx of bay).
Answer run_one(Bay &bay, size_t idx, const std::vector<uint8_t> &cdb, int direction,
               uint32_t length, const std::vector<uint8_t> &data_out = {});

// The drives of the captures: the SATA disk (sg0), the virtio-scsi disk (sg1) and
// scsi_debug (sg2).
Drive capture_sata_drive();
Drive capture_scsi_hd_drive();
Drive capture_scsi_debug_drive();
