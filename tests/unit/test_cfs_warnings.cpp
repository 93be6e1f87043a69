// The warnings of cfs_tool check: each rule on its case, silence on the shipped example map,
// and every example of a pattern's blind spot proven against a full wildcard match.
#include "cfs/cfs_warnings.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// A full, backtracking wildcard match: only the judge of the examples here.
bool full_match(const char *p, const char *s) {
    if (*p == '*') {
        return full_match(p + 1, s) || (*s != '\0' && full_match(p, s + 1));
    }
    return *s == '\0' ? *p == '\0' : (*p == '?' || *p == *s) && full_match(p + 1, s + 1);
}

// The warnings about every entry line of text, as "kind/field/example" words.
std::string findings(const std::string &text) {
    std::string out;
    CfsScan scan = cfs_scan_start(text.c_str());
    for (CfsEntry e; cfs_scan_next(&scan, &e) == CFS_SCAN_ENTRY; cfs_free_entry(&e)) {
        for (const CfsWarning &w : cfs_entry_warnings(e)) {
            out += std::to_string(w.kind) + "/" + std::to_string(w.field) + "/" + w.example + " ";
        }
    }
    return out;
}

TEST(CfsEntryWarnings, EachRuleFiresOnItsCaseAndNowhereElse) {
    const std::pair<const char *, const char *> cases[] = {
        {"ZX1000;*;fw/zx.img;ZX10.002 # new release", "1/4/ "},
        {"ZX1000;*;fw/zx.img;ZX10.002; # new release", ""},
        {"NV7;*;fw/nv.img;*00A", "2/4/000A "},
        {"*?;*001;fw/a.img;B", "2/1/00 2/2/0001 "},
        {"QX;A*BC*;fw/a.img;*.B09", ""},
        {"KX9;KX9.K5;fw/kx.img;KX9.*", "3/2/ "},
        {"KX9;KX9.K?;fw/kx.img;KX9.*", ""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(findings(c.first), c.second) << c.first;
    }
    std::ifstream example(std::string(DLCOR_TEST_DATA_DIR) + "/../../examples/firmware-map.txt");
    std::string map{std::istreambuf_iterator<char>(example), {}};
    ASSERT_NE(map.find(";fw/"), std::string::npos);
    EXPECT_EQ(findings(map), "");
}

// Every text of up to max_len characters from alphabet.
std::vector<std::string> all_texts(const std::string &alphabet, size_t max_len) {
    std::vector<std::string> out = {""};
    for (size_t i = 0; out[i].size() < max_len; ++i) {
        for (char c : alphabet) {
            out.push_back(out[i] + c);
        }
    }
    return out;
}

// Every pattern of up to four characters from "0A?*": an example is refused by the run's
// match and taken by a full one, and without one the two agree on every text of up to six
// characters from "0A1".
TEST(CfsTextMissedByMatch, ExamplesAreRealAndSilenceMeansTheReadingsAgree) {
    // Patterns longer than k_cfs_warn_max_pattern are not searched.
    std::string example;
    EXPECT_TRUE(cfs_text_missed_by_match(("*" + std::string(1023, '?')).c_str(), &example));
    EXPECT_FALSE(cfs_text_missed_by_match(("*" + std::string(1024, '?')).c_str(), &example));
    const std::vector<std::string> texts = all_texts("0A1", 6);
    for (const std::string &p : all_texts("0A?*", 4)) {
        std::string example;
        if (cfs_text_missed_by_match(p.c_str(), &example)) {
            EXPECT_FALSE(wildcard_match(p.c_str(), example.c_str())) << p << " " << example;
            EXPECT_TRUE(full_match(p.c_str(), example.c_str())) << p << " " << example;
            continue;
        }
        for (const std::string &t : texts) {
            EXPECT_EQ(wildcard_match(p.c_str(), t.c_str()), full_match(p.c_str(), t.c_str()))
                << p << " " << t;
        }
    }
}

} // namespace
