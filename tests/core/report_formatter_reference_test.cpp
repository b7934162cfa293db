// The formatter against a plain, slow reading of the two passes on generated reports: the
// reference writes the normalised text out and formats it through the printf line format. The
// companion's reading of a listing back into entries must give the reference's normalised lines.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "cli/listing_lines.h"
#include "report/report_formatter.h"
#include "sim/field_text_shapes.h"

namespace {

constexpr auto npos = std::string::npos;

std::vector<std::string> split_at_cr(const std::string& text) {
    std::vector<std::string> lines;
    std::string piece;
    for (const char c : text + '\r') {
        if (c != '\r') {
            piece += c;
        } else if (!piece.empty()) {
            lines.push_back(piece);
            piece.clear();
        }
    }
    return lines;
}

std::string trim_spaces(const std::string& s) {
    const std::size_t begin = s.find_first_not_of(' ');
    return begin == npos ? "" : s.substr(begin, s.find_last_not_of(' ') - begin + 1);
}

void append_entry(const std::string& piece, std::string& out, std::size_t& width) {
    const std::size_t colon = piece.find(':');
    const std::string key = trim_spaces(piece.substr(0, colon));
    out += key + ":" + trim_spaces(piece.substr(colon + 1)) + "\r";
    width = std::max(width, key.size());
}

void split_entries(const std::string& line, std::string& out, std::size_t& width) {
    std::size_t current = 0;
    while (line.find(':', current) != npos) {
        std::size_t next = line.find(':', current) + 1;
        while (next < line.size() && line[next] == ' ') ++next;
        std::size_t end = line.size();
        const std::size_t gap = line.find("  ", next);
        if (gap != npos) {
            end = gap;
            next = gap + 1;
        }
        append_entry(line.substr(current, end - current), out, width);
        current = next;
    }
}

std::string normalise(const std::string& raw, std::size_t& width) {
    std::string out;
    width = 0;
    for (const std::string& line : split_at_cr(raw)) {
        const auto colons = std::count(line.begin(), line.end(), ':');
        if (colons == 0) out += trim_spaces(line) + "\r";
        else if (colons == 1) append_entry(line, out, width);
        else split_entries(line, out, width);
    }
    return out;
}

bool has(const std::string& line, const char* text) { return line.find(text) != npos; }

void take_fields(const std::string& line, ReportFields& fields, bool& crum_open) {
    const std::string value = has(line, ":") ? line.substr(line.find(':') + 1) : "";
    if (!fields.model && has(line, "Model Name:")) fields.model = value;
    if (!fields.serial && (has(line, "Machine Serial Number:") || has(line, "USB Serial:"))) {
        fields.serial = value;
    }
    if (!fields.firmware && (has(line, "Firmware Version:") ||
                             has(line, "Firmware/Engine Version:") || has(line, "OS Verison:"))) {
        fields.firmware = value;
    }
    if (crum_open && (has(line, "Imaging") || has(line, "Drum"))) {
        crum_open = false;
    } else if (crum_open && has(line, "CRUM-")) {
        fields.crum = line.substr(line.find("CRUM-") + 5, 11);
        crum_open = false;
    }
}

std::string print_line(const std::string& format, const std::string& line) {
    const std::size_t colon = line.find(':');
    if (colon == npos) return line + "\r\n";
    const std::string key = line.substr(0, colon);
    const std::string value = line.substr(colon + 1);
    const int size = std::snprintf(nullptr, 0, format.c_str(), key.c_str(), value.c_str());
    std::string printed(static_cast<std::size_t>(size) + 1, '\0');
    std::snprintf(printed.data(), printed.size(), format.c_str(), key.c_str(), value.c_str());
    printed.pop_back();
    return printed;
}

FormattedReport reference_format(const char* raw) {
    std::size_t width = 0;
    const std::string normal = normalise(raw, width);
    const std::string format = "%-" + std::to_string(width) + "s : %s\r\n";
    FormattedReport out;
    bool crum_open = true;
    for (const std::string& line : split_at_cr(normal)) {
        take_fields(line, out.fields, crum_open);
        out.text += print_line(format, line);
        ++out.full_lines;
    }
    out.lines = out.full_lines;
    return out;
}

// A normalised line: whether it is an entry, its key, and its value or text.
using Line = std::tuple<bool, std::string, std::string>;

// The reference's normalised lines: "key:value" for an entry (keys hold no colon), else text.
std::vector<Line> reference_lines(const char* raw) {
    std::size_t width = 0;
    std::vector<Line> lines;
    for (const std::string& line : split_at_cr(normalise(raw, width))) {
        const std::size_t colon = line.find(':');
        if (colon == npos) {
            lines.emplace_back(false, "", line);
        } else {
            lines.emplace_back(true, line.substr(0, colon), line.substr(colon + 1));
        }
    }
    return lines;
}

// The listing read back into entries and texts, as the companion's JSON gives them.
std::vector<Line> read_back(const std::string& listing) {
    std::vector<Line> lines;
    for (const ListingLine& line : listing_lines(listing)) {
        lines.emplace_back(line.is_entry, std::string(line.key), std::string(line.text));
    }
    return lines;
}

// Values hold no CR: every line, and nothing else, ends in CR LF.
std::size_t lines_in(const std::string& listing) {
    std::size_t lines = 0;
    for (std::size_t at = listing.find("\r\n"); at != npos; at = listing.find("\r\n", at + 2)) ++lines;
    return lines;
}

// Pieces that make the formatter's decisions: spaces, colons, CRs, and the field texts.
constexpr std::array<std::string_view, 30> kPieces = {
    " ", " ", " ", " ", "  ", "  ", ":", ":", ":", ": ", " : ", "\r", "\r", "\r\r", "a", "b",
    "Key", "10", "\n", "\t", "CRUM-", "Drum", "Imaging", "Model Name:", "Machine Serial Number:",
    "USB Serial:", "Firmware Version:", "Firmware/Engine Version:", "OS Verison:", "OS Version:"};

std::string random_report(std::mt19937& rng, std::size_t max_pieces) {
    std::uniform_int_distribution<std::size_t> count(0, max_pieces);
    std::uniform_int_distribution<std::size_t> pick(0, kPieces.size() - 1);
    std::string raw;
    for (std::size_t n = count(rng); n > 0; --n) raw += kPieces[pick(rng)];
    if (!raw.empty() && rng() % 10 == 0) raw.insert(rng() % raw.size(), 1, '\0');
    return raw;
}

void expect_same_as_reference(const std::string& raw) {
    FormattedReport fast;
    ASSERT_TRUE(ReportFormatter::format(raw.c_str(), fast));
    const FormattedReport slow = reference_format(raw.c_str());
    ASSERT_LE(slow.text.size(), ReportFormatter::kMaxListingSize);
    EXPECT_EQ(fast.text, slow.text) << "report: " << ::testing::PrintToString(raw);
    EXPECT_EQ(fast.fields, slow.fields) << "report: " << ::testing::PrintToString(raw);
    EXPECT_FALSE(fast.cut);
    EXPECT_EQ(fast.lines, slow.lines);
    EXPECT_EQ(fast.full_lines, slow.full_lines);
    EXPECT_EQ(read_back(fast.text), reference_lines(raw.c_str()))
        << "report: " << ::testing::PrintToString(raw);
}

TEST(ReportFormatterReference, GeneratedReports_FormatLikeTheReference) {
    std::mt19937 rng(20240611);
    for (int i = 0; i < 3000 && !HasFailure(); ++i) {
        expect_same_as_reference(random_report(rng, 60));
    }
    for (int i = 0; i < 100 && !HasFailure(); ++i) {
        expect_same_as_reference(random_report(rng, 2000));
    }
}

std::string repeated(const std::string& unit, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += unit;
    return text;
}

TEST(ReportFormatterReference, SampleAndHostileShapes_FormatLikeTheReference) {
    // Every entry of the line is read again up to the end, where the field texts wait.
    expect_same_as_reference(repeated("k:", 600) + " Model Name: USB Serial OS Verison x: Drum");
    expect_same_as_reference(repeated("k:", 600) + " USB Serial:1 CRUM-12345678901234");
    expect_same_as_reference(repeated("Model Name ", 100) + ": M\r" + repeated(" :", 400));
    expect_same_as_reference(repeated("a: b  ", 500) + "\r" + repeated("\r :\r", 500));
    expect_same_as_reference(
        "Model Name: M100 \rMachine Serial Number : ZX81  USB Serial: U-7\r"
        "Pages: 120  Jams: 3  Time: 10:15:30\r  Imaging Unit  \r Toner: CRUM-0123456789ABCDEF\r"
        "Firmware/Engine Version: V1.2:3  OS Verison: 4\r\r\n\tTabs: in\tvalues  \r");
    // The shapes the benchmark times, smaller: the field texts packed (near misses, fields
    // settled one after another with texts of the others ahead), and apart by runs without
    // their first letters as long as the formatter looks itself (64 bytes) before it jumps to
    // the next of each letter, and one byte shorter and longer.
    using field_text_shapes::text_shape;
    for (const auto& set : field_text_shapes::text_sets()) {
        for (const auto& separator : field_text_shapes::kSeparators) {
            for (const bool one_line : {true, false}) {
                expect_same_as_reference(text_shape(set, separator.text, one_line, 1500));
                for (const std::size_t gap : {63, 64, 65}) {
                    expect_same_as_reference(text_shape(set, separator.text, one_line, 2000, gap));
                }
            }
        }
    }
}

// With one wide key the uncut listing passes the cap; what is shown is its head in whole lines.
TEST(ReportFormatterReference, GeneratedReportsOverTheCap_ShowAWholeLinePrefix) {
    std::mt19937 rng(7);
    int cut_reports = 0;
    for (int i = 0; i < 40 && !HasFailure(); ++i) {
        std::string raw = random_report(rng, 600);
        raw.erase(std::find(raw.begin(), raw.end(), '\0'), raw.end());
        const std::string wide_key(20000 + rng() % 40000, 'k');
        raw.insert(rng() % (raw.size() + 1), "\r" + wide_key + ":v\r");
        FormattedReport fast;
        ASSERT_TRUE(ReportFormatter::format(raw.c_str(), fast));
        const FormattedReport slow = reference_format(raw.c_str());
        EXPECT_EQ(fast.fields, slow.fields);
        EXPECT_EQ(fast.cut, slow.text.size() > ReportFormatter::kMaxListingSize);
        EXPECT_EQ(fast.full_lines, slow.full_lines);
        EXPECT_EQ(fast.lines, lines_in(fast.text));
        EXPECT_EQ(fast.cut, fast.lines < fast.full_lines);
        ASSERT_LE(fast.text.size(), ReportFormatter::kMaxListingSize);
        ASSERT_EQ(slow.text.compare(0, fast.text.size(), fast.text), 0);
        std::vector<Line> held = reference_lines(raw.c_str());
        held.resize(fast.lines);
        EXPECT_EQ(read_back(fast.text), held) << "the entries of the lines the listing holds";
        if (!fast.cut) {
            EXPECT_EQ(fast.text.size(), slow.text.size());
            continue;
        }
        ++cut_reports;
        ASSERT_GE(fast.text.size(), 2u);
        EXPECT_EQ(fast.text.substr(fast.text.size() - 2), "\r\n");
        const std::size_t next_line_end = slow.text.find("\r\n", fast.text.size()) + 2;
        EXPECT_GT(next_line_end, ReportFormatter::kMaxListingSize);
    }
    EXPECT_GE(cut_reports, 10);
}

}  // namespace
