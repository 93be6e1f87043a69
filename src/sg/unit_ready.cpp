#include "sg/unit_ready.h"

#include <cstdio>
#include <cstring>

namespace {

// Masked SCSI status of CHECK CONDITION (the SAM status shifted right by one).
constexpr uint8_t k_masked_check_condition = 0x01;
// Sense response codes that carry a sense key: 70h-73h, the VALID bit (7) aside.
constexpr uint8_t k_response_code_mask = 0x7F;
constexpr uint8_t k_first_keyed_response = 0x70;
constexpr uint8_t k_last_keyed_response = 0x73;
constexpr uint8_t k_key_unit_attention = 0x6;

} // namespace

// cdb[0]: operation code 00h (TEST UNIT READY)
// cdb[1..4]: reserved, 00h
// cdb[5]: control, 00h
void build_test_unit_ready_cdb(uint8_t *cdb) {
    std::memset(cdb, 0, TEST_UNIT_READY_CDB_LEN);
    cdb[0] = TEST_UNIT_READY_OPCODE;
}

bool answered_unit_attention(int send_result, const SgRequest &req) {
    if (send_result < 0 || req.host_status != 0 || req.status != k_masked_check_condition ||
        req.sense_len == 0) {
        return false;
    }
    uint8_t response = req.sense_format & k_response_code_mask;
    return response >= k_first_keyed_response && response <= k_last_keyed_response &&
           req.sense_key == k_key_unit_attention;
}

int clear_unit_attention(int fd) {
    uint8_t cdb[TEST_UNIT_READY_CDB_LEN];
    build_test_unit_ready_cdb(cdb);
    int sent = 0;
    while (sent < UNIT_ATTENTION_MAX_TRIES) {
        SgRequest req{};
        req.fd = fd;
        req.cdb = cdb;
        req.cdb_len = TEST_UNIT_READY_CDB_LEN;
        req.direction = DIR_NONE;
        req.debug = debug_level > 0 ? 1 : 0;
        req.timeout_ms = SG_DEFAULT_TIMEOUT_MS;
        if (req.debug != 0) {
            printf("tur_cdb: x%x,x%x,x%x,x%x,x%x,x%x\n", cdb[0], cdb[1], cdb[2], cdb[3], cdb[4],
                   cdb[5]);
        }
        int rc = send_io(&req);
        ++sent;
        if (!answered_unit_attention(rc, req)) {
            break;
        }
    }
    return sent;
}
