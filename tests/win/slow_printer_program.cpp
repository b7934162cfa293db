// The real program built without optimisation, whose discovery finds a slow printer (a reply
// every 300 ms) served in this process. The printer keeps answering until the process has
// destroyed its static objects: closed during a retrieval, the program's worker then ends that
// retrieval only after them, as it may whenever an exit is slow, and must find all it calls.

#include <windows.h>

#include <cstdint>
#include <memory>

#include "app/main_dialog.h"
#include "app/retrieval_worker.h"
#include "sim/pipe_printer.h"

namespace {

constexpr std::uint32_t kReplyDelayMs = 300;
constexpr DWORD kRetrievalEndMs = 5000;
constexpr DWORD kLastCallsMs = 500;  // what the worker does once it has cleared the request

// Made before, and so destroyed after, every static object of default priority (the dialog's).
struct LastToGo {
    PipePrinter* printer = nullptr;

    ~LastToGo() {
        delete printer;  // the worker's read fails, and it reports the failure to its view
        for (DWORD waited = 0; RetrievalRequest.load() && waited < kRetrievalEndMs; waited += 10) {
            Sleep(10);
        }
        Sleep(kLastCallsMs);
    }
};

__attribute__((init_priority(101))) LastToGo last_to_go;

std::unique_ptr<SimulatedPrinter> slow_printer() {
    auto printer = std::make_unique<SimulatedPrinter>(sample_report());
    printer->set_chunk_delay_ms(kReplyDelayMs);
    return printer;
}

// A crash ends the process with its exception code at once instead of starting a debugger.
LONG WINAPI end_on_crash(EXCEPTION_POINTERS*) { return EXCEPTION_EXECUTE_HANDLER; }

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    SetUnhandledExceptionFilter(end_on_crash);
    last_to_go.printer = new PipePrinter(&slow_printer);
    if (!last_to_go.printer->ok()) return 2;
    static const auto* discovery = new ScriptedDiscovery({{last_to_go.printer->device_path()}});
    (void)discovery;  // kept for the whole process, like the printer
    return run_program(instance);
}
