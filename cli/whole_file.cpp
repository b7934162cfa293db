#include "cli/whole_file.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

// The few calls that differ between the systems.
#ifdef _WIN32
int create_new(const std::string& path) {
    return _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}
long write_some(int file, const char* bytes, std::size_t count) {
    return _write(file, bytes, static_cast<unsigned>(std::min<std::size_t>(count, 1u << 30)));
}
bool sync_file(int file) { return _commit(file) == 0; }
bool close_file(int file) { return _close(file) == 0; }
void remove_file(const std::string& path) { _unlink(path.c_str()); }
int process_id() { return _getpid(); }
bool rename_over(const std::string& from, const std::string& to, std::string& error) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    error = "cannot rename it into place (Windows error " + std::to_string(GetLastError()) + ")";
    return false;
}
#else
int create_new(const std::string& path) {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}
long write_some(int file, const char* bytes, std::size_t count) {
    return static_cast<long>(write(file, bytes, count));
}
bool sync_file(int file) { return fsync(file) == 0; }
bool close_file(int file) { return close(file) == 0; }
void remove_file(const std::string& path) { unlink(path.c_str()); }
int process_id() { return static_cast<int>(getpid()); }
bool rename_over(const std::string& from, const std::string& to, std::string& error) {
    if (std::rename(from.c_str(), to.c_str()) == 0) return true;
    error = std::strerror(errno);
    return false;
}
#endif

// Tries are bounded: names left by earlier runs that ended abruptly are passed over.
constexpr int kNameTries = 100;

// A file of our own beside `path`: created new, never one that is there (nor a link planted in
// its place). -1 with `temporary` empty when none can be made.
int create_beside(const std::string& path, std::string& temporary) {
    const std::string stem = path + ".tmp" + std::to_string(process_id());
    for (int attempt = 0; attempt < kNameTries; ++attempt) {
        temporary = attempt == 0 ? stem : stem + "-" + std::to_string(attempt);
        const int file = create_new(temporary);
        if (file >= 0 || errno != EEXIST) {
            if (file < 0) temporary.clear();
            return file;
        }
    }
    temporary.clear();
    return -1;
}

// Every byte, or false with errno telling why (a short write with no error is a full disk).
bool write_all(int file, std::string_view bytes) {
    while (!bytes.empty()) {
        const long written = write_some(file, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = ENOSPC;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace

bool write_whole_file(const std::string& path, std::string_view bytes, std::string& error) {
    std::string temporary;
    const int file = create_beside(path, temporary);
    if (file < 0) {
        error = std::strerror(errno);
        return false;
    }
    // A file system may tell of a failed write only when the file is synced or closed.
    const bool written = write_all(file, bytes) && sync_file(file);
    const int write_error = errno;
    const bool closed = close_file(file);
    if (!written || !closed) {
        error = std::strerror(written ? errno : write_error);
        remove_file(temporary);
        return false;
    }
    if (rename_over(temporary, path, error)) return true;
    remove_file(temporary);
    return false;
}
