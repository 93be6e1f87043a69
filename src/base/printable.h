// Which bytes of a drive's strings may reach a terminal or a log line as they are.
#pragma once

#include <string>
#include <string_view>

// The control bytes of the C locale: 01h to 1Fh and 7Fh (NUL is not among them).
inline bool is_control_byte(unsigned char c) {
    return (c >= 0x01 && c <= 0x1F) || c == 0x7F;
}

// Printable ASCII, blank included: 20h to 7Eh.
inline bool is_printable_ascii(unsigned char c) {
    return c >= 0x20 && c < 0x7F;
}

// s with every control byte shown as '?'.
inline std::string with_controls_shown(std::string_view s) {
    std::string out(s);
    for (char &c : out) {
        if (is_control_byte(static_cast<unsigned char>(c))) {
            c = '?';
        }
    }
    return out;
}
