#include "record/json_writer.h"

#include "base/printable.h"

#include <cinttypes>
#include <cstdio>

namespace {

void append_name(std::string *out, const char *name) {
    if (!out->empty() && out->back() != '{') {
        out->push_back(',');
    }
    out->push_back('"');
    out->append(name);
    out->append("\":");
}

} // namespace

void append_json_string(std::string *out, std::string_view s) {
    out->push_back('"');
    for (char ch : s) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out->push_back('\\');
            out->push_back(ch);
        } else if (!is_printable_ascii(c)) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out->append(esc);
        } else {
            out->push_back(ch);
        }
    }
    out->push_back('"');
}

void append_json_text(std::string *out, const char *name, std::string_view value) {
    append_name(out, name);
    append_json_string(out, value);
}

void append_json_null(std::string *out, const char *name) {
    append_name(out, name);
    out->append("null");
}

void append_json_bool(std::string *out, const char *name, bool value) {
    append_name(out, name);
    out->append(value ? "true" : "false");
}

void append_json_integer(std::string *out, const char *name, int64_t value) {
    append_name(out, name);
    char digits[24];
    snprintf(digits, sizeof digits, "%" PRId64, value);
    out->append(digits);
}

void append_json_fixed(std::string *out, const char *name, double value, int decimals) {
    append_name(out, name);
    char digits[64];
    snprintf(digits, sizeof digits, "%.*f", decimals, value);
    out->append(digits);
}
