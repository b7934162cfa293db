// The retrieval worker on its real thread (started with _beginthread), reporting to a recording
// view, over the pipe printer found through a scripted device enumeration.

#include <gtest/gtest.h>
#include <process.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/cut_notice.h"
#include "app/retrieval_worker.h"
#include "app/scrambled_asset.h"
#include "link/report_session.h"
#include "report/report_formatter.h"
#include "tests/win/recording_view.h"
#include "sim/pipe_printer.h"

namespace {

using namespace recording_view;

constexpr auto kRetrievalDeadline = std::chrono::seconds(20);
using Clock = std::chrono::steady_clock;

// The one worker thread of the program, started once for all tests.
class WorkerThreadStarter : public ::testing::Environment {
public:
    void SetUp() override { handle = _beginthread(worker_main, 0, nullptr); }
    static inline std::uintptr_t handle = 0;
};

const auto* const g_worker_thread = ::testing::AddGlobalTestEnvironment(new WorkerThreadStarter);

// Whether the worker handed the buttons back to `view` within the deadline.
bool wait_for_buttons(const RecordingView& view) {
    const auto deadline = Clock::now() + kRetrievalDeadline;
    while (!view.buttons_enabled()) {
        if (Clock::now() > deadline) return false;
        Sleep(5);
    }
    return true;
}

class RetrievalWorker : public ::testing::Test {
protected:
    void SetUp() override { install_retrieval_view(&view_); }
    void TearDown() override {
        install_retrieval_view(nullptr);
        set_report_buffer_source(nullptr);
    }

    // What the dialog does on get-data, then waits until the worker hands the buttons back.
    ::testing::AssertionResult retrieve() {
        request_retrieval();
        if (!wait_for_buttons(view_)) return ::testing::AssertionFailure() << "no end of retrieval";
        if (RetrievalRequest.load()) return ::testing::AssertionFailure() << "request not cleared";
        return ::testing::AssertionSuccess();
    }

    RecordingView view_;
};

TEST(WorkerThread, StartedWithBeginthread_ServesARequest) {
    ASSERT_NE(WorkerThreadStarter::handle, static_cast<std::uintptr_t>(-1));
    ScriptedDiscovery no_printer({});
    RecordingView view;
    install_retrieval_view(&view);
    request_retrieval();
    const auto deadline = Clock::now() + kRetrievalDeadline;
    while (RetrievalRequest.load() && Clock::now() < deadline) Sleep(5);
    while (!view.buttons_enabled() && Clock::now() < deadline) Sleep(5);
    install_retrieval_view(nullptr);
    EXPECT_FALSE(RetrievalRequest.load());
    EXPECT_TRUE(view.buttons_enabled());
}

TEST_F(RetrievalWorker, NormalReport_FillsTheFieldsAndTheTextInOrderAndEnablesBothButtons) {
    const FormattedReport expected = expected_report(sample_report());
    ASSERT_TRUE(expected.fields.model && expected.fields.serial && expected.fields.firmware &&
                expected.fields.crum);
    PipePrinter printer;
    ScriptedDiscovery discovery({{printer.device_path()}});

    ASSERT_TRUE(retrieve());
    // The four fields were checked present above, so all four calls are expected, in order.
    EXPECT_EQ(view_.calls(), success_calls(expected));
    EXPECT_EQ(view_.report_text(), expected.text);
    EXPECT_TRUE(HasReport.load());
    ASSERT_TRUE(printer.wait_for_sessions(1, 10000));
    EXPECT_TRUE(printer.sessions()[0].stop_received);
}

TEST_F(RetrievalWorker, NoSupportedPrinter_ShowsTheFailureAndEnablesOnlyGetData) {
    ScriptedDiscovery discovery({{unique_pipe_device_path("#vid_1234&pid_0001#1")}});
    const auto start = Clock::now();
    ASSERT_TRUE(retrieve());
    std::printf("[  FIGURE  ] retrieval with no supported printer: %.3f s\n",
                std::chrono::duration<double>(Clock::now() - start).count());
    EXPECT_EQ(view_.calls(), failure_calls());
    EXPECT_FALSE(HasReport.load());
    EXPECT_EQ(discovery.sets_destroyed(), discovery.sets_obtained());
}

// The box is not emptied here as the dialog would: HasReport must follow it before the message.
TEST_F(RetrievalWorker, FailureWhileTheBoxHoldsText_SetsHasReportBeforeTheMessage) {
    ScriptedDiscovery no_printer({});
    view_.set_report_text("Earlier : 1\r\n");
    ASSERT_TRUE(retrieve());
    std::vector<std::string> expected = failure_calls(true);
    expected.insert(expected.begin(), "report text");
    EXPECT_EQ(view_.calls(), expected);
    EXPECT_TRUE(HasReport.load());
}

TEST_F(RetrievalWorker, SilentPrinter_FailsAfterOneReadTimeOut) {
    PipePrinter printer(sample_report(), PrinterFault::Silence);
    ScriptedDiscovery discovery({{printer.device_path()}});
    const auto start = Clock::now();
    ASSERT_TRUE(retrieve());
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("[  FIGURE  ] retrieval with a printer that never answers: %.3f s\n", elapsed);
    EXPECT_GE(elapsed, 2.5);
    EXPECT_LE(elapsed, 6.0);
    const std::vector<std::string> calls = view_.calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), "buttons: get-data on, open-report off");
    EXPECT_NE(std::find(calls.begin(), calls.end(), failure_information_call()), calls.end());
    // No acknowledgement, so no stop command either.
    ASSERT_TRUE(printer.wait_for_sessions(1, 10000));
    EXPECT_FALSE(printer.sessions()[0].stop_received);
}

TEST_F(RetrievalWorker, EmptyReport_ShowsDoneWithoutAMessageAndOpenReportStaysOff) {
    PipePrinter printer(sample_report(), PrinterFault::EndMarkerFirst);
    ScriptedDiscovery discovery({{printer.device_path()}});
    ASSERT_TRUE(retrieve());
    EXPECT_EQ(view_.calls(), (std::vector<std::string>{
                                 "status: " + asset_text(AssetId::RetrievingStatus),
                                 "status: " + asset_text(AssetId::DoneStatus),
                                 "report length",
                                 "buttons: get-data on, open-report off",
                             }));
    EXPECT_FALSE(HasReport.load());
}

TEST_F(RetrievalWorker, ReportWithoutModelName_LeavesTheModelFieldAlone) {
    const std::string report =
        "Machine Serial Number : ZDX4BJCQ300112\r"
        "Firmware Version : V3.00.01.14\r"
        "Pages Printed: 1432  Jams: 2\r"
        "Toner CRUM-1403A09261BC7\r";
    PipePrinter printer(report, PrinterFault::None);
    ScriptedDiscovery discovery({{printer.device_path()}});
    ASSERT_TRUE(retrieve());
    EXPECT_EQ(view_.calls(), (std::vector<std::string>{
                                 "status: " + asset_text(AssetId::RetrievingStatus),
                                 "serial: ZDX4BJCQ300112",
                                 "firmware: V3.00.01.14",
                                 "crum: 1403A09261B",
                                 "report text",
                                 "status: " + asset_text(AssetId::DoneStatus),
                                 "report length",
                                 "buttons: get-data on, open-report on",
                             }));
    EXPECT_EQ(view_.report_text(), expected_report(report).text);
}

TEST_F(RetrievalWorker, PrinterDisconnectingMidChunk_LeavesTheBoxesEmptyAndShowsTheFailure) {
    PipePrinter printer(sample_report(), PrinterFault::DisconnectMidChunk);
    ScriptedDiscovery discovery({{printer.device_path()}});
    ASSERT_TRUE(retrieve());
    EXPECT_EQ(view_.calls(), failure_calls());
}

void* no_memory(std::size_t) { return nullptr; }

TEST_F(RetrievalWorker, ReportBufferUnavailable_IsAFailureAndThePrinterIsLeftAlone) {
    PipePrinter printer;
    ScriptedDiscovery discovery({{printer.device_path()}});
    set_report_buffer_source(&no_memory);
    ASSERT_TRUE(retrieve());
    EXPECT_EQ(view_.calls(), failure_calls());
    EXPECT_EQ(discovery.sets_obtained(), 0);
}

std::size_t g_requested_size = 0;
void* counting_malloc(std::size_t size) {
    g_requested_size = size;
    return std::malloc(size);
}

TEST_F(RetrievalWorker, TwoRequestsInARow_AreEachServedByAFreshPrinter) {
    PipePrinter printer;
    ScriptedDiscovery discovery({{printer.device_path()}});
    set_report_buffer_source(&counting_malloc);
    ASSERT_TRUE(retrieve());
    const std::vector<std::string> first = view_.calls();
    EXPECT_EQ(g_requested_size, kReportBufferSize);

    RecordingView second_view;
    install_retrieval_view(&second_view);
    request_retrieval();
    wait_for_buttons(second_view);
    EXPECT_EQ(second_view.calls(), first);
    ASSERT_TRUE(printer.wait_for_sessions(2, 10000));
    EXPECT_TRUE(printer.sessions()[1].stop_received);
}

// The Russian line goes wherever the ANSI code page holds it, not only on 1251: also on a system
// whose ANSI code page is UTF-8 (the end-to-end tests run on 1251 and 1252).
TEST(CutNotice, AnsiCodePageUtf8_HoldsTheRussianLine) {
    const CutNotice notice(7, 12, CP_UTF8);
    EXPECT_STREQ(notice.line(),
                 reinterpret_cast<const char*>(u8"Отчёт обрезан, показано строк: 7 из 12.\r\n"));
}

}  // namespace
