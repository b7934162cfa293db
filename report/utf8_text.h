#pragma once
// UTF-8 for the texts the companion prints: CP1251 report texts and the UTF-16 strings USB
// devices give (surrogate pairs taken together: code points up to U+10FFFF, of one to four
// bytes).

#include <string>

// C0, DEL and C1: what a terminal acts on instead of showing.
inline bool is_terminal_control(char32_t code_point) {
    return code_point < 0x20 || (code_point >= 0x7F && code_point <= 0x9F);
}

// The invisible marks, embeddings, overrides and isolates of bidirectional text (U+061C, U+200E,
// U+200F, U+202A to U+202E, U+2066 to U+2069): shown, they reorder the text around them.
inline bool is_bidirectional_control(char32_t code_point) {
    return code_point == 0x061C || code_point == 0x200E || code_point == 0x200F ||
           (code_point >= 0x202A && code_point <= 0x202E) ||
           (code_point >= 0x2066 && code_point <= 0x2069);
}

// What a terminal must not be sent of a device's text: what it acts on, and what reorders it.
inline bool is_unfit_for_terminal(char32_t code_point) {
    return is_terminal_control(code_point) || is_bidirectional_control(code_point);
}

inline void append_utf8(std::string& out, char32_t code_point) {
    if (code_point < 0x80) {
        out.push_back(static_cast<char>(code_point));
    } else if (code_point < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else if (code_point < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    }
}
