#pragma once
// The lines of a formatted listing read back as entries and texts, as the formatter settled them:
// it writes an entry as its key padded to the widest, " : ", the value and CR LF, and a line
// without a colon as its text and CR LF. Keys hold no colon, so a line's first colon is the
// separator; values and texts hold no CR, while LF is text like any other byte.

#include <string_view>
#include <vector>

struct ListingLine {
    bool is_entry = false;
    std::string_view key;   // an entry's key, without the padding
    std::string_view text;  // an entry's value, or the text of a line without a colon
};

// Every line of `listing`, in order (views into it).
std::vector<ListingLine> listing_lines(std::string_view listing);
