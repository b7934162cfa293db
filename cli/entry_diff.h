#pragma once
// Two listings compared line by line, each line known by its place in its report: its section
// (the nearest line above it without a colon, or none; such a line heads its own section), its
// key (a line without a colon: its text), and which occurrence of that key in that section it
// is. Places are matched through a hash table, so the cost grows with the lines, not their
// square.

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/listing_lines.h"

enum class Change { Changed, Added, Removed };

inline constexpr Listing::Index kNoLine = 0xFFFFFFFF;

// Lines by their number in their listing.
struct LineDifference {
    Change change = Change::Changed;
    Listing::Index occurrence = 1;             // of its key in its section (of its text)
    Listing::Index old_line = kNoLine;         // none when added
    Listing::Index new_line = kNoLine;         // none when removed
    Listing::Index section_line = kNoLine;     // the line heading its section in the listing of
                                               // line(); none before any
    // The line's number in the report that has it (the new one, unless it was removed).
    Listing::Index line() const { return new_line != kNoLine ? new_line : old_line; }
};

// A listing to compare: its text, how many lines it holds when known (0 when not), and whether
// it was cut at its cap.
struct ListingText {
    std::string_view text;
    std::size_t lines = 0;
    bool cut = false;
};

class ListingMatcher;

// Two listings read and their lines matched: the differences from the old one to the new one
// (texts in one encoding), in the order of the new listing, each line removed where it stood in
// the old one. A cut listing lost its end: the other's lines past the last line both hold are not
// taken as added or removed.
class ListingComparison {
public:
    ListingComparison(const ListingText& old_listing, const ListingText& new_listing);
    ~ListingComparison();
    ListingComparison(const ListingComparison&) = delete;
    ListingComparison& operator=(const ListingComparison&) = delete;

    const Listing& old_lines() const;
    const Listing& new_lines() const;

    // Tells `found` each difference in turn, as it is found (none are kept); once.
    void tell_differences(const std::function<void(const LineDifference&)>& found);
    // All the differences at once; once.
    std::vector<LineDifference> differences();

private:
    std::unique_ptr<ListingMatcher> matcher_;
};

// `new_value` less `old_value` when both are whole numbers (ASCII digits, perhaps after a sign,
// of any length): "+N" or "-N" without leading zeros, or "0".
std::optional<std::string> whole_number_delta(std::string_view old_value,
                                              std::string_view new_value);
// The same written at `out`, which has room for whole_number_delta_room() bytes; returns its end,
// or null when they are not both whole numbers.
char* write_whole_number_delta(std::string_view old_value, std::string_view new_value,
                               char* out);
inline std::size_t whole_number_delta_room(std::string_view old_value,
                                           std::string_view new_value) {
    return std::max<std::size_t>({old_value.size(), new_value.size(), 22}) + 2;
}
