#pragma once
// A simulated printer behind real Windows named pipes, so that a PrinterLink opened on its
// device path runs the real CreateFileA, WriteFile, ReadFile, GetOverlappedResult, CancelIo and
// CloseHandle calls; and a scripted device enumeration that lets discovery find it. Used by the
// tests and by the demo build.

// clang-format off
#include <windows.h>
#include <setupapi.h>
// clang-format on

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/printer_link.h"
#include "sim/simulated_printer.h"

// What one served connection left behind.
struct PipeSessionRecord {
    std::string host_wrote;
    bool stop_received = false;
    bool disconnected = false;  // the printer went away on its own
};

// The tail of a device path as the USB printer driver names its interfaces.
inline constexpr char kDemoDeviceTail[] =
    "#vid_04e8&pid_3301#5&2c4a0f1&0&1#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

// A device path no other pipe printer uses, in this process or another:
// "\\.\pipe\vellumo-<pid>-<n>" followed by `tail`, which should carry a vendor pattern.
std::string unique_pipe_device_path(const std::string& tail = kDemoDeviceTail);

// Serves a simulated printer over "<device path>\PIPE00" (the host writes, the printer reads)
// and "<device path>\PIPE01" (the printer replies, the host reads), both byte-mode pipes. Each
// host connection gets a fresh printer from the factory; connections are served one after
// another, and the next one is already waiting while one is served.
class PipePrinter {
public:
    using Factory = std::function<std::unique_ptr<SimulatedPrinter>()>;

    explicit PipePrinter(Factory factory, std::string device_path = unique_pipe_device_path());
    // A printer with `report` and `fault` for every connection.
    explicit PipePrinter(std::string report = sample_report(),
                         PrinterFault fault = PrinterFault::None);
    // Stops serving, also when no host ever connected or a host is still connected.
    ~PipePrinter();
    PipePrinter(const PipePrinter&) = delete;
    PipePrinter& operator=(const PipePrinter&) = delete;

    // Empty replies are skipped unless this is on; then each is one zero-byte write, to see what
    // a host's pending read makes of it.
    void set_zero_byte_writes(bool on) { zero_byte_writes_ = on; }

    // Whether the pipes could be created; a host can connect as soon as this is true.
    bool ok() const { return server_.joinable(); }
    const std::string& device_path() const { return device_path_; }

    // The connections served to their end, in order.
    std::vector<PipeSessionRecord> sessions() const;
    // Waits until `count` connections have ended; false after `timeout_ms` without.
    bool wait_for_sessions(std::size_t count, DWORD timeout_ms) const;

private:
    struct PipePair;
    void serve(std::unique_ptr<PipePair> first);
    bool connect(PipePair& pipes);
    void serve_connection(PipePair& pipes);
    bool send_replies(PipePair& pipes, SimulatedPrinter& printer);
    bool finish_io(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, DWORD& transferred);
    bool read_from_host(PipePair& pipes, char* buffer, DWORD size, DWORD& received);
    bool write_to_host(PipePair& pipes, const std::string& bytes);
    void record(const SimulatedPrinter& printer);

    Factory factory_;
    std::string device_path_;
    HANDLE stop_event_ = nullptr;
    HANDLE io_event_ = nullptr;  // used only by the server thread
    std::atomic<bool> zero_byte_writes_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable sessions_changed_;
    std::vector<PipeSessionRecord> sessions_;
    std::thread server_;
};

// Stands in for the machine's USB printer interfaces while it lives: discovery, through
// setup_api(), sees these devices in this order. It also checks the calls discovery makes. One
// at a time; change it only while no retrieval runs.
class ScriptedDiscovery {
public:
    struct Device {
        std::string path;
        bool detail_fails = false;  // its detail record cannot be read
    };

    explicit ScriptedDiscovery(std::vector<Device> devices, bool device_set_fails = false);
    ~ScriptedDiscovery();  // puts the previous table back
    ScriptedDiscovery(const ScriptedDiscovery&) = delete;
    ScriptedDiscovery& operator=(const ScriptedDiscovery&) = delete;

    int sets_obtained() const;
    int sets_destroyed() const;
    // Indices of the interfaces whose detail record was asked for, in order.
    std::vector<DWORD> details_read() const;
    // Calls made with other arguments than discovery must use; empty when all were right.
    std::vector<std::string> wrong_calls() const;

private:
    static HDEVINFO WINAPI get_class_devs(const GUID* guid, PCSTR enumerator, HWND window,
                                          DWORD flags);
    static BOOL WINAPI enum_device_interfaces(HDEVINFO set, PSP_DEVINFO_DATA device,
                                              const GUID* guid, DWORD index,
                                              PSP_DEVICE_INTERFACE_DATA data);
    static BOOL WINAPI get_device_interface_detail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                                   PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                                   DWORD size, PDWORD required,
                                                   PSP_DEVINFO_DATA device);
    static BOOL WINAPI destroy_device_info_list(HDEVINFO set);
    void wrong_call(const char* what);

    std::vector<Device> devices_;
    bool device_set_fails_;
    SetupApi previous_;
    mutable std::mutex mutex_;
    int sets_obtained_ = 0;
    int sets_destroyed_ = 0;
    std::vector<DWORD> details_read_;
    std::vector<std::string> wrong_calls_;
};
