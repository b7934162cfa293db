#pragma once
// Every text the program puts on the screen, the window icon and the logo are kept only in
// scrambled form. A ScrambledAsset is the short-lived plain copy of one of them: made, used at
// once, and wiped (then freed) when it goes out of scope, also when an exception passes.

#include <cstddef>
#include <cstdint>

enum class AssetId {
    GetDataLabel,       // 15 bytes: IDC_GET_DATA
    OpenReportLabel,    // 24: IDC_OPEN_REPORT
    ModelLabel,         // 7: IDC_MODEL_LABEL
    SerialLabel,        // 4: IDC_SERIAL_LABEL
    VersionLabel,       // 7: IDC_VERSION_LABEL
    CrumLabel,          // 5: IDC_CRUM_LABEL
    GroupTitle,         // 21: IDC_INFO_GROUP
    WindowTitle,        // 27: the dialog's caption
    AppIcon,            // 57466: an icon file image
    Logo,               // 142560: 480 x 99 pixels, 24 bits, bottom row first
    RetrievingStatus,   // 28
    DoneStatus,         // 27
    FailureText,        // 60
    MessageCaption,     // 9
    LinkTarget,         // 20
    ThreadFailureText,  // 17
    CutNotice,          // 38: the last line of a cut listing, '#' standing for its two numbers
    CutNoticeLatin,     // 39: the same in Latin letters, for a box whose code page lacks Cyrillic
    Count
};

// Overwrites the `size` bytes at `block` with zeros in a way the compiler cannot leave out, as
// it could a store to memory that is about to be freed or to go out of scope. Every plain copy
// of an asset, and every copy made of one, is wiped with it when it goes out of use.
void wipe_plain_copy(void* block, std::size_t size) noexcept;

class ScrambledAsset {
public:
    explicit ScrambledAsset(AssetId id) noexcept;
    ~ScrambledAsset();
    ScrambledAsset(const ScrambledAsset&) = delete;
    ScrambledAsset& operator=(const ScrambledAsset&) = delete;

    // False when no memory could be had for the plain copy; text() is then "" and size() 0.
    bool ok() const noexcept { return plain_ != nullptr; }
    // The plain copy as a NUL-terminated string (CP1251 for the interface texts).
    const char* text() const noexcept;
    // The same memory as a block of size() bytes (the pictures hold NULs: read them by length).
    const std::uint8_t* bytes() const noexcept;
    std::size_t size() const noexcept;

private:
    std::uint8_t* plain_ = nullptr;
    std::size_t size_ = 0;  // the asset's length; the buffer holds one byte more, the NUL
};
