// The companion's list and read on Windows: its real bus over the program's discovery and
// PrinterLink, against pipe printers that the scripted discovery shows as USB printers. The
// JSON is read back.

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_commands.h"
#include "report/report_formatter.h"
#include "sim/pipe_printer.h"
#include "tests/cli_run.h"
#include "tests/json_reader.h"

namespace {

constexpr DWORD kSessionWaitMs = 10000;
// A printer of another vendor, and one with its serial number in its path.
constexpr char kOtherVendorTail[] =
    "#vid_1234&pid_0001#7&1a2b3c&0&2#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
constexpr char kSecondTail[] =
    "#vid_0924&pid_4107#SER0924X7#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

std::unique_ptr<PipePrinter> pipe_printer(std::string report, std::string tail) {
    return std::make_unique<PipePrinter>(
        [report = std::move(report)] { return std::make_unique<SimulatedPrinter>(report); },
        unique_pipe_device_path(tail));
}

class CliOnWindows : public testing::Test {
protected:
    void TearDown() override {
        if (!discovery_) return;
        EXPECT_EQ(discovery_->sets_destroyed(), discovery_->sets_obtained());
        EXPECT_EQ(discovery_->wrong_calls(), std::vector<std::string>{});
    }
    void script(std::vector<ScriptedDiscovery::Device> devices) {
        discovery_ = std::make_unique<ScriptedDiscovery>(std::move(devices));
    }
    std::unique_ptr<ScriptedDiscovery> discovery_;
};

TEST_F(CliOnWindows, TwoPrintersAndAnother_ListShowsTheTwoAndReadTakesTheSecond) {
    PipePrinter first;
    const auto second = pipe_printer("Model Name: Second\rPages: 12\r", kSecondTail);
    ASSERT_TRUE(first.ok() && second->ok());
    script({{first.device_path()},
            {unique_pipe_device_path(kOtherVendorTail)},
            {second->device_path()}});

    const CliRun listed = run_companion_on_system({"list", "--json"});
    ASSERT_EQ(listed.code, 0) << listed.err;
    const json::Value printers = json::parse(listed.out);
    ASSERT_EQ(printers.items.size(), 2u);
    EXPECT_EQ(printers.items[0]["id"].text, first.device_path());
    EXPECT_TRUE(printers.items[0]["serial"].is_null()) << "a name the system made up";
    EXPECT_EQ(printers.items[1]["id"].text, second->device_path());
    EXPECT_EQ(printers.items[1]["vendor_id"].text, "0924");
    EXPECT_EQ(printers.items[1]["product_id"].text, "4107");
    EXPECT_EQ(printers.items[1]["serial"].text, "SER0924X7");

    for (const std::string& device : {std::string("2"), second->device_path()}) {
        const CliRun read = run_companion_on_system({"read", "--json", "--device", device});
        ASSERT_EQ(read.code, 0) << read.err;
        const json::Value reading = json::parse(read.out);
        EXPECT_EQ(reading["device"]["id"].text, second->device_path());
        EXPECT_EQ(reading["fields"]["model"].text, "Second");
        EXPECT_EQ(reading["chunks"].number, 1);
    }
    EXPECT_TRUE(second->wait_for_sessions(2, kSessionWaitMs));
    EXPECT_TRUE(second->sessions()[1].stop_received);
    EXPECT_TRUE(first.sessions().empty()) << "the first printer is left alone";
}

TEST_F(CliOnWindows, FirstPrinterByDefault_PrintsTheListing) {
    PipePrinter printer;
    ASSERT_TRUE(printer.ok());
    script({{printer.device_path()}});
    const CliRun read = run_companion_on_system({"read"});
    EXPECT_EQ(read.code, 0) << read.err;
    FormattedReport expected;
    ASSERT_TRUE(ReportFormatter::format(sample_report().c_str(), expected));
    EXPECT_TRUE(read.out == expected.text) << "the sample report's listing";
}

struct WindowsFailureCase {
    const char* name;
    PrinterFault fault;
    int code;
    const char* failure;
};

class CliOnWindowsFailure : public CliOnWindows,
                            public testing::WithParamInterface<WindowsFailureCase> {};

TEST_P(CliOnWindowsFailure, ReadNamesTheFailureFromWhatThePipesTell) {
    const WindowsFailureCase& c = GetParam();
    PipePrinter printer(sample_report(), c.fault);
    ASSERT_TRUE(printer.ok());
    script({{printer.device_path()}});
    const CliRun read = run_companion_on_system({"read", "--json"});
    EXPECT_EQ(read.code, c.code) << read.err;
    EXPECT_EQ(json::parse(read.out)["failure"]["name"].text, c.failure);
}

const WindowsFailureCase kWindowsFailures[] = {
    {"Silence", PrinterFault::Silence, 5, "no-acknowledgement"},
    {"NothingAfterAHeader", PrinterFault::SilentAfterHeader, 7, "chunk-timeout"},
    {"GoneInTheMiddleOfAChunk", PrinterFault::DisconnectMidChunk, 9, "device-gone"},
};

INSTANTIATE_TEST_SUITE_P(EveryWay, CliOnWindowsFailure, testing::ValuesIn(kWindowsFailures),
                         [](const testing::TestParamInfo<WindowsFailureCase>& failure) {
                             return std::string(failure.param.name);
                         });

TEST_F(CliOnWindows, PrinterHeldByAnotherProgram_IsBusyAndNoPrinterIsNamed) {
    const CliRun none = run_companion_on_system({"read"});
    EXPECT_EQ(none.code, 3);

    PipePrinter printer;
    ASSERT_TRUE(printer.ok());
    script({{printer.device_path()}});
    // Another program has the printer's pipe: its one instance is taken.
    const std::string write_pipe = printer.device_path() + PrinterLink::kWritePipeSuffix;
    HANDLE held = CreateFileA(write_pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const CliRun busy = run_companion_on_system({"read", "--json"});
    CloseHandle(held);
    EXPECT_EQ(busy.code, 4) << busy.err;
    EXPECT_EQ(json::parse(busy.out)["failure"]["reason"].text, "busy");
}

}  // namespace
