#include "sg/unit_ready.h"

#include "sg/cdb.h"
#include "sg/command.h"
#include "sg/sg_io.h"

#include <cstdio>

int clear_unit_attention(int fd) {
    uint8_t cdb[TEST_UNIT_READY_CDB_LEN];
    build_test_unit_ready_cdb(cdb);
    SendOptions options{SG_DEFAULT_TIMEOUT_MS, debug_level > 0};
    int sent = 0;
    while (sent < UNIT_ATTENTION_MAX_TRIES) {
        if (options.debug) {
            printf("tur_cdb: x%x,x%x,x%x,x%x,x%x,x%x\n", cdb[0], cdb[1], cdb[2], cdb[3], cdb[4],
                   cdb[5]);
        }
        CommandFacts facts = send_command(fd, cdb, TEST_UNIT_READY_CDB_LEN, nullptr, 0, options);
        ++sent;
        if (!reports_unit_attention(facts)) {
            break;
        }
    }
    return sent;
}
