#pragma once
// Runs the real main dialog modeless in the test's thread, with a message pump, and records what
// the dialog asks the shell to open instead of starting anything.

#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/main_dialog.h"
#include "app/report_export.h"
#include "res/resource_ids.h"

struct ShellRequest {
    HWND window;
    std::string verb;
    std::string file;
    std::string parameters;
    bool has_directory;
    INT show;
};

inline std::vector<ShellRequest>& shell_requests() {
    static std::vector<ShellRequest> requests;
    return requests;
}

inline HINSTANCE WINAPI record_shell_request(HWND window, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                                             LPCSTR directory, INT show) {
    shell_requests().push_back({window, verb ? verb : "", file ? file : "",
                                parameters ? parameters : "", directory != nullptr, show});
    return reinterpret_cast<HINSTANCE>(42);
}

// Dispatches this thread's messages (and messages sent from other threads) until `done()`.
template <typename Done>
bool pump_until(Done done, DWORD timeout_ms = 5000) {
    const DWORD start = GetTickCount();
    while (!done()) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (GetTickCount() - start > timeout_ms) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
}

inline std::wstring window_text_w(HWND window) {
    wchar_t text[512] = L"";
    GetWindowTextW(window, text, 512);
    return text;
}

inline std::string window_text_a(HWND window) {
    std::string text(static_cast<std::size_t>(GetWindowTextLengthA(window)) + 1, '\0');
    text.resize(static_cast<std::size_t>(GetWindowTextA(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

// A fresh main dialog for each test, closed and destroyed at its end.
class DialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitCommonControls();
        shell_requests().clear();
        shell_execute = &record_shell_request;
        RetrievalRequest = false;
        HasReport = false;
        dialog_ = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_MAIN), nullptr,
                                     main_dialog_proc, 0);
        ASSERT_NE(dialog_, nullptr) << "error " << GetLastError();
    }

    void TearDown() override {
        if (dialog_ != nullptr) {
            SendMessageW(dialog_, WM_CLOSE, 0, 0);
            DestroyWindow(dialog_);
        }
        RetrievalRequest = false;
        shell_execute = &ShellExecuteA;
    }

    HWND item(int id) const { return GetDlgItem(dialog_, id); }

    // Calls the dialog procedure itself, to see what it returns.
    INT_PTR call(UINT message, WPARAM wparam, LPARAM lparam = 0) const {
        return main_dialog_proc(dialog_, message, wparam, lparam);
    }

    INT_PTR command(int id, WORD notification) const {
        return call(WM_COMMAND, MAKEWPARAM(id, notification), reinterpret_cast<LPARAM>(item(id)));
    }

    HWND dialog_ = nullptr;
};
