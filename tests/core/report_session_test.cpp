#include "link/report_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "link/session_trace.h"
#include "report/report_text.h"
#include "sim/simulated_printer.h"
#include "tests/core/session_test_support.h"

// Steps are named in failure messages (found by the test framework beside SessionStep).
static void PrintTo(SessionStep step, std::ostream* os) {
    static constexpr const char* kNames[] = {
        "start", "acknowledgement", "request",          "header",
        "chunk", "out-of-step",     "report-too-large", "complete"};
    *os << kNames[static_cast<int>(step)];
}

namespace {

using namespace session_test;

// The printer's side as a list of transfers: a read takes bytes from the current transfer only,
// as a USB pipe delivers one transfer per read. Reads past the script time out. Writes and reads
// can be made to fail by their number.
class ScriptedLink : public SessionLink {
public:
    explicit ScriptedLink(std::vector<std::string> script) : transfers_(std::move(script)) {}

    bool write(const char* bytes, std::size_t count) override {
        writes.emplace_back(bytes, count);
        return failing_write != writes.size() - 1;
    }

    bool read(char* buffer, std::size_t count, std::size_t& received) override {
        received = 0;
        read_sizes.push_back(count);
        if (failing_reads.count(read_sizes.size() - 1) > 0 || next_ >= transfers_.size())
            return false;
        const std::string& transfer = transfers_[next_];
        received = std::min(count, transfer.size() - offset_);
        std::memcpy(buffer, transfer.data() + offset_, received);
        offset_ += received;
        if (offset_ == transfer.size()) {
            ++next_;
            offset_ = 0;
        }
        return true;
    }

    bool script_used_up() const { return next_ == transfers_.size(); }

    std::vector<std::string> writes;
    std::vector<std::size_t> read_sizes;
    std::optional<std::size_t> failing_write;
    std::set<std::size_t> failing_reads;

private:
    std::vector<std::string> transfers_;
    std::size_t next_ = 0;
    std::size_t offset_ = 0;
};

// A printer that acknowledges, sends `report` (transfers), and answers the stop.
ScriptedLink printer_sending(std::vector<std::string> report) {
    std::vector<std::string> script{kAckBytes};
    script.insert(script.end(), report.begin(), report.end());
    script.push_back(kStopAnswer);
    return ScriptedLink(std::move(script));
}

struct Outcome {
    bool result;
    std::size_t length;
};

Outcome run_session(SessionLink& link, GuardedBuffer& buffer) {
    std::size_t length = 987654;
    const bool result = ReportSession::run(link, buffer.data(), buffer.capacity(), length);
    return {result, length};
}

bool stop_sent(const ScriptedLink& link) {
    return std::count(link.writes.begin(), link.writes.end(), kStopBytes) == 1 &&
           link.writes.back() == kStopBytes;
}

// ---- The exchange around the report ----

TEST(ReportSession, GoodExchange_SendsTheThreeCommandsByteForByteAndReadsTheStopAnswer) {
    ScriptedLink link = printer_sending({chunk(text_of(14)), end_marker()});
    GuardedBuffer buffer(256);
    const Outcome outcome = run_session(link, buffer);
    EXPECT_TRUE(outcome.result);
    EXPECT_EQ(link.writes, (std::vector<std::string>{kStartBytes, kRequestBytes, kStopBytes}));
    EXPECT_EQ(link.read_sizes, (std::vector<std::size_t>{8, 12, 14, 12, 8}));
    EXPECT_TRUE(link.script_used_up());
}

TEST(ReportSession, StartWriteFails_FailsWithoutReadingOrStopping) {
    ScriptedLink link = printer_sending({end_marker()});
    link.failing_write = 0;
    GuardedBuffer buffer(64);
    EXPECT_FALSE(run_session(link, buffer).result);
    EXPECT_EQ(link.writes, std::vector<std::string>{kStartBytes});
    EXPECT_TRUE(link.read_sizes.empty());
}

TEST(ReportSession, BadAcknowledgement_FailsWithoutRequestOrStop) {
    struct Case {
        const char* what;
        std::vector<std::string> script;
        std::set<std::size_t> failing_reads;
    };
    const std::vector<Case> cases{
        {"read fails", {kAckBytes}, {0}},
        {"short", {kAckBytes.substr(0, 7), "K"}, {}},
        {"differs in its last byte", {kAckBytes.substr(0, 7) + "X"}, {}},
        {"lacks the ESC w prefix", {"MAA-OK\r\n"}, {}},
        {"nothing arrives", {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedLink link(c.script);
        link.failing_reads = c.failing_reads;
        GuardedBuffer buffer(64);
        EXPECT_FALSE(run_session(link, buffer).result);
        EXPECT_EQ(link.writes, std::vector<std::string>{kStartBytes});
        EXPECT_EQ(link.read_sizes, std::vector<std::size_t>{8});
        EXPECT_TRUE(buffer.untouched_from(0));
    }
}

TEST(ReportSession, RequestWriteFails_SendsStopAndFails) {
    ScriptedLink link = printer_sending({});
    link.failing_write = 1;
    GuardedBuffer buffer(64);
    EXPECT_FALSE(run_session(link, buffer).result);
    EXPECT_EQ(link.writes, (std::vector<std::string>{kStartBytes, kRequestBytes, kStopBytes}));
    EXPECT_EQ(link.read_sizes, (std::vector<std::size_t>{8, 8}));
}

TEST(ReportSession, FailedStopExchange_DoesNotChangeTheResult) {
    ScriptedLink link({kAckBytes, chunk("abc"), end_marker()});  // no answer to the stop
    link.failing_write = 2;
    GuardedBuffer buffer(64);
    const Outcome outcome = run_session(link, buffer);
    EXPECT_TRUE(outcome.result);
    EXPECT_EQ(outcome.length, 4u);
    EXPECT_EQ(buffer.text(4), "abc\r");
}

TEST(ReportSession, ReadFailsOrIsShortInTheChunkLoop_SendsStopAndFails) {
    struct Case {
        const char* what;
        std::vector<std::string> report;
        std::set<std::size_t> failing_reads;  // 0 is the acknowledgement
    };
    const std::string header_of_ten = header(0, 0, 10);
    const std::vector<Case> cases{
        {"first header read fails", {chunk("abc"), end_marker()}, {1}},
        {"later header read fails", {chunk("abc"), end_marker()}, {3}},
        {"header short", {chunk("abc"), end_marker().substr(0, 6)}, {}},
        {"chunk read fails", {chunk("abcdefghij"), end_marker()}, {2}},
        {"chunk short", {header_of_ten + "abcd", end_marker()}, {}},
        {"chunk short after its header came alone", {header_of_ten, "abcd"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedLink link = printer_sending(c.report);
        link.failing_reads = c.failing_reads;
        GuardedBuffer buffer(64);
        EXPECT_FALSE(run_session(link, buffer).result);
        EXPECT_TRUE(stop_sent(link));
        EXPECT_EQ(link.read_sizes.back(), 8u);  // the stop answer
        EXPECT_TRUE(buffer.guard_intact());
    }
}

// ---- What is stored ----

TEST(ReportSession, TwoChunksOf14Bytes_Give30BytesWithCrAfterEach) {
    ScriptedLink link =
        printer_sending({chunk("Model Name: M1"), chunk("Pages: 1234567"), end_marker()});
    GuardedBuffer buffer(64);
    const Outcome outcome = run_session(link, buffer);
    EXPECT_TRUE(outcome.result);
    EXPECT_EQ(outcome.length, 30u);
    EXPECT_EQ(buffer.text(30), "Model Name: M1\rPages: 1234567\r");
    EXPECT_TRUE(buffer.untouched_from(30));
}

TEST(ReportSession, ChunkOfLengthZero_StoresASingleCr) {
    ScriptedLink link = printer_sending({chunk("a"), chunk(""), chunk("b"), end_marker()});
    GuardedBuffer buffer(64);
    const Outcome outcome = run_session(link, buffer);
    EXPECT_TRUE(outcome.result);
    EXPECT_EQ(buffer.text(outcome.length), "a\r\rb\r");
}

TEST(ReportSession, ChunkBytes_AreStoredAsTheyArriveIncludingNulAndLf) {
    const std::string text("x\0y\nz\r\xff", 7);
    ScriptedLink link = printer_sending({chunk(text), end_marker()});
    GuardedBuffer buffer(64);
    const Outcome outcome = run_session(link, buffer);
    EXPECT_TRUE(outcome.result);
    EXPECT_EQ(buffer.text(outcome.length), text + "\r");
}

TEST(ReportSession, EndMarkerFirst_SucceedsWithLengthZeroAndStoresNothing) {
    ScriptedLink link = printer_sending({end_marker()});
    GuardedBuffer buffer(64);
    const Outcome outcome = run_session(link, buffer);
    EXPECT_TRUE(outcome.result);
    EXPECT_EQ(outcome.length, 0u);
    EXPECT_TRUE(buffer.untouched_from(0));
    EXPECT_TRUE(stop_sent(link));
}

TEST(ReportSession, AnyNonZeroStatus_EndsTheReport) {
    for (const std::uint32_t status : {1u, 0x100u, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(status);
        ScriptedLink link =
            printer_sending({chunk("abc"), end_marker(status), chunk("never read")});
        GuardedBuffer buffer(64);
        const Outcome outcome = run_session(link, buffer);
        EXPECT_TRUE(outcome.result);
        EXPECT_EQ(buffer.text(outcome.length), "abc\r");
    }
}

TEST(ReportSession, SecondHeaderWord_HasNoEffect) {
    for (const std::uint32_t second : {0u, 1u, 0x0000FFFFu, 0xDEADBEEFu, 0xFFFFFFFFu}) {
        SCOPED_TRACE(second);
        ScriptedLink link = printer_sending(
            {chunk("Pages: 1", second), chunk("Jams: 0", second), header(1, second, 0)});
        GuardedBuffer buffer(64);
        const Outcome outcome = run_session(link, buffer);
        EXPECT_TRUE(outcome.result);
        EXPECT_EQ(buffer.text(outcome.length), "Pages: 1\rJams: 0\r");
    }
}

TEST(ReportSession, ChunkLeavingExactlyRoomForTheNul_IsStored) {
    ScriptedLink link = printer_sending({chunk(text_of(14)), end_marker()});
    GuardedBuffer buffer(16);
    const Outcome outcome = run_session(link, buffer);
    EXPECT_TRUE(outcome.result);
    EXPECT_EQ(outcome.length, 15u);
    EXPECT_EQ(buffer.text(15), text_of(14) + "\r");
    EXPECT_TRUE(buffer.untouched_from(15));
}

TEST(ReportSession, ChunkLeavingNoRoomForTheNul_IsNotStoredButTheRestIsReadAndTheResultIsFalse) {
    ScriptedLink link =
        printer_sending({chunk("abcdefg"), chunk("1234567"), chunk("x"), end_marker()});
    GuardedBuffer buffer(16);
    const Outcome outcome = run_session(link, buffer);
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(buffer.text(8), "abcdefg\r");
    EXPECT_TRUE(buffer.untouched_from(8));
    EXPECT_TRUE(link.script_used_up());  // every chunk, the end marker and the stop answer
    EXPECT_TRUE(stop_sent(link));
}

// ---- Chunks announced longer than the 1024-byte chunk buffer ----

TEST(ReportSession, LongChunkThatFits_IsReadWholeWithOneReadStraightIntoPlace) {
    for (const std::uint32_t length : {1023u, 1024u, 5000u}) {
        SCOPED_TRACE(length);
        const std::string text = text_of(length);
        ScriptedLink link = printer_sending({chunk("head"), chunk(text), end_marker()});
        GuardedBuffer buffer(8192);
        const Outcome outcome = run_session(link, buffer);
        EXPECT_TRUE(outcome.result);
        EXPECT_EQ(outcome.length, 5 + length + 1);
        EXPECT_EQ(buffer.text(outcome.length), "head\r" + text + "\r");
        EXPECT_EQ(link.read_sizes, (std::vector<std::size_t>{8, 12, 4, 12, length, 12, 8}));
        EXPECT_TRUE(buffer.untouched_from(outcome.length));
    }
}

TEST(ReportSession, LongChunkThatDoesNotFit_IsConsumedInPiecesAndCountsAsOverflow) {
    const std::size_t capacity = 3000;
    const std::string text = text_of(capacity - 1);
    ScriptedLink link = printer_sending({chunk(text), chunk("after"), end_marker()});
    GuardedBuffer buffer(capacity);
    const Outcome outcome = run_session(link, buffer);
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(link.read_sizes, (std::vector<std::size_t>{8, 12, 1024, 1024, 951, 12, 5, 12, 8}));
    EXPECT_TRUE(link.script_used_up());
    EXPECT_TRUE(buffer.untouched_from(0));
    EXPECT_TRUE(stop_sent(link));
}

TEST(ReportSession, LongChunkThatNoLongerFitsAfterEarlierChunks_IsDiscarded) {
    ScriptedLink link = printer_sending({chunk(text_of(1500)), chunk(text_of(1200)), end_marker()});
    GuardedBuffer buffer(2048);
    const Outcome outcome = run_session(link, buffer);
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(buffer.text(1501), text_of(1500) + "\r");
    EXPECT_TRUE(buffer.untouched_from(1501));
    EXPECT_TRUE(link.script_used_up());
}

TEST(ReportSession, DiscardedChunkEndingEarly_SendsStopAndFails) {
    ScriptedLink link = printer_sending({header(0, 0, 2047) + text_of(1500)});
    GuardedBuffer buffer(2048);
    EXPECT_FALSE(run_session(link, buffer).result);
    EXPECT_EQ(link.read_sizes, (std::vector<std::size_t>{8, 12, 1024, 1023, 8}));
    EXPECT_TRUE(stop_sent(link));
    EXPECT_TRUE(buffer.untouched_from(0));
}

TEST(ReportSession, ChunkAtLeastAsLongAsTheBuffer_EndsTheSessionAtOnceWithStop) {
    const std::size_t capacity = 2048;
    for (const std::uint32_t length :
         {static_cast<std::uint32_t>(capacity), 0x10000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(length);
        ScriptedLink link = printer_sending({header(0, 0, length), kAckBytes});
        GuardedBuffer buffer(capacity);
        EXPECT_FALSE(run_session(link, buffer).result);
        EXPECT_EQ(link.read_sizes, (std::vector<std::size_t>{8, 12, 8}));
        EXPECT_TRUE(stop_sent(link));
        EXPECT_TRUE(buffer.untouched_from(0));
    }
}

TEST(ReportSession, ReportFillingTheWholeBuffer_StoresEveryByteAndKeepsRoomForTheNul) {
    // 100 chunks of 1023 bytes plus CR fill 102400 bytes: the last one leaves no room for the NUL.
    std::vector<std::string> report(100, chunk(text_of(1023)));
    report.push_back(end_marker());
    ScriptedLink link = printer_sending(report);
    GuardedBuffer buffer(kReportBufferSize);
    const Outcome outcome = run_session(link, buffer);
    EXPECT_FALSE(outcome.result);
    EXPECT_TRUE(buffer.untouched_from(99 * 1024));
    EXPECT_TRUE(link.script_used_up());

    report.erase(report.begin());  // 99 chunks fit
    ScriptedLink shorter = printer_sending(report);
    GuardedBuffer second(kReportBufferSize);
    const Outcome fits = run_session(shorter, second);
    EXPECT_TRUE(fits.result);
    EXPECT_EQ(fits.length, 99u * 1024u);
}

// ---- Against the simulated printer and each of its faults ----

struct FaultCase {
    PrinterFault fault;
    const char* name;
    bool result;
    bool stop_received;
    std::size_t timeouts;
    SessionStep step;    // where a trace of the link says the session stopped
    std::size_t chunks;  // chunks the trace saw arrive whole

    friend void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }
};

class SessionWithSimulatedPrinter : public testing::TestWithParam<FaultCase> {};

TEST_P(SessionWithSimulatedPrinter, Session_EndsAsThePrinterBehavesAndConsumesAllItSent) {
    const FaultCase& c = GetParam();
    SimulatedPrinter printer(sample_report(), c.fault);
    SimulatedPrinterLink link(printer);
    SessionTrace trace(link);
    GuardedBuffer buffer(kReportBufferSize);
    const Outcome outcome = run_session(trace, buffer);
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(printer.stop_received(), c.stop_received);
    EXPECT_EQ(link.timeouts(), c.timeouts);
    EXPECT_TRUE(buffer.guard_intact());
    EXPECT_EQ(trace.stopped_at(outcome.result), c.step);
    EXPECT_EQ(trace.chunks(), c.chunks);
    char probe = 0;
    std::size_t received = 0;
    EXPECT_FALSE(link.read(&probe, 1, received)) << "the session left bytes unread";
}

// Chunks of the report the printer sends when it is larger than the buffer: the sample report
// repeated until it passes the buffer's size.
std::size_t oversized_chunks() {
    std::string text = sample_report();
    while (text.size() <= kReportBufferSize) text += sample_report();
    return cut_into_chunks(text, 1000).size();
}

std::vector<FaultCase> fault_cases() {
    // Faults that break the report off do it after 2 good chunks, or halfway for the time-out.
    const std::size_t kSampleChunks = sample_chunks().size();
    return {
        {PrinterFault::None, "None", true, true, 0, SessionStep::Complete, kSampleChunks},
        {PrinterFault::Silence, "Silence", false, false, 1, SessionStep::Acknowledgement, 0},
        {PrinterFault::WrongAcknowledgement, "WrongAcknowledgement", false, false, 0,
         SessionStep::Acknowledgement, 0},
        {PrinterFault::ShortAcknowledgement, "ShortAcknowledgement", false, false, 0,
         SessionStep::Acknowledgement, 0},
        {PrinterFault::ShortHeader, "ShortHeader", false, true, 1, SessionStep::Header, 2},
        {PrinterFault::ShortChunk, "ShortChunk", false, true, 1, SessionStep::Chunk, 2},
        {PrinterFault::SilentAfterHeader, "SilentAfterHeader", false, true, 2, SessionStep::Chunk,
         2},
        {PrinterFault::TimeoutInChunkLoop, "TimeoutInChunkLoop", false, true, 2,
         SessionStep::Header, kSampleChunks / 2},
        {PrinterFault::EnormousLength, "EnormousLength", false, true, 0,
         SessionStep::ReportTooLarge, 2},
        {PrinterFault::ZeroLengthChunk, "ZeroLengthChunk", true, true, 0, SessionStep::Complete,
         kSampleChunks + (kSampleChunks + 2) / 3},  // one empty chunk before every third
        {PrinterFault::NonZeroSecondWord, "NonZeroSecondWord", true, true, 0, SessionStep::Complete,
         kSampleChunks},
        {PrinterFault::EndMarkerFirst, "EndMarkerFirst", true, true, 0, SessionStep::Complete, 0},
        {PrinterFault::ReportLargerThanBuffer, "ReportLargerThanBuffer", false, true, 0,
         SessionStep::ReportTooLarge, oversized_chunks()},
        {PrinterFault::DisconnectMidChunk, "DisconnectMidChunk", false, false, 0,
         SessionStep::Chunk, 2},
        {PrinterFault::PartialWrite, "PartialWrite", false, true, 0, SessionStep::Request, 0},
    };
}

INSTANTIATE_TEST_SUITE_P(EveryFault, SessionWithSimulatedPrinter, testing::ValuesIn(fault_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

std::string run_to_text(PrinterFault fault) {
    SimulatedPrinter printer(sample_report(), fault);
    SimulatedPrinterLink link(printer);
    std::vector<char> buffer(kReportBufferSize);
    std::size_t length = 0;
    EXPECT_TRUE(ReportSession::run(link, buffer.data(), buffer.size(), length));
    return std::string(buffer.data(), length);
}

TEST(ReportSession, SimulatedPrinter_ReportArrivesExactlyAsThePrinterHoldsIt) {
    EXPECT_EQ(run_to_text(PrinterFault::None), sample_report());
    EXPECT_EQ(run_to_text(PrinterFault::NonZeroSecondWord), sample_report());
    EXPECT_EQ(run_to_text(PrinterFault::EndMarkerFirst), "");
}

TEST(ReportSession, SimulatedPrinterWithZeroLengthChunks_AddsOnlyEmptyLines) {
    std::string text = run_to_text(PrinterFault::ZeroLengthChunk);
    EXPECT_GT(text.size(), sample_report().size());
    for (std::size_t at; (at = text.find("\r\r")) != std::string::npos;) text.erase(at, 1);
    if (!text.empty() && text.front() == '\r') text.erase(0, 1);
    EXPECT_EQ(text, sample_report());
}

TEST(ReportSession, SimulatedPrinterWithLargeChunks_DeliversTheReportWhole) {
    SimulatedPrinter printer(sample_report());
    printer.set_chunk_size(5000);
    SimulatedPrinterLink link(printer);
    std::vector<char> buffer(kReportBufferSize);
    std::size_t length = 0;
    EXPECT_TRUE(ReportSession::run(link, buffer.data(), buffer.size(), length));
    EXPECT_EQ(std::string(buffer.data(), length), sample_report());
}

}  // namespace
