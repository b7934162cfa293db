#pragma once
// Numbers the names of two listings' lines (an entry by its section and key, a line without a
// colon by its text), so that diff matches lines by number: a table of open addressing sized up
// front for every line (no allocation for each name). Its hash is fast and seeded afresh for each
// run. That promises nothing against texts chosen to collide, so the table counts how far its
// look-ups search; once they search further than a fair hash at its load would let them, it
// hashes every name again with SipHash under a random key, which nobody without the key can make
// collide. Either way the work stays in proportion to the lines.

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

// What is known of a name: how many lines of each report have it, and where the old report's
// lines of it begin among its lines ordered by place.
struct NameEntry {
    std::uint64_t hash = 0;
    Name name;
    NameIndex count[2] = {0, 0};
    NameIndex old_begin = 0;
};

// Short texts (most keys and values) compared byte by byte, without a call for each.
inline bool same_text(std::string_view a, std::string_view b) {
    constexpr std::size_t kShort = 16;
    if (a.size() != b.size()) return false;
    if (a.size() > kShort) return std::memcmp(a.data(), b.data(), a.size()) == 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

// The fast hash: a multiply and a shift for each eight bytes, then a finishing mix.
struct SeededQuickHash {
    std::uint64_t operator()(std::uint64_t seed, std::uint64_t first, std::string_view text) const {
        constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15;
        std::uint64_t hash = (seed ^ first) * kMultiplier;
        std::size_t at = 0;
        for (; text.size() - at >= 8; at += 8) {
            hash = (hash ^ sip_hash_detail::little_endian_word(text.data() + at)) * kMultiplier;
            hash ^= hash >> 32;
        }
        const std::uint64_t tail = sip_hash_detail::little_endian_tail(text.data() + at,
                                                                       text.size() - at);
        hash = (hash ^ tail ^ (std::uint64_t{text.size()} << 56)) * 0xD6E8FEB86659FD93;
        hash ^= hash >> 32;
        return hash;
    }
};

template <typename QuickHash = SeededQuickHash>
class NameTable {
public:
    // For names of at most `lines` lines.
    explicit NameTable(std::size_t lines)
        : key_(process_sip_key()), seed_(sip_hash<1, 3>(key_, 0, {})) {
        std::size_t capacity = 16;
        while (capacity < 2 * lines) capacity *= 2;
        slots_.assign(capacity, 0);
        names_.reserve(lines);
    }

    // The name's number: the one it was given, or the next.
    NameIndex number(NameIndex section, bool is_text, std::string_view key) {
        ++look_ups_;
        for (;;) {
            const std::uint64_t hash = hash_of(section, is_text, key);
            const std::size_t mask = slots_.size() - 1;
            std::size_t at = static_cast<std::size_t>(hash) & mask;
            for (;; at = (at + 1) & mask) {
                const NameIndex slot = slots_[at];
                if (slot == 0) return add({section, is_text, key}, hash, at);
                const NameEntry& known = names_[slot - 1];
                if (known.hash == hash && known.name.section == section &&
                    known.name.is_text == is_text && same_text(known.name.key, key)) {
                    return slot - 1;
                }
                if (++searched_ > search_budget() && !keyed_) break;
            }
            hash_with_key();  // and look again, from the name's new hash
        }
    }

    NameEntry& operator[](NameIndex name) { return names_[name]; }
    std::vector<NameEntry>& entries() { return names_; }

    // Slots looked at past the first, over every look-up, and whether SipHash took over.
    std::size_t searched() const { return searched_; }
    bool keyed() const { return keyed_; }

private:
    // A table at most half full, with a fair hash, looks at about one slot past the first for
    // each look-up on average; twice that, and some to start, before it suspects the texts.
    static constexpr std::size_t kSearchAllowance = 4096;

    std::size_t search_budget() const { return kSearchAllowance + 2 * look_ups_; }

    static std::uint64_t first_word(const Name& name) {
        return std::uint64_t{name.section} << 1 | (name.is_text ? 1u : 0u);
    }

    std::uint64_t hash_of(NameIndex section, bool is_text, std::string_view key) const {
        const std::uint64_t first = first_word({section, is_text, key});
        return keyed_ ? sip_hash<1, 3>(key_, first, key) : QuickHash{}(seed_, first, key);
    }

    NameIndex add(const Name& name, std::uint64_t hash, std::size_t at) {
        names_.push_back({hash, name});
        slots_[at] = static_cast<NameIndex>(names_.size());
        return slots_[at] - 1;
    }

    // Every name hashed again with SipHash and placed anew.
    void hash_with_key() {
        keyed_ = true;
        slots_.assign(slots_.size(), 0);
        const std::size_t mask = slots_.size() - 1;
        for (NameIndex name = 0; name < names_.size(); ++name) {
            NameEntry& entry = names_[name];
            entry.hash = sip_hash<1, 3>(key_, first_word(entry.name), entry.name.key);
            std::size_t at = static_cast<std::size_t>(entry.hash) & mask;
            while (slots_[at] != 0) at = (at + 1) & mask;
            slots_[at] = name + 1;
        }
    }

    SipKey key_;
    std::uint64_t seed_;  // of the fast hash, drawn from the key
    bool keyed_ = false;
    std::size_t look_ups_ = 0;
    std::size_t searched_ = 0;
    std::vector<NameIndex> slots_;  // 0: empty; else 1 + the name's number
    std::vector<NameEntry> names_;
};
