#include "link/usb_quirks.h"

#include <algorithm>

namespace {

// Every entry for the four supported vendors (0924, 413c: none) in CUPS's quirks file
// (org.cups.usb-quirks, as Debian's cups-server-common installs it), in the file's own format and
// order; after each, the line of the file it comes from.
constexpr std::string_view kBuiltIn =
    "0x03f0 0x0004 unidir\n"        // line 24
    "0x03f0 0x0104 unidir\n"        // line 27
    "0x03f0 0x0204 unidir\n"        // line 30
    "0x03f0 0x0304 unidir\n"        // line 33
    "0x03f0 0x0404 unidir\n"        // line 36
    "0x03f0 0x0504 unidir\n"        // line 39
    "0x03f0 0x0604 unidir\n"        // line 42
    "0x03f0 0x0804 unidir\n"        // line 45
    "0x03f0 0x1104 unidir\n"        // line 48
    "0x0924 0x3ce9 no-reattach\n"   // line 186
    "0x0924 0x4293 no-reattach\n"   // line 189
    "0x04e8 soft-reset\n"           // line 195
    "0x04e8 0x344f whitelist\n"     // line 198
    "0x04e8 0x330f unidir\n"        // line 201
    "0x03f0 0x0c17 delay-close\n"   // line 306
    "0x03f0 0x0e17 delay-close\n"   // line 309
    "0x03f0 0x0f17 delay-close\n"   // line 312
    "0x03f0 0x1017 delay-close\n"   // line 315
    "0x03f0 0x1117 delay-close\n"   // line 316
    "0x03f0 0x1d17 delay-close\n"   // line 319
    "0x0924 0x4294 no-reattach\n"   // line 325
    "0x03f0 0x1e17 delay-close\n"   // line 340
    "0x03f0 0x002a no-reattach\n"   // line 349 (0x03F0 0x002A there)
    "0x0924 no-reattach\n"          // line 364
    "0x03f0 0x0314 no-reattach\n";  // line 373

constexpr std::string_view kSpaces = " \t\v\f\r";

// The next token of `line` from `at`, or empty at the end.
std::string_view next_token(std::string_view line, std::size_t& at) {
    const std::size_t start = line.find_first_not_of(kSpaces, at);
    if (start == std::string_view::npos) {
        at = line.size();
        return {};
    }
    const std::size_t end = std::min(line.find_first_of(kSpaces, start), line.size());
    at = end;
    return line.substr(start, end - start);
}

bool hex_digit(char c, unsigned& value) {
    if (c >= '0' && c <= '9') value = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f') value = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') value = static_cast<unsigned>(c - 'A' + 10);
    else return false;
    return true;
}

// A USB ID as the file writes it: 1 to 4 hexadecimal digits, 0x before them or not.
bool usb_id(std::string_view token, std::uint16_t& id) {
    if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X'))
        token.remove_prefix(2);
    if (token.empty() || token.size() > 4) return false;
    unsigned value = 0;
    for (const char c : token) {
        unsigned digit = 0;
        if (!hex_digit(c, digit)) return false;
        value = value * 16 + digit;
    }
    id = static_cast<std::uint16_t>(value);
    return true;
}

bool starts_with_digit(std::string_view token) {
    return !token.empty() && token[0] >= '0' && token[0] <= '9';
}

bool lower_letter(char c) { return c >= 'a' && c <= 'z'; }

bool word_character(char c) { return lower_letter(c) || (c >= '0' && c <= '9') || c == '-'; }

// A letter, then letters, digits and '-': never taken for a product.
bool usable_word(std::string_view word) {
    return !word.empty() && word.size() <= UsbQuirkTable::kMaxWordLength &&
           lower_letter(word[0]) && std::all_of(word.begin(), word.end(), word_character);
}

}  // namespace

bool UsbQuirks::has(std::string_view word) const {
    return std::find(words.begin(), words.end(), word) != words.end();
}

UsbQuirkTable UsbQuirkTable::built_in() {
    UsbQuirkTable table;
    table.add(kBuiltIn);
    return table;
}

std::size_t UsbQuirkTable::add(std::string_view text) {
    std::size_t skipped = 0;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        if (!add_line(text.substr(0, end))) ++skipped;
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return skipped;
}

// False when the line cannot be read (a comment or a blank line can).
bool UsbQuirkTable::add_line(std::string_view line) {
    if (line.size() > kMaxLineLength) return false;
    line = line.substr(0, line.find('#'));
    std::size_t at = 0;
    const std::string_view vendor_token = next_token(line, at);
    if (vendor_token.empty()) return true;
    std::uint16_t vendor = 0, product = 0;
    if (!usb_id(vendor_token, vendor) || vendor == 0) return false;
    std::size_t after_product = at;
    std::string_view token = next_token(line, after_product);
    if (starts_with_digit(token)) {
        if (!usb_id(token, product)) return false;
        at = after_product;
    }
    std::vector<std::string> words;
    for (token = next_token(line, at); !token.empty(); token = next_token(line, at)) {
        if (!usable_word(token)) return false;
        if (std::find(words.begin(), words.end(), token) != words.end()) continue;
        if (words.size() == kMaxWords) return false;
        words.emplace_back(token);
    }
    const std::uint32_t key = static_cast<std::uint32_t>(vendor) << 16 | product;
    if (entries_.size() >= kMaxEntries && entries_.find(key) == entries_.end()) return false;
    entries_[key] = std::move(words);
    return true;
}

UsbQuirks UsbQuirkTable::find(std::uint16_t vendor, std::uint16_t product) const {
    const std::uint32_t vendor_key = static_cast<std::uint32_t>(vendor) << 16;
    auto entry = entries_.find(vendor_key | product);
    if (entry == entries_.end()) entry = entries_.find(vendor_key);
    if (entry == entries_.end()) return {};
    return {entry->second};
}
