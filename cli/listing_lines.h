#pragma once
// The lines of a formatted listing read back as entries and texts, as the formatter settled them:
// it writes an entry as its key padded to the widest, " : ", the value and CR LF, and a line
// without a colon as its text and CR LF. Keys hold no colon, so a line's first colon is the
// separator; values and texts hold no CR, while LF is text like any other byte.

#include <cstdint>
#include <string_view>
#include <vector>

// A line read back: an entry's key (without the padding) and value, or the text of a line
// without a colon; views into what holds them. 24 bytes, where two views and a flag took 40: a
// listing may have hundreds of thousands of lines.
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

// Every line of `listing`, in order (views into it).
std::vector<ListingLine> listing_lines(std::string_view listing);
