#include "cli/diff_command.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <fstream>
#include <istream>
#include <iterator>
#include <new>
#include <optional>
#include <ostream>
#include <string_view>

#include "cli/cli_exit.h"
#include "cli/command_line.h"
#include "cli/entry_diff.h"
#include "cli/json_text.h"
#include "cli/report_entries.h"
#include "report/report_formatter.h"

namespace {

constexpr std::size_t kReadPiece = std::size_t{64} << 10;

const CommandSyntax kDiffSyntax{"diff", {{"--json"}}, 2, 2, "two files, OLD and NEW"};

// The arguments by the companion's rules (command_line.h); standard input for one side only.
bool parse_diff_options(const std::vector<std::string>& args, CommandLine& line,
                        std::ostream& err) {
    if (!line.parse(kDiffSyntax, {args.begin() + 1, args.end()}, err)) return false;
    if (line.operands()[0] == "-" && line.operands()[1] == "-") {
        usage_error(err, "standard input ('-') can be only one of OLD and NEW");
        return false;
    }
    return true;
}

// 'FILE', fit for a terminal. (Built piece by piece: GCC 12 at -O3 warns of an overlap in
// "'" + a temporary string, which there is not.)
std::string quoted(const std::string& file) {
    std::string named(1, '\'');
    named += terminal_text(file);
    named += '\'';
    return named;
}

// One of the two reports: its file as given, as messages name it, and what it holds.
struct Side {
    explicit Side(const std::string& given)
        : file(given), named(given == "-" ? "standard input" : quoted(given)) {}

    std::string file;
    std::string named;
    ReportEntries report;
};

// Appends what `source` holds until `bytes` has `limit` bytes; false on a read error.
bool read_up_to(std::istream& source, std::string& bytes, std::size_t limit) {
    while (bytes.size() < limit && source) {
        const std::size_t had = bytes.size();
        bytes.resize(std::min(limit, had + kReadPiece));
        source.read(bytes.data() + had, static_cast<std::streamsize>(bytes.size() - had));
        bytes.resize(had + static_cast<std::size_t>(source.gcount()));
    }
    return !source.bad();
}

// The whole file, or a byte more than its kind may hold, so that a larger one is refused
// without reading it all.
bool read_file(std::istream& source, std::string& bytes) {
    if (!read_up_to(source, bytes, kMaxRawReportFile + 1)) return false;
    const std::size_t limit = looks_like_json(bytes) ? kMaxJsonReportFile : kMaxRawReportFile;
    return read_up_to(source, bytes, limit + 1);
}

bool load(Side& side, std::istream& in, std::ostream& err) {
    std::string bytes;
    bool read = false;
    if (side.file == "-") {
        read = read_file(in, bytes);
    } else {
        std::ifstream stream(side.file, std::ios::binary);
        if (!stream) {
            say_failure(err, "cannot open " + side.named, kExitDiffTrouble);
            return false;
        }
        read = read_file(stream, bytes);
    }
    std::string error = "cannot be read";
    if (!read || !read_report_entries(bytes, side.report, error)) {
        say_failure(err, side.named + " " + error, kExitDiffTrouble);
        return false;
    }
    return true;
}

void say_cut(const Side& side, std::ostream& err) {
    err << kProgram << ": the listing of " << side.named << " is incomplete (cut at "
        << ReportFormatter::kMaxListingSize
        << " bytes): the other's lines past where it ends are not compared\n";
}

// Both serial fields given and different: the readings are of two printers.
void say_if_other_printer(const Side& old_side, const Side& new_side, std::ostream& err) {
    const Json& old_serial = old_side.report.fields.at("serial");
    const Json& new_serial = new_side.report.fields.at("serial");
    if (!old_serial.is_string() || !new_serial.is_string() || old_serial == new_serial) return;
    err << kProgram << ": " << old_side.named << " and " << new_side.named
        << " come from different printers (serial " << terminal_text(old_serial.get<std::string>())
        << " and " << terminal_text(new_serial.get<std::string>()) << "); compared anyway\n";
}

// The plain output gathered before it is written: room is made once for each difference, and
// bytes are then put without a check or a call for each.
class OutputPiece {
public:
    explicit OutputPiece(std::size_t room) : bytes_(room, '\0') {}

    void make_room(std::size_t more) {
        if (bytes_.size() - used_ < more) bytes_.resize(std::max(2 * bytes_.size(), used_ + more));
    }
    void put(char c) { bytes_[used_++] = c; }
    // Short texts (most keys and values) a word or two at a time, overlapping.
    void put(std::string_view text) {
        char* const to = bytes_.data() + used_;
        const char* const from = text.data();
        const std::size_t size = text.size();
        used_ += size;
        const auto move = [to, from](std::size_t at, auto word) {
            std::memcpy(&word, from + at, sizeof word);
            std::memcpy(to + at, &word, sizeof word);
        };
        if (size > 16) {
            std::memcpy(to, from, size);
        } else if (size >= 8) {
            move(0, std::uint64_t{});
            move(size - 8, std::uint64_t{});
        } else if (size >= 4) {
            move(0, std::uint32_t{});
            move(size - 4, std::uint32_t{});
        } else if (size != 0) {
            to[0] = from[0];
            to[size / 2] = from[size / 2];
            to[size - 1] = from[size - 1];
        }
    }
    char* end() { return bytes_.data() + used_; }
    void end_at(const char* end) { used_ = static_cast<std::size_t>(end - bytes_.data()); }
    std::size_t size() const { return used_; }

    // Writes what was gathered, and starts again.
    void write_to(std::ostream& out) {
        out.write(bytes_.data(), static_cast<std::streamsize>(used_));
        used_ = 0;
    }

private:
    std::string bytes_;
    std::size_t used_ = 0;
};

// Whether `text` is all printable ASCII, which is shown as it is; short texts are looked at here,
// longer ones a word at a time.
bool all_printable_ascii(std::string_view text) {
    constexpr std::size_t kShort = 16;
    if (text.size() > kShort) return printable_ascii_prefix(text) == text.size();
    for (const char c : text) {
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

// The differences written out; texts are UTF-8, or code page 1251 when both reports are raw.
class DiffWriter {
public:
    DiffWriter(const Listing& old_lines, const Listing& new_lines, bool utf8, std::ostream& out)
        : old_lines_(old_lines), new_lines_(new_lines), utf8_(utf8), out_(out) {}

    // Written a piece at a time, each piece of many lines written with one call to the stream;
    // no difference is kept once written. Returns how many there were.
    std::size_t plain(ListingComparison& comparison) {
        OutputPiece piece(2 * kPiece);
        std::size_t told = 0;
        comparison.tell_differences([this, &piece, &told](const LineDifference& difference) {
            ++told;
            put_plain(difference, piece);
            if (piece.size() >= kPiece) piece.write_to(out_);
        });
        piece.write_to(out_);
        return told;
    }

    // One object, written a difference at a time: each difference repeats its section's text,
    // so a long title over many changed entries makes an output hundreds of times the reports'
    // size, which is never held whole. Stops at the first failed write.
    std::size_t json(const Side& old_side, const Side& new_side, ListingComparison& comparison) {
        std::string head = json_line({{"old", json_side(old_side)}, {"new", json_side(new_side)}});
        head.resize(head.size() - 2);  // the object's closing brace and the line's end
        head += R"(,"differences":[)";
        out_ << head;
        const std::vector<LineDifference> differences = comparison.differences();
        for (std::size_t at = 0; at < differences.size() && out_; ++at) {
            if (at != 0) out_.put(',');
            const std::string element = json_line(json_difference(differences[at]));
            out_.write(element.data(), static_cast<std::streamsize>(element.size() - 1));
        }
        out_ << "]}\n";
        return differences.size();
    }

private:
    // What the plain output gathers before it is written.
    static constexpr std::size_t kPiece = std::size_t{64} << 10;
    static constexpr std::size_t kNumberRoom = 24;  // for a number's digits

    // The listing that holds the difference's line: the new one, unless it was removed.
    const Listing& lines_of(const LineDifference& difference) const {
        return difference.new_line != kNoLine ? new_lines_ : old_lines_;
    }

    std::optional<std::string_view> section(const LineDifference& difference) const {
        if (difference.section_line == kNoLine) return std::nullopt;
        return lines_of(difference).text(difference.section_line);
    }

    std::string shown(std::string_view text) const {
        return utf8_ ? std::string(text) : utf8_from_cp1251(text);
    }

    // A text of the reports, for the terminal. Printable ASCII reads the same in both encodings
    // and on the terminal: other texts are decoded and converted.
    void put_shown(std::string_view text, OutputPiece& out) {
        if (all_printable_ascii(text)) {
            out.put(text);
            return;
        }
        if (!utf8_) {
            decoded_ = utf8_from_cp1251(text);
            text = decoded_;
        }
        converted_.clear();
        append_terminal_text(converted_, text);
        out.put(converted_);
    }

    // The section's text before its first difference: none before the first section, and
    // "(no section)" for the lines before it that come after another section's.
    void put_heading(const std::optional<std::string_view>& section, OutputPiece& out) {
        if (section == section_ && (headed_ || !section)) return;
        if (section) {
            put_shown(*section, out);
        } else {
            out.put("(no section)");
        }
        out.put('\n');
        section_ = section;
        headed_ = true;
    }

    // A key, or a line's text, with its occurrence from the second on: "Key #2".
    void put_name(std::string_view key, const LineDifference& difference, OutputPiece& out) {
        put_shown(key, out);
        if (difference.occurrence < 2) return;
        out.put(" #");
        out.end_at(std::to_chars(out.end(), out.end() + kNumberRoom, difference.occurrence).ptr);
    }

    // ": value", or ":" alone for an empty one.
    void put_value(std::string_view value, OutputPiece& out) {
        out.put(':');
        if (value.empty()) return;
        out.put(' ');
        put_shown(value, out);
    }

    // The most a difference's line can take: texts from code page 1251 take up to three bytes a
    // character in UTF-8, and the change of two numbers one more digit than the longer.
    static std::size_t room_for(std::string_view key, std::string_view old_value,
                                std::string_view new_value,
                                const std::optional<std::string_view>& heading) {
        constexpr std::size_t kMarks = 32;  // "~ ", " #", ": ", " -> ", " (", ")", LF, ...
        const std::size_t texts = key.size() + old_value.size() + new_value.size() +
                                  (heading ? heading->size() : 0);
        return kMarks + std::string_view("(no section)\n").size() + kNumberRoom + 3 * texts +
               whole_number_delta_room(old_value, new_value);
    }

    void put_plain(const LineDifference& difference, OutputPiece& out) {
        static constexpr std::string_view kMarks[] = {"~ ", "+ ", "- "};
        const Listing& lines = lines_of(difference);
        const Listing::Index line = difference.line();
        const bool changed = difference.change == Change::Changed;
        // After the name: the old value of a change, else the line's own (an entry's).
        std::string_view value, new_value;
        if (changed) {
            value = old_lines_.text(difference.old_line);
            new_value = new_lines_.text(difference.new_line);
        } else if (lines.is_entry(line)) {
            value = lines.text(line);
        }
        const std::string_view key = lines.key(line);  // found once: it is padded in the listing
        const std::optional<std::string_view> heading = section(difference);
        out.make_room(room_for(key, value, new_value, heading));
        put_heading(heading, out);
        out.put(kMarks[static_cast<int>(difference.change)]);
        put_name(key, difference, out);
        if (changed) {
            put_value(value, out);
            out.put(" ->");
            if (!new_value.empty()) out.put(' ');
            put_shown(new_value, out);
            put_delta(value, new_value, out);
        } else if (lines.is_entry(line)) {
            put_value(value, out);
        }
        out.put('\n');
    }

    // " (+N)" after two whole numbers.
    static void put_delta(std::string_view old_value, std::string_view new_value,
                          OutputPiece& out) {
        char* const open = out.end();
        char* const end = write_whole_number_delta(old_value, new_value, open + 2);
        if (end == nullptr) return;
        open[0] = ' ';
        open[1] = '(';
        *end = ')';
        out.end_at(end + 1);
    }

    Json text_or_null(const Listing& lines, Listing::Index line) const {
        return line != kNoLine ? Json(shown(lines.text(line))) : Json(nullptr);
    }

    Json json_difference(const LineDifference& difference) const {
        static constexpr const char* kChanges[] = {"changed", "added", "removed"};
        const Listing& lines = lines_of(difference);
        const Listing::Index line = difference.line();
        std::optional<std::string> delta;
        if (difference.change == Change::Changed) {
            delta = whole_number_delta(old_lines_.text(difference.old_line),
                                       new_lines_.text(difference.new_line));
        }
        const std::optional<std::string_view> heading = section(difference);
        return {{"section", heading ? Json(shown(*heading)) : Json()},
                {"key", lines.is_entry(line) ? Json(shown(lines.key(line))) : Json()},
                {"occurrence", difference.occurrence},
                {"change", kChanges[static_cast<int>(difference.change)]},
                {"old", text_or_null(old_lines_, difference.old_line)},
                {"new", text_or_null(new_lines_, difference.new_line)},
                {"delta", delta ? Json(*delta) : Json()}};
    }

    static Json json_side(const Side& side) {
        return {{"file", side.file},
                {"kind", report_kind_name(side.report.kind)},
                {"fields", side.report.fields},
                {"cut", side.report.cut}};
    }

    const Listing& old_lines_;
    const Listing& new_lines_;
    bool utf8_;
    std::ostream& out_;
    std::optional<std::string_view> section_;
    bool headed_ = false;
    std::string decoded_;    // a CP1251 text decoded for the terminal
    std::string converted_;  // a text converted for the terminal
};

// Like with like: a raw report's code page 1251 against a JSON's UTF-8 is decoded first.
int compare(Side& old_side, Side& new_side, bool json, std::ostream& out, std::ostream& err) {
    ReportEntries& old_report = old_side.report;
    ReportEntries& new_report = new_side.report;
    if (old_report.utf8 != new_report.utf8) {
        decode_lines_to_utf8(old_report);
        decode_lines_to_utf8(new_report);
    }
    for (const Side* side : {&old_side, &new_side}) {
        if (side->report.cut) say_cut(*side, err);
    }
    say_if_other_printer(old_side, new_side, err);
    ListingComparison comparison({old_report.listing, old_report.lines, old_report.cut},
                                 {new_report.listing, new_report.lines, new_report.cut});
    DiffWriter writer(comparison.old_lines(), comparison.new_lines(), new_report.utf8, out);
    const std::size_t told = json ? writer.json(old_side, new_side, comparison)
                                  : writer.plain(comparison);
    out.flush();
    if (!out) return say_failure(err, "cannot write the output", kExitDiffTrouble);
    return told == 0 ? kExitSame : kExitDiffer;
}

}  // namespace

int run_diff(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
             std::ostream& err) {
    CommandLine line;
    if (!parse_diff_options(args, line, err)) return kExitUsage;
    try {
        Side old_side(line.operands()[0]);
        Side new_side(line.operands()[1]);
        if (!load(old_side, in, err) || !load(new_side, in, err)) return kExitDiffTrouble;
        return compare(old_side, new_side, line.has("--json"), out, err);
    } catch (const std::bad_alloc&) {
        return say_failure(err, "not enough memory to compare the reports", kExitDiffTrouble);
    }
}

void print_diff_usage(std::ostream& out) {
    out << "  diff [--json] OLD NEW     compares two reports entry by entry: each a raw report\n"
        << "                            (read --raw) or the JSON of read --json or format --json,\n"
        << "                            told apart by their content (\"-\": standard input).\n"
        << "                            Entries are matched by section (the nearest line above\n"
        << "                            without a colon), key, and occurrence of the key there.\n"
        << "                            One line a difference, under its section, in the order\n"
        << "                            of NEW: \"~ Key: old -> new\" (\"(+N)\" after two whole\n"
        << "                            numbers), \"+ Key: value\", \"- Key: value\" (removed "
           "where\n"
        << "                            it stood in OLD), \"Key #2\" for a second occurrence;\n"
        << "                            --json prints both reports' fields and the differences\n"
        << "                            as one object. Exits as diff does: 0 the same (nothing\n"
        << "                            printed), 1 different, 2 trouble (a usage error, a file\n"
        << "                            that cannot be read or is neither kind, the JSON of a\n"
        << "                            failed reading)\n";
}
