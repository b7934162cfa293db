#pragma once
// Unscrambling checked against a plain scrambling written here, on any bytes of any length, and
// every asset's plain copy checked for its content, its terminator and its wipe on release.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/asset_store.h"
#include "app/scrambled_asset.h"

namespace asset_checks {

// E[0] = D[0] ^ K, then E[i] = D[i] ^ (i + E[i-1]) in increasing order of i.
inline std::unique_ptr<std::uint8_t[]> scramble(const std::uint8_t* plain, std::size_t n) {
    std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[n]);
    for (std::size_t i = 0; i < n; ++i) {
        const auto chain = i == 0 ? kAssetKey : static_cast<std::uint8_t>(i + out[i - 1]);
        out[i] = static_cast<std::uint8_t>(plain[i] ^ chain);
    }
    return out;
}

// Unscrambles `n` bytes held in a heap block of exactly `n` into one of exactly `n` + 1.
inline std::unique_ptr<std::uint8_t[]> unscrambled(const std::uint8_t* scrambled, std::size_t n) {
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[n]);
    if (n > 0) std::memcpy(exact.get(), scrambled, n);
    std::unique_ptr<std::uint8_t[]> plain(new std::uint8_t[n + 1]);
    std::memset(plain.get(), 0xA5, n + 1);
    unscramble(exact.get(), n, plain.get());
    return plain;
}

inline bool equal(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    return n == 0 || std::memcmp(a, b, n) == 0;
}

inline std::string check_unscramble(const std::uint8_t* data, std::size_t size) {
    const auto plain = unscrambled(data, size);
    if (plain[size] != 0) return "no NUL after the plain bytes";
    if (!equal(scramble(plain.get(), size).get(), data, size))
        return "scramble(unscramble(x)) != x";
    const auto scrambled = scramble(data, size);
    if (!equal(unscrambled(scrambled.get(), size).get(), data, size)) {
        return "unscramble(scramble(x)) != x";
    }
    return {};
}

// An allocator that can refuse, and that checks each plain copy is all zeros when handed back.
struct WatchingAllocator {
    static inline bool refuse = false;
    static inline bool wiped = true;

    static void* allocate(std::size_t size) noexcept {
        return refuse ? nullptr : std::malloc(size);
    }
    static void release(void* block, std::size_t size) noexcept {
        const auto* bytes = static_cast<const std::uint8_t*>(block);
        for (std::size_t i = 0; i < size; ++i) wiped = wiped && bytes[i] == 0;
        std::free(block);
    }
};

inline std::string check_plain_copy(const ScrambledAsset& asset, AssetId id) {
    const StoredAsset stored = stored_asset(id);
    if (WatchingAllocator::refuse || stored.scrambled == nullptr) {
        if (asset.ok() || asset.size() != 0 || asset.text()[0] != '\0')
            return "a missing copy looks present";
        return {};
    }
    if (!asset.ok() || asset.size() != stored.size) return "plain copy missing or of a wrong size";
    if (asset.text()[asset.size()] != '\0') return "plain copy not terminated";
    const auto expected = unscrambled(stored.scrambled, stored.size);
    if (!equal(asset.bytes(), expected.get(), stored.size)) return "plain copy differs";
    return {};
}

inline std::string check_one_asset(AssetId id, bool refuse) {
    const AssetAllocator previous =
        set_asset_allocator({WatchingAllocator::allocate, WatchingAllocator::release});
    WatchingAllocator::refuse = refuse;
    WatchingAllocator::wiped = true;
    std::string failure;
    {
        const ScrambledAsset asset(id);
        failure = check_plain_copy(asset, id);
    }
    set_asset_allocator(previous);
    if (failure.empty() && !WatchingAllocator::wiped) failure = "plain copy not wiped on release";
    return failure;
}

// Every asset, two ids past the inventory, and each of them with its memory refused.
inline std::string check_all_assets() {
    for (const bool refuse : {false, true}) {
        for (int id = 0; id < static_cast<int>(AssetId::Count) + 2; ++id) {
            const std::string failure = check_one_asset(static_cast<AssetId>(id), refuse);
            if (!failure.empty()) return "asset " + std::to_string(id) + ": " + failure;
        }
    }
    return {};
}

}  // namespace asset_checks
