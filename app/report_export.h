#pragma once
// Opens the report in the system text editor: the report box's text goes to "Info.sgi" in the
// temporary directory, which the shell then opens with Notepad. The dialog removes it at close.

#include <windows.h>

#include "app/export_path.h"

// The shell's "open" request. A seam: tests point it elsewhere so that no editor starts.
using ShellExecuteFn = HINSTANCE(WINAPI*)(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT);
extern ShellExecuteFn shell_execute;

// Writes the text of `report_box` to the export file and asks the shell to open it in Notepad.
// Nothing happens when the box is empty, no memory can be had for its text, or no path fits;
// a file that opened but could not be written whole is removed, and no editor starts.
void export_report(HWND report_box) noexcept;

// The file of the last export that was written; "" before the first one.
const char* export_path() noexcept;

// Builds the export path from this process's TEMP and the system's temporary directory (see
// build_export_path). False, with `path` empty, when neither gives a path that fits.
bool make_export_path(char (&path)[kExportPathBufferSize]) noexcept;
