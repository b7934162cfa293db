#pragma once
// What a retrieval produces: the printer's report text and the four values shown above it.

#include <cstddef>
#include <optional>
#include <string>

// Size of the buffer that receives the raw report, its terminating NUL included.
inline constexpr std::size_t kReportBufferSize = 102400;

// The four values taken from a report; each is absent until a line of the report supplies it.
// Texts stay in the code page the printer used (the system's ANSI code page).
struct ReportFields {
    std::optional<std::string> model;
    std::optional<std::string> serial;
    std::optional<std::string> firmware;
    std::optional<std::string> crum;

    bool operator==(const ReportFields&) const = default;
};
