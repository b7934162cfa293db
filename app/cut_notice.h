#pragma once
// What a cut listing says of itself: a last line for the report box and a text for the status
// bar, both telling how many of the whole listing's lines the box holds. Both are plain copies
// of program texts, wiped when the notice goes out of use.

#include <windows.h>

#include <cstddef>

class CutNotice {
public:
    // `shown` lines of `total`; `code_page` is the report box's, the system's ANSI code page.
    CutNotice(std::size_t shown, std::size_t total, UINT code_page) noexcept;
    ~CutNotice();
    CutNotice(const CutNotice&) = delete;
    CutNotice& operator=(const CutNotice&) = delete;

    // The listing's last line, ending in CR LF, in `code_page`: the Russian text where that code
    // page holds all of it, else the same words in Latin letters, alike in every code page.
    const char* line() const noexcept { return line_; }
    // The done status and the Russian text, in CP1251 like every program text.
    const char* status() const noexcept { return status_; }

private:
    static constexpr std::size_t kSize = 192;
    char line_[kSize];
    char status_[kSize];
};
