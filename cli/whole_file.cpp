#include "cli/whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>

#include <filesystem>
#endif

namespace {

// Tries are bounded: names left by earlier runs that ended abruptly are passed over.
constexpr int kNameTries = 100;

std::string system_error(int code) { return std::strerror(code); }

// The few calls that differ between the systems.
#ifdef _WIN32
int create_new(const std::string& path, int) {
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
int create_new(const std::string& path, int mode) {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode));
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
    error = system_error(errno);
    return false;
}
#endif

// A file of our own beside `path`, created new with `mode` (less the umask), never one that is
// there (nor a link planted in its place). -1 with `temporary` empty when none can be made.
int create_beside(const std::string& path, int mode, std::string& temporary) {
    const std::string stem = path + ".tmp" + std::to_string(process_id());
    for (int attempt = 0; attempt < kNameTries; ++attempt) {
        temporary = attempt == 0 ? stem : stem + "-" + std::to_string(attempt);
        const int file = create_new(temporary, mode);
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

// What FILE names: a regular file to replace (there or not), or something written as it stands.
struct Destination {
    enum class Kind { File, InPlace, Descriptor };
    Kind kind = Kind::File;
    std::string path;    // File: the file to replace; InPlace: what to open
    int descriptor = -1;  // Descriptor: one of this process's own
#ifndef _WIN32
    std::optional<struct stat> existing;  // File: the file there now, if one is
#endif
};

#ifdef _WIN32
// A console, NUL, a serial port or a pipe is written as it stands; anything else (a file there
// or not, a folder) is left to the replacement, which refuses a folder.
bool find_destination(const std::string& path, Destination& destination, std::string&) {
    destination = {Destination::Kind::File, path};
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return true;
    if (GetFileType(handle) != FILE_TYPE_DISK) destination.kind = Destination::Kind::InPlace;
    CloseHandle(handle);
    return true;
}

bool write_in_place(const Destination& destination, std::string_view bytes, std::string& error) {
    const HANDLE handle =
        CreateFileA(destination.path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool written = handle != INVALID_HANDLE_VALUE;
    while (written && !bytes.empty()) {
        DWORD done = 0;
        const auto count = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        written = WriteFile(handle, bytes.data(), count, &done, nullptr) && done != 0;
        bytes.remove_prefix(done);
    }
    if (!written) error = "cannot write it (Windows error " + std::to_string(GetLastError()) + ")";
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    return written;
}

bool keep_owner_and_mode(int, const Destination&, std::string&) { return true; }
bool sync_folder(const std::string&, std::string&) { return true; }  // MOVEFILE_WRITE_THROUGH
int new_file_mode(const Destination&) { return 0; }
#else
// Links followed from FILE to what it names, as the system's own limit for one path.
constexpr int kMaxLinks = 40;

// N when `path` names one of this process's open descriptors (/dev/fd/N, /proc/self/fd/N, and
// /dev/stdout, which links to one of them).
std::optional<int> own_descriptor(std::string_view path) {
    const std::string own = "/proc/" + std::to_string(getpid()) + "/fd/";
    for (const std::string_view prefix : {std::string_view("/dev/fd/"),
                                          std::string_view("/proc/self/fd/"),
                                          std::string_view(own)}) {
        if (!path.starts_with(prefix)) continue;
        const std::string_view number = path.substr(prefix.size());
        if (number.empty() || number.size() > 9) return std::nullopt;
        int descriptor = 0;
        for (const char c : number) {
            if (c < '0' || c > '9') return std::nullopt;
            descriptor = descriptor * 10 + (c - '0');
        }
        return descriptor;
    }
    return std::nullopt;
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Follows FILE's links to what it names; false (with `error` said) for a folder, a block device
// or a path that cannot be followed.
bool find_destination(const std::string& path, Destination& destination, std::string& error) {
    std::string current = path;
    for (int links = 0; links <= kMaxLinks; ++links) {
        if (const std::optional<int> descriptor = own_descriptor(current)) {
            destination = {Destination::Kind::Descriptor, current, *descriptor, std::nullopt};
            return true;
        }
        struct stat status {};
        if (lstat(current.c_str(), &status) != 0) {
            if (errno != ENOENT) {
                error = system_error(errno);
                return false;
            }
            destination = {Destination::Kind::File, current, -1, std::nullopt};  // a new file
            return true;
        }
        if (S_ISLNK(status.st_mode)) {
            std::error_code failed;
            const std::string target = std::filesystem::read_symlink(current, failed).string();
            if (failed || target.empty()) {
                error = failed ? failed.message() : "an empty link";
                return false;
            }
            current = target.front() == '/' ? target : folder_of(current) + "/" + target;
            continue;
        }
        if (S_ISDIR(status.st_mode)) {
            error = "it is a folder";
        } else if (S_ISBLK(status.st_mode)) {
            error = "it is a block device (a disk): a report goes to a file, a character device "
                    "or a pipe";
        } else {
            const auto kind = S_ISREG(status.st_mode) ? Destination::Kind::File
                                                      : Destination::Kind::InPlace;
            destination = {kind, current, -1, status};
            return true;
        }
        return false;
    }
    error = system_error(ELOOP);
    return false;
}

// Pipes, terminals and most devices keep nothing to sync (EINVAL); what they do keep is synced.
bool sync_in_place(int file) { return fsync(file) == 0 || errno == EINVAL || errno == EROFS; }

bool write_in_place(const Destination& destination, std::string_view bytes, std::string& error) {
    // A descriptor of our own is written where it stands, as a shell's redirection does.
    const int file = destination.kind == Destination::Kind::Descriptor
                         ? dup(destination.descriptor)
                         : open(destination.path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (file < 0) {
        error = system_error(errno);
        return false;
    }
    const bool written = write_all(file, bytes) && sync_in_place(file);
    const int write_error = errno;
    const bool closed = close(file) == 0;
    if (written && closed) return true;
    error = system_error(written ? errno : write_error);
    return false;
}

// The replaced file's owner, where the process may set it (root may; a user may give it a group
// of its own), then its mode (a change of owner may clear the set-ID bits).
bool keep_owner_and_mode(int file, const Destination& destination, std::string& error) {
    if (!destination.existing) return true;
    const struct stat& existing = *destination.existing;
    if (fchown(file, existing.st_uid, existing.st_gid) != 0 &&
        fchown(file, static_cast<uid_t>(-1), existing.st_gid) != 0) {
        // Neither may be set here: the new file stays the process's own, as a new file would.
    }
    if (fchmod(file, existing.st_mode & 07777) == 0) return true;
    error = system_error(errno);
    return false;
}

// Syncs the folder that holds `path`, so that a name just put there survives a power cut. A
// folder the process may not read, or whose file system syncs no folders, is left as it is.
bool sync_folder(const std::string& path, std::string& error) {
    const int folder = open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0 && errno == EACCES) return true;
    const bool synced = folder >= 0 && sync_in_place(folder);
    const int sync_error = errno;
    if (folder >= 0) close(folder);
    if (!synced) {
        error = "the report is in place, but its folder could not be synced: " +
                system_error(sync_error);
    }
    return synced;
}

// A replaced file's report is as private as the file was while it is written: 0600 until its own
// mode is set; a new file gets 0666 less the umask.
int new_file_mode(const Destination& destination) { return destination.existing ? 0600 : 0666; }
#endif

// Writes a new file beside the destination and renames it into place.
bool replace_file(const Destination& destination, std::string_view bytes, std::string& error) {
    std::string temporary;
    const int file = create_beside(destination.path, new_file_mode(destination), temporary);
    if (file < 0) {
        error = system_error(errno);
        return false;
    }
    bool ok = keep_owner_and_mode(file, destination, error);
    // A file system may tell of a failed write only when the file is synced or closed.
    if (ok && !(write_all(file, bytes) && sync_file(file))) {
        error = system_error(errno);
        ok = false;
    }
    if (!close_file(file) && ok) {
        error = system_error(errno);
        ok = false;
    }
    if (ok && !rename_over(temporary, destination.path, error)) ok = false;
    if (!ok) {
        remove_file(temporary);
        return false;
    }
    return sync_folder(destination.path, error);
}

}  // namespace

bool write_whole_file(const std::string& path, std::string_view bytes, std::string& error) {
    Destination destination;
    if (!find_destination(path, destination, error)) return false;
    if (destination.kind == Destination::Kind::File) return replace_file(destination, bytes, error);
    return write_in_place(destination, bytes, error);
}
