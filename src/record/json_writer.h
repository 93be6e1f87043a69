// JSON objects on one line each (JSON Lines), written member by member: the one writer of
// cfs_tool plan --json and of the run record.
//
//     std::string out = "{";
//     append_json_text(&out, "device", "/dev/sg0");
//     append_json_null(&out, "image");
//     out += "}\n";                       // {"device":"/dev/sg0","image":null}
//
// Member names are the caller's literal identifiers and are written as they are; every value
// text goes through append_json_string.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Appends s as a JSON string. Control bytes and the bytes 80h to FFh are written as \u00XX
// (each byte as the code point of its own value), so that the output is ASCII whatever a
// drive put in its strings and every byte can be recovered.
void append_json_string(std::string *out, std::string_view s);

// Each appends one member to the object that out is writing: a comma unless the member is
// the object's first (out ends with '{'), the quoted name, a colon and the value.
void append_json_text(std::string *out, const char *name, std::string_view value);
void append_json_null(std::string *out, const char *name);
void append_json_bool(std::string *out, const char *name, bool value);
void append_json_integer(std::string *out, const char *name, int64_t value);
// value with exactly decimals digits after the point (0 to 9), e.g. seconds as 1.250.
void append_json_fixed(std::string *out, const char *name, double value, int decimals);
