#include "app/cut_notice.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>

#include "app/program_text.h"
#include "app/scrambled_asset.h"

namespace {

constexpr char kNumberMark = '#';
constexpr std::string_view kLineEnd = "\r\n";

// Writes texts one after another into a fixed buffer, NUL-terminated, cutting what does not fit.
class Writer {
public:
    Writer(char* out, std::size_t size) noexcept : out_(out), size_(size) { out_[0] = '\0'; }

    void add(std::string_view text) noexcept {
        const std::size_t n = std::min(text.size(), size_ - 1 - used_);
        std::memcpy(out_ + used_, text.data(), n);
        used_ += n;
        out_[used_] = '\0';
    }

    // Adds `pattern` with its first two marks replaced by `first` and `second`.
    void add_filled(std::string_view pattern, std::size_t first, std::size_t second) noexcept {
        for (const std::size_t number : {first, second}) {
            const std::size_t mark = std::min(pattern.find(kNumberMark), pattern.size());
            add(pattern.substr(0, mark));
            if (mark == pattern.size()) return;
            char digits[24];
            const auto written = std::to_chars(digits, digits + sizeof digits, number);
            add(std::string_view(digits, static_cast<std::size_t>(written.ptr - digits)));
            pattern.remove_prefix(mark + 1);
        }
        add(pattern);
    }

    std::size_t used() const noexcept { return used_; }

private:
    char* out_;
    std::size_t size_;
    std::size_t used_ = 0;
};

// The CP1251 text `text` in `code_page`, NUL-terminated in `out`; false when that code page
// cannot hold every character of it (or `out` is too small).
bool convert(const char* text, UINT code_page, char* out, std::size_t size) noexcept {
    const ProgramText wide(text);
    // UTF-8 holds every character, and its conversion refuses both the flag and the question.
    const bool utf8 = code_page == CP_UTF8;
    BOOL used_default = FALSE;
    const int written =
        WideCharToMultiByte(code_page, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, wide.get(), -1, out,
                            static_cast<int>(size), nullptr, utf8 ? nullptr : &used_default);
    return written > 0 && !used_default;
}

}  // namespace

CutNotice::CutNotice(std::size_t shown, std::size_t total, UINT code_page) noexcept {
    Writer status(status_, kSize);
    {
        const ScrambledAsset done(AssetId::DoneStatus);
        status.add(done.text());
    }
    status.add(" ");
    const std::size_t notice_start = status.used();
    {
        const ScrambledAsset notice(AssetId::CutNotice);
        status.add_filled(notice.text(), shown, total);
    }
    const std::size_t room = kSize - kLineEnd.size();
    if (!convert(status_ + notice_start, code_page, line_, room)) {
        const ScrambledAsset latin(AssetId::CutNoticeLatin);
        Writer(line_, room).add_filled(latin.text(), shown, total);
    }
    const std::size_t length = std::strlen(line_);  // room was left for the line end
    std::memcpy(line_ + length, kLineEnd.data(), kLineEnd.size());
    line_[length + kLineEnd.size()] = '\0';
}

CutNotice::~CutNotice() {
    wipe_plain_copy(line_, sizeof line_);
    wipe_plain_copy(status_, sizeof status_);
}
