#pragma once
// The two operations a report session needs from whatever carries its bytes: the USB pipes of a
// real printer (PrinterLink) or the simulated printer. Both are small and interchangeable.

#include <cstddef>

class SessionLink {
public:
    virtual ~SessionLink() = default;

    // Sends all `count` bytes; true only when every one of them went out.
    virtual bool write(const char* bytes, std::size_t count) = 0;

    // Waits for incoming data, at most the link's time-out. True when a read completed, with
    // `received` set to the bytes delivered, which may be fewer than `count`; false on an error
    // or a time-out.
    virtual bool read(char* buffer, std::size_t count, std::size_t& received) = 0;
};
