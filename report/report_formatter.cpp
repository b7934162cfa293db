// Two passes over the raw report: normalise every entry to "key:value" on a line of its own and
// measure the widest key, then write the entries aligned and pick out the four fields.
// The normalised text is kept as spans into the raw text and never written out: a line whose
// last value holds many colons is read again from each of them, so written out it would grow
// with the square of the line's length.

#include "report/report_formatter.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <exception>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t kNone = std::string_view::npos;
constexpr std::size_t kCrumLength = 11;
constexpr std::string_view kCrumMarker = "CRUM-";

struct Span {
    std::size_t begin = 0;
    std::size_t end = 0;

    std::size_t size() const { return end - begin; }
};

// One line of the normalised report: an entry "key:value", or plain text held in `key`.
struct NormalLine {
    Span key;
    Span value;
    bool is_entry = false;
};

struct NormalReport {
    std::vector<NormalLine> lines;  // empty plain lines are left out: re-split at CR they vanish
    std::size_t key_width = 0;      // the longest key
};

// Pass 1: cuts the raw text into lines at CR and every line into its entries. Each colon starts
// at most one entry and every byte is looked at a bounded number of times.
class Normaliser {
public:
    explicit Normaliser(std::string_view raw) : raw_(raw) {}

    NormalReport run() {
        std::size_t begin = 0;
        while (begin < raw_.size()) {
            const std::size_t end = std::min(raw_.find('\r', begin), raw_.size());
            if (end > begin) add_line({begin, end});
            begin = end + 1;
        }
        return std::move(report_);
    }

private:
    void add_line(Span line) {
        const std::size_t first = find(':', line.begin, line.end);
        if (first == kNone) {
            add_plain(trim(line));
        } else if (find(':', first + 1, line.end) == kNone) {
            add_entry(trim({line.begin, first}), trim({first + 1, line.end}));
        } else {
            split_entries(line);
        }
    }

    // An entry ends at a double space; without one it runs to the line's end and the next
    // entry is read again from inside its value.
    void split_entries(Span line) {
        const std::size_t line_end = trim(line).end;
        std::size_t no_gap_from = line.end;  // a search for a double space from here on fails
        std::size_t current = line.begin;
        for (std::size_t colon; (colon = find(':', current, line.end)) != kNone;) {
            std::size_t next = skip_spaces(colon + 1, line.end);
            const std::size_t gap = next < no_gap_from ? find_gap(next, line.end) : kNone;
            Span value{next, std::max(next, line_end)};
            if (gap == kNone) {
                no_gap_from = next;
            } else {
                value.end = gap;  // the byte before a first double space is no space
                next = gap + 1;
            }
            add_entry(trim({current, colon}), value);
            current = next;
        }
    }

    void add_entry(Span key, Span value) {
        report_.lines.push_back({key, value, true});
        report_.key_width = std::max(report_.key_width, key.size());
    }

    void add_plain(Span text) {
        if (text.size() > 0) report_.lines.push_back({text, {}, false});
    }

    std::size_t find(char c, std::size_t from, std::size_t end) const {
        return raw_.substr(0, end).find(c, from);
    }

    std::size_t find_gap(std::size_t from, std::size_t end) const {
        return raw_.substr(0, end).find("  ", from);
    }

    std::size_t skip_spaces(std::size_t from, std::size_t end) const {
        while (from < end && raw_[from] == ' ') ++from;
        return from;
    }

    Span trim(Span span) const {
        span.begin = skip_spaces(span.begin, span.end);
        while (span.end > span.begin && raw_[span.end - 1] == ' ') --span.end;
        return span;
    }

    std::string_view raw_;
    NormalReport report_;
};

// Where a pattern occurs in the raw text, so that any span is searched in logarithmic time.
class Occurrences {
public:
    Occurrences(std::string_view raw, std::string_view pattern) : length_(pattern.size()) {
        for (std::size_t at = raw.find(pattern); at != kNone; at = raw.find(pattern, at + 1)) {
            starts_.push_back(at);
        }
    }

    // Start of the first occurrence lying wholly inside `span`, or kNone.
    std::size_t first_in(Span span) const {
        const auto it = std::lower_bound(starts_.begin(), starts_.end(), span.begin);
        return it != starts_.end() && *it + length_ <= span.end ? *it : kNone;
    }

    bool in_line(const NormalLine& line) const {
        return first_in(line.key) != kNone || (line.is_entry && first_in(line.value) != kNone);
    }

private:
    std::vector<std::size_t> starts_;
    std::size_t length_;
};

// A key text "Name:" lies in a line "key:value" where the key ends in "Name" or the value
// holds "Name:"; keys hold no colon and plain lines none at all.
class KeyText {
public:
    KeyText(std::string_view raw, std::string_view text)
        : raw_(raw), stem_(text.substr(0, text.size() - 1)), in_values_(raw, text) {}

    bool in_line(const NormalLine& line) const {
        if (!line.is_entry) return false;
        const std::size_t key_size = line.key.size();
        return (key_size >= stem_.size() &&
                raw_.substr(line.key.end - stem_.size(), stem_.size()) == stem_) ||
               in_values_.first_in(line.value) != kNone;
    }

private:
    std::string_view raw_;
    std::string_view stem_;
    Occurrences in_values_;
};

template <std::size_t N>
bool any_in_line(const std::array<KeyText, N>& texts, const NormalLine& line) {
    return std::any_of(texts.begin(), texts.end(),
                       [&line](const KeyText& text) { return text.in_line(line); });
}

// Pass 2, the fields: each is taken from the first normalised line that qualifies.
class FieldFinder {
public:
    explicit FieldFinder(std::string_view raw)
        : raw_(raw),
          model_{{{raw, "Model Name:"}}},
          serial_{{{raw, "Machine Serial Number:"}, {raw, "USB Serial:"}}},
          firmware_{{{raw, "Firmware Version:"},
                     {raw, "Firmware/Engine Version:"},
                     {raw, "OS Verison:"}}},
          crum_(raw, kCrumMarker),
          imaging_(raw, "Imaging"),
          drum_(raw, "Drum") {}

    void inspect(const NormalLine& line) {
        take_value_if(fields_.model, model_, line);
        take_value_if(fields_.serial, serial_, line);
        take_value_if(fields_.firmware, firmware_, line);
        if (crum_open_) inspect_crum(line);
    }

    bool finished() const {
        return fields_.model && fields_.serial && fields_.firmware && !crum_open_;
    }

    ReportFields take() { return std::move(fields_); }

private:
    template <std::size_t N>
    void take_value_if(std::optional<std::string>& field, const std::array<KeyText, N>& texts,
                       const NormalLine& line) {
        if (!field && any_in_line(texts, line)) field = text(line.value.begin, line.value.end);
    }

    // A line naming the imaging unit or the drum ends the search before any CRUM after it.
    void inspect_crum(const NormalLine& line) {
        if (imaging_.in_line(line) || drum_.in_line(line)) {
            crum_open_ = false;
        } else if (crum_.in_line(line)) {
            fields_.crum = crum_value(line);
            crum_open_ = false;
        }
    }

    // The characters after the line's first marker, read across the colon after the key.
    std::string crum_value(const NormalLine& line) const {
        const std::size_t in_key = crum_.first_in(line.key);
        if (in_key == kNone) {
            const std::size_t from = crum_.first_in(line.value) + kCrumMarker.size();
            return text(from, std::min(line.value.end, from + kCrumLength));
        }
        const std::size_t from = in_key + kCrumMarker.size();
        std::string value = text(from, std::min(line.key.end, from + kCrumLength));
        if (line.is_entry && value.size() < kCrumLength) {
            value += ':';
            const std::size_t rest = kCrumLength - value.size();
            value += text(line.value.begin, std::min(line.value.end, line.value.begin + rest));
        }
        return value;
    }

    std::string text(std::size_t begin, std::size_t end) const {
        return std::string(raw_.substr(begin, end - begin));
    }

    std::string_view raw_;
    std::array<KeyText, 1> model_;
    std::array<KeyText, 2> serial_;
    std::array<KeyText, 3> firmware_;
    Occurrences crum_;
    Occurrences imaging_;
    Occurrences drum_;
    ReportFields fields_;
    bool crum_open_ = true;
};

ReportFields find_fields(std::string_view raw, const NormalReport& report) {
    FieldFinder finder(raw);
    for (const NormalLine& line : report.lines) {
        if (finder.finished()) break;
        finder.inspect(line);
    }
    return finder.take();
}

// "%-Ws : %s\r\n" for an entry, the text and CR LF for a plain line.
std::size_t line_length(const NormalLine& line, std::size_t width) {
    return line.is_entry ? width + 3 + line.value.size() + 2 : line.key.size() + 2;
}

void append_line(std::string_view raw, const NormalLine& line, std::size_t width,
                 std::string& out) {
    out.append(raw.substr(line.key.begin, line.key.size()));
    if (line.is_entry) {
        out.append(width - line.key.size(), ' ');
        out.append(" : ");
        out.append(raw.substr(line.value.begin, line.value.size()));
    }
    out.append("\r\n");
}

// Writes whole lines while they fit the cap; the size is known first, so memory is taken once.
void write_listing(std::string_view raw, const NormalReport& report, FormattedReport& result) {
    constexpr std::size_t kCap = ReportFormatter::kMaxListingSize;
    std::uint64_t total = 0;  // 64 bits: wide keys times many entries can pass 4 GiB
    for (const NormalLine& line : report.lines) total += line_length(line, report.key_width);
    result.cut = total > kCap;
    result.text.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(total, kCap)));
    for (const NormalLine& line : report.lines) {
        if (line_length(line, report.key_width) > kCap - result.text.size()) break;
        append_line(raw, line, report.key_width, result.text);
    }
}

}  // namespace

bool ReportFormatter::format(const char* raw, FormattedReport& out) noexcept {
    try {
        const std::string_view text = raw != nullptr ? std::string_view(raw) : std::string_view();
        const NormalReport report = Normaliser(text).run();
        FormattedReport result;
        result.fields = find_fields(text, report);
        write_listing(text, report, result);
        out = std::move(result);
        return true;
    } catch (const std::exception&) {  // bad_alloc, or a length the library refuses
        out = FormattedReport{};
        return false;
    }
}
