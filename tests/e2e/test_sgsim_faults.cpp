// Every kind of injected fault, as a client of the sg driver sees it.
#include <gtest/gtest.h>

#include "scene.h"

namespace {

struct FaultCase {
    const char *name;
    const char *fault; // the fault record for drive sg0
    int status;        // of `sgsim probe`
    const char *out;   // what it prints for IDENTIFY sent twice (data lines left out)
};

const char *k_good_identify =
    "status=0x02 masked_status=0x01 host_status=0x00 driver_status=0x08 info=0x1 resid=0 "
    "duration=0 sb_len_wr=22\n"
    "sense: 72 01 00 1d 00 00 00 0e 09 0c 00 00 00 01 00 00 00 00 00 00 40 50\n";

std::string without_data(const std::string &out) {
    std::string kept;
    size_t at = 0;
    while (at < out.size()) {
        size_t end = out.find('\n', at);
        std::string line = out.substr(at, end - at + 1);
        if (line.rfind("data: ", 0) != 0)
            kept += line;
        at = end + 1;
    }
    return kept;
}

// The mixed bay with one fault (a JSON object; none for "") on drive sg0, in a fresh directory.
std::string bay_with_fault(const char *fault) {
    nlohmann::json extra = nlohmann::json::object();
    if (*fault != '\0')
        extra["faults"] = nlohmann::json::array({nlohmann::json::parse(fault)});
    return write_bay(mixed_bay_json(extra));
}

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const FaultCase &c, std::ostream *os) {
    *os << c.name;
}

class Faults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(Faults, SeenThroughTheDriver) {
    if (sgsim_path().empty())
        GTEST_SKIP() << "sgsim is not built";
    const FaultCase &p = GetParam();
    std::string bay = bay_with_fault(p.fault);
    RunResult r = probe(bay, {"/dev/sg0", "-n", "2", "-r", "512", "-t", "7000", "a1", "08", "2a",
                              "00", "01", "00", "00", "00", "40", "ec", "00", "00"});
    EXPECT_EQ(r.status, p.status) << r.out << r.err;
    std::string expected = p.out;
    for (size_t at; (at = expected.find("GOOD\n")) != std::string::npos;)
        expected.replace(at, 5, k_good_identify);
    EXPECT_EQ(without_data(r.out), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Faults,
    ::testing::Values(
        FaultCase{"none", "", 0, "version: 30536\nGOOD\nGOOD\n"},
        FaultCase{"errno", R"({"on": "identify", "index": 1, "kind": "errno", "errno": "EIO"})", 3,
                  "version: 30536\nSG_IO: errno 5 (Input/output error)\nGOOD\n"},
        FaultCase{"check",
                  R"({"on": "identify", "index": 2, "kind": "check", "key": 3, "asc": "0x11"})", 0,
                  "version: 30536\nGOOD\nstatus=0x02 masked_status=0x01 host_status=0x00 "
                  "driver_status=0x08 info=0x1 resid=0 duration=0 sb_len_wr=18\n"
                  "sense: 70 00 03 00 00 00 00 0a 00 00 00 00 11 00 00 00 00 00\n"},
        FaultCase{"abort", R"({"on": "ata", "kind": "abort"})", 0,
                  "version: 30536\nstatus=0x02 masked_status=0x01 host_status=0x00 "
                  "driver_status=0x08 info=0x1 resid=0 duration=0 sb_len_wr=18\n"
                  "sense: 70 00 0b 00 00 00 00 0a 04 41 40 01 00 00 00 00 00 00\n"
                  "status=0x02 masked_status=0x01 host_status=0x00 "
                  "driver_status=0x08 info=0x1 resid=0 duration=0 sb_len_wr=18\n"
                  "sense: 70 00 0b 00 00 00 00 0a 04 41 40 01 00 00 00 00 00 00\n"},
        FaultCase{"timeout", R"({"on": "identify", "index": 1, "kind": "timeout"})", 0,
                  "version: 30536\nstatus=0x00 masked_status=0x00 host_status=0x03 "
                  "driver_status=0x00 info=0x1 resid=512 duration=7000 sb_len_wr=0\n"
                  "sense: \nGOOD\n"},
        FaultCase{"busy", R"({"on": "any", "index": 1, "kind": "busy"})", 0,
                  "version: 30536\nstatus=0x08 masked_status=0x04 host_status=0x00 "
                  "driver_status=0x00 info=0x1 resid=512 duration=0 sb_len_wr=0\n"
                  "sense: \nGOOD\n"},
        FaultCase{"no_data", R"({"on": "identify", "kind": "no_data"})", 0,
                  "version: 30536\nstatus=0x00 masked_status=0x00 host_status=0x00 "
                  "driver_status=0x00 info=0x0 resid=512 duration=0 sb_len_wr=0\n"
                  "sense: \nstatus=0x00 masked_status=0x00 host_status=0x00 "
                  "driver_status=0x00 info=0x0 resid=512 duration=0 sb_len_wr=0\n"
                  "sense: \n"},
        FaultCase{"no_passthrough", R"({"on": "ata", "index": 2, "kind": "no_passthrough"})", 0,
                  "version: 30536\nGOOD\nstatus=0x02 masked_status=0x01 host_status=0x00 "
                  "driver_status=0x08 info=0x1 resid=0 duration=0 sb_len_wr=18\n"
                  "sense: 70 00 05 00 00 00 00 0a 00 00 00 00 20 00 00 00 00 00\n"},
        FaultCase{"vanish", R"({"on": "identify", "index": 2, "kind": "vanish"})", 3,
                  "version: 30536\nGOOD\nSG_IO: errno 19 (No such device)\n"},
        FaultCase{"open", R"({"on": "open", "kind": "errno", "errno": "EACCES"})", 2,
                  "open: errno 13 (Permission denied)\n"},
        FaultCase{"version", R"({"on": "version", "kind": "version", "value": 29999})", 0,
                  "version: 29999\nGOOD\nGOOD\n"},
        FaultCase{"version_errno", R"({"on": "version", "kind": "errno", "errno": "EINVAL"})", 3,
                  "SG_GET_VERSION_NUM: errno 22 (Invalid argument)\n"}),
    [](const auto &info) { return std::string(info.param.name); });

// What the data-in buffer holds after each fault: the probe fills it with EEh first.
TEST(FaultData, UntouchedOrZeroFilled) {
    if (sgsim_path().empty())
        GTEST_SKIP() << "sgsim is not built";
    struct Case {
        const char *fault;
        const char *data_start;
    } cases[] = {
        {R"({"on": "identify", "kind": "no_data"})", "data: ee ee ee ee"},
        {R"({"on": "identify", "kind": "timeout"})", "data: ee ee ee ee"},
        {R"({"on": "identify", "kind": "abort"})", "data: 00 00 00 00"},
        {R"({"on": "identify", "kind": "no_passthrough"})", "data: 00 00 00 00"},
        {"", "data: 40 00 20 00"},
    };
    for (const Case &c : cases) {
        std::string bay = bay_with_fault(c.fault);
        RunResult r = probe(bay, {"/dev/sg0", "-r", "512", "a1", "08", "2a", "00", "01", "00", "00",
                                  "00", "40", "ec", "00", "00"});
        EXPECT_NE(r.out.find(c.data_start), std::string::npos) << c.fault << "\n" << r.out;
    }
}

// A vanished drive cannot be opened again in the same process; a new process finds it.
TEST(FaultData, VanishedDriveRefusesTheNextOpen) {
    if (sgsim_path().empty() || !have_sg3_utils())
        GTEST_SKIP() << "needs sgsim and sg3-utils (apt-get install sg3-utils)";
    std::string bay = bay_with_fault(R"({"on": "vpd", "index": 1, "kind": "vanish"})");
    RunResult r = under_bay(bay, {"sg_inq", "/dev/sg0"});
    EXPECT_NE(r.out.find(" Product identification: QSTOR ACME-7200 \n"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Unit serial number"), std::string::npos) << r.out;
    RunResult again = under_bay(bay, {"sg_vpd", "-p", "sn", "/dev/sg0"});
    EXPECT_NE(again.status, 0); // the first VPD command of this process vanishes it again
}

} // namespace
