#pragma once
// The export path for odd TEMP values and system folders, in heap buffers of exactly their size.
// Input: a flag byte (1: no TEMP, 2: no system folder), two bytes giving TEMP's length, TEMP's
// bytes, and the system folder's bytes (the rest). A NUL among the bytes ends that value early.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "app/export_path.h"

namespace export_path_checks {

inline std::unique_ptr<char[]> c_string(const std::uint8_t* bytes, std::size_t n) {
    std::unique_ptr<char[]> text(new char[n + 1]);
    if (n > 0) std::memcpy(text.get(), bytes, n);
    text[n] = '\0';
    return text;
}

// The path that must come out; "" when none fits.
inline std::string expected_path(const char* temp, const char* fallback) {
    if (temp != nullptr && std::strlen(temp) > 0 && std::strlen(temp) <= 246) {
        return std::string(temp) + "\\Info.sgi";
    }
    if (fallback == nullptr || fallback[0] == '\0') return {};
    const std::string folder(fallback);
    const bool has_separator = folder.back() == '\\' || folder.back() == '/';
    const std::string path = folder + (has_separator ? "" : "\\") + "Info.sgi";
    return path.size() < kExportPathBufferSize ? path : std::string();
}

inline std::string check_export_path(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return {};
    const std::uint8_t flags = data[0];
    const std::size_t temp_size =
        std::min<std::size_t>(std::size_t{data[1]} << 8 | data[2], size - 3);
    const auto temp = c_string(data + 3, temp_size);
    const auto fallback = c_string(data + 3 + temp_size, size - 3 - temp_size);
    const char* temp_value = (flags & 1) != 0 ? nullptr : temp.get();
    const char* fallback_dir = (flags & 2) != 0 ? nullptr : fallback.get();

    auto* block = new char[kExportPathBufferSize];
    std::unique_ptr<char[]> owner(block);
    std::memset(block, 'Z', kExportPathBufferSize);
    auto& out = *reinterpret_cast<char(*)[kExportPathBufferSize]>(block);
    const bool built = build_export_path(temp_value, fallback_dir, out);
    const std::string expected = expected_path(temp_value, fallback_dir);
    if (built != !expected.empty())
        return built ? "a path where none fits" : "no path where one fits";
    if (std::memchr(out, '\0', kExportPathBufferSize) == nullptr) return "path not terminated";
    if (expected != out) return "path differs: " + std::string(out);
    return {};
}

}  // namespace export_path_checks
