// The system-data report of an invented printer, the Vellumo LP-3020 Series, in the shapes such
// reports take: key/value entries, several to a line, irregular spacing, values with colons and
// section titles without any. Lines end with CR, as the host stores them.

#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "sim/fixed_numbers.h"
#include "sim/simulated_printer.h"

namespace {

constexpr std::array<std::string_view, 32> kHeadLines{
    "SYSTEM DATA REPORT",
    "   Vellumo LP-3020 Series   ",
    "[General Information]",
    "Model Name : Vellumo LP-3020 Series",
    "Machine Serial Number:   VLP3020K4N7Q21",
    "Product Code: LP3020-EU-01  Region: EU  Language: Russian",
    "Firmware Version: V4.02.11  Build Date: 2026-03-14",
    "Engine Version: E2.10.03  Boot Version: B1.04.00",
    "Network Version: N3.31.07   PCL Version: 6.2.0  PS Version: 3.0.15",
    "Printer Language :   Auto",
    "System Time: 2026-11-28 16:42:07",
    "Power On Time:  4125:33:10",
    "Memory Size: 128 MB  Free Memory: 61 MB",
    "Page Count Since Power On: 214",
    "OS Verison: 2.6.35-vl",
    "USB Serial: VLP3020K4N7Q21",
    "USB Speed: High Speed  USB Port: Enabled",
    "[Network Settings]",
    "Host Name: VLP3020-OFFICE2",
    "MAC Address: 00:1B:7A:4C:22:9E",
    "IPv4 Address: 192.0.2.41  Subnet Mask: 255.255.255.0  Gateway: 192.0.2.1",
    "DHCP: On   Lease Obtained: 2026-11-02 08:14:55",
    "IPv6: Off",
    "Link Speed: 100 Mbps Full Duplex",
    "[Supplies Information]",
    "Toner Cartridge",
    "Toner CRUM Serial: CRUM-18120512345678",
    "Toner Capacity: 3000 pages  Toner Remaining: 46 %",
    "Toner Install Date: 2026-08-19  Toner Pages Printed: 1612",
    "Toner Low Threshold: 10 %   Toner Empty Action: Stop",
    "Imaging Unit",
    "Drum CRUM Serial: CRUM-19021100042233",
};

constexpr std::array<std::string_view, 12> kMiddleLines{
    "Drum Capacity: 12000 pages  Drum Remaining: 71 %",
    "Drum Install Date: 2025-12-01  Drum Pages Printed: 3480",
    "Fuser Life :    45210 pages",
    "Transfer Roller Life: 62000 pages   Pickup Roller Life: 50000 pages",
    "[Paper Trays]",
    "Tray 1 Size: A4  Tray 1 Type: Plain  Tray 1 Status: Ready",
    "Tray 2 Size: Letter  Tray 2 Type: Recycled  Tray 2 Status: Empty",
    "MP Tray Size: Envelope DL  MP Tray Type: Envelope  MP Tray Status: Ready",
    "Default Tray: Auto   Tray Switch: On",
    "[Adjustments]",
    "Fuser Temperature Plain: 185 C  Fuser Temperature Thick: 195 C",
    "Darkness: 5   Toner Save: Off  Resolution: 1200 dpi",
};

constexpr std::array<std::string_view, 10> kPaperSizes{
    "A4", "Letter", "Legal", "A5", "B5", "Executive", "Folio", "Oficio", "Envelope DL", "Envelope C5"};
constexpr std::array<std::string_view, 6> kMediaTypes{"Plain", "Thick", "Thin", "Recycled", "Labels", "Envelope"};
constexpr std::array<std::string_view, 8> kEvents{
    "Paper Jam in Tray 1", "Paper Jam in Tray 2", "Paper Jam at Exit", "Paper Jam in Duplex",
    "Toner Low",           "Cover Open",          "Out of Paper",      "Fuser Warm-up Delay"};

// Fixed, so that the report is the same on every run.
constexpr std::uint32_t kSeed = 3020;

[[gnu::format(printf, 1, 2)]] std::string line(const char* format, ...) {
    char text[160];
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

void add(std::string& report, std::string_view text) {
    report += text;
    report += '\r';
}

void add_page_counters(std::string& report, FixedNumbers& numbers) {
    add(report, "[Page Counters]");
    add(report, line("Total Pages: %u  Total Jobs: %u", 18734u, 2411u));
    for (std::string_view size : kPaperSizes) {
        const int width = static_cast<int>(size.size());
        add(report, line("%.*s Simplex: %u  %.*s Duplex: %u  %.*s Jams: %u", width, size.data(),
                         numbers.next(9000), width, size.data(), numbers.next(2000), width,
                         size.data(), numbers.next(9)));
    }
    for (std::string_view type : kMediaTypes) {
        add(report, line("Media %.*s:   %u pages", static_cast<int>(type.size()), type.data(), numbers.next(12000)));
    }
}

void add_usage_history(std::string& report, FixedNumbers& numbers) {
    add(report, "[Monthly Usage]");
    for (unsigned month = 0; month < 36; ++month) {
        add(report, line("%u-%02u Pages: %u  Coverage: %u.%u %%  Jobs: %u  Duplex Share: %u %%",
                         2024u + month / 12, month % 12 + 1, 300 + numbers.next(1400), 2 + numbers.next(7),
                         numbers.next(10), 20 + numbers.next(200), numbers.next(60)));
    }
}

void add_event_log(std::string& report, FixedNumbers& numbers) {
    add(report, "[Event Log]");
    std::uint32_t page = 1200;
    for (unsigned event = 1; event <= 150; ++event) {
        page += 20 + numbers.next(110);
        const std::string_view name = kEvents[numbers.next(static_cast<std::uint32_t>(kEvents.size()))];
        add(report, line("Event %03u: %.*s  Date: 2026-%02u-%02u  Time: %02u:%02u:%02u  Page Count: %u",
                         event, static_cast<int>(name.size()), name.data(), 1 + event * 11 / 150,
                         1 + numbers.next(28), 7 + numbers.next(12), numbers.next(60), numbers.next(60), page));
    }
}

void add_sensor_readings(std::string& report, FixedNumbers& numbers) {
    add(report, "[Sensor Readings]");
    for (unsigned sample = 1; sample <= 60; ++sample) {
        add(report, line("Sample %02u  Temperature : %u C   Humidity: %u %%   Fuser Idle: %u C", sample,
                         18 + numbers.next(9), 30 + numbers.next(40), 90 + numbers.next(30)));
    }
}

std::string build_sample_report() {
    std::string report;
    FixedNumbers numbers(kSeed);
    for (std::string_view text : kHeadLines) add(report, text);
    for (std::string_view text : kMiddleLines) add(report, text);
    add_page_counters(report, numbers);
    add_usage_history(report, numbers);
    add_event_log(report, numbers);
    add_sensor_readings(report, numbers);
    add(report, "END OF REPORT");
    return report;
}

}  // namespace

const std::string& sample_report() {
    static const std::string report = build_sample_report();
    return report;
}
