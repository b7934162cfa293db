#pragma once
// Lays the raw report out again as an aligned key/value listing and finds the four fields.

#include <cstddef>
#include <string>

#include "report/report_text.h"

struct FormattedReport {
    std::string text;    // the listing, every line ending in CR LF
    ReportFields fields;
    bool cut = false;    // true when the listing was cut at kMaxListingSize
    std::size_t lines = 0;       // the lines in `text`
    std::size_t full_lines = 0;  // the lines of the whole listing: more than `lines` when cut
};

class ReportFormatter {
public:
    // The listing is never longer than this; a longer one ends at the last whole line that fits.
    static constexpr std::size_t kMaxListingSize = std::size_t{1} << 20;

    // Formats the NUL-terminated raw report `raw` (chunks separated by CR). False only when
    // memory for the listing cannot be obtained; `out` is then left empty.
    static bool format(const char* raw, FormattedReport& out) noexcept;
};
