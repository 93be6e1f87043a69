#include "test_sgsim_util.h"

#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

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
    nlohmann::json bay = R"({"trace": "trace.jsonl", "drives": [
    {"node": "/dev/sg0", "type": "sata", "model": "QSTOR ACME-7200 SATA HYBRID",
     "serial": "   QS7X0042Z9", "revision": "QA12.B07", "fwreq": "dotted",
     "fwreq_text": "{rev}.0042.77.X9", "fwreq_suffix": "R7"},
    {"node": "/dev/sg1", "type": "scsi", "vendor": "NORTHVL", "product": "NV-SAS10K",
     "revision": "N4R2", "serial": "NV0000777123", "flavor": "scsi-hd"},
    {"node": "/dev/sg10", "type": "sata", "model": "HALCYON HD-4000", "serial": "HC4K00017",
     "revision": "HD40.003", "fwreq": "plain", "fwreq_text": "HD40.003-PLAIN"},
    {"node": "/dev/sg2", "type": "scsi", "vendor": "Linux", "product": "scsi_debug",
     "revision": "0191", "serial": "16000"},
    {"node": "/dev/sg3", "type": "sata", "model": "MERIDIAN MX500", "serial": "MX5-0001",
     "revision": "MX5R0101"}]})"_json;
    bay["drives"][0].update(sg0_extra);
    bay.update(bay_extra);
    return bay.dump(2) + "\n";
}
