// The companion's entry as vellumo-cli.exe has it (binary standard streams, its console handler,
// this system's printers), with discovery scripted to show one printer the test serves: a
// reading in a process of its own, for real console events to end.
//   cli_console_program DEVICE_PATH [--raise EVENT SIGNAL] COMMAND [OPTIONS...]
// With --raise, console event EVENT (a number) is raised through the handler from a thread of
// its own, as the system raises it, once the named event SIGNAL is set: for the events that a
// test cannot make the console send.

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_commands.h"
#include "cli/console_events.h"
#include "sim/pipe_printer.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return 2;
    ScriptedDiscovery discovery({{args[0]}});
    args.erase(args.begin());
    if (args.size() >= 3 && args[0] == "--raise") {
        const DWORD event = static_cast<DWORD>(std::strtoul(args[1].c_str(), nullptr, 10));
        HANDLE signal = OpenEventA(SYNCHRONIZE, FALSE, args[2].c_str());
        if (signal == nullptr) return 2;
        std::thread([event, signal] {
            WaitForSingleObject(signal, INFINITE);
            on_console_event(event);
        }).detach();
        args.erase(args.begin(), args.begin() + 3);
    }
    // A process group of its own starts with Ctrl+C ignored; one started from a console does not.
    SetConsoleCtrlHandler(nullptr, FALSE);

    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    end_readings_on_console_events();
    const auto printers = system_printer_bus();
    CliEnvironment env;
    env.printers = printers.get();
    return run_cli(args, std::cin, std::cout, std::cerr, env);
}
