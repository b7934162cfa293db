#include "link/libusb_printer_link.h"

#include <libusb.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <thread>
#include <tuple>
#include <utility>

#include "link/usb_descriptors.h"
#include "link/usb_quirks.h"

namespace {

using Clock = std::chrono::steady_clock;

using usb_descriptors::PrinterInterface;

constexpr int kMaxPortDepth = 7;                // USB allows at most 7 tiers
constexpr std::size_t kStringBufferSize = 255;  // a descriptor's length is one byte
constexpr std::size_t kMaxWritePiece = 16384;   // bytes per bulk OUT transfer
// After libusb's event handling failed, it is tried again this much later, not in a busy loop.
constexpr auto kRetryAfterFailure = std::chrono::milliseconds(10);
// bmRequestType of a standard request to an endpoint that the device answers.
constexpr auto kStandardEndpointIn = static_cast<std::uint8_t>(
    static_cast<int>(LIBUSB_ENDPOINT_IN) | static_cast<int>(LIBUSB_REQUEST_TYPE_STANDARD) |
    static_cast<int>(LIBUSB_RECIPIENT_ENDPOINT));
// The printer class's SOFT_RESET, and the two recipients printers take it to.
constexpr std::uint8_t kSoftResetRequest = 2;
constexpr auto kClassToOther = static_cast<std::uint8_t>(
    static_cast<int>(LIBUSB_ENDPOINT_OUT) | static_cast<int>(LIBUSB_REQUEST_TYPE_CLASS) |
    static_cast<int>(LIBUSB_RECIPIENT_OTHER));
constexpr auto kClassToInterface = static_cast<std::uint8_t>(
    static_cast<int>(LIBUSB_ENDPOINT_OUT) | static_cast<int>(LIBUSB_REQUEST_TYPE_CLASS) |
    static_cast<int>(LIBUSB_RECIPIENT_INTERFACE));

unsigned elapsed_ms(Clock::time_point since) {
    return static_cast<unsigned>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

bool supported_vendor(std::uint16_t vendor) {
    const auto& ids = LibusbPrinterLink::kVendorIds;
    return std::find(std::begin(ids), std::end(ids), vendor) != std::end(ids);
}

struct ConfigDeleter {
    void operator()(libusb_config_descriptor* config) const {
        libusb_free_config_descriptor(config);
    }
};
using Config = std::unique_ptr<libusb_config_descriptor, ConfigDeleter>;

// The active configuration, or the first one of a device that is not configured.
Config configuration(libusb_device* device) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0) {
        config = nullptr;
        if (libusb_get_config_descriptor(device, 0, &config) != 0) config = nullptr;
    }
    return Config(config);
}

// libusb's parse of a configuration as the bounds-checked view the choice of interface takes.
// libusb leaves an array null beside a count above 0 when the descriptors end too soon (an
// interface's endpoints cut off): such an array counts as empty, whatever the count says.
class ConfigurationView {
public:
    explicit ConfigurationView(const libusb_config_descriptor& config) {
        const int interfaces = config.interface != nullptr ? config.bNumInterfaces : 0;
        for (int i = 0; i < interfaces; ++i) {
            const libusb_interface& interface = config.interface[i];
            const int settings = interface.altsetting != nullptr ? interface.num_altsetting : 0;
            for (int a = 0; a < settings; ++a) add(interface.altsetting[a]);
        }
        // Spans are taken once every endpoint is in place (the vector no longer moves).
        std::size_t next = 0;
        for (std::size_t s = 0; s < settings_.size(); ++s) {
            settings_[s].endpoints = std::span(endpoints_).subspan(next, endpoint_counts_[s]);
            next += endpoint_counts_[s];
        }
    }

    // The settings' spans point into this object's own vector.
    ConfigurationView(const ConfigurationView&) = delete;
    ConfigurationView& operator=(const ConfigurationView&) = delete;

    std::span<const usb_descriptors::InterfaceSetting> settings() const { return settings_; }

private:
    void add(const libusb_interface_descriptor& setting) {
        const int count = setting.endpoint != nullptr ? setting.bNumEndpoints : 0;
        for (int e = 0; e < count; ++e) {
            const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
            endpoints_.push_back(
                {endpoint.bEndpointAddress, endpoint.bmAttributes, endpoint.wMaxPacketSize});
        }
        settings_.push_back({setting.bInterfaceNumber, setting.bAlternateSetting,
                             setting.bInterfaceClass, setting.bInterfaceProtocol, {}});
        endpoint_counts_.push_back(static_cast<std::size_t>(count));
    }

    std::vector<usb_descriptors::Endpoint> endpoints_;
    std::vector<usb_descriptors::InterfaceSetting> settings_;
    std::vector<std::size_t> endpoint_counts_;
};

// The printer interface a session would use, among all of the device's settings.
PrinterInterface printer_interface(libusb_device* device) {
    const Config config = configuration(device);
    if (!config) return {};
    return usb_descriptors::choose_printer_interface(ConfigurationView(*config).settings());
}

// The port numbers from the root hub down; empty when libusb cannot tell them.
std::vector<std::uint8_t> port_numbers(libusb_device* device) {
    std::uint8_t ports[kMaxPortDepth];
    const int depth = libusb_get_port_numbers(device, ports, kMaxPortDepth);
    return depth > 0 ? std::vector<std::uint8_t>(ports, ports + depth)
                     : std::vector<std::uint8_t>();
}

// "BUS-PORT.PORT...", the kernel's name for the port; the bus:address form without the ports.
std::string port_id(std::uint8_t bus, const std::vector<std::uint8_t>& ports,
                    std::uint8_t address) {
    if (ports.empty()) return LibusbPrinterLink::address_id(bus, address);
    // Appended piece by piece: GCC 12 at -O3 warns falsely (restrict) on `"." + to_string(...)`.
    std::string id = std::to_string(bus);
    for (std::size_t i = 0; i < ports.size(); ++i) {
        id += i == 0 ? '-' : '.';
        id += std::to_string(ports[i]);
    }
    return id;
}

// True when `id` is the printer's port id or its "BBB:DDD" bus and address.
bool matches(const std::string& id, const UsbPrinterInfo& printer) {
    if (id == printer.id) return true;
    unsigned bus = 0, address = 0;
    int end = 0;
    if (std::sscanf(id.c_str(), "%3u:%3u%n", &bus, &address, &end) != 2) return false;
    return static_cast<std::size_t>(end) == id.size() && bus == printer.bus &&
           address == printer.address;
}

// One string descriptor request, bounded in size and time: a libusb error, or the bytes received
// (never more than the buffer, whatever the device said of its length).
int request_string(libusb_device_handle* handle, std::uint8_t index, std::uint16_t language,
                   std::span<std::uint8_t, kStringBufferSize> raw) {
    const int received = libusb_control_transfer(
        handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
        static_cast<std::uint16_t>((LIBUSB_DT_STRING << 8) | index), language, raw.data(),
        static_cast<std::uint16_t>(raw.size()), LibusbPrinterLink::kStringTimeoutMs);
    return std::min(received, static_cast<int>(raw.size()));
}

// The manufacturer, product and serial strings in the device's first language. A device that
// does not answer in time is asked nothing more: a silent printer delays the listing once.
void read_strings(libusb_device* device, libusb_device_handle* handle, UsbPrinterInfo& info) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != 0) return;
    if (descriptor.iManufacturer == 0 && descriptor.iProduct == 0 && descriptor.iSerialNumber == 0)
        return;
    std::array<std::uint8_t, kStringBufferSize> raw{};
    const int languages = request_string(handle, 0, 0, raw);
    if (languages <= 0) return;
    const std::optional<std::uint16_t> language =
        usb_descriptors::first_language(std::span(raw).first(static_cast<std::size_t>(languages)));
    if (!language) return;
    const std::pair<std::uint8_t, std::string*> wanted[] = {
        {descriptor.iManufacturer, &info.manufacturer},
        {descriptor.iProduct, &info.product},
        {descriptor.iSerialNumber, &info.serial_number}};
    for (const auto& [index, field] : wanted) {
        if (index == 0) continue;
        const int received = request_string(handle, index, *language, raw);
        if (received == LIBUSB_ERROR_TIMEOUT) return;
        if (received > 0)
            *field = usb_descriptors::string_text(
                std::span(raw).first(static_cast<std::size_t>(received)));
    }
}

// The strings of a device that is not open: without access to it they stay empty.
void read_strings(libusb_device* device, UsbPrinterInfo& info) {
    libusb_device_handle* handle = nullptr;
    if (libusb_open(device, &handle) != 0) return;
    read_strings(device, handle, info);
    libusb_close(handle);
}

// A supported printer among the devices: what the listing shows, and where it sits.
struct FoundPrinter {
    libusb_device* device = nullptr;
    UsbPrinterInfo info;
    PrinterInterface interface;
    std::vector<std::uint8_t> ports;
};

// The listing's view of a device; false when it is not a supported printer.
bool describe(libusb_device* device, FoundPrinter& found) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != 0) return false;
    if (!supported_vendor(descriptor.idVendor)) return false;
    found.interface = printer_interface(device);
    if (!found.interface.found) return false;
    UsbPrinterInfo& info = found.info;
    found.device = device;
    found.ports = port_numbers(device);
    info.vendor_id = descriptor.idVendor;
    info.product_id = descriptor.idProduct;
    info.bus = libusb_get_bus_number(device);
    info.address = libusb_get_device_address(device);
    info.id = port_id(info.bus, found.ports, info.address);
    if (found.interface.bulk_pair) {
        info.interface_number = found.interface.number;
        info.interface_protocol = found.interface.protocol;
    }
    return true;
}

// By bus, then by the port numbers as numbers; a device whose ports are unknown after those on
// its bus.
bool in_port_order(const FoundPrinter& a, const FoundPrinter& b) {
    return std::tuple(a.info.bus, a.ports.empty(), a.ports, a.info.address) <
           std::tuple(b.info.bus, b.ports.empty(), b.ports, b.info.address);
}

// The supported printers among `count` devices, in port order: libusb's own order follows the
// system's enumeration, which may differ from one boot to the next.
std::vector<FoundPrinter> supported_printers(libusb_device** devices, ssize_t count) {
    std::vector<FoundPrinter> printers;
    for (ssize_t i = 0; i < count; ++i) {
        FoundPrinter found;
        if (describe(devices[i], found)) printers.push_back(std::move(found));
    }
    std::sort(printers.begin(), printers.end(), in_port_order);
    return printers;
}

struct ContextDeleter {
    void operator()(libusb_context* context) const { libusb_exit(context); }
};
using Context = std::unique_ptr<libusb_context, ContextDeleter>;

struct DeviceListDeleter {
    void operator()(libusb_device** devices) const { libusb_free_device_list(devices, 1); }
};
using DeviceList = std::unique_ptr<libusb_device*, DeviceListDeleter>;

std::string libusb_text(int error) { return libusb_strerror(error); }

void LIBUSB_CALL on_transfer_done(libusb_transfer* transfer) {
    *static_cast<int*>(transfer->user_data) = 1;
}

UsbFailure open_failure(int error) {
    switch (error) {
        case LIBUSB_ERROR_ACCESS:
            return UsbFailure::PermissionDenied;
        case LIBUSB_ERROR_BUSY:
            return UsbFailure::Busy;
        case LIBUSB_ERROR_NO_DEVICE:
        case LIBUSB_ERROR_NOT_FOUND:
            return UsbFailure::NoSuchDevice;
        default:
            return UsbFailure::Other;
    }
}

}  // namespace

// One libusb transfer; the link waits for every transfer to end before this goes, and with it
// the buffer the transfer moves.
struct LibusbPrinterLink::Transfer {
    libusb_transfer* handle = libusb_alloc_transfer(0);  // null when libusb has no memory for it
    std::vector<unsigned char> data;                     // a write's bytes
    int completed = 0;
    bool interrupted = false;

    Transfer() = default;
    ~Transfer() { libusb_free_transfer(handle); }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
};

// The IN endpoint as the packet reader sees it: libusb transfers on a steady clock. A transfer
// that fails sets the link's failure.
class LibusbPrinterLink::InPipe final : public BulkInPipe {
public:
    InPipe(LibusbPrinterLink& link, bool cancel_on_interrupt)
        : link_(link), cancel_on_interrupt_(cancel_on_interrupt) {}

    Result transfer(unsigned char* into, std::size_t length, unsigned timeout_ms) override {
        return link_.transfer_in(into, length, timeout_ms, cancel_on_interrupt_);
    }

    std::uint64_t now_ms() override {
        return static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
                .count());
    }

private:
    LibusbPrinterLink& link_;
    bool cancel_on_interrupt_;
};

bool LibusbPrinterLink::list(std::vector<UsbPrinterInfo>& printers, std::string& failure_text) {
    printers.clear();
    libusb_context* raw_context = nullptr;
    const int started = libusb_init(&raw_context);
    if (started != 0) {
        failure_text = "libusb cannot start: " + libusb_text(started);
        return false;
    }
    const Context context(raw_context);
    libusb_device** raw_devices = nullptr;
    const ssize_t count = libusb_get_device_list(context.get(), &raw_devices);
    if (count < 0) {
        failure_text = "libusb cannot list devices: " + libusb_text(static_cast<int>(count));
        return false;
    }
    const DeviceList devices(raw_devices);
    const UsbQuirkTable quirks = UsbQuirkTable::of_this_system();
    for (FoundPrinter& found : supported_printers(devices.get(), count)) {
        read_strings(found.device, found.info);
        found.info.quirks = quirks.find(found.info.vendor_id, found.info.product_id).words;
        printers.push_back(std::move(found.info));
    }
    return true;
}

LibusbPrinterLink::LibusbPrinterLink(const std::atomic<bool>* stop) : stop_(stop) {}

LibusbPrinterLink::~LibusbPrinterLink() { close(); }

bool LibusbPrinterLink::stopped() const {
    return stop_ != nullptr && stop_->load(std::memory_order_relaxed);
}

bool LibusbPrinterLink::fail(UsbFailure failure, std::string text) {
    failure_ = failure;
    failure_text_ = std::move(text);
    return false;
}

bool LibusbPrinterLink::fail_libusb(int error, const char* what) {
    const UsbFailure failure = error == LIBUSB_ERROR_NO_DEVICE ? UsbFailure::DeviceGone
                               : error == LIBUSB_ERROR_TIMEOUT ? UsbFailure::TimedOut
                                                               : UsbFailure::Io;
    return fail(failure, std::string(what) + ": " + libusb_text(error));
}

bool LibusbPrinterLink::fail_no_transfer() {
    return fail(UsbFailure::Other, "libusb cannot allocate a transfer");
}

// libusb failed to handle the transfer's events (`error`, 0 when it did not say). A transfer that
// never came back is kept, with its buffer, until the device is closed, and the link moves no
// more data: libusb may still hand it back into that buffer.
bool LibusbPrinterLink::fail_events(std::unique_ptr<Transfer> transfer, Wait wait, int error,
                                    const char* what) {
    const std::string how =
        error != 0 ? std::string("libusb's event handling failed: ") + libusb_error_name(error)
                   : std::string("libusb handled its events");
    if (wait != Wait::Abandoned) return fail(UsbFailure::Io, std::string(what) + ": " + how);
    abandoned_.push_back(std::move(transfer));
    broken_ = std::string(what) + ": the transfer did not come back (" + how + ")";
    return fail(UsbFailure::Io, broken_);
}

bool LibusbPrinterLink::open(const std::string& id) {
    close();
    failure_ = UsbFailure::None;
    failure_text_.clear();
    printer_ = UsbPrinterInfo{};
    if (open_steps(id)) return true;
    // close() undoes what was done; the failure is the step's.
    const UsbFailure failure = failure_;
    std::string text = std::move(failure_text_);
    close();
    return fail(failure, std::move(text));
}

bool LibusbPrinterLink::open_steps(const std::string& id) {
    const int started = libusb_init(&context_);
    if (started != 0) {
        context_ = nullptr;
        return fail(UsbFailure::Other, "libusb cannot start: " + libusb_text(started));
    }
    libusb_device** raw_devices = nullptr;
    const ssize_t count = libusb_get_device_list(context_, &raw_devices);
    if (count < 0)
        return fail(UsbFailure::Other,
                    "libusb cannot list devices: " + libusb_text(static_cast<int>(count)));
    const DeviceList devices(raw_devices);
    const std::vector<FoundPrinter> printers = supported_printers(devices.get(), count);
    auto chosen = std::find_if(printers.begin(), printers.end(), [&](const auto& found) {
        return id.empty() ? found.interface.bulk_pair : matches(id, found.info);
    });
    // None that carries a session: the first listed, whose failure names it.
    if (id.empty() && chosen == printers.end()) chosen = printers.begin();
    if (chosen == printers.end()) {
        return fail(UsbFailure::NoSuchDevice, id.empty() ? "no supported printer is attached"
                                                         : "no supported printer with id " + id);
    }
    printer_ = chosen->info;
    if (refused_by_quirks()) return false;
    const PrinterInterface& interface = chosen->interface;
    if (!interface.bulk_pair) {
        return fail(UsbFailure::NoBulkEndpoints,
                    "no printer interface of " + printer_.id +
                        " carries a session: none has a bulk OUT and IN pair but for IEEE "
                        "1284.4 or IPP over USB");
    }
    const int opened = libusb_open(chosen->device, &handle_);
    if (opened != 0) {
        handle_ = nullptr;
        return fail(open_failure(opened),
                    "cannot open " + printer_.id + ": " + libusb_text(opened));
    }
    read_strings(chosen->device, handle_, printer_);
    out_endpoint_ = interface.out_endpoint;
    in_endpoint_ = interface.in_endpoint;
    in_packet_size_ = interface.in_packet_size;
    return claim(interface.number, interface.alternate) && start_clean();
}

// Takes the interface from the kernel's printer driver (remembered, to give it back) and claims
// it for us, with the alternate setting that has the bulk pair.
bool LibusbPrinterLink::claim(int interface_number, int alternate) {
    interface_ = interface_number;
    const int active = libusb_kernel_driver_active(handle_, interface_number);
    if (active == 1) {
        const int detached = libusb_detach_kernel_driver(handle_, interface_number);
        if (detached != 0 && detached != LIBUSB_ERROR_NOT_FOUND) {
            return fail(open_failure(detached),
                        "cannot detach the kernel driver: " + libusb_text(detached));
        }
        driver_detached_ = detached == 0;
    } else if (active < 0 && active != LIBUSB_ERROR_NOT_SUPPORTED) {
        return fail(open_failure(active),
                    "cannot ask for the kernel driver: " + libusb_text(active));
    }
    const int claimed = libusb_claim_interface(handle_, interface_number);
    if (claimed != 0) {
        return fail(open_failure(claimed),
                    "cannot claim the printer interface: " + libusb_text(claimed));
    }
    claimed_ = true;
    if (alternate != 0) {
        const int selected = libusb_set_interface_alt_setting(handle_, interface_number, alternate);
        if (selected != 0) {
            return fail(open_failure(selected),
                        "cannot select the alternate setting: " + libusb_text(selected));
        }
    }
    return true;
}

// A halt that an earlier reading met (or another program left) is cleared, and what the printer
// still has queued from an earlier session (cut short by Ctrl+C, a stall, a time-out) is read and
// dropped: otherwise this session would take those bytes for its own answers. A printer that is
// gone fails the opening here, and so does an interrupt (Ctrl+C while the drain waits); anything
// else the session will meet again.
bool LibusbPrinterLink::start_clean() {
    const auto stop = [this] {
        return fail(UsbFailure::Interrupted, "interrupted while opening " + printer_.id);
    };
    bool ask = true;
    for (const unsigned char endpoint : {out_endpoint_, in_endpoint_}) {
        if (stopped()) return stop();
        if (!clear_if_halted(endpoint, ask)) return false;
    }
    reader_.emplace(in_packet_size_, kMaxTransferBytes / in_packet_size_);
    InPipe pipe(*this, true);
    std::size_t dropped = 0;
    const PacketReader::End drained = reader_->drain(
        pipe, {kDrainMaxBytes, kDrainIdleMs, kDrainTalkingIdleMs, kDrainMaxMs}, dropped);
    if (failure_ == UsbFailure::DeviceGone || !broken_.empty()) return false;
    if (drained == PacketReader::End::Interrupted || stopped()) return stop();
    still_sending_at_open_ = drained == PacketReader::End::TimedOut;
    dropped_at_open_ = dropped;
    failure_ = UsbFailure::None;
    failure_text_.clear();
    return true;
}

// Clears the endpoint's halt if it has one. CLEAR_FEATURE(ENDPOINT_HALT) also resets the
// endpoint's data toggle, which some printers get wrong on an endpoint that was not halted (they
// lose their next packet): so the endpoint is asked first (GET_STATUS, bit 0 = halted), and
// cleared without asking only when it does not say. The status request is bounded by
// kStatusTimeoutMs (libusb cancels it then; a printer that let it run out is not asked again,
// `ask`); libusb_clear_halt is a synchronous usbfs request that the kernel bounds by its control
// time-out, USB_CTRL_SET_TIMEOUT, 5 s. False only when the printer is gone.
bool LibusbPrinterLink::clear_if_halted(unsigned char endpoint, bool& ask) {
    unsigned char status[2] = {0, 0};
    const int got =
        !ask ? LIBUSB_ERROR_TIMEOUT
             : libusb_control_transfer(handle_, kStandardEndpointIn, LIBUSB_REQUEST_GET_STATUS, 0,
                                       endpoint, status, sizeof status, kStatusTimeoutMs);
    if (got == LIBUSB_ERROR_NO_DEVICE) return fail_libusb(got, "cannot ask for a halt");
    if (got == LIBUSB_ERROR_TIMEOUT) ask = false;
    const std::size_t answered =
        got > 0 ? std::min(static_cast<std::size_t>(got), sizeof status) : 0;
    if (usb_descriptors::endpoint_status(std::span(status, answered)) ==
        usb_descriptors::EndpointStatus::NotHalted)
        return true;
    const int cleared = libusb_clear_halt(handle_, endpoint);
    if (cleared == LIBUSB_ERROR_NO_DEVICE) return fail_libusb(cleared, "cannot clear a halt");
    return true;
}

// Takes what the printing system knows of the chosen printer; true (with the failure said) when
// that is that the model does not work over USB.
bool LibusbPrinterLink::refused_by_quirks() {
    printer_.quirks =
        UsbQuirkTable::of_this_system().find(printer_.vendor_id, printer_.product_id).words;
    if (!has_quirk(usb_quirk::kBlacklist)) return false;
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", static_cast<unsigned>(printer_.vendor_id),
                  static_cast<unsigned>(printer_.product_id));
    fail(UsbFailure::Refused, "not opened: the printing system's USB quirks list " +
                                  std::string(ids) +
                                  " as a printer that does not work over USB (blacklist)");
    return true;
}

bool LibusbPrinterLink::has_quirk(std::string_view word) const {
    const std::vector<std::string>& words = printer_.quirks;
    return std::find(words.begin(), words.end(), word) != words.end();
}

// What the printer's quirks ask of the give-back, while the interface is still ours (usbfs takes
// a class request to an interface only from the program that claimed it): a second's wait before
// the release, then SOFT_RESET once a session has begun (an opening cut short sends the printer
// nothing). No SOFT_RESET to a printer that is gone, nor over a link that moves no more transfers.
void LibusbPrinterLink::give_back_quirks() noexcept {
    if (!claimed_ || failure_ == UsbFailure::DeviceGone) return;
    if (has_quirk(usb_quirk::kDelayClose))
        std::this_thread::sleep_for(std::chrono::milliseconds(kDelayCloseMs));
    if (has_quirk(usb_quirk::kSoftReset) && wrote_) soft_reset();
}

// The printer class's SOFT_RESET: the printer flushes its buffers, puts its bulk pipes back in
// their first state and clears their stalls, without the new enumeration that a USB reset of
// the whole device would bring. To recipient "other" first (0x23, as the first printer class text
// had it and many printers expect), to the interface (0x21) when that is refused; both within
// kSoftResetTimeoutMs.
void LibusbPrinterLink::soft_reset() noexcept {
    const Clock::time_point start = Clock::now();
    for (const std::uint8_t request_type : {kClassToOther, kClassToInterface}) {
        const unsigned spent = elapsed_ms(start);
        if (spent >= kSoftResetTimeoutMs || !broken_.empty()) return;
        if (!soft_reset_refused(request_type, kSoftResetTimeoutMs - spent)) return;
    }
}

// One SOFT_RESET, bounded as every transfer of the link is, also when libusb cannot handle its
// events (libusb's synchronous call would wait for it for ever then). True only when the printer
// refused it (a stall, an error), so that the other recipient is tried; a time-out is no refusal.
bool LibusbPrinterLink::soft_reset_refused(std::uint8_t request_type,
                                           unsigned timeout_ms) noexcept {
    auto transfer = std::unique_ptr<Transfer>(new (std::nothrow) Transfer);
    if (transfer == nullptr || transfer->handle == nullptr) return false;
    transfer->data.resize(LIBUSB_CONTROL_SETUP_SIZE);
    libusb_fill_control_setup(transfer->data.data(), request_type, kSoftResetRequest, 0,
                              static_cast<std::uint16_t>(interface_), 0);
    libusb_fill_control_transfer(transfer->handle, handle_, transfer->data.data(),
                                 on_transfer_done, &transfer->completed, timeout_ms);
    int error = 0;
    const Wait wait = run_transfer(*transfer, error, false);
    if (wait == Wait::Abandoned) {
        // libusb may still hand it back into its buffer: kept until the device is closed.
        abandoned_.push_back(std::move(transfer));
        broken_ = "SOFT_RESET: the transfer did not come back";
        return false;
    }
    if (wait == Wait::NotSubmitted) return error != LIBUSB_ERROR_NO_DEVICE;
    const libusb_transfer_status status = transfer->handle->status;
    return wait == Wait::Done &&
           (status == LIBUSB_TRANSFER_STALL || status == LIBUSB_TRANSFER_ERROR);
}

// Abandoned transfers are freed once the device is closed: libusb then forgets them, and the
// kernel ends their URBs with the file.
void LibusbPrinterLink::close() noexcept {
    if (handle_ != nullptr) {
        give_back_quirks();
        if (claimed_) libusb_release_interface(handle_, interface_);
        if (driver_detached_ && !has_quirk(usb_quirk::kNoReattach))
            libusb_attach_kernel_driver(handle_, interface_);
        libusb_close(handle_);
    }
    abandoned_.clear();
    broken_.clear();
    if (context_ != nullptr) libusb_exit(context_);
    handle_ = nullptr;
    context_ = nullptr;
    claimed_ = false;
    driver_detached_ = false;
    wrote_ = false;
    still_sending_at_open_ = false;
    dropped_at_open_ = 0;
    interface_ = -1;
    reader_.reset();
}

// Submits the transfer and waits for it, looking at the stop flag after every kInterruptCheckMs
// (unless the transfer is one that goes on after an interrupt). An interrupted transfer is
// cancelled, and waited for until the kernel gives it back (at once, whatever the device does),
// as libusb's own synchronous calls do. So is one whose events libusb fails to handle (`error`
// then says how), but not for ever: a transfer not back kCancelWaitMs after its time-out is
// Abandoned.
LibusbPrinterLink::Wait LibusbPrinterLink::run_transfer(Transfer& transfer, int& error,
                                                        bool cancel_on_interrupt) {
    if (cancel_on_interrupt && stopped()) {
        transfer.interrupted = true;
        return Wait::Interrupted;  // not even started
    }
    error = libusb_submit_transfer(transfer.handle);
    if (error != 0) return Wait::NotSubmitted;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(transfer.handle->timeout + kCancelWaitMs);
    bool cancelled = false;
    while (transfer.completed == 0) {
        if (Clock::now() >= deadline) return Wait::Abandoned;
        timeval tick{0, static_cast<suseconds_t>(kInterruptCheckMs) * 1000};
        const int handled =
            libusb_handle_events_timeout_completed(context_, &tick, &transfer.completed);
        const bool broken = handled != 0 && handled != LIBUSB_ERROR_INTERRUPTED;
        if (broken) error = handled;
        const bool stop = cancel_on_interrupt && stopped();
        if (transfer.completed == 0 && !cancelled && (stop || broken)) {
            transfer.interrupted = stop;
            libusb_cancel_transfer(transfer.handle);
            cancelled = true;
        }
        if (broken && transfer.completed == 0) std::this_thread::sleep_for(kRetryAfterFailure);
    }
    if (transfer.interrupted && transfer.handle->status == LIBUSB_TRANSFER_CANCELLED)
        return Wait::Interrupted;
    if (cancelled && transfer.handle->status == LIBUSB_TRANSFER_CANCELLED)
        return Wait::EventsFailed;
    return transfer.handle->status == LIBUSB_TRANSFER_TIMED_OUT ? Wait::TimedOut : Wait::Done;
}

// A transfer's end other than completion or time-out, as a failure. A halted endpoint stays
// halted until the host clears it: cleared here, so that the next reading starts clean.
bool LibusbPrinterLink::fail_transfer(const Transfer& transfer, const char* what,
                                      unsigned char endpoint) {
    switch (transfer.handle->status) {
        case LIBUSB_TRANSFER_NO_DEVICE:
            return fail(UsbFailure::DeviceGone, std::string(what) + ": the printer is gone");
        case LIBUSB_TRANSFER_OVERFLOW:
            return fail(UsbFailure::Io,
                        std::string(what) + ": the printer sent more than was asked for");
        case LIBUSB_TRANSFER_STALL:
            libusb_clear_halt(handle_, endpoint);
            return fail(UsbFailure::Io, std::string(what) + ": the printer stalled the endpoint");
        default:
            return fail(UsbFailure::Io,
                        std::string(what) + ": " + libusb_error_name(transfer.handle->status));
    }
}

// After an interrupt a write still goes out, within kStopAnswerWaitMs: the session's stop. Not
// the first write, though: a start after Ctrl+C would begin a session that no stop ends. The
// report bytes still buffered from the transfer the interrupt cut are dropped first: they are
// not the stop's answer, which would then be left for the next opening.
bool LibusbPrinterLink::write(const char* bytes, std::size_t count) {
    failure_ = UsbFailure::None;
    failure_text_.clear();
    if (handle_ == nullptr) return fail(UsbFailure::NoSuchDevice, "no printer is open");
    if (!broken_.empty()) return fail(UsbFailure::Io, "no more transfers: " + broken_);
    const bool after_interrupt = stopped();
    if (after_interrupt && !wrote_)
        return fail(UsbFailure::Interrupted, "interrupted before the session began");
    if (after_interrupt && reader_) reader_->discard();
    wrote_ = true;
    const unsigned limit = after_interrupt ? kStopAnswerWaitMs : kWriteTimeoutMs;
    const auto too_late = [&] {
        return after_interrupt
                   ? fail(UsbFailure::Interrupted, "write interrupted: the printer did not take it")
                   : fail(UsbFailure::TimedOut, "the printer did not take the data in time");
    };
    const Clock::time_point start = Clock::now();
    std::size_t sent = 0;
    while (sent < count) {
        const unsigned spent = elapsed_ms(start);
        if (spent >= limit) return too_late();
        const std::size_t piece = std::min(count - sent, kMaxWritePiece);
        auto owned = std::make_unique<Transfer>();
        Transfer& transfer = *owned;
        if (transfer.handle == nullptr) return fail_no_transfer();
        transfer.data.assign(bytes + sent, bytes + sent + piece);
        libusb_fill_bulk_transfer(transfer.handle, handle_, out_endpoint_, transfer.data.data(),
                                  static_cast<int>(piece), on_transfer_done, &transfer.completed,
                                  limit - spent);
        int error = 0;
        const Wait wait = run_transfer(transfer, error, !after_interrupt);
        if (wait == Wait::NotSubmitted) return fail_libusb(error, "write");
        if (wait == Wait::EventsFailed || wait == Wait::Abandoned)
            return fail_events(std::move(owned), wait, error, "write");
        // A partial transfer (before a time-out) still moved its bytes: the next piece follows
        // them.
        sent +=
            std::min(piece, static_cast<std::size_t>(std::max(0, transfer.handle->actual_length)));
        if (wait == Wait::Interrupted) return fail(UsbFailure::Interrupted, "write interrupted");
        if (wait == Wait::TimedOut) return too_late();
        if (transfer.handle->status != LIBUSB_TRANSFER_COMPLETED)
            return fail_transfer(transfer, "write", out_endpoint_);
    }
    return true;
}

// The byte-mode pipe's read, by the packet reader: the read completes with what has arrived, up
// to what was asked (see PacketReader::read). After an interrupt a read still takes what comes
// within kStopAnswerWaitMs, so that the printer's answer to the session's stop is read rather
// than left queued, and then fails all the same: the session ends there.
bool LibusbPrinterLink::read(char* buffer, std::size_t count, std::size_t& received) {
    received = 0;
    failure_ = UsbFailure::None;
    failure_text_.clear();
    if (handle_ == nullptr || !reader_) return fail(UsbFailure::NoSuchDevice, "no printer is open");
    if (!broken_.empty()) return fail(UsbFailure::Io, "no more transfers: " + broken_);
    const bool after_interrupt = stopped();
    InPipe pipe(*this, !after_interrupt);
    const PacketReader::End end = reader_->read(
        pipe, buffer, count, after_interrupt ? kStopAnswerWaitMs : kReadTimeoutMs, received);
    if (end == PacketReader::End::Failed) return false;  // the transfer has said why
    if (after_interrupt || end == PacketReader::End::Interrupted)
        return fail(UsbFailure::Interrupted, "read interrupted");
    if (end == PacketReader::End::TimedOut)
        return fail(UsbFailure::TimedOut, "nothing arrived in time");
    return true;
}

// One bulk IN transfer for the packet reader. usbfs hands back a URB cancelled at its time-out
// (libusb cancels it) or by us with the bytes it had received, and libusb counts them in
// actual_length: those bytes are the printer's, and the reader keeps them for the next read.
BulkInPipe::Result LibusbPrinterLink::transfer_in(unsigned char* into, std::size_t length,
                                                  unsigned timeout_ms, bool cancel_on_interrupt) {
    using End = BulkInPipe::End;
    auto owned = std::make_unique<Transfer>();
    Transfer& transfer = *owned;
    if (transfer.handle == nullptr) {
        fail_no_transfer();
        return {End::Failed, 0};
    }
    libusb_fill_bulk_transfer(transfer.handle, handle_, in_endpoint_, into,
                              static_cast<int>(length), on_transfer_done, &transfer.completed,
                              timeout_ms);
    int error = 0;
    const Wait wait = run_transfer(transfer, error, cancel_on_interrupt);
    if (wait == Wait::NotSubmitted) {
        fail_libusb(error, "read");
        return {End::Failed, 0};
    }
    if (wait == Wait::EventsFailed || wait == Wait::Abandoned) {
        fail_events(std::move(owned), wait, error, "read");
        return {End::Failed, 0};
    }
    const auto arrived =
        std::min(length, static_cast<std::size_t>(std::max(0, transfer.handle->actual_length)));
    if (wait == Wait::Interrupted) return {End::Interrupted, arrived};
    if (wait == Wait::TimedOut) return {End::TimedOut, arrived};
    if (transfer.handle->status == LIBUSB_TRANSFER_COMPLETED) return {End::Completed, arrived};
    fail_transfer(transfer, "read", in_endpoint_);
    return {End::Failed, arrived};
}

std::string LibusbPrinterLink::address_id(std::uint8_t bus, std::uint8_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%03u:%03u", static_cast<unsigned>(bus),
                  static_cast<unsigned>(address));
    return text;
}
