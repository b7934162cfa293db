#include "cli/listing_lines.h"

#include <algorithm>
#include <cstdint>

namespace listing_detail {

// A byte-by-byte count is not vectorised at -O2.
std::size_t count_line_ends(std::string_view text) {
    constexpr std::uint64_t kLowBits = ~kHighBits;
    std::size_t count = 0, at = 0;
    for (; text.size() - at >= kWord; at += kWord) {
        const std::uint64_t word = word_at(text.data() + at) ^ (kOnes * '\r');
        // The high bit of each byte that is not zero, with no carry from one byte to the next;
        // then a 1 in each zero byte, summed into the highest by the multiplication.
        const std::uint64_t nonzero = (((word & kLowBits) + kLowBits) | word) & kHighBits;
        count += static_cast<std::size_t>((((nonzero ^ kHighBits) >> 7) * kOnes) >> 56);
    }
    return count + static_cast<std::size_t>(std::count(text.begin() + at, text.end(), '\r'));
}

}  // namespace listing_detail

std::vector<ListingLine> listing_lines(std::string_view listing) {
    std::vector<ListingLine> lines;
    Listing read(listing, 0);
    for (ReadLine line; read.read_line(line);) {
        lines.emplace_back(line.is_entry, line.is_entry ? line.key : std::string_view(),
                           line.value);
    }
    return lines;
}
