// Formatter throughput on ordinary reports and on hostile shapes of the same size; a hostile
// report should cost about what an ordinary one of its size does.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "bench/made_reports.h"
#include "report/report_formatter.h"
#include "sim/field_text_shapes.h"

namespace {

constexpr std::size_t kFullReport = kReportBufferSize - 1;

// The ordinary report with its runs of spaces collapsed (and its CRs made spaces when
// `one_line`): every value is then read again from each colon after it.
std::string without_double_spaces(bool one_line) {
    std::string raw;
    for (const char c : ordinary_report(kFullReport * 2)) {
        const char out = one_line && c == '\r' ? ' ' : c;
        if (out != ' ' || raw.empty() || raw.back() != ' ') raw += out;
        if (raw.size() == kFullReport) break;
    }
    return raw;
}

std::string one_huge_line() {
    std::string raw = ordinary_report(kFullReport);
    for (char& c : raw) c = c == '\r' ? ' ' : c;
    return raw;
}

// Every entry of the line is read again up to the end, where the field texts wait, some whole
// and some without their colon: each value then holds them all.
std::string pairs_then_field_texts() {
    const std::string tail = " Model Name: USB Serial OS Verison Firmware/Engine Version Drum";
    return repeated("k:", kFullReport - tail.size()) + tail;
}

void format_report(benchmark::State& state, const std::string& raw) {
    FormattedReport out;
    for (auto _ : state) {
        ReportFormatter::format(raw.c_str(), out);
        benchmark::DoNotOptimize(out.text.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(raw.size()));
    state.counters["listing_bytes"] = static_cast<double>(out.text.size());
    state.counters["cut"] = out.cut ? 1 : 0;
}

void BM_Ordinary20K(benchmark::State& s) { format_report(s, ordinary_report(20 * 1024)); }
void BM_OrdinaryFull(benchmark::State& s) { format_report(s, ordinary_report(kFullReport)); }
void BM_AllColons(benchmark::State& s) { format_report(s, std::string(kFullReport, ':')); }
void BM_KeyColonPairs(benchmark::State& s) { format_report(s, repeated("k:", 100000)); }
void BM_NoDoubleSpaces(benchmark::State& s) { format_report(s, without_double_spaces(false)); }
void BM_PairsThenFieldTexts(benchmark::State& s) { format_report(s, pairs_then_field_texts()); }
void BM_OneLineNoDoubleSpaces(benchmark::State& s) {
    format_report(s, without_double_spaces(true));
}
void BM_OneHugeLine(benchmark::State& s) { format_report(s, one_huge_line()); }
void BM_ManyShortLines(benchmark::State& s) { format_report(s, repeated("a:1\r", kFullReport)); }
void BM_OnlyCrs(benchmark::State& s) { format_report(s, repeated("\r", kFullReport)); }

BENCHMARK(BM_Ordinary20K);
BENCHMARK(BM_OrdinaryFull);
BENCHMARK(BM_AllColons);
BENCHMARK(BM_KeyColonPairs);
BENCHMARK(BM_PairsThenFieldTexts);
BENCHMARK(BM_NoDoubleSpaces);
BENCHMARK(BM_OneLineNoDoubleSpaces);
BENCHMARK(BM_OneHugeLine);
BENCHMARK(BM_ManyShortLines);
BENCHMARK(BM_OnlyCrs);

// BM_Texts/<text set>/<separator>/<OneLine or ShortLines>, every combination, full size.
const bool kTextShapesRegistered = [] {
    using namespace field_text_shapes;
    for (const TextSet& set : text_sets()) {
        for (const Separator& separator : kSeparators) {
            for (const bool one_line : {true, false}) {
                const std::string name = std::string("BM_Texts/") + set.name + "/" +
                                         separator.name + (one_line ? "/OneLine" : "/ShortLines");
                benchmark::RegisterBenchmark(name.c_str(), [&set, separator, one_line](
                                                               benchmark::State& state) {
                    format_report(state, text_shape(set, separator.text, one_line, kFullReport));
                });
            }
        }
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
