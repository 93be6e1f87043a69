// The configuration text: the lookup's answers and codes, the entry scan, the matcher.
#include "cfs/cfs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

struct lookup_result {
    std::string path; // empty when nothing was returned
    int code;
};

lookup_result lookup(const std::string &text, const char *model, const char *fw) {
    char *p = cfs_lookup(text.c_str(), model, fw);
    // The whole entry is handed over exactly when its path is.
    CfsEntry e;
    EXPECT_EQ(cfs_lookup_entry(text.c_str(), model, fw, &e), p != nullptr ? 0 : -1) << text;
    cfs_free_entry(&e);
    lookup_result r{p != nullptr ? p : "", cfs_last_error()};
    free(p);
    return r;
}

struct match_case {
    const char *pattern;
    const char *subject;
    bool match;
};

TEST(WildcardMatch, ReadsTheSubjectOnceLeftToRight) {
    const match_case cases[] = {
        {"QX2000*", "QX2000A", true},
        {"QX2000?", "QX2000A", true},
        {"QX*A", "QX2000A", true},
        {"*000A", "QX2000A", true},
        {"A1??", "A104", true},
        {"B2*", "B2", true},
        {"*", "", true},
        {"qx2000*", "QX2000A", false},
        {"QX2000", "QX2000A", false},
        {"A1??", "A1", false},
        {"A*B", "A", false},
        // A backtracking glob would match these three; stored files rely on the refusal.
        {"*00A", "QX2000A", false},
        {"*001", "0001", false},
        {"*?0A", "QX2000A", false},
        {"", "", true},
        {"", "A", false},
        {"**", "", true},
        {"A**", "ABC", true},
        {"?", "", false},
        {"A?C", "ABC", true},
        {"A?C", "A?C", true},
        {"*B", "AAB", true},
        // After a mismatch the failed character is tried against the restart point.
        {"*AB", "AAB", true},
        {"*A1??", "AA104", true},
        {"X*AB", "XAAAB", true},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(wildcard_match(c.pattern, c.subject), c.match)
            << "'" << c.pattern << "' against '" << c.subject << "'";
    }
    EXPECT_FALSE(wildcard_match(nullptr, "A"));
    EXPECT_FALSE(wildcard_match("*", nullptr));
}

const char *const k_worked_lines[] = {
    "# firmware map",
    "QX2000A;A1??;fw/qx2000a_b205.bin;B205",
    "QX2000A;B205;fw/qx2000a_b207.bin;B207",
    "QX4*;*;fw/qx4000_c300.bin;C300",
};

std::string join(const char *const *lines, size_t n, const char *brk) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += lines[i];
        s += brk;
    }
    return s;
}

struct device_case {
    const char *model;
    const char *fw;
    const char *path; // "" for none
    int code;
    int code_with_fifth_line;
};

const device_case k_worked[] = {
    {"QX2000A", "A104", "fw/qx2000a_b205.bin", CFS_OK, CFS_OK},
    {"QX2000A", "B205", "fw/qx2000a_b207.bin", CFS_OK, CFS_OK},
    {"QX2000A", "B207", "", CFS_UP_TO_DATE, CFS_ERR_SYNTAX},
    {"QX2000A", "A1", "", CFS_NO_MATCH, CFS_ERR_SYNTAX},
    {"qx2000a", "A104", "", CFS_NO_MATCH, CFS_ERR_SYNTAX},
    {"QX4100", "C100", "fw/qx4000_c300.bin", CFS_OK, CFS_OK},
    {"QX4100", "C300", "", CFS_UP_TO_DATE, CFS_ERR_SYNTAX},
    {"QX5000", "A100", "", CFS_NO_MATCH, CFS_ERR_SYNTAX},
};

TEST(CfsLookup, WorkedExampleWithEveryLineBreak) {
    for (const char *brk : {"\n", "\r\n", "\r"}) {
        std::string text = join(k_worked_lines, 4, brk);
        for (const auto &d : k_worked) {
            SCOPED_TRACE(std::string(d.model) + " at " + d.fw);
            lookup_result r = lookup(text, d.model, d.fw);
            EXPECT_EQ(r.path, d.path);
            EXPECT_EQ(r.code, d.code);
        }
    }
}

TEST(CfsLookup, WorkedExampleWithABrokenFifthLine) {
    for (const char *brk : {"\n", "\r\n"}) {
        std::string text = join(k_worked_lines, 4, brk) + "QX9000;A100;fw/qx9000.bin" + brk;
        for (const auto &d : k_worked) {
            SCOPED_TRACE(std::string(d.model) + " at " + d.fw);
            lookup_result r = lookup(text, d.model, d.fw);
            EXPECT_EQ(r.path, d.path);
            EXPECT_EQ(r.code, d.code_with_fifth_line);
        }
    }
}

struct text_case {
    const char *name;
    std::string text;
    const char *model;
    const char *fw;
    const char *path;
    int code;
};

TEST(CfsLookup, EdgesOfLinesAndFields) {
    const text_case cases[] = {
        {"empty text", "", "QX2000A", "A104", "", CFS_NO_MATCH},
        {"comments only", "# a\n# b\n", "QX2000A", "A104", "", CFS_NO_MATCH},
        {"comments only, no final break", "# a\r\n# b", "QX2000A", "A104", "", CFS_NO_MATCH},
        {"leading blank lines", "\n\n \t\v\n\r\n\v\vQX2000A;A1??;fw/a.bin;B205\n", "QX2000A",
         "A104", "fw/a.bin", CFS_OK},
        {"lone CR line breaks", "# map\rQX1;A;fw/1.bin;B\rQX2000A;A1??;fw/a.bin;B205\r", "QX2000A",
         "A104", "fw/a.bin", CFS_OK},
        {"blanks around every field", "QX2000A ;  A1??  ;  fw/my file.bin ; B205 \n", "QX2000A",
         "A104", "fw/my file.bin", CFS_OK},
        {"tabs around every field", "\tQX2000A\t;\t\tA1??\t;\tfw/my file.bin\t;\tB205\t\n",
         "QX2000A", "A104", "fw/my file.bin", CFS_OK},
        {"blanks around the up-to-date field", "QX2000A ; A1?? ; fw/a.bin ; B205 \n", "QX2000A",
         "B205", "", CFS_UP_TO_DATE},
        {"'#' in field 4 belongs to it: not up to date",
         "QX2000A;A1??;fw/a.bin;B205 # current release\n", "QX2000A", "B205", "", CFS_NO_MATCH},
        {"'#' in field 4 belongs to it: image found",
         "QX2000A;A1??;fw/a.bin;B205 # current release\n", "QX2000A", "A104", "fw/a.bin", CFS_OK},
        {"'#' and ';' in field 4", "QX2000A;A1??;fw/a.bin;B# x;y\n", "QX2000A", "B# x;y", "",
         CFS_UP_TO_DATE},
        {"what follows the fourth ';' is ignored", "QX2000A;A1??;fw/a.bin;B205;anything\n",
         "QX2000A", "B205", "", CFS_UP_TO_DATE},
        {"absent field 4 never reports up to date", "QX2000A;*;fw/a.bin;\n", "QX2000A", "B205",
         "fw/a.bin", CFS_OK},
        {"field 4 missing entirely", "QX2000A;*;fw/a.bin;", "QX2000A", "", "fw/a.bin", CFS_OK},
        {"absent model pattern", ";A1??;fw/a.bin;B205\n", "QX2000A", "A104", "", CFS_NO_MATCH},
        {"absent image path: not even up to date", "QX*;A1??;;B205\n", "QX2000A", "B205", "",
         CFS_NO_MATCH},
        {"blank image path", "QX*;A1??; \t ;B205\n", "QX2000A", "A104", "", CFS_NO_MATCH},
        {"absent old revision: not even up to date", "QX*;;fw/a.bin;B205\n", "QX2000A", "B205", "",
         CFS_NO_MATCH},
        {"'*' matches every model and revision", "*;*;fw/any.bin;\n", "ANY MODEL", "X",
         "fw/any.bin", CFS_OK},
        {"last line without a final break", "QX1;A;fw/1.bin;B\nQX2000A;A1??;fw/a.bin;B205",
         "QX2000A", "A104", "fw/a.bin", CFS_OK},
        {"later entry still gives an image after up to date",
         "QX*;*;fw/x.bin;B205\nQX2000A;B205;fw/b.bin;B207\n", "QX2000A", "B205", "fw/b.bin",
         CFS_OK},
        {"first matching entry wins", "QX*;A*;fw/first.bin;\nQX2000A;A1??;fw/second.bin;\n",
         "QX2000A", "A104", "fw/first.bin", CFS_OK},
        {"model and revision are not trimmed", "QX2000A;A1??;fw/a.bin;\n", "QX2000A ", "A104", "",
         CFS_NO_MATCH},
        {"vertical tab inside a field is kept", "QX\v1;A;fw/a.bin\v;\n", "QX\v1", "A", "fw/a.bin\v",
         CFS_OK},
        {"the text ends at its first NUL", std::string("# x\n") + '\0' + "QX2000A;A1??;fw/a.bin;\n",
         "QX2000A", "A104", "", CFS_NO_MATCH},
        {"lines after the answer are not read", "QX2000A;A1??;fw/a.bin;\nbroken line\n", "QX2000A",
         "A104", "fw/a.bin", CFS_OK},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        lookup_result r = lookup(c.text, c.model, c.fw);
        EXPECT_EQ(r.path, c.path);
        EXPECT_EQ(r.code, c.code);
    }
}

TEST(CfsLookup, SyntaxErrorsEndTheLookup) {
    const char *const texts[] = {
        "QX2000A;A1??;fw/a.bin\n",
        "QX2000A;A1#;fw/a.bin;B205\n",
        "QX2000A#;A1??;fw/a.bin;B205\n",
        "QX2000A;A1??;fw/a#.bin;B205\n",
        "QX2000A\n",
        "QX2000A;A1??\n;fw/a.bin;B205\n",
        "QX2000A;A1??\r;fw/a.bin;B205\n",
        // An up-to-date answer of an earlier line does not survive a later syntax error.
        "QX2000A;*;fw/a.bin;A104\nQX2000A;A1??\n",
        // Nor does a line for another model protect the scan.
        "QX9;A;fw/9.bin;\nQX9 no separators\nQX2000A;A1??;fw/a.bin;\n",
    };
    for (const char *t : texts) {
        SCOPED_TRACE(t);
        lookup_result r = lookup(t, "QX2000A", "A104");
        EXPECT_EQ(r.path, "");
        EXPECT_EQ(r.code, CFS_ERR_SYNTAX);
    }
}

TEST(CfsLookup, NoTextReturnsNothingAndKeepsTheCode) {
    EXPECT_EQ(cfs_lookup("", "QX", "A"), nullptr); // sets 6
    EXPECT_EQ(cfs_lookup(nullptr, "QX", "A"), nullptr);
    CfsEntry e;
    EXPECT_EQ(cfs_lookup_entry(nullptr, "QX", "A", &e), -1);
    EXPECT_EQ(cfs_last_error(), CFS_NO_MATCH);
    EXPECT_EQ(cfs_last_error(), CFS_OK);
}

TEST(CfsLookup, FoundPathClearsAnEarlierCode) {
    EXPECT_EQ(cfs_lookup("", "QX", "A"), nullptr);
    char *p = cfs_lookup("QX;A;fw/a.bin;\n", "QX", "A");
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "fw/a.bin");
    free(p);
    EXPECT_EQ(cfs_last_error(), CFS_OK);
}

struct scan_step {
    int result;
    unsigned long line;
    const char *model; // nullptr: absent
    const char *image;
    int bad_field;
    bool bad_hash;
};

TEST(CfsScan, VisitsEveryLineWithItsNumber) {
    const char *text = "# head\n"             // 1
                       "QX1;A;fw/1.bin;B\r\n" // 2
                       "\r\n"                 // 3
                       "QX2;A\n"              // 4: field 2 open at the end of line
                       "QX3;A#;x;y\r"         // 5: '#' before field 2's ';'
                       ";A;fw/4.bin;B\n"      // 6: absent model
                       "  \v\n"               // 7
                       "QX5;A;;B # note";     // 8: absent image
    const scan_step steps[] = {
        {CFS_SCAN_ENTRY, 2, "QX1", "fw/1.bin", 0, false},
        {CFS_SCAN_SYNTAX, 4, nullptr, nullptr, 2, false},
        {CFS_SCAN_SYNTAX, 5, nullptr, nullptr, 2, true},
        {CFS_SCAN_ENTRY, 6, nullptr, "fw/4.bin", 0, false},
        {CFS_SCAN_ENTRY, 8, "QX5", nullptr, 0, false},
        {CFS_SCAN_END, 0, nullptr, nullptr, 0, false},
    };
    CfsScan scan = cfs_scan_start(text);
    for (const auto &s : steps) {
        CfsEntry e;
        int r = cfs_scan_next(&scan, &e);
        ASSERT_EQ(r, s.result) << "at line " << s.line;
        if (r == CFS_SCAN_END) {
            break;
        }
        EXPECT_EQ(scan.entry_line, s.line);
        if (r == CFS_SCAN_SYNTAX) {
            EXPECT_EQ(scan.bad_field, s.bad_field) << "at line " << s.line;
            EXPECT_EQ(scan.bad_field_hash, s.bad_hash) << "at line " << s.line;
            continue;
        }
        EXPECT_STREQ(e.model_pattern != nullptr ? e.model_pattern : "(absent)",
                     s.model != nullptr ? s.model : "(absent)");
        EXPECT_STREQ(e.image_path != nullptr ? e.image_path : "(absent)",
                     s.image != nullptr ? s.image : "(absent)");
        cfs_free_entry(&e);
        EXPECT_EQ(e.model_pattern, nullptr);
    }
}

} // namespace
