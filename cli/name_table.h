#pragma once
// Numbers the names of two listings' lines (an entry by its section and key, a line without a
// colon by its text), so that diff matches lines by number: a table of open addressing that grows
// with the names, not the lines (a listing of one title repeated keeps one name in a few slots).
// Its hash is fast and seeded afresh for each run. That promises nothing against texts chosen to
// collide, so the table counts how far its look-ups and its growth search; once they search
// further than a fair hash at its load would let them, it hashes every name again with SipHash
// under a random key, which nobody without the key can make collide. Either way the work stays in
// proportion to the lines.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "cli/keyed_hash.h"

// Names are numbered in 32 bits: a listing holds at most a few hundred thousand lines.
using NameIndex = std::uint32_t;

struct Name {
    NameIndex section = 0;  // 0: none; else 1 + the number of the line that heads it
    bool is_text = false;   // a line without a colon, named by its text
    std::string_view key;   // the entry's key, or the line's text
};

// What is known of a name: how many lines of each report have it, and the old report's lines of
// it that the new report's have not yet taken (a chain through the old lines, first to last);
// past the lines both begin with alike, which are counted apart.
struct NameEntry {
    std::uint64_t hash = 0;
    Name name;
    NameIndex count[2] = {0, 0};
    NameIndex next_old = 0;     // the first old line of the name not yet matched
    NameIndex last_old = 0;     // the last old line of the name seen so far
    NameIndex count_alike = 0;  // lines of the name among those both reports begin with
};

// Short texts (most keys and values) compared a word or two at a time (overlapping where they are
// not a multiple), without a call for each.
inline bool same_text(std::string_view a, std::string_view b) {
    const std::size_t size = a.size();
    if (size != b.size()) return false;
    const char* x = a.data();
    const char* y = b.data();
    const auto same = [](const char* p, const char* q, auto word) {
        std::memcpy(&word, p, sizeof word);
        decltype(word) other;
        std::memcpy(&other, q, sizeof other);
        return word == other;
    };
    if (size > 16) return std::memcmp(x, y, size) == 0;
    if (size >= 8) {
        return same(x, y, std::uint64_t{}) && same(x + size - 8, y + size - 8, std::uint64_t{});
    }
    if (size >= 4) {
        return same(x, y, std::uint32_t{}) && same(x + size - 4, y + size - 4, std::uint32_t{});
    }
    return size == 0 || (x[0] == y[0] && x[size / 2] == y[size / 2] && x[size - 1] == y[size - 1]);
}

// The fast hash: a multiply and a shift for each eight bytes, then a finishing mix that spreads
// every bit over all the others (the table takes the lowest). The last bytes are read as two
// overlapping words (or three bytes), which with the length tell them all.
struct SeededQuickHash {
    std::uint64_t operator()(std::uint64_t seed, std::uint64_t first, std::string_view text) const {
        constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15;
        std::uint64_t hash = (seed ^ first) * kMultiplier;
        const char* at = text.data();
        std::size_t left = text.size();
        for (; left >= 8; at += 8, left -= 8) {
            hash = (hash ^ sip_hash_detail::little_endian_word(at)) * kMultiplier;
            hash ^= hash >> 32;
        }
        hash ^= tail(at, left) ^ (std::uint64_t{text.size()} << 56);
        hash = (hash ^ (hash >> 33)) * 0xFF51AFD7ED558CCD;
        hash = (hash ^ (hash >> 33)) * 0xC4CEB9FE1A85EC53;
        return hash ^ (hash >> 33);
    }

    // Fewer than eight bytes as a number that, with their count, tells them apart.
    static std::uint64_t tail(const char* bytes, std::size_t count) {
        if (count >= 4) return half_word(bytes) | std::uint64_t{half_word(bytes + count - 4)} << 32;
        if (count == 0) return 0;
        const auto byte = [bytes](std::size_t i) { return std::uint64_t{
                                                       static_cast<unsigned char>(bytes[i])}; };
        return byte(0) | byte(count / 2) << 8 | byte(count - 1) << 16;
    }

    static std::uint32_t half_word(const char* bytes) {
        std::uint32_t value = 0;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }
};

template <typename QuickHash = SeededQuickHash>
class NameTable {
public:
    // For at most `most` names, whose entries are kept in one block never moved (the room not
    // used is never touched); the slots grow with the names.
    explicit NameTable(std::size_t most = 0)
        : key_(process_sip_key()), seed_(sip_hash<1, 3>(key_, 0, {})) {
        names_.reserve(most);
        std::size_t slots = 16;
        while (slots < kFirstSlots && slots < 2 * most) slots *= 2;
        slots_.assign(slots, Slot{});
    }

    // The name's number: the one it was given, or the next. Inlined where it is called for every
    // line: only the fast hash's look-up is, what is rarer (a new name, SipHash) is not.
    [[gnu::always_inline]] NameIndex number(NameIndex section, bool is_text, std::string_view key) {
        ++look_ups_;
        if (!keyed_) {
            const std::uint64_t hash =
                QuickHash{}(seed_, first_word({section, is_text, key}), key);
            const NameIndex found = find_or_add<true>(hash, section, is_text, key);
            if (found != kGaveUp) return found;
            hash_with_key();
        }
        return number_keyed(section, is_text, key);
    }

    NameEntry& operator[](NameIndex name) { return names_[name]; }
    const NameEntry& operator[](NameIndex name) const { return names_[name]; }
    std::size_t size() const { return names_.size(); }

    // Slots looked at past the first, over every look-up and every move to a larger table, and
    // whether SipHash took over.
    std::size_t searched() const { return searched_; }
    bool keyed() const { return keyed_; }

private:
    // A slot: 1 + the name's number (0: empty), and the top half of its hash, which turns most
    // other names down without reading their entries.
    struct Slot {
        std::uint32_t tag = 0;
        NameIndex name = 0;
    };

    static constexpr std::size_t kFirstSlots = 1024;
    static constexpr NameIndex kGaveUp = ~NameIndex{0};  // never a name's number: names are fewer
    // A table at most half full, with a fair hash, looks at about one slot past the first for
    // each look-up on average; twice that, and some to start, before it suspects the texts.
    static constexpr std::size_t kSearchAllowance = 4096;

    std::size_t search_budget() const { return kSearchAllowance + 2 * look_ups_; }

    static std::uint64_t first_word(const Name& name) {
        return std::uint64_t{name.section} << 1 | (name.is_text ? 1u : 0u);
    }

    static bool is(const NameEntry& known, std::uint64_t hash, NameIndex section, bool is_text,
                   std::string_view key) {
        return known.hash == hash && known.name.section == section &&
               known.name.is_text == is_text && same_text(known.name.key, key);
    }

    // number() once SipHash has taken over.
    [[gnu::noinline]] NameIndex number_keyed(NameIndex section, bool is_text,
                                             std::string_view key) {
        const std::uint64_t hash = sip_hash<1, 3>(key_, first_word({section, is_text, key}), key);
        return find_or_add<false>(hash, section, is_text, key);
    }

    // The name's number, found from its hash's slot on or added at the first empty slot. The
    // fast hash's search gives up (kGaveUp) once the table has searched past its budget.
    template <bool kBudgeted>
    [[gnu::always_inline]] NameIndex find_or_add(std::uint64_t hash, NameIndex section,
                                                 bool is_text, std::string_view key) {
        const auto tag = static_cast<std::uint32_t>(hash >> 32);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t at = static_cast<std::size_t>(hash) & mask;; at = (at + 1) & mask) {
            const Slot slot = slots_[at];
            if (slot.name == 0) return add({section, is_text, key}, hash, at);
            if (slot.tag == tag && is(names_[slot.name - 1], hash, section, is_text, key)) {
                return slot.name - 1;
            }
            ++searched_;
            if constexpr (kBudgeted) {
                if (searched_ > search_budget()) return kGaveUp;
            }
        }
    }

    [[gnu::noinline]] NameIndex add(const Name& name, std::uint64_t hash, std::size_t at) {
        names_.push_back({hash, name});
        const auto number = static_cast<NameIndex>(names_.size() - 1);
        slots_[at] = {static_cast<std::uint32_t>(hash >> 32), number + 1};
        if (2 * names_.size() > slots_.size()) place_all(2 * slots_.size());
        if (searched_ > search_budget() && !keyed_) hash_with_key();
        return number;
    }

    // Every name placed anew in a table of `slots` slots, by the hash it has.
    void place_all(std::size_t slots) {
        slots_.assign(slots, Slot{});
        const std::size_t mask = slots - 1;
        for (NameIndex name = 0; name < names_.size(); ++name) {
            const std::uint64_t hash = names_[name].hash;
            std::size_t at = static_cast<std::size_t>(hash) & mask;
            for (; slots_[at].name != 0; at = (at + 1) & mask) ++searched_;
            slots_[at] = {static_cast<std::uint32_t>(hash >> 32), name + 1};
        }
    }

    // Every name hashed again with SipHash and placed anew.
    [[gnu::noinline]] void hash_with_key() {
        keyed_ = true;
        for (NameEntry& entry : names_) {
            entry.hash = sip_hash<1, 3>(key_, first_word(entry.name), entry.name.key);
        }
        place_all(slots_.size());
    }

    SipKey key_;
    std::uint64_t seed_;  // of the fast hash, drawn from the key
    bool keyed_ = false;
    std::size_t look_ups_ = 0;
    std::size_t searched_ = 0;
    std::vector<Slot> slots_;
    std::vector<NameEntry> names_;
};
