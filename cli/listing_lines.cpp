#include "cli/listing_lines.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101;
constexpr std::uint64_t kHighBits = 0x8080808080808080;
constexpr std::size_t kWord = sizeof(std::uint64_t);
// A line's key and the start of its value are looked at a word at a time; past this much of a
// value, the library's search (faster on long runs) looks for its end.
constexpr std::size_t kWordsBeforeSearch = 4;

// Eight bytes with the first in memory lowest, whatever the machine's order.
std::uint64_t word_at(const char* bytes) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes, kWord);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return word;
}

// The high bit of each byte of `word` that is zero: exact up to the first of them, which is all
// that is read here (a borrow only runs on from a zero byte).
std::uint64_t zero_bytes(std::uint64_t word) { return (word - kOnes) & ~word & kHighBits; }

// Where the first of `a` and `b` stands in `text` from `from`, looking at `words` words at most
// (then at bytes up to the end when fewer than a word are left); `text.size()` when not found,
// and npos when the words ran out first.
std::size_t find_either_in_words(std::string_view text, std::size_t from, char a, char b,
                                 std::size_t words) {
    const std::uint64_t as = kOnes * static_cast<unsigned char>(a);
    const std::uint64_t bs = kOnes * static_cast<unsigned char>(b);
    for (; text.size() - from >= kWord; from += kWord) {
        if (words-- == 0) return std::string_view::npos;
        const std::uint64_t word = word_at(text.data() + from);
        const std::uint64_t found = zero_bytes(word ^ as) | zero_bytes(word ^ bs);
        if (found != 0) return from + static_cast<std::size_t>(std::countr_zero(found)) / 8;
    }
    for (; from < text.size(); ++from) {
        if (text[from] == a || text[from] == b) return from;
    }
    return text.size();
}

// A line's first colon or its end: keys are short, looked at a word at a time to their end.
std::size_t colon_or_end(std::string_view listing) {
    return find_either_in_words(listing, 0, ':', '\r', std::string_view::npos);
}

// The CR that ends the line at `from`, or the listing's end: a short value is read a word at a
// time, a long one with the library's search.
std::size_t line_end(std::string_view listing, std::size_t from) {
    const std::size_t end = find_either_in_words(listing, from, '\r', '\r', kWordsBeforeSearch);
    if (end != std::string_view::npos) return end;
    return std::min(listing.find('\r', from + kWordsBeforeSearch * kWord), listing.size());
}

// How many CRs `listing` holds, a word at a time (a byte-by-byte count is not vectorised at -O2).
std::size_t count_line_ends(std::string_view listing) {
    constexpr std::uint64_t kLowBits = ~kHighBits;
    std::size_t count = 0, at = 0;
    for (; listing.size() - at >= kWord; at += kWord) {
        const std::uint64_t word = word_at(listing.data() + at) ^ (kOnes * '\r');
        // The high bit of each byte that is not zero, with no carry from one byte to the next;
        // then a 1 in each zero byte, summed into the highest by the multiplication.
        const std::uint64_t nonzero = (((word & kLowBits) + kLowBits) | word) & kHighBits;
        count += static_cast<std::size_t>((((nonzero ^ kHighBits) >> 7) * kOnes) >> 56);
    }
    return count + static_cast<std::size_t>(std::count(listing.begin() + at, listing.end(), '\r'));
}

// The key without the padding and the space before " : ", eight spaces at a time.
std::string_view without_trailing_spaces(std::string_view key) {
    while (key.size() >= kWord && word_at(key.data() + key.size() - kWord) == kOnes * ' ') {
        key.remove_suffix(kWord);
    }
    while (!key.empty() && key.back() == ' ') key.remove_suffix(1);
    return key;
}

// The line that `listing` starts with, and its length without the CR.
ListingLine read_line(std::string_view listing, std::size_t& length) {
    const std::size_t colon = colon_or_end(listing);
    if (colon == listing.size() || listing[colon] == '\r') {
        length = colon;
        return {false, {}, listing.substr(0, colon)};
    }
    length = line_end(listing, colon + 1);
    std::string_view value = listing.substr(colon + 1, length - colon - 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    return {true, without_trailing_spaces(listing.substr(0, colon)), value};
}

}  // namespace

std::vector<ListingLine> listing_lines(std::string_view listing) {
    std::vector<ListingLine> lines;
    lines.reserve(count_line_ends(listing));
    while (!listing.empty()) {
        std::size_t end = 0;
        lines.push_back(read_line(listing, end));
        listing.remove_prefix(end);
        if (listing.starts_with("\r\n")) {
            listing.remove_prefix(2);
        } else if (!listing.empty()) {
            listing.remove_prefix(1);  // a CR alone: the formatter writes none
        }
    }
    return lines;
}
