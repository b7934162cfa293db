// Unscrambles every asset and prints only its length and a checksum. It references all the
// stored asset data, so the asset tests search its file for plain copies that should not be there.

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "app/scrambled_asset.h"

namespace {

// FNV-1a over the plain bytes: shows that they were unscrambled without showing them.
std::uint32_t checksum(const std::uint8_t* bytes, std::size_t size) {
    std::uint32_t hash = 2166136261u;
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 16777619u;
    return hash;
}

}  // namespace

int main() {
    int failures = 0;
    for (int i = 0; i < static_cast<int>(AssetId::Count); ++i) {
        const ScrambledAsset asset(static_cast<AssetId>(i));
        if (!asset.ok()) {
            std::printf("asset %2d: no memory\n", i);
            ++failures;
            continue;
        }
        std::printf("asset %2d: %6lu bytes, checksum %08lx\n", i,
                    static_cast<unsigned long>(asset.size()),
                    static_cast<unsigned long>(checksum(asset.bytes(), asset.size())));
    }
    return failures == 0 ? 0 : 1;
}
