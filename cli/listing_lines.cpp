#include "cli/listing_lines.h"

#include <algorithm>

namespace {

ListingLine read_line(std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return {false, {}, line};
    std::string_view key = line.substr(0, colon);
    while (!key.empty() && key.back() == ' ') key.remove_suffix(1);  // the padding and " "
    std::string_view value = line.substr(colon + 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    return {true, key, value};
}

}  // namespace

std::vector<ListingLine> listing_lines(std::string_view listing) {
    std::vector<ListingLine> lines;
    lines.reserve(static_cast<std::size_t>(std::count(listing.begin(), listing.end(), '\r')));
    while (!listing.empty()) {
        const std::size_t end = std::min(listing.find('\r'), listing.size());
        lines.push_back(read_line(listing.substr(0, end)));
        listing.remove_prefix(end);
        if (listing.starts_with("\r\n")) {
            listing.remove_prefix(2);
        } else if (!listing.empty()) {
            listing.remove_prefix(1);  // a CR alone: the formatter writes none
        }
    }
    return lines;
}
