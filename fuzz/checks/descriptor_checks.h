#pragma once
// What the USB link decodes from a device (link/usb_descriptors.h), over bytes a device could
// send. The fuzzer traps on a broken rule; the regression tests expect none.
//
// Input: a selector byte, then the device's bytes.
//   selector % 3 == 0   a string descriptor as received (of at most 255 bytes, the link's buffer)
//   selector % 3 == 1   an endpoint's GET_STATUS answer as received
//   selector % 3 == 2   a configuration descriptor and what follows it, read into interface
//                       settings and endpoints as libusb parses them, each array in a heap block
//                       of exactly its size, for the choice of the printer interface
// The bytes are copied into a heap block of exactly their size first: a read past them is
// AddressSanitizer's to see.
//
// Checked: a string's text comes only from the whole UTF-16 units within the bytes both claimed
// and received (the same text from exactly those bytes, and their units bound its length), is
// valid UTF-8 and holds no control character nor surrogate; a first language is there only
// when a whole one was claimed and received. A status is known only from exactly 2 bytes. The
// chosen interface is a printer setting of the configuration that carries a session, with a bulk
// OUT and a bulk IN endpoint of its own (the IN one of a packet size above 0), of the best
// protocol any such setting has, and the first of those; none is chosen when no setting has one.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "link/usb_descriptors.h"
#include "report/utf8_text.h"

namespace descriptor_checks {

namespace ud = usb_descriptors;

inline constexpr std::size_t kStringBufferSize = 255;
inline constexpr std::uint8_t kInterfaceType = 4;
inline constexpr std::uint8_t kEndpointType = 5;

// `bytes` in a heap block of exactly their size.
struct ExactCopy {
    explicit ExactCopy(std::span<const std::uint8_t> bytes)
        : size(bytes.size()), data(new std::uint8_t[bytes.size()]) {
        std::copy(bytes.begin(), bytes.end(), data.get());
    }
    std::span<const std::uint8_t> span() const { return {data.get(), size}; }
    std::size_t size;
    std::unique_ptr<std::uint8_t[]> data;
};

// The code points of valid UTF-8, or a failure.
inline bool decode_utf8(const std::string& text, std::vector<char32_t>& points) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if ((lead >= 0x80 && lead < 0xC2) || lead > 0xF4 || i + length > text.size()) return false;
        char32_t point = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            point = (point << 6) | (next & 0x3F);
        }
        const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < smallest[length] || point > 0x10FFFF) return false;
        points.push_back(point);
        i += length;
    }
    return true;
}

inline std::string check_string(std::span<const std::uint8_t> received) {
    const ExactCopy copy(received.first(std::min(received.size(), kStringBufferSize)));
    const std::span<const std::uint8_t> bytes = copy.span();
    const std::string text = ud::string_text(bytes);
    const std::size_t claimed =
        bytes.size() < 2 ? 0 : std::min<std::size_t>(bytes[0], bytes.size());
    const bool is_string = bytes.size() >= 2 && bytes[1] == ud::kStringType && claimed >= 2;
    const std::size_t units = is_string ? (claimed - 2) / 2 : 0;
    std::vector<char32_t> points;
    if (!decode_utf8(text, points)) return "a string's text is not UTF-8";
    if (points.size() > units) return "a string has more characters than whole units were sent";
    for (const char32_t point : points) {
        if (is_terminal_control(point)) return "a string keeps a control character";
        if (point >= 0xD800 && point <= 0xDFFF) return "a string keeps a surrogate";
    }
    const ExactCopy whole_units(bytes.first(is_string ? 2 + 2 * units : 0));
    if (is_string && ud::string_text(whole_units.span()) != text)
        return "a string's text depends on bytes beyond its whole units";
    const std::optional<std::uint16_t> language = ud::first_language(bytes);
    if (language.has_value() != (units >= 1)) return "a language without a whole one sent";
    if (language && *language != (bytes[2] | bytes[3] << 8)) return "the wrong first language";
    return {};
}

inline std::string check_status(std::span<const std::uint8_t> received) {
    const ExactCopy copy(received);
    const ud::EndpointStatus status = ud::endpoint_status(copy.span());
    if (received.size() != 2) {
        return status == ud::EndpointStatus::Unknown ? "" : "a status from a wrong-sized answer";
    }
    const bool halted = (received[0] & 1) != 0;
    if (status != (halted ? ud::EndpointStatus::Halted : ud::EndpointStatus::NotHalted))
        return "the wrong halt status";
    return {};
}

// A configuration read as libusb reads one: each interface descriptor begins a setting, the
// endpoint descriptors after it are its endpoints; a length below 2 or past the end stops it.
class ParsedConfiguration {
public:
    explicit ParsedConfiguration(std::span<const std::uint8_t> bytes) {
        std::vector<std::vector<ud::Endpoint>> endpoints;
        std::vector<ud::InterfaceSetting> settings;
        for (std::size_t at = 0; at + 2 <= bytes.size();) {
            const std::size_t length = bytes[at];
            if (length < 2 || at + length > bytes.size()) break;
            const std::span<const std::uint8_t> d = bytes.subspan(at, length);
            if (d[1] == kInterfaceType && length >= 9) {
                settings.push_back({d[2], d[3], d[5], d[7], {}});
                endpoints.emplace_back();
            } else if (d[1] == kEndpointType && length >= 7 && !endpoints.empty()) {
                endpoints.back().push_back(
                    {d[2], d[3], static_cast<std::uint16_t>(d[4] | d[5] << 8)});
            }
            at += length;
        }
        settings_count_ = settings.size();
        settings_.reset(new ud::InterfaceSetting[settings_count_]);
        for (std::size_t s = 0; s < settings_count_; ++s) {
            auto& block = endpoint_blocks_.emplace_back(new ud::Endpoint[endpoints[s].size()]);
            std::copy(endpoints[s].begin(), endpoints[s].end(), block.get());
            settings_[s] = settings[s];
            settings_[s].endpoints = {block.get(), endpoints[s].size()};
        }
    }
    std::span<const ud::InterfaceSetting> settings() const {
        return {settings_.get(), settings_count_};
    }

private:
    std::size_t settings_count_ = 0;
    std::unique_ptr<ud::InterfaceSetting[]> settings_;
    std::vector<std::unique_ptr<ud::Endpoint[]>> endpoint_blocks_;
};

inline int protocol_rank(std::uint8_t protocol) {
    return protocol == ud::kBidirectionalProtocol                                       ? 2
           : protocol == ud::kIeee1284_4Protocol || protocol == ud::kIppOverUsbProtocol ? 0
                                                                                        : 1;
}

inline bool has_endpoint(const ud::InterfaceSetting& setting, std::uint8_t address, bool in,
                         bool usable_packet) {
    return std::any_of(setting.endpoints.begin(), setting.endpoints.end(), [&](const auto& e) {
        return e.address == address && (e.attributes & 3) == 2 && ((e.address & 0x80) != 0) == in &&
               (!usable_packet || (e.max_packet_size & 0x7FF) > 0);
    });
}

inline bool carries_session(const ud::InterfaceSetting& setting) {
    bool out = false, in = false;
    for (const ud::Endpoint& e : setting.endpoints) {
        if ((e.attributes & 3) != 2) continue;
        if ((e.address & 0x80) != 0)
            in = in || (e.max_packet_size & 0x7FF) > 0;
        else
            out = out || e.address != 0;
    }
    return setting.interface_class == ud::kPrinterClass && protocol_rank(setting.protocol) > 0 &&
           out && in;
}

inline std::string check_configuration(std::span<const std::uint8_t> received) {
    const ExactCopy copy(received);
    const ParsedConfiguration parsed(copy.span());
    const std::span<const ud::InterfaceSetting> settings = parsed.settings();
    const ud::PrinterInterface chosen = ud::choose_printer_interface(settings);
    const bool any_printer = std::any_of(settings.begin(), settings.end(), [](const auto& s) {
        return s.interface_class == ud::kPrinterClass;
    });
    if (chosen.found != any_printer) return "a printer interface found or missed wrongly";
    int best = 0;
    const ud::InterfaceSetting* first_best = nullptr;
    for (const ud::InterfaceSetting& setting : settings) {
        if (!carries_session(setting) || protocol_rank(setting.protocol) <= best) continue;
        best = protocol_rank(setting.protocol);
        first_best = &setting;
    }
    if (first_best == nullptr) return chosen.bulk_pair ? "a session where none is carried" : "";
    if (!chosen.bulk_pair) return "a setting that carries a session was passed over";
    if (chosen.number != first_best->number || chosen.alternate != first_best->alternate ||
        chosen.protocol != first_best->protocol)
        return "not the first setting of the best protocol";
    if (!has_endpoint(*first_best, chosen.out_endpoint, false, false) ||
        !has_endpoint(*first_best, chosen.in_endpoint, true, true))
        return "endpoints that are not the setting's bulk pair";
    return {};
}

inline std::string check_descriptors(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return {};
    const std::span<const std::uint8_t> bytes(data + 1, size - 1);
    switch (data[0] % 3) {
        case 0:
            return check_string(bytes);
        case 1:
            return check_status(bytes);
        default:
            return check_configuration(bytes);
    }
}

// Inputs written by hand: the seeds (fuzz/make_seeds.cpp) and the regression tests.
namespace script {

inline std::string bytes(std::initializer_list<int> values) {
    std::string text;
    for (const int value : values) text += static_cast<char>(value & 0xFF);
    return text;
}

inline std::string string_descriptor(int length, const std::string& rest) {
    return bytes({0, length, 3}) + rest;
}
inline std::string status(const std::string& answer) { return bytes({1}) + answer; }
inline std::string configuration(const std::string& descriptors) {
    return bytes({2}) + descriptors;
}

// An interface setting's descriptor and a bulk endpoint's.
inline std::string setting(int number, int alternate, int protocol, int endpoints,
                           int interface_class = ud::kPrinterClass) {
    return bytes({9, 4, number, alternate, endpoints, interface_class, 1, protocol, 0});
}
inline std::string bulk(int address, int packet_size) {
    return bytes({7, 5, address, 2, packet_size & 0xFF, packet_size >> 8, 0});
}
inline std::string config_header(int total, int interfaces) {
    return bytes({9, 2, total & 0xFF, total >> 8, interfaces, 1, 0, 0xC0, 1});
}

}  // namespace script

}  // namespace descriptor_checks
