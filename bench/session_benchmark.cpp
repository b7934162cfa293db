// A whole report session against the in-memory simulated printer, next to what it has to do at
// the least: copy the report's bytes. The parts are measured apart as well: the printer's own
// work (cutting the report and queueing its replies) and the session over replies that are
// already made (a link that only copies).

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "link/report_session.h"
#include "report/report_text.h"
#include "sim/simulated_printer.h"

namespace {

// 100 chunks of 20 lines of 49 characters: each chunk is 999 bytes, 1000 with the host's CR.
constexpr std::size_t kChunks = 100;
constexpr std::size_t kLinesPerChunk = 20;
constexpr std::size_t kLineLength = 49;
constexpr std::size_t kChunkSize = 1000;

std::string chunky_report() {
    std::string report;
    for (std::size_t i = 0; i < kChunks * kLinesPerChunk; ++i) {
        char line[kLineLength + 1];
        std::snprintf(line, sizeof line, "Counter %04zu : %-34zu", i, i * 7919 % 100000);
        report.append(line, kLineLength);
        report += '\r';
    }
    return report;
}

const std::string& report() {
    static const std::string text = chunky_report();
    return text;
}

// The bytes a host writes in one session, in the order it writes them.
const std::string& host_commands() {
    static const std::string commands = std::string(session_command::kStart) +
                                        std::string(session_command::kSystemDataRequest) +
                                        std::string(session_command::kStop);
    return commands;
}

// Everything the printer sends in one session, as one run of bytes.
std::string printer_output() {
    SimulatedPrinter printer(report());
    printer.set_chunk_size(kChunkSize);
    printer.receive(host_commands().data(), host_commands().size());
    std::string bytes;
    for (PrinterReply reply; printer.next_reply(reply);) bytes += reply.bytes;
    return bytes;
}

// A link over replies made beforehand: a write is accepted, a read copies the next bytes.
class ReplayLink : public SessionLink {
public:
    explicit ReplayLink(const std::string& bytes) : bytes_(bytes) {}
    bool write(const char*, std::size_t) override { return true; }
    bool read(char* buffer, std::size_t count, std::size_t& received) override {
        received = std::min(count, bytes_.size() - at_);
        if (received == 0) return false;
        std::memcpy(buffer, bytes_.data() + at_, received);
        at_ += received;
        return true;
    }

private:
    const std::string& bytes_;
    std::size_t at_ = 0;
};

void check_session(benchmark::State& state, bool ok, std::size_t length) {
    if (!ok || length != report().size()) state.SkipWithError("the session did not bring the report");
}

// One timed session into `buffer`; the run is marked as failed unless it brings the report.
void run_session(benchmark::State& state, SessionLink& link, std::vector<char>& buffer) {
    std::size_t length = 0;
    const bool ok = ReportSession::run(link, buffer.data(), buffer.size(), length);
    benchmark::DoNotOptimize(buffer.data());
    check_session(state, ok, length);
}

void set_bytes(benchmark::State& state) {
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(report().size()));
}

// The whole session, the printer made afresh each time (a printer plays one session).
void BM_SessionOverSimulatedPrinter(benchmark::State& state) {
    std::vector<char> buffer(kReportBufferSize);
    for (auto _ : state) {
        SimulatedPrinter printer(report());
        printer.set_chunk_size(kChunkSize);
        SimulatedPrinterLink link(printer);
        run_session(state, link, buffer);
    }
    set_bytes(state);
}

// The session with a printer made beforehand (outside the time): what is left of the printer's
// work is answering the request, cutting its report and queueing the replies. Printers are made
// a few at a time, so that the pause costs little per session and they stay in the cache.
void BM_SessionOverReadyPrinter(benchmark::State& state) {
    constexpr std::size_t kReady = 8;
    std::vector<std::unique_ptr<SimulatedPrinter>> printers(kReady);
    std::size_t next = kReady;
    std::vector<char> buffer(kReportBufferSize);
    for (auto _ : state) {
        if (next == kReady) {
            state.PauseTiming();
            for (auto& printer : printers) {
                printer = std::make_unique<SimulatedPrinter>(report());
                printer->set_chunk_size(kChunkSize);
            }
            next = 0;
            state.ResumeTiming();
        }
        SimulatedPrinterLink link(*printers[next++]);
        run_session(state, link, buffer);
    }
    set_bytes(state);
}

// The printer alone: made, told the three commands, its replies taken.
void BM_SimulatedPrinterAlone(benchmark::State& state) {
    for (auto _ : state) {
        SimulatedPrinter printer(report());
        printer.set_chunk_size(kChunkSize);
        printer.receive(host_commands().data(), host_commands().size());
        std::size_t bytes = 0;
        for (PrinterReply reply; printer.next_reply(reply);) bytes += reply.bytes.size();
        benchmark::DoNotOptimize(bytes);
    }
    set_bytes(state);
}

// The session alone, over the printer's replies made once beforehand.
void BM_SessionOverReplayedReplies(benchmark::State& state) {
    const std::string replies = printer_output();
    std::vector<char> buffer(kReportBufferSize);
    for (auto _ : state) {
        ReplayLink link(replies);
        run_session(state, link, buffer);
    }
    set_bytes(state);
}

// Baseline: the report's bytes copied into a report buffer at once.
void BM_CopyWhole(benchmark::State& state) {
    const std::string& text = report();
    std::vector<char> buffer(kReportBufferSize);
    for (auto _ : state) {
        std::memcpy(buffer.data(), text.data(), text.size());
        benchmark::ClobberMemory();
    }
    set_bytes(state);
}

// Baseline: the copies a session makes, without a link: the acknowledgement, a header and a
// chunk per chunk, the end marker and the stop's answer.
void BM_CopyAsSessionReads(benchmark::State& state) {
    const std::string replies = printer_output();
    std::vector<char> buffer(kReportBufferSize);
    char small[ChunkHeader::kSize];
    const std::size_t chunk_text = kChunkSize - 1;
    if (replies.size() != 8 + kChunks * (ChunkHeader::kSize + chunk_text) + ChunkHeader::kSize + 8) {
        state.SkipWithError("the printer's replies are not laid out as this copy assumes");
        return;
    }
    for (auto _ : state) {
        const char* from = replies.data();
        std::memcpy(small, from, 8);
        from += 8;
        for (std::size_t i = 0; i < kChunks; ++i) {
            std::memcpy(small, from, ChunkHeader::kSize);
            std::memcpy(buffer.data() + i * kChunkSize, from + ChunkHeader::kSize, chunk_text);
            buffer[i * kChunkSize + chunk_text] = '\r';
            from += ChunkHeader::kSize + chunk_text;
            benchmark::DoNotOptimize(small);
        }
        std::memcpy(small, from, ChunkHeader::kSize);
        std::memcpy(small, from + ChunkHeader::kSize, 8);
        benchmark::DoNotOptimize(small);
        benchmark::ClobberMemory();
    }
    set_bytes(state);
}

BENCHMARK(BM_SessionOverSimulatedPrinter);
BENCHMARK(BM_SessionOverReadyPrinter);
BENCHMARK(BM_SimulatedPrinterAlone);
BENCHMARK(BM_SessionOverReplayedReplies);
BENCHMARK(BM_CopyWhole);
BENCHMARK(BM_CopyAsSessionReads);

}  // namespace

BENCHMARK_MAIN();
