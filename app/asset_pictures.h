#pragma once
// The two pictures in scrambled form. Their definitions are generated at build time from
// res/vellumo.ico and res/logo.bmp by cmake/scramble_asset.py (see cmake/Assets.cmake).

#include <cstddef>
#include <cstdint>

// An icon file image: directory, one 109 x 127 entry of 32 bits per pixel, its bitmap and mask.
inline constexpr std::size_t kAppIconSize = 57466;
// The logo's pixel rows: 480 x 99, 24 bits per pixel, bottom row first, 1440 bytes a row.
inline constexpr std::size_t kLogoSize = 142560;

extern const std::uint8_t kScrambledAppIcon[kAppIconSize];
extern const std::uint8_t kScrambledLogo[kLogoSize];
