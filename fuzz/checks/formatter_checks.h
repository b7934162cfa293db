#pragma once
// What the formatter must do with any raw report, checked on one input: the fuzzer traps on a
// failure, the regression tests expect none. A plain reading of the two passes serves as the
// reference: it writes the normalised text out, so it is skipped when that would grow too big.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "report/report_formatter.h"
#include "report/report_text.h"

namespace formatter_checks {

// The reference gives up when the normalised text passes this many bytes.
inline constexpr std::size_t kReferenceLimit = std::size_t{8} << 20;

inline std::vector<std::string> split_at_cr(std::string_view text) {
    std::vector<std::string> pieces;
    std::size_t begin = 0;
    while (begin <= text.size()) {
        const std::size_t end = std::min(text.find('\r', begin), text.size());
        if (end > begin) pieces.emplace_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return pieces;
}

inline std::string trim(std::string_view text) {
    const std::size_t begin = text.find_first_not_of(' ');
    if (begin == std::string_view::npos) return {};
    return std::string(text.substr(begin, text.find_last_not_of(' ') - begin + 1));
}

// Pass 1 written out: every entry "key:value" on a line of its own, and the widest key.
class ReferenceNormaliser {
public:
    bool run(std::string_view raw) {
        for (const std::string& line : split_at_cr(raw)) {
            const auto colons = std::count(line.begin(), line.end(), ':');
            if (colons == 0)
                add(trim(line));
            else if (colons == 1)
                add_entry(line);
            else
                split_entries(line);
            if (normal_.size() > kReferenceLimit) return false;
        }
        return true;
    }

    const std::string& normal() const { return normal_; }
    std::size_t width() const { return width_; }

private:
    void add(const std::string& text) { normal_ += text + '\r'; }

    void add_entry(std::string_view piece) {
        const std::size_t colon = piece.find(':');
        const std::string key = trim(piece.substr(0, colon));
        width_ = std::max(width_, key.size());
        add(key + ':' + trim(piece.substr(colon + 1)));
    }

    void split_entries(std::string_view line) {
        std::size_t current = 0;
        for (std::size_t colon; (colon = line.find(':', current)) != std::string_view::npos;) {
            std::size_t next = colon + 1;
            while (next < line.size() && line[next] == ' ') ++next;
            std::size_t end = line.size();
            const std::size_t gap = line.find("  ", next);
            if (gap != std::string_view::npos) {
                end = gap;
                next = gap + 1;
            }
            add_entry(line.substr(current, end - current));
            if (normal_.size() > kReferenceLimit) return;
            current = next;
        }
    }

    std::string normal_;
    std::size_t width_ = 0;
};

inline bool has(const std::string& line, std::string_view text) {
    return line.find(text) != std::string::npos;
}

// Pass 2's field rules, one normalised line at a time.
inline void take_fields(const std::string& line, ReportFields& fields, bool& crum_open) {
    const std::size_t colon = line.find(':');
    const std::string value = colon == std::string::npos ? std::string() : line.substr(colon + 1);
    if (!fields.model && has(line, "Model Name:")) fields.model = value;
    if (!fields.serial && (has(line, "Machine Serial Number:") || has(line, "USB Serial:"))) {
        fields.serial = value;
    }
    if (!fields.firmware && (has(line, "Firmware Version:") ||
                             has(line, "Firmware/Engine Version:") || has(line, "OS Verison:"))) {
        fields.firmware = value;
    }
    if (!crum_open) return;
    if (has(line, "Imaging") || has(line, "Drum")) {
        crum_open = false;
    } else if (has(line, "CRUM-")) {
        fields.crum = line.substr(line.find("CRUM-") + 5, 11);
        crum_open = false;
    }
}

// "%-Ws : %s\r\n" for an entry, the line and CR LF for plain text.
inline std::string listing_line(const std::string& line, std::size_t width) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) return line + "\r\n";
    return line.substr(0, colon) + std::string(width - colon, ' ') + " : " +
           line.substr(colon + 1) + "\r\n";
}

// The reference result: the listing's whole lines while they fit the cap, and the fields.
inline std::optional<FormattedReport> reference_format(const char* raw) {
    ReferenceNormaliser normaliser;
    if (!normaliser.run(raw)) return std::nullopt;
    FormattedReport out;
    bool crum_open = true;
    for (const std::string& line : split_at_cr(normaliser.normal())) {
        take_fields(line, out.fields, crum_open);
        ++out.full_lines;
        if (out.cut) continue;
        const std::string printed = listing_line(line, normaliser.width());
        out.cut = out.text.size() + printed.size() > ReportFormatter::kMaxListingSize;
        if (!out.cut) {
            out.text += printed;
            ++out.lines;
        }
    }
    return out;
}

// Every line ends in CR LF, and nothing else holds a CR or a NUL. Listings can be long: the
// library's searches are quicker here than a loop over every byte.
inline std::string check_listing_shape(const std::string& text) {
    if (text.size() > ReportFormatter::kMaxListingSize) return "listing longer than the cap";
    if (!text.empty() && (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0)) {
        return "listing does not end in CR LF";
    }
    if (text.find('\0') != std::string::npos) return "NUL inside the listing";
    for (std::size_t cr = text.find('\r'); cr != std::string::npos; cr = text.find('\r', cr + 1)) {
        if (cr + 1 == text.size() || text[cr + 1] != '\n') return "CR without LF in the listing";
    }
    return {};
}

// Values come from one line of the report and carry no spaces at their ends.
inline std::string check_value(const std::optional<std::string>& value, std::string_view raw,
                               const char* name) {
    if (!value) return {};
    const std::string& v = *value;
    if (v.find('\r') != std::string::npos || v.find('\0') != std::string::npos) {
        return std::string(name) + " holds a CR or a NUL";
    }
    if (!v.empty() && (v.front() == ' ' || v.back() == ' ')) {
        return std::string(name) + " has a space at an end";
    }
    if (raw.find(v) == std::string_view::npos) return std::string(name) + " is not in the report";
    return {};
}

inline std::string check_fields(const ReportFields& fields, std::string_view raw) {
    for (const std::string& failure :
         {check_value(fields.model, raw, "model"), check_value(fields.serial, raw, "serial"),
          check_value(fields.firmware, raw, "firmware")}) {
        if (!failure.empty()) return failure;
    }
    if (fields.crum && (fields.crum->size() > 11 || fields.crum->find('\r') != std::string::npos ||
                        fields.crum->find('\0') != std::string::npos)) {
        return "CRUM longer than 11 bytes or holding a CR or a NUL";
    }
    if (fields.crum && raw.find("CRUM-") == std::string_view::npos) return "CRUM without a marker";
    return {};
}

inline bool same(const FormattedReport& a, const FormattedReport& b) {
    return a.text == b.text && a.fields == b.fields && a.cut == b.cut && a.lines == b.lines &&
           a.full_lines == b.full_lines;
}

// The worker's buffer: kReportBufferSize bytes, the report, its NUL, and after it bytes left
// over from before. Reports the worker could not hold are given in a copy of their own.
inline std::unique_ptr<char[]> in_worker_buffer(const char* raw, std::size_t size) {
    const std::size_t capacity = std::max(size + 1, kReportBufferSize);
    std::unique_ptr<char[]> buffer(new char[capacity]);
    std::memset(buffer.get(), 'K', capacity);
    std::memcpy(buffer.get(), raw, size + 1);
    return buffer;
}

// The raw report in a heap buffer of exactly its size and a NUL, and again in the worker's
// buffer: both must give one result (which also shows that formatting is repeatable).
inline std::string check_formatter(const std::uint8_t* data, std::size_t size) {
    std::unique_ptr<char[]> exact(new char[size + 1]);
    if (size > 0) std::memcpy(exact.get(), data, size);
    exact[size] = '\0';
    FormattedReport first;
    FormattedReport second;
    if (!ReportFormatter::format(exact.get(), first)) return "format failed";
    if (!ReportFormatter::format(in_worker_buffer(exact.get(), size).get(), second)) {
        return "format failed in the worker's buffer";
    }
    if (!same(first, second)) return "the worker's buffer formats differently";
    const std::string_view raw(exact.get());
    for (const std::string& failure :
         {check_listing_shape(first.text), check_fields(first.fields, raw)}) {
        if (!failure.empty()) return failure;
    }
    const std::optional<FormattedReport> reference = reference_format(exact.get());
    if (!reference) return {};
    if (first.fields != reference->fields) return "fields differ from the reference";
    if (first.cut != reference->cut) return "cut differs from the reference";
    if (first.lines != reference->lines || first.full_lines != reference->full_lines) {
        return "line counts differ from the reference";
    }
    if (first.text != reference->text) return "listing differs from the reference";
    return {};
}

}  // namespace formatter_checks
