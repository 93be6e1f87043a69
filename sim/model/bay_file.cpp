#include "bay_file.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <set>
#include <stdexcept>
#include <unistd.h>

#include "sim_bytes.h"

using nlohmann::json;

namespace {

// A bay file mistake, with the place it was found.
struct BayError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct ErrnoName {
    const char *name;
    int value;
};
const ErrnoName k_errno_names[] = {
    {"EPERM", EPERM},   {"ENOENT", ENOENT}, {"EINTR", EINTR},   {"EIO", EIO},
    {"ENXIO", ENXIO},   {"EBADF", EBADF},   {"EAGAIN", EAGAIN}, {"ENOMEM", ENOMEM},
    {"EACCES", EACCES}, {"EFAULT", EFAULT}, {"EBUSY", EBUSY},   {"ENODEV", ENODEV},
    {"EINVAL", EINVAL}, {"ENOTTY", ENOTTY}, {"ENOSYS", ENOSYS}, {"ETIMEDOUT", ETIMEDOUT},
};

void check_keys(const json &obj, const std::set<std::string> &known, const std::string &where) {
    if (!obj.is_object())
        throw BayError(where + ": not an object");
    for (auto it = obj.begin(); it != obj.end(); ++it)
        if (!known.count(it.key()))
            throw BayError(where + ": unknown key \"" + it.key() + "\"");
}

std::string get_text(const json &obj, const char *key, const std::string &fallback) {
    if (!obj.contains(key))
        return fallback;
    if (!obj[key].is_string())
        throw BayError(std::string(key) + ": not a string");
    return obj[key].get<std::string>();
}

// A number given as a JSON integer or as text ("0x41", "65").
long get_number(const json &obj, const char *key, long fallback, long lo, long hi) {
    if (!obj.contains(key))
        return fallback;
    const json &v = obj[key];
    long n;
    if (v.is_number_integer()) {
        n = v.get<long>();
    } else if (v.is_string()) {
        std::string s = v.get<std::string>();
        char *end = nullptr;
        errno = 0;
        n = std::strtol(s.c_str(), &end, 0);
        if (s.empty() || *end != '\0' || errno != 0)
            throw BayError(std::string(key) + ": not a number: " + s);
    } else {
        throw BayError(std::string(key) + ": not a number");
    }
    if (n < lo || n > hi)
        throw BayError(std::string(key) + ": out of range: " + std::to_string(n));
    return n;
}

// The fields hold at most this many characters in INQUIRY or IDENTIFY data.
void check_length(const std::string &node, const char *key, const std::string &value, size_t max) {
    if (value.size() > max)
        throw BayError(node + ": \"" + key + "\" longer than " + std::to_string(max) +
                       " characters");
}

bool get_flag(const json &obj, const char *key, bool fallback) {
    if (!obj.contains(key))
        return fallback;
    if (!obj[key].is_boolean())
        throw BayError(std::string(key) + ": not true or false");
    return obj[key].get<bool>();
}

int parse_errno(const json &f) {
    if (!f.contains("errno"))
        return 0;
    if (f["errno"].is_string()) {
        std::string s = f["errno"].get<std::string>();
        for (const ErrnoName &e : k_errno_names)
            if (s == e.name)
                return e.value;
    }
    return static_cast<int>(get_number(f, "errno", 0, 1, 4095));
}

Fault parse_fault(const json &f) {
    static const std::set<std::string> k_on = {
        "open", "version",     "any",          "inquiry",  "vpd", "identify", "fwreq",
        "ata",  "check_power", "write_buffer", "download", "tur", "other"};
    static const std::set<std::string> k_kinds = {"errno",          "check",  "abort",
                                                  "timeout",        "busy",   "no_data",
                                                  "no_passthrough", "vanish", "version"};
    check_keys(f, {"on", "index", "kind", "errno", "key", "asc", "ascq", "value", "comment"},
               "fault");
    Fault out;
    out.on = get_text(f, "on", "any");
    out.kind = get_text(f, "kind", "");
    if (!k_on.count(out.on))
        throw BayError("fault: unknown \"on\": " + out.on);
    if (!k_kinds.count(out.kind))
        throw BayError("fault: unknown \"kind\": " + out.kind);
    bool special = out.on == "open" || out.on == "version";
    if (out.on == "open" && out.kind != "errno" && out.kind != "vanish")
        throw BayError("fault: an open can only fail (errno) or vanish");
    if (out.on == "version" && out.kind != "errno" && out.kind != "vanish" && out.kind != "version")
        throw BayError("fault: SG_GET_VERSION_NUM can only fail, vanish or answer a version");
    if (out.kind == "version" && !special)
        throw BayError("fault: kind \"version\" needs \"on\": \"version\"");
    out.index = static_cast<uint32_t>(get_number(f, "index", 0, 0, 0xffffffffL));
    out.err = parse_errno(f);
    out.key = static_cast<uint8_t>(get_number(f, "key", 0, 0, 15));
    out.asc = static_cast<uint8_t>(get_number(f, "asc", 0, 0, 255));
    out.ascq = static_cast<uint8_t>(get_number(f, "ascq", 0, 0, 255));
    out.value = static_cast<int>(get_number(f, "value", 0, -0x7fffffffL, 0x7fffffffL));
    return out;
}

Drive parse_drive(const json &j) {
    check_keys(j,
               {"node",       "type",         "vendor",         "product",      "flavor",
                "model",      "serial",       "revision",       "fwreq",        "dotted_flag",
                "fwreq_text", "fwreq_suffix", "pio_in_status",  "abort_status", "ata_passthrough",
                "firmware",   "faults",       "unit_attention", "hostile",      "slow_ms",
                "comment"},
               "drive");
    Drive d;
    d.node = get_text(j, "node", "");
    if (d.node.empty() || d.node[0] != '/')
        throw BayError("drive: \"node\" must be an absolute path");
    std::string type = get_text(j, "type", "");
    if (type == "scsi")
        d.type = DriveType::scsi;
    else if (type == "sata")
        d.type = DriveType::sata;
    else
        throw BayError(d.node + ": \"type\" must be \"scsi\" or \"sata\"");
    d.vendor = get_text(j, "vendor", "");
    d.product = get_text(j, "product", "");
    d.model = get_text(j, "model", "");
    d.serial = get_text(j, "serial", "");
    d.revision = get_text(j, "revision", "");
    check_length(d.node, "vendor", d.vendor, 8);
    check_length(d.node, "product", d.product, 16);
    check_length(d.node, "model", d.model, 40);
    bool sata = d.type == DriveType::sata;
    check_length(d.node, "serial", d.serial, sata ? 20 : 255);
    check_length(d.node, "revision", d.revision, sata ? 8 : 4);
    std::string flavor = get_text(j, "flavor", "scsi_debug");
    if (flavor == "scsi-hd")
        d.flavor = ScsiFlavor::scsi_hd;
    else if (flavor != "scsi_debug")
        throw BayError(d.node + ": \"flavor\" must be \"scsi_debug\" or \"scsi-hd\"");
    std::string fwreq = get_text(j, "fwreq", "ignore");
    if (fwreq == "dotted")
        d.fwreq = FwreqAnswer::dotted;
    else if (fwreq == "plain")
        d.fwreq = FwreqAnswer::plain;
    else if (fwreq != "ignore")
        throw BayError(d.node + ": \"fwreq\" must be \"ignore\", \"dotted\" or \"plain\"");
    d.dotted_flag = get_flag(j, "dotted_flag", d.fwreq == FwreqAnswer::dotted);
    d.fwreq_text = get_text(j, "fwreq_text", "{rev}");
    d.fwreq_suffix = get_text(j, "fwreq_suffix", "");
    d.pio_in_status = static_cast<uint8_t>(get_number(j, "pio_in_status", 0x50, 0, 255));
    d.abort_status = static_cast<uint8_t>(get_number(j, "abort_status", 0x41, 0, 255));
    d.ata_passthrough = get_flag(j, "ata_passthrough", true);
    d.unit_attention = get_flag(j, "unit_attention", false);
    d.slow_ms = static_cast<uint32_t>(get_number(j, "slow_ms", 0, 0, 60000));
    if (j.contains("firmware")) {
        const json &fw = j["firmware"];
        check_keys(fw, {"mode", "target"}, d.node + ": firmware");
        std::string mode = get_text(fw, "mode", "validate");
        if (mode == "accept-any")
            d.fw_mode = FirmwareMode::accept_any;
        else if (mode == "keep-revision")
            d.fw_mode = FirmwareMode::keep_revision;
        else if (mode != "validate")
            throw BayError(d.node + ": firmware mode must be \"validate\", \"accept-any\" "
                                    "or \"keep-revision\"");
        d.fw_target = get_text(fw, "target", "");
        if (d.fw_mode == FirmwareMode::accept_any && d.fw_target.empty())
            throw BayError(d.node + ": firmware mode \"accept-any\" needs a \"target\"");
    }
    if (j.contains("hostile")) {
        // The script as hex text; an empty one makes a hostile drive that answers honestly.
        d.hostile = true;
        if (!parse_hex(get_text(j, "hostile", ""), d.hostile_script))
            throw BayError(d.node + ": \"hostile\" must be hex text");
    }
    if (j.contains("faults")) {
        if (!j["faults"].is_array())
            throw BayError(d.node + ": \"faults\" must be a list");
        for (const json &f : j["faults"]) {
            try {
                d.faults.push_back(parse_fault(f));
            } catch (const BayError &e) {
                throw BayError(d.node + ": " + e.what());
            }
        }
    }
    return d;
}

} // namespace

bool bay_from_json(const json &doc, Bay &bay, std::string &err) {
    try {
        check_keys(doc, {"drives", "trace", "ata_error_sense", "comment"}, "bay");
        Bay out;
        out.trace_path = get_text(doc, "trace", "");
        std::string layout = get_text(doc, "ata_error_sense", "linux-6.1");
        if (layout == "sat")
            out.abort_sense = AbortSense::sat;
        else if (layout == "descriptor")
            out.abort_sense = AbortSense::descriptor;
        else if (layout != "linux-6.1")
            throw BayError("\"ata_error_sense\" must be \"linux-6.1\", \"sat\" or \"descriptor\"");
        if (!doc.contains("drives") || !doc["drives"].is_array())
            throw BayError("bay: \"drives\" must be a list");
        std::set<std::string> nodes;
        for (const json &j : doc["drives"]) {
            out.drives.push_back(parse_drive(j));
            if (!nodes.insert(out.drives.back().node).second)
                throw BayError(out.drives.back().node + ": listed twice");
        }
        bay = std::move(out);
        return true;
    } catch (const BayError &e) {
        err = e.what();
        return false;
    } catch (const json::exception &e) {
        err = e.what();
        return false;
    }
}

bool load_bay(const std::string &path, Bay &bay, json &doc, std::string &err) {
    std::ifstream in(path);
    if (!in) {
        err = path + ": cannot be read";
        return false;
    }
    try {
        doc = json::parse(in);
    } catch (const json::exception &e) {
        err = path + ": " + e.what();
        return false;
    }
    if (!bay_from_json(doc, bay, err)) {
        err = path + ": " + err;
        return false;
    }
    if (!bay.trace_path.empty() && bay.trace_path[0] != '/') {
        size_t slash = path.rfind('/');
        std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
        bay.trace_path = dir + "/" + bay.trace_path;
    }
    return true;
}

bool save_bay(const std::string &path, const Bay &bay, json &doc, std::string &err) {
    for (size_t i = 0; i < bay.drives.size() && i < doc["drives"].size(); i++) {
        json &d = doc["drives"][i];
        d["revision"] = bay.drives[i].revision;
        if (bay.drives[i].unit_attention)
            d["unit_attention"] = true;
        else
            d.erase("unit_attention");
    }
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << doc.dump(2) << "\n";
        out.flush();
        if (!out) {
            err = tmp + ": cannot be written";
            std::remove(tmp.c_str());
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        err = path + ": cannot be replaced";
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

const char *fwreq_name(FwreqAnswer f) {
    return f == FwreqAnswer::dotted ? "dotted" : f == FwreqAnswer::plain ? "plain" : "ignore";
}

const char *firmware_mode_name(FirmwareMode m) {
    return m == FirmwareMode::accept_any      ? "accept-any"
           : m == FirmwareMode::keep_revision ? "keep-revision"
                                              : "validate";
}
