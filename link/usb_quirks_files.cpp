// The system's quirks files (POSIX): every regular file of $CUPS_DATADIR/usb, else of
// /usr/share/cups/usb, read over the built-in entries as CUPS's USB backend reads them.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "link/usb_quirks.h"

namespace {

// Bounds on what a folder can make the companion read: Debian's file is 8.4 KB.
constexpr std::size_t kMaxFileBytes = 256 * 1024;
constexpr std::size_t kMaxFiles = 64;
constexpr std::size_t kMaxFolderEntries = 4096;  // names looked at, files or not

std::string quirks_folder() {
    const char* data = std::getenv("CUPS_DATADIR");
    return std::string(data != nullptr && *data != '\0' ? data : "/usr/share/cups") + "/usb";
}

// The names in `folder`, sorted, at most kMaxFiles of the first kMaxFolderEntries.
std::vector<std::string> names_in(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return names;
    std::size_t seen = 0;
    for (const dirent* entry = readdir(dir); entry != nullptr && seen < kMaxFolderEntries;
         entry = readdir(dir), ++seen) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    if (names.size() > kMaxFiles) names.resize(kMaxFiles);
    return names;
}

// At most kMaxFileBytes of a regular file (a link to one is followed); a file cut there loses its
// last line, which may be cut too. Empty for anything else: a FIFO is not waited for.
std::string regular_file_text(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return {};
    std::string text;
    struct stat status {};
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        text.resize(kMaxFileBytes + 1);
        std::size_t got = 0;
        while (got < text.size()) {
            const ssize_t n = read(fd, text.data() + got, text.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        text.resize(got);
        if (got > kMaxFileBytes) text.resize(text.rfind('\n', kMaxFileBytes - 1) + 1);
    }
    close(fd);
    return text;
}

}  // namespace

UsbQuirkTable UsbQuirkTable::of_this_system() {
    UsbQuirkTable table = built_in();
    const std::string folder = quirks_folder();
    for (const std::string& name : names_in(folder)) table.add(regular_file_text(folder + "/" + name));
    return table;
}
