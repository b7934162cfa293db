#pragma once
// The lines of a formatted listing read back as entries and texts, as the formatter settled them:
// it writes an entry as its key padded to the widest, " : ", the value and CR LF, and a line
// without a colon as its text and CR LF. Keys hold no colon, so a line's first colon is the
// separator; values and texts hold no CR, while LF is text like any other byte.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

// A line read back: an entry's key (without the padding) and value, or the text of a line
// without a colon; views into what holds them. 24 bytes, where two views and a flag took 40.
class ListingLine {
public:
    ListingLine() = default;
    ListingLine(bool is_entry, std::string_view key, std::string_view text)
        : key_(key.data()),
          text_(text.data()),
          key_size_(static_cast<std::uint32_t>(key.size()) | (is_entry ? kEntry : 0u)),
          text_size_(static_cast<std::uint32_t>(text.size())) {}

    bool is_entry() const { return (key_size_ & kEntry) != 0; }
    std::string_view key() const { return {key_, key_size_ & ~kEntry}; }
    std::string_view text() const { return {text_, text_size_}; }

private:
    // The top bit of the key's size says that the line is an entry: texts are shorter than
    // 2 GiB (a listing is at most 1 MiB, a report's JSON 32 MiB).
    static constexpr std::uint32_t kEntry = 0x80000000;

    const char* key_ = nullptr;
    const char* text_ = nullptr;
    std::uint32_t key_size_ = 0;
    std::uint32_t text_size_ = 0;
};

namespace listing_detail {

inline constexpr std::uint64_t kOnes = 0x0101010101010101;
inline constexpr std::uint64_t kHighBits = 0x8080808080808080;
inline constexpr std::size_t kWord = sizeof(std::uint64_t);
// A line's key and the start of its value are looked at a word at a time; past this much of a
// value, the library's search (faster on long runs) looks for its end.
inline constexpr std::size_t kWordsBeforeSearch = 4;

// Eight bytes with the first in memory lowest, whatever the machine's order.
inline std::uint64_t word_at(const char* bytes) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes, kWord);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return word;
}

// The high bit of each byte of `word` that is zero: exact up to the first of them, which is all
// that is read here (a borrow only runs on from a zero byte).
inline std::uint64_t zero_bytes(std::uint64_t word) { return (word - kOnes) & ~word & kHighBits; }

// The first of `a` and `b` from `at`, looking at `words` words at most (then at bytes up to
// `end` when fewer than a word are left); `end` when there is none, null when the words ran out.
inline const char* find_either(const char* at, const char* end, char a, char b,
                               std::size_t words) {
    const std::uint64_t as = kOnes * static_cast<unsigned char>(a);
    const std::uint64_t bs = kOnes * static_cast<unsigned char>(b);
    for (; static_cast<std::size_t>(end - at) >= kWord; at += kWord) {
        if (words-- == 0) return nullptr;
        const std::uint64_t word = word_at(at);
        const std::uint64_t found = zero_bytes(word ^ as) | zero_bytes(word ^ bs);
        if (found != 0) return at + std::countr_zero(found) / 8;
    }
    for (; at != end; ++at) {
        if (*at == a || *at == b) return at;
    }
    return end;
}

// The CR that ends the line from `at`, or `end`: a short value is read a word at a time, a long
// one with the library's search.
inline const char* line_end(const char* at, const char* end) {
    const char* found = find_either(at, end, '\r', '\r', kWordsBeforeSearch);
    if (found != nullptr) return found;
    at += kWordsBeforeSearch * kWord;
    found = static_cast<const char*>(std::memchr(at, '\r', static_cast<std::size_t>(end - at)));
    return found != nullptr ? found : end;
}

// The key without the padding and the space before " : ", eight spaces at a time.
inline std::string_view without_trailing_spaces(const char* key, const char* colon) {
    while (colon - key >= static_cast<std::ptrdiff_t>(kWord) &&
           word_at(colon - kWord) == kOnes * ' ') {
        colon -= kWord;
    }
    while (colon != key && colon[-1] == ' ') --colon;
    return {key, static_cast<std::size_t>(colon - key)};
}

// How many CRs `text` holds, a word at a time.
std::size_t count_line_ends(std::string_view text);

}  // namespace listing_detail

// A line as it is read: an entry's key (without the padding) and value, or the text of a line
// without a colon as both.
struct ReadLine {
    bool is_entry = false;
    std::string_view key;
    std::string_view value;
};

// A listing's lines kept as places in its text: where each starts and where its first colon
// stands, 8 bytes a line (a listing of short lines has hundreds of thousands, and each byte kept
// for them is a page to fault in). Its key, value and end are found from those when asked for.
// Lines are read one at a time, in order, or all at once. Views into the text, which must
// outlive it.
class Listing {
public:
    using Index = std::uint32_t;

    Listing() = default;
    // For reading `text` line by line; `lines`, when known, makes room for them at once.
    Listing(std::string_view text, std::size_t lines)
        : text_(text), at_(text.data()), last_end_(text.data()) {
        places_.reserve(lines != 0 ? lines : listing_detail::count_line_ends(text) + 1);
    }
    // Every line of `text`.
    explicit Listing(std::string_view text) : Listing(text, 0) {
        for (ReadLine line; read_line(line);) {
        }
    }

    // Reads the next line into `line`; false when all have been read. A line's first colon or CR
    // is looked for, then for an entry the CR after the value; a CR LF (or a CR alone, which the
    // formatter never writes) ends the line. Inlined: it is called for every line, and a call
    // costs about what reading a short line does.
    [[gnu::always_inline]] bool read_line(ReadLine& line) {
        using namespace listing_detail;
        const char* at = at_;
        const char* const finish = text_.data() + text_.size();
        if (at == finish) return false;
        const char* const stop = find_either(at, finish, ':', '\r', std::size_t(-1));
        const auto start = static_cast<std::uint32_t>(at - text_.data());
        const char* end = stop;
        if (stop == finish || *stop == '\r') {
            places_.push_back({start, 0});
            const std::string_view whole(at, static_cast<std::size_t>(stop - at));
            line = {false, whole, whole};
        } else {
            end = line_end(stop + 1, finish);
            places_.push_back({start, static_cast<std::uint32_t>(stop - at + 1)});
            const char* const value = stop + 1 + (stop + 1 != end && stop[1] == ' ' ? 1 : 0);
            line = {true, without_trailing_spaces(at, stop),
                    std::string_view(value, static_cast<std::size_t>(end - value))};
        }
        last_end_ = end;
        if (end != finish && ++end != finish && *end == '\n') ++end;
        at_ = end;
        return true;
    }

    // The lines read so far, and how many room was made for.
    Index size() const { return static_cast<Index>(places_.size()); }
    std::size_t room() const { return places_.capacity(); }
    bool is_entry(Index line) const { return places_[line].colon != 0; }

    // An entry's key without the padding, or the text of a line without a colon.
    [[gnu::always_inline]] std::string_view key(Index line) const {
        const Place& place = places_[line];
        if (place.colon == 0) return text(line);
        const char* start = text_.data() + place.start;
        return listing_detail::without_trailing_spaces(start, start + place.colon - 1);
    }
    // An entry's value (after the colon and the space the formatter puts there), or the text of a
    // line without a colon.
    [[gnu::always_inline]] std::string_view text(Index line) const {
        const Place& place = places_[line];
        std::size_t begin = place.start + place.colon;
        const std::size_t finish = end(line);
        if (place.colon != 0 && begin < finish && text_[begin] == ' ') ++begin;
        return {text_.data() + begin, finish - begin};
    }
    // As a line read back on its own: a line without a colon has no key there.
    ListingLine operator[](Index line) const {
        return {is_entry(line), is_entry(line) ? key(line) : std::string_view(), text(line)};
    }

private:
    struct Place {
        std::uint32_t start = 0;
        std::uint32_t colon = 0;  // 0 for a line without one, else 1 + its place in the line
    };

    // Where the line ends, before its CR (or CR LF), which the next line's start tells.
    [[gnu::always_inline]] std::size_t end(Index line) const {
        if (line + 1 == places_.size()) return static_cast<std::size_t>(last_end_ - text_.data());
        const std::size_t next = places_[line + 1].start;
        return text_[next - 1] == '\r' ? next - 1 : next - 2;
    }

    std::string_view text_;
    std::vector<Place> places_;
    const char* at_ = nullptr;        // where the next line to read starts
    const char* last_end_ = nullptr;  // where the last line read ends: it may have no CR
};

// Every line of `listing`, in order (views into it).
std::vector<ListingLine> listing_lines(std::string_view listing);
