// Whole retrievals over real named pipes, timed: discovery (scripted to find the pipe printer),
// the two pipes, the session, the formatter and closing, as the worker performs them, with a
// view that shows nothing. The printer serves the sample report. With a delay before each chunk
// the printer's own pace is the sum of its delays; what matters is the time the host adds.
//   retrieval-benchmark.exe [RUNS] [DELAY_MS...]     (defaults: 10 runs, delays 0 1 5 20)

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/retrieval_worker.h"
#include "link/printer_link.h"
#include "link/report_session.h"
#include "report/report_formatter.h"
#include "bench/performance_clock.h"
#include "sim/pipe_printer.h"

namespace {

constexpr int kDefaultRuns = 10;
constexpr std::uint32_t kDefaultDelays[] = {0, 1, 5, 20};

// Takes what the worker shows and keeps only whether a report arrived.
class SilentView : public RetrievalView {
public:
    void set_status(const char*) override {}
    void set_report_text(const char* text) override { length_ = std::strlen(text); }
    void set_field(ReportField, const char*) override {}
    std::size_t report_text_length() override { return length_; }
    void enable_buttons(bool) override {}
    void show_information(const char*) override { failed_ = true; }

    bool succeeded() const { return !failed_ && length_ > 0; }

private:
    std::size_t length_ = 0;
    bool failed_ = false;
};

struct Pace {
    std::uint32_t delay_ms = 0;  // the sum of the printer's delays in one session
    std::size_t replies = 0;
};

// The printer's own pace in one session: what it waits before its replies.
Pace printer_pace(std::uint32_t chunk_delay) {
    SimulatedPrinter printer;
    printer.set_chunk_delay_ms(chunk_delay);
    const std::string commands = std::string(session_command::kStart) +
                                 std::string(session_command::kSystemDataRequest) +
                                 std::string(session_command::kStop);
    printer.receive(commands.data(), commands.size());
    Pace pace;
    for (PrinterReply reply; printer.next_reply(reply); ++pace.replies) pace.delay_ms += reply.delay_ms;
    return pace;
}

struct Figures {
    std::vector<double> values;

    double min() const { return *std::min_element(values.begin(), values.end()); }
    double median() const {
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        const std::size_t n = sorted.size();
        return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }
    double max() const { return *std::max_element(values.begin(), values.end()); }
};

// Passes the session's reads on to the link and counts those that had to wait for the printer:
// a read that finds no data polls, pausing 10 ms at a time.
class WaitCountingLink : public SessionLink {
public:
    static constexpr double kWaitedMs = 2.0;  // far above a read that finds its data there

    explicit WaitCountingLink(SessionLink& link) : link_(link) {}
    bool write(const char* bytes, std::size_t count) override { return link_.write(bytes, count); }
    bool read(char* buffer, std::size_t count, std::size_t& received) override {
        const double start = now_ms();
        const bool ok = link_.read(buffer, count, received);
        const double elapsed = now_ms() - start;
        ++reads;
        if (elapsed >= kWaitedMs) {
            ++waited;
            waited_ms += elapsed;
        }
        return ok;
    }

    int reads = 0;
    int waited = 0;
    double waited_ms = 0;

private:
    SessionLink& link_;
};

// One perform_retrieval; its time in ms, or a negative value when it failed.
double time_retrieval() {
    SilentView view;
    const double start = now_ms();
    perform_retrieval(view);
    const double elapsed = now_ms() - start;
    return view.succeeded() ? elapsed : -1.0;
}

// The same steps by hand, each timed: open, session, format, close; and the session's reads.
bool time_steps(std::vector<Figures>& steps, WaitCountingLink& counted, PrinterLink& link) {
    std::vector<char> buffer(kReportBufferSize);
    std::size_t length = 0;
    FormattedReport report;
    const double t0 = now_ms();
    const bool opened = link.open();
    const double t1 = now_ms();
    const bool received = opened && ReportSession::run(counted, buffer.data(), buffer.size(), length);
    const double t2 = now_ms();
    buffer[std::min(length, buffer.size() - 1)] = '\0';
    const bool formatted = received && ReportFormatter::format(buffer.data(), report);
    const double t3 = now_ms();
    link.close();
    const double t4 = now_ms();
    const double times[] = {t1 - t0, t2 - t1, t3 - t2, t4 - t3};
    for (std::size_t i = 0; i < steps.size(); ++i) steps[i].values.push_back(times[i]);
    return formatted && !report.text.empty();
}

std::unique_ptr<PipePrinter> serve_sample(std::uint32_t chunk_delay) {
    return std::make_unique<PipePrinter>([chunk_delay] {
        auto printer = std::make_unique<SimulatedPrinter>();
        printer->set_chunk_delay_ms(chunk_delay);
        return printer;
    });
}

void print_figures(const char* what, const Figures& figures, double pace) {
    std::printf("  %-24s min %8.2f  median %8.2f  max %8.2f ms", what, figures.min(),
                figures.median(), figures.max());
    if (pace >= 0) {
        std::printf("   added: min %7.2f  median %7.2f ms", figures.min() - pace,
                    figures.median() - pace);
    }
    std::printf("\n");
}

bool measure(std::uint32_t delay, int runs) {
    const Pace pace = printer_pace(delay);
    const auto printer = serve_sample(delay);
    if (!printer->ok()) return false;
    ScriptedDiscovery discovery({{printer->device_path()}});
    std::printf("chunk delay %u ms: %zu replies, printer's own pace %u ms\n", delay, pace.replies,
                pace.delay_ms);
    const double first = time_retrieval();  // the first one also sets up what later ones reuse
    if (first < 0) return false;
    std::printf("  %-24s %8.2f ms\n", "first retrieval", first);
    Figures whole;
    std::vector<Figures> steps(4);
    PrinterLink link;
    WaitCountingLink counted(link);
    for (int run = 0; run < runs; ++run) {
        const double elapsed = time_retrieval();
        if (elapsed < 0 || !time_steps(steps, counted, link)) return false;
        whole.values.push_back(elapsed);
    }
    print_figures("perform_retrieval", whole, pace.delay_ms);
    print_figures("  open (discovery)", steps[0], -1);
    print_figures("  session", steps[1], pace.delay_ms);
    print_figures("  format", steps[2], -1);
    print_figures("  close", steps[3], -1);
    std::printf("  session reads: %.1f per session, %.1f of them waited (%.1f ms each on average)\n",
                static_cast<double>(counted.reads) / runs, static_cast<double>(counted.waited) / runs,
                counted.waited > 0 ? counted.waited_ms / counted.waited : 0.0);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultRuns;
    std::vector<std::uint32_t> delays(std::begin(kDefaultDelays), std::end(kDefaultDelays));
    if (argc > 2) {
        delays.clear();
        for (int i = 2; i < argc; ++i) delays.push_back(static_cast<std::uint32_t>(std::atoi(argv[i])));
    }
    std::printf("sample report: %zu bytes; %d runs per delay\n", sample_report().size(), runs);
    for (const std::uint32_t delay : delays) {
        if (!measure(delay, runs)) {
            std::printf("chunk delay %u ms: a retrieval failed\n", delay);
            return 1;
        }
    }
    return 0;
}
