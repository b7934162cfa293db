// The companion's diff of two raw reports, files read, both laid out, matched and the
// differences written: an ordinary pair (a visit changed a few counters) against hostile pairs
// of the same size. A hostile pair should cost about what an ordinary one does, per byte.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "bench/made_reports.h"
#include "cli/cli_commands.h"
#include "sim/field_text_shapes.h"

namespace {

constexpr std::size_t kFullReport = kReportBufferSize - 1;

// A visit: one digit in about every 400 bytes moves on by one, and so its value changes.
std::string visited(std::string raw) {
    for (std::size_t at = 0; at < raw.size(); at += 397) {
        std::size_t digit = at;
        while (digit < raw.size() && (raw[digit] < '0' || raw[digit] > '9')) ++digit;
        if (digit < raw.size())
            raw[digit] = raw[digit] == '9' ? '0' : static_cast<char>(raw[digit] + 1);
    }
    return raw;
}

// Standard output that keeps nothing: what diff writes is part of what it costs.
class Discard final : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

void diff_pair(benchmark::State& state, const std::string& old_raw, const std::string& new_raw) {
    const std::string folder = std::filesystem::temp_directory_path().string();
    const std::string old_path = folder + "/vellumo-diff-benchmark-old.raw";
    const std::string new_path = folder + "/vellumo-diff-benchmark-new.raw";
    std::FILE* files[] = {std::fopen(old_path.c_str(), "wb"), std::fopen(new_path.c_str(), "wb")};
    std::fwrite(old_raw.data(), 1, old_raw.size(), files[0]);
    std::fwrite(new_raw.data(), 1, new_raw.size(), files[1]);
    for (std::FILE* file : files) std::fclose(file);
    const std::vector<std::string> args{"diff", old_path, new_path};
    Discard discarded;
    std::ostream out(&discarded);
    std::ostringstream err;
    std::istringstream in;
    int code = 0;
    for (auto _ : state) {
        err.str("");
        code = run_cli(args, in, out, err);
        benchmark::DoNotOptimize(code);
    }
    std::remove(old_path.c_str());
    std::remove(new_path.c_str());
    if (code > 1) state.SkipWithError(err.str().c_str());
    state.SetBytesProcessed(state.iterations() *
                            static_cast<std::int64_t>(old_raw.size() + new_raw.size()));
}

void BM_DiffOrdinary20K(benchmark::State& s) {
    const std::string raw = ordinary_report(20 * 1024);
    diff_pair(s, raw, visited(raw));
}
void BM_DiffOrdinaryFull(benchmark::State& s) {
    const std::string raw = ordinary_report(kFullReport);
    diff_pair(s, raw, visited(raw));
}
// Another printer's report: most values differ.
void BM_DiffTwoOrdinaryReports(benchmark::State& s) {
    diff_pair(s, ordinary_report(kFullReport), ordinary_report(kFullReport, 54321));
}
// One key in one section 20,000 times, every value changed; and half as many, to show that the
// cost grows with the lines, not with their square.
void BM_DiffOneKeyEverywhere(benchmark::State& s) {
    diff_pair(s, repeated("k: 1\r", kFullReport), repeated("k: 2\r", kFullReport));
}
void BM_DiffOneKeyEverywhereHalf(benchmark::State& s) {
    diff_pair(s, repeated("k: 1\r", kFullReport / 2), repeated("k: 2\r", kFullReport / 2));
}
// Every line its own key, none kept: each is removed and another added.
void BM_DiffAllKeysReplaced(benchmark::State& s) {
    std::string old_raw, new_raw;
    for (int i = 0; old_raw.size() < kFullReport; ++i) {
        old_raw += "a" + std::to_string(i) + ":1\r";
        new_raw += "b" + std::to_string(i) + ":1\r";
    }
    old_raw.resize(kFullReport);
    new_raw.resize(kFullReport);
    diff_pair(s, old_raw, new_raw);
}
// Every line a section of its own, one more at the front: each title's occurrence moves on.
void BM_DiffOnlyTitles(benchmark::State& s) {
    const std::string titles = repeated("T\r", kFullReport);
    diff_pair(s, titles, "T\r" + titles.substr(2));
}
// One title of 50 KB over 10,000 entries, the last changed.
void BM_DiffLongTitle(benchmark::State& s) {
    const std::string old_raw =
        std::string(50000, 'T') + "\r" + repeated("k: 1\r", kFullReport - 50001);
    std::string new_raw = old_raw;
    new_raw[new_raw.size() - 2] = '2';
    diff_pair(s, old_raw, new_raw);
}
// "k:" 51,199 times on one line: each entry is read again up to the line's end, so a value is
// up to 100 KB and the listing is cut at its cap; the last byte differs, so every value does.
void BM_DiffKeyColonPairs(benchmark::State& s) {
    const std::string old_raw = repeated("k:", kFullReport);
    std::string new_raw = old_raw;
    new_raw.back() = 'x';
    diff_pair(s, old_raw, new_raw);
}
// A key as wide as 1,000 lines pads every line: the listing is cut at its cap, and the one wide
// entry differs.
void BM_DiffWideKey(benchmark::State& s) {
    const std::string lines = repeated("a:1\r", kFullReport - 100003);
    diff_pair(s, std::string(100000, 'K') + ":1\r" + lines,
              std::string(100000, 'K') + ":2\r" + lines);
}
// The formatter's slowest shape: the field texts after colons, three to a line.
void BM_DiffFieldTexts(benchmark::State& s) {
    const auto& sets = field_text_shapes::text_sets();
    const auto& drum = *std::find_if(
        sets.begin(), sets.end(), [](const auto& set) { return std::string(set.name) == "Drum"; });
    const std::string raw = field_text_shapes::text_shape(drum, ":", false, kFullReport);
    std::string new_raw = raw;
    new_raw[new_raw.size() / 2] = 'x';
    diff_pair(s, raw, new_raw);
}

BENCHMARK(BM_DiffOrdinary20K);
BENCHMARK(BM_DiffOrdinaryFull);
BENCHMARK(BM_DiffTwoOrdinaryReports);
BENCHMARK(BM_DiffOneKeyEverywhere);
BENCHMARK(BM_DiffOneKeyEverywhereHalf);
BENCHMARK(BM_DiffAllKeysReplaced);
BENCHMARK(BM_DiffOnlyTitles);
BENCHMARK(BM_DiffLongTitle);
BENCHMARK(BM_DiffKeyColonPairs);
BENCHMARK(BM_DiffWideKey);
BENCHMARK(BM_DiffFieldTexts);

}  // namespace

BENCHMARK_MAIN();
