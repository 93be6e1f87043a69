#include "cli/revision_check.h"

#include "sg/identify.h"
#include "sg/sg_io.h"

#include <cstring>

namespace {

// The sg driver's own direction code for a transfer from the device.
constexpr int8_t k_dir_from_device = -3;

// IDENTIFY DEVICE data, by byte (the firmware revision's pairs stand swapped):
//   0-1     word 0, compared with the answer to the plain firmware request
//   46-53   words 23-26, firmware revision, 8 characters
constexpr size_t k_id_word0_len = 2;
constexpr size_t k_id_fw_offset = 46;
constexpr size_t k_id_fw_len = 8;

// Status codes as the sg driver masks them (status >> 1).
constexpr uint8_t k_masked_good = 0x00;
constexpr uint8_t k_masked_check_condition = 0x01;
// Sense keys of an answer: NO SENSE, and RECOVERED ERROR with the ATA registers that a
// command with CK_COND set always returns.
constexpr uint8_t k_key_no_sense = 0x00;
constexpr uint8_t k_key_recovered_error = 0x01;
// ATA Status bits of a command that did not complete: ERR (bit 0) and DF (bit 5).
constexpr uint8_t k_ata_status_failed = 0x21;

// Sends one IDENTIFY-class command into the 512-byte area. Returns true when the drive
// answered it (see reread_full_fw); with needs_data, the answer must also carry data.
bool send_answered(int fd, uint8_t *cdb, uint8_t *area, bool needs_data) {
    SgRequest req{};
    req.fd = fd;
    req.cdb = cdb;
    req.cdb_len = ATA_PT12_CDB_LEN;
    req.direction = k_dir_from_device;
    req.data = area;
    req.data_len = IDENTIFY_DATA_LEN;
    if (send_io(&req) < 0 || req.host_status != 0) {
        return false;
    }
    if (req.status != k_masked_good && req.status != k_masked_check_condition) {
        return false;
    }
    if (req.sense_len > 0 && req.sense_key != k_key_no_sense &&
        req.sense_key != k_key_recovered_error) {
        return false;
    }
    if (req.ata_regs_valid && (req.ata_status & k_ata_status_failed) != 0) {
        return false;
    }
    return !needs_data || req.resid < static_cast<int32_t>(req.data_len);
}

} // namespace

int reread_full_fw(int fd, char *buf, int len, bool is_ata) {
    if (!is_ata || buf == nullptr || len < FULL_FW_MIN_LEN) {
        return -1;
    }
    uint8_t area[IDENTIFY_DATA_LEN] = {};
    uint8_t cdb[ATA_PT12_CDB_LEN];
    build_identify_cdb(cdb);
    if (!send_answered(fd, cdb, area, true)) {
        return -1;
    }
    std::memset(buf, 0, static_cast<size_t>(len));
    if (wants_dotted_fw_request(area)) {
        set_fw_request(cdb, FW_REQUEST_DOTTED);
        if (!send_answered(fd, cdb, area, true)) {
            return -1;
        }
        return assemble_dotted_fw(area, buf, len);
    }
    uint8_t word0[k_id_word0_len];
    uint8_t fw[k_id_fw_len];
    std::memcpy(word0, area, sizeof word0);
    std::memcpy(fw, area + k_id_fw_offset, sizeof fw);
    set_fw_request(cdb, FW_REQUEST_PLAIN);
    // A drive that ignores the plain request may transfer nothing and leave the IDENTIFY
    // data in place; that is still an answer.
    if (!send_answered(fd, cdb, area, false)) {
        return -1;
    }
    return assemble_plain_fw(word0, fw, area, buf, len);
}
