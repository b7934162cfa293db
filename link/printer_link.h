#pragma once
// The USB channel to one printer: finds a supported printer among the USB printer device
// interfaces, opens its two data pipes as files, and writes and reads them for the session.

// clang-format off
#include <windows.h>
#include <setupapi.h>
// clang-format on

#include <cstddef>

#include "link/session_link.h"

// The USB printer device interface class; the MinGW headers do not publish it.
inline constexpr GUID kUsbPrinterInterfaceClass = {
    0x28D78FAD, 0x5A12, 0x11D1, {0xAE, 0x5B, 0x00, 0x00, 0xF8, 0x03, 0xA8, 0xC2}};

// Supported vendors, tried in this order against each device path; compared case-sensitively.
inline constexpr const char* kVendorPatterns[] = {"vid_04e8", "vid_0924", "vid_413c", "vid_03f0"};

// Sizes SetupAPI expects in the records' size fields: 28 and 5 in a 32-bit program (the
// product), 32 and 8 in a 64-bit one. Fakes of the device records check against these.
#ifdef _WIN64
inline constexpr DWORD kInterfaceDataSize = 32;
inline constexpr DWORD kInterfaceDetailFixedSize = 8;
#else
inline constexpr DWORD kInterfaceDataSize = 28;
inline constexpr DWORD kInterfaceDetailFixedSize = 5;
#endif

// The four device enumeration calls discovery makes. They default to the real SetupAPI; tests
// replace them to script the devices a machine has. Nothing else of the link is replaceable.
struct SetupApi {
    decltype(&::SetupDiGetClassDevsA) get_class_devs = &::SetupDiGetClassDevsA;
    decltype(&::SetupDiEnumDeviceInterfaces) enum_device_interfaces =
        &::SetupDiEnumDeviceInterfaces;
    decltype(&::SetupDiGetDeviceInterfaceDetailA) get_device_interface_detail =
        &::SetupDiGetDeviceInterfaceDetailA;
    decltype(&::SetupDiDestroyDeviceInfoList) destroy_device_info_list =
        &::SetupDiDestroyDeviceInfoList;
};

// The table discovery uses. Change it only while no retrieval runs.
SetupApi& setup_api() noexcept;

class PrinterLink : public SessionLink {
public:
    // Pipe files of a printer: the device path followed by one of these.
    static constexpr char kWritePipeSuffix[] = "\\PIPE00";
    static constexpr char kReadPipeSuffix[] = "\\PIPE01";
    // A read gives up after this many result queries with a pause after each but the last.
    static constexpr unsigned kReadPolls = 300;
    static constexpr DWORD kReadPollPauseMs = 10;

    PrinterLink() = default;
    ~PrinterLink() override { close(); }
    PrinterLink(const PrinterLink&) = delete;
    PrinterLink& operator=(const PrinterLink&) = delete;

    // Finds the first supported printer and opens both pipes; true only if both are open. After
    // a false result the write pipe may still be open: close() always follows.
    bool open() noexcept;
    // Closes whichever pipes are open; harmless when nothing is.
    void close() noexcept;

    bool write(const char* bytes, std::size_t count) override;
    bool read(char* buffer, std::size_t count, std::size_t& received) override;

    bool write_pipe_open() const noexcept { return write_pipe_ != INVALID_HANDLE_VALUE; }
    bool read_pipe_open() const noexcept { return read_pipe_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE write_pipe_ = INVALID_HANDLE_VALUE;
    HANDLE read_pipe_ = INVALID_HANDLE_VALUE;
};
