// The logo is painted with white as the transparent colour: checked pixel by pixel against the
// logo asset, on a memory device context.

#include <cstdint>
#include <cstring>

#include "app/scrambled_asset.h"
#include "dialog_harness.h"

namespace {

constexpr int kCanvasWidth = LogoHotRect::kRight + 3;
constexpr int kCanvasHeight = kLogoHeight + 2;
constexpr std::uint32_t kBackground = 0x123456;  // 0xRRGGBB as a 32-bit DIB stores it

// A top-down 32-bit canvas filled with kBackground, selected into its own memory DC.
class Canvas {
public:
    Canvas(int width, int height) : width_(width) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        dc_ = CreateCompatibleDC(nullptr);
        bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&pixels_), nullptr, 0);
        old_ = SelectObject(dc_, bitmap_);
        for (int i = 0; i < width * height; ++i) pixels_[i] = kBackground;
    }
    ~Canvas() {
        SelectObject(dc_, old_);
        DeleteObject(bitmap_);
        DeleteDC(dc_);
    }
    HDC dc() const { return dc_; }
    std::uint32_t at(int x, int y) const {
        GdiFlush();
        return pixels_[y * width_ + x] & 0xFFFFFF;
    }

private:
    int width_;
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ old_ = nullptr;
    std::uint32_t* pixels_ = nullptr;
};

// The asset's pixel at column x of top row y (rows are stored bottom first, 3 bytes B, G, R).
std::uint32_t logo_pixel(const std::uint8_t* rows, int x, int y) {
    const std::uint8_t* p = rows + (kLogoHeight - 1 - y) * kLogoWidth * 3 + x * 3;
    return static_cast<std::uint32_t>(p[2] << 16 | p[1] << 8 | p[0]);
}

std::uint32_t pixel_of(HDC dc, int x, int y) {
    const COLORREF c = GetPixel(dc, x, y);
    return static_cast<std::uint32_t>(GetRValue(c) << 16 | GetGValue(c) << 8 | GetBValue(c));
}

}  // namespace

TEST_F(DialogTest, MainDialog_PaintedLogo_WhiteShowsTheBackgroundAndEveryOtherPixelItself) {
    const ScrambledAsset logo(AssetId::Logo);
    ASSERT_EQ(logo.size(), static_cast<std::size_t>(kLogoWidth * kLogoHeight * 3));
    Canvas canvas(kCanvasWidth, kCanvasHeight);
    paint_logo(canvas.dc());

    int white = 0, near_white = 0, wrong = 0;
    for (int y = 0; y < kLogoHeight; ++y) {
        for (int x = 0; x < kLogoWidth; ++x) {
            const std::uint32_t source = logo_pixel(logo.bytes(), x, y);
            const std::uint32_t expected = source == 0xFFFFFF ? kBackground : source;
            white += source == 0xFFFFFF;
            near_white += source != 0xFFFFFF && (source & 0xF0F0F0) == 0xF0F0F0;
            if (canvas.at(LogoHotRect::kLeft + x, y) != expected && ++wrong <= 5) {
                ADD_FAILURE() << "pixel " << x << "," << y << " source " << std::hex << source;
            }
        }
    }
    EXPECT_EQ(wrong, 0);
    // The art must hold both kinds for the check to mean something.
    EXPECT_GT(white, 0);
    EXPECT_GT(near_white, 0);
    // Nothing beside the logo is touched.
    EXPECT_EQ(canvas.at(LogoHotRect::kLeft - 1, 50), kBackground);
    EXPECT_EQ(canvas.at(LogoHotRect::kRight + 1, 50), kBackground);
    EXPECT_EQ(canvas.at(300, kLogoHeight), kBackground);
}

TEST(MakeMask, WhiteAndNearWhite_OnlyWhiteBecomesTransparent) {
    HDC screen = GetDC(nullptr);
    HBITMAP colour = CreateCompatibleBitmap(screen, 3, 1);
    ReleaseDC(nullptr, screen);
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, colour);
    SetPixel(dc, 0, 0, RGB(255, 255, 255));
    SetPixel(dc, 1, 0, RGB(254, 254, 254));
    SetPixel(dc, 2, 0, RGB(200, 10, 20));
    SelectObject(dc, old);

    HBITMAP mask = make_mask(colour, RGB(255, 255, 255));
    ASSERT_NE(mask, nullptr);
    BITMAP info{};
    GetObjectA(mask, sizeof info, &info);
    EXPECT_EQ(info.bmBitsPixel, 1);
    EXPECT_EQ(info.bmWidth, 3);

    old = SelectObject(dc, mask);
    EXPECT_EQ(pixel_of(dc, 0, 0), 0xFFFFFFu);  // transparent
    EXPECT_EQ(pixel_of(dc, 1, 0), 0u);
    EXPECT_EQ(pixel_of(dc, 2, 0), 0u);
    SelectObject(dc, colour);
    EXPECT_EQ(pixel_of(dc, 0, 0), 0u);  // blackened, so that OR leaves the background
    EXPECT_EQ(pixel_of(dc, 1, 0), 0xFEFEFEu);
    EXPECT_EQ(pixel_of(dc, 2, 0), 0xC80A14u);
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(mask);
    DeleteObject(colour);
}
