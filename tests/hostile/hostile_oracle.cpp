#include "hostile_oracle.h"

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>
#include <zlib.h>

namespace {

constexpr uint8_t k_write_buffer = 0x3b;
constexpr uint8_t k_ata_pt12 = 0xa1;
constexpr uint8_t k_ata_pt16 = 0x85;
constexpr uint8_t k_inquiry = 0x12;
constexpr uint8_t k_download_microcode = 0x92;

bool hex_to_bytes(const std::string &text, std::vector<uint8_t> &out) {
    if (text.size() % 2 != 0)
        return false;
    out.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        unsigned v = 0;
        if (std::sscanf(text.c_str() + i, "%2x", &v) != 1)
            return false;
        out.push_back(static_cast<uint8_t>(v));
    }
    return true;
}

// What the sense bytes tell, read the way the SCSI and SCSI/ATA translation standards lay
// them out. A field counts as known only when the bytes that hold it arrived.
struct SenseView {
    bool key_known = false;
    uint8_t key = 0;
    bool regs = false; // ATA registers came back
    uint8_t ata_error = 0, ata_status = 0;
};

// Fixed format (response code 70h/71h): key in byte 2, ASC/ASCQ in 12/13, additional length
// in 7. The ATA registers of a pass-through command sit in one of three places: an ATA
// Status Return descriptor (09h, 0Ch) behind the 18 fixed bytes (Error 21, Status 31); the
// INFORMATION field (Error 3, Status 4) when VALID is set or ASC/ASCQ is 00h/1Dh; or, as
// Linux before 6.11 puts them for a failed command with additional length 0Ah, bytes 8-11
// (Error 8, Status 9, which is then never zero).
// Descriptor format (72h/73h): key in byte 1; the ATA Status Return descriptor first at
// byte 8 (Error 11, Status 21).
SenseView view_sense(const std::vector<uint8_t> &s, bool passthrough) {
    SenseView v;
    size_t n = s.size();
    auto at = [&](size_t i) -> uint8_t { return i < n ? s[i] : 0; };
    if (n == 0)
        return v;
    uint8_t code = at(0) & 0x7f;
    if (code == 0x70 || code == 0x71) {
        v.key_known = n >= 3;
        v.key = at(2) & 0x0f;
        bool descriptor_behind = at(7) != 0 && at(18) == 0x09 && at(19) == 0x0c;
        if (descriptor_behind) {
            if (n >= 32) {
                v.regs = true;
                v.ata_error = at(21);
                v.ata_status = at(31);
            }
        } else if (passthrough) {
            bool information = (at(0) & 0x80) != 0 || (at(12) == 0x00 && at(13) == 0x1d);
            if (information) {
                if (n >= 7) {
                    v.regs = true;
                    v.ata_error = at(3);
                    v.ata_status = at(4);
                }
            } else if (at(7) == 0x0a && at(9) != 0 && n >= 12) {
                v.regs = true;
                v.ata_error = at(8);
                v.ata_status = at(9);
            }
        }
    } else if (code == 0x72 || code == 0x73) {
        v.key_known = n >= 2;
        v.key = at(1) & 0x0f;
        if (at(7) != 0 && at(8) == 0x09 && at(9) == 0x0c && n >= 22) {
            v.regs = true;
            v.ata_error = at(11);
            v.ata_status = at(21);
        }
    }
    return v;
}

// The words of the host adapter and the driver: nothing from the adapter, and from the driver
// nothing but "sense came back" (DRIVER_SENSE, 08h).
bool transport_clean(const TracedCommand &c) {
    return !c.failed_ioctl && c.host_status == 0 &&
           (c.driver_status == 0 || c.driver_status == 0x08);
}

// GOOD (0), CHECK CONDITION (1) or CONDITION MET (2), masked.
bool status_acceptable(uint8_t masked) {
    return masked <= 2;
}

bool write_buffer_succeeded(const TracedCommand &c) {
    if (!transport_clean(c) || !status_acceptable(c.masked_status) || c.resid > 0)
        return false;
    SenseView v = view_sense(visible_sense(c), false);
    if (v.key_known && v.key != 0)
        return false;
    // A CHECK CONDITION says nothing good unless its sense key arrived and says NO SENSE.
    return c.masked_status != 1 || v.key_known;
}

bool ata_download_succeeded(const TracedCommand &c) {
    if (!transport_clean(c) || !status_acceptable(c.masked_status) || c.resid > 0)
        return false;
    SenseView v = view_sense(visible_sense(c), true);
    if (!v.regs || v.ata_error != 0 || (v.ata_status & 0xa1) != 0)
        return false; // ERR, DF or BSY
    if (v.key_known && v.key != 0 && v.key != 1)
        return false; // neither NO SENSE nor RECOVERED ERROR
    return c.masked_status != 1 || v.key_known;
}

// An INQUIRY answer the run can identify a drive by. Standard data: GOOD, with at least the
// 36 bytes up to the product revision level. A VPD page may be refused with CHECK CONDITION
// (the drive lacks it); any other status, or a word from the adapter or the driver, is no
// answer.
bool inquiry_answered(const TracedCommand &c) {
    if (!transport_clean(c))
        return false;
    bool vpd = c.cdb.size() > 1 && (c.cdb[1] & 0x01) != 0;
    if (vpd)
        return c.masked_status == 0 || c.masked_status == 1;
    return c.masked_status == 0 && static_cast<int64_t>(c.length) - c.resid >= 36;
}

bool contains(const std::string &text, const char *what) {
    return text.find(what) != std::string::npos;
}

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++n;
    return n;
}

std::string describe(size_t index, const TracedCommand &c) {
    std::string s = "command #" + std::to_string(index + 1) + " cdb ";
    char buf[4];
    for (uint8_t b : c.cdb) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        s += buf;
    }
    return s;
}

} // namespace

bool parse_traced_command(const std::string &line, TracedCommand &out) {
    nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object() || !j.contains("cdb") || !j["cdb"].is_string())
        return false;
    TracedCommand c;
    if (!hex_to_bytes(j["cdb"].get<std::string>(), c.cdb) || c.cdb.empty())
        return false;
    c.length = j.value("length", 0u);
    if (j.contains("errno")) {
        c.failed_ioctl = true;
    } else {
        int status = j.value("status", 0);
        c.masked_status = static_cast<uint8_t>(j.value("masked_status", (status >> 1) & 0x7f));
        c.host_status = j.value("host_status", uint16_t{0});
        c.driver_status = j.value("driver_status", uint16_t{0});
        if (!hex_to_bytes(j.value("sense", ""), c.sense))
            return false;
        c.sb_len_wr = j.value("sb_len_wr", static_cast<int>(c.sense.size()));
        c.resid = j.value("resid", 0);
    }
    if (j.contains("crc32")) {
        c.has_crc = true;
        c.crc32 = static_cast<uint32_t>(std::stoul(j.value("crc32", "0"), nullptr, 16));
    }
    out = std::move(c);
    return true;
}

bool is_traced_syslog(const std::string &line) {
    nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    return !j.is_discarded() && j.is_object() && j.contains("syslog");
}

std::vector<uint8_t> visible_sense(const TracedCommand &c) {
    std::vector<uint8_t> area(k_client_sense_len, 0);
    std::copy_n(c.sense.begin(), std::min(c.sense.size(), area.size()), area.begin());
    area.resize(std::min<size_t>(static_cast<size_t>(std::max(c.sb_len_wr, 0)), area.size()));
    return area;
}

bool is_download_command(const TracedCommand &c) {
    const std::vector<uint8_t> &b = c.cdb;
    return (b[0] == k_write_buffer && b.size() >= 10) ||
           (b[0] == k_ata_pt12 && b.size() >= 12 && b[9] == k_download_microcode) ||
           (b[0] == k_ata_pt16 && b.size() >= 16 && b[14] == k_download_microcode);
}

bool download_command_succeeded(const TracedCommand &c) {
    return c.cdb[0] == k_write_buffer ? write_buffer_succeeded(c) : ata_download_succeeded(c);
}

// WRITE BUFFER: mode in byte 1 (4:0), BUFFER OFFSET bytes 3-5, PARAMETER LIST LENGTH 6-8;
// mode 05h carries the whole image from offset 0. DOWNLOAD MICROCODE in ATA PASS-THROUGH
// (12): FEATURES (byte 3) the subcommand, block count in bytes 4 (7:0) and 5 (15:8), block
// offset in bytes 6 (7:0) and 7 (15:8); subcommand 07h carries the whole image.
bool download_piece(const TracedCommand &c, uint64_t &offset, uint64_t &length) {
    const std::vector<uint8_t> &b = c.cdb;
    if (!is_download_command(c))
        return false;
    if (b[0] == k_write_buffer) {
        uint8_t mode = b[1] & 0x1f;
        offset = mode == 0x07 ? (uint64_t{b[3]} << 16 | uint64_t{b[4]} << 8 | b[5]) : 0;
        length = uint64_t{b[6]} << 16 | uint64_t{b[7]} << 8 | b[8];
        return true;
    }
    if (b[0] != k_ata_pt12)
        return false;
    uint64_t blocks = uint64_t{b[4]} | uint64_t{b[5]} << 8;
    offset = b[3] == 0x03 ? (uint64_t{b[6]} | uint64_t{b[7]} << 8) * 512 : 0;
    length = blocks * 512;
    return true;
}

std::vector<std::string> check_run(const RunIntent &intent, const RunOutcome &outcome,
                                   const std::vector<TracedCommand> &trace,
                                   std::span<const uint8_t> image) {
    std::vector<std::string> v;
    for (const char *mark :
         {"AddressSanitizer", "LeakSanitizer", "UndefinedBehaviorSanitizer", "runtime error:"})
        if (contains(outcome.err, mark))
            v.push_back(std::string("sanitizer report (") + mark + ")");
    if (outcome.hung)
        v.push_back("the run hit the hang guard and was killed");
    else if (!outcome.exited)
        v.push_back("killed by signal " + std::to_string(outcome.status));
    else if (outcome.status < 0 || outcome.status > 3)
        v.push_back("exit status " + std::to_string(outcome.status) + " outside 0-3");

    // Walk the commands: where the first failure is, and whether the image went out whole
    // and in order.
    size_t downloads = 0;
    bool all_passed = true;
    bool stop_seen = false;
    uint64_t sent_to = 0;
    for (size_t i = 0; i < trace.size(); ++i) {
        const TracedCommand &c = trace[i];
        if (stop_seen) {
            v.push_back(describe(i, c) + " sent after a failed command");
            break;
        }
        // A drive without its identity ends the run; pages beyond may not. After its image,
        // a drive gone from its node is looked for by INQUIRY until it answers.
        if (c.cdb[0] == k_inquiry && c.cdb.size() > 2 && downloads == 0 &&
            ((c.cdb[1] & 1) == 0 || c.cdb[2] == 0x80) && !inquiry_answered(c)) {
            stop_seen = true;
            continue;
        }
        if (!is_download_command(c))
            continue;
        if (!intent.downloads) {
            v.push_back(describe(i, c) + ": a download command in a run without an image");
            break;
        }
        ++downloads;
        uint64_t offset = 0, length = 0;
        if (!download_piece(c, offset, length) || length != c.length) {
            v.push_back(describe(i, c) + ": the CDB does not describe the " +
                        std::to_string(c.length) + " bytes sent");
        } else if (offset != sent_to || offset + length > image.size()) {
            v.push_back(describe(i, c) + ": piece at " + std::to_string(offset) +
                        " does not continue the image at " + std::to_string(sent_to));
        } else if (c.has_crc &&
                   crc32(0, image.data() + offset, static_cast<uInt>(length)) != c.crc32) {
            v.push_back(describe(i, c) + ": the data sent is not the image's");
        }
        sent_to += length;
        if (!download_command_succeeded(c)) {
            all_passed = false;
            stop_seen = true;
        }
    }
    bool whole = downloads > 0 && all_passed && sent_to == image.size();

    const std::string &out = outcome.out;
    size_t successes = count_of(out, "Download SUCCESSFUL");
    bool fw_failed = contains(out, "FW Download FAILED");
    if (successes > 1 || (successes == 1 && fw_failed))
        v.push_back("more than one result for one drive");
    if (successes > 0 && !whole) {
        v.push_back(downloads == 0 ? "\"Download SUCCESSFUL\" without a download command"
                    : all_passed   ? "\"Download SUCCESSFUL\" for an image not sent whole"
                                   : "\"Download SUCCESSFUL\" after a failed download command");
    }
    if (successes > 0 && outcome.exited && outcome.status != 0)
        v.push_back("\"Download SUCCESSFUL\" with exit status " + std::to_string(outcome.status));
    if (fw_failed && whole)
        v.push_back("\"FW Download FAILED\" though every download command succeeded");
    if ((fw_failed || contains(out, "\nDownload FAILED")) && outcome.exited && outcome.status != 2)
        v.push_back("a failed download with exit status " + std::to_string(outcome.status));
    if (!intent.cfs && whole && successes == 0 && !outcome.hung)
        v.push_back("the image went out whole and was taken, but no result was printed");
    return v;
}
