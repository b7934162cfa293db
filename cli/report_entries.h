#pragma once
// A report read back into the lines of its listing, whatever kept it: a raw report as
// `read --raw` writes it (code page 1251), or the JSON of `read --json` or `format --json`
// (UTF-8), told apart by their content. What `diff` compares.

#include <cstddef>
#include <string>
#include <string_view>

#include "cli/json_text.h"
#include "cli/listing_lines.h"
#include "report/report_text.h"

// What made the file: `read --raw`, `read --json` or `format --json`.
enum class ReportKind { Raw, Reading, Report };

// A raw report is at most the report buffer less its NUL. The companion's JSON of the largest
// listing (1 MiB, each byte a control character written as \u00XX, in the entries and again in
// the listing, and four long fields) stays under 16 MiB: twice that is refused.
inline constexpr std::size_t kMaxRawReportFile = kReportBufferSize - 1;
inline constexpr std::size_t kMaxJsonReportFile = std::size_t{32} << 20;

// The lines of one report, views into what it holds: neither copied nor moved.
struct ReportEntries {
    ReportEntries() = default;
    ReportEntries(const ReportEntries&) = delete;
    ReportEntries& operator=(const ReportEntries&) = delete;

    ReportKind kind = ReportKind::Raw;
    bool utf8 = false;  // the lines' texts are UTF-8 (else code page 1251, as the printer wrote)
    Json fields;        // the four fields, UTF-8 strings or null
    bool cut = false;   // the listing was cut at its cap: lines past it are missing
    // A raw report's listing, or the entries of a JSON one laid out as the formatter would, and
    // how many lines it holds.
    std::string listing;
    std::size_t lines = 0;
};

// Whether a file beginning with `head` may be JSON: its first character, after JSON's blanks (and
// a UTF-8 byte order mark), opens an object or an array. A raw report never starts with "{"; one
// that starts with "[" is JSON only if it parses as JSON.
bool looks_like_json(std::string_view head);

// Reads a whole file's `bytes` into `report`. False with `error` completing the sentence
// "FILE ..." ("is not valid JSON: ...") when they are neither kind, or a failed reading's JSON.
bool read_report_entries(std::string_view bytes, ReportEntries& report, std::string& error);

// The listing of a raw report decoded to UTF-8, so that it compares with a JSON one.
void decode_lines_to_utf8(ReportEntries& report);

// "raw", "reading" or "report", as the JSON Schema names the outputs.
const char* report_kind_name(ReportKind kind);
