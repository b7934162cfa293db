// The companion's diff of two raw reports, files read, both laid out, matched and the
// differences written: an ordinary pair (a visit changed a few counters) against hostile pairs
// of the same size. A hostile pair should cost about what an ordinary one does, per byte. Each
// pair is also laid out alone (BM_FormatOnly...), the part of the cost that is the formatter's.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "bench/made_reports.h"
#include "cli/cli_commands.h"
#include "report/report_formatter.h"
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

bool write_file(const std::string& path, const std::string& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
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
    if (!write_file(old_path, old_raw) || !write_file(new_path, new_raw)) {
        state.SkipWithError("cannot write the pair's files");
        return;
    }
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

// The formatter alone on both files of a pair: what diff of raw reports cannot go below.
void format_pair(benchmark::State& state, const std::string& old_raw, const std::string& new_raw) {
    FormattedReport formatted;
    for (auto _ : state) {
        for (const std::string* raw : {&old_raw, &new_raw}) {
            ReportFormatter::format(raw->c_str(), formatted);
            benchmark::DoNotOptimize(formatted.text.data());
        }
    }
    state.SetBytesProcessed(state.iterations() *
                            static_cast<std::int64_t>(old_raw.size() + new_raw.size()));
}

struct Pair {
    std::string old_raw;
    std::string new_raw;
    std::string label = {};  // what the benchmark says beside its figures
};

Pair ordinary_pair(std::size_t size) {
    const std::string raw = ordinary_report(size);
    return {raw, visited(raw)};
}
// Another printer's report: most values differ.
Pair two_ordinary_reports() {
    return {ordinary_report(kFullReport), ordinary_report(kFullReport, 54321)};
}
// One key in one section 20,000 times, every value changed; and half as many, to show that the
// cost grows with the lines, not with their square.
Pair one_key_everywhere(std::size_t size) {
    return {repeated("k: 1\r", size), repeated("k: 2\r", size)};
}
// Every line its own key, none kept: each is removed and another added.
Pair all_keys_replaced() {
    Pair pair;
    for (int i = 0; pair.old_raw.size() < kFullReport; ++i) {
        pair.old_raw += "a" + std::to_string(i) + ":1\r";
        pair.new_raw += "b" + std::to_string(i) + ":1\r";
    }
    pair.old_raw.resize(kFullReport);
    pair.new_raw.resize(kFullReport);
    return pair;
}
// Every line a section of its own, all of one title ("T"): 51,199 lines without a colon, each
// named, counted and matched, and no difference.
Pair only_titles() {
    const std::string titles = repeated("T\r", kFullReport);
    return {titles, "T\r" + titles.substr(2)};
}
// The same titles, but the first of the new one differs: the two are not alike from their first
// line, so that every line is named and matched.
Pair only_titles_first_changed() {
    const std::string titles = repeated("T\r", kFullReport);
    return {titles, "U\r" + titles.substr(2)};
}
// Two keys by turns, every value changed.
Pair two_keys_by_turns() {
    const std::string old_raw = repeated("a: 1\rb: 1\r", kFullReport);
    std::string new_raw = old_raw;
    std::replace(new_raw.begin(), new_raw.end(), '1', '2');
    return {old_raw, new_raw};
}
// One title of 50 KB over 10,000 entries, the last changed.
Pair long_title() {
    const std::string old_raw =
        std::string(50000, 'T') + "\r" + repeated("k: 1\r", kFullReport - 50001);
    std::string new_raw = old_raw;
    new_raw[new_raw.size() - 2] = '2';
    return {old_raw, new_raw};
}
// "k:" 51,199 times on one line: each entry is read again up to the line's end, so a value is
// up to 100 KB and the listing is cut at its cap; the last byte differs, so every value does.
Pair key_colon_pairs() {
    const std::string old_raw = repeated("k:", kFullReport);
    std::string new_raw = old_raw;
    new_raw.back() = 'x';
    return {old_raw, new_raw};
}
// A key as wide as 1,000 lines pads every line: the listing is cut at its cap, and the one wide
// entry differs.
Pair wide_key() {
    const std::string lines = repeated("a:1\r", kFullReport - 100003);
    return {std::string(100000, 'K') + ":1\r" + lines, std::string(100000, 'K') + ":2\r" + lines};
}
// The formatter's slowest shape: the field texts after colons, three to a line.
Pair field_texts() {
    const auto& sets = field_text_shapes::text_sets();
    const auto& drum = *std::find_if(
        sets.begin(), sets.end(), [](const auto& set) { return std::string(set.name) == "Drum"; });
    const std::string raw = field_text_shapes::text_shape(drum, ":", false, kFullReport);
    std::string new_raw = raw;
    new_raw[new_raw.size() / 2] = 'x';
    return {raw, new_raw};
}

// A whole number of 100 KB, its last digit changed: its change is worked out digit by digit.
Pair long_number() {
    const std::string old_raw = "n: " + repeated("1234567890", kFullReport - 3);
    std::string new_raw = old_raw;
    new_raw.back() = new_raw.back() == '9' ? '0' : static_cast<char>(new_raw.back() + 1);
    return {old_raw, new_raw};
}

namespace colliding {

// libstdc++ hashes a string 8 bytes at a time, each step invertible: x -> f(x) = g(x * m) * m,
// h -> (h ^ f(x)) * m, with g(v) = v ^ v >> 47 (its own inverse) and m odd.
constexpr std::uint64_t kMultiplier = 0xc6a4a7935bd1e995;
constexpr std::uint64_t kSeed = 0xc70f6907;

constexpr std::uint64_t inverse(std::uint64_t odd) {  // modulo 2^64, by Newton's method
    std::uint64_t x = odd;
    for (int i = 0; i < 6; ++i) x *= 2 - odd * x;
    return x;
}
constexpr std::uint64_t kInverse = inverse(kMultiplier);
static_assert(kMultiplier * kInverse == 1);

std::uint64_t shift_mix(std::uint64_t v) { return v ^ (v >> 47); }
std::uint64_t mixed(std::uint64_t block) { return shift_mix(block * kMultiplier) * kMultiplier; }
std::uint64_t unmixed(std::uint64_t data) { return shift_mix(data * kInverse) * kInverse; }

std::uint64_t word(const char* bytes) {
    std::uint64_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

bool letters_and_digits(const char* bytes) {
    return std::all_of(bytes, bytes + 8, [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    });
}

// `count` keys of 16 letters and digits with one hash: for each first half, the second half
// that brings the state after both to one value, kept when it too is letters and digits.
std::vector<std::string> keys(std::size_t count) {
    static constexpr char kDigits[] =
        "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    const std::uint64_t start = kSeed ^ (16 * kMultiplier);
    std::vector<std::string> found;
    for (std::uint64_t n = 0; found.size() < count; ++n) {
        std::string key(16, '0');
        for (std::uint64_t rest = n, i = 0; i < 8; ++i, rest /= 62) key[i] = kDigits[rest % 62];
        const std::uint64_t state = (start ^ mixed(word(key.data()))) * kMultiplier;
        const std::uint64_t second = unmixed(state ^ 0x5151515151515151);
        std::memcpy(key.data() + 8, &second, sizeof second);
        if (letters_and_digits(key.data() + 8)) found.push_back(key);
    }
    return found;
}

}  // namespace colliding

// Keys crafted to share one value of the standard library's string hash (libstdc++'s, whose seed
// is fixed), each once, all the values kept but the last: a table of names keyed by that hash
// would look through every name before for each one.
Pair colliding_keys() {
    const std::vector<std::string> keys = colliding::keys(kFullReport / 20 + 1);
    Pair pair;
    for (const std::string& key : keys) pair.old_raw += key + ": 1\r";
    pair.old_raw.resize(kFullReport);
    pair.new_raw = pair.old_raw;
    pair.new_raw.back() = '2';
    const std::hash<std::string_view> hash;
    const bool collide = std::all_of(keys.begin(), keys.end(), [&](const std::string& key) {
        return hash(key) == hash(keys.front());
    });
    pair.label = collide ? "keys collide under std::hash" : "keys do NOT collide under std::hash";
    return pair;
}

struct NamedPair {
    const char* name;
    Pair (*make)();
};

const NamedPair kPairs[] = {
    {"Ordinary20K", [] { return ordinary_pair(20 * 1024); }},
    {"OrdinaryFull", [] { return ordinary_pair(kFullReport); }},
    {"TwoOrdinaryReports", two_ordinary_reports},
    {"OneKeyEverywhere", [] { return one_key_everywhere(kFullReport); }},
    {"OneKeyEverywhereHalf", [] { return one_key_everywhere(kFullReport / 2); }},
    {"AllKeysReplaced", all_keys_replaced},
    {"OnlyTitles", only_titles},
    {"OnlyTitlesFirstChanged", only_titles_first_changed},
    {"TwoKeysByTurns", two_keys_by_turns},
    {"LongTitle", long_title},
    {"KeyColonPairs", key_colon_pairs},
    {"WideKey", wide_key},
    {"FieldTexts", field_texts},
    {"LongNumber", long_number},
    {"CollidingKeys", colliding_keys},
};

// Each pair as DIR/NAME.old.raw and DIR/NAME.new.raw, for a profiler run of the companion itself
// (valgrind --tool=callgrind vellumo-cli diff OLD NEW).
int write_pairs(const std::string& folder) {
    for (const NamedPair& named : kPairs) {
        const Pair pair = named.make();
        const std::string stem = folder + "/" + named.name;
        if (!write_file(stem + ".old.raw", pair.old_raw) ||
            !write_file(stem + ".new.raw", pair.new_raw)) {
            std::fprintf(stderr, "cannot write %s.*.raw\n", stem.c_str());
            return 1;
        }
    }
    return 0;
}

}  // namespace

// diff-benchmark [--pairs DIR | Google Benchmark's options]
int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--pairs") return write_pairs(argv[2]);
    for (const NamedPair& named : kPairs) {
        benchmark::RegisterBenchmark((std::string("BM_Diff") + named.name).c_str(),
                                     [&named](benchmark::State& state) {
                                         const Pair pair = named.make();
                                         diff_pair(state, pair.old_raw, pair.new_raw);
                                         state.SetLabel(pair.label);
                                     });
        benchmark::RegisterBenchmark((std::string("BM_FormatOnly") + named.name).c_str(),
                                     [&named](benchmark::State& state) {
                                         const Pair pair = named.make();
                                         format_pair(state, pair.old_raw, pair.new_raw);
                                     });
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
