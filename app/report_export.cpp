#include "app/report_export.h"

#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "app/main_dialog.h"

ShellExecuteFn shell_execute = &ShellExecuteA;

namespace {

constexpr char kFileName[] = "Info.sgi";
constexpr std::size_t kFileNameLength = sizeof kFileName - 1;

// The file of the last export, kept for its removal when the dialog closes.
char export_path_buffer[kExportPathSize] = "";

// TEMP, when set and short enough to take "\Info.sgi" within the buffer.
bool path_from_temp(char* path) noexcept {
    const DWORD length = GetEnvironmentVariableA("TEMP", path, kExportPathSize);
    if (length == 0 || length + 1 + kFileNameLength >= kExportPathSize) return false;
    path[length] = '\\';
    std::memcpy(path + length + 1, kFileName, kFileNameLength + 1);
    return true;
}

// The system's temporary directory, which already ends in a backslash.
bool path_from_system(char* path) noexcept {
    const DWORD length = GetTempPathA(kExportPathSize, path);
    if (length == 0 || length + kFileNameLength >= kExportPathSize) return false;
    const bool has_separator = path[length - 1] == '\\' || path[length - 1] == '/';
    if (!has_separator && length + 1 + kFileNameLength >= kExportPathSize) return false;
    DWORD end = length;
    if (!has_separator) path[end++] = '\\';
    std::memcpy(path + end, kFileName, kFileNameLength + 1);
    return true;
}

// Writes all `size` bytes to a new file at `path`; false if any of it failed.
bool write_file(const char* path, const char* text, std::size_t size) noexcept {
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(text, 1, size, file) == size;
    return std::fclose(file) == 0 && written;
}

// Takes `path` as the export path; a file left at a different earlier path goes first.
void keep_export_path(const char* path) noexcept {
    if (export_path_buffer[0] != '\0' && std::strcmp(export_path_buffer, path) != 0) {
        std::remove(export_path_buffer);
    }
    std::memcpy(export_path_buffer, path, std::strlen(path) + 1);
}

}  // namespace

bool make_export_path(char* path) noexcept {
    if (path_from_temp(path) || path_from_system(path)) return true;
    path[0] = '\0';
    return false;
}

const char* export_path() noexcept { return export_path_buffer; }

void export_report() noexcept {
    HWND box = report_box();
    const int length = GetWindowTextLengthA(box);
    if (length <= 0) return;
    std::unique_ptr<char[]> text(new (std::nothrow) char[static_cast<std::size_t>(length) + 1]);
    if (!text) return;
    // The copy can be shorter than the announced length (which is an upper bound): write that.
    const int copied = GetWindowTextA(box, text.get(), length + 1);
    char path[kExportPathSize];
    if (copied <= 0 || !make_export_path(path)) return;
    keep_export_path(path);
    if (write_file(path, text.get(), static_cast<std::size_t>(copied))) {
        shell_execute(nullptr, "open", "notepad", path, nullptr, SW_SHOWNORMAL);
    }
}
