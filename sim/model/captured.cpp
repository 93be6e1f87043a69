#include "captured.h"

#include <set>

#include "drive_exec.h"
#include "sim_bytes.h"

namespace {

const std::set<std::string> k_names = {
    "inquiry",      "vpd_00",      "vpd_80",    "vpd_83",    "vpd_86",    "vpd_89",     "identify",
    "fwreq_dotted", "fwreq_plain", "log_00_00", "log_30_00", "log_30_03", "read_buffer"};

// The firmware requests answer text in bytes 0-39: the old revision there becomes the new.
void put_fwreq_revision(std::vector<uint8_t> &b, const std::string &old_rev,
                        const std::string &new_rev) {
    if (b.size() < 40 || old_rev.empty())
        return;
    std::string head(b.begin(), b.begin() + 40);
    size_t at = head.find(old_rev);
    if (at == std::string::npos)
        return;
    head.replace(at, old_rev.size(), new_rev);
    head.resize(40, '\0');
    std::copy(head.begin(), head.end(), b.begin());
}

} // namespace

const CapturedAnswer *captured_answer(const Drive &d, const std::string &name) {
    auto it = d.captured.answers.find(name);
    return it == d.captured.answers.end() ? nullptr : &it->second;
}

std::vector<uint8_t> captured_bytes(const Drive &d, const std::string &name,
                                    const CapturedAnswer &c) {
    std::vector<uint8_t> b = c.bytes;
    if (c.refused || d.captured.revision == d.revision)
        return b;
    bool sata = d.type == DriveType::sata;
    if (name == "inquiry" && b.size() >= 36) {
        put_padded(&b[32], 4, sata ? libata_revision(d.revision) : d.revision);
    } else if ((name == "identify" && b.size() >= 512) || (name == "vpd_89" && b.size() >= 572)) {
        uint8_t *id = &b[name == "identify" ? 0 : 60];
        put_ata_string(&id[46], 8, d.revision);
        seal_identify(id);
    } else if (name == "fwreq_dotted" || name == "fwreq_plain") {
        put_fwreq_revision(b, trim_trailing(d.captured.revision), trim_trailing(d.revision));
    }
    return b;
}

bool captured_from_json(const nlohmann::json &j, Captured &out, std::string &err) {
    if (!j.is_object()) {
        err = "\"captured\" must be an object";
        return false;
    }
    out = Captured{};
    for (auto it = j.begin(); it != j.end(); ++it) {
        const nlohmann::json &v = it.value();
        if (it.key() == "revision") {
            if (!v.is_string()) {
                err = "captured: \"revision\" must be text";
                return false;
            }
            out.revision = v.get<std::string>();
            continue;
        }
        if (!k_names.contains(it.key())) {
            err = "captured: unknown answer \"" + it.key() + "\"";
            return false;
        }
        CapturedAnswer a;
        const nlohmann::json *text = &v;
        if (v.is_object() && v.size() == 1 && v.contains("refused")) {
            a.refused = true;
            text = &v["refused"];
        }
        if (!text->is_string() || !parse_hex(text->get<std::string>(), a.bytes)) {
            err = "captured: \"" + it.key() + "\" must be hex text or {\"refused\": hex text}";
            return false;
        }
        out.answers[it.key()] = std::move(a);
    }
    if (!j.contains("revision")) {
        err = "captured: \"revision\" (text) is required";
        return false;
    }
    return true;
}

nlohmann::json captured_to_json(const Captured &c) {
    nlohmann::json j = {{"revision", c.revision}};
    for (const auto &[name, a] : c.answers) {
        if (a.refused)
            j[name] = {{"refused", to_hex(a.bytes)}};
        else
            j[name] = to_hex(a.bytes);
    }
    return j;
}
