#include "app/report_export.h"

#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

ShellExecuteFn shell_execute = &ShellExecuteA;

namespace {

// The file of the last export that was written, kept for its removal when the dialog closes.
char export_path_buffer[kExportPathBufferSize] = "";

// Writes all `size` bytes to a new file at `path`; false if any of it failed. A file that opened
// was created or emptied by us: if it then cannot be written whole, it is removed at once, so
// that no cut report is left looking like a whole one and the last good export stays recorded.
bool write_file(const char* path, const char* text, std::size_t size) noexcept {
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) return false;  // perhaps another program's file: left as it is
    const bool written = std::fwrite(text, 1, size, file) == size;
    if (std::fclose(file) == 0 && written) return true;
    std::remove(path);
    return false;
}

}  // namespace

bool make_export_path(char (&path)[kExportPathBufferSize]) noexcept {
    // Values that do not fit these buffers are too long for the path anyway.
    char temp[kExportPathBufferSize];
    const DWORD temp_length = GetEnvironmentVariableA("TEMP", temp, sizeof temp);
    const bool temp_read = temp_length > 0 && temp_length < sizeof temp;
    char system_directory[kExportPathBufferSize];
    const DWORD directory_length = GetTempPathA(sizeof system_directory, system_directory);
    const bool directory_read = directory_length > 0 && directory_length < sizeof system_directory;
    return build_export_path(temp_read ? temp : nullptr, directory_read ? system_directory : nullptr,
                             path);
}

const char* export_path() noexcept { return export_path_buffer; }

void export_report(HWND box) noexcept {
    const int length = GetWindowTextLengthA(box);
    if (length <= 0) return;
    std::unique_ptr<char[]> text(new (std::nothrow) char[static_cast<std::size_t>(length) + 1]);
    if (!text) return;
    // The copy can be shorter than the announced length (which is an upper bound): write that.
    const int copied = GetWindowTextA(box, text.get(), length + 1);
    char path[kExportPathBufferSize];
    if (copied <= 0 || !make_export_path(path)) return;
    // Only a file written whole is recorded for removal at close (see write_file).
    if (!write_file(path, text.get(), static_cast<std::size_t>(copied))) return;
    std::memcpy(export_path_buffer, path, sizeof path);
    shell_execute(nullptr, "open", "notepad", path, nullptr, SW_SHOWNORMAL);
}
