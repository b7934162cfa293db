#pragma once
// The walk over the USB printer device interfaces that SetupAPI shows: the program's link takes
// the first supported printer on it, and the companion lists every one.

#include <algorithm>
#include <cstring>
#include <iterator>

#include "link/printer_link.h"

namespace printer_discovery {

// The detail record: its 4-byte size field, then the device path and its NUL.
inline constexpr DWORD kDetailBufferSize = 260;
inline constexpr DWORD kDeviceSetFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;
static_assert(kDeviceSetFlags == 0x12);

// The device set, destroyed on every way out of discovery.
class DeviceSet {
public:
    DeviceSet()
        : set_(setup_api().get_class_devs(&kUsbPrinterInterfaceClass, nullptr, nullptr,
                                          kDeviceSetFlags)) {}
    ~DeviceSet() {
        if (valid()) setup_api().destroy_device_info_list(set_);
    }
    DeviceSet(const DeviceSet&) = delete;
    DeviceSet& operator=(const DeviceSet&) = delete;

    bool valid() const { return set_ != INVALID_HANDLE_VALUE && set_ != nullptr; }
    HDEVINFO get() const { return set_; }

private:
    HDEVINFO set_;
};

inline bool is_supported_device(const char* path) {
    return std::any_of(
        std::begin(kVendorPatterns), std::end(kVendorPatterns),
        [path](const char* pattern) { return std::strstr(path, pattern) != nullptr; });
}

// Reads the detail record of interface `index` into `detail` (kDetailBufferSize bytes); false
// when there is no such interface or its record cannot be read, both of which end the walk.
inline bool read_interface_detail(const DeviceSet& set, DWORD index,
                                  SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail) {
    SP_DEVICE_INTERFACE_DATA interface_data{};
    interface_data.cbSize = sizeof(interface_data);
    if (!setup_api().enum_device_interfaces(set.get(), nullptr, &kUsbPrinterInterfaceClass, index,
                                            &interface_data)) {
        return false;
    }
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    return setup_api().get_device_interface_detail(set.get(), &interface_data, detail,
                                                   kDetailBufferSize, nullptr, nullptr) != FALSE;
}

}  // namespace printer_discovery
