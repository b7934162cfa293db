#pragma once
// Reports the formatter and diff benchmarks measure: an ordinary system-data report of any size,
// the same for the same seed (sections of key/value lines, some with several entries set apart
// by double spaces, and values holding colons), which hostile shapes are measured against; and a
// text repeated to a size, which most hostile shapes are.

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/fixed_numbers.h"

namespace ordinary_report_detail {

inline std::string entry(FixedNumbers& numbers) {
    static const char* const kKeys[] = {"Total Page Count", "Jam Count", "Toner Remaining",
                                        "Tray 1 Paper Size", "Last Service Time", "IP Address",
                                        "Fuser Life", "Transfer Roller", "Network Status"};
    const std::uint32_t pick = numbers.next(9);
    std::string text = std::string(kKeys[pick]) + (numbers.next(3) == 0 ? " : " : ": ");
    if (pick == 4) {
        const std::uint32_t hour = numbers.next(24);
        return text + std::to_string(hour) + ":" + std::to_string(10 + numbers.next(50));
    }
    if (pick == 5) return text + "10.0." + std::to_string(numbers.next(256)) + ".7";
    return text + std::to_string(numbers.next(100000)) + (numbers.next(2) ? " pages" : "%");
}

}  // namespace ordinary_report_detail

// Fixed, so that every run measures the same text.
inline constexpr std::uint32_t kOrdinaryReportSeed = 12345;

inline std::string ordinary_report(std::size_t size, std::uint32_t seed = kOrdinaryReportSeed) {
    FixedNumbers numbers(seed);
    std::string raw = "Model Name: M2070 Series\rMachine Serial Number: ZDJB1KBF30001\r"
                      "Firmware Version: V3.00.01.25  Engine Version: 1.12.14\r";
    for (int section = 0; raw.size() < size; ++section) {
        raw += "  System Information " + std::to_string(section) + "  \r";
        for (int line = 0; line < 12; ++line) {
            raw += ordinary_report_detail::entry(numbers);
            for (std::uint32_t more = numbers.next(3); more > 0; --more) {
                raw += "  " + ordinary_report_detail::entry(numbers);
            }
            raw += '\r';
        }
        raw += section % 4 == 3 ? "Toner: CRUM-16051234567\rImaging Unit: 83%\r" : "";
    }
    raw.resize(size);
    return raw;
}

inline std::string repeated(const std::string& unit, std::size_t size) {
    std::string raw;
    while (raw.size() < size) raw += unit;
    raw.resize(size);
    return raw;
}
