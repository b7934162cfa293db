#include "cli/entry_diff.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <unordered_map>

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// A section and a key, or (for a line without a colon) the section it heads.
struct Name {
    std::uint32_t section = 0;  // 0: none; else the section's number from 1
    bool is_text = false;
    std::string_view key;

    bool operator==(const Name&) const = default;
};

struct NameHash {
    std::size_t operator()(const Name& name) const {
        const std::uint64_t mixed =
            (std::uint64_t{name.section} << 1 | (name.is_text ? 1u : 0u)) * 0x9E3779B97F4A7C15ull;
        return std::hash<std::string_view>{}(name.key) ^ static_cast<std::size_t>(mixed >> 16);
    }
};

// A line's place as numbers: the same section and key get the same name in both reports.
struct Place {
    std::uint32_t name = 0;
    std::uint32_t occurrence = 0;  // 1 for the first of its name in its report
    std::size_t section_line = kNone;

    std::uint64_t id() const { return std::uint64_t{name} << 32 | occurrence; }
};

// Numbers the sections and names of both reports: each text and key is hashed once per line.
class Places {
public:
    std::vector<Place> of(const std::vector<ListingLine>& lines) {
        std::vector<Place> places(lines.size());
        std::vector<std::uint32_t> seen(names_.size(), 0);  // occurrences so far, by name
        std::uint32_t section = 0;
        std::size_t section_line = kNone;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (!lines[i].is_entry) {
                section = number(sections_, lines[i].text, 1);
                section_line = i;
            }
            const Name name{section, !lines[i].is_entry, lines[i].is_entry ? lines[i].key : ""};
            const std::uint32_t id = number(names_, name, 0);
            if (id >= seen.size()) seen.resize(std::size_t{id} + 1, 0);
            places[i] = {id, ++seen[id], section_line};
        }
        return places;
    }

private:
    template <typename Map, typename Key>
    static std::uint32_t number(Map& map, const Key& key, std::uint32_t first) {
        const auto next = static_cast<std::uint32_t>(map.size()) + first;
        return map.try_emplace(key, next).first->second;
    }

    std::unordered_map<std::string_view, std::uint32_t> sections_;
    std::unordered_map<Name, std::uint32_t, NameHash> names_;
};

// For each line of `lines`, the index of the line in the other report at the same place.
std::vector<std::size_t> partners(const std::vector<Place>& lines,
                                  const std::unordered_map<std::uint64_t, std::size_t>& other) {
    std::vector<std::size_t> found(lines.size(), kNone);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto match = other.find(lines[i].id());
        if (match != other.end()) found[i] = match->second;
    }
    return found;
}

// Where the lines a cut listing holds end in the other report: its lines from here on may
// stand in what the cut listing lost.
std::size_t held_until(const std::vector<std::size_t>& partners_of_cut) {
    std::size_t until = 0;
    for (const std::size_t partner : partners_of_cut) {
        if (partner != kNone) until = std::max(until, partner + 1);
    }
    return until;
}

class Differences {
public:
    Differences(const std::vector<ListingLine>& old_lines,
                const std::vector<ListingLine>& new_lines)
        : old_lines_(old_lines), new_lines_(new_lines) {}

    std::vector<LineDifference> run(bool old_cut, bool new_cut) {
        Places places;
        old_places_ = places.of(old_lines_);
        new_places_ = places.of(new_lines_);
        std::unordered_map<std::uint64_t, std::size_t> old_at;
        old_at.reserve(old_places_.size());
        for (std::size_t j = 0; j < old_places_.size(); ++j) old_at.emplace(old_places_[j].id(), j);
        new_partner_ = partners(new_places_, old_at);
        old_partner_.assign(old_lines_.size(), kNone);
        for (std::size_t i = 0; i < new_partner_.size(); ++i) {
            if (new_partner_[i] != kNone) old_partner_[new_partner_[i]] = i;
        }
        const std::size_t new_held = old_cut ? held_until(old_partner_) : new_lines_.size();
        const std::size_t old_held = new_cut ? held_until(new_partner_) : old_lines_.size();
        merge(new_held, old_held);
        return std::move(found_);
    }

private:
    // In the new order; an old line removed comes before the first new line whose partner
    // stood after it.
    void merge(std::size_t new_held, std::size_t old_held) {
        std::size_t next_old = 0;
        for (std::size_t i = 0; i < new_lines_.size(); ++i) {
            const std::size_t j = new_partner_[i];
            if (j == kNone) {
                if (i < new_held)
                    add(Change::Added, new_places_[i], nullptr, &new_lines_[i], new_lines_);
                continue;
            }
            removed_before(std::min(j, old_held), next_old);
            next_old = std::max(next_old, j + 1);
            if (old_lines_[j].text != new_lines_[i].text) {
                add(Change::Changed, new_places_[i], &old_lines_[j], &new_lines_[i], new_lines_);
            }
        }
        removed_before(old_held, next_old);
    }

    void removed_before(std::size_t end, std::size_t& next_old) {
        for (; next_old < end; ++next_old) {
            if (old_partner_[next_old] == kNone) {
                add(Change::Removed, old_places_[next_old], &old_lines_[next_old], nullptr,
                    old_lines_);
            }
        }
    }

    void add(Change change, const Place& place, const ListingLine* old_line,
             const ListingLine* new_line, const std::vector<ListingLine>& lines) {
        LineDifference difference{change, std::nullopt, place.occurrence, old_line, new_line};
        if (place.section_line != kNone) difference.section = lines[place.section_line].text;
        found_.push_back(difference);
    }

    const std::vector<ListingLine>& old_lines_;
    const std::vector<ListingLine>& new_lines_;
    std::vector<Place> old_places_;
    std::vector<Place> new_places_;
    std::vector<std::size_t> old_partner_;
    std::vector<std::size_t> new_partner_;
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
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
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

}  // namespace

std::vector<LineDifference> diff_lines(const std::vector<ListingLine>& old_lines, bool old_cut,
                                       const std::vector<ListingLine>& new_lines, bool new_cut) {
    return Differences(old_lines, new_lines).run(old_cut, new_cut);
}

std::optional<std::string> whole_number_delta(std::string_view old_value,
                                              std::string_view new_value) {
    WholeNumber from, to;
    if (!whole_number(old_value, from) || !whole_number(new_value, to)) return std::nullopt;
    const std::string_view a = to.digits;
    const std::string_view b = from.digits;
    if (to.negative != from.negative)
        return (to.negative ? "-" : "+") + combine_magnitudes(a, b, 1);
    const int order = compare_magnitudes(a, b);
    if (order == 0) return "0";
    const bool negative = (order < 0) != to.negative;
    return (negative ? "-" : "+") +
           (order > 0 ? combine_magnitudes(a, b, -1) : combine_magnitudes(b, a, -1));
}
