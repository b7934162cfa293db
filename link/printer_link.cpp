#include "link/printer_link.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "link/printer_discovery.h"

namespace {

// Discovery relies on the layouts of the SetupAPI records, which differ between the widths.
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == kInterfaceDataSize, "interface data record");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == kInterfaceDetailFixedSize,
              "fixed part of the detail record");

using printer_discovery::DeviceSet;
using printer_discovery::is_supported_device;
using printer_discovery::kDetailBufferSize;
using printer_discovery::read_interface_detail;

constexpr std::size_t kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
constexpr std::size_t kMaxDevicePathLength = kDetailBufferSize - kPathOffset - 1;
constexpr std::size_t kSuffixLength = sizeof(PrinterLink::kWritePipeSuffix) - 1;
static_assert(sizeof(PrinterLink::kReadPipeSuffix) - 1 == kSuffixLength);
// Room for the longest path the record can carry, a suffix and the NUL, so that paths of
// 253-255 characters give the whole pipe name instead of a cut one.
constexpr std::size_t kPipePathBufferSize = kMaxDevicePathLength + kSuffixLength + 1;

// Copies the device path of the first supported printer into `path` (kPipePathBufferSize).
bool find_printer(const DeviceSet& set, char* detail_buffer, char* path) {
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detail_buffer);
    for (DWORD index = 0; read_interface_detail(set, index, detail); ++index) {
        // The record's last byte is forced to NUL: a path without one is cut, never overrun.
        detail_buffer[kDetailBufferSize - 1] = '\0';
        if (is_supported_device(detail->DevicePath)) {
            std::strcpy(path, detail->DevicePath);
            return true;
        }
    }
    return false;
}

HANDLE open_pipe(char* path, std::size_t path_length, const char* suffix, DWORD flags) {
    std::memcpy(path + path_length, suffix, kSuffixLength + 1);
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                       nullptr);
}

void close_handle(HANDLE& handle) {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
}

// DWORD counts are 32 bits; a larger request is cut to the largest one.
DWORD clamp_count(std::size_t count) {
    return static_cast<DWORD>(std::min<std::size_t>(count, MAXDWORD));
}

// Polls a pending read until it completes (true), fails, or runs out of time.
bool await_read(HANDLE pipe, OVERLAPPED& overlapped, DWORD& transferred) {
    for (unsigned polls = 0;; ++polls) {
        if (GetOverlappedResult(pipe, &overlapped, &transferred, FALSE)) return true;
        if (GetLastError() != ERROR_IO_INCOMPLETE) return false;
        if (polls == PrinterLink::kReadPolls) {
            // The read may write into the caller's buffer until the cancelled request is over.
            CancelIo(pipe);
            GetOverlappedResult(pipe, &overlapped, &transferred, TRUE);
            return false;
        }
        Sleep(PrinterLink::kReadPollPauseMs);
    }
}

}  // namespace

SetupApi& setup_api() noexcept {
    static SetupApi api;
    return api;
}

bool PrinterLink::open() noexcept {
    DeviceSet set;
    if (!set.valid()) return false;
    std::unique_ptr<char[]> detail_buffer(new (std::nothrow) char[kDetailBufferSize]);
    std::unique_ptr<char[]> path(new (std::nothrow) char[kPipePathBufferSize]);
    if (!detail_buffer || !path || !find_printer(set, detail_buffer.get(), path.get())) {
        return false;
    }
    const std::size_t path_length = std::strlen(path.get());
    write_pipe_ = open_pipe(path.get(), path_length, kWritePipeSuffix, FILE_ATTRIBUTE_NORMAL);
    if (write_pipe_ == INVALID_HANDLE_VALUE) return false;
    read_pipe_ = open_pipe(path.get(), path_length, kReadPipeSuffix,
                           FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL);
    return read_pipe_ != INVALID_HANDLE_VALUE;
}

void PrinterLink::close() noexcept {
    close_handle(read_pipe_);
    close_handle(write_pipe_);
}

bool PrinterLink::write(const char* bytes, std::size_t count) {
    const DWORD to_write = clamp_count(count);
    if (to_write != count) return false;  // one write cannot carry it all
    DWORD written = 0;
    return WriteFile(write_pipe_, bytes, to_write, &written, nullptr) && written == to_write;
}

bool PrinterLink::read(char* buffer, std::size_t count, std::size_t& received) {
    received = 0;
    OVERLAPPED overlapped{};  // no event: completion is queried on the handle itself
    DWORD transferred = 0;
    if (ReadFile(read_pipe_, buffer, clamp_count(count), nullptr, &overlapped)) {
        if (!GetOverlappedResult(read_pipe_, &overlapped, &transferred, FALSE)) return false;
    } else if (GetLastError() != ERROR_IO_PENDING ||
               !await_read(read_pipe_, overlapped, transferred)) {
        return false;
    }
    received = transferred;
    return true;
}
