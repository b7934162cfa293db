#include "app/export_path.h"

#include <cstring>
#include <string_view>

namespace {

constexpr std::string_view kFileName = "Info.sgi";

// Length of `text`, looked at no further than `limit` bytes: a TEMP value can be very long.
std::size_t bounded_length(const char* text, std::size_t limit) noexcept {
    if (text == nullptr) return 0;
    const void* end = std::memchr(text, '\0', limit);
    return end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - text) : limit;
}

bool is_separator(char c) noexcept { return c == '\\' || c == '/'; }

// `folder`, a backslash unless it is there already, and the file name, if all of it fits.
bool join(const char* folder, std::size_t length, bool add_separator,
          char (&out)[kExportPathBufferSize]) noexcept {
    const std::size_t separator = add_separator ? 1 : 0;
    if (length + separator + kFileName.size() >= kExportPathBufferSize) return false;
    std::memcpy(out, folder, length);
    if (add_separator) out[length] = '\\';
    std::memcpy(out + length + separator, kFileName.data(), kFileName.size());
    out[length + separator + kFileName.size()] = '\0';
    return true;
}

}  // namespace

bool build_export_path(const char* temp_value, const char* fallback_dir,
                       char (&out)[kExportPathBufferSize]) noexcept {
    const std::size_t temp_length = bounded_length(temp_value, kExportPathBufferSize);
    if (temp_length > 0 && join(temp_value, temp_length, true, out)) return true;
    const std::size_t fallback_length = bounded_length(fallback_dir, kExportPathBufferSize);
    if (fallback_length > 0 && join(fallback_dir, fallback_length,
                                    !is_separator(fallback_dir[fallback_length - 1]), out)) {
        return true;
    }
    out[0] = '\0';
    return false;
}
