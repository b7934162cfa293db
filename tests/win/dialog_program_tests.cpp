// The release program as a user starts it: its dialog comes up with the program's texts, and a
// close request ends the process with 0.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

struct Search {
    DWORD process_id;
    HWND found = nullptr;
};

BOOL CALLBACK find_dialog(HWND window, LPARAM lparam) {
    auto* search = reinterpret_cast<Search*>(lparam);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char class_name[16] = "";
    GetClassNameA(window, class_name, sizeof class_name);
    if (owner != search->process_id || std::string(class_name) != "#32770" || !IsWindowVisible(window)) {
        return TRUE;
    }
    search->found = window;
    return FALSE;
}

HWND wait_for_dialog(DWORD process_id, DWORD timeout_ms) {
    const DWORD start = GetTickCount();
    Search search{process_id};
    while (GetTickCount() - start < timeout_ms) {
        EnumWindows(find_dialog, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) return search.found;
        Sleep(5);
    }
    return nullptr;
}

std::wstring text_of(HWND window) {
    wchar_t text[256] = L"";
    GetWindowTextW(window, text, 256);
    return text;
}

}  // namespace

TEST(Program, Started_ShowsItsDialogAndEndsWithZeroOnClose) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    char command_line[] = "VellumoPrinterInfo.exe";
    const DWORD start = GetTickCount();
    ASSERT_TRUE(CreateProcessA(VELLUMO_PROGRAM_PATH, command_line, nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process));
    const HWND dialog = wait_for_dialog(process.dwProcessId, 20000);
    const DWORD shown_after = GetTickCount() - start;
    if (dialog != nullptr) {
        RecordProperty("dialog_shown_ms", static_cast<int>(shown_after));
        std::printf("dialog shown %lu ms after the start\n", static_cast<unsigned long>(shown_after));
        EXPECT_EQ(text_of(dialog), L"Vellumo Printer info v1.6.0");
        EXPECT_EQ(text_of(GetDlgItem(dialog, 4008)), L"Получить данные");
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, 4008)));
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, 4014)));
        // Esc does not end it; the close request does.
        PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        EXPECT_EQ(WaitForSingleObject(process.hProcess, 300), static_cast<DWORD>(WAIT_TIMEOUT));
        PostMessageW(dialog, WM_CLOSE, 0, 0);
    }
    const DWORD waited = WaitForSingleObject(process.hProcess, 10000);
    DWORD exit_code = 12345;
    GetExitCodeProcess(process.hProcess, &exit_code);
    if (waited != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(waited, static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(exit_code, 0u);
}
