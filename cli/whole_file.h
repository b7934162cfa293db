#pragma once
// What the companion keeps with --raw: a report written to FILE whole or not at all, without
// replacing what is not a report.

#include <string>
#include <string_view>

// Writes `bytes` to what `path` names:
//  - a regular file, or one that is not there: a new file is written beside it, synced, and
//    renamed into place, so that `path` holds either what it held before or all of `bytes`,
//    never a part (a full disk, a failing device); an existing file keeps its mode (and its owner
//    where the process may set it), a new one gets 0666 less the umask; the folder is synced
//    after the rename, so that the new name survives a power cut;
//  - a symbolic link: the same for the file it names (the new file beside that one); the link
//    stays;
//  - anything else that stands there (a character device, a FIFO, a terminal) and names of this
//    process's own descriptors (/dev/stdout, /dev/fd/N): written as it stands, in place;
//  - a folder or a block device (a disk): refused.
// False with `error` in the system's words when it cannot; a new file is then removed.
bool write_whole_file(const std::string& path, std::string_view bytes, std::string& error);
