#pragma once
// SipHash (Aumasson and Bernstein, 2012): a hash under a secret 128-bit key, for tables filled
// with untrusted texts. Without the key nobody can choose texts that share a value, as they can
// for a hash whose seed is fixed and known (the standard library's), which makes every look-up
// in a table of such texts walk all of them.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

struct SipKey {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
};

namespace sip_hash_detail {

constexpr std::uint64_t rotl(std::uint64_t value, int bits) {
    return (value << bits) | (value >> (64 - bits));
}

struct State {
    std::uint64_t v0, v1, v2, v3;

    void round() {
        v0 += v1, v1 = rotl(v1, 13), v1 ^= v0, v0 = rotl(v0, 32);
        v2 += v3, v3 = rotl(v3, 16), v3 ^= v2;
        v0 += v3, v3 = rotl(v3, 21), v3 ^= v0;
        v2 += v1, v1 = rotl(v1, 17), v1 ^= v2, v2 = rotl(v2, 32);
    }

    template <int kRounds>
    void compress(std::uint64_t block) {
        v3 ^= block;
        for (int i = 0; i < kRounds; ++i) round();
        v0 ^= block;
    }
};

// Eight bytes as a little-endian number, whatever the machine's order.
inline std::uint64_t little_endian_word(const char* bytes) {
    std::uint64_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
    return value;
}

// Fewer than eight bytes as a little-endian number.
inline std::uint64_t little_endian_tail(const char* bytes, std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t i = count; i > 0; --i) {
        value = value << 8 | static_cast<unsigned char>(bytes[i - 1]);
    }
    return value;
}

}  // namespace sip_hash_detail

// SipHash-c-d under `key` of a message of eight bytes, `first` little-endian, then `rest`.
// 2-4 is the published standard; 1-3 is enough for a hash table, as other languages' tables use.
template <int kCompression, int kFinalization>
std::uint64_t sip_hash(const SipKey& key, std::uint64_t first, std::string_view rest) {
    using namespace sip_hash_detail;
    State state{key.k0 ^ 0x736f6d6570736575, key.k1 ^ 0x646f72616e646f6d,
                key.k0 ^ 0x6c7967656e657261, key.k1 ^ 0x7465646279746573};
    state.compress<kCompression>(first);
    const std::size_t whole = rest.size() & ~std::size_t{7};
    for (std::size_t at = 0; at < whole; at += 8) {
        state.compress<kCompression>(little_endian_word(rest.data() + at));
    }
    const std::uint64_t length = 8 + rest.size();
    state.compress<kCompression>(length << 56 |
                                 little_endian_tail(rest.data() + whole, rest.size() - whole));
    state.v2 ^= 0xff;
    for (int i = 0; i < kFinalization; ++i) state.round();
    return state.v0 ^ state.v1 ^ state.v2 ^ state.v3;
}

// A key drawn once for the process from the system's random numbers.
SipKey process_sip_key();
