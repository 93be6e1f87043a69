#include "sim_test_util.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "drive_exec.h"
#include "sim_bytes.h"

std::vector<uint8_t> hex(const std::string &text) {
    std::vector<uint8_t> out;
    if (!parse_hex(text, out))
        std::abort();
    return out;
}

static int field_of(const std::string &line, const std::string &name) {
    size_t at = line.find(" " + name + "=");
    if (at == std::string::npos)
        return -1;
    return static_cast<int>(std::strtol(line.c_str() + at + name.size() + 2, nullptr, 0));
}

Capture load_capture(const std::string &name) {
    Capture c;
    std::ifstream in(std::string(SIM_TEST_DATA_DIR) + "/" + name);
    EXPECT_TRUE(in.good()) << name;
    std::string line;
    std::string data_text;
    bool in_data = false;
    while (std::getline(in, line)) {
        if (line.rfind("# command:", 0) == 0) {
            std::istringstream words(line.substr(10));
            std::string w;
            std::string cdb_text;
            while (words >> w) {
                if (w == "-r" || w == "-s") {
                    std::string n;
                    words >> n;
                    c.length = static_cast<uint32_t>(std::stoul(n));
                    c.direction = w == "-r" ? k_dxfer_from_dev : k_dxfer_to_dev;
                } else if (w == "-i") {
                    words >> w; // the data file
                } else if (w.rfind("/dev/", 0) != 0) {
                    cdb_text += w + " ";
                }
            }
            c.cdb = hex(cdb_text);
        } else if (line.rfind("# status=", 0) == 0) {
            std::string l = " " + line.substr(2);
            c.status = field_of(l, "status");
            c.masked_status = field_of(l, "masked_status");
            c.host_status = field_of(l, "host_status");
            c.driver_status = field_of(l, "driver_status");
            c.info = field_of(l, "info");
            c.resid = field_of(l, "resid");
            c.sb_len_wr = field_of(l, "sb_len_wr");
        } else if (line.rfind("sense:", 0) == 0) {
            std::string t = line.substr(6);
            if (t.find("none") == std::string::npos)
                c.sense = hex(t);
        } else if (line.rfind("data:", 0) == 0) {
            in_data = true;
        } else if (in_data) {
            data_text += line + " ";
        }
    }
    c.data = hex(data_text);
    EXPECT_FALSE(c.cdb.empty()) << name;
    EXPECT_GE(c.status, 0) << name;
    return c;
}

Answer run_one(Bay &bay, size_t idx, const std::vector<uint8_t> &cdb, int direction,
               uint32_t length, const std::vector<uint8_t> &data_out) {
    Command cmd;
    cmd.cdb = cdb;
    cmd.direction = direction;
    cmd.dxfer_len = length;
    cmd.timeout_ms = 5000;
    cmd.data_out = data_out;
    return execute_command(bay, idx, cmd);
}

Drive capture_sata_drive() {
    Drive d;
    d.node = "/dev/sg0";
    d.type = DriveType::sata;
    d.model = "QSTOR ACME-7200 SATA HYBRID";
    d.serial = "   QS7X0042Z9";
    d.revision = "QA12.B07";
    d.ata_flavor = AtaFlavor::ide_hd; // states no DOWNLOAD MICROCODE
    d.has_dm_log = false;
    d.pio_in_status = 0x58; // QEMU ends PIO data-in with DRQ still set
    return d;
}

Drive capture_scsi_hd_drive() {
    Drive d;
    d.node = "/dev/sg1";
    d.type = DriveType::scsi;
    d.flavor = ScsiFlavor::scsi_hd;
    d.has_extended_inquiry = false;
    d.vendor = "NORTHVL";
    d.product = "NV-SAS10K";
    d.revision = "N4R2";
    d.serial = "NV0000777123";
    return d;
}

Drive capture_scsi_debug_drive() {
    Drive d;
    d.node = "/dev/sg2";
    d.type = DriveType::scsi;
    d.vendor = "Linux";
    d.product = "scsi_debug";
    d.revision = "0191";
    d.serial = "16000";
    d.fw_mode = FirmwareMode::keep_revision; // scsi_debug takes any bytes
    d.staging = Staging::ignored;            // and answers 0Dh-0Fh with GOOD
    d.capacity_blocks = 8192;                // dev_size_mb=4
    return d;
}
