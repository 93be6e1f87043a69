#include "scene.h"

#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

const std::string k_banner = std::string(80, '=') +
                             "\n Corvane Firmware Download Utility v0.2.3 Build Date: Jan  9 2013\n"
                             " Copyright (c) 2013 Corvane Corporation. All rights reserved.\n"
                             " <TIME>\n" +
                             std::string(80, '=') + "\n";

void run_cli_cases(const std::vector<CliCase> &cases, const std::string &before,
                   const std::string &after) {
    for (const auto &c : cases) {
        std::vector<std::string> argv{DL_COR_FW_PATH};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        RunResult r = run_command(argv);
        EXPECT_EQ(mask_time(r.out), before + c.out + after) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        EXPECT_EQ(r.status, c.status) << c.what;
    }
}

Bay make_bay(const std::vector<nlohmann::json> &drives, const nlohmann::json &bay_extra) {
    nlohmann::json doc = {{"trace", "trace.jsonl"}};
    if (!bay_extra.is_null()) {
        doc.update(bay_extra);
    }
    doc["drives"] = drives;
    Bay bay;
    bay.path = write_bay(doc.dump(2) + "\n");
    bay.dir = bay.path.substr(0, bay.path.rfind('/'));
    bay.trace = bay.dir + "/" + doc["trace"].get<std::string>();
    return bay;
}

Bay copy_mixed_fixture() {
    nlohmann::json doc =
        nlohmann::json::parse(read_file(std::string(E2E_DATA_DIR) + "/bays/mixed.json"));
    doc["trace"] = "mixed.trace";
    Bay bay;
    bay.path = write_bay(doc.dump(2) + "\n");
    bay.dir = bay.path.substr(0, bay.path.rfind('/'));
    bay.trace = bay.dir + "/mixed.trace";
    return bay;
}

nlohmann::json sata_drive(const std::string &node, const std::string &model,
                          const std::string &serial, const std::string &revision,
                          const nlohmann::json &extra) {
    nlohmann::json d = {{"node", node},
                        {"type", "sata"},
                        {"model", model},
                        {"serial", serial},
                        {"revision", revision}};
    if (!extra.is_null()) {
        d.update(extra);
    }
    return d;
}

nlohmann::json scsi_drive(const std::string &node, const std::string &vendor,
                          const std::string &product, const std::string &revision,
                          const std::string &serial, const nlohmann::json &extra) {
    nlohmann::json d = {{"node", node},       {"type", "scsi"},       {"vendor", vendor},
                        {"product", product}, {"revision", revision}, {"serial", serial}};
    if (!extra.is_null()) {
        d.update(extra);
    }
    return d;
}

Bay bay_from_listing(const std::string &listing, const std::vector<std::string> &args,
                     RunResult *run) {
    Bay bay;
    bay.dir = make_temp_dir();
    bay.path = bay.dir + "/bay.json";
    bay.trace = bay.dir + "/trace.jsonl";
    RunSpec spec;
    spec.argv = {sgsim_path(), "bay", "-", "-o", bay.path};
    spec.argv.insert(spec.argv.end(), args.begin(), args.end());
    spec.input = listing;
    *run = run_command(spec);
    return bay;
}

RunResult run_dl(const Bay &bay, const std::vector<std::string> &args, bool one_pipe) {
    std::vector<std::string> argv{DL_COR_FW_PATH};
    if (one_pipe) {
        argv.insert(argv.begin(), {"sh", "-c", "exec \"$0\" \"$@\" 2>&1"});
    }
    argv.insert(argv.end(), args.begin(), args.end());
    return under_bay(bay.path, argv);
}

std::string body(const RunResult &r) {
    std::string out = mask_time(r.out);
    if (out.compare(0, k_banner.size(), k_banner) != 0) {
        return "<no banner>" + out;
    }
    out.erase(0, k_banner.size());
    if (!out.empty() && out.back() == '\n') {
        out.pop_back();
    }
    return out;
}

std::string make_image(const std::string &dir, const std::string &name, const std::string &model,
                       const std::string &revision, size_t size) {
    std::string path = dir + "/" + name;
    RunResult r = run_command({sgsim_path(), "mkimage", "--model", model, "--revision", revision,
                               "--size", std::to_string(size), path});
    EXPECT_EQ(r.status, 0) << r.err;
    return path;
}

std::string make_bytes(const std::string &dir, const std::string &name, size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    }
    std::string path = dir + "/" + name;
    write_file(path, bytes);
    return path;
}

std::vector<TraceEntry> read_trace(const Bay &bay) {
    std::vector<TraceEntry> entries;
    for (const std::string &line : file_lines(bay.trace)) {
        nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_discarded() || !j.is_object()) {
            ADD_FAILURE() << "not a trace line: " << line;
            continue;
        }
        if (j.contains("syslog")) {
            continue; // a system log message, read by syslog_lines
        }
        TraceEntry e;
        e.node = j.value("node", "");
        e.cdb = j.value("cdb", "");
        e.direction = j.value("direction", "");
        e.length = j.value("length", -1L);
        e.timeout = j.value("timeout", -1L);
        e.sense = j.value("sense", "");
        e.host_status = j.value("host_status", 0L);
        if (j.contains("errno")) {
            e.error = j["errno"].is_string() ? j["errno"].get<std::string>()
                                             : std::to_string(j["errno"].get<long>());
        }
        entries.push_back(e);
    }
    return entries;
}

std::vector<std::string> syslog_lines(const Bay &bay) {
    std::vector<std::string> lines;
    for (const std::string &line : file_lines(bay.trace)) {
        nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (!j.is_discarded() && j.is_object() && j.contains("syslog")) {
            const nlohmann::json &e = j["syslog"];
            lines.push_back(e.value("facility", "") + "." + e.value("severity", "") + " " +
                            e.value("ident", "") + ": " + e.value("message", ""));
        }
    }
    return lines;
}

std::vector<TraceEntry> data_out_entries(const std::vector<TraceEntry> &trace) {
    std::vector<TraceEntry> out;
    for (const TraceEntry &e : trace) {
        if (e.direction == "to_dev") {
            out.push_back(e);
        }
    }
    return out;
}

std::string cdb_hex(const std::string &spaced) {
    std::string hex;
    for (char c : spaced) {
        if (c != ' ') {
            hex += static_cast<char>(tolower(static_cast<unsigned char>(c)));
        }
    }
    return hex;
}

std::string bay_drive_member(const Bay &bay, const std::string &node, const std::string &key) {
    nlohmann::json j = nlohmann::json::parse(read_file(bay.path), nullptr, false);
    if (j.is_discarded() || !j.contains("drives")) {
        return "<unreadable bay>";
    }
    for (const auto &d : j["drives"]) {
        if (d.value("node", "") == node && d.contains(key)) {
            return d[key].is_string() ? d[key].get<std::string>() : d[key].dump();
        }
    }
    return "";
}

std::string sgsim_path() {
#ifdef SGSIM_PATH
    return SGSIM_PATH;
#else
    return "";
#endif
}

std::string sgsim_preload_path() {
    std::string s = sgsim_path();
    return s.substr(0, s.rfind('/')) + "/libsgsim.so";
}

bool have_sg3_utils() {
    return access("/usr/bin/sg_inq", X_OK) == 0 && access("/usr/bin/sg_write_buffer", X_OK) == 0;
}

std::string write_bay(const std::string &json) {
    std::string path = make_temp_dir() + "/bay.json";
    write_file(path, json);
    return path;
}

RunResult under_bay(const std::string &bay, const std::vector<std::string> &argv,
                    const std::vector<std::string> &env) {
    RunSpec spec;
    spec.argv = {sgsim_path(), "run", bay, "--"};
    spec.argv.insert(spec.argv.end(), argv.begin(), argv.end());
    spec.env = env;
    spec.stdin_closed = true; // the first node a program opens may then be descriptor 0
    return run_command(spec);
}

RunResult probe(const std::string &bay, const std::vector<std::string> &args) {
    std::vector<std::string> argv = {sgsim_path(), "probe"};
    argv.insert(argv.end(), args.begin(), args.end());
    return under_bay(bay, argv);
}

std::vector<std::string> file_lines(const std::string &path) {
    std::vector<std::string> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

std::string mixed_bay_json(const nlohmann::json &sg0_extra, const nlohmann::json &bay_extra) {
    nlohmann::json bay =
        nlohmann::json::parse(read_file(std::string(E2E_DATA_DIR) + "/bays/mixed.json"));
    bay.erase("comment");
    bay["trace"] = "trace.jsonl";
    bay["drives"][0].update(sg0_extra);
    bay.update(bay_extra);
    return bay.dump(2) + "\n";
}
