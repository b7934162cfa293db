#pragma once
// What the companion's USB channel decodes from what a printer says of itself: its string
// descriptors, an endpoint's status, and which printer interface and bulk endpoints a session
// would use among the settings of its configuration. A device is untrusted: a length it states is
// a claim, and only bytes it both claimed and sent are read. Portable, like the packet reader: no
// libusb here; the libusb link turns what libusb parsed into the bounds-checked view below, and a
// fuzz target reaches the rest.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace usb_descriptors {

inline constexpr std::uint8_t kStringType = 3;
inline constexpr std::uint8_t kPrinterClass = 7;
inline constexpr std::uint8_t kBidirectionalProtocol = 2;
inline constexpr std::uint8_t kIeee1284_4Protocol = 3;
inline constexpr std::uint8_t kIppOverUsbProtocol = 4;

// A string descriptor's UTF-16LE text as UTF-8, up to a NUL if there is one, from the whole
// code units among the bytes both claimed (bLength) and received: nothing when those are fewer
// than its 2-byte header or it is not a string descriptor. Control characters (C0, DEL, C1),
// which a terminal would obey, and lone surrogates become U+FFFD.
std::string string_text(std::span<const std::uint8_t> received);

// The first language of the device's list (string descriptor 0), by the same rule: none unless
// a whole language ID was both claimed and received.
std::optional<std::uint16_t> first_language(std::span<const std::uint8_t> received);

// An endpoint's GET_STATUS answer: bit 0 of its 2 bytes says whether the endpoint is halted;
// any other number of bytes says nothing.
enum class EndpointStatus { Halted, NotHalted, Unknown };
EndpointStatus endpoint_status(std::span<const std::uint8_t> received);

// The configuration as the choice below sees it: every array as long as its span says.
struct Endpoint {
    std::uint8_t address = 0;     // bit 7 set for IN
    std::uint8_t attributes = 0;  // bits 0-1: the transfer type
    std::uint16_t max_packet_size = 0;
};

// One alternate setting of one interface.
struct InterfaceSetting {
    std::uint8_t number = 0;
    std::uint8_t alternate = 0;
    std::uint8_t interface_class = 0;
    std::uint8_t protocol = 0;
    std::span<const Endpoint> endpoints;
};

// A printer interface of a device, and the bulk pair of the setting a session would use.
struct PrinterInterface {
    bool found = false;      // the device has an interface setting of class printer
    bool bulk_pair = false;  // and one of them carries a session (the rest is valid only then)
    int number = 0;
    int alternate = 0;
    std::uint8_t protocol = 0;
    std::uint8_t out_endpoint = 0;
    std::uint8_t in_endpoint = 0;
    std::uint16_t in_packet_size = 0;  // at least 1
};

// Among all the settings, in the device's order: the first bidirectional printer setting (2)
// with a bulk OUT and a bulk IN endpoint (the IN one of a usable packet size), else the first
// other one with a pair; never IEEE 1284.4 (3) or IPP over USB (4), which speak their own
// protocols.
PrinterInterface choose_printer_interface(std::span<const InterfaceSetting> settings);

}  // namespace usb_descriptors
