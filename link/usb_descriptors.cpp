#include "link/usb_descriptors.h"

#include <algorithm>

#include "report/utf8_text.h"

namespace usb_descriptors {

namespace {

constexpr std::size_t kHeaderSize = 2;  // bLength, bDescriptorType
constexpr std::uint8_t kTransferTypeMask = 0x03;
constexpr std::uint8_t kBulk = 2;
constexpr std::uint8_t kDirectionIn = 0x80;
constexpr std::uint16_t kPacketSizeMask = 0x07FF;  // bits 11-12 count extra transactions
constexpr char32_t kReplacement = 0xFFFD;

bool is_high_surrogate(char32_t code) { return code >= 0xD800 && code <= 0xDBFF; }
bool is_low_surrogate(char32_t code) { return code >= 0xDC00 && code <= 0xDFFF; }

// The bytes of a string descriptor the device both claimed and sent; empty when that is not even
// its header, or it is not a string descriptor.
std::span<const std::uint8_t> claimed_string(std::span<const std::uint8_t> received) {
    if (received.size() < kHeaderSize || received[1] != kStringType) return {};
    const std::size_t claimed = std::min<std::size_t>(received[0], received.size());
    return claimed < kHeaderSize ? std::span<const std::uint8_t>() : received.first(claimed);
}

// The UTF-16LE code units after the header, whole ones only.
std::size_t unit_count(std::span<const std::uint8_t> descriptor) {
    return descriptor.empty() ? 0 : (descriptor.size() - kHeaderSize) / 2;
}

char32_t unit(std::span<const std::uint8_t> descriptor, std::size_t i) {
    return descriptor[kHeaderSize + 2 * i] |
           (static_cast<char32_t>(descriptor[kHeaderSize + 2 * i + 1]) << 8);
}

int fitness(const InterfaceSetting& setting) {
    switch (setting.protocol) {
        case kBidirectionalProtocol:
            return 2;
        case kIeee1284_4Protocol:
        case kIppOverUsbProtocol:
            return 0;
        default:
            return 1;
    }
}

bool is_bulk(const Endpoint& endpoint) {
    return (endpoint.attributes & kTransferTypeMask) == kBulk;
}

// The setting's first bulk OUT endpoint and its first bulk IN endpoint of a usable packet size.
bool find_bulk_pair(const InterfaceSetting& setting, PrinterInterface& found) {
    std::uint8_t out = 0, in = 0;
    std::uint16_t in_packet = 0;
    for (const Endpoint& endpoint : setting.endpoints) {
        if (!is_bulk(endpoint)) continue;
        const bool is_in = (endpoint.address & kDirectionIn) != 0;
        const auto packet = static_cast<std::uint16_t>(endpoint.max_packet_size & kPacketSizeMask);
        if (is_in && in == 0 && packet > 0) {
            in = endpoint.address;
            in_packet = packet;
        } else if (!is_in && out == 0) {
            out = endpoint.address;
        }
    }
    if (out == 0 || in == 0) return false;
    found.out_endpoint = out;
    found.in_endpoint = in;
    found.in_packet_size = in_packet;
    return true;
}

}  // namespace

std::string string_text(std::span<const std::uint8_t> received) {
    const std::span<const std::uint8_t> descriptor = claimed_string(received);
    const std::size_t units = unit_count(descriptor);
    std::string text;
    for (std::size_t i = 0; i < units; ++i) {
        char32_t code = unit(descriptor, i);
        if (code == 0) break;
        if (is_high_surrogate(code) && i + 1 < units && is_low_surrogate(unit(descriptor, i + 1))) {
            code = 0x10000 + ((code - 0xD800) << 10) + (unit(descriptor, i + 1) - 0xDC00);
            ++i;
        } else if (is_high_surrogate(code) || is_low_surrogate(code) || is_terminal_control(code)) {
            code = kReplacement;
        }
        append_utf8(text, code);
    }
    return text;
}

std::optional<std::uint16_t> first_language(std::span<const std::uint8_t> received) {
    const std::span<const std::uint8_t> descriptor = claimed_string(received);
    if (unit_count(descriptor) == 0) return std::nullopt;
    return static_cast<std::uint16_t>(unit(descriptor, 0));
}

EndpointStatus endpoint_status(std::span<const std::uint8_t> received) {
    if (received.size() != 2) return EndpointStatus::Unknown;
    return (received[0] & 1) != 0 ? EndpointStatus::Halted : EndpointStatus::NotHalted;
}

PrinterInterface choose_printer_interface(std::span<const InterfaceSetting> settings) {
    PrinterInterface result;
    int best = 0;
    for (const InterfaceSetting& setting : settings) {
        if (setting.interface_class != kPrinterClass) continue;
        result.found = true;
        const int fit = fitness(setting);
        if (fit <= best || !find_bulk_pair(setting, result)) continue;
        best = fit;
        result.bulk_pair = true;
        result.number = setting.number;
        result.alternate = setting.alternate;
        result.protocol = setting.protocol;
    }
    return result;
}

}  // namespace usb_descriptors
