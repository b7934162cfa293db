// The companion's printers through libusb (Linux, and wherever libusb-1.0 is found): the USB
// printer interfaces of the four vendors, read over their bulk endpoints.

#include <utility>

#include "cli/printer_bus.h"
#include "link/libusb_printer_link.h"

namespace {

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

class LibusbPrinter final : public PrinterConnection {
public:
    LibusbPrinterLink& usb() { return link_; }
    SessionLink& link() override { return link_; }
    // The link keeps the outcome of its last call: asked right after a failure, it is that one's.
    LinkFailure last_failure() const override { return link_failure(link_.failure()); }
    int interrupt_signal() const override { return LibusbPrinterLink::interrupt_signal(); }

private:
    LibusbPrinterLink link_;
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
        // Ctrl+C, SIGTERM and SIGHUP end the session in order, so that the kernel's driver gets
        // the printer back.
        LibusbPrinterLink::interrupt_on_signals();
        if (opened->usb().open(listed_device(printer))) return opened;
        failure = {open_failure_kind(opened->usb().failure()), opened->usb().failure_text(),
                   LibusbPrinterLink::interrupt_signal()};
        return nullptr;
    }
};

}  // namespace

std::unique_ptr<PrinterBus> system_printer_bus() { return std::make_unique<LibusbPrinterBus>(); }
