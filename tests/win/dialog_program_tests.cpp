// The program as a user starts it: its dialog comes up with the program's texts, and a close
// request ends the process with 0, also during a retrieval.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
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

// A program started as a user starts it; ended by force if a test leaves it running.
class StartedProgram {
public:
    explicit StartedProgram(const char* path) {
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        char command_line[] = "VellumoPrinterInfo.exe";
        started_ = CreateProcessA(path, command_line, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                  &startup, &process_) != FALSE;
    }
    ~StartedProgram() {
        if (!started_) return;
        if (WaitForSingleObject(process_.hProcess, 0) != WAIT_OBJECT_0) {
            TerminateProcess(process_.hProcess, 1);
        }
        CloseHandle(process_.hThread);
        CloseHandle(process_.hProcess);
    }
    StartedProgram(const StartedProgram&) = delete;
    StartedProgram& operator=(const StartedProgram&) = delete;

    bool started() const { return started_; }
    HWND wait_for_dialog(DWORD timeout_ms) const {
        return ::wait_for_dialog(process_.dwProcessId, timeout_ms);
    }
    bool still_running_after(DWORD ms) const {
        return WaitForSingleObject(process_.hProcess, ms) == WAIT_TIMEOUT;
    }
    // The exit code once the process ends within `timeout_ms`; nothing if it does not.
    std::optional<DWORD> exit_code(DWORD timeout_ms) const {
        const DWORD waited = WaitForSingleObject(process_.hProcess, timeout_ms);
        if (waited != WAIT_OBJECT_0) return std::nullopt;
        DWORD code = 0;
        GetExitCodeProcess(process_.hProcess, &code);
        return code;
    }

private:
    PROCESS_INFORMATION process_{};
    bool started_ = false;
};

}  // namespace

TEST(Program, Started_ShowsItsDialogAndEndsWithZeroOnClose) {
    const DWORD start = GetTickCount();
    const StartedProgram program(VELLUMO_PROGRAM_PATH);
    ASSERT_TRUE(program.started());
    const HWND dialog = program.wait_for_dialog(20000);
    ASSERT_NE(dialog, nullptr);
    const DWORD shown_after = GetTickCount() - start;
    RecordProperty("dialog_shown_ms", static_cast<int>(shown_after));
    std::printf("dialog shown %lu ms after the start\n", static_cast<unsigned long>(shown_after));
    EXPECT_EQ(text_of(dialog), L"Vellumo Printer info v1.6.0");
    EXPECT_EQ(text_of(GetDlgItem(dialog, 4008)), L"Получить данные");
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, 4008)));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, 4014)));
    // Esc does not end it; the close request does.
    PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(program.still_running_after(300));
    PostMessageW(dialog, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.exit_code(10000), std::optional<DWORD>(0));
}

// Closing is allowed while the worker waits for a slow printer; the process exit must not let
// it call into anything already destroyed, whenever it ends its retrieval.
TEST(Program, ClosedDuringASlowRetrieval_EndsWithZero) {
    const StartedProgram program(VELLUMO_SLOW_PRINTER_PROGRAM_PATH);
    ASSERT_TRUE(program.started());
    const HWND dialog = program.wait_for_dialog(20000);
    ASSERT_NE(dialog, nullptr);
    const HWND get_data = GetDlgItem(dialog, 4008);
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(4008, BN_CLICKED),
                 reinterpret_cast<LPARAM>(get_data));
    const DWORD start = GetTickCount();
    while (IsWindowEnabled(get_data) && GetTickCount() - start < 5000) Sleep(5);
    ASSERT_FALSE(IsWindowEnabled(get_data)) << "the retrieval did not start";
    Sleep(500);  // a few of the printer's replies: the worker is well inside the session
    ASSERT_FALSE(IsWindowEnabled(get_data)) << "the retrieval ended too soon";
    PostMessageW(dialog, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.exit_code(15000), std::optional<DWORD>(0));
}
