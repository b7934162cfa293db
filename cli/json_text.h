#pragma once
// The companion's JSON, made with nlohmann-json: report texts decoded from CP1251 to UTF-8, the
// four fields and the listing's entries as values, and one value as one line of output; and
// device strings fit for a terminal.

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "report/report_formatter.h"
#include "report/report_text.h"

// Members keep the order they were put in, so that the output reads as the documentation lists
// it.
using Json = nlohmann::ordered_json;

// A CP1251 text (the printer's report) as UTF-8; 0x98, which has no character, becomes U+FFFD.
std::string utf8_from_cp1251(std::string_view text);

// A CP1251 text as a JSON string, or null when absent.
Json cp1251_or_null(const std::optional<std::string>& text);

// A text the system or a device gave (UTF-8 by right) as a JSON string, or null when absent.
// Bytes that are not UTF-8 are replaced when the value is written (json_line).
Json text_or_null(const std::optional<std::string>& text);

// The four fields as one object, each a string or null.
Json fields_json(const ReportFields& fields);

// Every line of the listing, in order: {"key", "value"} for an entry, {"text"} for a line
// without a colon; decoded to UTF-8.
Json entries_json(std::string_view listing);

// What a formatted report holds, as `read --json` and `format --json` give it: "fields", "cut",
// "entries" and "listing".
Json report_json(const FormattedReport& report);

// `value` as one line of JSON text: UTF-8 throughout (bytes that are not become U+FFFD), and no
// character a terminal would act on or that would reorder what it shows (C0, DEL, C1 and the
// bidirectional controls are escaped), ended by a newline.
std::string json_line(const Json& value);

// A device's text for a terminal: valid UTF-8 kept, and controls (C0, DEL, C1), which a terminal
// would act on, bidirectional controls, which would reorder what it shows, and bytes that are not
// UTF-8 shown as '?'.
std::string terminal_text(std::string_view text);

// terminal_text(text) appended to `out`, without a string of its own.
void append_terminal_text(std::string& out, std::string_view text);

// How many bytes `text` starts with that are printable ASCII (space to '~'): the same in UTF-8
// and CP1251, and shown on a terminal as they are.
std::size_t printable_ascii_prefix(std::string_view text);
