#include "cli/json_text.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "cli/listing_lines.h"
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

constexpr std::string_view kHexDigits = "0123456789abcdef";

// The length of the valid UTF-8 sequence that `text` starts with, and its code point; 0 when it
// starts with none (a stray or cut sequence, an overlong form, a surrogate, beyond U+10FFFF).
std::size_t utf8_sequence(std::string_view text, char32_t& code_point) {
    constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};  // by length: no overlong form
    const auto lead = static_cast<unsigned char>(text[0]);
    code_point = lead;
    if (lead < 0x80) return 1;
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if (lead < 0xC2 || lead > 0xF4 || text.size() < length) return 0;
    code_point = lead & (0x7Fu >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0) != 0x80) return 0;
        code_point = (code_point << 6) | (next & 0x3Fu);
    }
    const bool surrogate = code_point >= 0xD800 && code_point <= 0xDFFF;
    return code_point < kLeast[length] || code_point > 0x10FFFF || surrogate ? 0 : length;
}

}  // namespace

std::string utf8_from_cp1251(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) append_utf8(out, cp1251_code_point(static_cast<unsigned char>(c)));
    return out;
}

Json cp1251_or_null(const std::optional<std::string>& text) {
    return text ? Json(utf8_from_cp1251(*text)) : Json(nullptr);
}

Json text_or_null(const std::optional<std::string>& text) {
    return text ? Json(*text) : Json(nullptr);
}

Json fields_json(const ReportFields& fields) {
    return {{"model", cp1251_or_null(fields.model)},
            {"serial", cp1251_or_null(fields.serial)},
            {"firmware", cp1251_or_null(fields.firmware)},
            {"crum", cp1251_or_null(fields.crum)}};
}

Json entries_json(std::string_view listing) {
    Json entries = Json::array();
    for (const ListingLine& line : listing_lines(listing)) {
        if (line.is_entry()) {
            entries.push_back(
                {{"key", utf8_from_cp1251(line.key())}, {"value", utf8_from_cp1251(line.text())}});
        } else {
            entries.push_back({{"text", utf8_from_cp1251(line.text())}});
        }
    }
    return entries;
}

Json report_json(const FormattedReport& report) {
    return {{"fields", fields_json(report.fields)},
            {"cut", report.cut},
            {"entries", entries_json(report.text)},
            {"listing", utf8_from_cp1251(report.text)}};
}

// The library escapes C0 but writes DEL, C1 and the bidirectional controls as they are; in its
// output (valid UTF-8) they can stand only inside strings, where \uXXXX says the same.
std::string json_line(const Json& value) {
    const std::string text = value.dump(-1, ' ', false, Json::error_handler_t::replace);
    std::string line;
    line.reserve(text.size() + 1);
    for (std::string_view rest = text; !rest.empty();) {
        const std::size_t plain = printable_ascii_prefix(rest);
        line.append(rest.data(), plain);
        rest.remove_prefix(plain);
        if (rest.empty()) break;
        char32_t code_point = 0;
        const std::size_t decoded = utf8_sequence(rest, code_point);
        const std::size_t length = std::max<std::size_t>(decoded, 1);
        if (decoded != 0 && is_unfit_for_terminal(code_point)) {
            line += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4)
                line += kHexDigits[(code_point >> shift) & 0x0Fu];
        } else {
            line += rest.substr(0, length);
        }
        rest.remove_prefix(length);
    }
    return line + '\n';
}

std::size_t printable_ascii_prefix(std::string_view text) {
    constexpr std::uint64_t kOnes = 0x0101010101010101;
    constexpr std::uint64_t kHighBits = 0x8080808080808080;
    std::size_t at = 0;
    for (; text.size() - at >= sizeof(std::uint64_t); at += sizeof(std::uint64_t)) {
        std::uint64_t bytes = 0;
        std::memcpy(&bytes, text.data() + at, sizeof bytes);
        // The high bit of a byte below 0x20 after taking 0x20, or of one at 0x7F or above after
        // adding 1 (or already): any byte flagged stops the run here.
        const std::uint64_t below = (bytes - kOnes * 0x20) & ~bytes;
        const std::uint64_t above = (bytes + kOnes) | bytes;
        if (((below | above) & kHighBits) != 0) break;
    }
    while (at < text.size() && text[at] >= 0x20 && text[at] < 0x7F) ++at;
    return at;
}

// Runs of printable ASCII are copied at once; what lies between them is decoded.
void append_terminal_text(std::string& out, std::string_view text) {
    while (!text.empty()) {
        const std::size_t plain = printable_ascii_prefix(text);
        out.append(text.data(), plain);
        text.remove_prefix(plain);
        if (text.empty()) break;
        char32_t code_point = 0;
        const std::size_t length = utf8_sequence(text, code_point);
        if (length == 0 || is_unfit_for_terminal(code_point)) {
            out.push_back('?');
        } else {
            out.append(text.data(), length);
        }
        text.remove_prefix(std::max<std::size_t>(length, 1));
    }
}

std::string terminal_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    append_terminal_text(out, text);
    return out;
}
