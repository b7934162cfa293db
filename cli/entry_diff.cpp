#include "cli/entry_diff.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <iterator>

#include "cli/name_table.h"

namespace {

using Index = NameIndex;
constexpr Index kNone = kNoLine;
enum Side { kOld = 0, kNew = 1 };
// The top bit of a line's occurrence: an old line taken by a new one, a new line whose value
// differs from its partner's.
constexpr Index kMarked = 0x80000000;

// A line read, or none.
struct Pending {
    bool read = false;
    ReadLine line;
};

}  // namespace

// The two listings are read side by side while their lines have the same names (the same
// kinds and keys under the same sections): those are partners, and their names are needed only
// to number what is printed, so they are not hashed unless something is. From the first line
// that differs in its name, the old report's lines are read and named, each chained to the next
// of its name; each new line is then read and takes the first old line of its name not taken
// yet, which is the one at its place (the same occurrence). A new line whose name is plainly that
// of the old line after the last one taken (the two reports alike there) takes that line's name
// without hashing.
class ListingMatcher {
public:
    using Found = std::function<void(const LineDifference&)>;

    ListingMatcher(const ListingText& old_listing, const ListingText& new_listing)
        : old_(old_listing.text, old_listing.lines),
          new_(new_listing.text, new_listing.lines),
          old_cut_(old_listing.cut),
          new_cut_(new_listing.cut),
          names_(old_.room() + new_.room()) {
        Pending old_line, new_line;
        read_alike(old_line, new_line);
        const Index section = alike_title_ == kNone ? 0 : name_of(new_, alike_title_, 0) + 1;
        old_rest_.reserve(old_.room() - std::min<std::size_t>(old_.room(), alike_));
        read_old(old_line, section);
        new_rest_.reserve(new_.room() - std::min<std::size_t>(new_.room(), alike_));
        read_new(new_line, section);
    }

    const Listing& old_lines() const { return old_; }
    const Listing& new_lines() const { return new_; }

    // The lines alike first (they stand before any other in both listings), then the rest.
    void tell(const Found& found) {
        const bool rest = old_.size() > alike_ || new_.size() > alike_;
        if (changed_alike_ != 0 || rest) tell_alike(found);
        const Index new_held = old_cut_ ? std::max(alike_, new_held_) : new_.size();
        const Index old_held = new_cut_ ? std::max(alike_, old_held_) : old_.size();
        merge(new_held, old_held, found);
    }

private:
    // A line past those alike: its name, its occurrence of it (counted from the first line that
    // is not alike), marked as below, and its partner (a new line's) or the next line of its
    // name (an old line's).
    struct RestLine {
        Index name;
        Index occurrence;
        Index other;
    };

    Index name_of(const Listing& lines, Index line, Index section) {
        return lines.is_entry(line) ? names_.number(section, false, lines.key(line))
                                    : names_.number(0, true, lines.key(line));
    }

    // The line's name; a line without a colon heads the section of those after it. Branched, so
    // that a line's look-up never waits for the one before: the section is the only thing that
    // joins them.
    [[gnu::always_inline]] Index name_of(const ReadLine& line, Index& section) {
        if (line.is_entry) return names_.number(section, false, line.key);
        // A title repeating the one its line is under (a listing of one title) is not hashed.
        if (section != 0 && same_text(names_[section - 1].name.key, line.key)) return section - 1;
        const Index name = names_.number(0, true, line.key);
        section = name + 1;
        return name;
    }

    // The lines both listings begin with that have the same names, two at a time; the first two
    // that do not (or the one line left) are left pending.
    void read_alike(Pending& old_line, Pending& new_line) {
        for (;;) {
            old_line.read = old_.read_line(old_line.line);
            new_line.read = new_.read_line(new_line.line);
            if (!old_line.read || !new_line.read) return;
            const ReadLine& was = old_line.line;
            const ReadLine& is = new_line.line;
            if (was.is_entry != is.is_entry || !same_text(was.key, is.key)) return;
            if (alike_ % 64 == 0) changed_bits_.push_back(0);
            if (!is.is_entry) alike_title_ = alike_;
            if (!same_text(was.value, is.value)) {
                changed_bits_.back() |= std::uint64_t{1} << (alike_ % 64);
                ++changed_alike_;
            }
            old_line.read = new_line.read = false;
            ++alike_;
        }
    }

    // Each old line past those alike named, counted, and chained after the last old line of its
    // name.
    void read_old(Pending& pending, Index section) {
        ReadLine& line = pending.line;
        for (Index j = alike_; pending.read || old_.read_line(line); ++j) {
            pending.read = false;
            const Index name = name_of(line, section);
            NameEntry& entry = names_[name];
            const Index occurrence = ++entry.count[kOld];
            if (occurrence == 1) {
                entry.next_old = j;
            } else {
                old_rest_[entry.last_old - alike_].other = j;
            }
            entry.last_old = j;
            old_rest_.push_back({name, occurrence, kNone});
        }
    }

    // Whether a new line, in the section numbered `section`, has the name of old line `j`.
    bool has_old_name(const ReadLine& line, Index section, Index j) const {
        if (line.is_entry != old_.is_entry(j) || !same_text(line.key, old_.key(j))) return false;
        return !line.is_entry || names_[old_rest_[j - alike_].name].name.section == section;
    }

    // Each new line past those alike named and counted, given the old line at its place if
    // there is one, and marked when its value differs from that line's.
    void read_new(Pending& pending, Index section) {
        Index likely = alike_;  // the old line whose name the next new line likely has
        ReadLine& line = pending.line;
        for (Index i = alike_; pending.read || new_.read_line(line); ++i) {
            pending.read = false;
            Index name = 0;
            if (likely < old_.size() && has_old_name(line, section, likely)) {
                name = old_rest_[likely - alike_].name;
                if (!line.is_entry) section = name + 1;
            } else {
                name = name_of(line, section);
            }
            NameEntry& entry = names_[name];
            const Index occurrence = ++entry.count[kNew];
            if (occurrence > entry.count[kOld]) {
                new_rest_.push_back({name, occurrence, kNone});
                ++likely;
                continue;
            }
            const Index j = entry.next_old;
            RestLine& partner = old_rest_[j - alike_];
            entry.next_old = partner.other;
            partner.occurrence |= kMarked;
            // A line without a colon is named by its text: the same name, the same text.
            const bool changed = line.is_entry && !same_text(line.value, old_.text(j));
            new_rest_.push_back({name, occurrence | (changed ? kMarked : 0), j});
            new_held_ = i + 1;
            old_held_ = std::max(old_held_, j + 1);
            likely = j + 1;
        }
    }

    // The lines alike named and counted at last, for the occurrences of those that changed,
    // which are told, and of every later line of their names.
    void tell_alike(const Found& found) {
        Index section = 0;
        Index section_line = kNone;
        for (Index k = 0; k < alike_; ++k) {
            const Index name = name_of(new_, k, section);
            if (!new_.is_entry(k)) {
                section = name + 1;
                section_line = k;
            }
            const Index occurrence = ++names_[name].count_alike;
            if ((changed_bits_[k / 64] >> (k % 64) & 1) != 0) {
                found({Change::Changed, occurrence, k, k, section_line});
            }
        }
    }

    // In the new order; an old line removed comes before the first new line whose partner
    // stood after it. Each report's lines are walked in order, keeping the line that heads the
    // section they are in.
    void merge(Index new_held, Index old_held, const Found& found) {
        Index new_section = alike_title_;
        old_section_ = alike_title_;
        next_old_ = alike_;
        for (Index i = alike_; i < new_.size(); ++i) {
            if (!new_.is_entry(i)) new_section = i;
            const RestLine& line = new_rest_[i - alike_];
            const Index j = line.other;
            if (j == kNone) {
                if (i < new_held) {
                    found({Change::Added, occurrence(line), kNone, i, new_section});
                }
                continue;
            }
            removed_before(j + 1, found);  // a partner always stands before old_held
            if ((line.occurrence & kMarked) != 0) {
                found({Change::Changed, occurrence(line), j, i, new_section});
            }
        }
        removed_before(old_held, found);
    }

    // The old lines up to `end` not walked yet: those without a partner are removed.
    void removed_before(Index end, const Found& found) {
        for (; next_old_ < end; ++next_old_) {
            if (!old_.is_entry(next_old_)) old_section_ = next_old_;
            const RestLine& line = old_rest_[next_old_ - alike_];
            if ((line.occurrence & kMarked) == 0) {
                found({Change::Removed, occurrence(line), next_old_, kNone, old_section_});
            }
        }
    }

    // Counted from the first line of the listing.
    Index occurrence(const RestLine& line) const {
        return (line.occurrence & ~kMarked) + names_[line.name].count_alike;
    }

    Listing old_;
    Listing new_;
    bool old_cut_;
    bool new_cut_;
    NameTable<> names_;
    Index alike_ = 0;            // the lines both listings begin with that have one name
    Index alike_title_ = kNone;  // the last line without a colon among those
    Index changed_alike_ = 0;    // how many of those differ in their values
    std::vector<std::uint64_t> changed_bits_;  // which, a bit for each line alike
    std::vector<RestLine> old_rest_;  // marked: taken by a new line
    std::vector<RestLine> new_rest_;  // marked: its value differs from its partner's
    Index new_held_ = 0;              // past the last new line that has a partner
    Index old_held_ = 0;              // past the last old line that has one
    Index next_old_ = 0;              // the first old line not walked yet
    Index old_section_ = kNone;
};

namespace {

// A whole number's sign and digits, without leading zeros (none for zero).
struct WholeNumber {
    bool negative = false;
    std::string_view digits;
};

bool whole_number(std::string_view text, WholeNumber& number) {
    number.negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (text.empty() || !std::all_of(text.begin(), text.end(), digit)) return false;
    number.digits = text.substr(std::min(text.find_first_not_of('0'), text.size()));
    number.negative = number.negative && !number.digits.empty();
    return true;
}

int compare_magnitudes(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return a.compare(b) < 0 ? -1 : a.compare(b) > 0 ? 1 : 0;
}

// Digits of `a` + `b` (`sign` 1) or of `a` - `b` (`sign` -1, `a` not the smaller), most
// significant first, without leading zeros.
std::string combine_magnitudes(std::string_view a, std::string_view b, int sign) {
    std::string digits;
    digits.reserve(a.size() + 1);
    int carry = 0;
    for (std::size_t i = 0; i < a.size() || i < b.size() || carry != 0; ++i) {
        const int x = i < a.size() ? a[a.size() - 1 - i] - '0' : 0;
        const int y = i < b.size() ? b[b.size() - 1 - i] - '0' : 0;
        int digit = x + sign * y + carry;
        carry = digit < 0 ? -1 : digit / 10;
        digit = digit < 0 ? digit + 10 : digit % 10;
        digits.push_back(static_cast<char>('0' + digit));
    }
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    std::reverse(digits.begin(), digits.end());
    return digits;
}

// Numbers of up to 18 digits, and the difference of two, fit in 64 bits: most counters.
constexpr std::size_t kMachineDigits = 18;

// A whole number of at most 18 digits (leading zeros aside) as its value; false for any other
// text, whole numbers longer than that included.
bool machine_number(std::string_view text, std::int64_t& value) {
    const char* at = text.data();
    const char* const end = at + text.size();
    if (at == end) return false;
    const bool negative = *at == '-';
    if (negative || *at == '+') ++at;
    if (at == end) return false;
    while (end - at > 1 && *at == '0') ++at;
    if (end - at > static_cast<std::ptrdiff_t>(kMachineDigits)) return false;
    std::int64_t number = 0;
    for (; at != end; ++at) {
        const unsigned digit = static_cast<unsigned char>(*at) - unsigned{'0'};
        if (digit > 9) return false;
        number = number * 10 + digit;
    }
    value = negative ? -number : number;
    return true;
}

// "+N", "-N" or "0" at `out`; returns its end.
char* write_signed(std::int64_t delta, char* out) {
    if (delta == 0) {
        *out = '0';
        return out + 1;
    }
    *out = delta < 0 ? '-' : '+';
    const std::uint64_t magnitude =
        delta < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(delta) : static_cast<std::uint64_t>(delta);
    return std::to_chars(out + 1, out + 24, magnitude).ptr;
}

// The change between two whole numbers longer than 18 digits, digit by digit.
std::optional<std::string> long_delta(std::string_view old_value, std::string_view new_value) {
    WholeNumber from, to;
    if (!whole_number(old_value, from) || !whole_number(new_value, to)) return std::nullopt;
    const std::string_view a = to.digits;
    const std::string_view b = from.digits;
    std::string delta(1, '+');
    if (to.negative != from.negative) {
        delta[0] = to.negative ? '-' : '+';
        return delta += combine_magnitudes(a, b, 1);
    }
    const int order = compare_magnitudes(a, b);
    if (order == 0) return "0";
    delta[0] = (order < 0) != to.negative ? '-' : '+';
    return delta += order > 0 ? combine_magnitudes(a, b, -1) : combine_magnitudes(b, a, -1);
}

}  // namespace

ListingComparison::ListingComparison(const ListingText& old_listing,
                                     const ListingText& new_listing)
    : matcher_(std::make_unique<ListingMatcher>(old_listing, new_listing)) {}

ListingComparison::~ListingComparison() = default;

const Listing& ListingComparison::old_lines() const { return matcher_->old_lines(); }
const Listing& ListingComparison::new_lines() const { return matcher_->new_lines(); }

void ListingComparison::tell_differences(
    const std::function<void(const LineDifference&)>& found) {
    matcher_->tell(found);
}

std::vector<LineDifference> ListingComparison::differences() {
    std::vector<LineDifference> found;
    matcher_->tell([&found](const LineDifference& difference) { found.push_back(difference); });
    return found;
}

char* write_whole_number_delta(std::string_view old_value, std::string_view new_value,
                               char* out) {
    std::int64_t old_number = 0, new_number = 0;
    if (machine_number(old_value, old_number) && machine_number(new_value, new_number)) {
        return write_signed(new_number - old_number, out);
    }
    const std::optional<std::string> delta = long_delta(old_value, new_value);
    if (!delta) return nullptr;
    return std::copy(delta->begin(), delta->end(), out);
}

std::optional<std::string> whole_number_delta(std::string_view old_value,
                                              std::string_view new_value) {
    std::string delta(whole_number_delta_room(old_value, new_value), '\0');
    const char* const end = write_whole_number_delta(old_value, new_value, delta.data());
    if (end == nullptr) return std::nullopt;
    delta.resize(static_cast<std::size_t>(end - delta.data()));
    return delta;
}
