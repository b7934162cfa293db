// Two passes over the raw report: normalise every entry to "key:value" on a line of its own and
// measure the widest key, then write the entries aligned and pick out the four fields.
// The normalised text is never written out: a line whose last value holds many colons is read
// again from each of them, so written out it would grow with the square of the line's length.
// Instead pass 1 is a sweep that hands each normalised line, as spans into the raw text, to a
// visitor; it runs once to measure and find the fields, and once more to write the listing.
// The texts that make the fields are looked for by forward sweeps, and only while a field they
// serve is still open, so a report made of them costs about what an ordinary one does.

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
constexpr std::size_t kNearBytes = 4;     // how far the normaliser looks before calling memchr
constexpr std::size_t kNearText = 16;     // the same for one field text
constexpr std::size_t kNearLetters = 64;  // the same for the first letters of several

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

// `at` when a text of `length` bytes starting there lies wholly inside `span`, else kNone.
std::size_t lies_in(std::size_t at, Span span, std::size_t length) {
    return at < span.end && span.end - at >= length ? at : kNone;
}

// Whether `text` (of two bytes or more) starts at `at`. Near misses mostly differ in the first
// two bytes, which are looked at before a call compares the rest.
bool text_at(std::string_view raw, std::size_t at, std::string_view text) {
    return raw.size() - at >= text.size() && raw[at] == text[0] && raw[at + 1] == text[1] &&
           raw.compare(at, text.size(), text) == 0;
}

// Position of the first `c` in [from, end), or kNone. Looks at the next bytes itself, as the
// normaliser does: a report made of the field texts holds their first letters every few bytes.
std::size_t find_near(std::string_view raw, char c, std::size_t from, std::size_t end) {
    const std::size_t near_end = std::min(end, from + kNearText);
    for (; from < near_end; ++from) {
        if (raw[from] == c) return from;
    }
    return from < end ? raw.substr(0, end).find(c, from) : kNone;
}

// What one reader has learnt of where the texts it looks for start: nowhere from its first
// span up to `from`, and at `from` when `hit`. Texts are looked for only inside the spans
// asked about, and each place once: never the whole report ahead for a text that is absent.
struct Cursor {
    std::size_t from = 0;
    bool hit = false;

    // Start of the first text lying wholly inside `span` (counted as `length` bytes), or kNone.
    // `find(from, end)` gives the cursor for the first text starting in [from, end). The spans
    // asked must begin ever later.
    template <typename Find>
    std::size_t first_in(Span span, std::size_t length, const Find& find) {
        if (span.size() < length) return kNone;  // most keys and values of hostile reports
        if (from < span.begin || (!hit && from < span.end)) {
            *this = find(std::max(from, span.begin), span.end);
        }
        return hit ? lies_in(from, span, length) : kNone;
    }
};

// Where one text occurs in the raw text, looked for as the lines ask. (Listing every
// occurrence up front cost more than all the rest on reports made of the field texts.)
class Occurrences {
public:
    Occurrences(std::string_view raw, std::string_view text) : raw_(raw), text_(text) {}

    std::size_t first_in(Span span, Cursor& cursor) const {
        return cursor.first_in(span, text_.size(), [this](std::size_t from, std::size_t end) {
            return find(from, end);
        });
    }

    std::string_view text() const { return text_; }

private:
    Cursor find(std::size_t from, std::size_t end) const {
        for (std::size_t at; (at = find_near(raw_, text_[0], from, end)) != kNone; from = at + 1) {
            if (text_at(raw_, at, text_)) return {at, true};
        }
        return {std::max(from, end), false};
    }

    std::string_view raw_;
    std::string_view text_;
};

// Several texts looked for together, in one sweep that goes on from the last text found: looked
// for one by one, a report made of their first letters would be read once for every text. Where
// first letters lie close, the sweep looks at the bytes itself; where they lie far apart, the
// library finds the next of each letter.
class AnyOccurrence {
public:
    using Texts = std::vector<std::string_view>;

    AnyOccurrence(std::string_view raw, Texts texts) : raw_(raw) {
        set(std::move(texts));
        sweep(0);
    }

    // Start of the first text lying wholly inside `span`, each counted as long as the shortest
    // (enough to tell that none does), or kNone. The spans asked must begin ever later.
    std::size_t first_in(Span span) {
        if (next_ < span.begin) sweep(span.begin);
        return lies_in(next_, span, shortest_);
    }

    // Looks only for `texts`, some of those looked for so far: none of them starts where none
    // of those did, so the sweep goes on from the last text found.
    void narrow(Texts texts) {
        set(std::move(texts));
        if (next_ != kNone && !any_at(next_)) sweep(next_ + 1);
    }

    // No text starts from the first span asked about up to here.
    std::size_t next() const { return next_; }

private:
    using Letters = std::uint32_t;  // one bit for each first letter (the last bit for the 32nd on)

    static unsigned char byte(char c) { return static_cast<unsigned char>(c); }

    void set(Texts texts);
    void sweep(std::size_t from);
    std::size_t skip_to_start(std::size_t from, std::size_t end, bool& letters) const;
    std::size_t next_letter(std::size_t from);

    bool any_at(std::size_t at) const {
        return std::any_of(texts_.begin(), texts_.end(),
                           [&](std::string_view text) { return text_at(raw_, at, text); });
    }

    std::string_view raw_;
    Texts texts_;
    std::size_t shortest_ = kNone;
    std::string letters_;                   // the first letters, each once
    std::array<Letters, 256> as_first_{};   // the first letter each byte is
    std::array<Letters, 256> as_second_{};  // the first letters each byte may follow in a text
    std::array<std::size_t, 256> letter_next_{};  // where the library found each letter last
    std::size_t next_ = 0;  // the first text at or after the last place swept from
};

void AnyOccurrence::set(Texts texts) {
    texts_ = std::move(texts);
    shortest_ = kNone;
    letters_.clear();
    as_first_.fill(0);
    as_second_.fill(0);
    for (const std::string_view text : texts_) {
        shortest_ = std::min(shortest_, text.size());
        if (letters_.find(text[0]) == std::string::npos) letters_ += text[0];
        const auto bit = Letters{1} << std::min<std::size_t>(letters_.find(text[0]), 31);
        as_first_[byte(text[0])] |= bit;
        as_second_[byte(text[1])] |= bit;
    }
}

// Moves `next_` to the first text starting at or after `from`. (Defined out of the class, so
// that it is not copied into the check that every line makes.)
void AnyOccurrence::sweep(std::size_t from) {
    next_ = kNone;
    const std::size_t last = raw_.empty() ? 0 : raw_.size() - 1;  // texts have two bytes or more
    while (from < last) {
        const std::size_t near_end = std::min(last, from + kNearLetters);
        bool letters_near = false;
        while ((from = skip_to_start(from, near_end, letters_near)) < near_end) {
            if (any_at(from)) {
                next_ = from;
                return;
            }
            ++from;
        }
        if (!letters_near) from = next_letter(from);
    }
}

// The first place in [from, end) whose first two bytes may begin a text, or `end`; `letters`
// is set if a first letter was passed. Near misses are turned down on their first two bytes,
// four places at a time, as most places begin no text.
std::size_t AnyOccurrence::skip_to_start(std::size_t from, std::size_t end, bool& letters) const {
    Letters passed = 0;
    const auto may_start = [&](std::size_t at) {
        const Letters first = as_first_[byte(raw_[at])];
        passed |= first;
        return first & as_second_[byte(raw_[at + 1])];
    };
    for (; end - from >= 4; from += 4) {
        const Letters starts =
            may_start(from) | may_start(from + 1) | may_start(from + 2) | may_start(from + 3);
        if (starts != 0) break;
    }
    while (from < end && may_start(from) == 0) ++from;
    letters = letters || passed != 0;
    return from;
}

// The next place at or after `from` holding a first letter. What the library found for each
// letter is kept, so that it reads the text once for each. (`from` is never 0 here, and the
// places kept start at 0: each letter is looked for the first time it is asked about.)
std::size_t AnyOccurrence::next_letter(std::size_t from) {
    std::size_t next = kNone;
    for (const char letter : letters_) {
        std::size_t& found = letter_next_[byte(letter)];
        if (found < from) found = raw_.find(letter, from);
        next = std::min(next, found);
    }
    return next;
}

// Whether a watched text lies in a line's key, and which kind lies in its value: where none
// does, no field can be found there and those texts are not looked for one by one.
struct Sighting {
    bool in_key = false;
    bool whole_text_in_value = false;
    bool marker_in_value = false;
};

// A pattern searched in the keys and plain lines, and in the values.
class Marker {
public:
    Marker(std::string_view raw, std::string_view text) : occurrences_(raw, text) {}

    std::size_t first_in_key(const NormalLine& line) {
        return occurrences_.first_in(line.key, key_cursor_);
    }

    std::size_t first_in_value(const NormalLine& line) {
        return line.is_entry ? occurrences_.first_in(line.value, value_cursor_) : kNone;
    }

    bool in_line(const NormalLine& line, Sighting seen) {
        return (seen.in_key && first_in_key(line) != kNone) ||
               (seen.marker_in_value && first_in_value(line) != kNone);
    }

    std::string_view text() const { return occurrences_.text(); }

private:
    Occurrences occurrences_;
    Cursor key_cursor_;
    Cursor value_cursor_;
};

// A key text "Name:" lies in a line "key:value" where the key ends in "Name" or the value
// holds "Name:"; keys hold no colon and plain lines none at all.
class KeyText {
public:
    KeyText(std::string_view raw, std::string_view text)
        : raw_(raw), stem_(text.substr(0, text.size() - 1)), in_values_(raw, text) {}

    bool in_line(const NormalLine& line, Sighting seen) {
        if (!line.is_entry) return false;
        const bool key_ends_in_stem =
            seen.in_key && line.key.size() >= stem_.size() &&
            raw_.substr(line.key.end - stem_.size(), stem_.size()) == stem_;
        return key_ends_in_stem ||
               (seen.whole_text_in_value && in_values_.first_in_value(line) != kNone);
    }

    std::string_view stem() const { return stem_; }
    std::string_view whole_text() const { return in_values_.text(); }

private:
    std::string_view raw_;
    std::string_view stem_;
    Marker in_values_;
};

template <std::size_t N>
bool any_in_line(std::array<KeyText, N>& texts, const NormalLine& line, Sighting seen) {
    return std::any_of(texts.begin(), texts.end(),
                       [&](KeyText& text) { return text.in_line(line, seen); });
}

// Tells cheaply whether a line may qualify for a field still looked for: a text of one (or the
// stem of a key text) lies in the key, or a whole text in the value. A whole text in a value
// qualifies at once and the field's texts are then no longer watched; keys do not overlap. So
// lines that pass but do not qualify are at most as many as the texts in the report.
class Watch {
public:
    using Texts = AnyOccurrence::Texts;

    // The stems and markers looked for in keys; the whole texts and, on their own, the markers
    // looked for in values.
    struct WatchedTexts {
        Texts in_keys;
        Texts whole_texts;
        Texts markers;
    };

    Watch(std::string_view raw, WatchedTexts texts)
        : in_keys_(raw, std::move(texts.in_keys)),
          whole_texts_(raw, std::move(texts.whole_texts)),
          markers_(raw, std::move(texts.markers)) {
        look_ahead();
    }

    // In most lines the key and the value end before the next text watched there.
    Sighting sight(const NormalLine& line) {
        const bool clear = line.key.end <= keys_clear_until_ &&
                           (!line.is_entry || line.value.end <= values_clear_until_);
        return clear ? Sighting{} : sight_near(line);
    }

    // Stops watching the texts of the fields that are settled.
    void narrow(WatchedTexts texts) {
        in_keys_.narrow(std::move(texts.in_keys));
        whole_texts_.narrow(std::move(texts.whole_texts));
        markers_.narrow(std::move(texts.markers));
        look_ahead();
    }

private:
    // Out of line: few lines need it, and the check every line makes stays small.
    [[gnu::noinline]] Sighting sight_near(const NormalLine& line);

    void look_ahead() {
        keys_clear_until_ = in_keys_.next();
        values_clear_until_ = std::min(whole_texts_.next(), markers_.next());
    }

    AnyOccurrence in_keys_;
    AnyOccurrence whole_texts_;
    AnyOccurrence markers_;
    // No text watched in keys starts from the last key seen up to the first place, nor one
    // watched in values from the last value seen up to the second.
    std::size_t keys_clear_until_ = 0;
    std::size_t values_clear_until_ = 0;
};

Sighting Watch::sight_near(const NormalLine& line) {
    const Sighting seen{in_keys_.first_in(line.key) != kNone,
                        line.is_entry && whole_texts_.first_in(line.value) != kNone,
                        line.is_entry && markers_.first_in(line.value) != kNone};
    look_ahead();
    return seen;
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
          drum_(raw, "Drum"),
          watch_(raw, watched()) {}

    void inspect(const NormalLine& line) {
        if (open_ == 0) return;
        const Sighting seen = watch_.sight(line);
        if (seen.in_key || seen.whole_text_in_value || seen.marker_in_value) examine(line, seen);
    }

    ReportFields take() { return std::move(fields_); }

private:
    // Out of line: few lines need it, and the check every line makes stays small.
    [[gnu::noinline]] void examine(const NormalLine& line, Sighting seen) {
        take_value_if(fields_.model, model_, line, seen);
        take_value_if(fields_.serial, serial_, line, seen);
        take_value_if(fields_.firmware, firmware_, line, seen);
        if (crum_open_) inspect_crum(line, seen);
        if (open_fields() != open_) {
            open_ = open_fields();
            watch_.narrow(watched());
        }
    }

    int open_fields() const {
        return !fields_.model + !fields_.serial + !fields_.firmware + crum_open_;
    }

    // The texts of the fields still looked for.
    Watch::WatchedTexts watched() const {
        Watch::WatchedTexts texts;
        const auto add = [&](const auto& key_texts, bool open) {
            for (const KeyText& text : key_texts) {
                if (!open) continue;
                texts.in_keys.push_back(text.stem());
                texts.whole_texts.push_back(text.whole_text());
            }
        };
        add(model_, !fields_.model);
        add(serial_, !fields_.serial);
        add(firmware_, !fields_.firmware);
        for (const Marker* marker : {&crum_, &imaging_, &drum_}) {
            if (!crum_open_) break;
            texts.in_keys.push_back(marker->text());
            texts.markers.push_back(marker->text());
        }
        return texts;
    }

    template <std::size_t N>
    void take_value_if(std::optional<std::string>& field, std::array<KeyText, N>& texts,
                       const NormalLine& line, Sighting seen) {
        if (!field && any_in_line(texts, line, seen)) {
            field = text(line.value.begin, line.value.end);
        }
    }

    // A line naming the imaging unit or the drum ends the search before any CRUM after it.
    void inspect_crum(const NormalLine& line, Sighting seen) {
        if (imaging_.in_line(line, seen) || drum_.in_line(line, seen)) {
            crum_open_ = false;
        } else if (crum_.in_line(line, seen)) {
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
