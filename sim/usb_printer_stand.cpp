// USB printers emulated under umockdev for trying the companion without a printer: sets up the
// printers, runs a command (which finds them through libusb as if they were plugged in), and
// answers their USB requests until it ends.
//   umockdev-wrapper usb-printer-stand [OPTION]... [--] COMMAND [ARGS...]
//   --printer PORT[:FAULT]  a printer on that port (repeatable); FAULT is a simulated printer's
//                           fault as `vellumo-cli simulate --fault` names it (short-chunk, ...)
//   --signal INT|TERM|HUP   sends the command this signal once it has written to a printer
//   --closed-stdout         the command's standard output is a pipe whose reader has gone
//   --report                afterwards says on stderr how the command ended ("command: exit N"
//                           or "command: killed by signal N") and each printer's kernel driver
//                           ("driver PORT: usblp", or "none" when it was not given back)
// Without --printer: a good printer on port 1-1 and a silent one on 1-2. The command starts with
// every signal at its default and none blocked, whatever the stand inherited, as from a shell.
// The stand's exit code is the command's, or 128 + the signal that killed it.

#include <glib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
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

struct StandOptions {
    std::vector<StandPrinter> printers;
    int signal_number = 0;  // 0: none sent
    bool closed_stdout = false;
    bool report = false;
};

int usage() {
    std::fprintf(stderr,
                 "usage: umockdev-wrapper usb-printer-stand [--printer PORT[:FAULT]]... "
                 "[--signal INT|TERM|HUP] [--closed-stdout] [--report] [--] COMMAND [ARGS...]\n");
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

int parse_signal(const std::string& name) {
    if (name == "INT") return SIGINT;
    if (name == "TERM") return SIGTERM;
    if (name == "HUP") return SIGHUP;
    return 0;
}

// The options before the command; the index of the command's name, or 0 on a usage error.
int parse_options(int argc, char** argv, StandOptions& options) {
    int next = 1;
    for (; next < argc && std::strncmp(argv[next], "--", 2) == 0; ++next) {
        const std::string option = argv[next];
        const bool has_value = next + 1 < argc;
        if (option == "--") return next + 1 < argc ? next + 1 : 0;
        if (option == "--closed-stdout") {
            options.closed_stdout = true;
        } else if (option == "--report") {
            options.report = true;
        } else if (option == "--printer" && has_value) {
            StandPrinter printer;
            if (!parse_printer(argv[++next], printer)) return 0;
            options.printers.push_back(printer);
        } else if (option == "--signal" && has_value) {
            options.signal_number = parse_signal(argv[++next]);
            if (options.signal_number == 0) return 0;
        } else {
            return 0;
        }
    }
    return next < argc ? next : 0;
}

// What a program started from a shell has: every signal at its default, none blocked. The stand
// may have inherited ignored ones (a test runner ignores SIGPIPE), which exec would keep.
void default_signals() {
    for (int signal_number = 1; signal_number < NSIG; ++signal_number)
        std::signal(signal_number, SIG_DFL);  // fails harmlessly for SIGKILL, SIGSTOP
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

pid_t start_command(char** command, bool closed_stdout) {
    int output[2] = {-1, -1};
    // The reader is closed before the command starts: its first write finds no reader.
    if (closed_stdout && (pipe(output) != 0 || close(output[0]) != 0)) return -1;
    const pid_t child = fork();
    if (child == 0) {
        default_signals();
        if (closed_stdout) dup2(output[1], STDOUT_FILENO);
        if (closed_stdout) close(output[1]);
        execvp(command[0], command);
        std::perror(command[0]);
        _exit(127);
    }
    if (closed_stdout) close(output[1]);
    return child;
}

bool reading_started(const std::vector<EmulatedUsbPrinter*>& devices) {
    for (const EmulatedUsbPrinter* device : devices) {
        if (!device->host_wrote().empty()) return true;
    }
    return false;
}

// Runs the command in a child, serving the emulated devices' requests until it ends, and sends
// it the signal asked for once it has begun a reading.
int run_command(char** command, const StandOptions& options,
                const std::vector<EmulatedUsbPrinter*>& devices) {
    const pid_t child = start_command(command, options.closed_stdout);
    if (child < 0) return 127;
    // Ctrl+C on a terminal reaches the command too: the stand serves it until it has ended.
    std::signal(SIGINT, SIG_IGN);
    bool signal_due = options.signal_number != 0;
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        g_main_context_iteration(nullptr, FALSE);
        if (signal_due && reading_started(devices)) {
            kill(child, options.signal_number);
            signal_due = false;
        }
        usleep(1000);
    }
    if (options.report) {
        if (WIFEXITED(status)) {
            std::fprintf(stderr, "command: exit %d\n", WEXITSTATUS(status));
        } else {
            std::fprintf(stderr, "command: killed by signal %d\n", WTERMSIG(status));
        }
        for (const EmulatedUsbPrinter* device : devices) {
            const std::string driver = device->driver();
            std::fprintf(stderr, "driver %s: %s\n", device->setup().port_path.c_str(),
                         driver.empty() ? "none" : driver.c_str());
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char** argv) {
    StandOptions options;
    const int command = parse_options(argc, argv, options);
    if (command == 0) return usage();
    if (options.printers.empty())
        options.printers = {{"1-1", PrinterFault::None}, {"1-2", PrinterFault::Silence}};

    UsbTestbed bed;
    std::vector<EmulatedUsbPrinter*> devices;
    std::uint8_t address = 2;
    for (const StandPrinter& printer : options.printers) {
        DeviceSetup setup;
        setup.port_path = printer.port;
        setup.address = address++;
        setup.serial = "VLP3020K4N7Q" + std::to_string(address);
        devices.push_back(&bed.add(setup, SimulatedPrinter(sample_report(), printer.fault)));
    }
    return run_command(argv + command, options, devices);
}
