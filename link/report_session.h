#pragma once
// One complete exchange with the printer that yields its system-data report: start, wait for the
// acknowledgement, request the report, receive length-prefixed chunks up to the end marker, stop.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "link/session_link.h"

namespace session_command {
inline constexpr std::string_view kStart{"\x1bwMAASTART", 10};
inline constexpr std::string_view kAcknowledgement{"\x1bwMAA-OK", 8};
inline constexpr std::string_view kSystemDataRequest{"SPI_GET_SYSTEM_DATA()\n", 22};
inline constexpr std::string_view kStop{"MAA-STOP\n", 9};
inline constexpr std::size_t kStopAnswerSize = 8;
}  // namespace session_command

// The 12-byte header in front of every chunk: three big-endian 32-bit words.
struct ChunkHeader {
    static constexpr std::size_t kSize = 12;
    std::uint32_t status = 0;       // 0: a chunk follows; anything else: the report is complete
    std::uint32_t second_word = 0;  // carried by the printer, not interpreted
    std::uint32_t length = 0;       // bytes of text after this header (when status is 0)

    // The header in the kSize bytes at `bytes`.
    static ChunkHeader decode(const char* bytes) {
        return ChunkHeader{word(bytes), word(bytes + 4), word(bytes + 8)};
    }

private:
    static std::uint32_t word(const char* bytes) {
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            value = (value << 8) | static_cast<unsigned char>(bytes[i]);
        }
        return value;
    }
};

class ReportSession {
public:
    // Runs one session over `link`, storing the raw report (each chunk followed by CR) at the
    // start of `buffer` (`capacity` bytes, one of which is kept for the caller's NUL). Returns
    // true only when the end marker arrived with every chunk stored; `report_length` is then the
    // number of bytes stored. Writes nothing outside `buffer`, whatever the printer sends.
    static bool run(SessionLink& link, char* buffer, std::size_t capacity, std::size_t& report_length);
};
