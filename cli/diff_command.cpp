#include "cli/diff_command.h"

#include <algorithm>
#include <charconv>
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

// The differences written out; texts are UTF-8, or code page 1251 when both reports are raw.
class DiffWriter {
public:
    DiffWriter(bool utf8, std::ostream& out) : utf8_(utf8), out_(out) {}

    // Written at once: one call to the stream instead of one for each line.
    void plain(const std::vector<LineDifference>& differences) {
        std::string text;
        text.reserve(plain_size(differences));
        for (const LineDifference& difference : differences) {
            heading(difference.section, text);
            append_plain(difference, text);
            text += '\n';
        }
        out_.write(text.data(), static_cast<std::streamsize>(text.size()));
    }

    void json(const Side& old_side, const Side& new_side,
              const std::vector<LineDifference>& differences) {
        Json listed = Json::array();
        for (const LineDifference& difference : differences) {
            listed.push_back(json_difference(difference));
        }
        out_ << json_line(
            {{"old", json_side(old_side)}, {"new", json_side(new_side)}, {"differences", listed}});
    }

private:
    // About the size of the plain output (texts in other scripts take more in UTF-8): room made
    // once, not doubled again and again for a long one.
    static std::size_t plain_size(const std::vector<LineDifference>& differences) {
        constexpr std::size_t kMarksAndNumbers = 48;  // "~ ", " #N", ": ", " -> ", " (+N)", ...
        std::size_t size = 0;
        for (const LineDifference& difference : differences) {
            const ListingLine& line = difference.line();
            size += kMarksAndNumbers + line.key().size() + line.text().size();
            if (difference.old_line != nullptr) size += difference.old_line->text().size();
            if (difference.section) size += difference.section->size();
        }
        return size;
    }

    std::string shown(std::string_view text) const {
        return utf8_ ? std::string(text) : utf8_from_cp1251(text);
    }

    // A text of the reports, for the terminal. Printable ASCII reads the same in both encodings
    // and on the terminal: only what follows the first other byte is decoded and converted.
    void append_shown(std::string_view text, std::string& out) {
        const std::size_t plain = printable_ascii_prefix(text);
        out.append(text.data(), plain);
        text.remove_prefix(plain);
        if (text.empty()) return;
        if (!utf8_) {
            decoded_ = utf8_from_cp1251(text);
            text = decoded_;
        }
        append_terminal_text(out, text);
    }

    // The section's text before its first difference: none before the first section, and
    // "(no section)" for the lines before it that come after another section's.
    void heading(const std::optional<std::string_view>& section, std::string& out) {
        if (section == section_ && (headed_ || !section)) return;
        if (section) {
            append_shown(*section, out);
        } else {
            out += "(no section)";
        }
        out += '\n';
        section_ = section;
        headed_ = true;
    }

    // A key, or a line's text, with its occurrence from the second on: "Key #2".
    void append_name(const LineDifference& difference, std::string& out) {
        const ListingLine& line = difference.line();
        append_shown(line.is_entry() ? line.key() : line.text(), out);
        if (difference.occurrence < 2) return;
        char digits[24];
        const auto written =
            std::to_chars(std::begin(digits), std::end(digits), difference.occurrence);
        out.append(" #", 2);
        out.append(digits, written.ptr);
    }

    // ": value", or ":" alone for an empty one.
    void append_value(const ListingLine& line, std::string& out) {
        out += ':';
        if (line.text().empty()) return;
        out += ' ';
        append_shown(line.text(), out);
    }

    void append_plain(const LineDifference& difference, std::string& out) {
        static constexpr const char* kMarks[] = {"~ ", "+ ", "- "};
        const ListingLine& line = difference.line();
        out.append(kMarks[static_cast<int>(difference.change)], 2);
        append_name(difference, out);
        if (difference.change == Change::Changed) {
            append_value(*difference.old_line, out);
            out.append(" ->", 3);
            if (!line.text().empty()) out += ' ';
            append_shown(line.text(), out);
            const std::optional<std::string> delta =
                whole_number_delta(difference.old_line->text(), line.text());
            if (delta) {
                out.append(" (", 2);
                out += *delta;
                out += ')';
            }
        } else if (line.is_entry()) {
            append_value(line, out);
        }
    }

    Json text_or_null(const ListingLine* line) const {
        return line != nullptr ? Json(shown(line->text())) : Json(nullptr);
    }

    Json json_difference(const LineDifference& difference) const {
        static constexpr const char* kChanges[] = {"changed", "added", "removed"};
        const ListingLine& line = difference.line();
        std::optional<std::string> delta;
        if (difference.change == Change::Changed) {
            delta = whole_number_delta(difference.old_line->text(), line.text());
        }
        return {{"section", difference.section ? Json(shown(*difference.section)) : Json()},
                {"key", line.is_entry() ? Json(shown(line.key())) : Json()},
                {"occurrence", difference.occurrence},
                {"change", kChanges[static_cast<int>(difference.change)]},
                {"old", text_or_null(difference.old_line)},
                {"new", text_or_null(difference.new_line)},
                {"delta", delta ? Json(*delta) : Json()}};
    }

    static Json json_side(const Side& side) {
        return {{"file", side.file},
                {"kind", report_kind_name(side.report.kind)},
                {"fields", side.report.fields},
                {"cut", side.report.cut}};
    }

    bool utf8_;
    std::ostream& out_;
    std::optional<std::string_view> section_;
    bool headed_ = false;
    std::string decoded_;  // a CP1251 text decoded for the terminal
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
    const std::vector<LineDifference> differences =
        diff_lines(old_report.lines, old_report.cut, new_report.lines, new_report.cut);
    DiffWriter writer(new_report.utf8, out);
    if (json) {
        writer.json(old_side, new_side, differences);
    } else {
        writer.plain(differences);
    }
    out.flush();
    if (!out) return say_failure(err, "cannot write the output", kExitDiffTrouble);
    return differences.empty() ? kExitSame : kExitDiffer;
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
