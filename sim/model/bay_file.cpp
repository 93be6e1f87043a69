#include "bay_file.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <set>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "captured.h"
#include "host_stack.h"
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
        if (!known.contains(it.key()))
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

// A 64-bit number given as a JSON integer or as text ("0x8000000400000000").
uint64_t get_u64(const json &obj, const char *key, uint64_t fallback) {
    if (!obj.contains(key))
        return fallback;
    const json &v = obj[key];
    if (v.is_number_unsigned())
        return v.get<uint64_t>();
    if (!v.is_string())
        throw BayError(std::string(key) + ": not a number");
    std::string s = v.get<std::string>();
    char *end = nullptr;
    errno = 0;
    uint64_t n = std::strtoull(s.c_str(), &end, 0);
    if (s.empty() || s[0] == '-' || *end != '\0' || errno != 0)
        throw BayError(std::string(key) + ": not a number: " + s);
    return n;
}

// A key that holds a record or false (the drive has no such thing). Returns false when the
// key is false, true (record in out, or an empty one) otherwise.
bool get_record(const json &obj, const char *key, bool fallback, json &out) {
    out = json::object();
    if (!obj.contains(key))
        return fallback;
    const json &v = obj[key];
    if (v.is_boolean() && !v.get<bool>())
        return false;
    if (!v.is_object())
        throw BayError(std::string(key) + ": not an object or false");
    out = v;
    return true;
}

// IDENTIFY words by number ("83": "0x7401"); the string words belong to other keys.
void parse_identify_words(const json &j, Drive &d) {
    if (!j.is_object())
        throw BayError(d.node + ": \"identify_words\" must be an object");
    for (auto it = j.begin(); it != j.end(); ++it) {
        json one = {{"word", it.key()}, {"value", it.value()}};
        int word = static_cast<int>(get_number(one, "word", 0, 0, 255));
        if ((word >= 10 && word <= 19) || (word >= 23 && word <= 46))
            throw BayError(d.node + ": identify word " + it.key() +
                           " is set by \"serial\", \"revision\" or \"model\"");
        d.identify_words[word] = static_cast<uint16_t>(get_number(one, "value", 0, 0, 0xffff));
    }
}

// The DM_MD bit of page 86h byte 19 for each download mode it can state.
uint8_t dm_md_bit(long mode) {
    static const long k_modes[] = {0x04, 0x05, 0x06, 0x07, 0x0d, 0x0e, 0x0f};
    for (int i = 0; i < 7; i++)
        if (k_modes[i] == mode)
            return static_cast<uint8_t>(0x80 >> i);
    return 0;
}

// The SCSI statements: page 86h and the READ BUFFER descriptor.
void parse_scsi_statements(const json &j, Drive &d) {
    json rec;
    d.has_extended_inquiry =
        get_record(j, "extended_inquiry", d.flavor == ScsiFlavor::scsi_debug, rec);
    check_keys(rec, {"activate_microcode", "download_modes", "comment"},
               d.node + ": extended_inquiry");
    d.activate_microcode = static_cast<uint8_t>(get_number(rec, "activate_microcode", 0, 0, 3));
    if (rec.contains("download_modes")) {
        if (!rec["download_modes"].is_array())
            throw BayError(d.node + ": \"download_modes\" must be a list");
        d.dms_valid = true;
        for (const json &m : rec["download_modes"]) {
            json one = {{"mode", m}};
            uint8_t bit = dm_md_bit(get_number(one, "mode", 0, 0, 255));
            if (bit == 0)
                throw BayError(d.node + ": download mode " + m.dump() +
                               " is not one of 4-7, 0xd-0xf");
            d.dm_md |= bit;
        }
    }
    d.has_read_buffer = get_record(j, "read_buffer", false, rec);
    check_keys(rec, {"offset_boundary", "capacity", "comment"}, d.node + ": read_buffer");
    d.offset_boundary = static_cast<uint8_t>(get_number(rec, "offset_boundary", 0, 0, 255));
    d.buffer_capacity = static_cast<uint32_t>(get_number(rec, "capacity", 0, 0, 0xffffff));
}

// The SATA statements: the IDENTIFY words and the DOWNLOAD MICROCODE capabilities of the
// IDENTIFY DEVICE data log (false: no log).
void parse_ata_statements(const json &j, Drive &d) {
    if (j.contains("identify_words"))
        parse_identify_words(j["identify_words"], d);
    bool generic = d.ata_flavor == AtaFlavor::generic;
    d.has_dm_log = generic;
    if (j.contains("dm_capabilities") && j["dm_capabilities"].is_boolean()) {
        if (j["dm_capabilities"].get<bool>())
            throw BayError(d.node + ": \"dm_capabilities\" must be a number or false");
        d.has_dm_log = false;
    } else if (j.contains("dm_capabilities")) {
        if (!generic)
            throw BayError(d.node + ": flavor \"ide-hd\" keeps no logs");
        d.dm_capabilities = get_u64(j, "dm_capabilities", 0);
    }
}

// The world wide name (16 hex digits), the capacity, the captured answers, and what the drive
// does when it resets (drive_reset.h).
void parse_identity_extras(const json &j, Drive &d) {
    if (j.contains("wwn")) {
        std::string w = get_text(j, "wwn", "");
        if (w.size() != 16 || w.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            throw BayError(d.node + ": \"wwn\" must be 16 hex digits");
        d.has_wwn = true;
        d.wwn = std::stoull(w, nullptr, 16);
    }
    d.capacity_blocks = get_u64(j, "capacity_blocks", k_default_capacity_blocks);
    if (d.capacity_blocks == 0 || d.capacity_blocks >> 48 != 0)
        throw BayError(d.node + ": \"capacity_blocks\" must be 1 to 2^48 - 1");
    std::string err;
    if (j.contains("captured") && !captured_from_json(j["captured"], d.captured, err))
        throw BayError(d.node + ": " + err);
    d.settle_ms = static_cast<uint32_t>(get_number(j, "settle_ms", 0, 0, 3600000));
    d.vanish_ms = static_cast<uint32_t>(get_number(j, "vanish_ms", 0, 0, 3600000));
    d.moves_to = get_text(j, "moves_to", "");
    if (!d.moves_to.empty() && (d.moves_to[0] != '/' || d.moves_to == d.node))
        throw BayError(d.node + ": \"moves_to\" must be another absolute node path");
    d.not_ready_until = static_cast<int64_t>(get_u64(j, "not_ready_until", 0));
    d.absent_until = static_cast<int64_t>(get_u64(j, "absent_until", 0));
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
        "open",     "version",  "any",         "inquiry",     "vpd",
        "identify", "fwreq",    "ata",         "check_power", "write_buffer",
        "download", "read_log", "read_buffer", "tur",         "other"};
    static const std::set<std::string> k_kinds = {"errno",          "check",  "abort",
                                                  "timeout",        "busy",   "no_data",
                                                  "no_passthrough", "vanish", "version"};
    check_keys(f, {"on", "index", "kind", "errno", "key", "asc", "ascq", "value", "comment"},
               "fault");
    Fault out;
    out.on = get_text(f, "on", "any");
    out.kind = get_text(f, "kind", "");
    if (!k_on.contains(out.on))
        throw BayError("fault: unknown \"on\": " + out.on);
    if (!k_kinds.contains(out.kind))
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
               {"node",
                "type",
                "vendor",
                "product",
                "flavor",
                "model",
                "serial",
                "revision",
                "fwreq",
                "dotted_flag",
                "fwreq_text",
                "fwreq_suffix",
                "pio_in_status",
                "abort_status",
                "ata_passthrough",
                "firmware",
                "faults",
                "unit_attention",
                "power_on_attention",
                "staged",
                "identify_words",
                "dm_capabilities",
                "extended_inquiry",
                "read_buffer",
                "hostile",
                "slow_ms",
                "wwn",
                "capacity_blocks",
                "captured",
                "settle_ms",
                "vanish_ms",
                "moves_to",
                "not_ready_until",
                "absent_until",
                "block",
                "partitions",
                "mounts",
                "holders",
                "dm_names",
                "swap",
                "claimed",
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
    std::string flavor = get_text(j, "flavor", sata ? "generic" : "scsi_debug");
    if (sata && flavor == "ide-hd")
        d.ata_flavor = AtaFlavor::ide_hd;
    else if (sata && flavor != "generic")
        throw BayError(d.node + ": a SATA \"flavor\" must be \"generic\" or \"ide-hd\"");
    else if (!sata && flavor == "scsi-hd")
        d.flavor = ScsiFlavor::scsi_hd;
    else if (!sata && flavor != "scsi_debug")
        throw BayError(d.node + ": a SCSI \"flavor\" must be \"scsi_debug\" or \"scsi-hd\"");
    if (sata)
        parse_ata_statements(j, d);
    else
        parse_scsi_statements(j, d);
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
    d.power_on_attention = get_flag(j, "power_on_attention", false);
    if (j.contains("staged")) {
        d.staged = true;
        d.staged_revision = get_text(j, "staged", "");
        check_length(d.node, "staged", d.staged_revision, sata ? 8 : 4);
    }
    d.slow_ms = static_cast<uint32_t>(get_number(j, "slow_ms", 0, 0, 60000));
    parse_identity_extras(j, d);
    std::string host_err;
    if (!parse_host_stack(j, d.host, host_err))
        throw BayError(d.node + ": " + host_err);
    if (j.contains("firmware")) {
        const json &fw = j["firmware"];
        check_keys(fw, {"mode", "target", "staging"}, d.node + ": firmware");
        std::string staging = get_text(fw, "staging", "supported");
        if (staging == "unsupported")
            d.staging = Staging::unsupported;
        else if (staging == "ignored")
            d.staging = Staging::ignored;
        else if (staging != "supported")
            throw BayError(d.node + ": firmware staging must be \"supported\", "
                                    "\"unsupported\" or \"ignored\"");
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
        std::set<std::string> blocks;
        for (const json &j : doc["drives"]) {
            out.drives.push_back(parse_drive(j));
            const Drive &d = out.drives.back();
            if (!nodes.insert(d.node).second)
                throw BayError(d.node + ": listed twice");
            for (const std::string &b : d.host.partitions)
                if (!blocks.insert(b).second)
                    throw BayError(d.node + ": block device " + b + " belongs to another drive");
            if (!d.host.block.empty() && !blocks.insert(d.host.block).second)
                throw BayError(d.node + ": block device " + d.host.block +
                               " belongs to another drive");
        }
        for (const Drive &d : out.drives)
            if (!d.moves_to.empty() && nodes.contains(d.moves_to))
                throw BayError(d.node + ": \"moves_to\" names the node of another drive");
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

namespace {

// The state a run changes, put into the drive's record of a bay document.
void put_state(json &d, const Drive &drive) {
    d["node"] = drive.node;
    if (drive.moves_to.empty())
        d.erase("moves_to");
    auto put_time = [&d](const char *key, int64_t until) {
        if (until != 0)
            d[key] = until;
        else
            d.erase(key);
    };
    put_time("not_ready_until", drive.not_ready_until);
    put_time("absent_until", drive.absent_until);
    d["revision"] = drive.revision;
    if (drive.staged)
        d["staged"] = drive.staged_revision;
    else
        d.erase("staged");
    auto put_flag = [&d](const char *key, bool on) {
        if (on)
            d[key] = true;
        else
            d.erase(key);
    };
    put_flag("unit_attention", drive.unit_attention);
    put_flag("power_on_attention", drive.power_on_attention);
}

// Holds the write-back lock of a bay: BAY.locks/bay (node lock files are named by absolute
// paths, %2F..., so the name is free). The lock is taken by the system call itself: the
// interposer answers flock for the programs it serves, and this runs inside it, under its
// own mutex.
struct BayWriteLock {
    FILE *file = nullptr;
    explicit BayWriteLock(const std::string &path) {
        std::string dir = path + ".locks";
        if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
            return;
        file = std::fopen((dir + "/bay").c_str(), "ae");
        if (file != nullptr && syscall(SYS_flock, fileno(file), LOCK_EX) != 0) {
            std::fclose(file);
            file = nullptr;
        }
    }
    ~BayWriteLock() {
        if (file != nullptr)
            std::fclose(file); // drops the lock
    }
    BayWriteLock(const BayWriteLock &) = delete;
    BayWriteLock &operator=(const BayWriteLock &) = delete;
};

} // namespace

bool save_bay(const std::string &path, const Bay &bay, json &doc, std::string &err) {
    // Processes of one bay run side by side (one per drive), each with the document as it
    // read it at its start. Each writes only the drives whose state it changed since then,
    // into the file as it is now, under the bay's write-back lock: a drive another process
    // updated meanwhile keeps its new revision.
    BayWriteLock lock(path);
    if (lock.file == nullptr) {
        err = path + ".locks/bay: cannot be locked";
        return false;
    }
    json now;
    {
        std::ifstream in(path);
        now = in ? json::parse(in, nullptr, false) : json();
    }
    if (!now.is_object() || !now.contains("drives") || !now["drives"].is_array())
        now = doc;
    for (size_t i = 0; i < bay.drives.size() && i < doc["drives"].size(); i++) {
        json &mine = doc["drives"][i];
        json changed = mine;
        put_state(changed, bay.drives[i]);
        if (changed == mine)
            continue;
        // A drive that moved is found under the node it had when this process read the bay.
        std::string was = mine.value("node", "");
        mine = changed;
        for (json &d : now["drives"]) {
            if (d.is_object() && d.value("node", "") == was)
                put_state(d, bay.drives[i]);
        }
    }
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << now.dump(2) << "\n";
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
