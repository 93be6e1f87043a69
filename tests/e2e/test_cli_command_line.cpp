// The command line, run through the built program: every case ends before any device is
// opened, or names device paths that do not exist, so no sg node is ever touched.
#include "harness.h"
#include "scene.h"

#include <gtest/gtest.h>

#include "../expected_usage.h"

#include <string>
#include <vector>

namespace {

const std::string k_prog = DL_COR_FW_PATH;
const std::string k_missing = "/nonexistent/sg0";

// The final newline that every run writes at exit.
const std::string k_end = "\n";

const std::string k_must = "\nMust specify a firmware file or configuration file.\n\n";
const std::string k_together =
    "\nConfiguration File and Model Number modes cannot be used together\n";
const std::string k_two_modes = "\nCannot force two modes (e.g: -p -w ) on a single device\n\n";
const std::string k_ignoring = "\nConfiguration file provided, ignoring firmware file option\n";
const std::string k_need_device =
    "\nA device path or model number must be specified to load a specific firmware file\n";

// What a missing -d path gives: the transport's report, then the run ends with status 3.
const std::string k_open_failed_out = "Error: Could not open handle to " + k_missing + "\n";
const std::string k_open_failed_err = "get_sg_fd: No such file or directory\n";

std::string warning(const std::string &option, const std::string &value) {
    return "WARNING: Multiple values given for " + option + ". Using last value: " + value + "\n";
}

TEST(CliCommandLine, UsageBannerAndVersion) {
    run_cli_cases({
        {"no arguments: usage only", {}, k_usage + k_end, "", 1},
        {"-v alone", {"-v"}, k_banner + k_end, "", 0},
        {"-v after valid options", {"-f", "a.bin", "-d", k_missing, "-v"}, k_banner + k_end, "", 0},
        {"-v before an unknown option", {"-v", "-x"}, k_banner + k_end, "", 0},
        {"-v ends the scan before a missing value", {"-i", "-v", "-f"}, k_banner + k_end, "", 0},
        {"--debug with -v", {"--debug", "-v", "--debug"}, k_banner + k_end, "", 0},
    });
}

TEST(CliCommandLine, RejectedOptions) {
    const std::string usage_only = k_usage + k_end;
    run_cli_cases({
        {"unknown option before -v",
         {"-x", "-v"},
         usage_only,
         k_prog + ": invalid option -- 'x'\n",
         1},
        {"missing value at the end",
         {"-i", "-f"},
         usage_only,
         k_prog + ": option requires an argument -- 'f'\n",
         1},
        {"missing long value at the end",
         {"--tmc"},
         usage_only,
         k_prog + ": option '--tmc' requires an argument\n",
         1},
        {"ambiguous long option",
         {"--en"},
         usage_only,
         k_prog + ": option '--en' is ambiguous; possibilities: '--enum' '--enump'\n",
         1},
        {"long option with a value it does not take",
         {"--enum=3"},
         usage_only,
         k_prog + ": option '--enum' doesn't allow an argument\n",
         1},
        {"unknown long option",
         {"--enumerate"},
         usage_only,
         k_prog + ": unrecognized option '--enumerate'\n",
         1},
    });
}

TEST(CliCommandLine, MissingArgumentGuard) {
    const std::string usage_only = k_usage + k_end;
    run_cli_cases({
        {"-f -d names f",
         {"-f", "-d"},
         usage_only,
         k_prog + ": option requires an argument -- 'f'\n",
         1},
        {"--tmc --enum names tmc",
         {"--tmc", "--enum"},
         usage_only,
         k_prog + ": option requires an argument -- 'tmc'\n",
         1},
        {"--record --verify names record",
         {"--record", "--verify"},
         usage_only,
         k_prog + ": option requires an argument -- 'record'\n",
         1},
        {"-f -: refused for the colon",
         {"-f", "-:"},
         usage_only,
         k_prog + ": option requires an argument -- 'f'\n",
         1},
        {"-d --debug",
         {"-i", "-d", "--debug"},
         usage_only,
         k_prog + ": option requires an argument -- 'd'\n",
         1},
        {"the guard stops the scan before later errors",
         {"-m", "-w", "-x"},
         usage_only,
         k_prog + ": option requires an argument -- 'm'\n",
         1},
    });
}

TEST(CliCommandLine, ChecksInTheirOrder) {
    run_cli_cases({
        {"operand left over", {"-d", k_missing, "extra"}, k_banner + k_usage + k_end, "", 1},
        {"operand before the other checks",
         {"-m", "abc", "extra"},
         k_banner + k_usage + k_end,
         "",
         1},
        {"-m alone", {"-m", "abc"}, k_banner + k_must + k_usage + k_end, "", 1},
        {"-m with -c",
         {"-m", "abc", "-c", "x.cfs"},
         k_banner + k_together + k_usage + k_end,
         "",
         1},
        {"-m with -c before -w with -p",
         {"-m", "abc", "-c", "x.cfs", "-w", "-p"},
         k_banner + k_together + k_usage + k_end,
         "",
         1},
        {"-w with -p",
         {"-w", "-p", "-f", "a.bin", "-d", k_missing},
         k_banner + k_two_modes + k_usage + k_end,
         "",
         1},
        {"-f alone", {"-f", "a.bin"}, k_banner + k_need_device + k_end, "", 1},
        {"-f with -i", {"-f", "a.bin", "-i"}, k_banner + k_need_device + k_end, "", 1},
        {"-f and -c drop -f, then the run",
         {"-f", "a.bin", "-c", "b.cfs", "-d", k_missing},
         k_banner + k_ignoring + k_open_failed_out + k_end,
         k_open_failed_err,
         3},
    });
}

TEST(CliCommandLine, MultipleValueWarnings) {
    const std::string run_end = k_open_failed_out + k_end;
    run_cli_cases({
        {"-s 64 -s 300",
         {"-s", "64", "-s", "300", "-f", "a.bin", "-d", k_missing},
         k_banner + warning("-s", "44") + run_end,
         k_open_failed_err,
         3},
        {"-s -1 is 255",
         {"-s", "5", "-s", "-1", "-i", "-d", k_missing},
         k_banner + warning("-s", "255") + run_end,
         k_open_failed_err,
         3},
        {"-m upper-cased",
         {"-m", "x", "-m", "ab1c", "-i", "-d", k_missing},
         k_banner + warning("-m", "AB1C") + run_end,
         k_open_failed_err,
         3},
        {"-f --foo taken as a file name",
         {"-f", "a", "-f", "--foo", "-d", k_missing},
         k_banner + warning("-f", "--foo") + run_end,
         k_open_failed_err,
         3},
        {"no -f warning once -c drops it",
         {"-f", "a", "-f", "b", "-c", "x", "-d", k_missing},
         k_banner + k_ignoring + run_end,
         k_open_failed_err,
         3},
        {"all of them, in order",
         {"--tmc", "1", "-s", "1", "-m", "a", "-f", "b", "--tmc", "-2147483648", "-s", "2", "-m",
          "c", "-f", "d", "-d", k_missing},
         k_banner + warning("-f", "d") + warning("-m", "C") + warning("-s", "2") +
             warning("--tmc", "-2147483648") + run_end,
         k_open_failed_err,
         3},
        {"-c",
         {"-c", "x", "-c", "y", "-d", k_missing},
         k_banner + warning("-c", "y") + run_end,
         k_open_failed_err,
         3},
        {"never for -d, -i, --enum, --enump, -w, -p",
         {"-i", "-i", "--enum", "--enump", "--enump", "-w", "-w", "-d", k_missing, "-d", k_missing},
         k_banner + run_end,
         k_open_failed_err,
         3},
    });
}

TEST(CliCommandLine, DebugIsAcceptedAnywhere) {
    run_cli_cases({
        {"--debug around a listing",
         {"--debug", "-i", "-d", k_missing, "--debug"},
         k_banner + k_open_failed_out + k_end,
         k_open_failed_err,
         3},
        {"--debug between -m and its check",
         {"-m", "abc", "--debug"},
         k_banner + k_must + k_usage + k_end,
         "",
         1},
    });
}

} // namespace
