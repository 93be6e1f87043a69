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

// s with every byte for which shown_as_question_mark is true shown as '?'.
inline std::string with_bytes_shown(std::string_view s,
                                    bool (*shown_as_question_mark)(unsigned char)) {
    std::string out(s);
    for (char &c : out) {
        if (shown_as_question_mark(static_cast<unsigned char>(c))) {
            c = '?';
        }
    }
    return out;
}

// s with every control byte shown as '?'.
inline std::string with_controls_shown(std::string_view s) {
    return with_bytes_shown(s, is_control_byte);
}

// True for the bytes a drive's string may not send to a terminal as they are: the control
// bytes but tab, vertical tab, form feed and carriage return (which the listing's readers
// read an incomplete identity from), that is ESC, line feed and the rest, and 7Fh.
inline bool is_terminal_unsafe(unsigned char c) {
    return is_control_byte(c) && c != '\t' && c != '\v' && c != '\f' && c != '\r';
}

// s with every terminal-unsafe byte shown as '?': a drive's string as a line of output shows
// it, so that a drive cannot send escape sequences to the terminal or break a line.
inline std::string terminal_safe(std::string_view s) {
    return with_bytes_shown(s, is_terminal_unsafe);
}
