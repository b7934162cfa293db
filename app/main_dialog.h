#pragma once
// The program's one window: a modal dialog with the printer's fields, the report box, two
// buttons, a status bar and a logo that opens a link. It turns the get-data button into a
// retrieval request and offers the worker the operations that show the results.

#include <windows.h>

#include "app/retrieval_worker.h"

// Where the logo is painted, and the client pixels (bounds inclusive) over which it is "hovered".
struct LogoHotRect {
    static constexpr int kLeft = 98;
    static constexpr int kTop = 0;
    static constexpr int kRight = 577;
    static constexpr int kBottom = 98;
};
inline constexpr int kLogoWidth = 480;
inline constexpr int kLogoHeight = 99;

// The graphics objects the dialog creates at initialisation and releases, once, at close.
struct DialogGraphics {
    HFONT report_font = nullptr;
    HBITMAP logo = nullptr;
    HBITMAP mask = nullptr;
    HICON icon = nullptr;
};

// Starts the worker and runs the dialog until it is closed: 0, or -1 when the worker cannot start.
int run_program(HINSTANCE instance) noexcept;

// The dialog procedure of IDD_MAIN.
INT_PTR CALLBACK main_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

// The dialog's side of the worker's view; its operations may be called from any thread.
RetrievalView& main_dialog_view() noexcept;

// What the dialog currently holds; all null before initialisation and after close.
const DialogGraphics& dialog_graphics() noexcept;

// Draws the logo at (LogoHotRect::kLeft, LogoHotRect::kTop) on `dc`, its white pixels left out.
void paint_logo(HDC dc) noexcept;

// Makes the monochrome mask of `colour` (bits 1 where a pixel is `transparent`) and turns the
// transparent pixels of `colour` black, so that mask AND then colour OR draw it transparently.
HBITMAP make_mask(HBITMAP colour, COLORREF transparent) noexcept;
