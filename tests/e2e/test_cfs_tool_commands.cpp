// cfs_tool run as a child process: every subcommand, its output and exit status, and files
// that agree byte for byte with what the openssl and gzip commands make.
#ifdef CFS_TOOL_PATH

#include "harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string k_tool = CFS_TOOL_PATH;
// The built-in key "CopperKitesHollowMarbles" in hexadecimal, and the initial vector.
const std::string k_key_hex = "436f707065724b69746573486f6c6c6f774d6172626c6573";
const std::string k_iv_hex = "3ca1075ed24918f6";

const std::string k_worked_text = "# firmware map\n"
                                  "QX2000A;A1??;fw/qx2000a_b205.bin;B205\n"
                                  "QX2000A;B205;fw/qx2000a_b207.bin;B207\n"
                                  "QX4*;*;fw/qx4000_c300.bin;C300\n";

bool have_program(const char *name) {
    const char *path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        std::string dir = dirs.substr(start, end == std::string::npos ? end : end - start);
        if (access((dir + "/" + name).c_str(), X_OK) == 0) {
            return true;
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return false;
}

RunResult tool(const std::vector<std::string> &args, const std::string &cwd = "",
               const std::string &input = "") {
    RunSpec spec;
    spec.argv = {k_tool};
    spec.argv.insert(spec.argv.end(), args.begin(), args.end());
    spec.cwd = cwd;
    spec.input = input;
    return run_command(spec);
}

// Runs openssl enc in the given direction ("-e" or "-d") from file `in` to file `out`.
void openssl_enc(const char *direction, const std::string &in, const std::string &out) {
    RunResult r = run_command({"openssl", "enc", direction, "-des-ede3-cfb", "-K", k_key_hex, "-iv",
                               k_iv_hex, "-in", in, "-out", out});
    ASSERT_EQ(r.status, 0) << r.err;
}

std::string gzip_member(const std::string &text, const std::vector<std::string> &flags) {
    RunSpec spec;
    spec.argv = {"gzip", "-c"};
    spec.argv.insert(spec.argv.end(), flags.begin(), flags.end());
    spec.input = text;
    RunResult r = run_command(spec);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

#define SKIP_WITHOUT(program)                                                                      \
    if (!have_program(program)) {                                                                  \
        GTEST_SKIP() << "the " program " command is not installed";                                \
    }

TEST(CfsToolPack, FileEqualsOpensslEncOfTheSameMemberAndPad) {
    SKIP_WITHOUT("openssl");
    SKIP_WITHOUT("gzip");
    std::string dir = make_temp_dir();
    std::string text = k_worked_text;
    for (int i = 0; i < 300; ++i) {
        text += "QX" + std::to_string(7000 + i) + ";A1??;fw/qx" + std::to_string(i) + ".bin;\n";
    }
    write_file(dir + "/map.txt", text);
    for (int pad : {1, 8, 13, 255}) {
        SCOPED_TRACE(pad);
        std::string cfs = dir + "/map" + std::to_string(pad) + ".cfs";
        RunResult r = tool({"pack", "--pad", std::to_string(pad), "map.txt", cfs}, dir);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");

        openssl_enc("-d", cfs, dir + "/plain");
        std::string plain = read_file(dir + "/plain");
        ASSERT_GT(plain.size(), static_cast<size_t>(pad));
        std::string member = plain.substr(0, plain.size() - pad);
        EXPECT_EQ(plain.substr(member.size()), std::string(pad, static_cast<char>(pad)));
        // gzip reads exactly one member, with nothing behind it, and gets the text back.
        RunSpec gunzip;
        gunzip.argv = {"gzip", "-dc"};
        gunzip.input = member;
        RunResult g = run_command(gunzip);
        EXPECT_EQ(g.status, 0);
        EXPECT_EQ(g.err, "");
        EXPECT_EQ(g.out, text);

        openssl_enc("-e", dir + "/plain", dir + "/again");
        EXPECT_EQ(read_file(dir + "/again"), read_file(cfs));
    }
}

TEST(CfsToolUnpack, ReadsFilesMadeByGzipAndOpensslEnc) {
    SKIP_WITHOUT("openssl");
    SKIP_WITHOUT("gzip");
    std::string dir = make_temp_dir();
    write_file(dir + "/named.txt", k_worked_text);
    struct made {
        const char *name;
        std::string member;
        std::string pad;
    } cases[] = {
        {"gzip -n, pad 8", gzip_member(k_worked_text, {"-n"}), "\x11\x22\x33\x44\x55\x66\x77\x08"},
        {"gzip -1, pad 1", gzip_member(k_worked_text, {"-1"}), "\x01"},
        {"gzip -9 with the file name in its header, pad 255", "", std::string(255, '\xff')},
    };
    RunResult named = run_command({"gzip", "-c", "-9", dir + "/named.txt"});
    ASSERT_EQ(named.status, 0);
    cases[2].member = named.out;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        write_file(dir + "/plain", c.member + c.pad);
        openssl_enc("-e", dir + "/plain", dir + "/map.cfs");
        RunResult r = tool({"unpack", dir + "/map.cfs"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, k_worked_text);
        EXPECT_EQ(r.err, "");
    }
}

TEST(CfsToolPack, RoundTripsFromAPathAndFromStandardInput) {
    std::string dir = make_temp_dir();
    const char raw[] = "QX;A;fw/a b.bin;\r\n# \x01\xff binary-safe\n\0after NUL\n";
    std::string text(raw, sizeof raw - 1);
    write_file(dir + "/t.txt", text);
    ASSERT_EQ(tool({"pack", dir + "/t.txt", dir + "/a.cfs"}).status, 0);
    RunResult from_stdin = tool({"pack", "--pad=3", "-", dir + "/b.cfs"}, "", text);
    ASSERT_EQ(from_stdin.status, 0) << from_stdin.err;
    for (const char *name : {"/a.cfs", "/b.cfs"}) {
        RunResult r = tool({"unpack", dir + name});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, text);
    }
    // Pad 8 by default: the two files differ only in the pad's length.
    EXPECT_EQ(read_file(dir + "/a.cfs").size(), read_file(dir + "/b.cfs").size() + 5);
}

TEST(CfsToolPack, ReplacesTheOutputAtomicallyWithAPlainFileMode) {
    std::string dir = make_temp_dir();
    write_file(dir + "/t.txt", k_worked_text);
    write_file(dir + "/map.cfs", "old contents");
    mode_t old_mask = umask(022);
    RunResult r = tool({"pack", "t.txt", "map.cfs"}, dir);
    umask(old_mask);
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st;
    ASSERT_EQ(stat((dir + "/map.cfs").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"map.cfs", "t.txt"}));
    EXPECT_EQ(tool({"unpack", dir + "/map.cfs"}).out, k_worked_text);
}

TEST(CfsToolPack, FailuresHaveTheirOwnStatuses) {
    std::string dir = make_temp_dir();
    write_file(dir + "/t.txt", "x");
    struct fail_case {
        std::vector<std::string> args;
        int status;
        std::string err; // exact, or the first line when it ends in '\n' with more following
    } cases[] = {
        {{"pack", "missing.txt", "o.cfs"},
         66,
         "cfs_tool: missing.txt: No such file or directory\n"},
        {{"pack", "t.txt", "no/such/dir/o.cfs"},
         73,
         "cfs_tool: no/such/dir/o.cfs: No such file or directory\n"},
        {{"pack", "--pad", "0", "t.txt", "o.cfs"},
         64,
         "cfs_tool: --pad takes a number from 1 to 255, not '0'\n"},
        {{"pack", "--pad", "256", "t.txt", "o.cfs"},
         64,
         "cfs_tool: --pad takes a number from 1 to 255, not '256'\n"},
        {{"pack", "--pad", "-1", "t.txt", "o.cfs"},
         64,
         "cfs_tool: --pad takes a number from 1 to 255, not '-1'\n"},
        {{"pack", "--pad=8x", "t.txt", "o.cfs"},
         64,
         "cfs_tool: --pad takes a number from 1 to 255, not '8x'\n"},
        {{"pack", "t.txt", "o.cfs", "--pad"}, 64, "cfs_tool: option '--pad' needs a value\n"},
        {{"pack", "t.txt"}, 64, "cfs_tool: pack needs TEXT and OUT\n"},
        {{"pack", "-x", "t.txt", "o.cfs"}, 64, "cfs_tool: unknown option '-x'\n"},
        {{"unpack"}, 64, "cfs_tool: too few arguments for 'unpack'\n"},
        {{"lookup", "a", "b"}, 64, "cfs_tool: too few arguments for 'lookup'\n"},
        {{"check", "a", "b"}, 64, "cfs_tool: too many arguments for 'check'\n"},
        {{"check", "--images", "none", "t.txt"}, 66, "cfs_tool: none: No such file or directory\n"},
        {{"frobnicate"}, 64, "cfs_tool: unknown command 'frobnicate'\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
        RunResult r = tool(c.args, dir);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), c.err);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(std::filesystem::exists(dir + "/o.cfs"));
}

TEST(CfsTool, UsageAndVersion) {
    RunResult none = tool({});
    EXPECT_EQ(none.status, 64);
    EXPECT_EQ(none.err.rfind("Usage: cfs_tool pack [--pad N] TEXT OUT\n", 0), 0u);
    RunResult help = tool({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, none.err);
    RunResult version = tool({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("cfs_tool (dl_cor_fw) ", 0), 0u);
}

// A CFS file of the worked example text (plus extra lines) in a fresh directory.
std::string packed_dir(const std::string &text) {
    std::string dir = make_temp_dir();
    write_file(dir + "/map.txt", text);
    RunResult r = tool({"pack", "map.txt", "map.cfs"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    return dir;
}

struct lookup_case {
    const char *model;
    const char *fw;
    int status;
    std::string out;
    std::string err;
};

TEST(CfsToolLookup, AnswersAndMessagesOfTheWorkedExample) {
    std::string dir = packed_dir(k_worked_text);
    const lookup_case cases[] = {
        {"QX2000A", "A104", 0, "fw/qx2000a_b205.bin\n", ""},
        {"QX2000A", "B205", 0, "fw/qx2000a_b207.bin\n", ""},
        {"QX2000A", "B207", 7, "", "The firmware on QX2000A is up to date\n"},
        {"QX2000A", "A1", 6, "", "QX2000A does not match any entries in map.cfs\n"},
        {"qx2000a", "A104", 6, "", "qx2000a does not match any entries in map.cfs\n"},
        {"QX4100", "C100", 0, "fw/qx4000_c300.bin\n", ""},
        {"QX4100", "C300", 7, "", "The firmware on QX4100 is up to date\n"},
        {"QX5000", "A100", 6, "", "QX5000 does not match any entries in map.cfs\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.model) + " at " + c.fw);
        RunResult r = tool({"lookup", "map.cfs", c.model, c.fw}, dir);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(CfsToolLookup, BrokenFifthLineIsASyntaxError) {
    std::string dir = packed_dir(k_worked_text + "QX9000;A100;fw/qx9000.bin\n");
    RunResult r = tool({"lookup", "map.cfs", "QX5000", "A100"}, dir);
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Syntax error in map.cfs\n");
    r = tool({"lookup", "map.cfs", "QX2000A", "A104"}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "fw/qx2000a_b205.bin\n");
}

TEST(CfsToolUnpack, FailedWriteOfStandardOutputIsStatus74) {
    std::string dir = packed_dir(k_worked_text);
    RunResult r =
        run_command({"sh", "-c", "exec \"$0\" unpack \"$1\" >/dev/full", k_tool, dir + "/map.cfs"});
    EXPECT_EQ(r.status, 74);
    EXPECT_EQ(r.err, "cfs_tool: standard output: No space left on device\n");
}

TEST(CfsToolLoad, UnusableFilesGiveTheLoadCodeAndMessage) {
    std::string dir = make_temp_dir();
    write_file(dir + "/empty.cfs", "");
    write_file(dir + "/plain.cfs", k_worked_text);
    mkdir((dir + "/a_dir").c_str(), 0755);
    int fd = open((dir + "/huge.cfs").c_str(), O_WRONLY | O_CREAT, 0644);
    bool sparse = fd >= 0 && ftruncate(fd, off_t{1} << 32) == 0;
    close(fd);
    struct load_case {
        const char *file;
        int status;
        const char *message;
    } cases[] = {
        {"missing.cfs", 1, "Could not open missing.cfs\n"},
        {"a_dir", 3, "Could not read a_dir\n"},
        {"empty.cfs", 4, "Could not decrypt empty.cfs\n"},
        {"plain.cfs", 4, "Could not decrypt plain.cfs\n"},
        {"huge.cfs", 4, "Could not decrypt huge.cfs\n"},
    };
    for (const auto &c : cases) {
        if (!sparse && std::string(c.file) == "huge.cfs") {
            continue;
        }
        for (const std::vector<std::string> &args :
             {std::vector<std::string>{"unpack", c.file}, std::vector<std::string>{"check", c.file},
              std::vector<std::string>{"lookup", c.file, "QX2000A", "A104"}}) {
            SCOPED_TRACE(args[0] + " " + c.file);
            RunResult r = tool(args, dir);
            EXPECT_EQ(r.status, c.status);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, c.message);
        }
    }
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(CfsToolLoad, MemoryExhaustedIsStatus2WithTheSystemText) {
    std::string dir = make_temp_dir();
    int fd = open((dir + "/big.cfs").c_str(), O_WRONLY | O_CREAT, 0644);
    bool sparse = fd >= 0 && ftruncate(fd, (off_t{1} << 32) - 1) == 0;
    close(fd);
    if (!sparse) {
        GTEST_SKIP() << "the temporary directory takes no sparse file";
    }
    RunResult r = run_command(
        {"sh", "-c", "ulimit -v 262144 && exec \"$0\" unpack \"$1\"", k_tool, dir + "/big.cfs"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Cannot allocate memory\n");
}
#endif

TEST(CfsToolCheck, CleanFileIsSilent) {
    std::string dir = packed_dir(k_worked_text);
    std::filesystem::create_directory(dir + "/fw");
    for (const char *f : {"qx2000a_b205.bin", "qx2000a_b207.bin", "qx4000_c300.bin"}) {
        write_file(dir + "/fw/" + f, std::string(4096, 'i'));
    }
    RunResult r = tool({"check", "map.cfs"}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST(CfsToolCheck, ReportsEveryLineNotOnlyUpToTheFirstAnswer) {
    std::string text = "# map\r\n"                       // 1
                       "*;*;fw/there.bin;\r\n"           // 2: would answer every lookup
                       "QX1;A1??\r\n"                    // 3
                       "QX2;A#;fw/x.bin;B\n"             // 4
                       "\n"                              // 5
                       ";A;fw/there.bin;B\n"             // 6
                       "QX3;;fw/there.bin;B\r"           // 7
                       "QX4;A; \t ;B\n"                  // 8
                       "QX5;A;fw/missing.bin;B # note\n" // 9
                       "QX6;A;fw;B\n"                    // 10
                       "NV7;*;fw/there.bin;*00A\n"       // 11
                       "KX9;K5;fw/there.bin;K?\n"        // 12
                       "QX8;A;fw/fifo.bin;B\n"           // 13
                       "QX7#;A;fw/there.bin;B\n"         // 14
                       "PP;A1;fw/there.bin;B1\n"         // 15: A1 to B1 ...
                       "P?;B1;fw/there.bin;A1\n"         // 16: ... and back
                       "WC;W*;fw/there.bin;*\n"          // 17
                       "EM;E1;fw/empty.bin;E2\n"         // 18
                       "OD;O1;fw/odd.bin;O2";            // 19
    std::string dir = packed_dir(text);
    std::filesystem::create_directories(dir + "/images/fw");
    write_file(dir + "/images/fw/there.bin", std::string(512, 'i'));
    write_file(dir + "/images/fw/empty.bin", "");
    write_file(dir + "/images/fw/odd.bin", std::string(1000, 'i'));
    ASSERT_EQ(mkfifo((dir + "/images/fw/fifo.bin").c_str(), 0644), 0);
    RunResult r = tool({"check", "--images", "images", "map.cfs"}, dir);
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "map.cfs:2: warning: model pattern \"*\" matches every model: the image "
              "fw/there.bin is offered to every ATA drive at a matching revision\n"
              "map.cfs:2: warning: entry has no new firmware pattern: it never says a drive is "
              "up to date, so a drive it updates gets fw/there.bin again on every run\n"
              "map.cfs:3: syntax error: old firmware pattern (field 2) is not closed by ';' "
              "before the end of the line\n"
              "map.cfs:4: syntax error: old firmware pattern (field 2) is not closed by ';' "
              "before '#'\n"
              "map.cfs:6: warning: entry ignored: no model pattern\n"
              "map.cfs:7: warning: entry ignored: no old firmware pattern\n"
              "map.cfs:8: warning: entry ignored: no image path\n"
              "map.cfs:9: warning: '#' in the new firmware pattern \"B # note\" is part of the "
              "pattern, not a comment (close the field with ';' before a comment)\n"
              "map.cfs:9: warning: image file not found: fw/missing.bin\n"
              "map.cfs:10: warning: image path is not a regular file (a directory): fw\n"
              "map.cfs:11: warning: new firmware pattern \"*00A\" does not match \"000A\", which "
              "a full wildcard match accepts: dl_cor_fw does not backtrack after '*'\n"
              "map.cfs:12: warning: entry never gives an image: a drive at \"K5\" is up to date "
              "by its new firmware pattern \"K?\"\n"
              "map.cfs:13: warning: image path is not a regular file (a FIFO): fw/fifo.bin\n"
              "map.cfs:14: syntax error: model pattern (field 1) is not closed by ';' before "
              "'#'\n"
              "map.cfs:17: warning: entry never gives an image: its new firmware pattern \"*\" "
              "says every drive is up to date\n"
              "map.cfs:18: warning: image fw/empty.bin would be refused by dl_cor_fw: the image "
              "is empty\n"
              "map.cfs:19: warning: image fw/odd.bin would be refused by dl_cor_fw: image of "
              "1000 bytes is not a whole number of 512-byte blocks; nothing sent\n"
              "map.cfs:16: warning: entries on lines 15 and 16 hand a drive back and forth "
              "(\"A1\" to \"B1\" and back): a fleet flashes it again on every run\n"
              "map.cfs: note: relative image paths were looked up in images; dl_cor_fw opens "
              "them from the directory it runs in\n");
    // The lookup stops at line 2, as dl_cor_fw does.
    RunResult l = tool({"lookup", "map.cfs", "QX1", "A100"}, dir);
    EXPECT_EQ(l.status, 0);
    EXPECT_EQ(l.out, "fw/there.bin\n");
}

TEST(CfsToolCheck, WarningsAloneAreStatus9AndANulIsReported) {
    const char raw[] = "QX;A;fw/none.bin;\n\0QX;B;fw/b.bin;\n";
    std::string dir = packed_dir(std::string(raw, sizeof raw - 1));
    RunResult r = tool({"check", "map.cfs"}, dir);
    EXPECT_EQ(r.status, 9);
    EXPECT_EQ(r.err, "map.cfs:1: warning: entry has no new firmware pattern: it never says a "
                     "drive is up to date, so a drive it updates gets fw/none.bin again on every "
                     "run\n"
                     "map.cfs:1: warning: image file not found: fw/none.bin\n"
                     "map.cfs:2: warning: NUL byte: the text ends here for dl_cor_fw; the 15 "
                     "bytes after it are never read\n"
                     "map.cfs: note: relative image paths were looked up in the current "
                     "directory; dl_cor_fw opens them from the directory it runs in\n");
}

} // namespace

#endif
