#pragma once
// A file written whole or not at all: what the companion keeps with --raw.

#include <string>
#include <string_view>

// Writes `bytes` to a new file beside `path` and renames it into place, so that `path` holds
// either what it held before or all of `bytes`, never a part (a full disk, a failing device).
// False with `error` in the system's words when it cannot; the new file is then removed.
bool write_whole_file(const std::string& path, std::string_view bytes, std::string& error);
