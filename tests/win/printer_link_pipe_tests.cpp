// The PrinterLink's pipe operations against real named pipes: whole sessions with the pipe
// printer, and reads and opens against bare pipes the test controls byte by byte.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/printer_link.h"
#include "link/report_session.h"
#include "report/report_text.h"
#include "sim/pipe_printer.h"

namespace {

constexpr DWORD kSessionWaitMs = 10000;
constexpr DWORD kServerWaitMs = 5000;
constexpr char kGuard = static_cast<char>(0xA5);

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

HANDLE create_server_pipe(const std::string& name) {
    return CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                            nullptr);
}

// An overlapped read or write on a server end, waiting at most kServerWaitMs. Returns the error
// code, 0 on success.
DWORD server_io(HANDLE pipe, bool write, char* data, DWORD size, DWORD& transferred) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL done = write ? WriteFile(pipe, data, size, nullptr, &overlapped)
                      : ReadFile(pipe, data, size, nullptr, &overlapped);
    DWORD error = done ? 0 : GetLastError();
    if (error == ERROR_IO_PENDING) {
        if (WaitForSingleObject(overlapped.hEvent, kServerWaitMs) != WAIT_OBJECT_0) CancelIo(pipe);
        done = GetOverlappedResult(pipe, &overlapped, &transferred, TRUE);
        error = done ? 0 : GetLastError();
    } else if (done) {
        GetOverlappedResult(pipe, &overlapped, &transferred, FALSE);
    }
    CloseHandle(overlapped.hEvent);
    return error;
}

DWORD server_write(HANDLE pipe, std::string bytes) {
    DWORD written = 0;
    return server_io(pipe, true, bytes.data(), static_cast<DWORD>(bytes.size()), written);
}

// The printer's two pipes with nothing behind them: the test plays the printer itself.
struct BarePipes {
    std::string device_path = unique_pipe_device_path();
    HANDLE from_host = create_server_pipe(device_path + PrinterLink::kWritePipeSuffix);
    HANDLE to_host = create_server_pipe(device_path + PrinterLink::kReadPipeSuffix);
    ScriptedDiscovery discovery{{{device_path}}};

    ~BarePipes() {
        if (from_host != INVALID_HANDLE_VALUE) CloseHandle(from_host);
        if (to_host != INVALID_HANDLE_VALUE) CloseHandle(to_host);
    }
};

struct SessionOutcome {
    bool result = false;
    std::size_t length = 0;
    std::vector<char> buffer = std::vector<char>(kReportBufferSize, kGuard);
    std::string host_wrote;
};

SessionOutcome run_in_memory(PrinterFault fault) {
    SimulatedPrinter printer(sample_report(), fault);
    SimulatedPrinterLink link(printer);
    SessionOutcome outcome;
    outcome.result =
        ReportSession::run(link, outcome.buffer.data(), outcome.buffer.size(), outcome.length);
    outcome.host_wrote = printer.host_wrote();
    return outcome;
}

SessionOutcome run_over_pipes(PrinterFault fault) {
    PipePrinter server(sample_report(), fault);
    ScriptedDiscovery discovery({{server.device_path()}});
    SessionOutcome outcome;
    PrinterLink link;
    EXPECT_TRUE(link.open());
    outcome.result =
        ReportSession::run(link, outcome.buffer.data(), outcome.buffer.size(), outcome.length);
    link.close();
    EXPECT_TRUE(server.wait_for_sessions(1, kSessionWaitMs));
    if (!server.sessions().empty()) outcome.host_wrote = server.sessions()[0].host_wrote;
    return outcome;
}

class PrinterLinkOverPipes : public ::testing::TestWithParam<PrinterFault> {};

// Faults whose outcome involves no read time-out, so that both ways agree quickly.
INSTANTIATE_TEST_SUITE_P(Faults, PrinterLinkOverPipes,
                         ::testing::Values(PrinterFault::None, PrinterFault::ZeroLengthChunk,
                                           PrinterFault::NonZeroSecondWord,
                                           PrinterFault::EndMarkerFirst,
                                           PrinterFault::ReportLargerThanBuffer,
                                           PrinterFault::WrongAcknowledgement));

TEST_P(PrinterLinkOverPipes, WholeSession_GivesTheSameOutcomeAsInMemory) {
    const SessionOutcome expected = run_in_memory(GetParam());
    const SessionOutcome seen = run_over_pipes(GetParam());
    EXPECT_EQ(seen.result, expected.result);
    EXPECT_EQ(seen.length, expected.length);
    EXPECT_TRUE(seen.buffer == expected.buffer) << "the raw report bytes differ";
    EXPECT_EQ(seen.host_wrote, expected.host_wrote);
}

TEST(PrinterLinkSession, GoodSession_PrinterSeesTheStopCommand) {
    PipePrinter server;
    ScriptedDiscovery discovery({{server.device_path()}});
    PrinterLink link;
    ASSERT_TRUE(link.open());
    std::vector<char> buffer(kReportBufferSize);
    std::size_t length = 0;
    EXPECT_TRUE(ReportSession::run(link, buffer.data(), buffer.size(), length));
    EXPECT_GT(length, 0u);
    link.close();

    ASSERT_TRUE(server.wait_for_sessions(1, kSessionWaitMs));
    const PipeSessionRecord record = server.sessions()[0];
    EXPECT_TRUE(record.stop_received);
    const std::string stop(session_command::kStop);
    ASSERT_GE(record.host_wrote.size(), stop.size());
    EXPECT_EQ(record.host_wrote.substr(record.host_wrote.size() - stop.size()), stop);
}

TEST(PrinterLinkSession, PrinterDisconnectsMidChunk_FailsWithoutWaitingForATimeOut) {
    PipePrinter server(sample_report(), PrinterFault::DisconnectMidChunk);
    ScriptedDiscovery discovery({{server.device_path()}});
    PrinterLink link;
    ASSERT_TRUE(link.open());
    std::vector<char> buffer(kReportBufferSize);
    std::size_t length = 0;
    const auto start = Clock::now();
    EXPECT_FALSE(ReportSession::run(link, buffer.data(), buffer.size(), length));
    // A broken pipe is an error at once, not a read to wait out.
    EXPECT_LT(seconds_since(start), 2.5);
    EXPECT_FALSE(link.write("x", 1));
    link.close();
    ASSERT_TRUE(server.wait_for_sessions(1, kSessionWaitMs));
    EXPECT_TRUE(server.sessions()[0].disconnected);
}

TEST(PipePrinter, NoHostEverConnects_StopsAtOnce) {
    const auto start = Clock::now();
    {
        PipePrinter server;
        ASSERT_TRUE(server.ok());
    }
    EXPECT_LT(seconds_since(start), 1.0);
}

TEST(PipePrinter, HostStillConnected_StopsAtOnceAndTheHostSeesItGone) {
    auto server = std::make_unique<PipePrinter>(sample_report(), PrinterFault::Silence);
    ScriptedDiscovery discovery({{server->device_path()}});
    PrinterLink link;
    ASSERT_TRUE(link.open());
    ASSERT_TRUE(link.write(session_command::kStart.data(), session_command::kStart.size()));
    const auto start = Clock::now();
    server.reset();
    EXPECT_LT(seconds_since(start), 1.0);
    char answer[8];
    std::size_t received = 0;
    EXPECT_FALSE(link.read(answer, sizeof answer, received));
    EXPECT_LT(seconds_since(start), 2.5);  // a broken pipe, not a time-out
}

TEST(PrinterLinkRead, NothingArrives_FailsAfterAboutThreeSecondsAndTheLinkStaysUsable) {
    BarePipes pipes;
    PrinterLink link;
    ASSERT_TRUE(link.open());
    std::vector<char> buffer(64, kGuard);
    std::size_t received = 99;
    const auto start = Clock::now();
    EXPECT_FALSE(link.read(buffer.data(), 8, received));
    const double elapsed = seconds_since(start);
    std::printf("[  FIGURE  ] read time-out with no answer: %.3f s\n", elapsed);
    EXPECT_GE(elapsed, 2.5);
    EXPECT_LE(elapsed, 6.0);
    EXPECT_EQ(received, 0u);

    // The cancelled read took nothing: the next answer reaches the next read whole.
    ASSERT_EQ(server_write(pipes.to_host, "ABCDEFGH"), 0u);
    ASSERT_TRUE(link.read(buffer.data(), 8, received));
    EXPECT_EQ(std::string(buffer.data(), received), "ABCDEFGH");
}

struct ReadWhileWaiting {
    bool ok = false;
    std::size_t received = 0;
    double seconds = 0;
};

// A read of `count` bytes into `buffer` during which, 300 ms in, the printer does `act`: late
// enough that the read is already polling.
template <typename Act>
ReadWhileWaiting read_while(PrinterLink& link, std::vector<char>& buffer, std::size_t count,
                            Act act) {
    std::thread printer([&] {
        Sleep(300);
        act();
    });
    ReadWhileWaiting read;
    const auto start = Clock::now();
    read.ok = link.read(buffer.data(), count, read.received);
    read.seconds = seconds_since(start);
    printer.join();
    return read;
}

TEST(PrinterLinkRead, DataArrivesWhileWaiting_CompletesWithFewerBytesThanAsked) {
    BarePipes pipes;
    PrinterLink link;
    ASSERT_TRUE(link.open());
    std::vector<char> buffer(100, kGuard);
    const ReadWhileWaiting read =
        read_while(link, buffer, buffer.size(), [&] { server_write(pipes.to_host, "hello"); });
    ASSERT_TRUE(read.ok);
    EXPECT_EQ(std::string(buffer.data(), read.received), "hello");
    EXPECT_GE(read.seconds, 0.2);
    EXPECT_LT(read.seconds, 2.5);
    EXPECT_EQ(buffer[read.received], kGuard);
}

TEST(PrinterLinkRead, PrinterGoesAwayWhileWaiting_FailsAtOnce) {
    BarePipes pipes;
    PrinterLink link;
    ASSERT_TRUE(link.open());
    std::vector<char> buffer(16, kGuard);
    const ReadWhileWaiting read = read_while(link, buffer, 8, [&] {
        CloseHandle(pipes.to_host);  // the printer leaves
        pipes.to_host = INVALID_HANDLE_VALUE;
    });
    EXPECT_FALSE(read.ok);
    EXPECT_LT(read.seconds, 2.5);
}

TEST(PrinterLinkRead, MoreWaitingThanAsked_DeliversOnlyWhatWasAsked) {
    BarePipes pipes;
    PrinterLink link;
    ASSERT_TRUE(link.open());
    ASSERT_EQ(server_write(pipes.to_host, "0123456789abcdefghij"), 0u);
    std::vector<char> buffer(32, kGuard);
    std::size_t received = 0;
    ASSERT_TRUE(link.read(buffer.data(), 12, received));
    EXPECT_EQ(std::string(buffer.data(), received), "0123456789ab");
    EXPECT_EQ(buffer[12], kGuard);
    ASSERT_TRUE(link.read(buffer.data(), 12, received));
    EXPECT_EQ(std::string(buffer.data(), received), "cdefghij");
}

TEST(PrinterLinkWrite, WholeCount_ArrivesAtThePrinter) {
    BarePipes pipes;
    PrinterLink link;
    ASSERT_TRUE(link.open());
    EXPECT_TRUE(link.write(session_command::kStart.data(), session_command::kStart.size()));
    std::vector<char> seen(64);
    DWORD received = 0;
    ASSERT_EQ(server_io(pipes.from_host, false, seen.data(), 64, received), 0u);
    EXPECT_EQ(std::string(seen.data(), received), session_command::kStart);
}

// Whether the server end `pipe` still has a host on the other side.
bool host_still_there(HANDLE pipe) {
    DWORD available = 0;
    return PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) != FALSE;
}

TEST(PrinterLinkOpen, ReadPipeMissing_KeepsTheWritePipeOpenUntilClose) {
    const std::string device_path = unique_pipe_device_path();
    HANDLE from_host = create_server_pipe(device_path + PrinterLink::kWritePipeSuffix);
    ASSERT_NE(from_host, INVALID_HANDLE_VALUE);
    ScriptedDiscovery discovery({{device_path}});

    PrinterLink link;
    EXPECT_FALSE(link.open());
    EXPECT_TRUE(link.write_pipe_open());
    EXPECT_FALSE(link.read_pipe_open());
    EXPECT_TRUE(host_still_there(from_host));

    link.close();
    EXPECT_FALSE(link.write_pipe_open());
    EXPECT_FALSE(host_still_there(from_host));
    CloseHandle(from_host);
}

TEST(PrinterLinkClose, SecondClose_ClosesNothing) {
    BarePipes pipes;
    PrinterLink link;
    ASSERT_TRUE(link.open());
    link.close();
    // New handles are likely to take the numbers the pipes had: a second close must spare them.
    HANDLE events[4];
    for (HANDLE& event : events) event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    link.close();
    for (HANDLE event : events) {
        DWORD flags = 0;
        EXPECT_TRUE(GetHandleInformation(event, &flags));
        CloseHandle(event);
    }
    EXPECT_FALSE(link.write_pipe_open());
    EXPECT_FALSE(link.read_pipe_open());
}

TEST(PrinterLinkClose, NeverOpened_IsHarmless) {
    PrinterLink link;
    link.close();
    link.close();
    EXPECT_FALSE(link.write_pipe_open());
}

}  // namespace
