#include "trace.h"

#include <cstdio>
#include <iterator>
#include <vector>

#include <nlohmann/json.hpp>

#include "drive_exec.h"
#include "sim_bytes.h"

using nlohmann::json;

static const char *direction_name(int direction) {
    switch (direction) {
    case k_dxfer_to_dev:
        return "to_dev";
    case k_dxfer_from_dev:
        return "from_dev";
    case k_dxfer_to_from_dev:
        return "to_from_dev";
    default:
        return "none";
    }
}

std::string trace_line(const std::string &node, const Command &cmd, const Answer &a) {
    nlohmann::ordered_json j;
    j["node"] = node;
    j["cdb"] = to_hex(cmd.cdb);
    j["direction"] = direction_name(cmd.direction);
    j["length"] = cmd.dxfer_len;
    j["timeout"] = cmd.timeout_ms;
    if (a.io_errno != 0) {
        j["errno"] = a.io_errno;
    } else {
        j["status"] = a.status;
        j["host_status"] = a.host_status;
        j["driver_status"] = a.driver_status;
        j["sense"] = to_hex(a.sense);
        j["resid"] = a.resid;
        if (a.hostile) {
            // A hostile answer may say anything in the words the driver derives elsewhere.
            j["masked_status"] = masked_status_of(a);
            j["info"] = info_of(a);
            j["sb_len_wr"] = a.sb_len_wr >= 0 ? a.sb_len_wr : static_cast<int>(a.sense.size());
            j["duration"] = a.duration_ms;
        }
    }
    if (cmd.direction == k_dxfer_to_dev || cmd.direction == k_dxfer_to_from_dev) {
        char crc[9];
        std::snprintf(crc, sizeof crc, "%08x", crc32_of(cmd.data_out));
        j["crc32"] = crc;
    }
    return j.dump();
}

std::string syslog_trace_line(const std::string &ident, int facility, int severity,
                              const std::string &message) {
    static const char *const facilities[] = {
        "kern",   "user",   "mail",     "daemon", "auth",   "syslog",   "lpr",     "news",
        "uucp",   "cron",   "authpriv", "ftp",    "ntp",    "security", "console", "solaris-cron",
        "local0", "local1", "local2",   "local3", "local4", "local5",   "local6",  "local7"};
    static const char *const severities[] = {"emerg",   "alert",  "crit", "err",
                                             "warning", "notice", "info", "debug"};
    size_t f = static_cast<size_t>(facility) >> 3;
    nlohmann::ordered_json entry;
    entry["ident"] = ident;
    entry["facility"] = f < std::size(facilities) ? facilities[f] : std::to_string(f);
    entry["severity"] = severities[severity & 7];
    // A message is bytes: those that are not UTF-8 are replaced rather than refused, and the
    // line stays ASCII.
    entry["message"] = message;
    nlohmann::ordered_json j;
    j["syslog"] = entry;
    return j.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
}

bool append_trace(const std::string &path, const std::string &line) {
    // Append mode keeps lines whole when several processes trace to one file; stdio is
    // used so that the interposer does not call its own open.
    std::string text = line + "\n";
    FILE *f = std::fopen(path.c_str(), "ae");
    if (f == nullptr)
        return false;
    std::setvbuf(f, nullptr, _IOFBF, text.size() + 1);
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

static std::string ata_command_name(uint8_t command, uint8_t features, bool fwreq) {
    char buf[64];
    switch (command) {
    case 0xec:
        if (fwreq)
            return features == 0x0b ? "firmware request (dotted)" : "firmware request (plain)";
        return "IDENTIFY DEVICE";
    case 0xe5:
        return "CHECK POWER MODE";
    case 0x92:
        std::snprintf(buf, sizeof buf, "DOWNLOAD MICROCODE %02xh", features);
        return buf;
    case 0x2f:
        return "READ LOG EXT";
    default:
        std::snprintf(buf, sizeof buf, "ATA command %02xh", command);
        return buf;
    }
}

std::string describe_cdb(std::span<const uint8_t> c) {
    char buf[128];
    if (c.empty())
        return "(empty)";
    if (c[0] == 0x12 && c.size() >= 6) {
        if (!(c[1] & 1))
            return "INQUIRY";
        std::snprintf(buf, sizeof buf, "INQUIRY VPD %02xh", c[2]);
        return buf;
    }
    if (c[0] == 0x00)
        return "TEST UNIT READY";
    if (c[0] == 0x3b && c.size() >= 10) {
        std::snprintf(buf, sizeof buf, "WRITE BUFFER mode %02xh offset %u length %u", c[1] & 0x1f,
                      get_be24(&c[3]), get_be24(&c[6]));
        return buf;
    }
    if (c[0] == 0x3c && c.size() >= 10) {
        std::snprintf(buf, sizeof buf, "READ BUFFER mode %02xh buffer %02xh", c[1] & 0x1f, c[2]);
        return buf;
    }
    if (c[0] == 0xa1 && c.size() >= 12) {
        bool fwreq = c[5] == 0xdb && c[6] == 0x97 && c[7] == 0x20;
        std::string s = "ATA PASS-THROUGH (12) " + ata_command_name(c[9], c[3], fwreq);
        if (c[9] == 0x92) {
            std::snprintf(buf, sizeof buf, " blocks %u offset %u", c[4] | c[5] << 8,
                          c[6] | c[7] << 8);
            s += buf;
        }
        return s;
    }
    if (c[0] == 0x85 && c.size() >= 16) {
        bool fwreq = c[8] == 0xdb && c[10] == 0x97 && c[12] == 0x20;
        std::string s = "ATA PASS-THROUGH (16) " + ata_command_name(c[14], c[4], fwreq);
        if (c[14] == 0x2f) {
            std::snprintf(buf, sizeof buf, " log %02xh page %02xh", c[8], c[10] | c[9] << 8);
            s += buf;
        }
        return s;
    }
    std::snprintf(buf, sizeof buf, "opcode %02xh", c[0]);
    return buf;
}

bool describe_trace_line(const std::string &line, std::string &out) {
    json j = json::parse(line, nullptr, false);
    if (!j.is_discarded() && j.is_object() && j.contains("syslog") && j["syslog"].is_object()) {
        const json &e = j["syslog"];
        out = "syslog " + e.value("facility", "?") + "." + e.value("severity", "?") + " " +
              e.value("ident", "?") + ": " + e.value("message", "");
        return true;
    }
    if (j.is_discarded() || !j.is_object() || !j.contains("cdb") || !j["cdb"].is_string())
        return false;
    std::vector<uint8_t> cdb;
    if (!parse_hex(j["cdb"].get<std::string>(), cdb))
        return false;
    std::string s = j.value("node", "?") + "  " + describe_cdb(cdb) + "\n";
    s += "    cdb " + to_hex_spaced(cdb) + "  " + j.value("direction", "?") + " " +
         std::to_string(j.value("length", 0)) + " bytes, time-out " +
         std::to_string(j.value("timeout", 0)) + " ms";
    if (j.contains("crc32"))
        s += ", crc32 " + j.value("crc32", "");
    s += "\n";
    char buf[128];
    if (j.contains("errno")) {
        std::snprintf(buf, sizeof buf, "    ioctl failed, errno %d", j.value("errno", 0));
        s += buf;
    } else {
        std::snprintf(buf, sizeof buf, "    status %02xh host %02xh driver %02xh resid %d",
                      j.value("status", 0), j.value("host_status", 0), j.value("driver_status", 0),
                      j.value("resid", 0));
        s += buf;
        std::vector<uint8_t> sense;
        if (parse_hex(j.value("sense", ""), sense) && !sense.empty())
            s += "\n    sense " + to_hex_spaced(sense);
    }
    out = s;
    return true;
}
