#pragma once
// The companion run in-process, as the tests drive it: its exit code and what it wrote.

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_commands.h"

struct CliRun {
    int code;
    std::string out;
    std::string err;
};

// Runs `args` with `input` on standard input and the printers of `printers` (none when null).
inline CliRun run_companion(const std::vector<std::string>& args, PrinterBus* printers = nullptr,
                            const std::string& input = "", bool progress = false) {
    std::istringstream in(input);
    std::ostringstream out;
    std::ostringstream err;
    CliEnvironment env;
    env.printers = printers;
    env.progress = progress;
    const int code = run_cli(args, in, out, err, env);
    return {code, out.str(), err.str()};
}

// The same against this system's own printers (USB through libusb, or the Windows channel).
inline CliRun run_companion_on_system(const std::vector<std::string>& args) {
    const std::unique_ptr<PrinterBus> bus = system_printer_bus();
    return run_companion(args, bus.get());
}
