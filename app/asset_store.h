#pragma once
// Inside the asset store: the stored scrambled bytes, the scrambling itself, and a seam that
// lets tests watch the plain copy's memory. Only the store and its tests include this.

#include <array>
#include <cstddef>
#include <cstdint>

#include "app/scrambled_asset.h"

inline constexpr std::uint8_t kAssetKey = 0x6D;

// One stored asset: its scrambled bytes, read-only, and their number.
struct StoredAsset {
    const std::uint8_t* scrambled = nullptr;
    std::size_t size = 0;
};

// The stored form of `id`; an id outside the inventory gives {nullptr, 0}.
StoredAsset stored_asset(AssetId id) noexcept;

// Writes the n plain bytes of the scrambled block e into out, then a NUL: out holds n + 1.
void unscramble(const std::uint8_t* e, std::size_t n, std::uint8_t* out) noexcept;

// Scrambles a string literal while compiling, so that no plain copy reaches the program.
// The literal's terminating NUL is not part of the asset.
template <std::size_t N>
consteval std::array<std::uint8_t, N - 1> scramble_literal(const char (&plain)[N]) {
    std::array<std::uint8_t, N - 1> out{};
    for (std::size_t i = 0; i + 1 < N; ++i) {
        const auto d = static_cast<std::uint8_t>(plain[i]);
        const auto chain = i == 0 ? kAssetKey : static_cast<std::uint8_t>(i + out[i - 1]);
        out[i] = static_cast<std::uint8_t>(d ^ chain);
    }
    return out;
}

// Where plain copies get their memory. Tests swap it to make the allocation fail or to look at
// the buffer when it is handed back (after the wipe, before it is freed). Swap it only while
// no ScrambledAsset exists; the program never swaps it.
struct AssetAllocator {
    void* (*allocate)(std::size_t size) noexcept;
    void (*release)(void* block, std::size_t size) noexcept;
};

// Installs `allocator` and returns the one it replaces.
AssetAllocator set_asset_allocator(AssetAllocator allocator) noexcept;
