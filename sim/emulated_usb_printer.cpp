#include "sim/emulated_usb_printer.h"

// clang-format off
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
// clang-format on

#include <dlfcn.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace usb_emulation {

namespace {

constexpr std::uint8_t kStringDescriptor = 3;
constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::uint8_t kStandardDeviceIn = 0x80;
constexpr std::uint8_t kStandardEndpointIn = 0x82;
constexpr std::uint8_t kGetStatus = 0;
constexpr std::size_t kSetupSize = 8;
constexpr std::uint16_t kEnglishUs = 0x0409;
constexpr int kLargestUrb = 1 << 20;  // a bound on what the emulation copies per URB
constexpr std::uint32_t kCapabilities =
    USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
    USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
constexpr long kNotHandled = -1000;  // an ioctl the emulation leaves to umockdev (ENOTTY)
constexpr std::uint8_t kIeee1284_4Protocol = 3;
constexpr std::uint8_t kIppOverUsbProtocol = 4;
constexpr std::size_t kMaxStringUnits = 126;  // the descriptor's length is one byte
constexpr std::uint8_t kRequestTypeMask = 0x60;
constexpr std::uint8_t kClassRequest = 0x20;
constexpr std::uint8_t kSoftReset = 2;         // the printer class's SOFT_RESET
constexpr std::uint8_t kClassToOther = 0x23;
constexpr std::uint8_t kClassToInterface = 0x21;

std::int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

usbdevfs_urb* as_urb(UMockdevIoctlData* data) {
    return reinterpret_cast<usbdevfs_urb*>(data->data);
}

void put_word(std::vector<std::uint8_t>& bytes, std::uint16_t word) {
    bytes.push_back(static_cast<std::uint8_t>(word & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(word >> 8));
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char pair[3];
    for (const std::uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

std::string three_digits(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%03u", value);
    return text;
}

std::string four_hex(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

// The code points of a UTF-8 text, leniently: a three-byte sequence may stand for a lone
// surrogate, so that a test can have a device send one. Stray bytes are taken as Latin-1.
std::vector<char32_t> code_points(const std::string& text) {
    std::vector<char32_t> points;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (length == 1 || i + length > text.size()) {
            points.push_back(lead);
            ++i;
            continue;
        }
        char32_t point = lead & (0x3F >> (length - 1));
        for (std::size_t k = 1; k < length; ++k)
            point = (point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        points.push_back(point);
        i += length;
    }
    return points;
}

// UTF-16 code units, a surrogate pair for a code point beyond U+FFFF.
std::u16string utf16(const std::string& text) {
    std::u16string units;
    for (const char32_t point : code_points(text)) {
        if (point < 0x10000) {
            units.push_back(static_cast<char16_t>(point));
        } else {
            const char32_t offset = point - 0x10000;
            units.push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
        }
    }
    return units;
}

std::size_t interface_count(const DeviceSetup& setup) {
    std::vector<std::uint8_t> numbers;
    for (const EmulatedInterface& interface : setup.interfaces) numbers.push_back(interface.number);
    std::sort(numbers.begin(), numbers.end());
    return static_cast<std::size_t>(std::unique(numbers.begin(), numbers.end()) - numbers.begin());
}

}  // namespace

std::vector<std::uint8_t> configuration_descriptor(const DeviceSetup& setup) {
    std::vector<std::uint8_t> config{
        9, 2, 0, 0, static_cast<std::uint8_t>(interface_count(setup)), 1, 0, 0xC0, 1};
    for (const EmulatedInterface& interface : setup.interfaces) {
        config.insert(config.end(), {9, 4, interface.number, interface.alternate,
                                     static_cast<std::uint8_t>(interface.endpoints.size()),
                                     interface.interface_class, 1, interface.protocol, 0});
        for (const std::uint8_t endpoint : interface.endpoints) {
            config.insert(config.end(), {7, 5, endpoint, 2});
            put_word(config, setup.max_packet_size);
            config.push_back(0);
        }
    }
    config[2] = static_cast<std::uint8_t>(config.size() & 0xFF);
    config[3] = static_cast<std::uint8_t>(config.size() >> 8);
    return config;
}

std::vector<std::uint8_t> descriptors(const DeviceSetup& setup) {
    std::vector<std::uint8_t> bytes{18, 1};
    put_word(bytes, 0x0200);  // USB 2.0
    bytes.insert(bytes.end(), {0, 0, 0, 64});
    put_word(bytes, setup.vendor_id);
    put_word(bytes, setup.product_id);
    put_word(bytes, 0x0100);
    bytes.insert(bytes.end(), {1, 2, 3, 1});  // string indexes, one configuration
    const std::vector<std::uint8_t> config =
        setup.configuration ? *setup.configuration : configuration_descriptor(setup);
    bytes.insert(bytes.end(), config.begin(), config.end());
    return bytes;
}

namespace {

// splitmix64: the same numbers for the same seed with every compiler and library.
class SeededRandom {
public:
    explicit SeededRandom(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t bound) { return bound == 0 ? 0 : next() % bound; }
    std::uint8_t byte() { return static_cast<std::uint8_t>(next()); }

private:
    std::uint64_t state_;
};

// Where each descriptor begins, following the bLength bytes while they lead somewhere.
std::vector<std::size_t> descriptor_starts(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::size_t> starts;
    for (std::size_t at = 0; at + 2 <= bytes.size() && bytes[at] >= 2; at += bytes[at])
        starts.push_back(at);
    return starts;
}

void change_bytes(std::vector<std::uint8_t>& bytes, SeededRandom& random) {
    for (std::size_t n = 1 + random.below(3); n > 0 && !bytes.empty(); --n)
        bytes[random.below(bytes.size())] = random.byte();
}

void insert_bytes(std::vector<std::uint8_t>& bytes, SeededRandom& random) {
    const auto at = static_cast<std::ptrdiff_t>(random.below(bytes.size() + 1));
    std::vector<std::uint8_t> inserted(1 + random.below(8));
    for (std::uint8_t& byte : inserted) byte = random.byte();
    bytes.insert(bytes.begin() + at, inserted.begin(), inserted.end());
}

void alter_total_length(std::vector<std::uint8_t>& bytes, SeededRandom& random) {
    if (bytes.size() < 4) return;
    const std::size_t size = bytes.size();
    const std::size_t choices[] = {
        0, 9, size - 1, size + 1, random.below(size), random.below(0x10000)};
    const std::size_t length = choices[random.below(std::size(choices))] & 0xFFFF;
    bytes[2] = static_cast<std::uint8_t>(length & 0xFF);
    bytes[3] = static_cast<std::uint8_t>(length >> 8);
}

void alter_a_length(std::vector<std::uint8_t>& bytes, SeededRandom& random) {
    const std::vector<std::size_t> starts = descriptor_starts(bytes);
    if (starts.empty()) return;
    std::uint8_t& length = bytes[starts[random.below(starts.size())]];
    const std::uint8_t choices[] = {0,
                                    1,
                                    2,
                                    static_cast<std::uint8_t>(length - 1),
                                    static_cast<std::uint8_t>(length + 1),
                                    random.byte()};
    length = choices[random.below(std::size(choices))];
}

// An interface claims more endpoints than follow it: its count raised, or what follows it cut
// (perhaps within the next descriptor's header).
void endpoints_missing(std::vector<std::uint8_t>& bytes, SeededRandom& random) {
    std::vector<std::size_t> interfaces;
    for (const std::size_t at : descriptor_starts(bytes)) {
        if (bytes[at] >= 9 && at + 9 <= bytes.size() && bytes[at + 1] == 4)
            interfaces.push_back(at);
    }
    if (interfaces.empty()) return;
    const std::size_t at = interfaces[random.below(interfaces.size())];
    if (random.below(2) == 0) {
        bytes[at + 4] = static_cast<std::uint8_t>(bytes[at + 4] + 1 + random.below(3));
    } else {
        bytes[at + 4] = static_cast<std::uint8_t>(std::max<std::size_t>(bytes[at + 4], 1));
        bytes.resize(std::min(bytes.size(), at + bytes[at] + random.below(3)));
    }
}

}  // namespace

std::vector<std::uint8_t> mutated_configuration(const std::vector<std::uint8_t>& configuration,
                                                std::uint64_t seed) {
    SeededRandom random(seed);
    std::vector<std::uint8_t> bytes = configuration;
    for (std::size_t n = 1 + random.below(3); n > 0; --n) {
        switch (random.below(6)) {
            case 0:
                change_bytes(bytes, random);
                break;
            case 1:
                bytes.resize(random.below(bytes.size() + 1));
                break;
            case 2:
                insert_bytes(bytes, random);
                break;
            case 3:
                alter_total_length(bytes, random);
                break;
            case 4:
                alter_a_length(bytes, random);
                break;
            default:
                endpoints_missing(bytes, random);
                break;
        }
    }
    return bytes;
}

EmulatedUsbPrinter::EmulatedUsbPrinter(DeviceSetup setup, SimulatedPrinter printer)
    : setup_(std::move(setup)),
      printer_(std::move(printer)),
      driver_(setup_.driver),
      halted_(setup_.halted) {
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&EmulatedUsbPrinter::on_ioctl), this);
    g_signal_connect(handler_, "client-vanished",
                     G_CALLBACK(&EmulatedUsbPrinter::on_client_vanished), this);
}

EmulatedUsbPrinter::~EmulatedUsbPrinter() {
    g_signal_handlers_disconnect_by_data(handler_, this);
    std::lock_guard lock(mutex_);
    forget_client();
    g_object_unref(handler_);
}

std::string EmulatedUsbPrinter::node() const {
    return "/dev/bus/usb/001/" + three_digits(setup_.address);
}

std::string EmulatedUsbPrinter::host_wrote() const {
    std::lock_guard lock(mutex_);
    return printer_.host_wrote();
}

bool EmulatedUsbPrinter::stop_received() const {
    std::lock_guard lock(mutex_);
    return printer_.stop_received();
}

std::string EmulatedUsbPrinter::driver() const {
    std::lock_guard lock(mutex_);
    return driver_;
}

int EmulatedUsbPrinter::detaches() const {
    std::lock_guard lock(mutex_);
    return detaches_;
}

int EmulatedUsbPrinter::attaches() const {
    std::lock_guard lock(mutex_);
    return attaches_;
}

int EmulatedUsbPrinter::claims() const {
    std::lock_guard lock(mutex_);
    return claims_;
}

std::optional<std::uint8_t> EmulatedUsbPrinter::selected_alternate() const {
    std::lock_guard lock(mutex_);
    return alternate_;
}

bool EmulatedUsbPrinter::gone() const {
    std::lock_guard lock(mutex_);
    return gone_;
}

std::size_t EmulatedUsbPrinter::largest_in_urb() const {
    std::lock_guard lock(mutex_);
    return largest_in_urb_;
}

std::size_t EmulatedUsbPrinter::in_urbs() const {
    std::lock_guard lock(mutex_);
    return in_urbs_submitted_;
}

bool EmulatedUsbPrinter::halted(std::uint8_t endpoint) const {
    std::lock_guard lock(mutex_);
    return std::find(halted_.begin(), halted_.end(), endpoint) != halted_.end();
}

int EmulatedUsbPrinter::clears(std::uint8_t endpoint) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count(cleared_.begin(), cleared_.end(), endpoint));
}

std::size_t EmulatedUsbPrinter::replies_queued() const {
    std::lock_guard lock(mutex_);
    return replies_.size();
}

std::optional<std::int64_t> EmulatedUsbPrinter::stop_ms() const {
    std::lock_guard lock(mutex_);
    return stop_ms_;
}

std::vector<ClassRequest> EmulatedUsbPrinter::class_requests() const {
    std::lock_guard lock(mutex_);
    return class_requests_;
}

std::optional<std::int64_t> EmulatedUsbPrinter::released_ms() const {
    std::lock_guard lock(mutex_);
    return released_ms_;
}

int EmulatedUsbPrinter::on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    return static_cast<EmulatedUsbPrinter*>(self)->handle(client) ? TRUE : FALSE;
}

// Closing the node ends everything the host had pending and what it had claimed, as usbfs does;
// the kernel does not bind its driver again by itself.
void EmulatedUsbPrinter::on_client_vanished(UMockdevIoctlBase*, UMockdevIoctlClient*, void* self) {
    auto* device = static_cast<EmulatedUsbPrinter*>(self);
    std::lock_guard lock(device->mutex_);
    device->forget_client();
}

void EmulatedUsbPrinter::forget_client() {
    for (Urb& urb : in_urbs_) release(urb);
    for (Urb& urb : finished_) release(urb);
    for (Urb& urb : unanswered_) release(urb);
    in_urbs_.clear();
    finished_.clear();
    unanswered_.clear();
    if (claimed_by_us_) {
        driver_.clear();
        released_ms_ = now_ms();
    }
    claimed_by_us_ = false;
}

void EmulatedUsbPrinter::release(Urb& urb) {
    if (urb.data != nullptr) g_object_unref(urb.data);
    urb.data = nullptr;
}

void EmulatedUsbPrinter::complete(UMockdevIoctlClient* client, long result, int error) {
    umockdev_ioctl_client_complete(client, result, error);
}

bool EmulatedUsbPrinter::handle(UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard lock(mutex_);
    switch (request) {
        case USBDEVFS_SUBMITURB:
            return submit(client, arg);
        case USBDEVFS_REAPURBNDELAY:
            reap(client, arg);
            return true;
        case USBDEVFS_DISCARDURB:
            discard(client, arg);
            return true;
        default: {
            int error = 0;
            const long result = control(arg, request, error);
            if (result == kNotHandled) return false;
            complete(client, result, error);
            return true;
        }
    }
}

// The ioctls that configure the device rather than move data; kNotHandled for any other.
long EmulatedUsbPrinter::control(UMockdevIoctlData* arg, unsigned long request, int& error) {
    const auto fail = [&](int code) {
        error = code;
        return -1L;
    };
    if (gone_ && request != USBDEVFS_GET_CAPABILITIES) return fail(ENODEV);
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* caps =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(std::uint32_t), nullptr);
            std::memcpy(caps->data, &kCapabilities, sizeof kCapabilities);
            g_object_unref(caps);
            return 0;
        }
        case USBDEVFS_GETDRIVER: {
            UMockdevIoctlData* data =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr);
            auto* getdriver = reinterpret_cast<usbdevfs_getdriver*>(data->data);
            const bool bound = !driver_.empty();
            if (bound)
                std::snprintf(getdriver->driver, sizeof getdriver->driver, "%s", driver_.c_str());
            g_object_unref(data);
            return bound ? 0 : fail(ENODATA);
        }
        case USBDEVFS_IOCTL: {
            UMockdevIoctlData* data =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
            const int code = reinterpret_cast<usbdevfs_ioctl*>(data->data)->ioctl_code;
            g_object_unref(data);
            if (code == static_cast<int>(USBDEVFS_DISCONNECT)) {
                if (driver_ != "usblp") return fail(ENODATA);
                driver_.clear();
                ++detaches_;
                return 0;
            }
            if (code == static_cast<int>(USBDEVFS_CONNECT)) {
                if (!driver_.empty()) return fail(EBUSY);
                driver_ = "usblp";
                ++attaches_;
                return 1;  // the kernel answers how many drivers it bound
            }
            return fail(EINVAL);
        }
        case USBDEVFS_CLAIMINTERFACE:
            ++claims_;
            if (setup_.claim_errno != 0) return fail(setup_.claim_errno);
            if (claimed_by_us_) return 0;
            if (!driver_.empty()) return fail(EBUSY);
            driver_ = "usbfs";
            claimed_by_us_ = true;
            return 0;
        case USBDEVFS_RELEASEINTERFACE:
            if (!claimed_by_us_) return fail(EINVAL);
            claimed_by_us_ = false;
            driver_.clear();
            released_ms_ = now_ms();
            return 0;
        case USBDEVFS_SETINTERFACE: {
            UMockdevIoctlData* data =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_setinterface), nullptr);
            const auto setting = *reinterpret_cast<usbdevfs_setinterface*>(data->data);
            g_object_unref(data);
            const bool exists =
                std::any_of(setup_.interfaces.begin(), setup_.interfaces.end(), [&](const auto& i) {
                    return i.number == setting.interface && i.alternate == setting.altsetting;
                });
            if (!exists) return fail(EINVAL);
            alternate_ = static_cast<std::uint8_t>(setting.altsetting);
            return 0;
        }
        case USBDEVFS_CLEAR_HALT: {
            UMockdevIoctlData* data =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned int), nullptr);
            const auto endpoint =
                static_cast<std::uint8_t>(*reinterpret_cast<unsigned*>(data->data));
            g_object_unref(data);
            std::erase(halted_, endpoint);
            cleared_.push_back(endpoint);
            return 0;
        }
        case USBDEVFS_RESETEP:
            return 0;
        default:
            return kNotHandled;
    }
}

bool EmulatedUsbPrinter::submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    Urb urb;
    urb.data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    if (urb.data == nullptr) return false;
    urb.client_address = urb.data->client_addr;
    usbdevfs_urb* request = as_urb(urb.data);
    if (request->buffer_length < 0 || request->buffer_length > kLargestUrb) {
        release(urb);
        complete(client, -1, EINVAL);
        return true;
    }
    // From here on request->buffer points to a local copy of the host's buffer.
    UMockdevIoctlData* buffer =
        umockdev_ioctl_data_resolve(urb.data, offsetof(usbdevfs_urb, buffer),
                                    static_cast<std::size_t>(request->buffer_length), nullptr);
    if (buffer != nullptr) g_object_unref(buffer);  // the URB keeps it
    request->actual_length = 0;
    request->status = 0;
    if (gone_) {
        release(urb);
        complete(client, -1, ENODEV);
        return true;
    }
    if (request->type == USBDEVFS_URB_TYPE_CONTROL &&
        request->buffer_length >= static_cast<int>(kSetupSize)) {
        submit_control(urb);
    } else if (request->type == USBDEVFS_URB_TYPE_BULK && interface_of(request->endpoint)) {
        const bool in = (request->endpoint & 0x80) != 0;
        if (in) {
            largest_in_urb_ =
                std::max(largest_in_urb_, static_cast<std::size_t>(request->buffer_length));
            ++in_urbs_submitted_;
        }
        if (!in && setup_.stall_first_write && !write_stalled_) {
            write_stalled_ = true;
            halted_.push_back(request->endpoint);
        }
        if (std::find(halted_.begin(), halted_.end(), request->endpoint) != halted_.end()) {
            request->status = -EPIPE;
            finished_.push_back(urb);
        } else if (!reaches_printer(request->endpoint)) {
            // Another protocol's channel: it waits for what it understands and drops the rest.
            request->actual_length = in ? 0 : request->buffer_length;
            (in ? unanswered_.push_back(urb) : finished_.push_back(urb));
        } else if (in) {
            in_urbs_.push_back(urb);
        } else {
            submit_bulk_out(urb);
        }
    } else {
        release(urb);
        complete(client, -1, ENOENT);
        return true;
    }
    complete(client, 0, 0);
    return true;
}

// The interface that has this bulk endpoint in its current alternate setting (the first one
// until one is selected), as usbfs finds it; null when none has.
const EmulatedInterface* EmulatedUsbPrinter::interface_of(std::uint8_t endpoint) const {
    for (const EmulatedInterface& interface : setup_.interfaces) {
        if (interface.alternate != alternate_.value_or(0)) continue;
        if (std::find(interface.endpoints.begin(), interface.endpoints.end(), endpoint) !=
            interface.endpoints.end()) {
            return &interface;
        }
    }
    return nullptr;
}

// The printer speaks its session on its printer interfaces, not on the IEEE 1284.4 or IPP ones.
bool EmulatedUsbPrinter::reaches_printer(std::uint8_t endpoint) const {
    const EmulatedInterface* interface = interface_of(endpoint);
    return interface != nullptr && interface->interface_class == kPrinterClass &&
           interface->protocol != kIeee1284_4Protocol && interface->protocol != kIppOverUsbProtocol;
}

// GET_DESCRIPTOR(STRING), GET_STATUS of an endpoint and the class requests are all a printer is
// asked here; any other request stalls.
void EmulatedUsbPrinter::submit_control(Urb urb) {
    usbdevfs_urb* request = as_urb(urb.data);
    auto* bytes = static_cast<std::uint8_t*>(request->buffer);
    if (bytes[0] == kStandardEndpointIn && bytes[1] == kGetStatus && endpoint_status(urb)) return;
    if ((bytes[0] & kRequestTypeMask) == kClassRequest) {
        class_request(urb);
        return;
    }
    const std::uint16_t value = static_cast<std::uint16_t>(bytes[2] | bytes[3] << 8);
    const std::size_t length = static_cast<std::size_t>(bytes[6] | bytes[7] << 8);
    const bool string_request = bytes[0] == kStandardDeviceIn && bytes[1] == kGetDescriptor &&
                                (value >> 8) == kStringDescriptor;
    if (string_request && !setup_.strings_answered) {
        unanswered_.push_back(urb);
        return;
    }
    const std::string answer =
        string_request ? string_descriptor(static_cast<std::uint8_t>(value & 0xFF)) : "";
    if (answer.empty()) {
        request->status = -EPIPE;
    } else {
        const std::size_t room = static_cast<std::size_t>(request->buffer_length) - kSetupSize;
        const std::size_t count = std::min({answer.size(), length, room});
        std::memcpy(bytes + kSetupSize, answer.data(), count);
        request->actual_length = static_cast<int>(count);
    }
    finished_.push_back(urb);
}

// GET_STATUS of one of the device's bulk endpoints: two bytes, bit 0 set while it is halted (or
// the stall the setup asks for); false for an endpoint the device does not have.
bool EmulatedUsbPrinter::endpoint_status(Urb& urb) {
    usbdevfs_urb* request = as_urb(urb.data);
    auto* bytes = static_cast<std::uint8_t*>(request->buffer);
    const std::uint8_t endpoint = bytes[4];
    if (interface_of(endpoint) == nullptr) return false;
    if (setup_.endpoint_status == EndpointStatus::NeverAnswered) {
        unanswered_.push_back(urb);
        return true;
    }
    if (setup_.endpoint_status == EndpointStatus::Stalled) {
        request->status = -EPIPE;
    } else {
        // The printer's IN endpoint, once due to stall, is halted by now.
        const bool due = (endpoint & 0x80) != 0 && reaches_printer(endpoint);
        const bool halted =
            due ? halt_if_due(endpoint)
                : std::find(halted_.begin(), halted_.end(), endpoint) != halted_.end();
        const std::uint8_t status[2] = {static_cast<std::uint8_t>(halted ? 1 : 0), 0};
        const std::size_t length = static_cast<std::size_t>(bytes[6] | bytes[7] << 8);
        const std::size_t room = static_cast<std::size_t>(request->buffer_length) - kSetupSize;
        const std::size_t count = std::min({sizeof status, length, room});
        std::memcpy(bytes + kSetupSize, status, count);
        request->actual_length = static_cast<int>(count);
    }
    finished_.push_back(urb);
    return true;
}

// Records a class request; SOFT_RESET, where the setup accepts it, drops what the printer had
// still to send and clears every halt. Any other class request stalls.
void EmulatedUsbPrinter::class_request(Urb urb) {
    usbdevfs_urb* request = as_urb(urb.data);
    const auto* bytes = static_cast<const std::uint8_t*>(request->buffer);
    ClassRequest seen{bytes[0], bytes[1], static_cast<std::uint16_t>(bytes[2] | bytes[3] << 8),
                      static_cast<std::uint16_t>(bytes[4] | bytes[5] << 8), now_ms(),
                      claimed_by_us_, false};
    const bool soft_reset = seen.request == kSoftReset;
    if (soft_reset && setup_.soft_reset == SoftResetAnswer::Never) {
        class_requests_.push_back(seen);
        unanswered_.push_back(urb);
        return;
    }
    seen.accepted = soft_reset && accepts_soft_reset(seen.request_type);
    class_requests_.push_back(seen);
    if (seen.accepted) {
        drop_unsent_replies();
        halted_.clear();
    } else {
        request->status = -EPIPE;
    }
    finished_.push_back(urb);
}

bool EmulatedUsbPrinter::accepts_soft_reset(std::uint8_t request_type) const {
    if (request_type == kClassToInterface) return true;
    return request_type == kClassToOther && setup_.soft_reset == SoftResetAnswer::ToEither;
}

// Index 0 is the list of languages; 1, 2 and 3 the manufacturer, product and serial number.
std::string EmulatedUsbPrinter::string_descriptor(std::uint8_t index) const {
    const auto raw = setup_.raw_strings.find(index);
    if (raw != setup_.raw_strings.end()) return raw->second;
    if (index == 0)
        return std::string{4, kStringDescriptor, static_cast<char>(kEnglishUs & 0xFF),
                           static_cast<char>(kEnglishUs >> 8)};
    const std::string* text = index == 1   ? &setup_.manufacturer
                              : index == 2 ? &setup_.product
                              : index == 3 ? &setup_.serial
                                           : nullptr;
    if (text == nullptr || text->empty()) return {};
    std::u16string units = utf16(*text);
    if (units.size() > kMaxStringUnits) units.resize(kMaxStringUnits);
    std::string descriptor{static_cast<char>(2 + 2 * units.size()), kStringDescriptor};
    for (const char16_t unit : units) {
        descriptor += static_cast<char>(unit & 0xFF);
        descriptor += static_cast<char>(unit >> 8);
    }
    return descriptor;
}

// The printer takes what the host wrote; what it does not take is NAKed for ever.
void EmulatedUsbPrinter::submit_bulk_out(Urb urb) {
    usbdevfs_urb* request = as_urb(urb.data);
    const auto length = static_cast<std::size_t>(request->buffer_length);
    const bool stopped_before = printer_.stop_received();
    const std::size_t accepted =
        length == 0 ? 0 : printer_.receive(static_cast<const char*>(request->buffer), length);
    request->actual_length = static_cast<int>(accepted);
    if (!stop_ms_ && printer_.stop_received()) stop_ms_ = now_ms();
    if (setup_.stop_ends_report && !stopped_before && printer_.stop_received())
        drop_unsent_replies();
    take_replies();
    if (accepted == length)
        finished_.push_back(urb);
    else
        unanswered_.push_back(urb);
}

// Each reply arrives its delay after the one before it, or after the write it answers.
void EmulatedUsbPrinter::take_replies() {
    PrinterReply reply;
    while (printer_.next_reply(reply)) {
        last_arrival_ms_ = std::max(last_arrival_ms_, now_ms()) + reply.delay_ms;
        replies_.push_back(Reply{std::move(reply.bytes), last_arrival_ms_, reply.disconnect_after});
    }
}

// What a URB has already taken stays with it; the rest of the replies never comes.
void EmulatedUsbPrinter::drop_unsent_replies() {
    replies_.clear();
    reply_sent_ = 0;
    zero_packet_owed_ = false;
    last_arrival_ms_ = now_ms();
}

// Moves what has arrived into the pending bulk IN URBs, in order; the complete ones finish.
void EmulatedUsbPrinter::fill_in_urbs() {
    if (gone_) finish_all_pending(-ENODEV);
    while (!in_urbs_.empty() && fill_in_urb(in_urbs_.front())) {
        finished_.push_back(in_urbs_.front());
        in_urbs_.pop_front();
        if (gone_) finish_all_pending(-ENODEV);
    }
}

void EmulatedUsbPrinter::reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    if (setup_.reap_errno_once_written != 0 && !printer_.host_wrote().empty()) {
        complete(client, -1, setup_.reap_errno_once_written);
        return;
    }
    fill_in_urbs();
    if (finished_.empty()) {
        complete(client, -1, gone_ ? ENODEV : EAGAIN);
        return;
    }
    Urb urb = finished_.front();
    finished_.pop_front();
    UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
    umockdev_ioctl_data_set_ptr(pointer, 0, urb.data);
    g_object_unref(pointer);
    release(urb);  // the reaped pointer keeps it until it is written back
    complete(client, 0, 0);
}

void EmulatedUsbPrinter::finish_all_pending(int status) {
    for (Urb& urb : in_urbs_) {
        as_urb(urb.data)->status = status;
        finished_.push_back(urb);
    }
    for (Urb& urb : unanswered_) {
        as_urb(urb.data)->status = status;
        finished_.push_back(urb);
    }
    in_urbs_.clear();
    unanswered_.clear();
}

// True when the IN endpoint is halted, halting it first when the printer has sent all that the
// setup lets it send before a stall.
bool EmulatedUsbPrinter::halt_if_due(std::uint8_t endpoint) {
    const auto& limit = setup_.stall_in_after_bytes;
    if (!read_stalled_ && limit && bytes_sent_ >= *limit) {
        read_stalled_ = true;
        halted_.push_back(endpoint);
    }
    return std::find(halted_.begin(), halted_.end(), endpoint) != halted_.end();
}

// Moves the printer's packets into the URB; true when the URB is complete.
bool EmulatedUsbPrinter::fill_in_urb(Urb& urb) {
    usbdevfs_urb* request = as_urb(urb.data);
    auto* buffer = static_cast<char*>(request->buffer);
    const auto mps = static_cast<std::size_t>(setup_.max_packet_size);
    for (;;) {
        if (halt_if_due(request->endpoint)) {
            request->status = -EPIPE;
            return true;
        }
        if (!next_packet_ready()) return false;
        const Reply& reply = replies_.front();
        const std::size_t left = reply.bytes.size() - reply_sent_;
        const std::size_t packet = std::min(mps, left);
        const std::size_t room =
            static_cast<std::size_t>(request->buffer_length - request->actual_length);
        if (packet > room) {  // babble: the packet does not fit what the host asked for
            if (room > 0)
                std::memcpy(buffer + request->actual_length, reply.bytes.data() + reply_sent_,
                            room);
            request->actual_length += static_cast<int>(room);
            request->status = -EOVERFLOW;
            reply_sent_ += packet;
            bytes_sent_ += room;
            zero_packet_owed_ = zero_packet_owed_ && packet == mps;
            if (reply_sent_ == reply.bytes.size() && !zero_packet_owed_) end_of_reply();
            return true;
        }
        if (packet > 0)
            std::memcpy(buffer + request->actual_length, reply.bytes.data() + reply_sent_, packet);
        request->actual_length += static_cast<int>(packet);
        reply_sent_ += packet;
        bytes_sent_ += packet;
        if (packet < mps) {  // a short packet ends the transfer
            if (packet == 0) zero_packet_owed_ = false;
            end_of_reply();
            return true;
        }
        // Without a zero-length packet the next reply's packets follow in the same transfer.
        if (reply_sent_ == reply.bytes.size() && !zero_packet_owed_) end_of_reply();
        if (request->actual_length == request->buffer_length) return true;
    }
}

// True when the front reply has a packet (perhaps zero-length) to send now.
bool EmulatedUsbPrinter::next_packet_ready() {
    if (replies_.empty() || replies_.front().arrival_ms > now_ms()) return false;
    const Reply& reply = replies_.front();
    if (reply_sent_ == 0 && !zero_packet_owed_) {
        zero_packet_owed_ = reply.bytes.size() % setup_.max_packet_size == 0 &&
                            (setup_.zero_length_packets || reply.bytes.empty());
    }
    return true;
}

void EmulatedUsbPrinter::end_of_reply() {
    const bool disconnect = replies_.front().disconnect_after;
    replies_.pop_front();
    reply_sent_ = 0;
    zero_packet_owed_ = false;
    if (disconnect) gone_ = true;
}

// The URB comes back with what it had received and -ENOENT; EINVAL when it is not pending. What
// has arrived goes into the pending URBs first, as a host controller would have put it there.
void EmulatedUsbPrinter::discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    fill_in_urbs();
    unsigned long address = 0;
    std::memcpy(&address, arg->data, sizeof address);
    const auto discard_from = [&](auto& pending) {
        const auto it = std::find_if(pending.begin(), pending.end(),
                                     [&](const Urb& urb) { return urb.client_address == address; });
        if (it == pending.end()) return false;
        as_urb(it->data)->status = -ENOENT;
        finished_.push_back(*it);
        pending.erase(it);
        return true;
    };
    const bool found = discard_from(in_urbs_) || discard_from(unanswered_);
    complete(client, found ? 0 : -1, found ? 0 : EINVAL);
}

namespace {

// The sysfs record of a device on bus 1 at `path` (below the root hub's folder).
std::string device_record(const std::string& path, std::uint8_t address, const std::string& speed,
                          const DeviceSetup& setup) {
    const std::string number = three_digits(address);
    return "P: /devices/pci0000:00/0000:00:14.0/" + path + "\n" + "N: bus/usb/001/" + number +
           "\n"
           "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n"
           "E: BUSNUM=001\nE: DEVNUM=" +
           number + "\nE: DEVNAME=/dev/bus/usb/001/" + number +
           "\n"
           "A: busnum=1\\n\nA: devnum=" +
           std::to_string(address) + "\\n\nA: speed=" + speed +
           "\\n\n"
           "A: bConfigurationValue=1\\n\nA: idVendor=" +
           four_hex(setup.vendor_id) +
           "\\n\n"
           "A: idProduct=" +
           four_hex(setup.product_id) +
           "\\n\n"
           "H: descriptors=" +
           hex(descriptors(setup)) + "\n";
}

// umockdev_in_mock_environment() looks at the inode of /sys, which says nothing in a container:
// the preload library being in the process is what matters.
bool preload_active() {
    void* preload = dlopen("libumockdev-preload.so.0", RTLD_NOW | RTLD_NOLOAD);
    if (preload == nullptr) return false;
    dlclose(preload);
    return true;
}

DeviceSetup hub(std::uint16_t vendor, std::uint16_t product) {
    DeviceSetup setup;
    setup.vendor_id = vendor;
    setup.product_id = product;
    setup.interfaces = {EmulatedInterface{0, 0, kHubClass, 0, {0x81}}};
    return setup;
}

// The device's folder below the root hub's: each hub it is behind in turn ("1-4/1-4.2/1-4.2.1").
std::string sysfs_path(const std::string& port_path) {
    std::string path = "usb1";
    for (std::size_t dot = port_path.find('.'); dot != std::string::npos;
         dot = port_path.find('.', dot + 1))
        path += "/" + port_path.substr(0, dot);
    return path + "/" + port_path;
}

}  // namespace

UsbTestbed::UsbTestbed() {
    if (!preload_active()) {
        throw std::runtime_error(
            "libumockdev-preload is not loaded (run under umockdev-wrapper): "
            "the USB emulation cannot work");
    }
    testbed_ = umockdev_testbed_new();
    add_record(device_record("usb1", 1, "480", hub(0x1D6B, 0x0002)));
    addresses_.push_back(1);
}

UsbTestbed::~UsbTestbed() {
    g_object_unref(testbed_);
    devices_.clear();
}

void UsbTestbed::add_record(const std::string& record) {
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &error)) {
        const std::string message = error != nullptr ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("umockdev refused a device: " + message);
    }
}

void UsbTestbed::add_hub(const std::string& port_path, std::uint8_t address) {
    add_missing_hubs(port_path);
    add_record(device_record(sysfs_path(port_path), address, "480", hub(0x05E3, 0x0608)));
    ports_.push_back(port_path);
    addresses_.push_back(address);
}

void UsbTestbed::add_missing_hubs(const std::string& port_path) {
    for (std::size_t dot = port_path.find('.'); dot != std::string::npos;
         dot = port_path.find('.', dot + 1)) {
        const std::string hub_port = port_path.substr(0, dot);
        if (std::find(ports_.begin(), ports_.end(), hub_port) == ports_.end())
            add_hub(hub_port, free_address());
    }
}

// From the top, so as not to meet the addresses tests and the stand give their printers.
std::uint8_t UsbTestbed::free_address() const {
    for (std::uint8_t address = 127; address > 1; --address) {
        if (std::find(addresses_.begin(), addresses_.end(), address) == addresses_.end())
            return address;
    }
    throw std::runtime_error("no free address left on bus 1 for a hub");
}

EmulatedUsbPrinter& UsbTestbed::add(DeviceSetup setup, SimulatedPrinter printer) {
    add_missing_hubs(setup.port_path);
    const std::string path = sysfs_path(setup.port_path);
    const std::string speed = setup.max_packet_size > 64 ? "480" : "12";
    auto device = std::make_unique<EmulatedUsbPrinter>(std::move(setup), std::move(printer));
    GError* error = nullptr;
    // The handler first, so that the node is emulated from the moment it exists.
    if (!umockdev_testbed_attach_ioctl(testbed_, device->node().c_str(), device->handler(),
                                       &error)) {
        const std::string message = error != nullptr ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("umockdev cannot emulate " + device->node() + ": " + message);
    }
    add_record(device_record(path, device->setup().address, speed, device->setup()));
    ports_.push_back(device->setup().port_path);
    addresses_.push_back(device->setup().address);
    devices_.push_back(std::move(device));
    return *devices_.back();
}

std::string UsbTestbed::node_file(const EmulatedUsbPrinter& device) const {
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    std::string path = std::string(root) + device.node();
    g_free(root);
    return path;
}

}  // namespace usb_emulation
