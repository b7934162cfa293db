// The libusb printer link against USB printers emulated under umockdev: every session here is
// the real ReportSession over the real link, with libusb talking usbfs to an emulated device node.

// clang-format off
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
// clang-format on

#include "link/libusb_printer_link.h"

#include <gtest/gtest.h>
#include <libusb.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "link/report_session.h"
#include "report/report_text.h"
#include "sim/emulated_usb_printer.h"
#include "sim/simulated_printer.h"
#include "tests/usb/usb_test_support.h"

namespace {

using namespace usb_emulation;
using Clock = std::chrono::steady_clock;

struct SessionResult {
    bool ok = false;
    std::string report;
    UsbFailure failure = UsbFailure::None;  // of the session's last call (the stop's answer)
    std::string failure_text;
    UsbFailure first_failure = UsbFailure::None;  // of the first call that failed
    std::string first_failure_text;
    long long elapsed_ms = 0;
};

// Passes the session's calls on, and keeps what the link said of the first one that failed.
class FirstFailure : public SessionLink {
public:
    FirstFailure(LibusbPrinterLink& link, SessionResult& result) : link_(link), result_(result) {}
    bool write(const char* bytes, std::size_t count) override {
        return noted(link_.write(bytes, count));
    }
    bool read(char* buffer, std::size_t count, std::size_t& received) override {
        return noted(link_.read(buffer, count, received));
    }

private:
    bool noted(bool ok) {
        if (!ok && result_.first_failure == UsbFailure::None) {
            result_.first_failure = link_.failure();
            result_.first_failure_text = link_.failure_text();
        }
        return ok;
    }
    LibusbPrinterLink& link_;
    SessionResult& result_;
};

// One whole session over `link`, timed, with what the link said at its end.
SessionResult run_session(LibusbPrinterLink& link) {
    std::vector<char> buffer(kReportBufferSize);
    std::size_t length = 0;
    const Clock::time_point start = Clock::now();
    SessionResult result;
    FirstFailure calls(link, result);
    result.ok = ReportSession::run(calls, buffer.data(), buffer.size(), length);
    result.elapsed_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    result.report.assign(buffer.data(), length);
    result.failure = link.failure();
    result.failure_text = link.failure_text();
    return result;
}

// What the host stores of a report the printer cut into chunks of `chunk_size`: each chunk and a
// CR.
std::string stored(const std::string& report, std::size_t chunk_size) {
    std::string text;
    for (const std::string& chunk : cut_into_chunks(report, chunk_size)) text += chunk + '\r';
    return text;
}

// What a session stores from a copy of `printer` over the in-memory link: the USB path must
// store the same.
std::string in_memory_reading(SimulatedPrinter printer) {
    SimulatedPrinterLink link(printer);
    std::vector<char> buffer(kReportBufferSize);
    std::size_t length = 0;
    const bool ok = ReportSession::run(link, buffer.data(), buffer.size(), length);
    return ok ? std::string(buffer.data(), length) : "(the in-memory reading failed)";
}

// A report of other text than the sample, so that two printers can be told apart.
std::string other_report() {
    std::string text;
    for (int i = 0; i < 40; ++i) text += "Line " + std::to_string(i) + ": second printer\r";
    return text;
}

// The first whole lines of the sample report, up to about `size` bytes.
std::string sample_prefix(std::size_t size) {
    const std::string& sample = sample_report();
    const std::size_t end = sample.rfind('\r', size);
    return sample.substr(0, end + 1);
}

// A printer of vendor 0x413C has no quirks: nothing but the session and the drain touches what
// it still has queued (SOFT_RESET, which a 04e8 printer gets, would drop it).
constexpr std::uint16_t kVendorWithoutQuirks = 0x413C;

DeviceSetup printer_at(const std::string& port, std::uint8_t address,
                       std::uint16_t vendor = 0x04E8) {
    DeviceSetup setup;
    setup.port_path = port;
    setup.address = address;
    setup.vendor_id = vendor;
    return setup;
}

// Test names from a table's `name` column.
struct CaseName {
    template <class Case>
    std::string operator()(const testing::TestParamInfo<Case>& param) const {
        return param.param.name;
    }
};
constexpr CaseName case_name;

class UsbLinkTest : public testing::Test {
protected:
    // What a test sets, as Ctrl+C would, to stop the links made with it.
    std::atomic<bool> stop{false};
    UsbTestbed bed;
};

// ---- Whole readings ----

struct ReadingCase {
    const char* name;
    std::uint16_t packet_size;
    PrinterFault fault = PrinterFault::None;
    std::string report = sample_report();
    std::size_t chunk_size = 1000;
    bool bidirectional_on_alternate_1 = false;
    std::function<void(DeviceSetup&)> device = {};  // how the device differs from a kind one
    std::vector<std::string> chunks = {};           // sent instead of the report's, when given
    int interface_used = 0;                         // the interface the session must go through
    // Halts cleared on the OUT and IN endpoints: only where there is one (clearing a healthy
    // endpoint resets its data toggle), or where the device does not say.
    int out_clears = 0;
    int in_clears = 0;
    // Bulk IN requests are counted: the opening's one, the acknowledgement, two a chunk (its
    // header, then all its text at once), the end marker and the stop's answer.
    bool two_requests_a_chunk = false;
};

// Printer interfaces of other protocols listed before the one that carries a session.
void other_protocols_first(DeviceSetup& s, std::uint8_t last_protocol) {
    s.interfaces = {EmulatedInterface{0, 0, kPrinterClass, 4, {0x01, 0x82}},
                    EmulatedInterface{1, 0, kPrinterClass, 3, {0x03, 0x84}},
                    EmulatedInterface{2, 0, kPrinterClass, last_protocol, {0x05, 0x86}}};
}

void without_zero_length_packets(DeviceSetup& s) { s.zero_length_packets = false; }

std::vector<ReadingCase> reading_cases() {
    return {
        {.name = "SampleFullSpeed", .packet_size = 64, .two_requests_a_chunk = true},
        {.name = "SampleHighSpeed", .packet_size = 512, .two_requests_a_chunk = true},
        // Header and chunk make 64 bytes: every reply fills whole packets and ends with a
        // zero-length packet.
        {"RepliesOfWholePackets", 64, PrinterFault::None, sample_prefix(3000), 52},
        {"WholeReportInOneTransfer", 512, PrinterFault::BackToBackReplies, sample_report(), 1000},
        {"ZeroLengthTransfersBetweenChunks", 64, PrinterFault::ZeroByteTransfers,
         sample_prefix(4000), 1000},
        {"ChunkLengthsOfZero", 64, PrinterFault::ZeroLengthChunk, sample_prefix(6000), 1000},
        {"BidirectionalOnAlternateSetting1", 64, PrinterFault::None, sample_prefix(5000), 1000,
         true},
        // No zero-length packet after a reply that fills whole packets: each read asks only for
        // the packets it needs, so it never waits for the end of a transfer.
        {.name = "NoZeroLengthPacketsWholeReportIn64Bytes",
         .packet_size = 64,
         .fault = PrinterFault::BackToBackReplies,
         .device = without_zero_length_packets,
         .chunks = {std::string(40, 'x')}},
        {.name = "NoZeroLengthPacketsWholeReportIn512Bytes",
         .packet_size = 512,
         .fault = PrinterFault::BackToBackReplies,
         .device = without_zero_length_packets,
         .chunks = {std::string(488, 'x')}},
        {.name = "NoZeroLengthPacketsAt8BytePackets",
         .packet_size = 8,
         .device = without_zero_length_packets,
         .chunks = {"abcd", "0123456789AB", "", "Model Name: LP-3020"}},
        {.name = "EndpointsHaltedWhenOpened",
         .packet_size = 64,
         .report = sample_prefix(3000),
         .device =
             [](DeviceSetup& s) {
                 s.halted = {kBulkOut, kBulkIn};
             },
         .out_clears = 1,
         .in_clears = 1},
        {.name = "InEndpointHaltedWhenOpened",
         .packet_size = 64,
         .report = sample_prefix(3000),
         .device = [](DeviceSetup& s) { s.halted = {kBulkIn}; },
         .in_clears = 1},
        {.name = "EndpointStatusRefused",
         .packet_size = 64,
         .report = sample_prefix(3000),
         .device = [](DeviceSetup& s) { s.endpoint_status = EndpointStatus::Stalled; },
         .out_clears = 1,
         .in_clears = 1},
        {.name = "EndpointStatusNeverAnsweredAndHalted",
         .packet_size = 64,
         .report = sample_prefix(3000),
         .device =
             [](DeviceSetup& s) {
                 s.endpoint_status = EndpointStatus::NeverAnswered;
                 s.halted = {kBulkOut, kBulkIn};
             },
         .out_clears = 1,
         .in_clears = 1},
        {.name = "IppAndIeee1284_4InterfacesListedBeforeTheBidirectionalOne",
         .packet_size = 512,
         .report = sample_prefix(3000),
         .device = [](DeviceSetup& s) { other_protocols_first(s, 2); },
         .interface_used = 2},
        {.name = "AnotherPrinterProtocolWhenNoneIsBidirectional",
         .packet_size = 512,
         .report = sample_prefix(3000),
         .device = [](DeviceSetup& s) { other_protocols_first(s, 1); },
         .interface_used = 2},
        {.name = "BidirectionalPreferredToAnEarlierUnidirectionalOne",
         .packet_size = 64,
         .report = sample_prefix(3000),
         .device =
             [](DeviceSetup& s) {
                 s.interfaces = {EmulatedInterface{0, 0, kPrinterClass, 1, {0x01, 0x82}},
                                 EmulatedInterface{1, 0, kPrinterClass, 2, {0x03, 0x84}}};
             },
         .interface_used = 1},
    };
}

class WholeReading : public UsbLinkTest, public testing::WithParamInterface<ReadingCase> {};

TEST_P(WholeReading, StoresWhatThePrinterSentAndStopsIt) {
    const ReadingCase& c = GetParam();
    DeviceSetup setup = printer_at("1-1", 2);
    setup.max_packet_size = c.packet_size;
    if (c.bidirectional_on_alternate_1) {
        setup.interfaces = {EmulatedInterface{0, 0, kPrinterClass, 1, {kBulkOut}},
                            EmulatedInterface{0, 1, kPrinterClass, 2, {kBulkOut, kBulkIn}}};
    }
    if (c.device) c.device(setup);
    SimulatedPrinter printer(c.report, c.fault);
    printer.set_chunk_size(c.chunk_size);
    if (!c.chunks.empty()) printer.set_chunks(c.chunks);
    const std::string in_memory = in_memory_reading(printer);
    EmulatedUsbPrinter& device = bed.add(setup, std::move(printer));

    LibusbPrinterLink link;
    const Clock::time_point opening = Clock::now();
    ASSERT_TRUE(link.open()) << link.failure_text();
    const auto opened = Clock::now() - opening;
    const SessionResult result = run_session(link);

    EXPECT_TRUE(result.ok) << result.first_failure_text << " after " << result.elapsed_ms << " ms";
    EXPECT_EQ(result.report, in_memory);
    // A printer that leaves a status request unanswered is not asked a second time.
    EXPECT_LT(opened, std::chrono::milliseconds(LibusbPrinterLink::kStatusTimeoutMs + 400));
    if (c.fault == PrinterFault::None && c.chunks.empty()) {
        EXPECT_EQ(result.report, stored(c.report, c.chunk_size));
    }
    EXPECT_TRUE(device.stop_received());
    EXPECT_EQ(result.failure, UsbFailure::None);
    EXPECT_EQ(link.printer().interface_number, c.interface_used);
    EXPECT_FALSE(device.halted(kBulkIn) || device.halted(kBulkOut));
    // In every case the session goes through the last interface listed.
    const std::uint8_t out_endpoint = setup.interfaces.back().endpoints[0];
    const std::uint8_t in_endpoint = setup.interfaces.back().endpoints[1];
    EXPECT_EQ(device.clears(out_endpoint), c.out_clears);
    EXPECT_EQ(device.clears(in_endpoint), c.in_clears);
    // Every bulk IN request is whole packets.
    EXPECT_EQ(device.largest_in_urb() % c.packet_size, 0u);
    if (c.two_requests_a_chunk) {
        EXPECT_EQ(device.in_urbs(), 4 + 2 * cut_into_chunks(c.report, c.chunk_size).size());
    }
    if (c.bidirectional_on_alternate_1) {
        EXPECT_EQ(device.selected_alternate(), std::optional<std::uint8_t>(1));
    }
}

INSTANTIATE_TEST_SUITE_P(EmulatedPrinter, WholeReading, testing::ValuesIn(reading_cases()),
                         case_name);

// ---- More in one packet than the session asks for ----

struct PacketCase {
    const char* name;
    std::uint16_t packet_size;
    std::size_t chunk_length;  // header and chunk together fit in one packet
};

class OnePacketHeaderAndChunk : public UsbLinkTest,
                                public testing::WithParamInterface<PacketCase> {};

TEST_P(OnePacketHeaderAndChunk, SessionAsksTwelveBytesGetsThemAndTheChunkFromTheLinksBuffer) {
    const PacketCase& c = GetParam();
    DeviceSetup setup = printer_at("1-1", 2);
    setup.max_packet_size = c.packet_size;
    const std::string chunk(c.chunk_length, 'x');
    SimulatedPrinter printer;
    printer.set_chunks({chunk, "Second chunk"});
    bed.add(setup, std::move(printer));

    LibusbPrinterLink link;
    ASSERT_TRUE(link.open()) << link.failure_text();
    const SessionResult result = run_session(link);

    EXPECT_TRUE(result.ok) << result.failure_text;
    EXPECT_EQ(result.report, chunk + "\rSecond chunk\r");
}

INSTANTIATE_TEST_SUITE_P(EmulatedPrinter, OnePacketHeaderAndChunk,
                         testing::Values(PacketCase{"FullSpeed", 64, 40},
                                         PacketCase{"HighSpeed", 512, 500}),
                         case_name);

// The reason for the link's own buffer: a bulk IN request for exactly the 12 header bytes meets
// a 52-byte packet, and the device (as a real host controller reports it) overflows.
TEST_F(UsbLinkTest, ARequestForExactlyTwelveBytes_OverflowsOnAPacketCarryingHeaderAndChunk) {
    SimulatedPrinter printer;
    printer.set_chunks({std::string(40, 'x')});
    bed.add(printer_at("1-1", 2), std::move(printer));
    libusb_context* context = nullptr;
    ASSERT_EQ(libusb_init(&context), 0);
    libusb_device_handle* handle = libusb_open_device_with_vid_pid(context, 0x04E8, 0x3301);
    ASSERT_NE(handle, nullptr);
    libusb_detach_kernel_driver(handle, 0);
    ASSERT_EQ(libusb_claim_interface(handle, 0), 0);
    const auto exchange = [&](std::string command, int asked, int& received) {
        received = 0;
        libusb_bulk_transfer(handle, kBulkOut, reinterpret_cast<unsigned char*>(command.data()),
                             static_cast<int>(command.size()), &received, 1000);
        unsigned char answer[512];
        return libusb_bulk_transfer(handle, kBulkIn, answer, asked, &received, 1000);
    };
    int received = 0;
    EXPECT_EQ(exchange(std::string(session_command::kStart), 64, received), 0);
    EXPECT_EQ(received, 8);
    EXPECT_EQ(exchange(std::string(session_command::kSystemDataRequest), 12, received),
              LIBUSB_ERROR_OVERFLOW);
    libusb_release_interface(handle, 0);
    libusb_close(handle);
    libusb_exit(context);
}

// ---- Failures during a session ----

TEST_F(UsbLinkTest, SilentPrinter_ReadTimesOutAfterAboutThreeSeconds) {
    EmulatedUsbPrinter& device =
        bed.add(printer_at("1-1", 2), SimulatedPrinter(sample_report(), PrinterFault::Silence));
    LibusbPrinterLink link;
    ASSERT_TRUE(link.open()) << link.failure_text();
    const SessionResult result = run_session(link);

    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.failure, UsbFailure::TimedOut) << result.failure_text;
    EXPECT_GE(result.elapsed_ms, 2900);
    EXPECT_LT(result.elapsed_ms, 4000);
    EXPECT_EQ(device.host_wrote(), std::string(session_command::kStart));
}

TEST_F(UsbLinkTest, PrinterUnpluggedInTheMiddleOfAChunk_IsDeviceGoneAtOnce) {
    EmulatedUsbPrinter& device = bed.add(
        printer_at("1-1", 2), SimulatedPrinter(sample_report(), PrinterFault::DisconnectMidChunk));
    LibusbPrinterLink link;
    ASSERT_TRUE(link.open()) << link.failure_text();
    const SessionResult result = run_session(link);

    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(device.gone());
    EXPECT_EQ(result.failure, UsbFailure::DeviceGone) << result.failure_text;
    EXPECT_LT(result.elapsed_ms, 1000);
    // Nothing more reaches a printer that is gone, and nothing more is read from it.
    char byte = 0;
    std::size_t received = 0;
    EXPECT_FALSE(link.write("x", 1));
    EXPECT_EQ(link.failure(), UsbFailure::DeviceGone);
    EXPECT_FALSE(link.read(&byte, 1, received));
    EXPECT_EQ(link.failure(), UsbFailure::DeviceGone);
}

// Runs `call` on a thread of its own. One that has not returned within `bound` ends the test
// program, failed: it would hold the whole run until its time-out.
template <class Call>
auto within(std::chrono::milliseconds bound, Call call) {
    auto result = std::async(std::launch::async, std::move(call));
    if (result.wait_for(bound) != std::future_status::ready) {
        ADD_FAILURE() << "the call did not return within " << bound.count() << " ms";
        std::fflush(stdout);
        std::_Exit(1);
    }
    return result.get();
}

// libusb's event handling fails each time (a reap that fails with EIO): the write gives up once
// its time-out and the time for a cancelled transfer to come back have passed, the link fails
// what follows at once, and closing still gives the printer back to its kernel driver.
TEST_F(UsbLinkTest, EventHandlingThatKeepsFailing_TheWriteGivesUpWithinItsBound) {
    DeviceSetup setup = printer_at("1-1", 2);
    setup.reap_errno_once_written = EIO;
    EmulatedUsbPrinter& device = bed.add(setup);
    {
        LibusbPrinterLink link;
        ASSERT_TRUE(link.open()) << link.failure_text();
        const std::string start(session_command::kStart);
        const Clock::time_point begin = Clock::now();
        const bool wrote = within(std::chrono::seconds(20),
                                  [&] { return link.write(start.data(), start.size()); });
        const auto elapsed = Clock::now() - begin;
        EXPECT_FALSE(wrote);
        EXPECT_EQ(link.failure(), UsbFailure::Io);
        EXPECT_NE(link.failure_text().find("LIBUSB_ERROR_IO"), std::string::npos)
            << link.failure_text();
        EXPECT_LT(elapsed, std::chrono::milliseconds(LibusbPrinterLink::kWriteTimeoutMs +
                                                     LibusbPrinterLink::kCancelWaitMs + 500));
        char byte = 0;
        std::size_t received = 0;
        const Clock::time_point again = Clock::now();
        EXPECT_FALSE(link.read(&byte, 1, received));
        EXPECT_EQ(link.failure(), UsbFailure::Io);
        EXPECT_LT(Clock::now() - again, std::chrono::milliseconds(100));
        // The printer (04e8: soft-reset) is sent no SOFT_RESET over a link whose transfers do
        // not come back: libusb's own call would wait for it for ever.
        within(std::chrono::seconds(5), [&] {
            link.close();
            return true;
        });
        EXPECT_TRUE(device.class_requests().empty());
    }
    EXPECT_EQ(device.driver(), "usblp");
}

// A printer that takes half of the request and NAKs the rest: the write gives up after about
// three seconds, and the half that went out went out once.
TEST_F(UsbLinkTest, PrinterThatStopsTakingData_WriteTimesOutAfterAboutThreeSeconds) {
    EmulatedUsbPrinter& device = bed.add(
        printer_at("1-1", 2), SimulatedPrinter(sample_report(), PrinterFault::PartialWrite));
    LibusbPrinterLink link;
    ASSERT_TRUE(link.open()) << link.failure_text();
    const std::string start(session_command::kStart);
    const std::string request(session_command::kSystemDataRequest);
    char acknowledgement[8];
    std::size_t received = 0;
    ASSERT_TRUE(link.write(start.data(), start.size()));
    ASSERT_TRUE(link.read(acknowledgement, sizeof acknowledgement, received));

    const Clock::time_point begin = Clock::now();
    EXPECT_FALSE(link.write(request.data(), request.size()));
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count();

    EXPECT_EQ(link.failure(), UsbFailure::TimedOut) << link.failure_text();
    EXPECT_GE(elapsed, 2900);
    EXPECT_LT(elapsed, 4000);
    EXPECT_EQ(device.host_wrote(), start + request.substr(0, request.size() / 2));
}

// A read asks for 12 bytes at 8-byte packets: two packets. The printer sends the 8 of its
// acknowledgement and no zero-length packet, so the transfer runs into its time-out; usbfs and
// libusb still report the 8 bytes, and the next read gets them at once.
TEST_F(UsbLinkTest, ATransferCutByItsTimeOut_LeavesWhatHadArrivedForTheNextRead) {
    DeviceSetup setup = printer_at("1-1", 2);
    setup.max_packet_size = 8;
    setup.zero_length_packets = false;
    bed.add(setup);
    LibusbPrinterLink link;
    ASSERT_TRUE(link.open()) << link.failure_text();
    const std::string start(session_command::kStart);
    ASSERT_TRUE(link.write(start.data(), start.size()));
    char bytes[12];
    std::size_t received = 0;
    EXPECT_FALSE(link.read(bytes, 12, received));
    EXPECT_EQ(link.failure(), UsbFailure::TimedOut);

    const Clock::time_point begin = Clock::now();
    ASSERT_TRUE(link.read(bytes, 8, received)) << link.failure_text();
    EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(100));
    EXPECT_EQ(std::string(bytes, received), session_command::kAcknowledgement);
}

// A halted endpoint: the reading that meets the halt fails, and the next one gets exactly the
// report. After a halt on a read the printer still holds the rest of its answer: the next
// opening must not take it for the next session's.
struct HaltCase {
    const char* name;
    std::function<void(DeviceSetup&)> halt;
    bool reopen;     // the next reading opens the device again (else it goes over the same link)
    int out_clears;  // halts cleared: the one met, at once, and none on a healthy endpoint
    int in_clears;
};

class EndpointHalt : public UsbLinkTest, public testing::WithParamInterface<HaltCase> {};

TEST_P(EndpointHalt, FailsThatReadingAndTheNextOneGetsExactlyTheReport) {
    DeviceSetup setup = printer_at("1-1", 2, kVendorWithoutQuirks);
    GetParam().halt(setup);
    EmulatedUsbPrinter& device = bed.add(setup);
    auto link = std::make_unique<LibusbPrinterLink>();
    ASSERT_TRUE(link->open()) << link->failure_text();
    const SessionResult halted = run_session(*link);
    // The endpoint that met the halt is cleared at once: before any opening would clear it.
    EXPECT_FALSE(device.halted(kBulkIn) || device.halted(kBulkOut));
    if (GetParam().reopen) {
        link = std::make_unique<LibusbPrinterLink>();
        ASSERT_TRUE(link->open()) << link->failure_text();
    }
    const SessionResult next = run_session(*link);

    EXPECT_FALSE(halted.ok);
    EXPECT_EQ(halted.first_failure, UsbFailure::Io);
    EXPECT_TRUE(next.ok) << next.first_failure_text << " after " << next.elapsed_ms << " ms";
    EXPECT_TRUE(next.report == stored(sample_report(), 1000)) << next.report.size() << " bytes";
    EXPECT_FALSE(device.halted(kBulkIn) || device.halted(kBulkOut));
    EXPECT_EQ(device.clears(kBulkOut), GetParam().out_clears);
    EXPECT_EQ(device.clears(kBulkIn), GetParam().in_clears);
}

INSTANTIATE_TEST_SUITE_P(
    EmulatedPrinter, EndpointHalt,
    testing::Values(HaltCase{"OnTheFirstWrite", [](DeviceSetup& s) { s.stall_first_write = true; },
                             false, 1, 0},
                    HaltCase{"OnAReadInTheFirstChunk",
                             [](DeviceSetup& s) { s.stall_in_after_bytes = 8 + 12 + 500; }, true, 0,
                             1}),
    case_name);

// Ctrl+C in the middle of a report that the printer goes on sending, with pauses between its
// chunks from our emulation's 10 ms to 25 times that: the stop still goes out and its answer is
// waited for a moment; the next opening finds the rest of the old report coming and waits it
// out, however long the pauses, so that the next session gets its own answers. The reports are
// cut so that what is left of them comes within the opening's bound of 2 s.
struct StreamCase {
    const char* name;
    unsigned pause_ms;
    std::size_t chunk_size;
};

class InterruptedStream : public UsbLinkTest, public testing::WithParamInterface<StreamCase> {};

TEST_P(InterruptedStream, TheNextOpeningWaitsOutTheRestAndTheNextReadingGetsExactlyTheReport) {
    const StreamCase& c = GetParam();
    SimulatedPrinter printer(sample_report());
    printer.set_chunk_delay_ms(c.pause_ms);
    printer.set_chunk_size(c.chunk_size);
    EmulatedUsbPrinter& device =
        bed.add(printer_at("1-1", 2, kVendorWithoutQuirks), std::move(printer));
    SessionResult interrupted;
    {
        LibusbPrinterLink link(&stop);
        ASSERT_TRUE(link.open()) << link.failure_text();
        std::thread presser([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            stop = true;
        });
        interrupted = run_session(link);
        presser.join();
    }
    EXPECT_FALSE(interrupted.ok);
    EXPECT_EQ(interrupted.first_failure, UsbFailure::Interrupted);
    EXPECT_LT(interrupted.elapsed_ms, 60 + 3 * LibusbPrinterLink::kInterruptCheckMs +
                                          2 * LibusbPrinterLink::kStopAnswerWaitMs);
    EXPECT_TRUE(device.stop_received());
    ASSERT_GT(device.replies_queued(), 0u) << "the printer was to be still sending";

    LibusbPrinterLink link;
    const Clock::time_point opening = Clock::now();
    ASSERT_TRUE(link.open()) << link.failure_text();
    EXPECT_LT(Clock::now() - opening,
              std::chrono::milliseconds(LibusbPrinterLink::kDrainMaxMs + 500));
    EXPECT_FALSE(link.still_sending_at_open()) << link.dropped_at_open() << " bytes dropped";
    EXPECT_GT(link.dropped_at_open(), 0u);
    const SessionResult next = run_session(link);
    EXPECT_TRUE(next.ok) << next.first_failure_text << " after " << next.elapsed_ms << " ms";
    EXPECT_TRUE(next.report == stored(sample_report(), c.chunk_size))
        << next.report.size() << " bytes";
}

// A printer whose rest outlasts the opening's drain (22 chunks, 150 ms apart): the opening says
// it found the printer still sending, which is what the session that follows then fails on.
TEST_F(UsbLinkTest, InterruptedStreamLongerThanTheDrain_TheOpeningSaysThePrinterWasStillSending) {
    SimulatedPrinter printer(sample_report());
    printer.set_chunk_delay_ms(150);
    bed.add(printer_at("1-1", 2, kVendorWithoutQuirks), std::move(printer));
    {
        LibusbPrinterLink link(&stop);
        ASSERT_TRUE(link.open()) << link.failure_text();
        EXPECT_FALSE(link.still_sending_at_open());
        EXPECT_EQ(link.dropped_at_open(), 0u);
        std::thread presser([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            stop = true;
        });
        run_session(link);
        presser.join();
    }
    LibusbPrinterLink link;
    ASSERT_TRUE(link.open()) << link.failure_text();
    EXPECT_TRUE(link.still_sending_at_open()) << link.dropped_at_open() << " bytes dropped";
    EXPECT_GT(link.dropped_at_open(), 0u);
}

INSTANTIATE_TEST_SUITE_P(StreamingPrinter, InterruptedStream,
                         testing::Values(StreamCase{"Pauses10Ms", 10, 1000},
                                         StreamCase{"Pauses40Ms", 40, 1000},
                                         StreamCase{"Pauses100Ms", 100, 2000},
                                         StreamCase{"Pauses250Ms", 250, 5000}),
                         case_name);

// Ctrl+C while a read waits: the session unwinds within the check interval, and the link gives
// the interface back. (The companion's own signal handling is tried in cli_usb_test.cpp.)
TEST_F(UsbLinkTest, StoppedWhileAReadWaits_EndsTheSessionPromptlyAndTheInterfaceIsGivenBack) {
    EmulatedUsbPrinter& device =
        bed.add(printer_at("1-1", 2), SimulatedPrinter(sample_report(), PrinterFault::Silence));
    SessionResult result;
    {
        LibusbPrinterLink link(&stop);
        ASSERT_TRUE(link.open()) << link.failure_text();
        std::thread presser([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            stop = true;
        });
        result = run_session(link);
        presser.join();
        EXPECT_EQ(device.driver(), "usbfs");
    }
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.failure, UsbFailure::Interrupted) << result.failure_text;
    EXPECT_GE(result.elapsed_ms, 300);
    EXPECT_LT(result.elapsed_ms, 300 + 3 * LibusbPrinterLink::kInterruptCheckMs);
    EXPECT_EQ(device.driver(), "usblp");
}

// Ctrl+C while open() drops what a printer left streaming from an earlier session: the opening
// fails as interrupted, no byte goes to the printer (no start of a session that no stop would
// end), and the printer has its kernel driver back. A start is not sent after an interrupt
// either when the interrupt came between the opening and the session.
TEST_F(UsbLinkTest, InterruptWhileOpeningDrainsAStreamingPrinter_OpenFailsAndNothingIsSent) {
    SimulatedPrinter printer(sample_report());
    printer.set_chunk_size(100);
    printer.set_chunk_delay_ms(20);  // over a second of report, never 30 ms quiet
    EmulatedUsbPrinter& device =
        bed.add(printer_at("1-1", 2, kVendorWithoutQuirks), std::move(printer));
    {
        LibusbPrinterLink earlier;  // starts a reading and leaves without reading a byte
        ASSERT_TRUE(earlier.open()) << earlier.failure_text();
        const std::string start(session_command::kStart);
        const std::string request(session_command::kSystemDataRequest);
        ASSERT_TRUE(earlier.write(start.data(), start.size()));
        ASSERT_TRUE(earlier.write(request.data(), request.size()));
    }
    const std::string wrote_before = device.host_wrote();
    LibusbPrinterLink link(&stop);
    std::thread presser([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop = true;
    });
    const Clock::time_point begin = Clock::now();
    const bool opened = link.open();
    const auto elapsed = Clock::now() - begin;
    presser.join();

    EXPECT_FALSE(opened);
    EXPECT_EQ(link.failure(), UsbFailure::Interrupted) << link.failure_text();
    EXPECT_FALSE(link.is_open());
    EXPECT_LT(elapsed, std::chrono::milliseconds(200 + 3 * LibusbPrinterLink::kInterruptCheckMs));
    EXPECT_GT(device.replies_queued(), 0u) << "the printer was to be still sending";
    EXPECT_EQ(device.host_wrote(), wrote_before);
    EXPECT_EQ(device.driver(), "usblp");
}

// After Ctrl+C, the stop's answer is what the printer sends after the stop: report bytes the link
// still holds from before it (here the start of a chunk, which came in the packet of its header)
// are not taken for the answer, which would leave the real one for the next opening.
TEST_F(UsbLinkTest, StoppedWithReportBytesBuffered_TheStopsAnswerIsReadNotThem) {
    DeviceSetup setup = printer_at("1-1", 2);
    setup.stop_ends_report = true;
    EmulatedUsbPrinter& device = bed.add(setup);
    LibusbPrinterLink link(&stop);
    ASSERT_TRUE(link.open()) << link.failure_text();
    const auto write = [&link](std::string_view command) {
        return link.write(command.data(), command.size());
    };
    char bytes[ChunkHeader::kSize];
    std::size_t received = 0;
    ASSERT_TRUE(write(session_command::kStart));
    ASSERT_TRUE(link.read(bytes, session_command::kAcknowledgement.size(), received));
    ASSERT_TRUE(write(session_command::kSystemDataRequest));
    ASSERT_TRUE(link.read(bytes, ChunkHeader::kSize, received));

    stop = true;
    EXPECT_TRUE(write(session_command::kStop)) << link.failure_text();
    EXPECT_FALSE(link.read(bytes, session_command::kStopAnswerSize, received));
    EXPECT_EQ(link.failure(), UsbFailure::Interrupted);
    EXPECT_EQ(std::string(bytes, received), session_command::kAcknowledgement);
    EXPECT_EQ(device.replies_queued(), 0u);
}

TEST_F(UsbLinkTest, InterruptAfterOpeningBeforeTheSession_TheStartIsNotSent) {
    EmulatedUsbPrinter& device = bed.add(printer_at("1-1", 2));
    LibusbPrinterLink link(&stop);
    ASSERT_TRUE(link.open()) << link.failure_text();
    stop = true;
    const SessionResult result = run_session(link);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.first_failure, UsbFailure::Interrupted) << result.first_failure_text;
    link.close();
    EXPECT_EQ(device.host_wrote(), "");
    EXPECT_TRUE(device.class_requests().empty()) << "no SOFT_RESET (04e8) where no session began";
}

// ---- The kernel's printer driver ----

struct DriverCase {
    const char* name;
    PrinterFault fault;
    bool session_succeeds;
};

class KernelDriver : public UsbLinkTest, public testing::WithParamInterface<DriverCase> {};

TEST_P(KernelDriver, IsDetachedForTheSessionAndBoundAgainWhenTheLinkGoes) {
    EmulatedUsbPrinter& device =
        bed.add(printer_at("1-1", 2), SimulatedPrinter(sample_report(), GetParam().fault));
    ASSERT_EQ(device.driver(), "usblp");
    {
        LibusbPrinterLink link;
        ASSERT_TRUE(link.open()) << link.failure_text();
        EXPECT_EQ(device.driver(), "usbfs");
        EXPECT_EQ(device.detaches(), 1);
        EXPECT_EQ(run_session(link).ok, GetParam().session_succeeds);
        EXPECT_EQ(device.attaches(), 0);
    }  // the destructor closes
    EXPECT_EQ(device.driver(), "usblp");
    EXPECT_EQ(device.attaches(), 1);
}

INSTANTIATE_TEST_SUITE_P(EmulatedPrinter, KernelDriver,
                         testing::Values(DriverCase{"AfterAReading", PrinterFault::None, true},
                                         DriverCase{"AfterAFailedReading", PrinterFault::ShortChunk,
                                                    false}),
                         case_name);

TEST_F(UsbLinkTest, NoKernelDriverBound_NothingIsDetachedOrBoundAfterwards) {
    DeviceSetup setup = printer_at("1-1", 2);
    setup.driver = "";
    EmulatedUsbPrinter& device = bed.add(setup);
    {
        LibusbPrinterLink link;
        ASSERT_TRUE(link.open()) << link.failure_text();
        EXPECT_TRUE(run_session(link).ok);
    }
    EXPECT_EQ(device.detaches(), 0);
    EXPECT_EQ(device.attaches(), 0);
    EXPECT_EQ(device.driver(), "");
}

// ---- What the printing system knows of a model: its quirks when the link gives it back ----

struct GiveBackCase {
    const char* name;
    std::uint16_t vendor;
    std::uint16_t product;
    std::vector<std::string> quirks;  // as open() finds them
    std::function<void(DeviceSetup&)> device = {};
    std::vector<std::uint8_t> soft_resets = {};  // bmRequestType of each SOFT_RESET, in order
    bool last_reset_accepted = false;
    std::string driver_after = "usblp";
    unsigned released_after_stop_ms = 0;  // at least
};

std::vector<GiveBackCase> give_back_cases() {
    return {
        {.name = "Vendor0924LeavesTheKernelDriverDetached",
         .vendor = 0x0924,
         .product = 0x4242,
         .quirks = {"no-reattach"},
         .driver_after = ""},
        {.name = "Product0924_3ce9LeavesTheKernelDriverDetached",
         .vendor = 0x0924,
         .product = 0x3CE9,
         .quirks = {"no-reattach"},
         .driver_after = ""},
        {.name = "Product03f0_0c17IsReleasedASecondAfterTheStop",
         .vendor = 0x03F0,
         .product = 0x0C17,
         .quirks = {"delay-close"},
         .released_after_stop_ms = LibusbPrinterLink::kDelayCloseMs},
        {.name = "Vendor04e8GetsSoftResetToOtherOnce",
         .vendor = 0x04E8,
         .product = 0x3301,
         .quirks = {"soft-reset"},
         .soft_resets = {0x23},
         .last_reset_accepted = true},
        {.name = "Vendor04e8RefusingOtherGetsSoftResetToItsInterface",
         .vendor = 0x04E8,
         .product = 0x3301,
         .quirks = {"soft-reset"},
         .device =
             [](DeviceSetup& s) {
                 s.soft_reset = SoftResetAnswer::ToInterfaceOnly;
                 other_protocols_first(s, 2);  // the session's interface is 2
             },
         .soft_resets = {0x23, 0x21},
         .last_reset_accepted = true},
        // A printer that lets the request run out is not asked again: the give-back stays
        // within kSoftResetTimeoutMs.
        {.name = "Vendor04e8NeverAnsweringSoftResetIsAskedOnce",
         .vendor = 0x04E8,
         .product = 0x3301,
         .quirks = {"soft-reset"},
         .device = [](DeviceSetup& s) { s.soft_reset = SoftResetAnswer::Never; },
         .soft_resets = {0x23}},
        {.name = "Product04e8_344fHasNoneOfItsVendorsQuirks",
         .vendor = 0x04E8,
         .product = 0x344F,
         .quirks = {"whitelist"}},
        {.name = "Product04e8_330fIsReadAsAnyOther",
         .vendor = 0x04E8,
         .product = 0x330F,
         .quirks = {"unidir"}},
        {.name = "Vendor413cHasNoQuirks", .vendor = 0x413C, .product = 0x3301, .quirks = {}},
    };
}

class GiveBack : public UsbLinkTest, public testing::WithParamInterface<GiveBackCase> {};

TEST_P(GiveBack, DoesWhatThePrintersQuirksAskAfterTheStop) {
    const GiveBackCase& c = GetParam();
    DeviceSetup setup = printer_at("1-1", 2, c.vendor);
    setup.product_id = c.product;
    if (c.device) c.device(setup);
    EmulatedUsbPrinter& device = bed.add(setup);
    LibusbPrinterLink link;
    ASSERT_TRUE(link.open()) << link.failure_text();
    EXPECT_EQ(link.printer().quirks, c.quirks);
    EXPECT_TRUE(run_session(link).ok);
    EXPECT_TRUE(device.class_requests().empty()) << "nothing but the session until the give-back";
    const Clock::time_point closing = Clock::now();
    link.close();
    const auto give_back = Clock::now() - closing;

    const std::optional<std::int64_t> stopped = device.stop_ms();
    const std::optional<std::int64_t> released = device.released_ms();
    ASSERT_TRUE(stopped && released);
    const std::vector<ClassRequest> requests = device.class_requests();
    ASSERT_EQ(requests.size(), c.soft_resets.size());
    for (std::size_t i = 0; i < requests.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(requests[i].request_type, c.soft_resets[i]);
        EXPECT_EQ(requests[i].request, 2) << "SOFT_RESET";
        EXPECT_EQ(requests[i].value, 0);
        EXPECT_EQ(requests[i].index, link.printer().interface_number);
        EXPECT_GE(requests[i].at_ms, *stopped);
        EXPECT_TRUE(requests[i].while_claimed) << "sent before the interface is released";
    }
    if (!requests.empty()) {
        EXPECT_EQ(requests.back().accepted, c.last_reset_accepted);
    }
    EXPECT_EQ(device.driver(), c.driver_after);
    EXPECT_EQ(device.attaches(), c.driver_after.empty() ? 0 : 1);
    EXPECT_GE(*released - *stopped, c.released_after_stop_ms);
    EXPECT_LT(give_back, std::chrono::milliseconds(c.released_after_stop_ms +
                                                   LibusbPrinterLink::kSoftResetTimeoutMs + 300));
}

INSTANTIATE_TEST_SUITE_P(PrintingSystemQuirks, GiveBack, testing::ValuesIn(give_back_cases()),
                         case_name);

// SOFT_RESET after Ctrl+C in the middle of a report the printer goes on sending: the printer
// drops the rest, and the next opening finds nothing of it.
TEST_F(UsbLinkTest, InterruptedReadingOfAStreaming04e8Printer_SoftResetDropsTheRestAfterTheStop) {
    SimulatedPrinter printer(sample_report());
    printer.set_chunk_delay_ms(10);
    EmulatedUsbPrinter& device = bed.add(printer_at("1-1", 2, 0x04E8), std::move(printer));
    {
        LibusbPrinterLink link(&stop);
        ASSERT_TRUE(link.open()) << link.failure_text();
        std::thread presser([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            stop = true;
        });
        EXPECT_EQ(run_session(link).first_failure, UsbFailure::Interrupted);
        presser.join();
        EXPECT_GT(device.replies_queued(), 0u) << "the printer was to be still sending";
    }
    const std::vector<ClassRequest> requests = device.class_requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].accepted);
    ASSERT_TRUE(device.stop_ms());
    EXPECT_GE(requests[0].at_ms, *device.stop_ms());
    EXPECT_EQ(device.replies_queued(), 0u);
    EXPECT_EQ(device.driver(), "usblp");
}

// Ctrl+C on a printer that needs a second before its interface is released: the give-back still
// waits it, and no more than it and the stop's answer.
TEST_F(UsbLinkTest, CtrlCOnA03f0_0c17Printer_TheGiveBackStillWaitsTheSecond) {
    DeviceSetup setup = printer_at("1-1", 2, 0x03F0);
    setup.product_id = 0x0C17;
    EmulatedUsbPrinter& device =
        bed.add(setup, SimulatedPrinter(sample_report(), PrinterFault::Silence));
    Clock::time_point begin;
    {
        LibusbPrinterLink link(&stop);
        ASSERT_TRUE(link.open()) << link.failure_text();
        std::thread presser([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            stop = true;
        });
        begin = Clock::now();
        EXPECT_EQ(run_session(link).failure, UsbFailure::Interrupted);
        presser.join();
    }
    const auto elapsed = Clock::now() - begin;
    ASSERT_TRUE(device.released_ms());
    EXPECT_EQ(device.driver(), "usblp");
    EXPECT_GE(elapsed, std::chrono::milliseconds(200 + LibusbPrinterLink::kDelayCloseMs));
    EXPECT_LT(elapsed, std::chrono::milliseconds(200 + 3 * LibusbPrinterLink::kInterruptCheckMs +
                                                 LibusbPrinterLink::kStopAnswerWaitMs +
                                                 LibusbPrinterLink::kDelayCloseMs));
}

// ---- Open failures ----

struct OpenFailureCase {
    const char* name;
    std::function<void(DeviceSetup&)> shape;
    std::string id;
    UsbFailure expected;
    std::string driver_after;  // what is bound once the failed open has undone its work
    int detaches;
};

std::vector<OpenFailureCase> open_failure_cases() {
    return {
        {"HeldByAnotherProgram", [](DeviceSetup& s) { s.driver = "usbfs"; }, "", UsbFailure::Busy,
         "usbfs", 0},
        {"TakenByAnotherProgramAfterTheDetach", [](DeviceSetup& s) { s.claim_errno = EBUSY; }, "",
         UsbFailure::Busy, "usblp", 1},
        {"NoBulkInEndpoint",
         [](DeviceSetup& s) {
             s.interfaces = {EmulatedInterface{0, 0, kPrinterClass, 1, {kBulkOut}}};
         },
         "", UsbFailure::NoBulkEndpoints, "usblp", 0},
        // wMaxPacketSize 0: no packet could ever be asked for.
        {"PacketSizeZero", [](DeviceSetup& s) { s.max_packet_size = 0; }, "",
         UsbFailure::NoBulkEndpoints, "usblp", 0},
        {"UnknownId", [](DeviceSetup&) {}, "9-9", UsbFailure::NoSuchDevice, "usblp", 0},
        {"UnknownAddress", [](DeviceSetup&) {}, "001:077", UsbFailure::NoSuchDevice, "usblp", 0},
        // IPP over USB and IEEE 1284.4 carry other protocols than the session's.
        {"OnlyIppAndIeee1284_4Interfaces",
         [](DeviceSetup& s) {
             s.interfaces = {EmulatedInterface{0, 0, kPrinterClass, 4, {0x01, 0x82}},
                             EmulatedInterface{1, 0, kPrinterClass, 3, {0x03, 0x84}}};
         },
         "", UsbFailure::NoBulkEndpoints, "usblp", 0},
    };
}

class OpenFailure : public UsbLinkTest, public testing::WithParamInterface<OpenFailureCase> {};

TEST_P(OpenFailure, SaysWhyAndLeavesTheDeviceAsItWas) {
    const OpenFailureCase& c = GetParam();
    DeviceSetup setup = printer_at("1-1", 2);
    c.shape(setup);
    EmulatedUsbPrinter& device = bed.add(setup);
    LibusbPrinterLink link;

    EXPECT_FALSE(link.open(c.id));
    EXPECT_EQ(link.failure(), c.expected) << link.failure_text();
    EXPECT_FALSE(link.failure_text().empty());
    EXPECT_FALSE(link.is_open());
    EXPECT_EQ(device.driver(), c.driver_after);
    EXPECT_EQ(device.detaches(), c.detaches);
    EXPECT_EQ(device.attaches(), c.detaches);
    EXPECT_EQ(device.host_wrote(), "");
}

INSTANTIATE_TEST_SUITE_P(EmulatedPrinter, OpenFailure, testing::ValuesIn(open_failure_cases()),
                         case_name);

TEST_F(UsbLinkTest, NoPrinterAttached_IsNoSuchDevice) {
    LibusbPrinterLink link;
    EXPECT_FALSE(link.open());
    EXPECT_EQ(link.failure(), UsbFailure::NoSuchDevice);
}

// The node's mode denies us, as it does an ordinary user without the udev rule: the kernel's own
// EACCES, which libusb reports as LIBUSB_ERROR_ACCESS. Listing still shows the printer, without
// its strings (reading them needs the node too).
TEST_F(UsbLinkTest, DeviceNodeNotAccessible_IsPermissionDeniedAndStillListed) {
    EmulatedUsbPrinter& device = bed.add(printer_at("1-1", 2));
    ASSERT_EQ(chmod(bed.node_file(device).c_str(), 0), 0);
    const usb_test::WithoutFileAccessOverride as_ordinary_user;

    LibusbPrinterLink link;
    EXPECT_FALSE(link.open());
    EXPECT_EQ(link.failure(), UsbFailure::PermissionDenied) << link.failure_text();
    std::vector<UsbPrinterInfo> printers;
    std::string text;
    ASSERT_TRUE(LibusbPrinterLink::list(printers, text)) << text;
    ASSERT_EQ(printers.size(), 1u);
    EXPECT_EQ(printers[0].id, "1-1");
    EXPECT_EQ(printers[0].product, "");
    EXPECT_EQ(device.driver(), "usblp");
}

// ---- Listing and choosing ----

struct ListedDevice {
    std::string id;
    std::uint16_t vendor;
    std::string product;
};

TEST_F(UsbLinkTest, Listing_ShowsPrintersOfTheFourVendorsOnly) {
    DeviceSetup vendor_specific = printer_at("1-1", 2, 0x04E8);
    vendor_specific.interfaces = {
        EmulatedInterface{0, 0, kVendorSpecificClass, 0, {kBulkOut, kBulkIn}}};
    bed.add(vendor_specific);
    bed.add(printer_at("1-2", 3, 0x1234));  // a printer of another maker
    DeviceSetup composite = printer_at("1-3", 4, 0x413C);
    composite.product = "Composite";
    composite.interfaces = {EmulatedInterface{0, 0, kVendorSpecificClass, 0, {0x03, 0x84}},
                            EmulatedInterface{1, 0, kPrinterClass, 2, {kBulkOut, kBulkIn}}};
    bed.add(composite);
    bed.add_hub("1-4", 5);
    DeviceSetup behind_hub = printer_at("1-4.2", 6, 0x0924);
    behind_hub.product = "Behind a hub";
    bed.add(behind_hub);
    DeviceSetup printer_only = printer_at("1-5", 7, 0x03F0);
    printer_only.product = "Plain";
    bed.add(printer_only);

    std::vector<UsbPrinterInfo> printers;
    std::string text;
    ASSERT_TRUE(LibusbPrinterLink::list(printers, text)) << text;
    std::vector<ListedDevice> listed;
    for (const UsbPrinterInfo& p : printers) listed.push_back({p.id, p.vendor_id, p.product});
    std::sort(listed.begin(), listed.end(),
              [](const auto& a, const auto& b) { return a.id < b.id; });
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0].id, "1-3");
    EXPECT_EQ(listed[0].vendor, 0x413C);
    EXPECT_EQ(listed[0].product, "Composite");
    EXPECT_EQ(listed[1].id, "1-4.2");
    EXPECT_EQ(listed[1].product, "Behind a hub");
    EXPECT_EQ(listed[2].id, "1-5");
    EXPECT_EQ(listed[2].vendor, 0x03F0);
}

TEST_F(UsbLinkTest, Listing_GivesTheStringsAndTheBusAddress) {
    bed.add(printer_at("1-1", 2));
    std::vector<UsbPrinterInfo> printers;
    std::string text;
    ASSERT_TRUE(LibusbPrinterLink::list(printers, text)) << text;
    ASSERT_EQ(printers.size(), 1u);
    EXPECT_EQ(printers[0].id, "1-1");
    EXPECT_EQ(printers[0].vendor_id, 0x04E8);
    EXPECT_EQ(printers[0].product_id, 0x3301);
    EXPECT_EQ(printers[0].bus, 1);
    EXPECT_EQ(printers[0].address, 2);
    EXPECT_EQ(printers[0].manufacturer, "Vellumo");
    EXPECT_EQ(printers[0].product, "LP-3020");
    EXPECT_EQ(printers[0].serial_number, "ZD4KB07S3C00421");
}

// Device strings are UTF-16: they come out as UTF-8, and no control character (C0, DEL, C1) nor
// a lone surrogate reaches a terminal; each becomes U+FFFD. A NUL ends a string.
TEST_F(UsbLinkTest, Listing_GivesDeviceStringsAsUtf8WithoutControlCharacters) {
    DeviceSetup setup = printer_at("1-1", 2);
    const std::string letters = "Drucker \xC3\x9C \xE5\x8D\xB0 \xF0\x9F\x96\xA8";  // Ü, 印, 🖨
    const std::string escape = "\x1B", del = "\x7F", csi = "\xC2\x9B";             // C0, DEL, C1
    const std::string lone_high = "\xED\xA0\x80", lone_low = "\xED\xBF\xBF";
    setup.manufacturer = letters;
    setup.product = "LP" + escape + "[2J" + del + csi + "31m";
    setup.serial = "A" + lone_high + "B" + lone_low + "C" + std::string(1, '\0') + "hidden";
    bed.add(setup);
    std::vector<UsbPrinterInfo> printers;
    std::string text;
    ASSERT_TRUE(LibusbPrinterLink::list(printers, text)) << text;
    ASSERT_EQ(printers.size(), 1u);
    const std::string replaced = "\xEF\xBF\xBD";
    EXPECT_EQ(printers[0].manufacturer, letters);
    EXPECT_EQ(printers[0].product, "LP" + replaced + "[2J" + replaced + replaced + "31m");
    EXPECT_EQ(printers[0].serial_number, "A" + replaced + "B" + replaced + "C");
}

// String descriptors whose length byte disagrees with what came: only the bytes the device both
// claimed and sent are read, whole UTF-16 units of them, and nothing of an earlier answer.
struct StringCase {
    const char* name;
    std::map<std::uint8_t, std::string> raw;  // by index: 0 the languages, 1-3 the texts
    std::string manufacturer = "Vellumo";
    std::string product = "LP-3020";
    std::string serial = "ZD4KB07S3C00421";
};

// A string descriptor: its length byte, its type, and what follows.
std::string string_bytes(std::size_t length, const std::string& rest, char type = 3) {
    return std::string{static_cast<char>(length), type} + rest;
}

// 255 bytes of the letter Ł (U+0141, no zero byte in it), the last one cut in half.
std::string buffer_filling_string() {
    std::string units;
    for (int i = 0; i < 127; ++i) units += "\x41\x01";
    return string_bytes(255, units.substr(0, 253));
}

std::string letters_l_stroke(std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += "\xC5\x81";
    return text;
}

std::vector<StringCase> string_cases() {
    return {
        {.name = "ProductOfLengthZero", .raw = {{2, string_bytes(0, "")}}, .product = ""},
        {.name = "ProductOfLengthOne", .raw = {{2, string_bytes(1, "")}}, .product = ""},
        {.name = "ProductOfOddLength",
         .raw = {{2, string_bytes(7, std::string("L\0P\0-", 5))}},
         .product = "LP"},
        {.name = "ProductClaimingMoreThanItSends",
         .raw = {{2, string_bytes(40, std::string("L\0P\0", 4))}},
         .product = "LP"},
        {.name = "ProductSendingMoreThanItClaims",
         .raw = {{2, string_bytes(6, std::string("L\0P\0-\0003\0", 8))}},
         .product = "LP"},
        {.name = "ProductNotAStringDescriptor",
         .raw = {{2, string_bytes(6, std::string("L\0P\0", 4), 2)}},
         .product = ""},
        // The reused buffer filled by the manufacturer, then a product of length 0: nothing of
        // the manufacturer's may show as the product, nor anything past the buffer be read.
        {.name = "ManufacturerFillingTheBufferThenProductOfLengthZero",
         .raw = {{1, buffer_filling_string()}, {2, string_bytes(0, "")}},
         .manufacturer = letters_l_stroke(126),
         .product = ""},
        // The list of languages claims 3 bytes: no whole language ID, so no string is asked for.
        {.name = "LanguagesClaimingHalfALanguage",
         .raw = {{0, string_bytes(3, "\x09\x04")}},
         .manufacturer = "",
         .product = "",
         .serial = ""},
        {.name = "LanguagesClaimingNone",
         .raw = {{0, string_bytes(2, "\x09\x04")}},
         .manufacturer = "",
         .product = "",
         .serial = ""},
    };
}

void PrintTo(const StringCase& c, std::ostream* os) { *os << c.name; }

class DeviceStrings : public UsbLinkTest, public testing::WithParamInterface<StringCase> {};

TEST_P(DeviceStrings, AreTheWholeUnitsTheDeviceClaimedAndSent) {
    DeviceSetup setup = printer_at("1-1", 2);
    setup.raw_strings = GetParam().raw;
    bed.add(setup);
    std::vector<UsbPrinterInfo> printers;
    std::string text;
    ASSERT_TRUE(LibusbPrinterLink::list(printers, text)) << text;
    ASSERT_EQ(printers.size(), 1u);
    EXPECT_EQ(printers[0].manufacturer, GetParam().manufacturer);
    EXPECT_EQ(printers[0].product, GetParam().product);
    EXPECT_EQ(printers[0].serial_number, GetParam().serial);
}

INSTANTIATE_TEST_SUITE_P(EmulatedPrinter, DeviceStrings, testing::ValuesIn(string_cases()),
                         case_name);

// ---- Configuration descriptors as devices get them wrong ----

// A configuration descriptor of one interface and the descriptors given, wTotalLength counted.
std::vector<std::uint8_t> configuration(const std::vector<std::vector<std::uint8_t>>& descriptors) {
    std::vector<std::uint8_t> bytes{9, 2, 0, 0, 1, 1, 0, 0xC0, 1};
    for (const auto& descriptor : descriptors)
        bytes.insert(bytes.end(), descriptor.begin(), descriptor.end());
    bytes[2] = static_cast<std::uint8_t>(bytes.size() & 0xFF);
    bytes[3] = static_cast<std::uint8_t>(bytes.size() >> 8);
    return bytes;
}

std::vector<std::uint8_t> printer_setting(std::uint8_t endpoints, std::uint8_t number = 0,
                                          std::uint8_t alternate = 0, std::uint8_t protocol = 2) {
    return {9, 4, number, alternate, endpoints, kPrinterClass, 1, protocol, 0};
}

const std::vector<std::uint8_t> kOut{7, 5, kBulkOut, 2, 64, 0, 0};
const std::vector<std::uint8_t> kIn{7, 5, kBulkIn, 2, 64, 0, 0};

std::vector<std::uint8_t> with_total_length(std::vector<std::uint8_t> bytes, std::uint16_t length) {
    bytes[2] = static_cast<std::uint8_t>(length & 0xFF);
    bytes[3] = static_cast<std::uint8_t>(length >> 8);
    return bytes;
}

struct ConfigurationCase {
    const char* name;
    std::vector<std::uint8_t> bytes;
    int interface;  // the one a session would use, or -1
};

std::vector<ConfigurationCase> configuration_cases() {
    const std::vector<std::uint8_t> whole = configuration({printer_setting(2), kOut, kIn});
    return {
        // The same printer undamaged, so that the rows below owe their outcome to the damage.
        {"Whole", whole, 0},
        // libusb leaves the setting's endpoint array null beside its count of 2.
        {"EndpointCountWithOnlyAHeaderAfterIt", configuration({printer_setting(2), {7, 5}}), -1},
        {"TotalLengthCuttingTheFirstEndpoint", with_total_length(whole, 9 + 9 + 2), -1},
        // The bidirectional alternate setting has its endpoints cut off: the other one is taken.
        {"BidirectionalSettingsEndpointsCutOff",
         configuration({printer_setting(2, 0, 0, 1), kOut, kIn, printer_setting(2, 0, 1, 2),
                        {7, 5}}),
         0},
    };
}

void PrintTo(const ConfigurationCase& c, std::ostream* os) { *os << c.name; }

class DamagedConfiguration : public UsbLinkTest,
                             public testing::WithParamInterface<ConfigurationCase> {};

TEST_P(DamagedConfiguration, IsListedAsFarAsItHoldsAndTheKindPrinterBesideItWhole) {
    const ConfigurationCase& c = GetParam();
    DeviceSetup kind = printer_at("1-1", 2);
    kind.product = "Kind";
    bed.add(kind);
    DeviceSetup damaged = printer_at("1-2", 3);
    damaged.configuration = c.bytes;
    bed.add(damaged);
    std::vector<UsbPrinterInfo> printers;
    std::string text;
    ASSERT_TRUE(LibusbPrinterLink::list(printers, text)) << text;
    ASSERT_EQ(printers.size(), 2u);
    EXPECT_EQ(printers[0].id, "1-1");
    EXPECT_EQ(printers[0].product, "Kind");
    EXPECT_EQ(printers[0].interface_number, 0);
    EXPECT_EQ(printers[1].id, "1-2");
    EXPECT_EQ(printers[1].interface_number, c.interface);
    EXPECT_EQ(printers[1].product, "LP-3020");
}

INSTANTIATE_TEST_SUITE_P(EmulatedPrinter, DamagedConfiguration,
                         testing::ValuesIn(configuration_cases()), case_name);

// A number from the environment, or `otherwise`.
std::uint64_t environment_number(const char* name, std::uint64_t otherwise) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : otherwise;
}

// Printer interfaces of three protocols and an alternate setting: much for damage to reach.
DeviceSetup richly_configured(const std::string& port, std::uint8_t address) {
    DeviceSetup setup = printer_at(port, address);
    setup.interfaces = {EmulatedInterface{0, 0, kPrinterClass, 4, {0x01, 0x82}},
                        EmulatedInterface{1, 0, kPrinterClass, 3, {0x03, 0x84}},
                        EmulatedInterface{2, 0, kPrinterClass, 1, {0x05}},
                        EmulatedInterface{2, 1, kPrinterClass, 2, {0x05, 0x86}}};
    return setup;
}

// A series of configuration descriptors damaged at random (bytes changed, cut or inserted,
// lengths and endpoint counts altered), a batch of them beside a kind printer on each testbed:
// every listing ends in time, with the kind printer in it. The series is the same on every run;
// VELLUMO_DESCRIPTOR_SEED (its first seed) and VELLUMO_DESCRIPTOR_COUNT run another or a longer
// one.
TEST(DamagedConfigurations, EveryListingEndsInTimeWithTheKindPrinterListed) {
    constexpr std::uint64_t kBatch = 8;
    const std::uint64_t first = environment_number("VELLUMO_DESCRIPTOR_SEED", 1);
    const std::uint64_t count = environment_number("VELLUMO_DESCRIPTOR_COUNT", 96);
    const std::vector<std::uint8_t> base = configuration_descriptor(richly_configured("1-2", 3));
    std::size_t damaged_listed = 0, damaged_left_out = 0;
    for (std::uint64_t seed = first; seed < first + count; seed += kBatch) {
        const std::uint64_t last = std::min(first + count, seed + kBatch) - 1;
        SCOPED_TRACE("seeds " + std::to_string(seed) + " to " + std::to_string(last));
        std::fprintf(stderr, "damaged configurations: seeds %llu to %llu\n",
                     static_cast<unsigned long long>(seed), static_cast<unsigned long long>(last));
        UsbTestbed bed;
        DeviceSetup kind = printer_at("1-1", 2);
        kind.product = "Kind";
        bed.add(kind);
        for (std::uint64_t s = seed; s <= last; ++s) {
            const auto place = static_cast<std::uint8_t>(2 + s - seed);
            DeviceSetup damaged = richly_configured("1-" + std::to_string(place), place + 1);
            damaged.configuration = mutated_configuration(base, s);
            bed.add(damaged);
        }
        std::vector<UsbPrinterInfo> printers;
        std::string text;
        const Clock::time_point start = Clock::now();
        ASSERT_TRUE(LibusbPrinterLink::list(printers, text)) << text;
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
        ASSERT_FALSE(printers.empty());
        EXPECT_EQ(printers[0].product, "Kind");
        damaged_listed += printers.size() - 1;
        damaged_left_out += last + 1 - seed - (printers.size() - 1);
    }
    std::fprintf(stderr, "damaged configurations: %zu listed, %zu left out\n", damaged_listed,
                 damaged_left_out);
    // The series reaches the walk of what libusb parsed, not only libusb's refusals.
    EXPECT_GT(damaged_listed, 0u);
}

// Printers are listed by bus and then by their ports as numbers, whatever order the system
// finds them in, so that the default printer is the same one every time.
TEST_F(UsbLinkTest, Listing_IsInBusAndPortOrderAndOpenTakesTheFirst) {
    bed.add_hub("1-3", 9);
    // Behind hubs that the testbed plugs in as the port paths name them (1-6; 1-3.4).
    for (const auto& [port, address] : std::vector<std::pair<std::string, std::uint8_t>>{
             {"1-10", 2}, {"1-3.2", 3}, {"1-2", 4}, {"1-3.10", 5}, {"1-1", 6}, {"1-6.2", 7},
             {"1-3.4.1", 8}}) {
        DeviceSetup setup = printer_at(port, address);
        setup.product = port;
        bed.add(setup);
    }
    std::vector<UsbPrinterInfo> printers;
    std::string text;
    ASSERT_TRUE(LibusbPrinterLink::list(printers, text)) << text;
    std::vector<std::string> ids;
    for (const UsbPrinterInfo& printer : printers) ids.push_back(printer.id);
    EXPECT_EQ(ids, (std::vector<std::string>{"1-1", "1-2", "1-3.2", "1-3.4.1", "1-3.10", "1-6.2",
                                             "1-10"}));

    LibusbPrinterLink link;
    ASSERT_TRUE(link.open()) << link.failure_text();
    EXPECT_EQ(link.printer().id, "1-1");
}

// Without an id, open() takes the first printer whose interface carries a session; when none
// has one, the first listed, so that the failure names it.
TEST_F(UsbLinkTest, OpenWithoutId_TakesTheFirstPrinterThatCarriesASession) {
    for (const auto& [port, address] :
         std::vector<std::pair<std::string, std::uint8_t>>{{"1-1", 2}, {"1-2", 3}}) {
        DeviceSetup ipp_only = printer_at(port, address);
        ipp_only.interfaces = {EmulatedInterface{0, 0, kPrinterClass, 4, {0x01, 0x82}},
                               EmulatedInterface{1, 0, kPrinterClass, 3, {0x03, 0x84}}};
        bed.add(ipp_only);
    }
    {
        LibusbPrinterLink link;
        EXPECT_FALSE(link.open());
        EXPECT_EQ(link.failure(), UsbFailure::NoBulkEndpoints);
        EXPECT_NE(link.failure_text().find(" 1-1 "), std::string::npos) << link.failure_text();
    }
    EmulatedUsbPrinter& usable = bed.add(printer_at("1-3", 4));
    LibusbPrinterLink link;
    ASSERT_TRUE(link.open()) << link.failure_text();
    EXPECT_EQ(link.printer().id, "1-3");
    EXPECT_TRUE(run_session(link).ok);
    EXPECT_TRUE(usable.stop_received());
}

// The listing shows the interface a session would use, or none.
TEST_F(UsbLinkTest, Listing_ShowsTheInterfaceASessionWouldUse) {
    DeviceSetup chooses = printer_at("1-1", 2);
    other_protocols_first(chooses, 2);
    bed.add(chooses);
    DeviceSetup none = printer_at("1-2", 3);
    none.interfaces = {EmulatedInterface{0, 0, kPrinterClass, 4, {0x01, 0x82}}};
    bed.add(none);
    std::vector<UsbPrinterInfo> printers;
    std::string text;
    ASSERT_TRUE(LibusbPrinterLink::list(printers, text)) << text;
    ASSERT_EQ(printers.size(), 2u);
    EXPECT_EQ(printers[0].interface_number, 2);
    EXPECT_EQ(printers[0].interface_protocol, 2);
    EXPECT_EQ(printers[1].interface_number, -1);
}

// A printer that never answers string requests costs the listing one request's time-out, no more,
// and is listed without strings.
TEST_F(UsbLinkTest, Listing_APrinterThatGivesNoStringsIsListedWithoutThemPromptly) {
    DeviceSetup silent = printer_at("1-1", 2);
    silent.strings_answered = false;
    bed.add(silent);
    std::vector<UsbPrinterInfo> printers;
    std::string text;
    const Clock::time_point start = Clock::now();
    ASSERT_TRUE(LibusbPrinterLink::list(printers, text)) << text;
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    ASSERT_EQ(printers.size(), 1u);
    EXPECT_EQ(printers[0].manufacturer + printers[0].product + printers[0].serial_number, "");
    EXPECT_LT(elapsed, 2 * LibusbPrinterLink::kStringTimeoutMs);
}

// Two printers attached: each id (and each bus:address) reads from its own printer only.
struct ChoiceCase {
    const char* name;
    std::string id;
    bool first;
};

class ChoosingAPrinter : public UsbLinkTest, public testing::WithParamInterface<ChoiceCase> {};

TEST_P(ChoosingAPrinter, ReadsFromThePrinterWithThatIdOnly) {
    DeviceSetup first_setup = printer_at("1-1", 2, 0x04E8);
    first_setup.product = "First";
    DeviceSetup second_setup = printer_at("1-2", 3, 0x03F0);
    second_setup.product = "Second";
    EmulatedUsbPrinter& first = bed.add(first_setup, SimulatedPrinter(sample_report()));
    EmulatedUsbPrinter& second = bed.add(second_setup, SimulatedPrinter(other_report()));
    std::vector<UsbPrinterInfo> printers;
    std::string text;
    ASSERT_TRUE(LibusbPrinterLink::list(printers, text)) << text;
    ASSERT_EQ(printers.size(), 2u);

    const bool want_first = GetParam().first;

    LibusbPrinterLink link;
    ASSERT_TRUE(link.open(GetParam().id)) << link.failure_text();
    const SessionResult result = run_session(link);

    EXPECT_TRUE(result.ok) << result.failure_text;
    EXPECT_EQ(result.report, stored(want_first ? sample_report() : other_report(), 1000));
    EXPECT_EQ(link.printer().id, want_first ? "1-1" : "1-2");
    EXPECT_EQ(link.printer().vendor_id, want_first ? 0x04E8 : 0x03F0);
    EXPECT_EQ(link.printer().product, want_first ? "First" : "Second");
    EXPECT_TRUE((want_first ? first : second).stop_received());
    EXPECT_EQ((want_first ? second : first).host_wrote(), "");
}

INSTANTIATE_TEST_SUITE_P(TwoPrinters, ChoosingAPrinter,
                         testing::Values(ChoiceCase{"FirstByPort", "1-1", true},
                                         ChoiceCase{"SecondByPort", "1-2", false},
                                         ChoiceCase{"SecondByBusAddress", "001:003", false},
                                         ChoiceCase{"ListedFirstWhenNoIdIsGiven", "", true}),
                         case_name);

}  // namespace
