// USB printers emulated under umockdev for trying the companion without a printer: sets up the
// printers, runs a command (which finds them through libusb as if they were plugged in), and
// answers their USB requests until it ends. `usb-printer-stand --help` says how (kUsage below).
// Without --printer: a good printer on port 1-1 and a silent one on 1-2. The command starts as
// from a shell: in a process group of its own (given the terminal, if the stand has it), with
// every signal at its default and none blocked, whatever the stand inherited. The stand's exit
// code is the command's, or 128 + the signal that killed it.

#include <glib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "sim/emulated_usb_printer.h"

namespace {

using namespace usb_emulation;
using Clock = std::chrono::steady_clock;

constexpr const char* kUsage =
    "usage: umockdev-wrapper usb-printer-stand [OPTION]... [--] COMMAND [ARGS...]\n"
    "  --printer PORT[:SETTING[,SETTING]...]\n"
    "                          a printer on that port (repeatable), e.g. 1-1 or\n"
    "                          1-4.2:no-zlp,packet=512 (the hubs a port names, 1-4 here, are\n"
    "                          plugged in too); each SETTING is a fault as `vellumo-cli\n"
    "                          simulate --fault` names it (short-chunk, ...) or one of:\n"
    "    no-zlp                no zero-length packet after a reply that fills its last packet\n"
    "    packet=N              the packet size of its bulk endpoints: 8, 16, 32, 64 (the\n"
    "                          default: full speed), 512 (high speed) or 1024\n"
    "    ipp-first             an IPP over USB interface listed before the bidirectional one\n"
    "    1284-first            an IEEE 1284.4 interface listed before the bidirectional one\n"
    "    ipp-only              only IPP over USB and IEEE 1284.4 interfaces: none carries a\n"
    "                          session\n"
    "    stall-write           its bulk OUT endpoint halts at the first write\n"
    "    stall-read[=N]        its bulk IN endpoint halts once it has sent N bytes (default 520:\n"
    "                          in the first chunk)\n"
    "    halted                both bulk endpoints halted from the start (as another host may\n"
    "                          leave them)\n"
    "    no-status             it stalls the request for an endpoint's status\n"
    "    silent-status         it never answers that request (an opening waits 0.5 s for it)\n"
    "    stream[=MS]           a pause of MS (default 10) before each chunk: a reading cut short\n"
    "                          leaves the rest of the report coming\n"
    "    chunk=N               it cuts its report into chunks of at most N bytes (default 1000)\n"
    "    report=FILE           its report is FILE (lines ended by CR; no comma in its name),\n"
    "                          not the sample report\n"
    "    product-length=N      its product string descriptor says it is N bytes long (0-255),\n"
    "                          and it sends that much of it (at least its 2-byte header), or\n"
    "                          all of it when N is longer\n"
    "    config=HEX            its configuration descriptor (and all that follows it) is these\n"
    "                          bytes in hex, e.g. 09021400010100c001090400000207010200 0705\n"
    "                          (without the space): an interface of 2 endpoints followed by\n"
    "                          only the header of one\n"
    "    mutated-config=SEED   its configuration descriptor damaged at random, the same for the\n"
    "                          same SEED: bytes changed, cut or inserted, a length altered\n"
    "    id=VVVV:PPPP          its vendor and product IDs (default 04e8:3301), e.g. to meet\n"
    "                          the USB quirks the printing system knows for a model\n"
    "  --signal INT|TERM|HUP   sends the command's process group this signal once the command has\n"
    "                          written to a printer; given again, the next signal follows\n"
    "                          --signal-interval MS (default 50) later (Ctrl+C pressed twice)\n"
    "  --signal-delay MS       ... and MS milliseconds have passed since\n"
    "  --signal-on-claim       ... once the command has claimed a printer instead (it is still\n"
    "                          opening it)\n"
    "  --closed-stdout         the command's standard output is a pipe whose reader has gone\n"
    "  --report                afterwards says on stderr how the command ended\n"
    "                          (\"command: exit N\" or \"command: killed by signal N\") and each\n"
    "                          printer's kernel driver (\"driver PORT: usblp\", or \"none\" when\n"
    "                          it was not given back), then how it was given back (\"printer\n"
    "                          PORT: ...\": its IDs, whether the stop came, when the interface\n"
    "                          was released, how often the driver was bound again) and each\n"
    "                          class request it received (\"class request PORT: ...\")\n"
    "Without --printer: a good printer on 1-1 and a silent one on 1-2. Several readings in a row:\n"
    "-- bash -c 'vellumo-cli read; vellumo-cli read' (bash goes on after a reading that ended on\n"
    "a signal it was sent too, when the reading handled it; dash ends there).\n";

constexpr std::size_t kDefaultStallAfterBytes = 8 + 12 + 500;  // acknowledgement, header, half
constexpr unsigned kDefaultStreamDelayMs = 10;
constexpr unsigned kDefaultSignalIntervalMs = 50;
constexpr unsigned long kLargestNumber = 10'000'000;

struct StandPrinter {
    DeviceSetup setup;
    std::optional<std::uint64_t> mutation_seed;
    PrinterFault fault = PrinterFault::None;
    std::string report = sample_report();
    std::optional<std::size_t> chunk_size;
    unsigned chunk_delay_ms = 0;
};

struct StandOptions {
    std::vector<StandPrinter> printers;
    std::vector<int> signals;  // sent in turn, signal_interval_ms apart
    unsigned signal_delay_ms = 0;
    unsigned signal_interval_ms = kDefaultSignalIntervalMs;
    bool signal_on_claim = false;
    bool closed_stdout = false;
    bool report = false;
};

int usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

// A whole decimal number from 0 to kLargestNumber.
bool number(const std::string& text, unsigned long& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 8)
        return false;
    value = std::strtoul(text.c_str(), nullptr, 10);
    return value <= kLargestNumber;
}

// Pairs of hex digits, one byte each.
bool hex_bytes(const std::string& text, std::vector<std::uint8_t>& bytes) {
    if (text.size() % 2 != 0 ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    bytes.clear();
    for (std::size_t i = 0; i < text.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return true;
}

// The product string as a device sends it whose descriptor says it is `length` bytes long.
std::string product_descriptor(const std::string& product, unsigned long length) {
    std::string descriptor{static_cast<char>(length), 3};
    for (const char c : product) descriptor += {c, '\0'};  // the stand's product is ASCII
    return descriptor.substr(0, std::max<std::size_t>(length, 2));
}

bool read_report(const std::string& path, std::string& report) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    report.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

// "VVVV:PPPP", four hexadecimal digits each.
bool usb_ids(const std::string& text, DeviceSetup& setup) {
    const auto hex4 = [](const std::string& part, std::uint16_t& id) {
        if (part.size() != 4 || part.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return false;
        id = static_cast<std::uint16_t>(std::strtoul(part.c_str(), nullptr, 16));
        return true;
    };
    return text.size() == 9 && text[4] == ':' && hex4(text.substr(0, 4), setup.vendor_id) &&
           hex4(text.substr(5), setup.product_id);
}

// Printer interfaces of other protocols listed before the bidirectional one (if it has one).
struct InterfaceOrder {
    bool ipp_first = false;
    bool ieee1284_4_first = false;
    bool bidirectional = true;
};

std::vector<EmulatedInterface> interfaces(const InterfaceOrder& order) {
    std::vector<EmulatedInterface> list;
    std::uint8_t number = 0;
    if (order.ipp_first) list.push_back({number++, 0, kPrinterClass, 4, {0x03, 0x84}});
    if (order.ieee1284_4_first) list.push_back({number++, 0, kPrinterClass, 3, {0x05, 0x86}});
    if (order.bidirectional) list.push_back({number++, 0, kPrinterClass, 2, {kBulkOut, kBulkIn}});
    return list;
}

// One SETTING of --printer; false when it is none.
bool apply_setting(const std::string& setting, StandPrinter& printer, InterfaceOrder& order) {
    const std::size_t equals = setting.find('=');
    const std::string name = setting.substr(0, equals);
    const bool has_value = equals != std::string::npos;
    unsigned long value = 0;
    if (has_value && !number(setting.substr(equals + 1), value)) {
        if (name != "report" && name != "config" && name != "id") return false;
    }
    DeviceSetup& setup = printer.setup;
    if (!has_value) {
        if (const PrinterFaultName* fault = find_printer_fault(name)) {
            printer.fault = fault->fault;
            return true;
        }
    }
    if (name == "no-zlp" && !has_value) {
        setup.zero_length_packets = false;
    } else if (name == "packet" && has_value) {
        const unsigned long sizes[] = {8, 16, 32, 64, 512, 1024};
        if (std::find(std::begin(sizes), std::end(sizes), value) == std::end(sizes)) return false;
        setup.max_packet_size = static_cast<std::uint16_t>(value);
    } else if (name == "ipp-first" && !has_value) {
        order.ipp_first = true;
    } else if (name == "1284-first" && !has_value) {
        order.ieee1284_4_first = true;
    } else if (name == "ipp-only" && !has_value) {
        order = {true, true, false};
    } else if (name == "stall-write" && !has_value) {
        setup.stall_first_write = true;
    } else if (name == "stall-read") {
        setup.stall_in_after_bytes = has_value ? value : kDefaultStallAfterBytes;
    } else if (name == "halted" && !has_value) {
        setup.halted = {kBulkOut, kBulkIn};
    } else if (name == "no-status" && !has_value) {
        setup.endpoint_status = EndpointStatus::Stalled;
    } else if (name == "silent-status" && !has_value) {
        setup.endpoint_status = EndpointStatus::NeverAnswered;
    } else if (name == "stream") {
        printer.chunk_delay_ms = has_value ? static_cast<unsigned>(value) : kDefaultStreamDelayMs;
    } else if (name == "chunk" && has_value && value > 0) {
        printer.chunk_size = value;
    } else if (name == "report" && has_value) {
        return read_report(setting.substr(equals + 1), printer.report);
    } else if (name == "product-length" && has_value && value <= 255) {
        setup.raw_strings[2] = product_descriptor(setup.product, value);
    } else if (name == "config" && has_value) {
        setup.configuration.emplace();
        return hex_bytes(setting.substr(equals + 1), *setup.configuration);
    } else if (name == "mutated-config" && has_value) {
        printer.mutation_seed = value;
    } else if (name == "id" && has_value) {
        return usb_ids(setting.substr(equals + 1), setup);
    } else {
        return false;
    }
    return true;
}

// PORT[:SETTING[,SETTING]...]
bool parse_printer(const std::string& text, StandPrinter& printer) {
    const std::size_t colon = text.find(':');
    printer.setup.port_path = text.substr(0, colon);
    if (printer.setup.port_path.empty()) return false;
    InterfaceOrder order;
    if (colon != std::string::npos) {
        const std::string settings = text.substr(colon + 1);
        for (std::size_t start = 0; start <= settings.size();) {
            const std::size_t comma = std::min(settings.find(',', start), settings.size());
            const std::string setting = settings.substr(start, comma - start);
            if (!apply_setting(setting, printer, order)) {
                const bool report = setting.rfind("report=", 0) == 0;
                std::fprintf(stderr, "usb-printer-stand: %s '%s'\n",
                             report ? "cannot read the report in" : "no such printer setting",
                             report ? setting.c_str() + 7 : setting.c_str());
                return false;
            }
            start = comma + 1;
        }
    }
    printer.setup.interfaces = interfaces(order);
    if (printer.mutation_seed) {
        printer.setup.configuration =
            mutated_configuration(configuration_descriptor(printer.setup), *printer.mutation_seed);
    }
    return true;
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
        unsigned long value = 0;
        if (option == "--") return next + 1 < argc ? next + 1 : 0;
        if (option == "--closed-stdout") {
            options.closed_stdout = true;
        } else if (option == "--signal-on-claim") {
            options.signal_on_claim = true;
        } else if (option == "--report") {
            options.report = true;
        } else if (option == "--printer" && has_value) {
            StandPrinter printer;
            if (!parse_printer(argv[++next], printer)) return 0;
            options.printers.push_back(printer);
        } else if (option == "--signal" && has_value) {
            options.signals.push_back(parse_signal(argv[++next]));
            if (options.signals.back() == 0) return 0;
        } else if (option == "--signal-delay" && has_value && number(argv[next + 1], value)) {
            options.signal_delay_ms = static_cast<unsigned>(value);
            ++next;
        } else if (option == "--signal-interval" && has_value && number(argv[next + 1], value)) {
            options.signal_interval_ms = static_cast<unsigned>(value);
            ++next;
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

// While the command runs, its process group has the stand's terminal, if the stand has it in the
// foreground: Ctrl+C there reaches the command (and a shell's children), as from a shell.
class Terminal {
public:
    Terminal() : ours_(isatty(STDIN_FILENO) != 0 && tcgetpgrp(STDIN_FILENO) == getpgrp()) {}
    ~Terminal() {
        if (ours_) tcsetpgrp(STDIN_FILENO, getpgrp());
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    // Called by both the stand and the command, whichever comes first.
    void give(pid_t group) const {
        if (!ours_) return;
        std::signal(SIGTTOU, SIG_IGN);  // else a group in the background may not take it
        tcsetpgrp(STDIN_FILENO, group);
    }

private:
    bool ours_;
};

pid_t start_command(char** command, bool closed_stdout, const Terminal& terminal) {
    int output[2] = {-1, -1};
    // The reader is closed before the command starts: its first write finds no reader.
    if (closed_stdout && (pipe(output) != 0 || close(output[0]) != 0)) return -1;
    const pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        terminal.give(getpid());
        default_signals();
        if (closed_stdout) dup2(output[1], STDOUT_FILENO);
        if (closed_stdout) close(output[1]);
        execvp(command[0], command);
        std::perror(command[0]);
        _exit(127);
    }
    if (child > 0) {
        setpgid(child, child);
        terminal.give(child);
    }
    if (closed_stdout) close(output[1]);
    return child;
}

// The command has written to a printer, or (`on_claim`) claimed one.
bool reading_started(const std::vector<EmulatedUsbPrinter*>& devices, bool on_claim) {
    for (const EmulatedUsbPrinter* device : devices) {
        if (on_claim ? device->driver() == "usbfs" : !device->host_wrote().empty()) return true;
    }
    return false;
}

// " N ms after the stop" (or before it); nothing where no stop came.
std::string since_stop(std::int64_t at_ms, std::optional<std::int64_t> stop_ms) {
    if (!stop_ms) return "";
    const std::int64_t since = at_ms - *stop_ms;
    return " " + std::to_string(since < 0 ? -since : since) + " ms " +
           (since < 0 ? "before" : "after") + " the stop";
}

// "printer PORT: VVVV:PPPP, stop received, released N ms after the stop, kernel driver bound
// again N times", and a line for each class request.
void say_how_it_was_given_back(const EmulatedUsbPrinter& device) {
    const DeviceSetup& setup = device.setup();
    const std::optional<std::int64_t> stop = device.stop_ms();
    const std::optional<std::int64_t> released = device.released_ms();
    const int bound = device.attaches();
    std::fprintf(stderr, "printer %s: %04x:%04x, %s, %s%s, kernel driver bound again %d %s\n",
                 setup.port_path.c_str(), static_cast<unsigned>(setup.vendor_id),
                 static_cast<unsigned>(setup.product_id), stop ? "stop received" : "no stop",
                 released ? "released" : "not released",
                 released ? since_stop(*released, stop).c_str() : "", bound,
                 bound == 1 ? "time" : "times");
    for (const ClassRequest& request : device.class_requests()) {
        const std::string name = request.request == 2 ? "SOFT_RESET" : "request " +
                                 std::to_string(request.request);
        std::fprintf(stderr,
                     "class request %s: %s, bmRequestType 0x%02x, wValue %u, wIndex %u, %s%s\n",
                     setup.port_path.c_str(), name.c_str(),
                     static_cast<unsigned>(request.request_type),
                     static_cast<unsigned>(request.value), static_cast<unsigned>(request.index),
                     request.accepted ? "accepted" : "not accepted",
                     since_stop(request.at_ms, stop).c_str());
    }
}

void say_how_it_ended(int status, const std::vector<EmulatedUsbPrinter*>& devices) {
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
    for (const EmulatedUsbPrinter* device : devices) say_how_it_was_given_back(*device);
}

// Runs the command in a child, serving the emulated devices' requests until it ends, and sends
// its process group the signals asked for once it has begun a reading (or claimed a printer) and
// the delay has passed, each after the interval from the one before.
int run_command(char** command, const StandOptions& options,
                const std::vector<EmulatedUsbPrinter*>& devices) {
    const Terminal terminal;
    const pid_t child = start_command(command, options.closed_stdout, terminal);
    if (child < 0) return 127;
    // A Ctrl+C meant for the command must not end the stand before the command has ended.
    std::signal(SIGINT, SIG_IGN);
    std::size_t sent = 0;
    std::optional<Clock::time_point> due;
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        g_main_context_iteration(nullptr, FALSE);
        const bool more = sent < options.signals.size();
        if (more && !due && reading_started(devices, options.signal_on_claim))
            due = Clock::now() + std::chrono::milliseconds(options.signal_delay_ms);
        if (more && due && Clock::now() >= *due) {
            kill(-child, options.signals[sent++]);
            *due += std::chrono::milliseconds(options.signal_interval_ms);
        }
        usleep(1000);
    }
    if (options.report) say_how_it_ended(status, devices);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    StandOptions options;
    const int command = parse_options(argc, argv, options);
    if (command == 0) return usage();
    if (options.printers.empty()) {
        options.printers.resize(2);
        options.printers[0].setup.port_path = "1-1";
        options.printers[1].setup.port_path = "1-2";
        options.printers[1].fault = PrinterFault::Silence;
    }

    UsbTestbed bed;
    std::vector<EmulatedUsbPrinter*> devices;
    std::uint8_t address = 2;
    for (StandPrinter& printer : options.printers) {
        printer.setup.address = address++;
        printer.setup.serial = "VLP3020K4N7Q" + std::to_string(address);
        SimulatedPrinter simulated(printer.report, printer.fault);
        if (printer.chunk_size) simulated.set_chunk_size(*printer.chunk_size);
        simulated.set_chunk_delay_ms(printer.chunk_delay_ms);
        devices.push_back(&bed.add(printer.setup, std::move(simulated)));
    }
    return run_command(argv + command, options, devices);
}
