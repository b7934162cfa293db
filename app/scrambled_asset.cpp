#include "app/scrambled_asset.h"

#include <cstdlib>
#include <cstring>

#include "app/asset_store.h"

namespace {

void* system_allocate(std::size_t size) noexcept { return std::malloc(size); }
void system_release(void* block, std::size_t) noexcept { std::free(block); }

AssetAllocator g_allocator{system_allocate, system_release};

// Called through a volatile pointer, the compiler cannot prove the wipe is a dead store.
void* (*volatile g_memset)(void*, int, std::size_t) = std::memset;

}  // namespace

void wipe_plain_copy(void* block, std::size_t size) noexcept {
    g_memset(block, 0, size);
#if defined(__GNUC__)
    // Claims to read the block, so that the zeros must be in memory before it is freed.
    __asm__ __volatile__("" : : "r"(block) : "memory");
#endif
}

void unscramble(const std::uint8_t* e, std::size_t n, std::uint8_t* out) noexcept {
    out[n] = 0;
    if (n == 0) return;
    for (std::size_t i = 1; i < n; ++i) {
        out[i] = static_cast<std::uint8_t>(e[i] ^ static_cast<std::uint8_t>(i + e[i - 1]));
    }
    out[0] = static_cast<std::uint8_t>(e[0] ^ kAssetKey);
}

AssetAllocator set_asset_allocator(AssetAllocator allocator) noexcept {
    const AssetAllocator previous = g_allocator;
    g_allocator = allocator;
    return previous;
}

ScrambledAsset::ScrambledAsset(AssetId id) noexcept {
    const StoredAsset stored = stored_asset(id);
    if (stored.scrambled == nullptr) return;
    auto* buffer = static_cast<std::uint8_t*>(g_allocator.allocate(stored.size + 1));
    if (buffer == nullptr) return;
    unscramble(stored.scrambled, stored.size, buffer);
    plain_ = buffer;
    size_ = stored.size;
}

ScrambledAsset::~ScrambledAsset() {
    if (plain_ == nullptr) return;
    wipe_plain_copy(plain_, size_ + 1);
    g_allocator.release(plain_, size_ + 1);
}

const char* ScrambledAsset::text() const noexcept {
    return plain_ != nullptr ? reinterpret_cast<const char*>(plain_) : "";
}

const std::uint8_t* ScrambledAsset::bytes() const noexcept { return plain_; }

std::size_t ScrambledAsset::size() const noexcept { return size_; }
