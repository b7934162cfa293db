// The companion's printers through libusb (Linux, and wherever libusb-1.0 is found): the USB
// printer interfaces of the four vendors, read over their bulk endpoints. While a printer is
// open, Ctrl+C, SIGTERM and SIGHUP end its session in order (StopSignals).

#include <atomic>
#include <csignal>
#include <cstddef>
#include <iterator>
#include <utility>

#include "cli/printer_bus.h"
#include "link/libusb_printer_link.h"

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// What the handler tells: the link's stop flag, and the first signal that came (0: none).
std::atomic<bool> g_stop{false};
std::atomic<int> g_first_signal{0};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the handler sets them");

// Keeps the first signal, for the exit code, and stops the link; a later one is taken and
// dropped: it must not end the process while the printer is claimed and its driver detached.
void on_stop_signal(int signal_number) {
    int none = 0;
    g_first_signal.compare_exchange_strong(none, signal_number, std::memory_order_relaxed);
    g_stop.store(true, std::memory_order_relaxed);
}

// The handler for the three signals while it lives (one reading at a time), and their earlier
// dispositions back when it goes. A signal already ignored (nohup, a background job) stays
// ignored. The printer's give-back is bounded in time (the stop and its answer within
// kStopAnswerWaitMs each, then the release): signals are held no longer.
class StopSignals {
public:
    StopSignals() {
        g_stop.store(false, std::memory_order_relaxed);
        g_first_signal.store(0, std::memory_order_relaxed);
        struct sigaction action {};
        action.sa_handler = on_stop_signal;
        sigemptyset(&action.sa_mask);
        for (const int other : kStopSignals) sigaddset(&action.sa_mask, other);
        for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
            if (sigaction(kStopSignals[i], nullptr, &before_[i]) != 0) continue;
            if (before_[i].sa_handler == SIG_IGN) continue;
            installed_[i] = sigaction(kStopSignals[i], &action, nullptr) == 0;
        }
    }
    ~StopSignals() {
        for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
            if (installed_[i]) sigaction(kStopSignals[i], &before_[i], nullptr);
        }
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    static const std::atomic<bool>* flag() { return &g_stop; }
    static int first_signal() { return g_first_signal.load(std::memory_order_relaxed); }

private:
    struct sigaction before_[std::size(kStopSignals)]{};
    bool installed_[std::size(kStopSignals)] = {};
};

std::optional<std::string> given(const std::string& text) {
    return text.empty() ? std::nullopt : std::optional<std::string>(text);
}

PrinterInfo describe(const UsbPrinterInfo& usb) {
    PrinterInfo printer;
    printer.id = usb.id;
    printer.vendor_id = usb.vendor_id;
    printer.product_id = usb.product_id;
    printer.address = LibusbPrinterLink::address_id(usb.bus, usb.address);
    if (usb.interface_number >= 0) printer.interface_number = usb.interface_number;
    printer.no_session_interface = usb.interface_number < 0;
    printer.manufacturer = given(usb.manufacturer);
    printer.product = given(usb.product);
    printer.serial = given(usb.serial_number);
    printer.quirks = usb.quirks;
    return printer;
}

// The very device the listing found, by its bus and address: a port id may repeat (where libusb
// cannot see a hub) and then name another printer.
std::string listed_device(const PrinterInfo& printer) {
    return printer.address.value_or(printer.id);
}

OpenFailure::Kind open_failure_kind(UsbFailure failure) {
    switch (failure) {
        case UsbFailure::NoSuchDevice:
        case UsbFailure::DeviceGone: return OpenFailure::Kind::Gone;
        case UsbFailure::PermissionDenied: return OpenFailure::Kind::PermissionDenied;
        case UsbFailure::Busy: return OpenFailure::Kind::Busy;
        case UsbFailure::Interrupted: return OpenFailure::Kind::Interrupted;
        case UsbFailure::Refused: return OpenFailure::Kind::Refused;
        default: return OpenFailure::Kind::Other;
    }
}

LinkFailure link_failure(UsbFailure failure) {
    switch (failure) {
        case UsbFailure::None: return LinkFailure::None;
        case UsbFailure::TimedOut: return LinkFailure::TimedOut;
        case UsbFailure::NoSuchDevice:
        case UsbFailure::DeviceGone: return LinkFailure::DeviceGone;
        case UsbFailure::Interrupted: return LinkFailure::Interrupted;
        default: return LinkFailure::Io;
    }
}

// The signals are taken before the printer is opened and given back after it is closed.
class LibusbPrinter final : public PrinterConnection {
public:
    LibusbPrinterLink& usb() { return link_; }
    SessionLink& link() override { return link_; }
    // The link keeps the outcome of its last call: asked right after a failure, it is that one's.
    LinkFailure last_failure() const override { return link_failure(link_.failure()); }
    std::string failure_cause() const override { return link_.failure_text(); }
    std::string opening_note() const override {
        if (!link_.still_sending_at_open()) return {};
        return "the printer was still sending what an earlier reading left (" +
               std::to_string(link_.dropped_at_open()) + " bytes dropped in " +
               std::to_string(LibusbPrinterLink::kDrainMaxMs / 1000) +
               " s); read it again once it has finished";
    }
    int interrupt_signal() const override { return StopSignals::first_signal(); }

private:
    StopSignals signals_;
    LibusbPrinterLink link_{StopSignals::flag()};
};

class LibusbPrinterBus final : public PrinterBus {
public:
    bool list(std::vector<PrinterInfo>& printers, std::string& error) override {
        std::vector<UsbPrinterInfo> found;
        printers.clear();
        if (!LibusbPrinterLink::list(found, error)) return false;
        for (const UsbPrinterInfo& usb : found) printers.push_back(describe(usb));
        return true;
    }

    std::unique_ptr<PrinterConnection> open(const PrinterInfo& printer,
                                            OpenFailure& failure) override {
        auto opened = std::make_unique<LibusbPrinter>();
        if (opened->usb().open(listed_device(printer))) return opened;
        failure = {open_failure_kind(opened->usb().failure()), opened->usb().failure_text(),
                   StopSignals::first_signal()};
        return nullptr;
    }
};

}  // namespace

std::unique_ptr<PrinterBus> system_printer_bus() { return std::make_unique<LibusbPrinterBus>(); }
