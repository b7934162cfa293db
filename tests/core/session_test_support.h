#pragma once
// What the session tests share: the wire bytes written out independently of the session's own
// table, the sample report's chunks, and a caller's buffer with a guard behind it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "link/session_link.h"
#include "sim/simulated_printer.h"

namespace session_test {

// The commands as they go over the wire, written out here independently of the session's table.
inline const std::string kStartBytes{"\x1b" "wMAASTART"};
inline const std::string kAckBytes{"\x1b" "wMAA-OK"};
inline const std::string kRequestBytes{"SPI_GET_SYSTEM_DATA()\n"};
inline const std::string kStopBytes{"MAA-STOP\n"};
inline const std::string kStopAnswer{"\x1b" "wMAA-OK"};

inline std::string word(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
            static_cast<char>(value >> 8), static_cast<char>(value)};
}

inline std::string header(std::uint32_t status, std::uint32_t second_word, std::uint32_t length) {
    return word(status) + word(second_word) + word(length);
}

inline std::string chunk(const std::string& text, std::uint32_t second_word = 0) {
    return header(0, second_word, static_cast<std::uint32_t>(text.size())) + text;
}

inline std::string end_marker(std::uint32_t status = 1) { return header(status, 0, 0); }

// One command written to `link` whole, as a test drives a link by hand.
inline bool send(SessionLink& link, const std::string& bytes) {
    return link.write(bytes.data(), bytes.size());
}

inline std::string text_of(std::size_t length) {
    std::string text(length, ' ');
    for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char>('a' + i % 26);
    return text;
}

// The sample report as the simulated printer sends it, in chunks of at most 1000 bytes.
inline const std::vector<std::string>& sample_chunks() {
    static const std::vector<std::string> chunks = cut_into_chunks(sample_report(), 1000);
    return chunks;
}

// What the host stores of the first `count` chunks of the sample report.
inline std::string first_chunks(std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += sample_chunks()[i] + '\r';
    return text;
}

// The caller's buffer with a guard behind it; the session is told only about `capacity`.
class GuardedBuffer {
public:
    static constexpr std::size_t kGuardSize = 64;
    static constexpr char kMarker = '\x5A';

    explicit GuardedBuffer(std::size_t capacity)
        : capacity_(capacity), bytes_(capacity + kGuardSize, kMarker) {}

    char* data() { return bytes_.data(); }
    std::size_t capacity() const { return capacity_; }
    std::string text(std::size_t length) const { return std::string(bytes_.data(), length); }
    bool guard_intact() const { return untouched_from(capacity_); }
    bool untouched_from(std::size_t offset) const {
        return std::all_of(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), bytes_.end(),
                           [](char byte) { return byte == kMarker; });
    }

private:
    std::size_t capacity_;
    std::vector<char> bytes_;
};

}  // namespace session_test
