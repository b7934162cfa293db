// Start-up of the program, measured from outside: starts it, waits for its dialog to be shown,
// reads its peak working set, and closes it with WM_CLOSE as the user would.
//   start-benchmark.exe PROGRAM.exe [RUNS]   start it RUNS times (default 1), a line per run;
//                                            its first visible top-level window counts, so any
//                                            program (Wine's notepad, for one) can be compared
//   start-benchmark.exe --close              wait for our dialog in a program started by
//                                            someone else, then the same figures and WM_CLOSE
// Times of day are printed in Unix milliseconds, so that a script can add what came before
// this helper ran (a cold Wine start).

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "res/resource_ids.h"
#include "bench/performance_clock.h"

namespace {

constexpr DWORD kPollMs = 1;
constexpr double kGiveUpMs = 60000;
constexpr DWORD kExitWaitMs = 10000;

// The time of day in Unix milliseconds (FILETIME counts 100 ns from 1601).
long long unix_ms() {
    FILETIME time;
    GetSystemTimeAsFileTime(&time);
    const unsigned long long ticks = (static_cast<unsigned long long>(time.dwHighDateTime) << 32) |
                                     time.dwLowDateTime;
    return static_cast<long long>((ticks - 116444736000000000ULL) / 10000ULL);
}

struct Search {
    DWORD process = 0;  // 0: our dialog, in any process but this one
    HWND found = nullptr;
};

// A visible top-level window of the process, or our dialog (the one with the get-data button).
BOOL CALLBACK find_dialog(HWND window, LPARAM param) {
    auto& search = *reinterpret_cast<Search*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    const bool wanted = search.process != 0
                            ? process == search.process
                            : process != GetCurrentProcessId() &&
                                  GetDlgItem(window, IDC_GET_DATA) != nullptr;
    if (!wanted || !IsWindowVisible(window)) return TRUE;
    search.found = window;
    return FALSE;
}

HWND wait_for_dialog(DWORD process, HANDLE running) {
    const double start = now_ms();
    while (now_ms() - start < kGiveUpMs) {
        Search search{process, nullptr};
        EnumWindows(find_dialog, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) return search.found;
        if (running != nullptr && WaitForSingleObject(running, 0) == WAIT_OBJECT_0) return nullptr;
        Sleep(kPollMs);
    }
    return nullptr;
}

// Peak working set of the process in KiB, or -1 if it cannot be read.
long long peak_working_set_kib(HANDLE process) {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(process, &counters, sizeof counters)) return -1;
    return static_cast<long long>(counters.PeakWorkingSetSize / 1024);
}

// Closes the dialog and waits for its process to end; the exit time in ms, or -1.
double close_and_wait(HWND dialog, HANDLE process) {
    const double start = now_ms();
    PostMessageA(dialog, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process, kExitWaitMs) != WAIT_OBJECT_0) return -1;
    return now_ms() - start;
}

bool start_once(const char* program) {
    char command_line[MAX_PATH + 2];
    std::snprintf(command_line, sizeof command_line, "\"%s\"", program);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const long long launched = unix_ms();
    const double start = now_ms();
    if (!CreateProcessA(program, command_line, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        std::printf("cannot start %s (error %lu)\n", program, GetLastError());
        return false;
    }
    const HWND dialog = wait_for_dialog(info.dwProcessId, info.hProcess);
    const double shown = now_ms() - start;
    const long long shown_at = unix_ms();
    bool ok = dialog != nullptr;
    if (ok) {
        const long long peak = peak_working_set_kib(info.hProcess);
        const double exit = close_and_wait(dialog, info.hProcess);
        std::printf("launched_unix_ms %lld shown_unix_ms %lld start_to_window_ms %.1f "
                    "peak_working_set_kib %lld close_to_exit_ms %.1f\n",
                    launched, shown_at, shown, peak, exit);
        ok = exit >= 0;
    } else {
        std::printf("no dialog shown\n");
        TerminateProcess(info.hProcess, 1);
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return ok;
}

bool close_other() {
    const HWND dialog = wait_for_dialog(0, nullptr);
    if (dialog == nullptr) {
        std::printf("no dialog shown\n");
        return false;
    }
    const long long shown_at = unix_ms();
    DWORD process_id = 0;
    GetWindowThreadProcessId(dialog, &process_id);
    const HANDLE process =
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE, process_id);
    if (process == nullptr) return false;
    const long long peak = peak_working_set_kib(process);
    const double exit = close_and_wait(dialog, process);
    std::printf("shown_unix_ms %lld peak_working_set_kib %lld close_to_exit_ms %.1f\n", shown_at,
                peak, exit);
    CloseHandle(process);
    return exit >= 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--close") == 0) return close_other() ? 0 : 1;
    if (argc < 2 || argc > 3) {
        std::printf("usage: start-benchmark.exe PROGRAM.exe [RUNS] | --close\n");
        return 2;
    }
    const int runs = argc == 3 ? std::max(1, std::atoi(argv[2])) : 1;
    for (int run = 0; run < runs; ++run) {
        if (!start_once(argv[1])) return 1;
    }
    return 0;
}
