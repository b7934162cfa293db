// USB printers emulated under umockdev for trying the companion without a printer: sets up the
// printers, runs a command (which finds them through libusb as if they were plugged in), and
// answers their USB requests until it ends.
//   umockdev-wrapper usb-printer-stand [--printer PORT[:FAULT]]... [--] COMMAND [ARGS...]
// Without --printer: a good printer on port 1-1 and a silent one on 1-2. FAULT is a simulated
// printer's fault as `vellumo-cli simulate --fault` names it (short-chunk, silence, ...).

#include <glib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/emulated_usb_printer.h"

namespace {

using namespace usb_emulation;

struct StandPrinter {
    std::string port;
    PrinterFault fault = PrinterFault::None;
};

int usage() {
    std::fprintf(stderr,
                 "usage: umockdev-wrapper usb-printer-stand [--printer PORT[:FAULT]]... [--] "
                 "COMMAND [ARGS...]\n");
    return 2;
}

bool parse_printer(const std::string& text, StandPrinter& printer) {
    const std::size_t colon = text.find(':');
    printer.port = text.substr(0, colon);
    if (colon == std::string::npos) return !printer.port.empty();
    const PrinterFaultName* fault = find_printer_fault(text.substr(colon + 1));
    if (fault != nullptr) printer.fault = fault->fault;
    return fault != nullptr && !printer.port.empty();
}

// Runs the command in a child, serving the emulated devices' requests until it ends.
int run_command(char** command) {
    const pid_t child = fork();
    if (child < 0) return 127;
    if (child == 0) {
        execvp(command[0], command);
        std::perror(command[0]);
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        g_main_context_iteration(nullptr, FALSE);
        usleep(1000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<StandPrinter> printers;
    int next = 1;
    for (; next + 1 < argc && std::strcmp(argv[next], "--printer") == 0; next += 2) {
        StandPrinter printer;
        if (!parse_printer(argv[next + 1], printer)) return usage();
        printers.push_back(printer);
    }
    if (next < argc && std::strcmp(argv[next], "--") == 0) ++next;
    if (next >= argc) return usage();
    if (printers.empty()) printers = {{"1-1", PrinterFault::None}, {"1-2", PrinterFault::Silence}};

    UsbTestbed bed;
    std::uint8_t address = 2;
    for (const StandPrinter& printer : printers) {
        DeviceSetup setup;
        setup.port_path = printer.port;
        setup.address = address++;
        setup.serial = "VLP3020K4N7Q" + std::to_string(address);
        bed.add(setup, SimulatedPrinter(sample_report(), printer.fault));
    }
    return run_command(argv + next);
}
