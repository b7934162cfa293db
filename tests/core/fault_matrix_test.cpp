// The report session against a hostile printer, in memory, on the virtual clock of the timed
// link: for every fault, what the session returns, whether the printer got the stop command,
// what was stored, and how long the host would have waited; then a retrieval with a printer that
// behaves again. Nothing here sleeps.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "link/report_session.h"
#include "report/report_text.h"
#include "tests/core/session_test_support.h"
#include "sim/simulated_printer.h"

namespace {

using namespace session_test;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kTimeoutMs = TimedPrinterLink::kReadTimeoutMs;

struct TimedRun {
    bool result = false;
    std::size_t length = 0;
    std::uint64_t waited_ms = 0;  // virtual: what the host's reads would have waited
    double wall_seconds = 0;      // real: what the test took
};

TimedRun run_timed(TimedPrinterLink& link, GuardedBuffer& buffer) {
    TimedRun run;
    const std::uint64_t before = link.now_ms();
    const auto start = Clock::now();
    run.result = ReportSession::run(link, buffer.data(), buffer.capacity(), run.length);
    run.wall_seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.waited_ms = link.now_ms() - before;
    return run;
}

// Each retrieval opens its link anew: a fresh link to a printer that behaves.
void expect_good_retrieval() {
    SimulatedPrinter printer;
    TimedPrinterLink link(printer);
    GuardedBuffer buffer(kReportBufferSize);
    const TimedRun run = run_timed(link, buffer);
    EXPECT_TRUE(run.result);
    EXPECT_EQ(buffer.text(run.length), sample_report());
    EXPECT_TRUE(printer.stop_received());
}

// ---- The matrix: one printer fault per case ----

struct MatrixCase {
    const char* name;
    PrinterFault fault;
    std::function<void(SimulatedPrinter&)> tune;  // chunk sizes, delays; may be empty
    bool result;
    bool stop_received;
    std::string stored;  // what the buffer must begin with; on success, exactly the report
    std::uint64_t min_wait_ms;
    std::uint64_t max_wait_ms;
    // On failure, bytes past `stored` that a chunk read straight into place may have written
    // before it came up short. They are not part of the report: the result is false.
    std::size_t scratch = 0;

    friend void PrintTo(const MatrixCase& c, std::ostream* out) { *out << c.name; }
};

std::string edge_chunks_text() { return "\r" + text_of(1023) + "\r" + text_of(1024) + "\rend\r"; }

void use_edge_chunks(SimulatedPrinter& printer) {
    printer.set_chunks({"", text_of(1023), text_of(1024), "end"});
}

// Three short chunks, each `delay` ms after the one before; the end marker too.
std::function<void(SimulatedPrinter&)> slow_chunks(std::uint32_t delay) {
    return [delay](SimulatedPrinter& printer) {
        printer.set_chunks({"Model Name: Slow", "Pages: 12", "Toner: 40%"});
        printer.set_chunk_delay_ms(delay);
    };
}

std::vector<MatrixCase> matrix_cases() {
    const std::string sample = sample_report();
    // clang-format off
    return {
        {"Silence", PrinterFault::Silence, {}, false, false, "", kTimeoutMs, kTimeoutMs},
        // A read that completes with 0 bytes is a short read: the loop ends, the stop goes out.
        {"ZeroByteTransferAmongTheChunks", PrinterFault::ZeroByteTransfers, {}, false, true,
         first_chunks(2), 0, kTimeoutMs},
        // The first read gets the 5 bytes alone: not a header; the stop's answer read takes the 7.
        {"HeaderSplitFiveThenSeven", PrinterFault::SplitHeader, {}, false, true, "",
         SimulatedPrinter::kPieceGapMs, SimulatedPrinter::kPieceGapMs},
        {"EveryReplyBackToBack", PrinterFault::BackToBackReplies, {}, true, true, sample, 0, 0},
        {"ExtraBytesAfterTheEndMarker", PrinterFault::ExtraBytesAfterEndMarker, {}, true, true,
         sample, 0, 0},
        // The stale answer passes for the acknowledgement; the real one then lies where the first
        // header should be, and must not pass for an end marker.
        {"LeftoverStopAnswerBeforeTheAcknowledgement", PrinterFault::LeftoverStopAnswer, {}, false,
         true, "", 0, 0},
        {"LateAcknowledgement", PrinterFault::LateAcknowledgement, {}, false, false, "",
         kTimeoutMs, kTimeoutMs},
        {"ChunkLengths0And1023And1024", PrinterFault::None, use_edge_chunks, true, true,
         edge_chunks_text(), 0, 0},
        {"EnormousLength", PrinterFault::EnormousLength, {}, false, true, first_chunks(2), 0, 0},
        {"NonZeroStatusAsTheFirstHeader", PrinterFault::EndMarkerFirst, {}, true, true, "", 0, 0},
        // The printer is gone: the stop cannot be written, the read of its answer fails at once.
        {"DisconnectInTheMiddleOfAChunk", PrinterFault::DisconnectMidChunk, {}, false, false,
         first_chunks(2), 0, 0, sample_chunks()[2].size()},
        {"SlowPrinterJustInsideTheTimeOut", PrinterFault::None, slow_chunks(2500), true, true,
         "Model Name: Slow\rPages: 12\rToner: 40%\r", 4 * 2500, 4 * 2500},
        {"SlowPrinterJustOutsideTheTimeOut", PrinterFault::None, slow_chunks(3100), false, true,
         "", 3100, 3100},
        {"WriteAcceptedOnlyInPart", PrinterFault::PartialWrite, {}, false, true, "", 0, 0},
    };
    // clang-format on
}

class FaultMatrixInMemory : public testing::TestWithParam<MatrixCase> {};

TEST_P(FaultMatrixInMemory, Session_EndsAsExpectedStoresNoGarbageAndTheNextRetrievalWorks) {
    const MatrixCase& c = GetParam();
    SimulatedPrinter printer(sample_report(), c.fault);
    if (c.tune) c.tune(printer);
    TimedPrinterLink link(printer);
    GuardedBuffer buffer(kReportBufferSize);
    const TimedRun run = run_timed(link, buffer);

    EXPECT_EQ(run.result, c.result);
    EXPECT_EQ(printer.stop_received(), c.stop_received);
    EXPECT_EQ(buffer.text(c.stored.size()), c.stored);
    EXPECT_TRUE(buffer.untouched_from(c.stored.size() + c.scratch));
    if (run.result) EXPECT_EQ(run.length, c.stored.size());
    EXPECT_GE(run.waited_ms, c.min_wait_ms);
    EXPECT_LE(run.waited_ms, c.max_wait_ms);
    EXPECT_LT(run.wall_seconds, 0.5) << "in memory nothing waits";

    expect_good_retrieval();
}

INSTANTIATE_TEST_SUITE_P(HostilePrinter, FaultMatrixInMemory, testing::ValuesIn(matrix_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Cases that need more than one session or a closer look ----

TEST(FaultMatrix, SlowPrinter_TakesLongerThanOneTimeOutInAllAndStillSucceeds) {
    SimulatedPrinter printer(sample_report());
    slow_chunks(2900)(printer);
    TimedPrinterLink link(printer);
    GuardedBuffer buffer(kReportBufferSize);
    const TimedRun run = run_timed(link, buffer);
    EXPECT_TRUE(run.result);
    EXPECT_GT(run.waited_ms, 3 * kTimeoutMs);
    EXPECT_EQ(link.timeouts(), 0u);
}

TEST(FaultMatrix, LateAcknowledgement_IsTakenByTheNextSessionOnTheSameLinkWhichFailsCleanly) {
    SimulatedPrinter printer(sample_report(), PrinterFault::LateAcknowledgement);
    TimedPrinterLink link(printer);
    GuardedBuffer first(kReportBufferSize);
    EXPECT_FALSE(run_timed(link, first).result);
    EXPECT_FALSE(printer.stop_received());
    EXPECT_EQ(link.unread(), kAckBytes.size()) << "the late acknowledgement is still on its way";

    // The stale acknowledgement answers the second start; the fresh one is still late, so the
    // first header read times out: a failure, with the stop, and nothing stored.
    GuardedBuffer second(kReportBufferSize);
    const TimedRun run = run_timed(link, second);
    EXPECT_FALSE(run.result);
    EXPECT_TRUE(printer.stop_received());
    EXPECT_TRUE(second.untouched_from(0));
    EXPECT_EQ(printer.host_wrote(), kStartBytes + kStartBytes + kRequestBytes + kStopBytes);

    expect_good_retrieval();
}

TEST(FaultMatrix, StaleAcknowledgementArrivingWithTheReport_IsNotTakenForAnEndMarker) {
    // Exactly the bytes a reused link would hold: a stale 8-byte answer, the acknowledgement and
    // the report, all at once.
    SimulatedPrinter printer(sample_report(), PrinterFault::LeftoverStopAnswer);
    printer.set_chunks({"Model Name: M1"});
    TimedPrinterLink link(printer);
    GuardedBuffer buffer(64);
    std::size_t length = 0;
    EXPECT_FALSE(ReportSession::run(link, buffer.data(), buffer.capacity(), length));
    EXPECT_TRUE(buffer.untouched_from(0));
    EXPECT_TRUE(printer.stop_received());
}

TEST(FaultMatrix, ExtraBytesAfterTheEndMarker_AreLeftUnreadOrTakenByTheStopAnswerRead) {
    SimulatedPrinter printer(sample_report(), PrinterFault::ExtraBytesAfterEndMarker);
    TimedPrinterLink link(printer);
    GuardedBuffer buffer(kReportBufferSize);
    EXPECT_TRUE(run_timed(link, buffer).result);
    // The stray "chunk" (12 + 32 bytes) and the stop's answer (8) were sent; one 8-byte read took
    // the first 8 of them.
    EXPECT_EQ(link.unread(), 12 + 32 + kStopAnswer.size() - 8);
}

// ---- The timed link itself ----

TEST(TimedPrinterLink, Read_WaitsForTheFirstArrivalAndDeliversOnlyWhatHasArrived) {
    SimulatedPrinter printer(sample_report(), PrinterFault::SplitHeader);
    TimedPrinterLink link(printer);
    char bytes[64];
    std::size_t received = 0;
    ASSERT_TRUE(send(link, kStartBytes));
    ASSERT_TRUE(link.read(bytes, 8, received));
    ASSERT_TRUE(send(link, kRequestBytes));
    ASSERT_TRUE(link.read(bytes, 12, received));
    EXPECT_EQ(received, 5u);
    EXPECT_EQ(link.now_ms(), 0u);
    ASSERT_TRUE(link.read(bytes, 7, received));  // the rest of the header, with its chunk
    EXPECT_EQ(received, 7u);
    EXPECT_EQ(link.now_ms(), SimulatedPrinter::kPieceGapMs);
}

TEST(TimedPrinterLink, ZeroByteTransfer_CompletesAReadWithNothing) {
    SimulatedPrinter printer(sample_report(), PrinterFault::ZeroByteTransfers);
    TimedPrinterLink link(printer);
    std::vector<char> bytes(4096);
    std::size_t received = 0;
    ASSERT_TRUE(send(link, kStartBytes));
    ASSERT_TRUE(link.read(bytes.data(), 8, received));
    ASSERT_TRUE(send(link, kRequestBytes));
    const std::size_t two_chunks =
        2 * ChunkHeader::kSize + sample_chunks()[0].size() + sample_chunks()[1].size();
    ASSERT_TRUE(link.read(bytes.data(), two_chunks, received));
    EXPECT_EQ(received, two_chunks);
    ASSERT_TRUE(link.read(bytes.data(), 12, received));
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(link.now_ms(), 0u);
    ASSERT_TRUE(link.read(bytes.data(), 12, received));
    EXPECT_EQ(received, 12u);
    EXPECT_EQ(link.now_ms(), SimulatedPrinter::kPieceGapMs);
}

TEST(TimedPrinterLink, NothingArriving_TimesOutAndALateReplyWaitsForTheNextRead) {
    SimulatedPrinter printer(sample_report(), PrinterFault::LateAcknowledgement);
    TimedPrinterLink link(printer);
    char bytes[8];
    std::size_t received = 0;
    ASSERT_TRUE(send(link, kStartBytes));
    EXPECT_FALSE(link.read(bytes, 8, received));
    EXPECT_EQ(link.now_ms(), kTimeoutMs);
    EXPECT_EQ(link.timeouts(), 1u);
    ASSERT_TRUE(link.read(bytes, 8, received));
    EXPECT_EQ(std::string(bytes, received), kAckBytes);
    EXPECT_EQ(link.now_ms(), SimulatedPrinter::kLateAcknowledgementMs);
}

TEST(TimedPrinterLink, AfterThePrinterLeft_ReadsAndWritesFailAtOnce) {
    SimulatedPrinter printer(sample_report(), PrinterFault::DisconnectMidChunk);
    TimedPrinterLink link(printer);
    std::vector<char> bytes(65536);
    std::size_t received = 0;
    ASSERT_TRUE(send(link, kStartBytes));
    ASSERT_TRUE(send(link, kRequestBytes));
    while (link.read(bytes.data(), bytes.size(), received)) {
    }
    EXPECT_EQ(link.timeouts(), 0u);
    EXPECT_EQ(link.unread(), 0u);
    EXPECT_FALSE(send(link, kStopBytes));
    EXPECT_EQ(link.now_ms(), 0u);
}

}  // namespace
