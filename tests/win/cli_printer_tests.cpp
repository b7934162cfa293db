// The companion's list and read on Windows: its real bus over the program's discovery and
// PrinterLink, against pipe printers that the scripted discovery shows as USB printers. The
// JSON is read back.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/cli_commands.h"
#include "cli/console_events.h"
#include "report/report_formatter.h"
#include "sim/pipe_printer.h"
#include "tests/cli_run.h"

namespace {

using json = nlohmann::json;

constexpr DWORD kSessionWaitMs = 10000;
// A printer of another vendor, and one with its serial number in its path.
constexpr char kOtherVendorTail[] =
    "#vid_1234&pid_0001#7&1a2b3c&0&2#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
constexpr char kSecondTail[] =
    "#vid_0924&pid_4107#SER0924X7#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

// One read of the program's link gives up after this long.
constexpr DWORD kReadTimeoutMs = PrinterLink::kReadPolls * PrinterLink::kReadPollPauseMs;
// Time for the companion to write the start and wait for its acknowledgement once connected.
constexpr DWORD kIntoTheReadMs = 300;
// A reading that gives up within the read under way ends within this long of a stop: far less
// than a second read would take.
constexpr DWORD kStopWithinMs = kReadTimeoutMs + 700;

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
    const json printers = json::parse(listed.out);
    ASSERT_EQ(printers.size(), 2u);
    EXPECT_EQ(printers.at(0).at("id"), first.device_path());
    EXPECT_TRUE(printers.at(0).at("serial").is_null()) << "a name the system made up";
    EXPECT_EQ(printers.at(1).at("id"), second->device_path());
    EXPECT_EQ(printers.at(1).at("vendor_id"), "0924");
    EXPECT_EQ(printers.at(1).at("product_id"), "4107");
    EXPECT_EQ(printers.at(1).at("serial"), "SER0924X7");

    for (const std::string& device : {std::string("2"), second->device_path()}) {
        const CliRun read = run_companion_on_system({"read", "--json", "--device", device});
        ASSERT_EQ(read.code, 0) << read.err;
        const json reading = json::parse(read.out);
        EXPECT_EQ(reading.at("device").at("id"), second->device_path());
        EXPECT_EQ(reading.at("fields").at("model"), "Second");
        EXPECT_EQ(reading.at("chunks"), 1);
    }
    EXPECT_TRUE(second->wait_for_sessions(2, kSessionWaitMs));
    EXPECT_TRUE(second->sessions()[1].stop_received);
    EXPECT_TRUE(first.sessions().empty()) << "the first printer is left alone";
}

// Each printer in turn, a JSON line each: the silent one named, the one after it still read.
TEST_F(CliOnWindows, ReadAllWithASilentPrinterFirst_ReadsTheNextAndExitsWithTheSilentOnesCode) {
    PipePrinter silent(sample_report(), PrinterFault::Silence);
    const auto second = pipe_printer("Model Name: Second\rPages: 12\r", kSecondTail);
    ASSERT_TRUE(silent.ok() && second->ok());
    script({{silent.device_path()}, {second->device_path()}});

    const CliRun all = run_companion_on_system({"read", "--all", "--json"});
    EXPECT_EQ(all.code, 5) << all.err;
    std::istringstream text(all.out);
    std::vector<json> lines;
    for (std::string line; std::getline(text, line);) lines.push_back(json::parse(line));
    ASSERT_EQ(lines.size(), 2u) << all.out;
    EXPECT_EQ(lines[0].at("device").at("id"), silent.device_path());
    EXPECT_EQ(lines[0].at("failure").at("name"), "no-acknowledgement");
    EXPECT_EQ(lines[1].at("device").at("serial"), "SER0924X7");
    EXPECT_EQ(lines[1].at("entries"), json::parse(R"([{"key": "Model Name", "value": "Second"},
                                                      {"key": "Pages", "value": "12"}])"));
    EXPECT_TRUE(second->wait_for_sessions(1, kSessionWaitMs));
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
    EXPECT_EQ(json::parse(read.out).at("failure").at("name"), c.failure);
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
    EXPECT_EQ(json::parse(busy.out).at("failure").at("reason"), "busy");
}

// A printer that never answers the start, which sets `connected` when a host opens its pipes.
std::unique_ptr<PipePrinter> silent_printer(HANDLE connected) {
    return std::make_unique<PipePrinter>([connected] {
        SetEvent(connected);
        return std::make_unique<SimulatedPrinter>(sample_report(), PrinterFault::Silence);
    });
}

// A stream that runs `first_write` before the first character written to it reaches it.
class FirstWriteWatch : public std::stringbuf {
public:
    explicit FirstWriteWatch(std::function<void()> first_write)
        : first_write_(std::move(first_write)) {}

protected:
    int_type overflow(int_type c) override {
        seen();
        return std::stringbuf::overflow(c);
    }
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        seen();
        return std::stringbuf::xsputn(text, count);
    }

private:
    void seen() {
        if (first_write_) std::exchange(first_write_, nullptr)();
    }
    std::function<void()> first_write_;
};

// Ctrl+Break raised in-process as the system raises it, on a thread of its own, while the
// reading waits for the acknowledgement (Wine's console sends no Ctrl+Break; Ctrl+C, which the
// console does send, is tried on a process of its own below): the printer has its pipes back
// before the failure is written, and the reading ends with 130 within the read under way.
TEST_F(CliOnWindows, CtrlBreakWhileAwaitingThePrinter_PipesClosedBeforeTheFailureAndExits130) {
    HANDLE connected = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const auto printer = silent_printer(connected);
    ASSERT_TRUE(printer->ok());
    script({{printer->device_path()}});
    std::atomic<DWORD> raised_at{0};
    std::atomic<BOOL> handled{FALSE};
    std::thread console([&] {
        if (WaitForSingleObject(connected, kSessionWaitMs) != WAIT_OBJECT_0) return;
        Sleep(kIntoTheReadMs);
        raised_at = GetTickCount();
        handled = on_console_event(CTRL_BREAK_EVENT);
    });
    bool closed_before_failure = false;
    FirstWriteWatch watch([&] { closed_before_failure = printer->wait_for_sessions(1, 2000); });
    std::ostream err(&watch);
    std::istringstream in;
    std::ostringstream out;
    const std::unique_ptr<PrinterBus> bus = system_printer_bus();
    CliEnvironment env;
    env.printers = bus.get();
    const int code = run_cli({"read"}, in, out, err, env);
    const DWORD ended = GetTickCount();
    console.join();
    CloseHandle(connected);

    EXPECT_EQ(code, 130) << watch.str();
    EXPECT_TRUE(handled);
    EXPECT_TRUE(closed_before_failure) << "the printer's pipes are closed before the failure";
    EXPECT_NE(watch.str().find("interrupted"), std::string::npos) << watch.str();
    EXPECT_LT(ended - raised_at, kStopWithinMs) << "within the read under way";
    EXPECT_TRUE(out.str().empty());
    std::printf("ended %lu ms after the event\n", static_cast<unsigned long>(ended - raised_at));
}

// A console of this process's own, shared with the readings it starts, so that it can send
// them Ctrl+C (the test stand's own, if any, is not this process's to signal).
bool own_console() {
    static const bool owned = (FreeConsole(), AllocConsole() != FALSE);
    return owned;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// cli_console_program started in a process group of its own on this process's console, with
// its standard error in a file; ended by force if a test leaves it running.
class ConsoleReading {
public:
    explicit ConsoleReading(const std::string& arguments) {
        char temp[MAX_PATH] = "";
        GetTempPathA(MAX_PATH, temp);
        err_path_ =
            std::string(temp) + "vellumo-console-" + std::to_string(GetCurrentProcessId()) + ".err";
        SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
        HANDLE err = CreateFileA(err_path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        HANDLE none = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, 0, &inherited, OPEN_EXISTING,
                                  0, nullptr);
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = none;
        startup.hStdOutput = none;
        startup.hStdError = err;
        std::string command_line = "cli_console_program.exe " + arguments;
        started_ = CreateProcessA(VELLUMO_CLI_CONSOLE_PROGRAM_PATH, command_line.data(), nullptr,
                                  nullptr, TRUE, CREATE_NEW_PROCESS_GROUP, nullptr, nullptr,
                                  &startup, &process_) != FALSE;
        CloseHandle(err);
        CloseHandle(none);
    }
    ~ConsoleReading() {
        if (started_) {
            if (WaitForSingleObject(process_.hProcess, 0) != WAIT_OBJECT_0) {
                TerminateProcess(process_.hProcess, 1);
                WaitForSingleObject(process_.hProcess, INFINITE);
            }
            CloseHandle(process_.hThread);
            CloseHandle(process_.hProcess);
        }
        DeleteFileA(err_path_.c_str());
    }
    ConsoleReading(const ConsoleReading&) = delete;
    ConsoleReading& operator=(const ConsoleReading&) = delete;

    bool started() const { return started_; }
    DWORD process_id() const { return process_.dwProcessId; }
    // The exit code once the process ends within `timeout_ms`; STILL_ACTIVE if it does not.
    DWORD exit_code(DWORD timeout_ms) const {
        DWORD code = STILL_ACTIVE;
        if (WaitForSingleObject(process_.hProcess, timeout_ms) == WAIT_OBJECT_0) {
            GetExitCodeProcess(process_.hProcess, &code);
        }
        return code;
    }
    std::string err() const { return read_file(err_path_); }

private:
    std::string err_path_;
    PROCESS_INFORMATION process_{};
    bool started_ = false;
};

struct ConsoleEventCase {
    const char* name;
    DWORD event;
    bool sent_by_the_console;  // else raised through the handler, as the system raises it
    int presses;               // the console sends the event this many times, 50 ms apart
    DWORD code;
    DWORD within_ms;
};

class CliConsoleProcess : public testing::TestWithParam<ConsoleEventCase> {};

// A reading in a process of its own, with the dispositions a companion starts with, waits for
// the acknowledgement of a printer that never answers; the console's event ends it with its
// code, within the read under way (a second Ctrl+C at once).
TEST_P(CliConsoleProcess, ReadingAwaitsThePrinter_EndsWithTheEventsCode) {
    const ConsoleEventCase& c = GetParam();
    ASSERT_TRUE(own_console()) << "error " << GetLastError();
    HANDLE connected = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const auto printer = silent_printer(connected);
    ASSERT_TRUE(printer->ok());
    const std::string raise_name =
        "vellumo-raise-" + std::to_string(GetCurrentProcessId()) + "-" + c.name;
    HANDLE raise = CreateEventA(nullptr, TRUE, FALSE, raise_name.c_str());
    const std::string raising =
        c.sent_by_the_console ? "" : "--raise " + std::to_string(c.event) + " " + raise_name + " ";
    const ConsoleReading reading(printer->device_path() + " " + raising + "read");
    ASSERT_TRUE(reading.started()) << "error " << GetLastError();
    ASSERT_EQ(WaitForSingleObject(connected, kSessionWaitMs), WAIT_OBJECT_0);
    Sleep(kIntoTheReadMs);
    const DWORD raised_at = GetTickCount();
    for (int press = 0; press < c.presses; ++press) {
        if (press > 0) Sleep(50);
        ASSERT_TRUE(GenerateConsoleCtrlEvent(c.event, reading.process_id()))
            << "error " << GetLastError();
    }
    if (!c.sent_by_the_console) SetEvent(raise);
    const DWORD code = reading.exit_code(kSessionWaitMs);
    const DWORD ended = GetTickCount();
    CloseHandle(raise);
    CloseHandle(connected);

    EXPECT_EQ(code, c.code) << reading.err();
    EXPECT_LT(ended - raised_at, c.within_ms);
    if (c.code == 130 && c.presses == 1) {
        EXPECT_NE(reading.err().find("interrupted"), std::string::npos) << reading.err();
    }
    std::printf("exit %lu, %lu ms after the event\n", static_cast<unsigned long>(code),
                static_cast<unsigned long>(ended - raised_at));
}

const ConsoleEventCase kConsoleEvents[] = {
    {"CtrlC", CTRL_C_EVENT, true, 1, 130, kStopWithinMs},
    {"CtrlCTwice", CTRL_C_EVENT, true, 2, 130, 1000},
    {"ConsoleClosed", CTRL_CLOSE_EVENT, false, 0, kExitConsoleClosed, kStopWithinMs},
    {"LogOff", CTRL_LOGOFF_EVENT, false, 0, kExitConsoleClosed, kStopWithinMs},
    {"ShutDown", CTRL_SHUTDOWN_EVENT, false, 0, kExitShutDown, kStopWithinMs},
};

INSTANTIATE_TEST_SUITE_P(EveryEvent, CliConsoleProcess, testing::ValuesIn(kConsoleEvents),
                         [](const testing::TestParamInfo<ConsoleEventCase>& event) {
                             return std::string(event.param.name);
                         });

}  // namespace
