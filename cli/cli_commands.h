#pragma once
// The command-line companion: formats a raw report, prints its four fields as JSON, or runs a
// whole session against the simulated printer. Portable; the program's main() only sets up the
// standard streams.

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "report/report_text.h"
#include "sim/simulated_printer.h"

// Exit codes of the companion.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;  // the file, the report or the session failed
inline constexpr int kExitUsage = 2;    // the command line was wrong

// Runs the command in `args` (without the program name); returns the exit code.
int run_cli(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
            std::ostream& err);

// The fields as one JSON object: each a string (CP1251 decoded to UTF-8) or null, then "cut",
// whether the listing was cut.
std::string fields_json(const ReportFields& fields, bool cut);

// The text as the body of a JSON string: CP1251 decoded to UTF-8, quotes, backslashes and
// control characters escaped.
std::string json_escaped_cp1251(std::string_view text);

// The fault with the kebab-case `name` ("short-chunk"), if there is one.
std::optional<PrinterFault> fault_from_name(std::string_view name);
