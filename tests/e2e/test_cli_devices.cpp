// The device run with device paths that cannot be sg nodes: missing paths, /dev/null, a
// directory and a plain file. Every case names its devices with -d, so /dev is not scanned,
// except the empty-scan case, which runs only where /dev holds no entry named "sg...".
#include "harness.h"
#include "scene.h"

#include <gtest/gtest.h>

#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>

namespace {

std::string could_not_open(const std::string &path) {
    return "Error: Could not open handle to " + path + "\n";
}

// What get_sg_fd reports for a node that opens but is not an sg node.
std::string not_sg_out(const std::string &path) {
    return "get_sg_fd: SG_GET_VERSION_NUM on " + path + " failed \n";
}
const std::string k_not_sg_err = "SG_GET_VERSION_NUM: Inappropriate ioctl for device\n";

// The cases' outputs stand between the banner and the final newline.
void run_cases(const std::vector<CliCase> &cases) {
    run_cli_cases(cases, k_banner, "\n");
}

TEST(CliDevices, NodesThatCannotBeOpened) {
    std::string dir = make_temp_dir();
    run_cases({
        {"missing path, listing",
         {"-i", "-d", "/nonexistent/sg0"},
         could_not_open("/nonexistent/sg0"),
         "get_sg_fd: No such file or directory\n",
         3},
        {"missing path, firmware file",
         {"-f", "a.bin", "-d", "/nonexistent/sg0"},
         could_not_open("/nonexistent/sg0"),
         "get_sg_fd: No such file or directory\n",
         3},
        {"a directory",
         {"--enump", "-d", dir},
         could_not_open(dir),
         "get_sg_fd: Is a directory\n",
         3},
    });
}

TEST(CliDevices, NodesThatAreNotSgNodes) {
    std::string file = make_temp_dir() + "/sg0";
    write_file(file, "not a device");
    run_cases({
        {"/dev/null, listing",
         {"-i", "-d", "/dev/null"},
         not_sg_out("/dev/null") + could_not_open("/dev/null"),
         k_not_sg_err,
         3},
        {"/dev/null, model filter",
         {"-m", "abc", "-f", "a.bin", "-d", "/dev/null"},
         not_sg_out("/dev/null") + could_not_open("/dev/null"),
         k_not_sg_err,
         3},
        {"/dev/null, configuration file",
         {"-c", "x.cfs", "-d", "/dev/null"},
         not_sg_out("/dev/null") + could_not_open("/dev/null"),
         k_not_sg_err,
         3},
        {"a plain file named like a node",
         {"-i", "-d", file},
         not_sg_out(file) + could_not_open(file),
         k_not_sg_err,
         3},
    });
}

TEST(CliDevices, RunStopsAtTheFirstDeviceThatFails) {
    run_cases({
        {"missing path first",
         {"-i", "-d", "/nonexistent/a", "-d", "/dev/null"},
         could_not_open("/nonexistent/a"),
         "get_sg_fd: No such file or directory\n",
         3},
        {"/dev/null first",
         {"-i", "-d", "/dev/null", "-d", "/nonexistent/a"},
         not_sg_out("/dev/null") + could_not_open("/dev/null"),
         k_not_sg_err,
         3},
    });
}

bool dev_has_sg_entries() {
    DIR *dev = opendir("/dev");
    if (dev == nullptr) {
        return true; // unknown: treat as present, so that nothing is run against it
    }
    bool found = false;
    while (struct dirent *e = readdir(dev)) {
        found = found || std::strncmp(e->d_name, "sg", 2) == 0;
    }
    closedir(dev);
    return found;
}

TEST(CliDevices, ScanOfDevWithoutSgNodesProcessesNothing) {
    if (dev_has_sg_entries()) {
        GTEST_SKIP() << "/dev has sg entries; this case never opens real nodes";
    }
    run_cases({
        {"listing", {"-i"}, "", "", 0},
        {"extended listing with the code", {"--enump", "--tmc", "31847"}, "", "", 0},
        {"configuration file never read", {"-c", "/nonexistent/x.cfs"}, "", "", 0},
        {"model filter with warnings",
         {"-m", "a", "-m", "b", "-f", "x.bin"},
         "WARNING: Multiple values given for -m. Using last value: B\n",
         "",
         0},
    });
}

} // namespace
