#pragma once
// The path of the export file, built from the value of TEMP or, failing that, from the system's
// temporary folder. Portable: the caller reads both values from the system and passes them in.

#include <cstddef>

// Size of the export path buffer, terminator included.
inline constexpr std::size_t kExportPathBufferSize = 256;

// Writes `temp_value` followed by "\Info.sgi" into `out` when TEMP is set, not empty, and at
// most 246 characters long (so that the whole path fits with its NUL). Otherwise writes
// `fallback_dir` followed by "Info.sgi", with a backslash between them unless the folder already
// ends in one (or in '/'), if that fits. Otherwise, or when neither value is usable, returns
// false with `out` empty. Either value may be null. Nothing is written past `out`.
bool build_export_path(const char* temp_value, const char* fallback_dir,
                       char (&out)[kExportPathBufferSize]) noexcept;
