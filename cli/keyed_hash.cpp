#include "cli/keyed_hash.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <random>

namespace {

// The system's random numbers; where it gives none (std::random_device may throw), the clock and
// where the stack lies (placed at random by the system) still make a key nobody knows beforehand.
SipKey drawn_key() {
    try {
        std::random_device device;
        const auto draw = [&device] { return std::uint64_t{device()} << 32 | device(); };
        return {draw(), draw()};
    } catch (const std::exception&) {
        const int here = 0;
        const auto now = static_cast<std::uint64_t>(
            std::chrono::high_resolution_clock::now().time_since_epoch().count());
        return {now, reinterpret_cast<std::uintptr_t>(&here) ^ (now >> 17)};
    }
}

}  // namespace

SipKey process_sip_key() {
    static const SipKey key = drawn_key();
    return key;
}
