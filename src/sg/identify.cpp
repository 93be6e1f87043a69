#include "sg/identify.h"

#include "base/error_output.h"
#include "sg/cdb.h"
#include "sg/command.h"

#include <cstdio>
#include <cstring>

namespace {

// One area for every command of a firmware read: a request that transfers nothing leaves the
// previous answer in place, which the plain path relies on.
struct IdentifyArea {
    uint8_t bytes[IDENTIFY_DATA_LEN] = {};
};

bool answered_with(const ReadReply &r, bool must_transfer) {
    return r.reply == Reply::answered && (!must_transfer || r.facts.transferred > 0);
}

ReadReply read_identify(int fd, const AtaTaskfile &tf, IdentifyArea &area) {
    return read_ata_command(fd, tf, area.bytes, IDENTIFY_DATA_LEN);
}

// The revision as get_full_fw and reread_full_fw read it; must_transfer asks IDENTIFY DEVICE
// and the dotted request to have brought data.
int read_full_fw(int fd, char *buf, int len, bool must_transfer) {
    IdentifyArea area;
    if (!answered_with(read_identify(fd, identify_taskfile(), area), must_transfer)) {
        return -1;
    }
    std::memset(buf, 0, static_cast<size_t>(len));
    if (wants_dotted_fw_request(area.bytes)) {
        if (!answered_with(read_identify(fd, fw_request_taskfile(FW_REQUEST_DOTTED), area),
                           must_transfer)) {
            return -1;
        }
        return assemble_dotted_fw(area.bytes, buf, len);
    }
    IdentifyFirmware kept = identify_firmware(area.bytes);
    ReadReply plain = read_identify(fd, fw_request_taskfile(FW_REQUEST_PLAIN), area);
    if (plain.facts.transport_failed) {
        return -1;
    }
    // A drive that refuses the plain request does not know it, like one that ignores it: the
    // area keeps the IDENTIFY answer (the command layer puts back what a refused answer
    // wrote), so the IDENTIFY revision stands.
    return assemble_plain_fw(kept, area.bytes, buf, len);
}

// A statement read into buf, cleared first, sent once more after a unit attention.
ReadReply read_statement(int fd, const uint8_t *cdb, uint8_t cdb_len, uint8_t *buf, uint32_t len) {
    std::memset(buf, 0, len);
    ReadReply r = read_command(fd, cdb, cdb_len, buf, len);
    if (reports_unit_attention(r.facts)) {
        r = read_command(fd, cdb, cdb_len, buf, len);
    }
    return r;
}

// Reports a caller's buffer that is missing or too short (no line end, as always).
void report_short_buffer(const char *who, int min_len) {
    print_error("%s: pdata must be a valid pointer to a buffer of at least %d bytes", who, min_len);
}

} // namespace

int send_inq(int fd, uint8_t *buf, int len, uint8_t page) {
    // A negative length is refused with the short ones: taken as unsigned it would offer the
    // driver gigabytes behind a 96-byte buffer.
    if (len < INQUIRY_MIN_LEN) {
        printf("%s: Error INQ command requires %d byte size return data buffer %d size given\n",
               "send_inq", INQUIRY_MIN_LEN, len);
        return -1;
    }
    uint8_t cdb[INQUIRY_CDB_LEN];
    build_inquiry_cdb(cdb, len, page);
    std::memset(buf, 0, static_cast<size_t>(len));
    ReadReply r = read_command(fd, cdb, INQUIRY_CDB_LEN, buf, static_cast<uint32_t>(len));
    if (r.reply == Reply::lost) {
        return -1;
    }
    // The identity of a drive that refused its standard data, or sent less than the run
    // reads, would be blank or stale: such a drive is not identified. A drive without a VPD
    // page refuses it, and the cleared buffer then says nothing.
    if (page == 0) {
        return r.reply == Reply::answered && r.facts.transferred >= STANDARD_INQUIRY_MIN_LEN ? 0
                                                                                             : -1;
    }
    return 0;
}

int get_full_mn(int fd, char *buf, int len, bool is_ata, uint8_t *identify) {
    if (identify != nullptr) {
        std::memset(identify, 0, IDENTIFY_DATA_LEN);
    }
    if (buf == nullptr || len < FULL_MN_MIN_LEN) {
        report_short_buffer("get_full_mn", FULL_MN_MIN_LEN);
        return -1;
    }
    if (!is_ata) {
        return -1;
    }
    std::memset(buf, 0, static_cast<size_t>(len));
    IdentifyArea area;
    if (read_identify(fd, identify_taskfile(), area).reply != Reply::answered) {
        return -1;
    }
    if (identify != nullptr) {
        std::memcpy(identify, area.bytes, IDENTIFY_DATA_LEN);
    }
    return extract_model(area.bytes, buf);
}

int get_full_fw(int fd, char *buf, int len, bool is_ata) {
    if (buf == nullptr || len < FULL_FW_MIN_LEN) {
        report_short_buffer("get_full_fw", FULL_FW_MIN_LEN);
        return -1;
    }
    if (!is_ata) {
        return -1;
    }
    return read_full_fw(fd, buf, len, false);
}

int reread_full_fw(int fd, char *buf, int len, bool is_ata) {
    if (!is_ata || buf == nullptr || len < FULL_FW_MIN_LEN) {
        return -1;
    }
    return read_full_fw(fd, buf, len, true);
}

DeviceIdentification read_device_identification(int fd) {
    uint8_t page[DEVICE_IDENTIFICATION_LEN];
    if (send_inq(fd, page, sizeof page, VPD_DEVICE_IDENTIFICATION) != 0) {
        return DeviceIdentification{};
    }
    return parse_device_identification(page, sizeof page);
}

ReadReply read_extended_inquiry(int fd, uint8_t *page) {
    uint8_t cdb[INQUIRY_CDB_LEN];
    build_inquiry_cdb(cdb, INQUIRY_MIN_LEN, VPD_EXTENDED_INQUIRY);
    return read_statement(fd, cdb, INQUIRY_CDB_LEN, page, INQUIRY_MIN_LEN);
}

ReadReply read_capabilities_page(int fd, uint8_t *page) {
    uint8_t cdb[MAX_CDB_LEN];
    uint8_t cdb_len = build_ata_command_cdb(
        cdb, read_log_ext_taskfile(ATA_LOG_IDENTIFY_DEVICE, ATA_LOG_PAGE_CAPABILITIES));
    return read_statement(fd, cdb, cdb_len, page, ATA_LOG_PAGE_LEN);
}

ReadReply read_buffer_descriptor(int fd, uint8_t *desc) {
    uint8_t cdb[READ_BUFFER_CDB_LEN];
    build_read_buffer_descriptor_cdb(cdb);
    return read_statement(fd, cdb, READ_BUFFER_CDB_LEN, desc, READ_BUFFER_DESCRIPTOR_LEN);
}

bool statement_read_failed(const ReadReply &r) {
    return r.reply == Reply::lost || reports_unit_attention(r.facts);
}
