#include "app/main_dialog.h"

#include <commctrl.h>
#include <process.h>
#include <windowsx.h>

#include <cstdint>
#include <cstdio>

#include "app/program_text.h"
#include "app/report_export.h"
#include "app/scrambled_asset.h"
#include "res/resource_ids.h"

namespace {

constexpr DWORD kIconFormatVersion = 0x00030000;
constexpr COLORREF kTransparent = RGB(255, 255, 255);

void set_program_text(HWND window, const char* text) noexcept {
    SetWindowTextW(window, ProgramText(text).get());
}

// Program-wide state of the one dialog: handles looked up once, graphics, cursors, hover.
HWND dialog_window = nullptr;
HWND model_field = nullptr;
HWND serial_field = nullptr;
HWND report_text = nullptr;
HWND firmware_field = nullptr;
HWND crum_field = nullptr;
HWND status_bar = nullptr;
DialogGraphics graphics;
HCURSOR hand_cursor = nullptr;
HCURSOR arrow_cursor = nullptr;
bool hover = false;

class MainDialog final : public RetrievalView {
public:
    void set_status(const char* text) override {
        SendMessageW(status_bar, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(ProgramText(text).get()));
    }
    void set_report_text(const char* text) override { SetWindowTextA(report_text, text); }
    void set_field(ReportField field, const char* text) override {
        SetWindowTextA(field_box(field), text);
    }
    std::size_t report_text_length() override {
        const int length = GetWindowTextLengthA(report_text);
        return length > 0 ? static_cast<std::size_t>(length) : 0;
    }
    void enable_buttons(bool on) override {
        EnableWindow(GetDlgItem(dialog_window, IDC_GET_DATA), on);
        EnableWindow(GetDlgItem(dialog_window, IDC_OPEN_REPORT), on && HasReport.load());
    }
    void show_information(const char* text) override {
        const ScrambledAsset caption(AssetId::MessageCaption);
        MessageBoxW(dialog_window, ProgramText(text).get(), ProgramText(caption.text()).get(),
                    MB_ICONINFORMATION);
    }

private:
    static HWND field_box(ReportField field) noexcept {
        switch (field) {
            case ReportField::Model: return model_field;
            case ReportField::Serial: return serial_field;
            case ReportField::Firmware: return firmware_field;
            case ReportField::Crum: return crum_field;
        }
        return nullptr;
    }
};

// Made while compiling and never destroyed: closing is allowed during a retrieval, and the
// worker may still call through the view while the process exits and destroys its statics.
union LastingView {
    MainDialog view;
    constexpr LastingView() : view() {}
    ~LastingView() {}  // leaves `view` as it is
};
constinit LastingView lasting_view;
MainDialog& main_dialog = lasting_view.view;

struct LabelAsset {
    int control;
    AssetId asset;
};

constexpr LabelAsset kLabels[] = {
    {IDC_GET_DATA, AssetId::GetDataLabel},   {IDC_OPEN_REPORT, AssetId::OpenReportLabel},
    {IDC_MODEL_LABEL, AssetId::ModelLabel},  {IDC_SERIAL_LABEL, AssetId::SerialLabel},
    {IDC_VERSION_LABEL, AssetId::VersionLabel}, {IDC_CRUM_LABEL, AssetId::CrumLabel},
    {IDC_INFO_GROUP, AssetId::GroupTitle},
};

void look_up_controls(HWND dialog) noexcept {
    dialog_window = dialog;
    model_field = GetDlgItem(dialog, IDC_MODEL_FIELD);
    serial_field = GetDlgItem(dialog, IDC_SERIAL_FIELD);
    report_text = GetDlgItem(dialog, IDC_REPORT_TEXT);
    firmware_field = GetDlgItem(dialog, IDC_FIRMWARE_FIELD);
    crum_field = GetDlgItem(dialog, IDC_CRUM_FIELD);
    status_bar = GetDlgItem(dialog, IDC_STATUS_BAR);
}

void set_labels(HWND dialog) noexcept {
    for (const LabelAsset& label : kLabels) {
        const ScrambledAsset text(label.asset);
        set_program_text(GetDlgItem(dialog, label.control), text.text());
    }
    const ScrambledAsset title(AssetId::WindowTitle);
    set_program_text(dialog, title.text());
}

// The icon asset is an icon file; the directory lookup yields the image's offset inside it.
HICON create_icon() noexcept {
    const ScrambledAsset art(AssetId::AppIcon);
    if (!art.ok()) return nullptr;
    auto* data = const_cast<PBYTE>(art.bytes());
    const int offset = LookupIconIdFromDirectoryEx(data, TRUE, 0, 0, LR_DEFAULTCOLOR);
    if (offset <= 0 || static_cast<std::size_t>(offset) >= art.size()) return nullptr;
    const auto image_size = static_cast<DWORD>(art.size() - static_cast<std::size_t>(offset));
    return CreateIconFromResourceEx(data + offset, image_size, TRUE, kIconFormatVersion, 0, 0,
                                    LR_DEFAULTSIZE);
}

void set_icon(HWND dialog) noexcept {
    graphics.icon = create_icon();
    SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(graphics.icon));
    SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(graphics.icon));
}

HBITMAP create_logo(HWND dialog) noexcept {
    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = kLogoWidth;
    header.biHeight = kLogoHeight;  // positive: the bottom row comes first
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    HDC dc = GetDC(dialog);
    HBITMAP logo = CreateCompatibleBitmap(dc, kLogoWidth, kLogoHeight);
    const ScrambledAsset pixels(AssetId::Logo);
    if (logo != nullptr && pixels.ok()) {
        SetDIBits(dc, logo, 0, kLogoHeight, pixels.bytes(), reinterpret_cast<BITMAPINFO*>(&header),
                  DIB_RGB_COLORS);
    }
    ReleaseDC(dialog, dc);
    return logo;
}

void create_report_font() noexcept {
    graphics.report_font = CreateFontA(12, 0, 0, 0, FW_DONTCARE, FALSE, FALSE, FALSE, ANSI_CHARSET,
                                       OUT_TT_ONLY_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                       FIXED_PITCH, "Lucida Console");
    SendMessageW(report_text, WM_SETFONT, reinterpret_cast<WPARAM>(graphics.report_font), TRUE);
}

// A multi-line edit inside a dialog answers Esc by posting WM_CLOSE to it, which would end the
// program while the report box has the focus; Esc is meant not to close. The box drops the key.
LRESULT CALLBACK report_box_proc(HWND box, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR id,
                                 DWORD_PTR) {
    const bool escape = (message == WM_KEYDOWN && wparam == VK_ESCAPE) ||
                        (message == WM_CHAR && wparam == VK_ESCAPE);
    if (escape) return 0;
    if (message == WM_NCDESTROY) RemoveWindowSubclass(box, report_box_proc, id);
    return DefSubclassProc(box, message, wparam, lparam);
}

void initialise(HWND dialog) noexcept {
    look_up_controls(dialog);
    install_retrieval_view(&main_dialog);
    set_labels(dialog);
    set_icon(dialog);
    graphics.logo = create_logo(dialog);
    graphics.mask = graphics.logo != nullptr ? make_mask(graphics.logo, kTransparent) : nullptr;
    hand_cursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32649));  // IDC_HAND
    arrow_cursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    create_report_font();
    SetWindowSubclass(report_text, report_box_proc, 0, 0);
    hover = false;
    main_dialog.enable_buttons(true);
}

void paint(HWND dialog) noexcept {
    PAINTSTRUCT paint_info;
    HDC dc = BeginPaint(dialog, &paint_info);
    paint_logo(dc);
    EndPaint(dialog, &paint_info);
}

bool over_logo(LPARAM position) noexcept {
    const int x = GET_X_LPARAM(position);  // signed: positions left of or above the client area
    const int y = GET_Y_LPARAM(position);
    return x >= LogoHotRect::kLeft && x <= LogoHotRect::kRight && y >= LogoHotRect::kTop &&
           y <= LogoHotRect::kBottom;
}

void open_link_target() noexcept {
    const ScrambledAsset target(AssetId::LinkTarget);
    shell_execute(nullptr, "open", target.text(), nullptr, nullptr, SW_SHOWNORMAL);
}

void start_retrieval() noexcept {
    for (HWND box : {model_field, serial_field, firmware_field, crum_field, report_text}) {
        SetWindowTextA(box, "");
    }
    // A disabled button keeps no focus: move it on first, or the keyboard would reach nothing.
    if (GetFocus() == GetDlgItem(dialog_window, IDC_GET_DATA)) {
        SendMessageA(dialog_window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(report_text), TRUE);
    }
    main_dialog.enable_buttons(false);
    HasReport = false;
    RetrievalRequest = true;
}

INT_PTR on_command(WPARAM wparam) noexcept {
    if (HIWORD(wparam) != BN_CLICKED) return FALSE;
    switch (LOWORD(wparam)) {
        case IDC_GET_DATA: start_retrieval(); return TRUE;
        case IDC_OPEN_REPORT: export_report(report_text); return TRUE;
        default: return FALSE;  // IDCANCEL too: Esc does not close the dialog
    }
}

template <typename Handle>
void delete_object(Handle& handle) noexcept {
    if (handle != nullptr) DeleteObject(handle);
    handle = nullptr;
}

// Each object goes once: a second close request finds nothing left to release.
void release_graphics() noexcept {
    delete_object(graphics.report_font);
    delete_object(graphics.logo);
    delete_object(graphics.mask);
    if (graphics.icon != nullptr) DestroyIcon(graphics.icon);
    graphics.icon = nullptr;
}

void close(HWND dialog) noexcept {
    if (export_path()[0] != '\0') std::remove(export_path());
    release_graphics();
    EndDialog(dialog, 0);
}

}  // namespace

HBITMAP make_mask(HBITMAP colour, COLORREF transparent) noexcept {
    BITMAP info{};
    if (GetObjectA(colour, sizeof info, &info) == 0) return nullptr;
    HBITMAP mask = CreateBitmap(info.bmWidth, info.bmHeight, 1, 1, nullptr);
    if (mask == nullptr) return nullptr;
    HDC colour_dc = CreateCompatibleDC(nullptr);
    HDC mask_dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old_colour = SelectObject(colour_dc, colour);
    HGDIOBJ old_mask = SelectObject(mask_dc, mask);
    // Colour to monochrome: pixels of the background colour become 1, all others 0.
    SetBkColor(colour_dc, transparent);
    BitBlt(mask_dc, 0, 0, info.bmWidth, info.bmHeight, colour_dc, 0, 0, SRCCOPY);
    // Monochrome to colour: 1 becomes the transparent colour, 0 black; XOR blackens the former.
    BitBlt(colour_dc, 0, 0, info.bmWidth, info.bmHeight, mask_dc, 0, 0, SRCINVERT);
    SelectObject(colour_dc, old_colour);
    SelectObject(mask_dc, old_mask);
    DeleteDC(colour_dc);
    DeleteDC(mask_dc);
    return mask;
}

void paint_logo(HDC dc) noexcept {
    if (graphics.logo == nullptr || graphics.mask == nullptr) return;
    BITMAP info{};
    GetObjectA(graphics.logo, sizeof info, &info);
    HDC memory = CreateCompatibleDC(dc);
    HGDIOBJ old = SelectObject(memory, graphics.mask);
    BitBlt(dc, LogoHotRect::kLeft, LogoHotRect::kTop, info.bmWidth, info.bmHeight, memory, 0, 0, SRCAND);
    SelectObject(memory, graphics.logo);
    BitBlt(dc, LogoHotRect::kLeft, LogoHotRect::kTop, info.bmWidth, info.bmHeight, memory, 0, 0,
           SRCPAINT);
    SelectObject(memory, old);
    DeleteDC(memory);
}

INT_PTR CALLBACK main_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_INITDIALOG: initialise(dialog); return TRUE;
        case WM_PAINT: paint(dialog); return TRUE;
        case WM_CLOSE: close(dialog); return TRUE;
        case WM_SETCURSOR: SetCursor(hover ? hand_cursor : arrow_cursor); return TRUE;
        case WM_MOUSEMOVE: hover = over_logo(lparam); return TRUE;
        case WM_NCMOUSEMOVE: hover = false; return TRUE;
        case WM_LBUTTONDOWN:
            if (hover) open_link_target();
            return TRUE;
        case WM_COMMAND: return on_command(wparam);
        default: return FALSE;
    }
}

RetrievalView& main_dialog_view() noexcept { return main_dialog; }

const DialogGraphics& dialog_graphics() noexcept { return graphics; }

int run_program(HINSTANCE instance) noexcept {
    InitCommonControls();
    if (_beginthread(worker_main, 0, nullptr) == static_cast<std::uintptr_t>(-1)) {
        const ScrambledAsset text(AssetId::ThreadFailureText);
        main_dialog.show_information(text.text());
        return -1;
    }
    return static_cast<int>(
        DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, main_dialog_proc, 0));
}
