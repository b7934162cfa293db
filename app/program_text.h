#pragma once
// A program text converted for display. The texts are stored in CP1251 and shown through the
// wide functions, so that they read right whatever the system's ANSI code page is. The
// converted copy is as plain as the asset it came from: it is wiped when it goes out of use.

#include <windows.h>

#include <cstddef>
#include <cstring>

#include "app/scrambled_asset.h"

class ProgramText {
public:
    static constexpr UINT kCodePage = 1251;
    static constexpr std::size_t kMaxLength = 256;  // longer texts than any of ours are cut

    explicit ProgramText(const char* text) noexcept {
        const std::size_t length = strnlen(text, kMaxLength - 1);
        const int converted = MultiByteToWideChar(kCodePage, 0, text, static_cast<int>(length),
                                                  wide_, static_cast<int>(kMaxLength - 1));
        wide_[converted > 0 ? converted : 0] = L'\0';
    }
    ~ProgramText() { wipe_plain_copy(wide_, sizeof wide_); }
    ProgramText(const ProgramText&) = delete;
    ProgramText& operator=(const ProgramText&) = delete;

    const wchar_t* get() const noexcept { return wide_; }

private:
    wchar_t wide_[kMaxLength];
};
