// A 100 KB reading over the libusb link to an emulated USB printer, against the same reading over
// the in-memory simulated printer: what the USB path (libusb, usbfs ioctls through umockdev,
// packets) adds to the session itself. Run it under umockdev-wrapper:
//   umockdev-wrapper build/native/bench/usb-reading-benchmark [ROUNDS]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "link/libusb_printer_link.h"
#include "link/report_session.h"
#include "report/report_text.h"
#include "sim/emulated_usb_printer.h"
#include "sim/simulated_printer.h"

namespace {

using Clock = std::chrono::steady_clock;

// 100 chunks of 20 lines of 49 characters: 999-byte chunks, 100,000 bytes stored with the CRs.
std::string hundred_kilobytes() {
    std::string report;
    for (int i = 0; i < 2000; ++i) {
        char line[50];
        std::snprintf(line, sizeof line, "Counter %04d : %-34d", i, i * 7919 % 100000);
        report.append(line, 49);
        report += '\r';
    }
    return report;
}

struct Figures {
    double min_ms;
    double median_ms;
};

Figures measure(int rounds, const std::function<bool()>& one) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        const Clock::time_point start = Clock::now();
        if (!one()) {
            std::fprintf(stderr, "a reading failed\n");
            std::exit(1);
        }
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return {times.front(), times[times.size() / 2]};
}

bool session(SessionLink& link, std::size_t expected) {
    static std::vector<char> buffer(kReportBufferSize);
    std::size_t length = 0;
    return ReportSession::run(link, buffer.data(), buffer.size(), length) && length == expected;
}

void print(const char* what, Figures figures, std::size_t bytes) {
    std::printf("%-50s min %9.3f ms  median %9.3f ms  (%.2f MB/s at the median)\n", what,
                figures.min_ms, figures.median_ms,
                static_cast<double>(bytes) / 1e6 / (figures.median_ms / 1000.0));
}

// The figures of readings from `device`, with the bulk IN transfers each reading took.
void print(const std::string& what, int rounds, const std::function<bool()>& one,
           const usb_emulation::EmulatedUsbPrinter& device) {
    const std::size_t before = device.in_urbs();
    const Figures figures = measure(rounds, one);
    const std::size_t transfers = (device.in_urbs() - before) / static_cast<std::size_t>(rounds);
    std::printf("%-50s min %9.3f ms  median %9.3f ms  %4zu bulk IN transfers a reading\n",
                what.c_str(), figures.min_ms, figures.median_ms, transfers);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const std::string report = hundred_kilobytes();
    const std::size_t stored = report.size();
    std::printf("report: %zu bytes in 100 chunks, %d rounds each\n", stored, rounds);

    print("in memory (SimulatedPrinterLink)",
          measure(rounds,
                  [&] {
                      SimulatedPrinter printer(report);
                      SimulatedPrinterLink link(printer);
                      return session(link, stored);
                  }),
          stored);

    for (const std::uint16_t packet : {std::uint16_t{64}, std::uint16_t{512}}) {
        usb_emulation::UsbTestbed bed;
        usb_emulation::DeviceSetup setup;
        setup.max_packet_size = packet;
        usb_emulation::EmulatedUsbPrinter& device = bed.add(setup, SimulatedPrinter(report));
        const std::string name = "emulated USB, " + std::to_string(packet) + "-byte packets";
        // One printer answers many sessions: each reading is a start-to-stop exchange.
        LibusbPrinterLink link;
        if (!link.open()) {
            std::fprintf(stderr, "%s\n", link.failure_text().c_str());
            return 1;
        }
        print(
            name + ", session", rounds, [&] { return session(link, stored); }, device);
        link.close();
        print(
            name + ", open+session+close", rounds,
            [&] { return link.open() && session(link, stored) && (link.close(), true); }, device);
    }
    return 0;
}
