// The resources of the built program, read from its file as data and compared with the table of
// the dialog, the icon group, the version and the manifest.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/scrambled_asset.h"
#include "res/resource_ids.h"

namespace {

// Reads a DLGTEMPLATEEX: little-endian words, strings of UTF-16 units, items DWORD-aligned.
class TemplateReader {
public:
    TemplateReader(const void* data, std::size_t size)
        : base_(static_cast<const std::uint8_t*>(data)), size_(size) {}
    std::uint16_t word() {
        std::uint16_t w = 0;
        if (at_ + 2 <= size_) std::memcpy(&w, base_ + at_, 2);
        at_ += 2;
        return w;
    }
    std::uint32_t dword() {
        const std::uint32_t low = word();
        return low | static_cast<std::uint32_t>(word()) << 16;
    }
    std::wstring text() {
        std::wstring s;
        for (std::uint16_t c = word(); c != 0 && at_ <= size_; c = word()) s += static_cast<wchar_t>(c);
        return s;
    }
    // A name or an ordinal; ordinals of the predefined classes come back as their names.
    std::wstring name_or_ordinal() {
        if (peek() != 0xFFFF) return text();
        word();
        switch (const std::uint16_t ordinal = word()) {
            case 0x80: return L"BUTTON";
            case 0x81: return L"EDIT";
            case 0x82: return L"STATIC";
            default: return L"#" + std::to_wstring(ordinal);
        }
    }
    void align() { at_ = (at_ + 3) & ~std::size_t{3}; }
    void skip(std::size_t n) { at_ += n; }
    bool overran() const { return at_ > size_; }

private:
    std::uint16_t peek() const {
        std::uint16_t w = 0;
        if (at_ + 2 <= size_) std::memcpy(&w, base_ + at_, 2);
        return w;
    }
    const std::uint8_t* base_;
    std::size_t size_;
    std::size_t at_ = 0;
};

struct Control {
    std::uint32_t id;
    std::wstring class_name;
    std::wstring text;
    std::uint32_t style;
    short x, y, cx, cy;
    bool operator==(const Control&) const = default;
};

std::wstring upper(std::wstring s) {
    for (wchar_t& c : s) c = static_cast<wchar_t>(towupper(c));
    return s;
}

class ProgramResources : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        module_ = LoadLibraryExA(VELLUMO_PROGRAM_PATH, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    }
    static void TearDownTestSuite() {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    void SetUp() override { ASSERT_NE(module_, nullptr) << VELLUMO_PROGRAM_PATH; }

    static std::vector<std::uint8_t> resource(LPCSTR type, int id) {
        HRSRC found = FindResourceA(module_, MAKEINTRESOURCEA(id), type);
        if (found == nullptr) return {};
        const auto* data = static_cast<const std::uint8_t*>(LockResource(LoadResource(module_, found)));
        return {data, data + SizeofResource(module_, found)};
    }

    static inline HMODULE module_ = nullptr;
};

}  // namespace

TEST_F(ProgramResources, DialogTemplate_HeaderAndFont_MatchTheDesign) {
    const std::vector<std::uint8_t> data = resource(MAKEINTRESOURCEA(5), IDD_MAIN);  // RT_DIALOG
    ASSERT_FALSE(data.empty());
    TemplateReader in(data.data(), data.size());
    EXPECT_EQ(in.word(), 1);        // extended template
    EXPECT_EQ(in.word(), 0xFFFF);
    EXPECT_EQ(in.dword(), 0u);      // help id
    EXPECT_EQ(in.dword(), 0u);      // extended style
    EXPECT_EQ(in.dword(), 0x90CA084Cu);
    EXPECT_EQ(in.word(), 13);       // controls
    const short rect[] = {static_cast<short>(in.word()), static_cast<short>(in.word()),
                          static_cast<short>(in.word()), static_cast<short>(in.word())};
    EXPECT_EQ(rect[2], 450);
    EXPECT_EQ(rect[3], 350);
    EXPECT_EQ(in.name_or_ordinal(), L"");  // no menu
    EXPECT_EQ(in.name_or_ordinal(), L"");  // the dialog class
    EXPECT_EQ(in.text(), L"Vellumo Printer info");
    EXPECT_EQ(in.word(), 8);        // points
    EXPECT_EQ(in.word(), 400);      // weight
    in.skip(2);                     // italic, character set
    EXPECT_EQ(in.text(), L"Ms Shell Dlg");
    EXPECT_FALSE(in.overran());
}

TEST_F(ProgramResources, DialogTemplate_Controls_MatchTheTableInTabOrder) {
    const std::vector<std::uint8_t> data = resource(MAKEINTRESOURCEA(5), IDD_MAIN);
    ASSERT_FALSE(data.empty());
    TemplateReader in(data.data(), data.size());
    in.skip(16);
    const int count = in.word();
    in.skip(8);
    in.name_or_ordinal();
    in.name_or_ordinal();
    in.text();
    in.skip(6);
    in.text();

    std::vector<Control> controls;
    for (int i = 0; i < count; ++i) {
        in.align();
        in.dword();  // help id
        EXPECT_EQ(in.dword(), 0u) << "extended style of item " << i;
        Control c{};
        c.style = in.dword();
        c.x = static_cast<short>(in.word());
        c.y = static_cast<short>(in.word());
        c.cx = static_cast<short>(in.word());
        c.cy = static_cast<short>(in.word());
        c.id = in.dword();
        c.class_name = upper(in.name_or_ordinal());
        c.text = in.name_or_ordinal();
        in.skip(in.word());  // creation data
        controls.push_back(c);
    }
    EXPECT_FALSE(in.overran());

    const std::vector<Control> expected = {
        {4004, L"EDIT", L"", 0x50010800, 42, 88, 400, 8},
        {4006, L"EDIT", L"", 0x50010800, 42, 100, 400, 8},
        {4009, L"EDIT", L"", 0x50010800, 42, 112, 400, 8},
        {4011, L"EDIT", L"", 0x50010800, 42, 124, 400, 8},
        {4001, L"EDIT", L"", 0x50B108C4, 0, 145, 450, 167},
        {4008, L"BUTTON", L"Получить данные", 0x50010000, 12, 318, 70, 14},
        {4014, L"BUTTON", L"Открыть отчёт в блокноте", 0x50010000, 92, 318, 100, 14},
        {4002, L"MSCTLS_STATUSBAR32", L"", 0x50000003, 0, 386, 450, 14},
        {4003, L"STATIC", L"Модель:", 0x50020000, 12, 88, 30, 8},
        {4005, L"STATIC", L"S/N:", 0x50020000, 24, 100, 18, 8},
        {4010, L"STATIC", L"Версия:", 0x50020000, 12, 112, 30, 8},
        {4012, L"STATIC", L"CRUM:", 0x50020000, 16, 124, 25, 8},
        {4013, L"BUTTON", L"Информация о принтере", 0x50000007, 4, 70, 442, 67},
    };
    ASSERT_EQ(controls.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(controls[i], expected[i]) << "item " << i << " id " << controls[i].id << " style 0x"
                                            << std::hex << controls[i].style;
    }
}

TEST_F(ProgramResources, IconGroup_OneImageOfTheIconArt) {
    const std::vector<std::uint8_t> group = resource(MAKEINTRESOURCEA(14), IDI_APP);  // RT_GROUP_ICON
    ASSERT_EQ(group.size(), 6u + 14u);
    const std::uint8_t header[] = {0, 0, 1, 0, 1, 0};  // reserved, type icon, one entry
    EXPECT_EQ(std::memcmp(group.data(), header, 6), 0);
    const std::uint8_t* entry = group.data() + 6;
    EXPECT_EQ(entry[0], 109);  // width
    EXPECT_EQ(entry[1], 127);  // height
    EXPECT_EQ(entry[6] | entry[7] << 8, 32);  // bits per pixel
    std::uint32_t bytes = 0;
    std::memcpy(&bytes, entry + 8, 4);
    const int image_id = entry[12] | entry[13] << 8;
    EXPECT_EQ(image_id, 1);

    // The image is the one inside the icon asset (after its 22-byte file directory).
    const std::vector<std::uint8_t> image = resource(MAKEINTRESOURCEA(3), image_id);  // RT_ICON
    const ScrambledAsset art(AssetId::AppIcon);
    ASSERT_EQ(art.size(), 57466u);
    ASSERT_EQ(image.size(), bytes);
    ASSERT_EQ(image.size(), art.size() - 22);
    EXPECT_EQ(std::memcmp(image.data(), art.bytes() + 22, image.size()), 0);
}

TEST_F(ProgramResources, Manifest_AsksForCommonControlsSixAsInvoker) {
    const std::vector<std::uint8_t> data = resource(MAKEINTRESOURCEA(24), 1);  // RT_MANIFEST
    ASSERT_FALSE(data.empty());
    const std::string manifest(data.begin(), data.end());
    EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
              std::string::npos);
    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"),
              std::string::npos);
}

TEST_F(ProgramResources, Version_Is1600ForRussianCodePage1251) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(VELLUMO_PROGRAM_PATH, &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(VELLUMO_PROGRAM_PATH, 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010006u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010006u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0419);
    EXPECT_EQ(translation[1], 1251);

    char* file_version = nullptr;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\041904E3\\FileVersion",
                               reinterpret_cast<void**>(&file_version), &length));
    EXPECT_STREQ(file_version, "1.6.0.0");
}
