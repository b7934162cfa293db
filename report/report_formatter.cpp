// Two passes over the raw report: normalise every entry to "key:value" on a line of its own and
// measure the widest key, then write the entries aligned and pick out the four fields.
// The normalised text is never written out: a line whose last value holds many colons is read
// again from each of them, so written out it would grow with the square of the line's length.
// Instead pass 1 is a sweep that hands each normalised line, as spans into the raw text, to a
// visitor; it runs once to measure and find the fields, and once more to write the listing.

#include "report/report_formatter.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t kNone = std::string_view::npos;
constexpr std::size_t kCrumLength = 11;
constexpr std::string_view kCrumMarker = "CRUM-";
constexpr std::size_t kNearBytes = 4;

struct Span {
    std::size_t begin = 0;
    std::size_t end = 0;

    std::size_t size() const { return end - begin; }
};

// One line of the normalised report: an entry "key:value", or plain text held in `key`.
// Keys and plain lines begin ever later in the raw text, and so do values.
struct NormalLine {
    Span key;
    Span value;
    bool is_entry = false;
};

// Pass 1: cuts the raw text into lines at CR and every line into its entries, and hands each
// non-empty normalised line to `visit` (empty ones vanish when the text is split again at CR).
// Each colon starts at most one entry and every byte is looked at a bounded number of times.
template <typename Visit>
class Normaliser {
public:
    Normaliser(std::string_view raw, Visit& visit) : raw_(raw), visit_(visit) {}

    void run() {
        for (std::size_t begin = 0; begin < raw_.size() && !stopped_;) {
            if (raw_[begin] == '\r') {
                ++begin;  // an empty piece
                continue;
            }
            const std::size_t end = std::min(find('\r', begin, raw_.size()), raw_.size());
            add_line({begin, end});
            begin = end;
        }
    }

private:
    void add_line(Span line) {
        const std::size_t first = find(':', line.begin, line.end);
        if (first == kNone) {
            const Span text = trim(line);
            if (text.size() > 0) emit({text, {}, false});
        } else if (find(':', first + 1, line.end) == kNone) {
            emit({trim({line.begin, first}), trim({first + 1, line.end}), true});
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
        for (std::size_t colon; !stopped_ && (colon = find(':', current, line.end)) != kNone;) {
            std::size_t next = skip_spaces(colon + 1, line.end);
            const std::size_t gap = next < no_gap_from ? find_gap(next, line.end) : kNone;
            Span value{next, std::max(next, line_end)};
            if (gap == kNone) {
                no_gap_from = next;
            } else {
                value.end = gap;  // the byte before a first double space is no space
                next = gap + 1;
            }
            emit({trim({current, colon}), value, true});
            current = next;
        }
    }

    void emit(const NormalLine& line) { stopped_ = !visit_(line); }

    // Looks at the next few bytes itself: entries and lines can be very short, and a library
    // call per colon or per line then costs more than the search.
    std::size_t find(char c, std::size_t from, std::size_t end) const {
        const std::size_t near_end = std::min(end, from + kNearBytes);
        for (; from < near_end; ++from) {
            if (raw_[from] == c) return from;
        }
        return from < end ? raw_.substr(0, end).find(c, from) : kNone;
    }

    std::size_t find_gap(std::size_t from, std::size_t end) const {
        for (; from + 1 < end; ++from) {
            if (raw_[from] == ' ' && raw_[from + 1] == ' ') return from;
        }
        return kNone;
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
    Visit& visit_;
    bool stopped_ = false;
};

template <typename Visit>
void for_each_line(std::string_view raw, Visit&& visit) {
    Normaliser<std::remove_reference_t<Visit>>(raw, visit).run();
}

// Sorted start positions of a pattern in the raw text. Spans are asked about in line order,
// so a cursor that only moves forward finds the first occurrence in amortised constant time.
class Occurrences {
public:
    Occurrences(std::string_view raw, std::string_view pattern) : length_(pattern.size()) {
        for (std::size_t at = raw.find(pattern); at != kNone; at = raw.find(pattern, at + 1)) {
            starts_.push_back(at);
        }
    }

    // The occurrences of `pattern` that `next` follows: those of the pattern plus `next`.
    Occurrences(std::string_view raw, const Occurrences& pattern, char next)
        : length_(pattern.length_ + 1) {
        for (const std::size_t at : pattern.starts_) {
            if (at + pattern.length_ < raw.size() && raw[at + pattern.length_] == next) {
                starts_.push_back(at);
            }
        }
    }

    // Every occurrence of all `parts`, counted as long as their shortest pattern.
    explicit Occurrences(const std::vector<const Occurrences*>& parts) : length_(kNone) {
        for (const Occurrences* part : parts) {
            starts_.insert(starts_.end(), part->starts_.begin(), part->starts_.end());
            length_ = std::min(length_, part->length_);
        }
        std::sort(starts_.begin(), starts_.end());
    }

    // A place in the list, with the occurrence there (kNone past the end) kept at hand.
    struct Cursor {
        std::size_t index = 0;
        std::size_t next = kNone;
    };

    Cursor cursor() const { return {0, starts_.empty() ? kNone : starts_[0]}; }

    // Start of the first occurrence lying wholly inside `span`, or kNone. The spans asked
    // with one cursor must begin ever later.
    std::size_t first_in(Span span, Cursor& cursor) const {
        while (cursor.next < span.begin) {
            cursor.next = ++cursor.index < starts_.size() ? starts_[cursor.index] : kNone;
        }
        const bool inside = cursor.next < span.end && span.end - cursor.next >= length_;
        return inside ? cursor.next : kNone;
    }

private:
    std::vector<std::size_t> starts_;
    std::size_t length_;
};

// A pattern searched in the keys and plain lines, and in the values.
class Marker {
public:
    Marker(std::string_view raw, std::string_view text) : occurrences_(raw, text) {}
    explicit Marker(Occurrences occurrences) : occurrences_(std::move(occurrences)) {}

    std::size_t first_in_key(const NormalLine& line) {
        return occurrences_.first_in(line.key, key_cursor_);
    }

    std::size_t first_in_value(const NormalLine& line) {
        return line.is_entry ? occurrences_.first_in(line.value, value_cursor_) : kNone;
    }

    bool in_line(const NormalLine& line) {
        return first_in_key(line) != kNone || first_in_value(line) != kNone;
    }

    const Occurrences& occurrences() const { return occurrences_; }

private:
    Occurrences occurrences_;
    Occurrences::Cursor key_cursor_ = occurrences_.cursor();
    Occurrences::Cursor value_cursor_ = occurrences_.cursor();
};

// A key text "Name:" lies in a line "key:value" where the key ends in "Name" or the value
// holds "Name:"; keys hold no colon and plain lines none at all.
class KeyText {
public:
    KeyText(std::string_view raw, std::string_view text)
        : raw_(raw), stem_(text.substr(0, text.size() - 1)), stems_(raw, stem_),
          in_values_(Occurrences(raw, stems_, ':')) {}

    bool in_line(const NormalLine& line) {
        if (!line.is_entry) return false;
        const bool key_ends_in_stem =
            line.key.size() >= stem_.size() &&
            raw_.substr(line.key.end - stem_.size(), stem_.size()) == stem_;
        return key_ends_in_stem || in_values_.first_in_value(line) != kNone;
    }

    const Occurrences& stems() const { return stems_; }
    const Occurrences& whole_texts() const { return in_values_.occurrences(); }

private:
    std::string_view raw_;
    std::string_view stem_;
    Occurrences stems_;
    Marker in_values_;
};

template <std::size_t N>
bool any_in_line(std::array<KeyText, N>& texts, const NormalLine& line) {
    return std::any_of(texts.begin(), texts.end(),
                       [&line](KeyText& text) { return text.in_line(line); });
}

// Tells cheaply whether a line may qualify for a field still looked for: a text of one (or the
// stem of a key text) lies in the key, or a whole text in the value. A whole text in a value
// qualifies at once and the field's texts are then no longer watched; keys do not overlap. So
// lines that pass but do not qualify are at most as many as the texts in the report.
class Watch {
public:
    using Parts = std::vector<const Occurrences*>;

    Watch(const Parts& in_keys, const Parts& in_values)
        : in_keys_(in_keys), in_values_(in_values) {}

    bool may_hold(const NormalLine& line) {
        return in_keys_.first_in(line.key, key_cursor_) != kNone ||
               (line.is_entry && in_values_.first_in(line.value, value_cursor_) != kNone);
    }

private:
    Occurrences in_keys_;
    Occurrences in_values_;
    Occurrences::Cursor key_cursor_ = in_keys_.cursor();
    Occurrences::Cursor value_cursor_ = in_values_.cursor();
};

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
          drum_(raw, "Drum"),
          watch_(watched(&KeyText::stems), watched(&KeyText::whole_texts)) {}

    void inspect(const NormalLine& line) {
        if (open_ > 0 && watch_.may_hold(line)) examine(line);
    }

    ReportFields take() { return std::move(fields_); }

private:
    void examine(const NormalLine& line) {
        take_value_if(fields_.model, model_, line);
        take_value_if(fields_.serial, serial_, line);
        take_value_if(fields_.firmware, firmware_, line);
        if (crum_open_) inspect_crum(line);
        if (open_fields() != open_) {
            open_ = open_fields();
            watch_ = Watch(watched(&KeyText::stems), watched(&KeyText::whole_texts));
        }
    }

    int open_fields() const {
        return !fields_.model + !fields_.serial + !fields_.firmware + crum_open_;
    }

    // The texts of the fields still looked for; `part` picks a key text's stems or whole texts.
    Watch::Parts watched(const Occurrences& (KeyText::*part)() const) const {
        Watch::Parts parts;
        const auto add = [&](const auto& texts, bool open) {
            for (const KeyText& text : texts) {
                if (open) parts.push_back(&(text.*part)());
            }
        };
        add(model_, !fields_.model);
        add(serial_, !fields_.serial);
        add(firmware_, !fields_.firmware);
        for (const Marker* marker : {&crum_, &imaging_, &drum_}) {
            if (crum_open_) parts.push_back(&marker->occurrences());
        }
        return parts;
    }

    template <std::size_t N>
    void take_value_if(std::optional<std::string>& field, std::array<KeyText, N>& texts,
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
    std::string crum_value(const NormalLine& line) {
        const std::size_t in_key = crum_.first_in_key(line);
        if (in_key == kNone) {
            const std::size_t from = crum_.first_in_value(line) + kCrumMarker.size();
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
    Marker crum_;
    Marker imaging_;
    Marker drum_;
    ReportFields fields_;
    bool crum_open_ = true;
    int open_ = open_fields();
    Watch watch_;  // last: it is made from the state of the fields
};

// "%-Ws : %s\r\n" for an entry, the text and CR LF for a plain line.
std::size_t line_length(const NormalLine& line, std::size_t width) {
    return line.is_entry ? width + 3 + line.value.size() + 2 : line.key.size() + 2;
}

// What the first sweep learns: the key width, the listing's size and lines, and the fields.
struct Survey {
    std::size_t width = 0;
    std::uint64_t listing_size = 0;  // 64 bits: wide keys times many entries can pass 4 GiB
    std::size_t lines = 0;
    ReportFields fields;
};

Survey survey(std::string_view raw) {
    std::size_t width = 0;
    std::uint64_t entries = 0;
    std::uint64_t unpadded_size = 0;
    std::size_t lines = 0;
    FieldFinder finder(raw);
    for_each_line(raw, [&](const NormalLine& line) {
        if (line.is_entry) width = std::max(width, line.key.size());
        entries += line.is_entry ? 1 : 0;
        unpadded_size += line_length(line, 0);
        ++lines;
        finder.inspect(line);
        return true;
    });
    return {width, unpadded_size + entries * width, lines, finder.take()};
}

// Writes one line at `at`, which has room for it; returns the end of what was written.
char* put_line(std::string_view raw, const NormalLine& line, std::size_t width, char* at) {
    at = std::copy_n(raw.data() + line.key.begin, line.key.size(), at);
    if (line.is_entry) {
        at = std::fill_n(at, width - line.key.size(), ' ');
        at = std::copy_n(" : ", 3, at);
        at = std::copy_n(raw.data() + line.value.begin, line.value.size(), at);
    }
    return std::copy_n("\r\n", 2, at);
}

// Writes whole lines while they fit the cap. The size is known first, so the text is sized
// once, written in place, and shortened to the last whole line when the listing is cut.
void write_listing(std::string_view raw, const Survey& survey, FormattedReport& result) {
    const auto size = static_cast<std::size_t>(
        std::min<std::uint64_t>(survey.listing_size, ReportFormatter::kMaxListingSize));
    result.text.resize(size);
    std::size_t written = 0;
    for_each_line(raw, [&](const NormalLine& line) {
        result.cut = line_length(line, survey.width) > size - written;
        if (!result.cut) {
            char* const at = result.text.data() + written;
            written += static_cast<std::size_t>(put_line(raw, line, survey.width, at) - at);
            ++result.lines;
        }
        return !result.cut;
    });
    result.text.resize(written);
    result.full_lines = survey.lines;
}

}  // namespace

bool ReportFormatter::format(const char* raw, FormattedReport& out) noexcept {
    try {
        const std::string_view text = raw != nullptr ? std::string_view(raw) : std::string_view();
        FormattedReport result;
        Survey found = survey(text);
        write_listing(text, found, result);
        result.fields = std::move(found.fields);
        out = std::move(result);
        return true;
    } catch (const std::exception&) {  // bad_alloc, or a length the library refuses
        out = FormattedReport{};
        return false;
    }
}
