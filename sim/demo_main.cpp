// The demo program: the real program's code, whose device discovery finds a simulated printer
// served in this process on named pipes, with the sample report. Nothing else differs.
//   VellumoPrinterInfoDemo.exe                 the window, as the real program shows it
//   VellumoPrinterInfoDemo.exe --press READY   also presses get-data once the window is up, and
//                                              creates the file READY when the report is shown

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "app/main_dialog.h"
#include "res/resource_ids.h"
#include "sim/pipe_printer.h"

namespace {

constexpr DWORD kPollMs = 20;
constexpr int kMaxPolls = 1500;  // 30 s

const char* ready_file = nullptr;

// Finds this process's dialog: the first visible top-level window with the get-data button.
BOOL CALLBACK find_dialog(HWND window, LPARAM found) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId() || !IsWindowVisible(window) ||
        GetDlgItem(window, IDC_GET_DATA) == nullptr) {
        return TRUE;
    }
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
}

HWND wait_for_dialog() {
    for (int i = 0; i < kMaxPolls; ++i) {
        HWND dialog = nullptr;
        EnumWindows(find_dialog, reinterpret_cast<LPARAM>(&dialog));
        if (dialog != nullptr) return dialog;
        Sleep(kPollMs);
    }
    return nullptr;
}

// Presses get-data as a user would, waits for the retrieval to end, then signals READY.
DWORD WINAPI press_get_data(void*) {
    HWND dialog = wait_for_dialog();
    if (dialog == nullptr) return 1;
    HWND button = GetDlgItem(dialog, IDC_GET_DATA);
    // Sent, not posted: when it returns the dialog has made its request.
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_GET_DATA, BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
    for (int i = 0; i < kMaxPolls && (RetrievalRequest.load() || !IsWindowEnabled(button)); ++i) {
        Sleep(kPollMs);
    }
    RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    Sleep(300);  // let the frame and the status bar finish drawing
    if (FILE* file = std::fopen(ready_file, "wb")) std::fclose(file);
    return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    PipePrinter printer;
    if (!printer.ok()) return 2;
    ScriptedDiscovery discovery({{printer.device_path()}});

    if (__argc == 3 && std::strcmp(__argv[1], "--press") == 0) {
        ready_file = __argv[2];
        HANDLE presser = CreateThread(nullptr, 0, press_get_data, nullptr, 0, nullptr);
        if (presser != nullptr) CloseHandle(presser);
    }
    return run_program(instance);
}
