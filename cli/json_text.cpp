#include "cli/json_text.h"

#include <array>
#include <cstdio>

#include "report/utf8_text.h"

namespace {

// Code points of the CP1251 bytes 0x80 to 0xBF; 0xC0 to 0xFF are U+0410 to U+044F in order.
// 0x98 has no character and becomes the replacement character.
constexpr std::array<char16_t, 64> kCp1251Upper{
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409,
    0x2039, 0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0xFFFD, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0,
    0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB,
    0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6,
    0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
};

char32_t cp1251_code_point(unsigned char byte) {
    if (byte < 0x80) return byte;
    if (byte >= 0xC0) return char32_t{0x0410} + (byte - 0xC0u);
    return kCp1251Upper[byte - 0x80u];
}

void append_escaped_ascii(std::string& out, char c) {
    switch (c) {
        case '"':
            out += "\\\"";
            return;
        case '\\':
            out += "\\\\";
            return;
        case '\b':
            out += "\\b";
            return;
        case '\f':
            out += "\\f";
            return;
        case '\n':
            out += "\\n";
            return;
        case '\r':
            out += "\\r";
            return;
        case '\t':
            out += "\\t";
            return;
        default:
            break;
    }
    if (static_cast<unsigned char>(c) < 0x20) {
        char code[7];
        std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned>(c));
        out += code;
    } else {
        out.push_back(c);
    }
}

}  // namespace

std::string json_escaped_cp1251(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            append_escaped_ascii(out, c);
        } else {
            append_utf8(out, cp1251_code_point(byte));
        }
    }
    return out;
}

std::string json_cp1251_or_null(const std::optional<std::string>& text) {
    return text ? '"' + json_escaped_cp1251(*text) + '"' : std::string("null");
}

std::string json_ascii_or_null(const std::optional<std::string>& text) {
    if (!text) return "null";
    std::string out = "\"";
    for (const char c : *text)
        append_escaped_ascii(out, static_cast<unsigned char>(c) < 0x80 ? c : '?');
    return out + '"';
}

std::string fields_json(const ReportFields& fields, std::optional<bool> cut) {
    const std::string cut_member =
        cut ? std::string(", \"cut\": ") + (*cut ? "true" : "false") : "";
    return "{\"model\": " + json_cp1251_or_null(fields.model) +
           ", \"serial\": " + json_cp1251_or_null(fields.serial) +
           ", \"firmware\": " + json_cp1251_or_null(fields.firmware) +
           ", \"crum\": " + json_cp1251_or_null(fields.crum) + cut_member + "}";
}
