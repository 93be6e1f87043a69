#include "cli/options.h"

#include "sg/sg_io.h"

#include <gtest/gtest.h>

#include "../expected_usage.h"

#include <string>
#include <vector>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

const std::string k_rule(80, '=');

// The banner without its clock line.
const std::string k_banner_head =
    k_rule + "\n Corvane Firmware Download Utility v0.2.3 Build Date: Jan  9 2013\n"
             " Copyright (c) 2013 Corvane Corporation. All rights reserved.\n ";

// Drops the banner (its five lines) from the front of out; fails when it is not there.
std::string after_banner(const std::string &out) {
    EXPECT_EQ(out.rfind(k_banner_head, 0), 0u) << out;
    size_t pos = 0;
    for (int line = 0; line < 5 && pos != std::string::npos; ++line) {
        pos = out.find('\n', pos);
        if (pos != std::string::npos) {
            ++pos;
        }
    }
    return pos == std::string::npos ? std::string() : out.substr(pos);
}

struct Scan {
    ScanResult result;
    RunOptions opts;
    std::string out;
    std::string err;
};

// Runs the scan over "dl_cor_fw" followed by args, capturing both streams.
Scan scan(std::vector<std::string> args) {
    args.insert(args.begin(), "dl_cor_fw");
    std::vector<char *> argv;
    for (auto &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    Scan s{};
    CaptureStdout();
    CaptureStderr();
    s.result = scan_options(static_cast<int>(args.size()), argv.data(), &s.opts);
    s.err = GetCapturedStderr();
    s.out = GetCapturedStdout();
    return s;
}

std::string text(const OwnedText &t) {
    return t ? std::string(t.get()) : "<absent>";
}

TEST(ValueLooksLikeOption, GuardRules) {
    struct Case {
        const char *value;
        bool option;
    };
    const Case cases[] = {
        {"-d", true},       {"-c", true},    {"-v", true},      {"-i", true},
        {"-:", true},       {"-vx", true},   {"--enum", true},  {"--enump", true},
        {"--debug", true},  {"--tmc", true}, {"-x", false},     {"-1", false},
        {"-", false},       {"--", false},   {"--foo", false},  {"--en", false},
        {"--enumx", false}, {"---", false},  {"--c", false},    {"abc", false},
        {"", false},        {"d", false},    {"--stage", true}, {"--settle", true},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(value_looks_like_option(c.value), c.option) << c.value;
    }
}

TEST(ScanOptions, ValuesAreStored) {
    Scan s = scan({"-m", "ab1c", "-s", "300", "-c", "a.cfs", "-c", "b.cfs", "-d", "x", "-d", "y",
                   "-f", "--foo", "--tmc=-5", "-w", "-p"});
    ASSERT_FALSE(s.result.exit_now) << s.err;
    EXPECT_EQ(s.result.operand_count, 0);
    EXPECT_EQ(text(s.opts.model_filter), "AB1C");
    EXPECT_FALSE(s.opts.model_repeated);
    EXPECT_EQ(s.opts.segment_count, 44);
    EXPECT_EQ(s.opts.segment_count_seen, 1);
    EXPECT_EQ(text(s.opts.cfs_path), "b.cfs");
    EXPECT_TRUE(s.opts.cfs_repeated);
    ASSERT_EQ(s.opts.device_paths.size(), 2u);
    EXPECT_STREQ(s.opts.device_paths[0].get(), "x");
    EXPECT_STREQ(s.opts.device_paths[1].get(), "y");
    EXPECT_EQ(text(s.opts.fw_path), "--foo");
    EXPECT_FALSE(s.opts.fw_repeated);
    EXPECT_EQ(s.opts.tmc_code, -5);
    EXPECT_EQ(s.opts.tmc_seen, 1);
    EXPECT_TRUE(s.opts.force_write_buffer);
    EXPECT_TRUE(s.opts.force_ata_passthrough);
    EXPECT_EQ(s.opts.list_mode, 0);
    EXPECT_EQ(s.out, "");
    EXPECT_EQ(s.err, "");
}

TEST(ScanOptions, SegmentCountIsAtoiLowEightBits) {
    const std::pair<const char *, int> cases[] = {
        {"64", 64}, {"300", 44}, {"-1", 255}, {"abc", 0}, {"256", 0}, {"12abc", 12}, {" 7", 7},
    };
    for (const auto &[value, expected] : cases) {
        Scan s = scan({"-s", value});
        ASSERT_FALSE(s.result.exit_now) << value;
        EXPECT_EQ(s.opts.segment_count, expected) << value;
    }
}

TEST(ScanOptions, ModelFilterUpperCasesAsciiLettersOnly) {
    Scan s = scan({"-m", "ab-1c_z\xe9q"});
    EXPECT_EQ(text(s.opts.model_filter), "AB-1C_Z\xe9Q");
    s = scan({"-m", "one", "-m", "two"});
    EXPECT_EQ(text(s.opts.model_filter), "TWO");
    EXPECT_TRUE(s.opts.model_repeated);
}

TEST(ScanOptions, ListingFlags) {
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"-i"}, 1},
        {{"--enum"}, 1},
        {{"--enump"}, 2},
        {{"-i", "--enump"}, 3},
        {{"--enump", "--enum", "-i"}, 3},
    };
    for (const auto &[args, mode] : cases) {
        Scan s = scan(args);
        EXPECT_EQ(s.opts.list_mode, mode) << args[0];
    }
}

TEST(ScanOptions, ValueLikeDashesAreTakenAsValues) {
    const std::pair<const char *, const char *> cases[] = {
        {"-", "-"}, {"--", "--"}, {"--foo", "--foo"}, {"-1", "-1"}, {"-x", "-x"},
    };
    for (const auto &[value, stored] : cases) {
        Scan s = scan({"-f", value});
        ASSERT_FALSE(s.result.exit_now) << value << s.err;
        EXPECT_EQ(text(s.opts.fw_path), stored);
    }
}

TEST(ScanOptions, OperandsAreCounted) {
    Scan s = scan({"-d", "/dev/sg0", "extra", "-i", "more"});
    ASSERT_FALSE(s.result.exit_now);
    EXPECT_EQ(s.result.operand_count, 2);
    EXPECT_EQ(s.opts.list_mode, 1);
}

TEST(ScanOptions, VersionEndsTheScanAtOnce) {
    Scan s = scan({"-i", "-v", "-x", "-f", "-d"});
    EXPECT_TRUE(s.result.exit_now);
    EXPECT_EQ(s.result.status, 0);
    EXPECT_EQ(s.err, "");
    EXPECT_EQ(after_banner(s.out), "");
    EXPECT_EQ(s.opts.list_mode, 1);
}

TEST(ScanOptions, EachDebugRaisesTheLevel) {
    int before = debug_level;
    Scan s = scan({"--debug", "-i", "--debug"});
    EXPECT_FALSE(s.result.exit_now);
    EXPECT_EQ(debug_level, before + 2);
    debug_level = before;
}

// The checks after the scan, in their binding order: what follows the banner, and the status.
TEST(CheckOptions, BindingOrder) {
    const std::string must = "\nMust specify a firmware file or configuration file.\n\n";
    const std::string together = "\nConfiguration File and Model Number modes cannot be used "
                                 "together\n";
    const std::string two_modes = "\nCannot force two modes (e.g: -p -w ) on a single device\n\n";
    const std::string ignoring = "\nConfiguration file provided, ignoring firmware file option\n";
    const std::string need_device = "\nA device path or model number must be specified to load "
                                    "a specific firmware file\n";
    struct Case {
        std::vector<std::string> args;
        std::string after_banner;
        int status; // -1: the run goes on
    };
    const Case cases[] = {
        {{"-d", "/dev/sg0", "extra"}, k_usage, 1},
        {{"-w", "-p"}, must + k_usage, 1},
        {{"-m", "abc", "-c", "x.cfs", "-w", "-p"}, together + k_usage, 1},
        {{"-w", "-p", "-f", "a", "-c", "b"}, two_modes + k_usage, 1},
        {{"-f", "a.bin", "-c", "b.cfs"}, ignoring, -1},
        {{"-f", "a.bin", "-i"}, need_device, 1},
        {{"-f", "a.bin", "-m", "x"}, "", -1},
        {{"-f", "a.bin", "-d", "/dev/sg0"}, "", -1},
        {{"-i"}, "", -1},
        {{"--enump"}, "", -1},
        {{"-c", "x.cfs"}, "", -1},
        {{"-m", "abc", "-i"}, "", -1},
        // The staged-update options, checked after every other rule.
        {{"--activate"},
         "\n--activate needs the drives named with -d (or -m); it never scans "
         "every device\n",
         1},
        {{"--activate", "-w", "-p", "-d", "x"}, two_modes + k_usage, 1},
        {{"--activate", "--stage", "-d", "x"},
         "\n--stage and --activate cannot be used together: "
         "stage in one run, activate in a later one\n",
         1},
        {{"--activate", "-f", "a", "-c", "b"},
         ignoring + "\n--activate sends no image: leave out "
                    "-f and -c\n",
         1},
        {{"--stage", "-f", "a"}, need_device, 1},
        {{"--preflight", "-i", "--record", "r"},
         "\n--preflight needs an image: give -f or -c\n",
         1},
        {{"--stage", "-s", "0", "-f", "a", "-m", "x"},
         "\n--stage sends the image in segments: "
         "give -s 1 to 255, or leave it out for "
         "the drive's own size\n",
         1},
        {{"--activate", "-m", "x", "--verify", "-w"}, "", -1},
        {{"--stage", "--preflight", "-s", "8", "-c", "x", "-p"}, "", -1},
    };
    for (const auto &c : cases) {
        Scan s = scan(c.args);
        ASSERT_FALSE(s.result.exit_now) << c.args[0];
        CaptureStdout();
        int status = check_options(&s.opts, s.result.operand_count);
        std::string out = GetCapturedStdout();
        EXPECT_EQ(status, c.status) << c.args[0] << " " << c.args.size();
        EXPECT_EQ(after_banner(out), c.after_banner) << c.args[0] << " " << c.args.size();
    }
}

TEST(CheckOptions, CfsFileDropsTheFirmwareFileAndItsRepeat) {
    Scan s = scan({"-f", "a", "-f", "b", "-c", "x"});
    CaptureStdout();
    EXPECT_EQ(check_options(&s.opts, s.result.operand_count), -1);
    GetCapturedStdout();
    EXPECT_FALSE(s.opts.fw_path);
    EXPECT_FALSE(s.opts.fw_repeated);
    CaptureStdout();
    print_multiple_value_warnings(s.opts);
    EXPECT_EQ(GetCapturedStdout(), "");
}

TEST(MultipleValueWarnings, OrderAndFormatting) {
    Scan s = scan({"--tmc", "7", "-s",    "64",          "-m",       "a",   "-f",       "x",
                   "-c",    "p", "--tmc", "-2147483648", "-s",       "300", "-m",       "ab1c",
                   "-f",    "y", "-c",    "q",           "--record", "a",   "--record", "b"});
    ASSERT_FALSE(s.result.exit_now);
    CaptureStdout();
    print_multiple_value_warnings(s.opts);
    EXPECT_EQ(GetCapturedStdout(), "WARNING: Multiple values given for -c. Using last value: q\n"
                                   "WARNING: Multiple values given for -f. Using last value: y\n"
                                   "WARNING: Multiple values given for -m. Using last value: AB1C\n"
                                   "WARNING: Multiple values given for -s. Using last value: 44\n"
                                   "WARNING: Multiple values given for --tmc. Using last value: "
                                   "-2147483648\n"
                                   "WARNING: Multiple values given for --record. Using last "
                                   "value: b\n");
}

TEST(ForcedMethod, FromTheModeFlags) {
    RunOptions o;
    EXPECT_EQ(forced_method(o), METHOD_AUTO);
    o.force_write_buffer = true;
    EXPECT_EQ(forced_method(o), METHOD_WRITE_BUFFER);
    o.force_write_buffer = false;
    o.force_ata_passthrough = true;
    EXPECT_EQ(forced_method(o), METHOD_ATA_PASSTHROUGH);
}

} // namespace
