#include "sg/command.h"

#include "sg/sg_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace {

// Runs req and classifies it; errno stays as send_io left it.
CommandFacts run(SgRequest &req) {
    int rc = send_io(&req);
    int saved = errno;
    CommandFacts facts = classify_command(rc, req);
    errno = saved;
    return facts;
}

// The CDB goes to the driver as the sg_io_hdr's command pointer, which it only reads.
uint8_t *cdb_pointer(const uint8_t *cdb) {
    return const_cast<uint8_t *>(cdb);
}

ReadReply read_into(int fd, const uint8_t *cdb, uint8_t cdb_len, int8_t direction, uint8_t *buf,
                    uint32_t len) {
    std::vector<uint8_t> before(buf, buf + len);
    SgRequest req{};
    req.fd = fd;
    req.cdb = cdb_pointer(cdb);
    req.cdb_len = cdb_len;
    req.direction = direction;
    req.data = buf;
    req.data_len = len;
    ReadReply r{};
    r.facts = run(req);
    r.reply = judge_identification(r.facts);
    keep_unreached_bytes(buf, before.data(), len, r);
    return r;
}

} // namespace

void keep_unreached_bytes(uint8_t *buf, const uint8_t *before, uint32_t len, const ReadReply &r) {
    uint32_t reached = r.reply == Reply::answered ? std::min(r.facts.transferred, len) : 0;
    std::memcpy(buf + reached, before + reached, len - reached);
}

ReadReply read_command(int fd, const uint8_t *cdb, uint8_t cdb_len, uint8_t *buf, uint32_t len) {
    return read_into(fd, cdb, cdb_len, DIR_FROM_DEV, buf, len);
}

ReadReply read_ata_command(int fd, const AtaTaskfile &tf, uint8_t *buf, uint32_t len) {
    uint8_t cdb[ATA_PASS_THROUGH_MAX_CDB_LEN];
    uint8_t cdb_len = build_ata_command_cdb(cdb, tf);
    return read_into(fd, cdb, cdb_len, ata_direction(tf), buf, len);
}

CommandFacts send_command(int fd, const uint8_t *cdb, uint8_t cdb_len, const uint8_t *data,
                          uint32_t len, const SendOptions &options) {
    SgRequest req{};
    req.fd = fd;
    req.cdb = cdb_pointer(cdb);
    req.cdb_len = cdb_len;
    req.direction = len != 0 ? DIR_TO_DEV : DIR_NONE;
    // The data go to the device only; the transport never writes through this pointer.
    req.data = const_cast<uint8_t *>(data);
    req.data_len = len;
    req.debug = options.debug ? 1 : 0;
    req.timeout_ms = options.timeout_ms;
    req.quiet = options.quiet ? 1 : 0;
    return run(req);
}
