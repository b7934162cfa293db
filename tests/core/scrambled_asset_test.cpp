#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/asset_store.h"
#include "app/scrambled_asset.h"
#include "searched_programs.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The scrambling written out again from its definition, apart from the program's own.
Bytes scramble(const Bytes& plain) {
    Bytes out(plain.size());
    for (std::size_t i = 0; i < plain.size(); ++i) {
        const unsigned chain = i == 0 ? 0x6Du : (static_cast<unsigned>(i) + out[i - 1]) % 256u;
        out[i] = static_cast<std::uint8_t>(plain[i] ^ chain);
    }
    return out;
}

// Plain bytes of every value, NULs included, in a fixed pseudo-random order.
Bytes sample_plain(std::size_t n) {
    Bytes plain(n);
    std::uint32_t state = static_cast<std::uint32_t>(n) * 2654435761u + 1u;
    for (auto& b : plain) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(state >> 24);
    }
    return plain;
}

Bytes plain_copy(AssetId id) {
    const ScrambledAsset asset(id);
    return Bytes(asset.bytes(), asset.bytes() + asset.size());
}

constexpr std::uint8_t kGuard = 0xA5;

TEST(Unscramble, EveryLengthUpTo300_GivesThePlainBytesAndANul) {
    for (std::size_t n = 0; n <= 300; ++n) {
        const Bytes plain = sample_plain(n);
        const Bytes scrambled = scramble(plain);
        Bytes out(n + 1 + 8, kGuard);
        unscramble(scrambled.data(), n, out.data());
        ASSERT_TRUE(std::equal(plain.begin(), plain.end(), out.begin())) << "length " << n;
        ASSERT_EQ(out[n], 0) << "length " << n;
        ASSERT_TRUE(std::all_of(out.begin() + static_cast<std::ptrdiff_t>(n + 1), out.end(),
                                [](std::uint8_t b) { return b == kGuard; }))
            << "wrote past the terminator at length " << n;
    }
}

TEST(Unscramble, LengthOne_IsFirstByteXorKeyThenNul) {
    for (const std::uint8_t e : {0x00, 0x6D, 0xFF}) {
        std::uint8_t out[3] = {kGuard, kGuard, kGuard};
        unscramble(&e, 1, out);
        EXPECT_EQ(out[0], e ^ 0x6D);
        EXPECT_EQ(out[1], 0);
        EXPECT_EQ(out[2], kGuard);
    }
}

TEST(Unscramble, WorkedExample_ChainsOnThePreviousScrambledByte) {
    // "AB": E0 = 0x41 ^ 0x6D = 0x2C; E1 = 0x42 ^ (1 + 0x2C) = 0x6F.
    const std::uint8_t scrambled[] = {0x2C, 0x6F};
    std::uint8_t out[3] = {kGuard, kGuard, kGuard};
    unscramble(scrambled, 2, out);
    EXPECT_STREQ(reinterpret_cast<const char*>(out), "AB");
}

TEST(ScrambleLiteral, AtCompileTime_MatchesTheDefinition) {
    constexpr auto compiled = scramble_literal("key\x01\xff.");
    const Bytes plain = {'k', 'e', 'y', 0x01, 0xFF, '.'};
    EXPECT_EQ(Bytes(compiled.begin(), compiled.end()), scramble(plain));
}

struct InventoryEntry {
    AssetId id;
    std::size_t size;
    bool is_text;
};

constexpr InventoryEntry kInventory[] = {
    {AssetId::GetDataLabel, 15, true},     {AssetId::OpenReportLabel, 24, true},
    {AssetId::ModelLabel, 7, true},        {AssetId::SerialLabel, 4, true},
    {AssetId::VersionLabel, 7, true},      {AssetId::CrumLabel, 5, true},
    {AssetId::GroupTitle, 21, true},       {AssetId::WindowTitle, 27, true},
    {AssetId::AppIcon, 57466, false},      {AssetId::Logo, 142560, false},
    {AssetId::RetrievingStatus, 28, true}, {AssetId::DoneStatus, 27, true},
    {AssetId::FailureText, 60, true},      {AssetId::MessageCaption, 9, true},
    {AssetId::LinkTarget, 20, true},       {AssetId::ThreadFailureText, 17, true},
    {AssetId::CutNotice, 38, true},        {AssetId::CutNoticeLatin, 39, true},
};
static_assert(std::size(kInventory) == static_cast<std::size_t>(AssetId::Count));

TEST(ScrambledAsset, EveryAsset_HasItsInventoryLengthAndATerminator) {
    for (const auto& entry : kInventory) {
        const ScrambledAsset asset(entry.id);
        ASSERT_TRUE(asset.ok());
        EXPECT_EQ(asset.size(), entry.size) << static_cast<int>(entry.id);
        EXPECT_EQ(stored_asset(entry.id).size, entry.size);
        EXPECT_EQ(asset.bytes()[asset.size()], 0);
        EXPECT_EQ(static_cast<const void*>(asset.text()), static_cast<const void*>(asset.bytes()));
    }
}

TEST(ScrambledAsset, Texts_AreWholeLinesWithoutPadding) {
    for (const auto& entry : kInventory) {
        if (!entry.is_text) continue;
        const ScrambledAsset asset(entry.id);
        const std::string text = asset.text();
        EXPECT_EQ(text.size(), entry.size) << "a NUL inside asset " << static_cast<int>(entry.id);
        EXPECT_TRUE(std::none_of(text.begin(), text.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x20; }));
        EXPECT_NE(text.front(), ' ');
        EXPECT_NE(text.back(), ' ');
    }
}

TEST(ScrambledAsset, WindowTitle_NamesTheProduct) {
    const ScrambledAsset title(AssetId::WindowTitle);
    EXPECT_NE(std::string(title.text()).find("Vellumo Printer info"), std::string::npos);
}

TEST(ScrambledAsset, UnknownId_GivesNoCopy) {
    const ScrambledAsset asset(AssetId::Count);
    EXPECT_FALSE(asset.ok());
    EXPECT_STREQ(asset.text(), "");
    EXPECT_EQ(asset.size(), 0u);
}

std::uint32_t le32(const Bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | b[at + 3] << 24);
}

std::uint16_t le16(const Bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

constexpr std::size_t kIconWidth = 109;
constexpr std::size_t kIconHeight = 127;
constexpr std::size_t kIconImageOffset = 22;
constexpr std::size_t kIconPixelsOffset = kIconImageOffset + 40;
constexpr std::size_t kIconMaskOffset = kIconPixelsOffset + kIconWidth * kIconHeight * 4;
constexpr std::size_t kIconMaskStride = 16;

TEST(AppIcon, Directory_DescribesOne109x127ImageOf32BitsAt22) {
    const Bytes icon = plain_copy(AssetId::AppIcon);
    ASSERT_EQ(icon.size(), 57466u);
    EXPECT_EQ(le16(icon, 0), 0);   // reserved
    EXPECT_EQ(le16(icon, 2), 1);   // an icon, not a cursor
    EXPECT_EQ(le16(icon, 4), 1);   // one image
    EXPECT_EQ(icon[6], kIconWidth);
    EXPECT_EQ(icon[7], kIconHeight);
    EXPECT_EQ(icon[8], 0);         // not a palette image
    EXPECT_EQ(le16(icon, 10), 1);  // planes
    EXPECT_EQ(le16(icon, 12), 32); // bits per pixel
    EXPECT_EQ(le32(icon, 14), icon.size() - kIconImageOffset);
    EXPECT_EQ(le32(icon, 18), kIconImageOffset);
}

TEST(AppIcon, Bitmap_Is32BitsWithDoubleHeightForTheMask) {
    const Bytes icon = plain_copy(AssetId::AppIcon);
    ASSERT_EQ(icon.size(), kIconMaskOffset + kIconMaskStride * kIconHeight);
    EXPECT_EQ(le32(icon, 22), 40u);
    EXPECT_EQ(le32(icon, 26), kIconWidth);
    EXPECT_EQ(le32(icon, 30), kIconHeight * 2);
    EXPECT_EQ(le16(icon, 34), 1);
    EXPECT_EQ(le16(icon, 36), 32);
    EXPECT_EQ(le32(icon, 38), 0u);  // BI_RGB
}

// Alpha of pixel (x, y), y counted from the top, and its bit in the AND mask.
std::uint8_t icon_alpha(const Bytes& icon, std::size_t x, std::size_t y) {
    return icon[kIconPixelsOffset + ((kIconHeight - 1 - y) * kIconWidth + x) * 4 + 3];
}

bool icon_mask_bit(const Bytes& icon, std::size_t x, std::size_t y) {
    const std::uint8_t bits = icon[kIconMaskOffset + (kIconHeight - 1 - y) * kIconMaskStride + x / 8];
    return (bits & (0x80 >> (x % 8))) != 0;
}

TEST(AppIcon, Background_IsTransparentAndTheMaskAgreesWithAlpha) {
    const Bytes icon = plain_copy(AssetId::AppIcon);
    ASSERT_EQ(icon.size(), 57466u);
    EXPECT_EQ(icon_alpha(icon, 0, 0), 0);
    EXPECT_EQ(icon_alpha(icon, kIconWidth - 1, kIconHeight - 1), 0);
    EXPECT_EQ(icon_alpha(icon, kIconWidth / 2, kIconHeight / 2), 255);
    for (std::size_t y = 0; y < kIconHeight; ++y) {
        for (std::size_t x = 0; x < kIconWidth; ++x) {
            ASSERT_EQ(icon_mask_bit(icon, x, y), icon_alpha(icon, x, y) == 0) << x << "," << y;
        }
    }
}

constexpr std::size_t kLogoWidth = 480;
constexpr std::size_t kLogoHeight = 99;

std::uint32_t logo_pixel(const Bytes& logo, std::size_t x, std::size_t y) {
    const std::size_t at = ((kLogoHeight - 1 - y) * kLogoWidth + x) * 3;
    return static_cast<std::uint32_t>(logo[at] | logo[at + 1] << 8 | logo[at + 2] << 16);
}

constexpr std::uint32_t kWhite = 0xFFFFFF;

bool touches_white(const Bytes& logo, std::size_t x, std::size_t y) {
    return (x > 0 && logo_pixel(logo, x - 1, y) == kWhite) ||
           (x + 1 < kLogoWidth && logo_pixel(logo, x + 1, y) == kWhite) ||
           (y > 0 && logo_pixel(logo, x, y - 1) == kWhite) ||
           (y + 1 < kLogoHeight && logo_pixel(logo, x, y + 1) == kWhite);
}

bool lighter_than_dialog_face(std::uint32_t bgr) {
    return (bgr & 0xFF) > 0xF0 || (bgr >> 8 & 0xFF) > 0xF0 || (bgr >> 16) > 0xF0;
}

TEST(Logo, Pixels_Are480x99RowsOf24BitsOnWhite) {
    const Bytes logo = plain_copy(AssetId::Logo);
    ASSERT_EQ(logo.size(), kLogoWidth * 3 * kLogoHeight);
    EXPECT_EQ(logo_pixel(logo, 0, 0), kWhite);
    EXPECT_EQ(logo_pixel(logo, kLogoWidth - 1, kLogoHeight - 1), kWhite);
    const auto drawn = std::count_if(logo.begin(), logo.end(), [](std::uint8_t b) { return b < 0x80; });
    EXPECT_GT(drawn, 10000);
}

// White is the transparent colour: an edge blended towards white would leave a light fringe.
TEST(Logo, EdgesAgainstTheTransparentWhite_AreNoLighterThanTheDialog) {
    const Bytes logo = plain_copy(AssetId::Logo);
    ASSERT_EQ(logo.size(), kLogoWidth * 3 * kLogoHeight);
    int fringe = 0;
    for (std::size_t y = 0; y < kLogoHeight; ++y) {
        for (std::size_t x = 0; x < kLogoWidth; ++x) {
            const std::uint32_t pixel = logo_pixel(logo, x, y);
            if (pixel != kWhite && touches_white(logo, x, y) && lighter_than_dialog_face(pixel)) {
                ++fringe;
            }
        }
    }
    EXPECT_EQ(fringe, 0);
}

// Watches the allocator: what was handed out, and what the block held when handed back.
struct AllocatorSpy {
    static inline void* allocated = nullptr;
    static inline std::size_t allocated_size = 0;
    static inline Bytes released;
    static inline int release_count = 0;
    static inline bool fail = false;

    static void* allocate(std::size_t size) noexcept {
        if (fail) return nullptr;
        allocated = std::malloc(size);
        allocated_size = size;
        return allocated;
    }
    static void release(void* block, std::size_t size) noexcept {
        const auto* bytes = static_cast<const std::uint8_t*>(block);
        if (block == allocated) released.assign(bytes, bytes + size);
        ++release_count;
        std::free(block);
    }
};

class SpiedAllocator : public ::testing::Test {
protected:
    void SetUp() override {
        AllocatorSpy::allocated = nullptr;
        AllocatorSpy::allocated_size = 0;
        AllocatorSpy::released.clear();
        AllocatorSpy::release_count = 0;
        AllocatorSpy::fail = false;
        previous_ = set_asset_allocator({AllocatorSpy::allocate, AllocatorSpy::release});
    }
    void TearDown() override { set_asset_allocator(previous_); }

private:
    AssetAllocator previous_{};
};

TEST_F(SpiedAllocator, Release_WipesEveryByteUpToTheTerminatorBeforeFreeing) {
    for (const AssetId id : {AssetId::FailureText, AssetId::SerialLabel, AssetId::Logo}) {
        std::size_t size = 0;
        bool held_plain_copy = false;
        {
            const ScrambledAsset asset(id);
            ASSERT_TRUE(asset.ok());
            size = asset.size();
            held_plain_copy = asset.bytes() == AllocatorSpy::allocated &&
                              std::any_of(asset.bytes(), asset.bytes() + size,
                                          [](std::uint8_t b) { return b != 0; });
            // Mark the terminator too, so that the wipe has to reach it.
            static_cast<std::uint8_t*>(AllocatorSpy::allocated)[size] = 0xEE;
        }
        EXPECT_TRUE(held_plain_copy);
        EXPECT_EQ(AllocatorSpy::allocated_size, size + 1);
        ASSERT_EQ(AllocatorSpy::released.size(), size + 1);
        EXPECT_TRUE(std::all_of(AllocatorSpy::released.begin(), AllocatorSpy::released.end(),
                                [](std::uint8_t b) { return b == 0; }));
    }
}

TEST_F(SpiedAllocator, Release_WhenAnExceptionPasses_StillWipesAndFrees) {
    try {
        const ScrambledAsset asset(AssetId::DoneStatus);
        throw std::runtime_error(asset.text());
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(AllocatorSpy::release_count, 1);
    ASSERT_EQ(AllocatorSpy::released.size(), 28u);
    EXPECT_TRUE(std::all_of(AllocatorSpy::released.begin(), AllocatorSpy::released.end(),
                            [](std::uint8_t b) { return b == 0; }));
}

TEST_F(SpiedAllocator, AllocationFails_GivesAnEmptyTextAndNoBlock) {
    AllocatorSpy::fail = true;
    {
        const ScrambledAsset asset(AssetId::Logo);
        EXPECT_FALSE(asset.ok());
        EXPECT_STREQ(asset.text(), "");
        EXPECT_EQ(asset.bytes(), nullptr);
        EXPECT_EQ(asset.size(), 0u);
    }
    EXPECT_EQ(AllocatorSpy::release_count, 0);
}

Bytes read_file(std::string path) {
#if defined(_WIN32)
    // Under Wine the build tree's Unix paths are reached through drive Z:.
    std::replace(path.begin(), path.end(), '/', '\\');
    path = "Z:" + path;
#endif
    Bytes contents;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return contents;
    std::uint8_t chunk[65536];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        contents.insert(contents.end(), chunk, chunk + got);
    }
    std::fclose(file);
    return contents;
}

bool contains(const Bytes& haystack, const std::uint8_t* needle, std::size_t size) {
    return std::search(haystack.begin(), haystack.end(), needle, needle + size) != haystack.end();
}

// The plain copies are made here at run time, so this test holds none of them itself.
TEST(BuiltPrograms, HoldTheScrambledAssetsButNoPlainCopy) {
    ASSERT_NE(kSearchedPrograms[0], nullptr) << "no program registered for the search";
    for (const char* const* program = kSearchedPrograms; *program != nullptr; ++program) {
        const Bytes file = read_file(*program);
        ASSERT_FALSE(file.empty()) << "cannot read " << *program;
        for (const auto& entry : kInventory) {
            const StoredAsset stored = stored_asset(entry.id);
            const ScrambledAsset plain(entry.id);
            ASSERT_TRUE(plain.ok());
            EXPECT_TRUE(contains(file, stored.scrambled, stored.size))
                << *program << " lacks the scrambled asset " << static_cast<int>(entry.id);
            EXPECT_FALSE(contains(file, plain.bytes(), plain.size()))
                << *program << " holds the plain asset " << static_cast<int>(entry.id);
        }
    }
}

}  // namespace
