#include "sim/pipe_printer.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <utility>

namespace {

constexpr DWORD kMaxInstances = 2;  // the connection being served and the next one, waiting
constexpr DWORD kReplyBufferSize = 65536;
constexpr DWORD kRequestBufferSize = 4096;

HANDLE create_pipe(const std::string& name, bool first) {
    // Windows refuses a first instance whose name is in use; Wine 8 does not, hence unique names.
    const DWORD open_mode =
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0u);
    return CreateNamedPipeA(name.c_str(), open_mode,
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, kMaxInstances,
                            kReplyBufferSize, kRequestBufferSize, 0, nullptr);
}

}  // namespace

std::string unique_pipe_device_path(const std::string& tail) {
    static std::atomic<unsigned> next_instance{0};
    return "\\\\.\\pipe\\vellumo-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(next_instance++) + tail;
}

// One instance of each of the two pipes, for one host connection.
struct PipePrinter::PipePair {
    HANDLE from_host = INVALID_HANDLE_VALUE;  // PIPE00
    HANDLE to_host = INVALID_HANDLE_VALUE;    // PIPE01

    PipePair(const std::string& device_path, bool first)
        : from_host(create_pipe(device_path + PrinterLink::kWritePipeSuffix, first)),
          to_host(create_pipe(device_path + PrinterLink::kReadPipeSuffix, first)) {}
    ~PipePair() {
        if (from_host != INVALID_HANDLE_VALUE) CloseHandle(from_host);
        if (to_host != INVALID_HANDLE_VALUE) CloseHandle(to_host);
    }
    PipePair(const PipePair&) = delete;
    PipePair& operator=(const PipePair&) = delete;

    bool valid() const {
        return from_host != INVALID_HANDLE_VALUE && to_host != INVALID_HANDLE_VALUE;
    }
};

PipePrinter::PipePrinter(Factory factory, std::string device_path)
    : factory_(std::move(factory)), device_path_(std::move(device_path)) {
    stop_event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    io_event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // The first pipes exist before the constructor returns, so a host may connect at once.
    auto first = std::make_unique<PipePair>(device_path_, true);
    if (stop_event_ != nullptr && io_event_ != nullptr && first->valid()) {
        server_ = std::thread(&PipePrinter::serve, this, std::move(first));
    }
}

PipePrinter::PipePrinter(std::string report, PrinterFault fault)
    : PipePrinter([report = std::move(report), fault] {
          return std::make_unique<SimulatedPrinter>(report, fault);
      }) {}

PipePrinter::~PipePrinter() {
    if (stop_event_ != nullptr) SetEvent(stop_event_);
    if (server_.joinable()) server_.join();
    if (stop_event_ != nullptr) CloseHandle(stop_event_);
    if (io_event_ != nullptr) CloseHandle(io_event_);
}

std::vector<PipeSessionRecord> PipePrinter::sessions() const {
    std::lock_guard lock(mutex_);
    return sessions_;
}

bool PipePrinter::wait_for_sessions(std::size_t count, DWORD timeout_ms) const {
    std::unique_lock lock(mutex_);
    return sessions_changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                      [&] { return sessions_.size() >= count; });
}

void PipePrinter::serve(std::unique_ptr<PipePair> current) {
    while (current->valid() && WaitForSingleObject(stop_event_, 0) == WAIT_TIMEOUT) {
        const bool connected = connect(*current);
        // The next host finds its pipes waiting while this one is served.
        auto next = std::make_unique<PipePair>(device_path_, false);
        if (connected) serve_connection(*current);
        current = std::move(next);
    }
}

bool PipePrinter::connect(PipePair& pipes) {
    for (HANDLE pipe : {pipes.from_host, pipes.to_host}) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = io_event_;
        const BOOL started = ConnectNamedPipe(pipe, &overlapped);
        if (!started && GetLastError() == ERROR_PIPE_CONNECTED) continue;  // the host was quick
        DWORD unused = 0;
        if (!finish_io(pipe, overlapped, started, unused)) return false;
    }
    return true;
}

void PipePrinter::serve_connection(PipePair& pipes) {
    std::unique_ptr<SimulatedPrinter> printer = factory_();
    char request[kRequestBufferSize];
    DWORD received = 0;
    while (read_from_host(pipes, request, sizeof request, received)) {
        printer->receive(request, received);
        if (!send_replies(pipes, *printer)) break;
    }
    record(*printer);
}

// Plays the printer's pending replies; false when the connection is over.
bool PipePrinter::send_replies(PipePair& pipes, SimulatedPrinter& printer) {
    PrinterReply reply;
    while (printer.next_reply(reply)) {
        if (WaitForSingleObject(stop_event_, reply.delay_ms) != WAIT_TIMEOUT) return false;
        const bool write = !reply.bytes.empty() || zero_byte_writes_.load();
        if (write && !write_to_host(pipes, reply.bytes)) return false;
        if (reply.disconnect_after) return false;
    }
    return true;
}

// Completes an overlapped operation; a stop request cancels it and waits until it is over.
bool PipePrinter::finish_io(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, DWORD& transferred) {
    if (!started) {
        if (GetLastError() != ERROR_IO_PENDING) return false;
        HANDLE events[] = {stop_event_, io_event_};
        if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
            CancelIo(pipe);
            GetOverlappedResult(pipe, &overlapped, &transferred, TRUE);
            return false;
        }
    }
    return GetOverlappedResult(pipe, &overlapped, &transferred, FALSE) != FALSE;
}

bool PipePrinter::read_from_host(PipePair& pipes, char* buffer, DWORD size, DWORD& received) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = io_event_;
    const BOOL started = ReadFile(pipes.from_host, buffer, size, nullptr, &overlapped);
    return finish_io(pipes.from_host, overlapped, started, received);
}

bool PipePrinter::write_to_host(PipePair& pipes, const std::string& bytes) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = io_event_;
    const auto size = static_cast<DWORD>(bytes.size());
    const BOOL started = WriteFile(pipes.to_host, bytes.data(), size, nullptr, &overlapped);
    DWORD written = 0;
    return finish_io(pipes.to_host, overlapped, started, written) && written == size;
}

void PipePrinter::record(const SimulatedPrinter& printer) {
    {
        std::lock_guard lock(mutex_);
        sessions_.push_back(
            {printer.host_wrote(), printer.stop_received(), printer.disconnected()});
    }
    sessions_changed_.notify_all();
}

namespace {

ScriptedDiscovery* g_scripted = nullptr;
char g_scripted_set_token;  // its address is the scripted device set's handle

HDEVINFO scripted_set() { return &g_scripted_set_token; }

bool is_printer_class(const GUID* guid) {
    return guid != nullptr && std::memcmp(guid, &kUsbPrinterInterfaceClass, sizeof(GUID)) == 0;
}

}  // namespace

ScriptedDiscovery::ScriptedDiscovery(std::vector<Device> devices, bool device_set_fails)
    : devices_(std::move(devices)), device_set_fails_(device_set_fails), previous_(setup_api()) {
    g_scripted = this;
    SetupApi& api = setup_api();
    api.get_class_devs = &get_class_devs;
    api.enum_device_interfaces = &enum_device_interfaces;
    api.get_device_interface_detail = &get_device_interface_detail;
    api.destroy_device_info_list = &destroy_device_info_list;
}

ScriptedDiscovery::~ScriptedDiscovery() {
    setup_api() = previous_;
    g_scripted = nullptr;
}

int ScriptedDiscovery::sets_obtained() const {
    std::lock_guard lock(mutex_);
    return sets_obtained_;
}

int ScriptedDiscovery::sets_destroyed() const {
    std::lock_guard lock(mutex_);
    return sets_destroyed_;
}

std::vector<DWORD> ScriptedDiscovery::details_read() const {
    std::lock_guard lock(mutex_);
    return details_read_;
}

std::vector<std::string> ScriptedDiscovery::wrong_calls() const {
    std::lock_guard lock(mutex_);
    return wrong_calls_;
}

void ScriptedDiscovery::wrong_call(const char* what) {
    std::lock_guard lock(mutex_);
    wrong_calls_.emplace_back(what);
}

HDEVINFO WINAPI ScriptedDiscovery::get_class_devs(const GUID* guid, PCSTR enumerator, HWND window,
                                                  DWORD flags) {
    ScriptedDiscovery& self = *g_scripted;
    if (!is_printer_class(guid) || enumerator != nullptr || window != nullptr || flags != 0x12) {
        self.wrong_call("SetupDiGetClassDevsA");
    }
    if (self.device_set_fails_) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard lock(self.mutex_);
    ++self.sets_obtained_;
    return scripted_set();
}

BOOL WINAPI ScriptedDiscovery::enum_device_interfaces(HDEVINFO set, PSP_DEVINFO_DATA device,
                                                      const GUID* guid, DWORD index,
                                                      PSP_DEVICE_INTERFACE_DATA data) {
    ScriptedDiscovery& self = *g_scripted;
    if (set != scripted_set() || device != nullptr || !is_printer_class(guid) || data == nullptr ||
        data->cbSize != kInterfaceDataSize) {
        self.wrong_call("SetupDiEnumDeviceInterfaces");
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (index >= self.devices_.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->InterfaceClassGuid = kUsbPrinterInterfaceClass;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = index + 1;  // tells the detail call which interface is meant
    return TRUE;
}

BOOL WINAPI ScriptedDiscovery::get_device_interface_detail(
    HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
    DWORD size, PDWORD required, PSP_DEVINFO_DATA device) {
    ScriptedDiscovery& self = *g_scripted;
    if (set != scripted_set() || data == nullptr || data->cbSize != kInterfaceDataSize || data->Reserved == 0 ||
        data->Reserved > self.devices_.size() || detail == nullptr || detail->cbSize != kInterfaceDetailFixedSize ||
        size != 260 || required != nullptr || device != nullptr) {
        self.wrong_call("SetupDiGetDeviceInterfaceDetailA");
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD index = static_cast<DWORD>(data->Reserved - 1);
    {
        std::lock_guard lock(self.mutex_);
        self.details_read_.push_back(index);
    }
    const Device& entry = self.devices_[index];
    // Like the real call: the record must hold the size field, the whole path and its NUL.
    if (entry.detail_fails ||
        offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + entry.path.size() + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, entry.path.c_str(), entry.path.size() + 1);
    return TRUE;
}

BOOL WINAPI ScriptedDiscovery::destroy_device_info_list(HDEVINFO set) {
    ScriptedDiscovery& self = *g_scripted;
    if (set != scripted_set()) {
        self.wrong_call("SetupDiDestroyDeviceInfoList");
        return FALSE;
    }
    std::lock_guard lock(self.mutex_);
    ++self.sets_destroyed_;
    return TRUE;
}
