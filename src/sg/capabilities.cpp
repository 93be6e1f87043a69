#include "sg/capabilities.h"

#include "sg/ata_pass_through.h"
#include "sg/identify.h"
#include "sg/sg_io.h"

#include <cstring>

namespace {

// Runs one data-in identification command into buf. Whatever did not arrive is cleared, and
// so is the whole buffer of a command that was not answered: the sg driver hands back stale
// bytes of an earlier command behind a short or refused transfer.
Reply read_into(int fd, uint8_t *cdb, uint8_t cdb_len, uint8_t *buf, uint32_t len) {
    std::memset(buf, 0, len);
    SgRequest req = data_in_request(fd, cdb, cdb_len, buf, len);
    int rc = send_io(&req);
    CommandFacts facts = classify_command(rc, req);
    Reply reply = judge_identification(facts);
    if (reply != Reply::answered) {
        std::memset(buf, 0, len);
    } else {
        clear_untransferred(buf, len, req.resid);
    }
    return reply;
}

} // namespace

// READ LOG EXT in the registers of ATA PASS-THROUGH (16), PIO data-in, one 512-byte block
// counted in COUNT:
//   LBA (7:0) = log address   LBA (15:8) = page (7:0)   LBA (39:32) = page (15:8)
//   count = 1, features 0, device 00h, command 2Fh
void build_read_log_ext_cdb(uint8_t *cdb, uint8_t log, uint16_t page) {
    AtaTaskfile tf{};
    tf.protocol = ATA_PROTOCOL_PIO_DATA_IN;
    tf.from_device = true;
    tf.length_in_blocks = true;
    tf.length_in_count = true;
    tf.count = 1;
    tf.lba = uint64_t{log} | uint64_t{page & 0xFFu} << 8 | static_cast<uint64_t>(page >> 8) << 32;
    tf.command = ATA_READ_LOG_EXT;
    build_ata_pass_through_16(cdb, tf);
}

// cdb[0]: operation code 3Ch (READ BUFFER)
// cdb[1]: mode (4:0) 03h, the descriptor
// cdb[2]: buffer ID 00h
// cdb[3..5]: buffer offset 0
// cdb[6..8]: allocation length, big-endian, 4
// cdb[9]: control 00h
void build_read_buffer_descriptor_cdb(uint8_t *cdb) {
    std::memset(cdb, 0, READ_BUFFER_CDB_LEN);
    cdb[0] = READ_BUFFER_OPCODE;
    cdb[1] = RB_MODE_DESCRIPTOR;
    cdb[8] = static_cast<uint8_t>(READ_BUFFER_DESCRIPTOR_LEN);
}

Reply read_capabilities_page(int fd, uint8_t *page) {
    uint8_t cdb[ATA_PASS_THROUGH_16_CDB_LEN];
    build_read_log_ext_cdb(cdb, ATA_LOG_IDENTIFY_DEVICE, ATA_LOG_PAGE_CAPABILITIES);
    return read_into(fd, cdb, ATA_PASS_THROUGH_16_CDB_LEN, page, ATA_LOG_PAGE_LEN);
}

Reply read_buffer_descriptor(int fd, uint8_t *desc) {
    uint8_t cdb[READ_BUFFER_CDB_LEN];
    build_read_buffer_descriptor_cdb(cdb);
    return read_into(fd, cdb, READ_BUFFER_CDB_LEN, desc, READ_BUFFER_DESCRIPTOR_LEN);
}
