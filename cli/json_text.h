#pragma once
// JSON text for the companion's output: strings from CP1251 report text (decoded to UTF-8) and
// from device strings, and the four fields as one object; and device strings fit for a terminal.

#include <optional>
#include <string>
#include <string_view>

#include "report/report_text.h"

// The text as the body of a JSON string: CP1251 decoded to UTF-8, quotes, backslashes and
// control characters escaped.
std::string json_escaped_cp1251(std::string_view text);

// A CP1251 text as a JSON string, or null when absent.
std::string json_cp1251_or_null(const std::optional<std::string>& text);

// A text the system or a device gave (UTF-8 by right) as a JSON string, or null when absent:
// valid UTF-8 is kept, controls (C0, DEL, C1) are escaped, and every byte that is not part of a
// valid sequence becomes U+FFFD, so that whatever a device sends stays valid JSON.
std::string json_utf8_or_null(const std::optional<std::string>& text);

// The same text for a terminal: valid UTF-8 kept, and controls (C0, DEL, C1), which a terminal
// would act on, and bytes that are not UTF-8 shown as '?'.
std::string terminal_text(std::string_view text);

// The fields as one JSON object: each a string (CP1251 decoded to UTF-8) or null; with `cut`
// given, a last member "cut" says whether the listing was cut.
std::string fields_json(const ReportFields& fields, std::optional<bool> cut = std::nullopt);
