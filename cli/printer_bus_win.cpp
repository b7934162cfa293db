// The companion's printers on Windows: the USB printer interfaces that the program's discovery
// sees, opened and read through the program's own PrinterLink, so that a reading runs exactly
// the program's channel; only the choice of printer and the naming of failures are added here.

// clang-format off
#include <windows.h>
#include <setupapi.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <mutex>
#include <string_view>

#include "cli/cli_exit.h"
#include "cli/console_events.h"
#include "cli/printer_bus.h"
#include "link/printer_discovery.h"
#include "link/printer_link.h"

namespace {

using printer_discovery::DeviceSet;
using printer_discovery::is_supported_device;
using printer_discovery::kDetailBufferSize;
using printer_discovery::read_interface_detail;

// The four hex digits after `tag` ("vid_", "pid_"), in either case; 0 when absent.
std::uint16_t hex_after(std::string_view path, std::string_view tag) {
    std::string lower(path);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
    const std::size_t at = lower.find(tag);
    if (at == std::string::npos || at + tag.size() + 4 > lower.size()) return 0;
    unsigned value = 0;
    for (std::size_t i = at + tag.size(); i < at + tag.size() + 4; ++i) {
        const char c = lower[i];
        const bool digit = c >= '0' && c <= '9';
        if (!digit && (c < 'a' || c > 'f')) return 0;
        value = value * 16 + static_cast<unsigned>(digit ? c - '0' : c - 'a' + 10);
    }
    return static_cast<std::uint16_t>(value);
}

// "\\?\usb#vid_04e8&pid_3301#SERIAL#{class}": the third part is the device's serial number when
// it has one; otherwise it is a name the system made up, which always holds a '&'.
std::optional<std::string> serial_in(std::string_view path) {
    const std::size_t first = path.find('#');
    const std::size_t second = first == std::string_view::npos ? first : path.find('#', first + 1);
    const std::size_t third =
        second == std::string_view::npos ? second : path.find('#', second + 1);
    if (third == std::string_view::npos || third == second + 1) return std::nullopt;
    const std::string_view part = path.substr(second + 1, third - second - 1);
    if (part.find('&') != std::string_view::npos) return std::nullopt;
    return std::string(part);
}

PrinterInfo describe(const char* path) {
    PrinterInfo printer;
    printer.id = path;
    printer.vendor_id = hex_after(path, "vid_");
    printer.product_id = hex_after(path, "pid_");
    printer.serial = serial_in(path);
    return printer;
}

// The device interfaces of the printer class, visited as discovery visits them: in the system's
// order, up to the first one whose details cannot be read.
template <typename Visit>
bool for_each_interface(Visit visit) {
    const DeviceSet set;
    if (!set.valid()) return false;
    std::vector<char> detail_buffer(kDetailBufferSize);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detail_buffer.data());
    for (DWORD index = 0; read_interface_detail(set, index, detail); ++index) {
        detail_buffer.back() = '\0';
        visit(index, detail->DevicePath);
    }
    return true;
}

// PrinterLink::open takes the first supported printer discovery shows; to open another one,
// discovery is shown that one interface alone while the link opens.
class OneInterface {
public:
    OneInterface(DWORD index, std::string path)
        : index_(index), path_(std::move(path)), real_(setup_api()) {
        current_ = this;
        setup_api().enum_device_interfaces = &enum_device_interfaces;
        setup_api().get_device_interface_detail = &get_device_interface_detail;
        setup_api().destroy_device_info_list = &destroy_device_info_list;
    }
    ~OneInterface() {
        setup_api() = real_;
        current_ = nullptr;
    }
    OneInterface(const OneInterface&) = delete;
    OneInterface& operator=(const OneInterface&) = delete;

    // The chosen interface was no longer where the list found it.
    bool moved() const { return moved_; }

private:
    static BOOL WINAPI enum_device_interfaces(HDEVINFO set, PSP_DEVINFO_DATA device,
                                              const GUID* guid, DWORD index,
                                              PSP_DEVICE_INTERFACE_DATA data) {
        if (index > 0) {
            SetLastError(ERROR_NO_MORE_ITEMS);
            return FALSE;
        }
        const BOOL found =
            current_->real_.enum_device_interfaces(set, device, guid, current_->index_, data);
        current_->moved_ = !found;
        return found;
    }

    static BOOL WINAPI get_device_interface_detail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                                   PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                                   DWORD size, PDWORD required,
                                                   PSP_DEVINFO_DATA device) {
        const BOOL read =
            current_->real_.get_device_interface_detail(set, data, detail, size, required, device);
        current_->moved_ = !read || std::strncmp(detail->DevicePath, current_->path_.c_str(),
                                                 size - sizeof(DWORD)) != 0;
        if (current_->moved_) SetLastError(ERROR_DEV_NOT_EXIST);
        return read && !current_->moved_;
    }

    // The set is released last in PrinterLink::open: keep the error a failed open left.
    static BOOL WINAPI destroy_device_info_list(HDEVINFO set) {
        const DWORD error = GetLastError();
        const BOOL destroyed = current_->real_.destroy_device_info_list(set);
        SetLastError(error);
        return destroyed;
    }

    static OneInterface* current_;
    DWORD index_;
    std::string path_;
    SetupApi real_;
    bool moved_ = false;
};

OneInterface* OneInterface::current_ = nullptr;

bool is_gone_error(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_NOT_READY:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA:
        case ERROR_PIPE_NOT_CONNECTED:
        case ERROR_DEVICE_NOT_CONNECTED:
            return true;
        default:
            return false;
    }
}

std::string system_message(DWORD error) {
    char text[256] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    if (message.empty()) message = "system error";
    return message + " (error " + std::to_string(error) + ")";
}

OpenFailure open_failure(DWORD error, bool moved) {
    if (moved) return {OpenFailure::Kind::Gone, "the printer is no longer attached"};
    switch (error) {
        case ERROR_ACCESS_DENIED:
            return {OpenFailure::Kind::PermissionDenied,
                    "permission denied: " + system_message(error)};
        case ERROR_SHARING_VIOLATION:
        case ERROR_PIPE_BUSY:
        case ERROR_BUSY:
            return {OpenFailure::Kind::Busy,
                    "busy, another program has it open: " + system_message(error)};
        default:
            break;
    }
    if (is_gone_error(error)) return {OpenFailure::Kind::Gone, system_message(error)};
    return {OpenFailure::Kind::Other, system_message(error)};
}

// The console's handler may close the link of the reading under way while the main thread is
// outside it; held around every use of the link. A lock with no destructor, since the handler
// may still run while the process ends.
class ConsoleLock {
public:
    ConsoleLock() { InitializeCriticalSection(&section_); }
    void lock() { EnterCriticalSection(&section_); }
    void unlock() { LeaveCriticalSection(&section_); }
    bool try_lock() { return TryEnterCriticalSection(&section_) != FALSE; }

private:
    CRITICAL_SECTION section_;
};

ConsoleLock console_lock;
std::atomic<bool> stop_requested{false};
std::atomic<int> ending_with{0};  // the console is going away: the process ends with this code
std::atomic<bool> reading_open{false};
class WindowsPrinter;
WindowsPrinter* open_printer = nullptr;  // the printer open for a reading; under console_lock

// The program's link, with the reason of each failure taken before anything else runs, and the
// console's stop looked at around each of its calls.
class WindowsPrinter final : public PrinterConnection, public SessionLink {
public:
    // While it lives, the console's events reach it; a new reading starts with no stop asked.
    WindowsPrinter() {
        const std::lock_guard<ConsoleLock> lock(console_lock);
        stop_requested = false;
        open_printer = this;
        reading_open = true;
    }
    ~WindowsPrinter() override {
        const std::lock_guard<ConsoleLock> lock(console_lock);
        reading_open = false;
        open_printer = nullptr;
        link_.close();
    }
    WindowsPrinter(const WindowsPrinter&) = delete;
    WindowsPrinter& operator=(const WindowsPrinter&) = delete;

    bool open() {
        const std::lock_guard<ConsoleLock> lock(console_lock);
        return link_.open();
    }
    // Closes the pipes; the caller holds console_lock.
    void close_link() { link_.close(); }

    SessionLink& link() override { return *this; }
    LinkFailure last_failure() const override { return failure_; }

    bool write(const char* bytes, std::size_t count) override {
        return call([&] { return link_.write(bytes, count); });
    }
    bool read(char* buffer, std::size_t count, std::size_t& received) override {
        received = 0;
        return call([&] { return link_.read(buffer, count, received); });
    }

private:
    // A stop asked before or during the call ends the reading, whatever the call gave: the pipes
    // are closed before the failure reaches anyone. When the console is going away the process
    // ends here, lest the reading's own exit code come first.
    template <typename Call>
    bool call(Call link_call) {
        const std::lock_guard<ConsoleLock> lock(console_lock);
        if (!stop_requested) {
            SetLastError(ERROR_SUCCESS);
            const bool ok = link_call();
            const DWORD error = GetLastError();
            if (!stop_requested) return noted(ok, error);
        }
        link_.close();
        if (const int code = ending_with) ExitProcess(static_cast<UINT>(code));
        failure_ = LinkFailure::Interrupted;
        return false;
    }

    bool noted(bool ok, DWORD error) {
        if (ok) {
            failure_ = LinkFailure::None;
        } else if (error == ERROR_OPERATION_ABORTED) {
            failure_ = LinkFailure::TimedOut;  // the read cancels itself after its time-out
        } else {
            failure_ = is_gone_error(error) ? LinkFailure::DeviceGone : LinkFailure::Io;
        }
        return ok;
    }

    PrinterLink link_;
    LinkFailure failure_ = LinkFailure::None;
};

// The console gives a close handler 5 s before it ends the process itself; a read of the link
// takes at most about 3 s.
constexpr DWORD kLinkWaitMs = 4000;

// The console is going away: the pipes are closed as soon as the main thread is out of the
// link, and the process ends with `code`, here or in that thread's next call of the link
// (should the link stay busy, the system closes whatever is still open as the process ends).
[[noreturn]] void end_with(int code) {
    ending_with = code;
    stop_requested = true;
    const DWORD started = GetTickCount();
    bool locked = false;
    while (!(locked = console_lock.try_lock()) && GetTickCount() - started < kLinkWaitMs) {
        Sleep(10);
    }
    if (locked && open_printer != nullptr) open_printer->close_link();
    ExitProcess(static_cast<UINT>(code));
}

class WindowsPrinterBus final : public PrinterBus {
public:
    bool list(std::vector<PrinterInfo>& printers, std::string& error) override {
        printers.clear();
        listed_.clear();
        const bool listed = for_each_interface([&](DWORD index, const char* path) {
            if (!is_supported_device(path)) return;
            printers.push_back(describe(path));
            listed_.push_back({path, index});
        });
        if (!listed)
            error = "the system gave no list of USB printers: " + system_message(GetLastError());
        return listed;
    }

    std::unique_ptr<PrinterConnection> open(const PrinterInfo& printer,
                                            OpenFailure& failure) override {
        const DWORD index = index_of(printer.id);
        auto opened = std::make_unique<WindowsPrinter>();
        OneInterface only(index, printer.id);
        SetLastError(ERROR_SUCCESS);
        if (opened->open()) return opened;
        failure = open_failure(GetLastError(), only.moved());
        return nullptr;
    }

private:
    // Where the last list found the interface with this path.
    DWORD index_of(const std::string& id) const {
        for (const Listed& entry : listed_) {
            if (entry.path == id) return entry.index;
        }
        return MAXDWORD;
    }

    struct Listed {
        std::string path;
        DWORD index;
    };
    std::vector<Listed> listed_;
};

}  // namespace

std::unique_ptr<PrinterBus> system_printer_bus() { return std::make_unique<WindowsPrinterBus>(); }

bool end_readings_on_console_events() noexcept {
    return SetConsoleCtrlHandler(on_console_event, TRUE) != FALSE;
}

BOOL WINAPI on_console_event(DWORD event) noexcept {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            // The first stop of a reading is the reading's own to carry out; anything else ends
            // the companion now, as the system's handler would, with the code of a Ctrl+C.
            if (reading_open && !stop_requested.exchange(true)) return TRUE;
            ExitProcess(kExitInterrupted);
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
            end_with(kExitConsoleClosed);
        case CTRL_SHUTDOWN_EVENT:
            end_with(kExitShutDown);
        default:
            return FALSE;
    }
}
