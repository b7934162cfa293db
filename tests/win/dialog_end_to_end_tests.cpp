// The whole program in one process: run_program starts the worker and the modal dialog, a driver
// thread presses the buttons as a user would, and a pipe printer answers through real pipes.

#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "app/main_dialog.h"
#include "app/report_export.h"
#include "link/report_session.h"
#include "report/report_formatter.h"
#include "res/resource_ids.h"
#include "tests/win/recording_view.h"
#include "sim/pipe_printer.h"

namespace {

constexpr DWORD kPatienceMs = 15000;

std::atomic<int> editors_started{0};

HINSTANCE WINAPI count_editor(HWND, LPCSTR, LPCSTR file, LPCSTR, LPCSTR, INT) {
    if (std::string(file) == "notepad") ++editors_started;
    return reinterpret_cast<HINSTANCE>(42);
}

template <typename Done>
bool wait_until(Done done, DWORD timeout_ms = kPatienceMs) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > timeout_ms) return false;
        Sleep(5);
    }
    return true;
}

struct WindowSearch {
    HWND found = nullptr;
};

BOOL CALLBACK find_dialog_of_thread(HWND window, LPARAM lparam) {
    auto* search = reinterpret_cast<WindowSearch*>(lparam);
    char class_name[16] = "";
    GetClassNameA(window, class_name, sizeof class_name);
    if (std::string(class_name) != "#32770" || !IsWindowVisible(window)) return TRUE;
    search->found = window;
    return FALSE;
}

// The visible dialog-class window of `thread_id`: the main dialog.
HWND visible_dialog_of(DWORD thread_id) {
    WindowSearch search{};
    EnumThreadWindows(thread_id, find_dialog_of_thread, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

struct OwnedSearch {
    HWND owner;
    HWND found = nullptr;
};

BOOL CALLBACK find_owned_box(HWND window, LPARAM lparam) {
    auto* search = reinterpret_cast<OwnedSearch*>(lparam);
    if (GetWindow(window, GW_OWNER) != search->owner || !IsWindowVisible(window)) return TRUE;
    search->found = window;
    return FALSE;
}

// A message box that `owner` owns, whichever thread runs it.
HWND box_owned_by(HWND owner) {
    OwnedSearch search{owner};
    EnumWindows(find_owned_box, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::string text_a(HWND window) {
    char text[4096] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

std::wstring text_w(HWND window) {
    wchar_t text[256] = L"";
    GetWindowTextW(window, text, 256);
    return text;
}

std::wstring status_text(HWND status_bar) {
    wchar_t text[256] = L"";
    if (LOWORD(SendMessageW(status_bar, SB_GETTEXTLENGTHW, 0, 0)) < 256) {
        SendMessageW(status_bar, SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(text));
    }
    return text;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void press(HWND dialog, int button) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, button)));
}

bool enabled(HWND dialog, int button) { return IsWindowEnabled(GetDlgItem(dialog, button)) != FALSE; }

std::string report_box_text(HWND dialog) {
    const HWND box = GetDlgItem(dialog, IDC_REPORT_TEXT);
    std::string text(static_cast<std::size_t>(GetWindowTextLengthA(box)) + 1, '\0');
    const int copied = GetWindowTextA(box, text.data(), static_cast<int>(text.size()));
    text.resize(static_cast<std::size_t>(copied));
    return text;
}

// One wide key pads every line: a listing of about 1.2 MiB from a raw report of 22 KB.
std::string report_with_a_wide_key() {
    std::string report = std::string(900, 'K') + ": wide\r";
    for (int i = 0; i < 1300; ++i) report += "Line " + std::to_string(i) + ": v\r";
    return report;
}

// A listing past the cap ends in a line saying how much of it the box holds (Russian where the
// ANSI code page has Cyrillic, else in Latin letters); the status says it and the export keeps it.
void get_a_cut_listing(HWND dialog, const std::string& export_file) {
    const std::string report = report_with_a_wide_key();
    const FormattedReport expected = recording_view::expected_report(report);
    ASSERT_TRUE(expected.cut);
    const std::string shown = std::to_string(expected.lines);
    const std::string total = std::to_string(expected.full_lines);
    const std::string notice =
        GetACP() == 1251 ? "Отчёт обрезан, показано строк: " + shown + " из " + total + ".\r\n"
                         : "Otchet obrezan, pokazano strok: " + shown + " iz " + total + ".\r\n";
    PipePrinter printer(report);
    ScriptedDiscovery discovery({{printer.device_path()}});
    press(dialog, IDC_GET_DATA);
    ASSERT_TRUE(wait_until([&] { return enabled(dialog, IDC_OPEN_REPORT); }));

    const std::string box = report_box_text(dialog);
    EXPECT_EQ(box.size(), expected.text.size() + notice.size());
    EXPECT_TRUE(box.starts_with(expected.text));
    EXPECT_EQ(box.substr(std::min(box.size(), expected.text.size())), notice);
    const std::wstring numbers =
        std::to_wstring(expected.lines) + L" из " + std::to_wstring(expected.full_lines);
    EXPECT_EQ(status_text(GetDlgItem(dialog, IDC_STATUS_BAR)),
              L"Данные с принтера получены. Отчёт обрезан, показано строк: " + numbers + L".");
    press(dialog, IDC_OPEN_REPORT);
    ASSERT_TRUE(wait_until([] { return editors_started.load() == 2; }));
    EXPECT_TRUE(read_file(export_file) == box);
}

// What the user does: one good retrieval, an export, one retrieval with no printer, one whose
// listing is cut and its export, then close.
void drive(DWORD ui_thread, const std::string& export_file) {
    HWND dialog = nullptr;
    ASSERT_TRUE(wait_until([&] { return (dialog = visible_dialog_of(ui_thread)) != nullptr; }));
    const FormattedReport expected = recording_view::expected_report(sample_report());
    ASSERT_TRUE(expected.fields.model && expected.fields.serial && expected.fields.firmware &&
                expected.fields.crum);

    press(dialog, IDC_GET_DATA);
    ASSERT_TRUE(wait_until([&] { return enabled(dialog, IDC_OPEN_REPORT); }));
    EXPECT_TRUE(enabled(dialog, IDC_GET_DATA));
    EXPECT_EQ(text_a(GetDlgItem(dialog, IDC_MODEL_FIELD)), *expected.fields.model);
    EXPECT_EQ(text_a(GetDlgItem(dialog, IDC_SERIAL_FIELD)), *expected.fields.serial);
    EXPECT_EQ(text_a(GetDlgItem(dialog, IDC_FIRMWARE_FIELD)), *expected.fields.firmware);
    EXPECT_EQ(text_a(GetDlgItem(dialog, IDC_CRUM_FIELD)), *expected.fields.crum);
    EXPECT_EQ(report_box_text(dialog), expected.text);
    EXPECT_EQ(status_text(GetDlgItem(dialog, IDC_STATUS_BAR)), L"Данные с принтера получены.");

    press(dialog, IDC_OPEN_REPORT);
    ASSERT_TRUE(wait_until([] { return editors_started.load() == 1; }));
    EXPECT_EQ(read_file(export_file), expected.text);

    {
        ScriptedDiscovery no_printer({});
        press(dialog, IDC_GET_DATA);
        HWND box = nullptr;
        // The failure message runs on the worker's thread, owned by the dialog.
        ASSERT_TRUE(wait_until([&] { return (box = box_owned_by(dialog)) != nullptr; }));
        EXPECT_EQ(text_w(box), L"Сообщение");
        EXPECT_EQ(text_w(GetDlgItem(box, 0xFFFF)),
                  L"Не удалось получить данные. Проверьте, подключён ли принтер.");
        EXPECT_FALSE(enabled(dialog, IDC_GET_DATA));
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        ASSERT_TRUE(wait_until([&] { return enabled(dialog, IDC_GET_DATA); }));
    }
    EXPECT_FALSE(enabled(dialog, IDC_OPEN_REPORT));
    EXPECT_EQ(text_a(GetDlgItem(dialog, IDC_MODEL_FIELD)), "");
    EXPECT_EQ(status_text(GetDlgItem(dialog, IDC_STATUS_BAR)),
              L"Не удалось получить данные. Проверьте, подключён ли принтер.");
    get_a_cut_listing(dialog, export_file);
    PostMessageW(dialog, WM_CLOSE, 0, 0);
}

}  // namespace

TEST(Program, GetDataWithAPipePrinter_FillsTheDialogExportsAndCloseRemovesTheFile) {
    PipePrinter printer;
    ASSERT_TRUE(printer.ok());
    ScriptedDiscovery discovery({{printer.device_path()}});
    char temp[MAX_PATH] = "";
    GetTempPathA(MAX_PATH, temp);
    const std::string directory = std::string(temp) + "vellumo-e2e-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(directory.c_str(), nullptr);
    SetEnvironmentVariableA("TEMP", directory.c_str());
    const std::string export_file = directory + "\\Info.sgi";
    shell_execute = &count_editor;

    // A driver that cannot find the dialog still ends the modal loop, so the test cannot hang.
    const DWORD ui_thread = GetCurrentThreadId();
    std::thread driver([&] {
        drive(ui_thread, export_file);
        if (HWND dialog = visible_dialog_of(ui_thread)) PostMessageW(dialog, WM_CLOSE, 0, 0);
    });
    const int result = run_program(GetModuleHandleA(nullptr));
    driver.join();

    EXPECT_EQ(result, 0);
    EXPECT_EQ(editors_started.load(), 2);
    EXPECT_STREQ(export_path(), export_file.c_str());
    EXPECT_EQ(GetFileAttributesA(export_file.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(printer.sessions().size(), 1u);  // the others went to printers of their own
    RemoveDirectoryA(directory.c_str());
}
