#pragma once
// Two listings compared line by line, each line known by its place in its report: its section
// (the nearest line above it without a colon, or none; such a line heads its own section), its
// key (a line without a colon: its text), and which occurrence of that key in that section it
// is. Places are matched through a hash table, so the cost grows with the lines, not their
// square.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/listing_lines.h"

enum class Change { Changed, Added, Removed };

struct LineDifference {
    Change change = Change::Changed;
    std::optional<std::string_view> section;  // the text heading its section; none before any
    std::size_t occurrence = 1;               // of its key in its section (of its text)
    const ListingLine* old_line = nullptr;    // null when added
    const ListingLine* new_line = nullptr;    // null when removed

    // The line as it stands in the report that has it (the new one, unless it was removed).
    const ListingLine& line() const { return new_line != nullptr ? *new_line : *old_line; }
};

// The differences from `old_lines` to `new_lines` (texts in one encoding), in the order of the
// new listing, each line removed where it stood in the old one. A cut listing lost its end: the
// other's lines past the last line both hold are not taken as added or removed.
std::vector<LineDifference> diff_lines(const std::vector<ListingLine>& old_lines, bool old_cut,
                                       const std::vector<ListingLine>& new_lines, bool new_cut);

// `new_value` less `old_value` when both are whole numbers (ASCII digits, perhaps after a sign,
// of any length): "+N" or "-N" without leading zeros, or "0".
std::optional<std::string> whole_number_delta(std::string_view old_value,
                                              std::string_view new_value);
