// The formatter against a plain, slow reading of the two passes on generated reports: the
// reference writes the normalised text out and formats it through the printf line format. The
// companion's reading of a listing back into entries must give the reference's normalised lines,
// and its diff of two listings what a plain reading of diff's matching gives over those lines.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "cli/entry_diff.h"
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
        lines.emplace_back(line.is_entry(), std::string(line.key()), std::string(line.text()));
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

// ---- diff: the matching of two listings against a slow reading of its rules ----

// A reference line's place: its section (the text of the nearest line at or above it without a
// colon), and which occurrence it is of its key (or text) in that section.
struct PlacedLine {
    Line line;
    std::optional<std::string> section;
    std::size_t occurrence = 1;
};

const std::string& key_of(const Line& line) {
    return std::get<0>(line) ? std::get<1>(line) : std::get<2>(line);
}

std::vector<PlacedLine> reference_places(const std::vector<Line>& lines) {
    std::vector<PlacedLine> placed;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        PlacedLine line{lines[i], std::nullopt, 1};
        for (std::size_t above = i + 1; above-- > 0 && !line.section;) {
            if (!std::get<0>(lines[above])) line.section = std::get<2>(lines[above]);
        }
        for (const PlacedLine& earlier : placed) {
            line.occurrence += earlier.section == line.section &&
                               std::get<0>(earlier.line) == std::get<0>(line.line) &&
                               key_of(earlier.line) == key_of(line.line);
        }
        placed.push_back(line);
    }
    return placed;
}

// change, section, whether an entry, key (or text), occurrence, old text, new text
using Difference = std::tuple<std::string, std::optional<std::string>, bool, std::string,
                              std::size_t, std::optional<std::string>, std::optional<std::string>>;

// Every line looked for in the whole other listing; a line whose partner differs in its text
// changed. A new line's difference stands at its place; a removed line before the first new
// line whose partner stood after it. A cut listing's lost end may hold the other's lines past
// the last of its lines that has a partner: those are left out.
std::vector<Difference> reference_diff(const std::vector<Line>& old_lines, bool old_cut,
                                       const std::vector<Line>& new_lines, bool new_cut) {
    const std::vector<PlacedLine> olds = reference_places(old_lines);
    const std::vector<PlacedLine> news = reference_places(new_lines);
    std::vector<std::optional<std::size_t>> partner(news.size());
    std::vector<bool> matched(olds.size(), false);
    std::size_t olds_held = 0, news_held = 0;  // past the last partner of a line of the other
    for (std::size_t i = 0; i < news.size(); ++i) {
        for (std::size_t j = 0; j < olds.size(); ++j) {
            if (news[i].section == olds[j].section &&
                std::get<0>(news[i].line) == std::get<0>(olds[j].line) &&
                key_of(news[i].line) == key_of(olds[j].line) &&
                news[i].occurrence == olds[j].occurrence) {
                partner[i] = j;
                matched[j] = true;
                olds_held = std::max(olds_held, j + 1);
                news_held = std::max(news_held, i + 1);
            }
        }
    }
    if (!old_cut) news_held = news.size();
    if (!new_cut) olds_held = olds.size();
    const auto difference = [](const char* change, const PlacedLine& line,
                               std::optional<std::string> old_text,
                               std::optional<std::string> new_text) {
        return Difference{
            change,   line.section, std::get<0>(line.line), key_of(line.line), line.occurrence,
            old_text, new_text};
    };
    std::vector<std::pair<std::tuple<std::size_t, int, std::size_t>, Difference>> placed;
    for (std::size_t i = 0; i < news.size(); ++i) {
        const std::string& text = std::get<2>(news[i].line);
        if (!partner[i] && i < news_held) {
            placed.push_back({{i, 1, 0}, difference("added", news[i], std::nullopt, text)});
        } else if (partner[i] && std::get<2>(olds[*partner[i]].line) != text) {
            placed.push_back(
                {{i, 1, 0},
                 difference("changed", news[i], std::get<2>(olds[*partner[i]].line), text)});
        }
    }
    for (std::size_t j = 0; j < olds.size(); ++j) {
        if (matched[j] || j >= olds_held) continue;
        std::size_t before = 0;
        while (before < news.size() && !(partner[before] && *partner[before] > j)) ++before;
        placed.push_back({{before, 0, j},
                          difference("removed", olds[j], std::get<2>(olds[j].line), std::nullopt)});
    }
    std::sort(placed.begin(), placed.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<Difference> differences;
    for (const auto& [where, found] : placed) differences.push_back(found);
    return differences;
}

// The companion's matching of the two listings, as the reference's tuples.
std::vector<Difference> companion_diff(const FormattedReport& old_report,
                                       const FormattedReport& new_report) {
    ListingComparison compared({old_report.text, old_report.lines, old_report.cut},
                               {new_report.text, new_report.lines, new_report.cut});
    const Listing& old_lines = compared.old_lines();
    const Listing& new_lines = compared.new_lines();
    std::vector<Difference> differences;
    for (const LineDifference& found : compared.differences()) {
        static const char* const kNames[] = {"changed", "added", "removed"};
        const Listing& lines = found.new_line != kNoLine ? new_lines : old_lines;
        const ListingLine line = lines[found.line()];
        const auto text = [](const Listing& of, Listing::Index at) {
            return at != kNoLine ? std::optional<std::string>(of.text(at)) : std::nullopt;
        };
        const auto section = found.section_line != kNoLine
                                 ? std::optional<std::string>(lines.text(found.section_line))
                                 : std::nullopt;
        differences.emplace_back(kNames[static_cast<int>(found.change)], section, line.is_entry(),
                                 std::string(line.is_entry() ? line.key() : line.text()),
                                 found.occurrence, text(old_lines, found.old_line),
                                 text(new_lines, found.new_line));
    }
    return differences;
}

// The listing's lines as the reference sees them, as many as the companion's cut listing holds.
std::vector<Line> held_reference_lines(const std::string& raw, const FormattedReport& report) {
    std::vector<Line> lines = reference_lines(raw.c_str());
    lines.resize(std::min(lines.size(), report.lines));
    return lines;
}

// Compares the two matchings; returns how many differences there were.
std::size_t expect_diff_like_reference(const std::string& old_raw, const std::string& new_raw) {
    FormattedReport old_report, new_report;
    EXPECT_TRUE(ReportFormatter::format(old_raw.c_str(), old_report));
    EXPECT_TRUE(ReportFormatter::format(new_raw.c_str(), new_report));
    const std::vector<Difference> expected =
        reference_diff(held_reference_lines(old_raw, old_report), old_report.cut,
                       held_reference_lines(new_raw, new_report), new_report.cut);
    EXPECT_EQ(companion_diff(old_report, new_report), expected)
        << "old: " << ::testing::PrintToString(old_raw)
        << "\nnew: " << ::testing::PrintToString(new_raw);
    return expected.size();
}

// Made-up reports in the shapes printers give: sections under a line without a colon, one to
// three entries a line, keys that repeat, counters, values with colons.
struct MadeEntry {
    std::string key;
    std::string value;
};
struct MadeLine {
    std::string title;  // a line without a colon, or else the entries
    std::vector<MadeEntry> entries;
};
using MadeReport = std::vector<MadeLine>;

constexpr std::array<const char*, 6> kTitles = {"[General]",    "[Network]",     "Toner Cartridge",
                                                "Imaging Unit", "[Paper Trays]", "SYSTEM DATA"};
constexpr std::array<const char*, 8> kKeys = {"Pages",     "Status",       "Tray 1 Status",
                                              "Remaining", "Model Name",   "Time",
                                              "Jam Count", "Serial Number"};
constexpr std::array<const char*, 10> kValues = {
    "0",     "1612",  "-5",   "+0",       "007",
    "Ready", "Empty", "46 %", "12:05:33", "123456789012345678901234567890"};

template <std::size_t N>
std::string pick(std::mt19937& rng, const std::array<const char*, N>& from) {
    return from[rng() % N];
}

MadeLine made_line(std::mt19937& rng) {
    MadeLine line;
    if (rng() % 5 == 0) {
        line.title = pick(rng, kTitles);
        return line;
    }
    for (std::size_t n = 1 + rng() % 3; n > 0; --n) {
        line.entries.push_back({pick(rng, kKeys), rng() % 3 == 0 ? std::to_string(rng() % 100000)
                                                                 : pick(rng, kValues)});
    }
    return line;
}

MadeReport made_report(std::mt19937& rng, std::size_t lines) {
    MadeReport report;
    for (std::size_t n = rng() % (lines + 1); n > 0; --n) report.push_back(made_line(rng));
    return report;
}

// Spaces around titles, keys and colons chosen afresh each time: the same entries, otherwise
// padded.
std::string rendered(const MadeReport& report, std::mt19937& rng) {
    const auto spaces = [&rng](std::size_t most) { return std::string(rng() % (most + 1), ' '); };
    std::string raw;
    for (const MadeLine& line : report) {
        if (!line.title.empty()) raw += spaces(2) + line.title + spaces(2);
        for (std::size_t i = 0; i < line.entries.size(); ++i) {
            raw += (i > 0 ? "  " + spaces(1) : spaces(1)) + line.entries[i].key + spaces(1) + ":" +
                   spaces(3) + line.entries[i].value;
        }
        raw += rng() % 8 == 0 ? "\r\r" : "\r";
    }
    return raw;
}

// What the second report of a pair changes.
enum class PairChange { None, Counter, SectionAdded, SectionRemoved, SecondOccurrence, WiderKey };

void change_counter(MadeReport& report, std::mt19937& rng) {
    std::vector<MadeEntry*> counters;
    for (MadeLine& line : report) {
        for (MadeEntry& entry : line.entries) {
            if (!entry.value.empty() && entry.value.find_first_not_of("0123456789") == npos) {
                counters.push_back(&entry);
            }
        }
    }
    if (!counters.empty()) counters[rng() % counters.size()]->value += "1250";
}

MadeReport section(const std::string& title, std::vector<MadeEntry> entries) {
    MadeReport lines{{title, {}}};
    for (MadeEntry& entry : entries) lines.push_back({"", {std::move(entry)}});
    return lines;
}

void insert_at_random(MadeReport& report, const MadeReport& lines, std::mt19937& rng) {
    const auto at = report.begin() + static_cast<std::ptrdiff_t>(rng() % (report.size() + 1));
    report.insert(at, lines.begin(), lines.end());
}

// Where a section may go without taking lines of another: before a title, or at the end.
std::size_t section_boundary(const MadeReport& report, std::mt19937& rng) {
    std::vector<std::size_t> boundaries{report.size()};
    for (std::size_t i = 0; i < report.size(); ++i) {
        if (!report[i].title.empty()) boundaries.push_back(i);
    }
    return boundaries[rng() % boundaries.size()];
}

void insert_at(MadeReport& report, std::size_t at, const MadeReport& lines) {
    report.insert(report.begin() + static_cast<std::ptrdiff_t>(at), lines.begin(), lines.end());
}

void remove_a_section(MadeReport& report, std::mt19937& rng) {
    std::vector<std::size_t> titles;
    for (std::size_t i = 0; i < report.size(); ++i) {
        if (!report[i].title.empty()) titles.push_back(i);
    }
    if (titles.empty()) return;
    const std::size_t from = titles[rng() % titles.size()];
    std::size_t to = from + 1;
    while (to < report.size() && report[to].title.empty()) ++to;
    report.erase(report.begin() + static_cast<std::ptrdiff_t>(from),
                 report.begin() + static_cast<std::ptrdiff_t>(to));
}

// A pair of rendered reports, the second changed as `change` says.
std::pair<std::string, std::string> made_pair(PairChange change, std::mt19937& rng) {
    MadeReport old_report = made_report(rng, 40);
    MadeReport new_report = old_report;
    switch (change) {
        case PairChange::None:
            break;
        case PairChange::Counter:
            change_counter(new_report, rng);
            break;
        case PairChange::SectionAdded:
            insert_at(new_report, section_boundary(new_report, rng),
                      section("[Fax]", {{"Speed", "33600"}, {"Status", "Ready"}}));
            break;
        case PairChange::SectionRemoved:
            remove_a_section(new_report, rng);
            break;
        case PairChange::SecondOccurrence: {
            const std::size_t at = section_boundary(old_report, rng);
            const auto repeats = [](const char* second) {
                return section("[Repeats]",
                               {{"Status", "Ready"}, {"Pages", "1"}, {"Status", second}});
            };
            insert_at(old_report, at, repeats("Ready"));
            insert_at(new_report, at, repeats("Empty"));
            break;
        }
        case PairChange::WiderKey:
            new_report.push_back({"", {{std::string(60, 'W'), "wide"}}});
            break;
    }
    return {rendered(old_report, rng), rendered(new_report, rng)};
}

TEST(DiffReference, GeneratedPairs_DiffLikeTheReference) {
    struct Case {
        PairChange change;
        const char* name;
    };
    const Case cases[] = {
        {PairChange::None, "the same report"},
        {PairChange::Counter, "one counter changed"},
        {PairChange::SectionAdded, "a section added"},
        {PairChange::SectionRemoved, "a section removed"},
        {PairChange::SecondOccurrence, "a repeated key changed in its second occurrence"},
        {PairChange::WiderKey, "a wider key: every line padded otherwise"}};
    std::mt19937 rng(22);
    for (const Case& pair_case : cases) {
        SCOPED_TRACE(pair_case.name);
        std::size_t with_differences = 0;
        for (int i = 0; i < 150 && !HasFailure(); ++i) {
            const auto [old_raw, new_raw] = made_pair(pair_case.change, rng);
            const std::size_t found = expect_diff_like_reference(old_raw, new_raw);
            with_differences += found > 0;
            if (pair_case.change == PairChange::None) EXPECT_EQ(found, 0u);
            if (pair_case.change == PairChange::Counter) EXPECT_LE(found, 1u);
            if (pair_case.change == PairChange::WiderKey)
                EXPECT_EQ(found, 1u) << "only the wide entry";
            if (pair_case.change == PairChange::SecondOccurrence) {
                FormattedReport old_report, new_report;
                ASSERT_TRUE(ReportFormatter::format(old_raw.c_str(), old_report));
                ASSERT_TRUE(ReportFormatter::format(new_raw.c_str(), new_report));
                EXPECT_EQ(companion_diff(old_report, new_report),
                          std::vector<Difference>(
                              {{"changed", "[Repeats]", true, "Status", 2, "Ready", "Empty"}}));
            }
        }
        if (pair_case.change != PairChange::None) EXPECT_GE(with_differences, 100u);
    }
}

// Reports made of the pieces that make the formatter's decisions, the second with pieces taken
// out, put in or replaced: entries read again from inside values, empty keys, lone colons.
TEST(DiffReference, PairsOfPieces_DiffLikeTheReference) {
    std::mt19937 rng(2022);
    std::uniform_int_distribution<std::size_t> pick_piece(0, kPieces.size() - 1);
    for (int i = 0; i < 2000 && !HasFailure(); ++i) {
        const std::string old_raw = random_report(rng, 60);
        std::string new_raw = old_raw;
        for (std::size_t edits = 1 + rng() % 3; edits > 0; --edits) {
            const std::size_t at = rng() % (new_raw.size() + 1);
            new_raw.erase(at, rng() % 4);
            new_raw.insert(std::min(at, new_raw.size()), kPieces[pick_piece(rng)]);
        }
        expect_diff_like_reference(old_raw, new_raw);
    }
}

// A wide key pads every line past the cap: the cut listing holds the head of its lines.
TEST(DiffReference, PairsCutAtTheCap_DiffLikeTheReference) {
    std::mt19937 rng(1048576);
    std::size_t cut_pairs = 0, left_out = 0;
    for (int i = 0; i < 40 && !HasFailure(); ++i) {
        MadeReport old_report = made_report(rng, 120);
        MadeReport new_report = old_report;
        change_counter(new_report, rng);
        if (rng() % 2 == 0) remove_a_section(new_report, rng);
        const MadeLine wide{"", {{std::string(20000 + rng() % 40000, 'K'), "wide"}}};
        const unsigned sides = 1 + rng() % 3;  // the old one, the new one, or both
        if (sides & 1) insert_at_random(old_report, {wide}, rng);
        if (sides & 2) insert_at_random(new_report, {wide}, rng);
        const std::string old_raw = rendered(old_report, rng);
        const std::string new_raw = rendered(new_report, rng);
        FormattedReport old_formatted, new_formatted;
        ASSERT_TRUE(ReportFormatter::format(old_raw.c_str(), old_formatted));
        ASSERT_TRUE(ReportFormatter::format(new_raw.c_str(), new_formatted));
        if (!old_formatted.cut && !new_formatted.cut) continue;
        ++cut_pairs;
        expect_diff_like_reference(old_raw, new_raw);
        // Without the cut's rule, the other's lines past the end are taken as added or removed.
        const std::vector<Line> old_lines = held_reference_lines(old_raw, old_formatted);
        const std::vector<Line> new_lines = held_reference_lines(new_raw, new_formatted);
        left_out +=
            reference_diff(old_lines, false, new_lines, false).size() >
            reference_diff(old_lines, old_formatted.cut, new_lines, new_formatted.cut).size();
    }
    EXPECT_GE(cut_pairs, 25u);
    EXPECT_GE(left_out, 15u);
}

}  // namespace
