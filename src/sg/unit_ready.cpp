#include "sg/unit_ready.h"

#include "sg/verdict.h"

#include <cstdio>
#include <cstring>

// cdb[0]: operation code 00h (TEST UNIT READY)
// cdb[1..4]: reserved, 00h
// cdb[5]: control, 00h
void build_test_unit_ready_cdb(uint8_t *cdb) {
    std::memset(cdb, 0, TEST_UNIT_READY_CDB_LEN);
    cdb[0] = TEST_UNIT_READY_OPCODE;
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
        if (!reports_unit_attention(classify_command(rc, req))) {
            break;
        }
    }
    return sent;
}
