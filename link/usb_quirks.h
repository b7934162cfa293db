#pragma once
// What the Linux printing system (CUPS) has learned of real USB printers with a libusb host: its
// quirks file, one entry a line, `0xVVVV [0xPPPP] word...`. The table holds the entries built in
// here for the four supported vendors and, read over them, those of the system's own quirks files
// (usb_quirks_files.cpp), so that a distribution's newer knowledge replaces ours. Portable: no
// libusb, no system header.
//
// A quirks file is untrusted: a line that cannot be read is skipped, never a failure, and what a
// file can add is bounded (line length, words, entries). How a line is read:
//   - '#' begins a comment, to the end of the line; blank lines are nothing;
//   - the vendor: a hexadecimal number (0x optional) from 0001 to ffff;
//   - then the product, if the next token begins with a digit: such a number too (0 stands for
//     every product of the vendor);
//   - then at most kMaxWords words, each a letter a-z and then a-z, 0-9 or '-', at most
//     kMaxWordLength in all, each kept once in order;
//     words the link has no use for, and words it does not know, are kept to be shown;
//   - anything else (a bad number, another character in a word, too long) skips the line.
// A later entry for the same vendor:product replaces an earlier one; an entry for the product
// applies instead of its vendor's, and a printer with neither has no quirks.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// The words the printing system uses, and what the companion does with each.
namespace usb_quirk {
inline constexpr std::string_view kBlacklist = "blacklist";     // refused: known not to work
inline constexpr std::string_view kDelayClose = "delay-close";  // released a second late
inline constexpr std::string_view kNoReattach = "no-reattach";  // usblp not bound again
inline constexpr std::string_view kSoftReset = "soft-reset";    // SOFT_RESET after the reading
inline constexpr std::string_view kUnidir = "unidir";           // one-way: said on a failure
inline constexpr std::string_view kUsbInit = "usb-init";        // shown only
inline constexpr std::string_view kVendorClass = "vendor-class";  // shown only
inline constexpr std::string_view kWhitelist = "whitelist";     // none of its vendor's quirks
}  // namespace usb_quirk

// The quirks of one printer: the words of the entry that applies to it.
struct UsbQuirks {
    std::vector<std::string> words;
    bool has(std::string_view word) const;
};

class UsbQuirkTable {
public:
    static constexpr std::size_t kMaxLineLength = 512;
    static constexpr std::size_t kMaxWords = 16;
    static constexpr std::size_t kMaxWordLength = 32;
    static constexpr std::size_t kMaxEntries = 4096;

    // The entries built in for the four supported vendors.
    static UsbQuirkTable built_in();
    // The built-in entries, then those of every regular file of the system's quirks folder,
    // $CUPS_DATADIR/usb (default /usr/share/cups/usb), in name order. A folder or a file that
    // cannot be read adds nothing. Not on Windows.
    static UsbQuirkTable of_this_system();

    // Reads the entries of a quirks file's text over those already there; returns how many
    // lines were skipped because they could not be read (or the table was full).
    std::size_t add(std::string_view text);
    // The entry for vendor:product, else the vendor's, else none.
    UsbQuirks find(std::uint16_t vendor, std::uint16_t product) const;
    std::size_t size() const { return entries_.size(); }
    // Every entry: vendor << 16 | product (0: every product of the vendor) -> its words.
    const std::map<std::uint32_t, std::vector<std::string>>& entries() const { return entries_; }

private:
    bool add_line(std::string_view line);

    std::map<std::uint32_t, std::vector<std::string>> entries_;
};
