// The companion's list and read on Linux, through its real libusb bus, against USB printers
// emulated under umockdev: every named failure of a reading reached through an emulated device,
// and the JSON read back.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/cli_commands.h"
#include "link/libusb_printer_link.h"
#include "report/report_formatter.h"
#include "sim/emulated_usb_printer.h"
#include "sim/simulated_printer.h"
#include "tests/cli_run.h"
#include "tests/usb/usb_test_support.h"

namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;

using namespace usb_emulation;

std::string formatted(const std::string& raw) {
    FormattedReport report;
    EXPECT_TRUE(ReportFormatter::format(raw.c_str(), report));
    return report.text;
}

DeviceSetup printer_at(const std::string& port, std::uint8_t address) {
    DeviceSetup setup;
    setup.port_path = port;
    setup.address = address;
    return setup;
}

class CliOnUsb : public testing::Test {
protected:
    UsbTestbed bed;
};

// Ctrl+C, as a terminal sends it to the process, `after_ms` from now.
std::thread ctrl_c_after(int after_ms) {
    return std::thread([after_ms] {
        std::this_thread::sleep_for(std::chrono::milliseconds(after_ms));
        kill(getpid(), SIGINT);
    });
}

using Handler = void (*)(int);

Handler handler_of(int signal_number) {
    struct sigaction now {};
    sigaction(signal_number, nullptr, &now);
    return now.sa_handler;
}

extern "C" void test_handler(int) {}

// The dispositions of SIGINT, SIGTERM and SIGHUP as the test found them, put back at its end.
class SavedDispositions {
public:
    SavedDispositions() {
        for (std::size_t i = 0; i < 3; ++i) sigaction(kSignals[i], nullptr, &saved_[i]);
    }
    ~SavedDispositions() {
        for (std::size_t i = 0; i < 3; ++i) sigaction(kSignals[i], &saved_[i], nullptr);
    }
    SavedDispositions(const SavedDispositions&) = delete;
    SavedDispositions& operator=(const SavedDispositions&) = delete;

private:
    static constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction saved_[3]{};
};

TEST_F(CliOnUsb, TwoPrintersAndTwoOthers_ListShowsThePrintersAndDeviceReadsEach) {
    EmulatedUsbPrinter& first = bed.add(printer_at("1-1", 2));
    DeviceSetup second_setup = printer_at("1-2", 3);
    second_setup.serial = "SECOND0002";
    EmulatedUsbPrinter& second =
        bed.add(second_setup, SimulatedPrinter("Model Name: Second\rPages: 12\r"));
    DeviceSetup not_a_printer = printer_at("1-3", 4);  // a supported vendor, no printer interface
    not_a_printer.interfaces = {
        EmulatedInterface{0, 0, kVendorSpecificClass, 0, {kBulkOut, kBulkIn}}};
    bed.add(not_a_printer);
    DeviceSetup other_vendor = printer_at("1-4", 5);
    other_vendor.vendor_id = 0x1234;
    bed.add(other_vendor);

    const CliRun listed = run_companion_on_system({"list", "--json"});
    ASSERT_EQ(listed.code, 0) << listed.err;
    const json printers = json::parse(listed.out);
    ASSERT_EQ(printers.size(), 2u);
    // In port order, whatever order libusb finds them in; `--device N` takes the Nth.
    EXPECT_EQ(printers.at(0).at("id"), "1-1");
    const json& listed_second = printers.at(1);
    EXPECT_EQ(listed_second.at("id"), "1-2");
    EXPECT_EQ(listed_second.at("vendor_id"), "04e8");
    EXPECT_EQ(listed_second.at("product_id"), "3301");
    EXPECT_EQ(listed_second.at("manufacturer"), "Vellumo");
    EXPECT_EQ(listed_second.at("serial"), "SECOND0002");
    EXPECT_EQ(listed_second.at("address"), "001:003");
    EXPECT_EQ(listed_second.at("interface"), 0);

    const CliRun read_second = run_companion_on_system({"read", "--json", "--device", "001:003"});
    ASSERT_EQ(read_second.code, 0) << read_second.err;
    const json reading = json::parse(read_second.out);
    EXPECT_EQ(reading.at("device").at("id"), "1-2");
    EXPECT_EQ(reading.at("fields").at("model"), "Second");
    EXPECT_EQ(reading.at("listing"), formatted("Model Name: Second\rPages: 12\r"));
    EXPECT_TRUE(second.stop_received());
    EXPECT_FALSE(first.stop_received()) << "the other printer is left alone";

    const CliRun read_first = run_companion_on_system({"read", "--device", "1"});
    EXPECT_EQ(read_first.code, 0) << read_first.err;
    EXPECT_TRUE(read_first.out == formatted(sample_report())) << "the sample report's listing";
    EXPECT_EQ(first.driver(), "usblp") << "the kernel's driver has the printer back";
}

std::vector<json> json_lines(const std::string& text) {
    std::vector<json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line));
    return lines;
}

// Three printers, one silent, one behind a hub: each is read in turn, in the order list gives, a
// line each under its own id, and each is given back to its kernel driver.
TEST_F(CliOnUsb, ReadAll_ThreePrintersOneSilent_ReadsTheOthersAndExitsWithTheSilentOnesCode) {
    std::vector<EmulatedUsbPrinter*> printers{
        &bed.add(printer_at("1-1", 2)),
        &bed.add(printer_at("1-2", 3), SimulatedPrinter(sample_report(), PrinterFault::Silence)),
        &bed.add(printer_at("1-4.2", 4), SimulatedPrinter("Model Name: Third\rPages: 3\r"))};
    const std::map<std::string, std::string> listings{
        {"1-1", formatted(sample_report())}, {"1-2", ""},
        {"1-4.2", formatted("Model Name: Third\rPages: 3\r")}};
    const json listed = json::parse(run_companion_on_system({"list", "--json"}).out);
    ASSERT_EQ(listed.size(), 3u);

    const CliRun as_json = run_companion_on_system({"read", "--all", "--json"});
    EXPECT_EQ(as_json.code, 5) << as_json.err;
    const std::vector<json> lines = json_lines(as_json.out);
    ASSERT_EQ(lines.size(), 3u) << as_json.out;
    std::string expected_text;
    for (std::size_t i = 0; i < 3; ++i) {
        const std::string id = listed.at(i).at("id");
        SCOPED_TRACE(id);
        EXPECT_EQ(lines[i].at("device"), listed.at(i));
        EXPECT_EQ(lines[i].at("ok"), id != "1-2");
        const std::string address = listed.at(i).at("address");
        const std::string serial = listed.at(i).at("serial");
        expected_text += "== " + id + "  04e8:3301  address " + address +
                         "  interface 0  Vellumo LP-3020  serial " + serial +
                         "  quirks soft-reset\n" + listings.at(id);
        if (id == "1-2") {
            EXPECT_EQ(lines[i].at("failure").at("name"), "no-acknowledgement");
        } else if (id == "1-4.2") {
            EXPECT_EQ(lines[i].at("entries"),
                      json::parse(R"([{"key": "Model Name", "value": "Third"},
                                      {"key": "Pages", "value": "3"}])"));
        }
    }
    for (const EmulatedUsbPrinter* device : printers) EXPECT_EQ(device->driver(), "usblp");
    EXPECT_TRUE(printers[2]->stop_received()) << "the printer behind the hub was read";

    const CliRun text = run_companion_on_system({"read", "--all"});
    EXPECT_EQ(text.code, 5);
    EXPECT_TRUE(text.out == expected_text) << "the listings under their devices' lines";
    EXPECT_EQ(text.err, "vellumo-cli: 1-2: the printer did not answer the start of the session\n");
}

// The bus opens the very device the listing found, by its bus and address: an id can name
// another printer (two devices with one port id, as where libusb cannot see a hub).
TEST_F(CliOnUsb, OpeningAListedPrinter_TakesItsDeviceEvenWhenItsIdNamesAnother) {
    EmulatedUsbPrinter& first = bed.add(printer_at("1-1", 2));
    EmulatedUsbPrinter& second = bed.add(printer_at("1-2", 3));
    const std::unique_ptr<PrinterBus> bus = system_printer_bus();
    std::vector<PrinterInfo> printers;
    std::string error;
    ASSERT_TRUE(bus->list(printers, error)) << error;
    ASSERT_EQ(printers.size(), 2u);
    PrinterInfo listed = printers[1];
    listed.id = "1-1";

    OpenFailure failure;
    const std::unique_ptr<PrinterConnection> open = bus->open(listed, failure);
    ASSERT_NE(open, nullptr) << failure.reason;
    EXPECT_EQ(second.driver(), "usbfs");
    EXPECT_EQ(first.driver(), "usblp") << "the printer the id names is left alone";
}

// Ctrl+C during the first of three readings ends the run with 130: the printers after it are
// not opened, and the one interrupted has its kernel driver back.
TEST_F(CliOnUsb, ReadAll_InterruptedOnTheFirstPrinter_EndsTheRunAndLeavesTheOthersAlone) {
    std::vector<EmulatedUsbPrinter*> printers;
    for (const auto& [port, address] : {std::pair{"1-1", 2}, {"1-2", 3}, {"1-3", 4}}) {
        printers.push_back(&bed.add(printer_at(port, static_cast<std::uint8_t>(address)),
                                    SimulatedPrinter(sample_report(), PrinterFault::Silence)));
    }
    std::thread presser = ctrl_c_after(300);
    const CliRun result = run_companion_on_system({"read", "--all", "--json"});
    presser.join();
    EXPECT_EQ(result.code, 130) << result.err;
    const std::vector<json> lines = json_lines(result.out);
    ASSERT_EQ(lines.size(), 1u) << result.out;
    EXPECT_EQ(lines[0].at("failure").at("name"), "interrupted");
    const auto opened = std::count_if(printers.begin(), printers.end(), [](const auto* device) {
        return !device->host_wrote().empty();
    });
    EXPECT_EQ(opened, 1) << "only the first printer was read";
    for (const EmulatedUsbPrinter* device : printers) EXPECT_EQ(device->driver(), "usblp");
}

// The companion takes Ctrl+C, SIGTERM and SIGHUP only while a printer is open, leaves an ignored
// one ignored, and puts back what it found once the printer is given back: its output is written
// under the caller's dispositions.
TEST_F(CliOnUsb, Reading_TakesTheSignalsOnlyWhileThePrinterIsOpen) {
    bed.add(printer_at("1-1", 2), SimulatedPrinter(sample_report(), PrinterFault::Silence));
    const SavedDispositions saved;
    std::signal(SIGINT, test_handler);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGHUP, SIG_IGN);  // as under nohup
    const int signals[3] = {SIGINT, SIGTERM, SIGHUP};
    Handler during[3] = {};
    std::thread watcher([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        for (std::size_t i = 0; i < 3; ++i) during[i] = handler_of(signals[i]);
    });
    const CliRun result = run_companion_on_system({"read"});
    watcher.join();
    EXPECT_EQ(result.code, 5) << result.err;
    EXPECT_NE(during[0], test_handler);
    EXPECT_NE(during[1], SIG_DFL);
    EXPECT_EQ(during[1], during[0]) << "one handler for both";
    EXPECT_EQ(during[2], SIG_IGN);
    EXPECT_EQ(handler_of(SIGINT), test_handler);
    EXPECT_EQ(handler_of(SIGTERM), SIG_DFL);
    EXPECT_EQ(handler_of(SIGHUP), SIG_IGN);
}

// An interruption ends that reading only: the next one in the same process reads its printer.
TEST_F(CliOnUsb, ReadingAfterAnInterruptedOne_ReadsItsPrinter) {
    bed.add(printer_at("1-1", 2), SimulatedPrinter(sample_report(), PrinterFault::Silence));
    EmulatedUsbPrinter& good = bed.add(printer_at("1-2", 3));
    const SavedDispositions saved;
    std::thread presser = ctrl_c_after(300);
    const CliRun interrupted = run_companion_on_system({"read", "--device", "1-1"});
    presser.join();
    EXPECT_EQ(interrupted.code, 130) << interrupted.err;
    const CliRun next = run_companion_on_system({"read", "--device", "1-2"});
    EXPECT_EQ(next.code, 0) << next.err;
    EXPECT_TRUE(good.stop_received());
}

struct UsbFailureCase {
    const char* name;
    PrinterFault fault;
    int code;
    const char* failure;
    const char* says = "";  // in the line on stderr and the JSON's message
    std::function<void(DeviceSetup&)> device = {};
};

class CliOnUsbFailure : public CliOnUsb, public testing::WithParamInterface<UsbFailureCase> {};

TEST_P(CliOnUsbFailure, ReadNamesTheFailureWithItsExitCodeAndGivesThePrinterBack) {
    const UsbFailureCase& c = GetParam();
    DeviceSetup setup = printer_at("1-1", 2);
    if (c.device) c.device(setup);
    EmulatedUsbPrinter& device = bed.add(setup, SimulatedPrinter(sample_report(), c.fault));
    const CliRun result = run_companion_on_system({"read", "--json"});
    EXPECT_EQ(result.code, c.code) << result.err;
    const json reading = json::parse(result.out);
    EXPECT_FALSE(reading.at("ok").get<bool>());
    EXPECT_EQ(reading.at("failure").at("name"), c.failure);
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_NE(result.err.find(c.says), std::string::npos) << result.err;
    const std::string message = reading.at("failure").at("message");
    EXPECT_NE(message.find(c.says), std::string::npos) << message;
    if (!device.gone()) {
        EXPECT_EQ(device.driver(), "usblp");
    }
}

const UsbFailureCase kUsbFailures[] = {
    {"Silence", PrinterFault::Silence, 5, "no-acknowledgement"},
    {"NothingMoreBeforeAHeader", PrinterFault::TimeoutInChunkLoop, 6, "header-timeout"},
    {"NothingAfterAHeader", PrinterFault::SilentAfterHeader, 7, "chunk-timeout"},
    {"ReportLargerThanTheBuffer", PrinterFault::ReportLargerThanBuffer, 8, "report-too-large"},
    {"UnpluggedInTheMiddleOfAChunk", PrinterFault::DisconnectMidChunk, 9, "device-gone"},
    {"HalfAHeader", PrinterFault::ShortHeader, 10, "transfer-failed"},
    // The link's cause comes after the step's: the same name and code, and why.
    {"InEndpointStalledInTheFirstChunk", PrinterFault::None, 10, "transfer-failed",
     "a chunk came incomplete (0 chunks had arrived): read: the printer stalled the endpoint",
     [](DeviceSetup& s) { s.stall_in_after_bytes = 8 + 12 + 500; }},
    {"OutEndpointStalledAtTheStart", PrinterFault::None, 10, "transfer-failed",
     "the printer did not take the start: write: the printer stalled the endpoint",
     [](DeviceSetup& s) { s.stall_first_write = true; }},
    // 04e8:330f: the printing system knows it for one-way USB.
    {"SilentOneWayModel", PrinterFault::Silence, 5, "no-acknowledgement",
     "the printing system knows 04e8:330f for one-way USB (quirk unidir)",
     [](DeviceSetup& s) { s.product_id = 0x330F; }},
};

INSTANTIATE_TEST_SUITE_P(EveryWay, CliOnUsbFailure, testing::ValuesIn(kUsbFailures),
                         [](const testing::TestParamInfo<UsbFailureCase>& failure) {
                             return std::string(failure.param.name);
                         });

// CUPS_DATADIR naming a folder of the test's own while it lives, then as it was.
class QuirksFolder {
public:
    QuirksFolder() : saved_(std::getenv("CUPS_DATADIR")) {
        static int made = 0;
        root_ = fs::path(testing::TempDir()) /
                ("vellumo-quirks-" + std::to_string(getpid()) + "-" + std::to_string(made++));
        fs::create_directories(root_ / "usb");
        setenv("CUPS_DATADIR", root_.c_str(), 1);
    }
    ~QuirksFolder() {
        if (saved_) setenv("CUPS_DATADIR", saved_->c_str(), 1);
        else unsetenv("CUPS_DATADIR");
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    QuirksFolder(const QuirksFolder&) = delete;
    QuirksFolder& operator=(const QuirksFolder&) = delete;

    fs::path usb() const { return root_ / "usb"; }
    void file(const std::string& name, const std::string& text) const {
        std::ofstream(usb() / name, std::ios::binary) << text;
    }

private:
    std::optional<std::string> saved_;
    fs::path root_;
};

std::map<std::string, json> quirks_listed() {
    std::map<std::string, json> quirks;
    const CliRun listed = run_companion_on_system({"list", "--json"});
    EXPECT_EQ(listed.code, 0) << listed.err;
    for (const json& printer : json::parse(listed.out)) quirks[printer.at("id")] = printer.at("quirks");
    return quirks;
}

// What the folder says over the built-in entries: a product entry instead of its vendor's (with
// a word no one knows yet, kept), a malformed line skipped, a blacklisted model refused and
// passed over by default; a FIFO and a folder in it are passed over. Without the system's
// quirks file, the built-in entries alone.
TEST_F(CliOnUsb, QuirksFolderOfItsOwn_IsReadOverTheBuiltInEntriesAndApplied) {
    const auto add = [&](const std::string& port, std::uint8_t address, std::uint16_t vendor,
                         std::uint16_t product) -> EmulatedUsbPrinter& {
        DeviceSetup setup = printer_at(port, address);
        setup.vendor_id = vendor;
        setup.product_id = product;
        return bed.add(setup);
    };
    EmulatedUsbPrinter& blacklisted = add("1-1", 2, 0x413C, 0x0BAD);
    EmulatedUsbPrinter& over_its_vendor = add("1-2", 3, 0x0924, 0x4242);
    add("1-3", 4, 0x413C, 0x0001);
    add("1-4", 5, 0x0924, 0x1234);
    {
        const QuirksFolder folder;
        folder.file("local", "# the test's own\n0x0924 0x4242 soft-reset future-word\n"
                             "0x413c 0x0bad blacklist\n0x413c 0x0001 unidir Unidir\n");
        ASSERT_EQ(mkfifo((folder.usb() / "fifo").c_str(), 0600), 0);
        fs::create_directory(folder.usb() / "folder");
        const std::map<std::string, json> quirks = quirks_listed();
        EXPECT_EQ(quirks.at("1-1"), json({"blacklist"}));
        EXPECT_EQ(quirks.at("1-2"), json({"soft-reset", "future-word"}));
        EXPECT_EQ(quirks.at("1-3"), json::array()) << "the malformed line is skipped";
        EXPECT_EQ(quirks.at("1-4"), json({"no-reattach"})) << "the built-in vendor entry";
        const std::string plain = run_companion_on_system({"list"}).out;
        EXPECT_NE(plain.find("  quirks soft-reset,future-word\n"), std::string::npos) << plain;

        const CliRun refused = run_companion_on_system({"read", "--json", "--device", "1-1"});
        EXPECT_EQ(refused.code, 11) << refused.err;
        const json failure = json::parse(refused.out).at("failure");
        EXPECT_EQ(failure.at("name"), "blacklisted");
        EXPECT_TRUE(failure.at("reason").is_null());
        EXPECT_EQ(refused.err,
                  "vellumo-cli: 1-1 not opened: the printing system's USB quirks list 413c:0bad "
                  "as a printer that does not work over USB (blacklist)\n");
        EXPECT_EQ(blacklisted.detaches(), 0) << "not even opened";

        const CliRun read = run_companion_on_system({"read", "--json"});
        ASSERT_EQ(read.code, 0) << read.err;
        EXPECT_EQ(json::parse(read.out).at("device").at("id"), "1-2") << "1-1 passed over";
        EXPECT_EQ(over_its_vendor.driver(), "usblp") << "no-reattach is its vendor's, not its own";
        ASSERT_EQ(over_its_vendor.class_requests().size(), 1u);
        EXPECT_TRUE(over_its_vendor.class_requests()[0].accepted);
    }
    const QuirksFolder without_the_systems_file;
    fs::remove(without_the_systems_file.usb());
    const std::map<std::string, json> built_in = quirks_listed();
    EXPECT_EQ(built_in.at("1-1"), json::array());
    EXPECT_EQ(built_in.at("1-2"), json({"no-reattach"}));
    EXPECT_EQ(built_in.at("1-4"), json({"no-reattach"}));
}

TEST_F(CliOnUsb, NoPrinterBusyOrNoPermission_AreNamedWithTheSystemsReason) {
    const CliRun none = run_companion_on_system({"read", "--json"});
    EXPECT_EQ(none.code, 3);
    EXPECT_EQ(json::parse(none.out).at("failure").at("name"), "no-printer");

    DeviceSetup busy = printer_at("1-1", 2);
    busy.driver = "usbfs";  // another program has claimed it
    bed.add(busy);
    const CliRun claimed = run_companion_on_system({"read", "--json"});
    EXPECT_EQ(claimed.code, 4);
    EXPECT_EQ(json::parse(claimed.out).at("failure").at("reason"), "busy");

    EmulatedUsbPrinter& locked = bed.add(printer_at("1-2", 3));
    ASSERT_EQ(chmod(bed.node_file(locked).c_str(), 0), 0);
    const usb_test::WithoutFileAccessOverride as_ordinary_user;
    const CliRun denied = run_companion_on_system({"read", "--json", "--device", "1-2"});
    EXPECT_EQ(denied.code, 4);
    EXPECT_EQ(json::parse(denied.out).at("failure").at("reason"), "permission-denied");
    EXPECT_NE(denied.err.find("cannot open 1-2: "), std::string::npos) << denied.err;
}

}  // namespace
