#pragma once
// A quirks file of any bytes, read over the built-in entries (link/usb_quirks.h): the table stays
// within its bounds, holds only well-formed entries that lookups give back, reads the same text
// twice to the same table, lets a later line replace an earlier one, and takes nothing from
// lines that are all comment.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "link/usb_quirks.h"

namespace usb_quirks_checks {

inline bool well_formed(const std::string& word) {
    if (word.empty() || word.size() > UsbQuirkTable::kMaxWordLength) return false;
    if (word[0] < 'a' || word[0] > 'z') return false;
    for (const char c : word) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
    }
    return true;
}

// What is wrong with one entry of `table`; "" when nothing is.
inline std::string check_entry(const UsbQuirkTable& table, std::uint32_t key,
                               const std::vector<std::string>& words) {
    const auto vendor = static_cast<std::uint16_t>(key >> 16);
    const auto product = static_cast<std::uint16_t>(key & 0xFFFF);
    if (vendor == 0) return "an entry for vendor 0";
    if (words.size() > UsbQuirkTable::kMaxWords) return "more words than the bound";
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (!well_formed(words[i])) return "a word that the format does not allow: " + words[i];
        for (std::size_t k = 0; k < i; ++k) {
            if (words[k] == words[i]) return "a word kept twice: " + words[i];
        }
    }
    if (table.find(vendor, product).words != words) return "a lookup gives another entry";
    return {};
}

// Each line of `text` with '#' before it.
inline std::string commented_out(std::string_view text) {
    std::string out = "#";
    for (const char c : text) {
        out += c;
        if (c == '\n') out += '#';
    }
    return out;
}

inline std::string check_quirks(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    UsbQuirkTable table = UsbQuirkTable::built_in();
    const std::size_t built_in = table.size();
    const std::size_t skipped = table.add(text);
    if (table.size() > UsbQuirkTable::kMaxEntries) return "more entries than the bound";
    std::size_t lines = 0;
    for (const char c : text) lines += c == '\n' ? 1 : 0;
    if (!text.empty() && text.back() != '\n') ++lines;
    if (skipped > lines) return "more lines skipped than the text has";
    for (const auto& [key, words] : table.entries()) {
        const std::string wrong = check_entry(table, key, words);
        if (!wrong.empty()) return wrong;
    }

    UsbQuirkTable twice = UsbQuirkTable::built_in();
    twice.add(text);
    twice.add(text);
    if (twice.entries() != table.entries()) return "the same text read twice gives another table";

    if (table.add("0x04e8 0x344f checked\n") != 0) return "a good line after the text skipped";
    if (table.find(0x04E8, 0x344F).words != std::vector<std::string>{"checked"})
        return "a later line did not replace an earlier one";

    UsbQuirkTable comments = UsbQuirkTable::built_in();
    comments.add(commented_out(text));
    if (comments.size() != built_in) return "a line that is all comment added an entry";
    return {};
}

}  // namespace usb_quirks_checks
