#include "sg/cdb.h"

#include "base/bytes.h"

#include <cstring>

namespace {

// The drives' own LBA that turns IDENTIFY DEVICE into a firmware request: DBh, 97h, 20h in
// LBA (7:0), (15:8), (23:16).
constexpr uint64_t k_fw_request_lba = 0x2097DB;
// IDENTIFY DEVICE: device 40h.
constexpr uint8_t k_identify_device_reg = 0x40;

} // namespace

// cdb[0]: operation code 00h (TEST UNIT READY)
// cdb[1..4]: reserved, 00h
// cdb[5]: control, 00h
void build_test_unit_ready_cdb(uint8_t *cdb) {
    std::memset(cdb, 0, TEST_UNIT_READY_CDB_LEN);
    cdb[0] = TEST_UNIT_READY_OPCODE;
}

// cdb[0]: operation code 12h (INQUIRY)
// cdb[1]: EVPD (0), set when a page is asked for
// cdb[2]: page code, 00h for the standard data
// cdb[3]: 00h
// cdb[4]: allocation length, the low 8 bits of the buffer length
// cdb[5]: control, 00h
void build_inquiry_cdb(uint8_t *cdb, int len, uint8_t page) {
    std::memset(cdb, 0, INQUIRY_CDB_LEN);
    cdb[0] = INQUIRY_OPCODE;
    cdb[4] = static_cast<uint8_t>(len & 0xFF);
    if (page != 0) {
        cdb[1] = 0x01;
        cdb[2] = page;
    }
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
    put_be24(cdb + 6, READ_BUFFER_DESCRIPTOR_LEN);
}

// cdb[0]: operation code 3Bh
// cdb[1]: mode (the whole byte)
// cdb[2]: buffer id 00h
// cdb[3..5]: buffer offset, big-endian, 24 bits
// cdb[6..8]: parameter list length, big-endian, 24 bits
// cdb[9]: control 00h
void build_write_buffer_cdb(uint8_t *cdb, uint8_t mode, uint32_t offset, uint32_t length) {
    std::memset(cdb, 0, WRITE_BUFFER_CDB_LEN);
    cdb[0] = WRITE_BUFFER_OPCODE;
    cdb[1] = mode;
    put_be24(cdb + 3, offset);
    put_be24(cdb + 6, length);
}

// IDENTIFY DEVICE: PIO data-in of one block whose length is in COUNT, device 40h, command
// ECh (in the 12-byte form: A1 08 2A 00 01 00 00 00 40 EC 00 00).
AtaTaskfile identify_taskfile() {
    AtaTaskfile tf{};
    tf.protocol = ATA_PROTOCOL_PIO_DATA_IN;
    tf.from_device = true;
    tf.length_in_count = true;
    tf.count = 1;
    tf.device = k_identify_device_reg;
    tf.command = ATA_IDENTIFY_DEVICE;
    return tf;
}

AtaTaskfile fw_request_taskfile(uint8_t features) {
    AtaTaskfile tf = identify_taskfile();
    tf.features = features;
    tf.lba = k_fw_request_lba;
    return tf;
}

// READ LOG EXT, PIO data-in, one 512-byte block counted in COUNT:
//   LBA (7:0) = log address   LBA (15:8) = page (7:0)   LBA (39:32) = page (15:8)
//   count = 1, features 0, device 00h, command 2Fh
AtaTaskfile read_log_ext_taskfile(uint8_t log, uint16_t page) {
    AtaTaskfile tf{};
    tf.extended = true;
    tf.protocol = ATA_PROTOCOL_PIO_DATA_IN;
    tf.from_device = true;
    tf.length_in_blocks = true;
    tf.length_in_count = true;
    tf.count = 1;
    tf.lba = uint64_t{log} | uint64_t{page & 0xFFu} << 8 | static_cast<uint64_t>(page >> 8) << 32;
    tf.command = ATA_READ_LOG_EXT;
    return tf;
}

// DOWNLOAD MICROCODE, PIO data-out with the transfer length in blocks in COUNT:
//   features = subcommand
//   count = block count (7:0)      LBA (7:0) = block count (15:8)
//   LBA (15:8) = block offset (7:0)   LBA (23:16) = block offset (15:8)
//   device 00h, command 92h
AtaTaskfile download_microcode_taskfile(uint8_t subcommand, uint32_t block_count,
                                        uint32_t block_offset) {
    AtaTaskfile tf{};
    tf.protocol = ATA_PROTOCOL_PIO_DATA_OUT;
    tf.length_in_blocks = true;
    tf.length_in_count = true;
    tf.features = subcommand;
    tf.count = block_count & 0xFF;
    tf.lba = (block_count >> 8 & 0xFF) | (block_offset & 0xFFFF) << 8;
    tf.command = ATA_DOWNLOAD_MICROCODE;
    return tf;
}

// DOWNLOAD MICROCODE without data, no transfer length (0Fh in the 12-byte form:
// A1 06 20 0F 00 00 00 00 00 92 00 00):
//   features = subcommand   count 00h   LBA 000000h   device 00h   command 92h
AtaTaskfile download_microcode_non_data_taskfile(uint8_t subcommand) {
    AtaTaskfile tf{};
    tf.protocol = ATA_PROTOCOL_NON_DATA;
    tf.features = subcommand;
    tf.command = ATA_DOWNLOAD_MICROCODE;
    return tf;
}

void build_identify_cdb(uint8_t *cdb) {
    build_ata_pass_through_12(cdb, identify_taskfile());
}

void build_fw_request_cdb(uint8_t *cdb, uint8_t features) {
    build_ata_pass_through_12(cdb, fw_request_taskfile(features));
}
