// Reads the captured answers in tests/data/*.hex: a comment header ("# command: ..." with
// the CDB as its last hex words, "# status=0x02 ... sb_len_wr=18"), a "sense:" line with
// the bytes the driver wrote or "(none)", and the data-in bytes after "data:".
#pragma once

#include <cctype>
#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

struct HexFixture {
    std::string description;            // the first comment line, without "# "
    std::vector<uint8_t> cdb;           // the trailing hex words of "# command:"
    std::map<std::string, long> fields; // status, host_status, resid, sb_len_wr, ...
    std::vector<uint8_t> sense;         // empty for "(none)"
    std::vector<uint8_t> data;          // empty when the file has no data section
};

namespace hex_fixture_detail {

inline bool is_hex_byte(const std::string &word) {
    return word.size() == 2 && isxdigit(static_cast<unsigned char>(word[0])) &&
           isxdigit(static_cast<unsigned char>(word[1]));
}

inline void append_hex_words(const std::string &text, std::vector<uint8_t> *out) {
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        if (!is_hex_byte(word)) {
            throw std::runtime_error("not a hex byte: " + word);
        }
        out->push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
    }
}

// The CDB is the run of hex bytes that ends the command line (options and the node path
// come before it).
inline std::vector<uint8_t> trailing_hex_words(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    std::string word;
    while (in >> word) {
        words.push_back(word);
    }
    size_t first = words.size();
    while (first > 0 && is_hex_byte(words[first - 1])) {
        --first;
    }
    std::vector<uint8_t> out;
    for (size_t i = first; i < words.size(); ++i) {
        out.push_back(static_cast<uint8_t>(std::stoul(words[i], nullptr, 16)));
    }
    return out;
}

inline void parse_fields(const std::string &text, std::map<std::string, long> *fields) {
    std::istringstream in(text);
    std::string item;
    while (in >> item) {
        size_t eq = item.find('=');
        if (eq != std::string::npos) {
            (*fields)[item.substr(0, eq)] = std::stol(item.substr(eq + 1), nullptr, 0);
        }
    }
}

} // namespace hex_fixture_detail

// Parses a fixture from its text. Throws std::runtime_error on a malformed line.
inline HexFixture parse_hex_fixture(const std::string &text) {
    using namespace hex_fixture_detail;
    HexFixture fx;
    std::istringstream in(text);
    std::string line;
    bool in_data = false;
    while (std::getline(in, line)) {
        if (line.rfind("# command:", 0) == 0) {
            fx.cdb = trailing_hex_words(line.substr(10));
        } else if (line.rfind("# status=", 0) == 0) {
            parse_fields(line.substr(2), &fx.fields);
        } else if (line.rfind("#", 0) == 0) {
            if (fx.description.empty()) {
                fx.description = line.size() > 2 ? line.substr(2) : "";
            }
        } else if (line.rfind("sense:", 0) == 0) {
            std::string rest = line.substr(6);
            if (rest.find("(none)") == std::string::npos) {
                append_hex_words(rest, &fx.sense);
            }
        } else if (line.rfind("data:", 0) == 0) {
            in_data = true;
        } else if (in_data) {
            append_hex_words(line, &fx.data);
        } else if (line.find_first_not_of(" \t\r") != std::string::npos) {
            throw std::runtime_error("unexpected line: " + line);
        }
    }
    return fx;
}

// Loads tests/data/<name>. Throws std::runtime_error when the file cannot be read.
inline HexFixture load_hex_fixture(const std::string &name) {
    std::string path = std::string(DLCOR_TEST_DATA_DIR) + "/" + name;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot read " + path);
    }
    std::ostringstream text;
    text << file.rdbuf();
    return parse_hex_fixture(text.str());
}
