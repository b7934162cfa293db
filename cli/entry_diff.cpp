#include "cli/entry_diff.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <iterator>
#include <limits>

#include "cli/name_table.h"

namespace {

using Index = NameIndex;
constexpr Index kNone = std::numeric_limits<Index>::max();
enum Side { kOld = 0, kNew = 1 };

// A line's place as numbers: the same section and key get the same name in both reports.
struct Place {
    Index name = 0;
    Index occurrence = 0;  // 1 for the first of its name in its report
};

// Numbers the names of a report's lines in order: an entry's by its key and the line that heads
// its section.
std::vector<Place> places_of(const std::vector<ListingLine>& lines, NameTable<>& names, Side side) {
    std::vector<Place> places(lines.size());
    Index section = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const ListingLine& line = lines[i];
        Index name = 0;
        if (line.is_entry()) {
            name = names.number(section, false, line.key());
        } else {
            name = names.number(0, true, line.text());
            section = name + 1;
        }
        places[i] = {name, ++names[name].count[side]};
    }
    return places;
}

// The old report's lines ordered by name and occurrence, so that each new line finds the old
// line at its place without hashing again.
std::vector<Index> old_lines_by_place(const std::vector<Place>& places, NameTable<>& names) {
    Index begin = 0;
    for (NameEntry& name : names.entries()) {
        name.old_begin = begin;
        begin += name.count[kOld];
    }
    std::vector<Index> lines(places.size());
    for (Index j = 0; j < places.size(); ++j) {
        lines[names[places[j].name].old_begin + places[j].occurrence - 1] = j;
    }
    return lines;
}

// Where the lines a cut listing holds end in the other report: its lines from here on may
// stand in what the cut listing lost.
Index held_until(const std::vector<Index>& partners_of_cut) {
    Index until = 0;
    for (const Index partner : partners_of_cut) {
        if (partner != kNone) until = std::max(until, partner + 1);
    }
    return until;
}

Index size(const std::vector<ListingLine>& lines) { return static_cast<Index>(lines.size()); }

class Differences {
public:
    Differences(const std::vector<ListingLine>& old_lines,
                const std::vector<ListingLine>& new_lines)
        : old_lines_(old_lines), new_lines_(new_lines) {}

    std::vector<LineDifference> run(bool old_cut, bool new_cut) {
        NameTable<> names(old_lines_.size() + new_lines_.size());
        found_.reserve(old_lines_.size() + new_lines_.size());
        old_places_ = places_of(old_lines_, names, kOld);
        const std::vector<Index> old_at = old_lines_by_place(old_places_, names);
        new_places_ = places_of(new_lines_, names, kNew);
        new_partner_.assign(new_lines_.size(), kNone);
        old_partner_.assign(old_lines_.size(), kNone);
        for (Index i = 0; i < new_places_.size(); ++i) {
            const Place& place = new_places_[i];
            const NameEntry& name = names[place.name];
            if (place.occurrence > name.count[kOld]) continue;
            new_partner_[i] = old_at[name.old_begin + place.occurrence - 1];
            old_partner_[new_partner_[i]] = i;
        }
        const Index new_held = old_cut ? held_until(old_partner_) : size(new_lines_);
        const Index old_held = new_cut ? held_until(new_partner_) : size(old_lines_);
        merge(new_held, old_held);
        return std::move(found_);
    }

private:
    // In the new order; an old line removed comes before the first new line whose partner
    // stood after it. Each report's lines are walked in order, keeping the line that heads the
    // section they are in.
    void merge(Index new_held, Index old_held) {
        Index new_section = kNone;
        for (Index i = 0; i < new_lines_.size(); ++i) {
            if (!new_lines_[i].is_entry()) new_section = i;
            const Index j = new_partner_[i];
            if (j == kNone) {
                if (i < new_held) {
                    add(Change::Added, new_places_[i], new_section, nullptr, &new_lines_[i],
                        new_lines_);
                }
                continue;
            }
            removed_before(j + 1);  // a partner always stands before old_held
            if (!same_text(old_lines_[j].text(), new_lines_[i].text())) {
                add(Change::Changed, new_places_[i], new_section, &old_lines_[j], &new_lines_[i],
                    new_lines_);
            }
        }
        removed_before(old_held);
    }

    // The old lines up to `end` not walked yet: those without a partner are removed.
    void removed_before(Index end) {
        for (; next_old_ < end; ++next_old_) {
            if (!old_lines_[next_old_].is_entry()) old_section_ = next_old_;
            if (old_partner_[next_old_] == kNone) {
                add(Change::Removed, old_places_[next_old_], old_section_, &old_lines_[next_old_],
                    nullptr, old_lines_);
            }
        }
    }

    void add(Change change, const Place& place, Index section_line, const ListingLine* old_line,
             const ListingLine* new_line, const std::vector<ListingLine>& lines) {
        LineDifference difference{change, std::nullopt, place.occurrence, old_line, new_line};
        if (section_line != kNone) difference.section = lines[section_line].text();
        found_.push_back(difference);
    }

    const std::vector<ListingLine>& old_lines_;
    const std::vector<ListingLine>& new_lines_;
    std::vector<Place> old_places_;
    std::vector<Place> new_places_;
    std::vector<Index> old_partner_;
    std::vector<Index> new_partner_;
    Index next_old_ = 0;  // the first old line not walked yet
    Index old_section_ = kNone;
    std::vector<LineDifference> found_;
};

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
    const bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (negative || text.front() == '+')) text.remove_prefix(1);
    if (text.empty()) return false;
    while (text.size() > 1 && text.front() == '0') text.remove_prefix(1);
    if (text.size() > kMachineDigits) return false;
    value = 0;
    for (const char digit : text) {
        if (digit < '0' || digit > '9') return false;
        value = value * 10 + (digit - '0');
    }
    if (negative) value = -value;
    return true;
}

std::string signed_text(std::int64_t delta) {
    if (delta == 0) return "0";
    char text[24] = {delta < 0 ? '-' : '+'};
    const auto written = std::to_chars(text + 1, std::end(text), delta < 0 ? -delta : delta);
    return std::string(text, written.ptr);
}

}  // namespace

std::vector<LineDifference> diff_lines(const std::vector<ListingLine>& old_lines, bool old_cut,
                                       const std::vector<ListingLine>& new_lines, bool new_cut) {
    return Differences(old_lines, new_lines).run(old_cut, new_cut);
}

std::optional<std::string> whole_number_delta(std::string_view old_value,
                                              std::string_view new_value) {
    std::int64_t old_number = 0, new_number = 0;
    if (machine_number(old_value, old_number) && machine_number(new_value, new_number)) {
        return signed_text(new_number - old_number);
    }
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
