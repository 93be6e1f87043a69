#include "sg/identify.h"

#include "sg/sg_io.h"
#include "sg/verdict.h"

#include <cstdio>
#include <cstring>

namespace {

// IDENTIFY DEVICE data, by byte. ATA strings hold two characters in each 16-bit word with the
// first character in the high-order byte, so in byte order each pair stands swapped.
//   0-1     word 0, compared with the answer to the plain firmware request
//   20-39   words 10-19, serial number, 20 characters
//   46-53   words 23-26, firmware revision, 8 characters
//   54-93   words 27-46, model number, 40 characters
//   275     high-order byte of word 137: 'P' selects the dotted firmware request
constexpr int k_id_serial_offset = 20;
constexpr int k_id_serial_len = 20;
constexpr int k_id_fw_offset = 46;
constexpr int k_id_fw_len = 8;
constexpr int k_id_model_offset = 54;
constexpr int k_id_model_len = 40;
constexpr int k_id_dotted_flag = 275;
constexpr uint8_t k_dotted_flag_value = 0x50;

// Answers to the firmware requests, by byte.
//   0-39     the revision text (dot-separated fields for the dotted request)
//   464-467  the suffix of the dotted request
constexpr int k_fw_text_len = 40;
constexpr int k_dotted_suffix_offset = 464;
constexpr int k_dotted_suffix_len = 4;
// The dotted revision keeps this many fields of the text.
constexpr int k_dotted_fields = 4;

// The drives' own LBA that turns IDENTIFY DEVICE into a firmware request: DBh, 97h, 20h in
// LBA (7:0), (15:8), (23:16).
constexpr uint64_t k_fw_request_lba = 0x2097DB;
// IDENTIFY DEVICE: PIO data-in of one block, device 40h.
constexpr uint8_t k_identify_device_reg = 0x40;

// Stores b at *pos unless it is ATA whitespace. The last byte of buf is never written, so
// the cleared buffer keeps its terminating NUL whatever the answer holds.
// Returns true when b was stored.
bool store_fw_byte(char *buf, int len, int *pos, uint8_t b) {
    if (is_ata_string_whitespace(b) || *pos >= len - 1) {
        return false;
    }
    buf[(*pos)++] = static_cast<char>(b);
    return true;
}

// One IDENTIFY-class command: how the drive answered it and how many bytes arrived.
struct IdentifyReply {
    Reply reply;
    uint32_t transferred;
    bool transport_failed; // the command could not be issued at all
};

// Sends one IDENTIFY-class command into the 512-byte area. The sg driver copies its whole
// bounce buffer back, so behind a short answer lie stale bytes of an earlier command on the
// descriptor; the area keeps what it held before the command there instead.
IdentifyReply send_identify_command(int fd, uint8_t *cdb, uint8_t *area) {
    uint8_t before[IDENTIFY_DATA_LEN];
    std::memcpy(before, area, sizeof before);
    SgRequest req = data_in_request(fd, cdb, ATA_PASS_THROUGH_12_CDB_LEN, area, IDENTIFY_DATA_LEN);
    CommandFacts facts = classify_command(send_io(&req), req);
    std::memcpy(area + facts.transferred, before + facts.transferred,
                IDENTIFY_DATA_LEN - facts.transferred);
    return {judge_identification(facts), facts.transferred, facts.transport_failed};
}

bool answered_with(const IdentifyReply &r, bool must_transfer) {
    return r.reply == Reply::answered && (!must_transfer || r.transferred > 0);
}

// Stores the revision of IDENTIFY bytes 46-53, each pair put back in order.
int store_identify_fw(const uint8_t *fw, char *buf, int len) {
    int count = 0;
    for (int i = 0; i < k_id_fw_len; i += 2) {
        store_fw_byte(buf, len, &count, fw[i + 1]);
        store_fw_byte(buf, len, &count, fw[i]);
    }
    return count;
}

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

// The revision as get_full_fw and reread_full_fw read it; must_transfer asks IDENTIFY DEVICE
// and the dotted request to have brought data.
int read_full_fw(int fd, char *buf, int len, bool must_transfer) {
    // One area for every command of the call: a request that transfers nothing leaves the
    // previous answer in place, which the plain path relies on.
    uint8_t area[IDENTIFY_DATA_LEN] = {};
    uint8_t cdb[ATA_PASS_THROUGH_12_CDB_LEN];
    build_identify_cdb(cdb);
    if (!answered_with(send_identify_command(fd, cdb, area), must_transfer)) {
        return -1;
    }
    std::memset(buf, 0, static_cast<size_t>(len));
    if (wants_dotted_fw_request(area)) {
        build_fw_request_cdb(cdb, FW_REQUEST_DOTTED);
        if (!answered_with(send_identify_command(fd, cdb, area), must_transfer)) {
            return -1;
        }
        return assemble_dotted_fw(area, buf, len);
    }
    uint8_t word0[2] = {area[0], area[1]};
    uint8_t fw[k_id_fw_len];
    std::memcpy(fw, area + k_id_fw_offset, sizeof fw);
    build_fw_request_cdb(cdb, FW_REQUEST_PLAIN);
    IdentifyReply plain = send_identify_command(fd, cdb, area);
    if (plain.transport_failed) {
        return -1;
    }
    // A drive that refuses the plain request does not know it, like one that ignores it:
    // the IDENTIFY revision stands, whatever the area holds now.
    if (plain.reply != Reply::answered) {
        return store_identify_fw(fw, buf, len);
    }
    return assemble_plain_fw(word0, fw, area, buf, len);
}

// Takes the ATA string of len bytes at offset of the IDENTIFY data into buf (len + 1 bytes):
// pairs put back in order, whitespace trimmed from both ends, the rest cleared.
// Returns the length of the text.
int extract_ata_string(const uint8_t *identify, int offset, int len, char *buf) {
    for (int i = 0; i < len; i += 2) {
        buf[i] = static_cast<char>(identify[offset + i + 1]);
        buf[i + 1] = static_cast<char>(identify[offset + i]);
    }
    buf[len] = '\0';
    int length = static_cast<int>(strnlen(buf, static_cast<size_t>(len)));
    int lead = 0;
    while (lead < length && is_ata_string_whitespace(static_cast<uint8_t>(buf[lead]))) {
        ++lead;
    }
    std::memmove(buf, buf + lead, static_cast<size_t>(length - lead));
    length -= lead;
    while (length > 0 && is_ata_string_whitespace(static_cast<uint8_t>(buf[length - 1]))) {
        --length;
    }
    // Whatever the move and the trim left behind the text is cleared with the terminator.
    std::memset(buf + length, 0, static_cast<size_t>(len + 1 - length));
    return length;
}

// Reports a caller's buffer that is missing or too short (no line end, as always).
void report_short_buffer(const char *who, int min_len) {
    fflush(stdout);
    fprintf(stderr, "%s: pdata must be a valid pointer to a buffer of at least %d bytes", who,
            min_len);
}

} // namespace

bool is_ata_string_whitespace(uint8_t c) {
    return c != 0 && std::strchr(ata_string_whitespace, c) != nullptr;
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

// IDENTIFY DEVICE in ATA PASS-THROUGH (12), PIO data-in of one block whose length is in
// COUNT (A1 08 2A 00 01 00 00 00 40 EC 00 00).
void build_identify_cdb(uint8_t *cdb) {
    build_ata_pass_through_12(cdb, identify_taskfile());
}

void build_fw_request_cdb(uint8_t *cdb, uint8_t features) {
    AtaTaskfile tf = identify_taskfile();
    tf.features = features;
    tf.lba = k_fw_request_lba;
    build_ata_pass_through_12(cdb, tf);
}

int extract_model(const uint8_t *identify, char *buf) {
    return extract_ata_string(identify, k_id_model_offset, k_id_model_len, buf);
}

int extract_ata_serial(const uint8_t *identify, char *buf) {
    return extract_ata_string(identify, k_id_serial_offset, k_id_serial_len, buf);
}

bool wants_dotted_fw_request(const uint8_t *identify) {
    return identify[k_id_dotted_flag] == k_dotted_flag_value;
}

int assemble_dotted_fw(const uint8_t *answer, char *buf, int len) {
    int count = 0;
    int dots_left = k_dotted_fields;
    for (int i = 0; i < k_fw_text_len; ++i) {
        uint8_t b = answer[i];
        if (b == 0) {
            break;
        }
        // The first fields and the dots between them are kept; the dot that would open one
        // field too many ends the text.
        if (b == '.' && --dots_left == 0) {
            break;
        }
        store_fw_byte(buf, len, &count, b);
    }
    // The suffix goes one place further on, leaving room for the dot that joins it; a NUL in
    // the suffix is stored like any other byte.
    int suffix_pos = count + 1;
    bool suffix_stored = false;
    for (int i = 0; i < k_dotted_suffix_len; ++i) {
        suffix_stored |= store_fw_byte(buf, len, &suffix_pos, answer[k_dotted_suffix_offset + i]);
    }
    if (suffix_stored) {
        buf[count] = '.';
        count = suffix_pos;
    }
    return count;
}

int assemble_plain_fw(const uint8_t *word0, const uint8_t *fw, const uint8_t *answer, char *buf,
                      int len) {
    int count = 0;
    // A drive that ignores the request answers with IDENTIFY data again (or transfers nothing,
    // leaving it in place); the revision is then the one IDENTIFY gave, pairs put in order.
    if (answer[0] == word0[0] && answer[1] == word0[1]) {
        return store_identify_fw(fw, buf, len);
    }
    for (int i = 0; i < k_fw_text_len && answer[i] != 0; ++i) {
        store_fw_byte(buf, len, &count, answer[i]);
    }
    return count;
}

int send_inq(int fd, uint8_t *buf, int len, uint8_t page) {
    uint8_t cdb[INQUIRY_CDB_LEN];
    build_inquiry_cdb(cdb, len, page);
    // A negative length is refused with the short ones: taken as unsigned it would offer the
    // driver gigabytes behind a 96-byte buffer.
    if (len < INQUIRY_MIN_LEN) {
        printf("%s: Error INQ command requires %d byte size return data buffer %d size given\n",
               "send_inq", INQUIRY_MIN_LEN, len);
        return -1;
    }
    SgRequest req = data_in_request(fd, cdb, INQUIRY_CDB_LEN, buf, static_cast<uint32_t>(len));
    int rc = send_io(&req);
    CommandFacts facts = classify_command(rc, req);
    if (rc == 0) {
        clear_untransferred(buf, static_cast<uint32_t>(len), req.resid);
    }
    Reply reply = judge_identification(facts);
    if (reply == Reply::lost) {
        return -1;
    }
    if (page == 0) {
        // The identity of a drive that refused its standard data, or sent less than the run
        // reads, would be blank or stale: such a drive is not identified.
        return reply == Reply::answered && facts.transferred >= STANDARD_INQUIRY_MIN_LEN ? 0 : -1;
    }
    if (reply == Reply::declined) {
        // A drive without the page refuses it; whatever the buffer holds is not the page.
        std::memset(buf, 0, static_cast<size_t>(len));
    }
    return 0;
}

void clear_untransferred(uint8_t *buf, uint32_t len, int32_t resid) {
    // The sg driver copies its whole bounce buffer back, so behind a short answer lie the
    // bytes of the previous command on the descriptor, not the caller's cleared ones.
    if (resid > 0) {
        uint32_t tail = static_cast<uint32_t>(resid) < len ? static_cast<uint32_t>(resid) : len;
        std::memset(buf + (len - tail), 0, tail);
    }
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
    uint8_t area[IDENTIFY_DATA_LEN] = {};
    uint8_t cdb[ATA_PASS_THROUGH_12_CDB_LEN];
    build_identify_cdb(cdb);
    if (send_identify_command(fd, cdb, area).reply != Reply::answered) {
        return -1;
    }
    if (identify != nullptr) {
        std::memcpy(identify, area, IDENTIFY_DATA_LEN);
    }
    return extract_model(area, buf);
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
