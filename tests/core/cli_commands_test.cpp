#include "cli/cli_commands.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cli/diff_command.h"
#include "cli/entry_diff.h"
#include "cli/keyed_hash.h"
#include "cli/name_table.h"
#include "cli/report_entries.h"
#include "link/session_trace.h"
#include "report/report_formatter.h"
#include "tests/cli_run.h"

namespace {

using json = nlohmann::json;

CliRun run(const std::vector<std::string>& args, const std::string& input = "") {
    return run_companion(args, nullptr, input);
}

std::string formatted(const std::string& raw) {
    FormattedReport report;
    EXPECT_TRUE(ReportFormatter::format(raw.c_str(), report));
    return report.text;
}

// Texts below are bytes: CP1251 input and the UTF-8 expected, written as escapes.
TEST(CliFieldsJson, Fields_AreDecodedFromCp1251AndNullWhenAbsentOnALineWithoutControls) {
    ReportFields fields;
    fields.model = "\xCF\xF0\xE8\xED\xF2\xE5\xF0 \xB9" "5";  // "Printer No.5" in Russian
    fields.serial = "a\"b\\c";
    fields.firmware = "t\tn\nr\r\x01\x1f\x7f";
    const std::string line = json_line(fields_json(fields));
    const char* const model = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xBD\xD1\x82\xD0\xB5\xD1\x80 \xE2\x84\x96" "5";
    EXPECT_EQ(json::parse(line),
              json({{"model", model},
                    {"serial", "a\"b\\c"},
                    {"firmware", "t\tn\nr\r\x01\x1f\x7f"},
                    {"crum", nullptr}}));
    EXPECT_EQ(line.find_first_of(std::string("\x7f\n\r\t\x01\x1f", 6)), line.size() - 1)
        << "only the line's end: " << line;
}

TEST(CliFieldsJson, Cp1251Specials_DecodeToTheirCodePoints) {
    EXPECT_EQ(utf8_from_cp1251("\xA8\xB8\x88\x98\xFF\xC0"),
              "\xD0\x81\xD1\x91\xE2\x82\xAC\xEF\xBF\xBD\xD1\x8F\xD0\x90");
}

// Each range a terminal would act on (C0, DEL, C1) or that reorders what it shows (the
// bidirectional controls), at both of its ends and beside them: '?' on the terminal, escaped in
// the JSON; their neighbours kept as they are.
TEST(CliTerminalText, EachEndOfEachRange_IsKeptOffTheTerminalAndEscapedInTheJson) {
    struct Case {
        const char* text;      // one character, in UTF-8
        const char* in_json;   // as the JSON string holds it
        bool on_terminal;      // shown as it is, else '?'
    };
    const Case cases[] = {
        {"\x1f", "\\u001f", false},          {" ", " ", true},
        {"~", "~", true},                       {"\x7f", "\\u007f", false},
        {"\xC2\x80", "\\u0080", false},       {"\xC2\x9F", "\\u009f", false},
        {"\xC2\xA0", "\xC2\xA0", true},       {"\xD8\x9B", "\xD8\x9B", true},
        {"\xD8\x9C", "\\u061c", false},       {"\xE2\x80\x8D", "\xE2\x80\x8D", true},
        {"\xE2\x80\x8E", "\\u200e", false},   {"\xE2\x80\x8F", "\\u200f", false},
        {"\xE2\x80\x90", "\xE2\x80\x90", true}, {"\xE2\x80\xA9", "\xE2\x80\xA9", true},
        {"\xE2\x80\xAA", "\\u202a", false},   {"\xE2\x80\xAE", "\\u202e", false},
        {"\xE2\x80\xAF", "\xE2\x80\xAF", true}, {"\xE2\x81\xA5", "\xE2\x81\xA5", true},
        {"\xE2\x81\xA6", "\\u2066", false},   {"\xE2\x81\xA9", "\\u2069", false},
        {"\xE2\x81\xAA", "\xE2\x81\xAA", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
        const std::string text = std::string("a") + c.text + "b";
        EXPECT_EQ(json_line(text), std::string("\"a") + c.in_json + "b\"\n");
        EXPECT_EQ(json::parse(json_line(text)), text);
        EXPECT_EQ(terminal_text(text), c.on_terminal ? text : "a?b");
    }
    // At each place of a longer text, whose printable ASCII is looked at eight bytes at a time:
    // the same; and each byte of what is not UTF-8 (stray, cut, overlong, a surrogate, past
    // U+10FFFF) a '?'.
    std::vector<std::tuple<std::string, std::string, std::string>> placed;  // text, JSON, terminal
    for (const Case& c : cases)
        placed.emplace_back(c.text, c.in_json, c.on_terminal ? c.text : "?");
    for (const char* bytes :
         {"\xFF", "\x80", "\xE2\x80", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80"}) {
        placed.emplace_back(bytes, "", std::string(std::strlen(bytes), '?'));
    }
    const std::string around = "0123456789 !\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~";
    for (const auto& [text, in_json, on_terminal] : placed) {
        for (std::size_t at = 0; at <= 17; ++at) {
            SCOPED_TRACE(testing::PrintToString(text) + " at " + std::to_string(at));
            const std::string before = around.substr(0, at), after = around.substr(at);
            EXPECT_EQ(terminal_text(before + text + after), before + on_terminal + after);
            if (in_json.empty()) continue;
            const std::string quoted_before = json(before).dump(),
                              quoted_after = json(after).dump();
            EXPECT_EQ(json_line(before + text + after),
                      quoted_before.substr(0, quoted_before.size() - 1) + in_json +
                          quoted_after.substr(1) + "\n");
        }
    }
}

TEST(CliCommands, FieldsOfARawReport_PrintOneJsonLine) {
    const CliRun result = run({"fields"}, "Model Name: \xCC\xEE\xE4\xE5\xEB\xFC\rMachine Serial Number:  S1 \r");
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.out,
              "{\"model\":\"\xD0\x9C\xD0\xBE\xD0\xB4\xD0\xB5\xD0\xBB\xD1\x8C\",\"serial\":\"S1\","
              "\"firmware\":null,\"crum\":null,\"cut\":false}\n");
    EXPECT_EQ(result.err, "");
}

// One wide key pads every line past the cap: both commands say the listing is incomplete.
TEST(CliCommands, ReportWhoseListingIsCut_IsSaidIncompleteAndFieldsMarkItCut) {
    std::string raw = std::string(900, 'K') + ": wide\rModel Name: M\r";
    for (int i = 0; i < 1300; ++i) raw += "Line " + std::to_string(i) + ": v\r";
    FormattedReport expected;
    ASSERT_TRUE(ReportFormatter::format(raw.c_str(), expected));
    ASSERT_TRUE(expected.cut);
    const std::string said = "vellumo-cli: the listing is incomplete: it holds " +
                             std::to_string(expected.lines) + " of 1302 lines (cut at 1048576 bytes)\n";

    const CliRun format = run({"format"}, raw);
    EXPECT_EQ(format.code, 0);
    EXPECT_TRUE(format.out == expected.text);
    EXPECT_EQ(format.err, said);
    const CliRun as_json = run({"format", "--json"}, raw);
    EXPECT_EQ(as_json.code, 0);
    EXPECT_EQ(as_json.err, said);
    const json report = json::parse(as_json.out);
    EXPECT_TRUE(report.at("cut").get<bool>());
    ASSERT_EQ(report.at("entries").size(), expected.lines) << "the entries of the lines it holds";
    EXPECT_EQ(report.at("entries").at(0).at("key"), std::string(900, 'K'));
    EXPECT_EQ(report.at("entries").back(),
              json({{"key", "Line " + std::to_string(expected.lines - 3)}, {"value", "v"}}));
    const CliRun fields = run({"fields"}, raw);
    EXPECT_EQ(fields.code, 0);
    EXPECT_EQ(fields.out,
              "{\"model\":\"M\",\"serial\":null,\"firmware\":null,\"crum\":null,\"cut\":true}\n");
    EXPECT_EQ(fields.err, said);
}

TEST(CliCommands, FormatFromStandardInput_WritesTheListingByteForByte) {
    const CliRun result = run({"format"}, "A: 1\rLonger Key: 2\r\rTitle\r");
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.out, "A          : 1\r\nLonger Key : 2\r\nTitle\r\n");
}

TEST(CliCommands, FormatFromFile_ReadsItInBinaryAndAMissingFileFails) {
    const std::string path = testing::TempDir() + "vellumo_cli_report.raw";
    const std::string raw = "Key: a\nb\rOther:\x1a" "c\r";  // LF and Ctrl-Z must survive
    std::ofstream(path, std::ios::binary) << raw;
    const CliRun from_file = run({"format", path});
    std::remove(path.c_str());
    EXPECT_EQ(from_file.code, 0);
    EXPECT_EQ(from_file.out, formatted(raw));

    const CliRun missing = run({"format", path});
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("cannot open '" + path + "'"), std::string::npos);
}

// Every line of the listing as an entry or a text, in order, trimmed, decoded from CP1251: also
// a key holding LF (which ends no line) and the entry read again from inside a value.
TEST(CliCommands, FormatJson_GivesTheFieldsCutEntriesAndListingOfARawReport) {
    const std::string raw = "SYSTEM DATA\r  Model Name : \xCC\xEE\xE4\xE5\xEB\xFC  Pages: 12\r"
                            "Note: a\nb:c\r\n LF line \rEmpty:\r";
    const std::string model = "\xD0\x9C\xD0\xBE\xD0\xB4\xD0\xB5\xD0\xBB\xD1\x8C";  // in UTF-8
    const json entries = json::parse(R"([{"text": "SYSTEM DATA"}, {"key": "Model Name", "value": ""},
        {"key": "Pages", "value": "12"}, {"key": "Note", "value": "a\nb:c"},
        {"key": "a\nb", "value": "c"}, {"text": "\n LF line"}, {"key": "Empty", "value": ""}])");
    json expected = {{"fields", {{"model", model}, {"serial", nullptr}, {"firmware", nullptr},
                                 {"crum", nullptr}}},
                     {"cut", false},
                     {"entries", entries},
                     {"listing", utf8_from_cp1251(formatted(raw))},
                     {"bytes", raw.size()}};
    expected["entries"][1]["value"] = model;

    const std::string path = testing::TempDir() + "vellumo_cli_entries.raw";
    std::ofstream(path, std::ios::binary) << raw;
    const CliRun from_file = run({"format", "--json", path});
    std::remove(path.c_str());
    EXPECT_EQ(from_file.code, 0) << from_file.err;
    EXPECT_EQ(json::parse(from_file.out), expected);
    const CliRun from_input = run({"format", "--json"}, raw);
    EXPECT_EQ(from_input.out, from_file.out);
    EXPECT_EQ(run({"format", "--json", "a", "b"}).code, 2);
}

TEST(CliCommands, ReportLargerThanTheBuffer_IsRefused) {
    const std::string largest(kReportBufferSize - 1, 'x');
    EXPECT_EQ(run({"format"}, largest).code, 0);

    const CliRun result = run({"fields"}, largest + "x");
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("larger than 102399 bytes"), std::string::npos);
}

TEST(CliCommands, Help_ListsFaultNamesThatEachSelectADifferentFault) {
    const CliRun result = run({"--help"});
    EXPECT_EQ(result.code, 0);
    std::istringstream lines(result.out.substr(result.out.find("Faults")));
    std::string line;
    std::getline(lines, line);
    std::set<PrinterFault> faults;
    while (std::getline(lines, line)) {
        const PrinterFaultName* fault = find_printer_fault(line.substr(2));
        ASSERT_NE(fault, nullptr) << line;
        faults.insert(fault->fault);
    }
    EXPECT_EQ(faults.size(), 21u);
}

TEST(CliCommands, Simulate_PrintsTheFormattedSampleReport) {
    const CliRun result = run({"simulate"});
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.out, formatted(sample_report()));
    EXPECT_NE(result.out.find("Model Name"), std::string::npos);
}

TEST(CliCommands, SimulateWithAFault_FailsWithOneLineExactlyWhereTheSessionFails) {
    const std::string good = formatted(sample_report());
    const std::vector<std::pair<std::string, std::string>> succeeding{
        {"none", good}, {"zero-length-chunk", good}, {"non-zero-second-word", good}, {"end-marker-first", ""}};
    for (const auto& [fault, expected] : succeeding) {
        SCOPED_TRACE(fault);
        const CliRun result = run({"simulate", "--fault", fault});
        EXPECT_EQ(result.code, 0);
        EXPECT_EQ(result.out, expected);
    }
    for (const char* fault : {"silence", "wrong-acknowledgement", "short-acknowledgement", "short-header",
                              "short-chunk", "timeout-in-chunk-loop", "enormous-length",
                              "report-larger-than-buffer", "disconnect-mid-chunk", "partial-write"}) {
        SCOPED_TRACE(fault);
        const CliRun result = run({"simulate", "--fault", fault});
        EXPECT_EQ(result.code, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1);
    }
}

// ---- list and read, against simulated printers on the timed link ----

struct AttachedPrinter {
    PrinterInfo info;
    std::string report = sample_report();
    PrinterFault fault = PrinterFault::None;
    std::optional<OpenFailure> refusal;  // open fails with this
    // The session's fourth read (the second chunk's header) is interrupted by this signal (0: by
    // one the system does not name); what follows goes through, as the stop does on a real link.
    std::optional<int> interrupted_by;
};

// A printer of the simulated bus: the session's link on a virtual clock (time-outs cost nothing),
// which tells why an operation failed as a real link would. `open_count` counts it while it lives.
class SimulatedConnection final : public PrinterConnection, public SessionLink {
public:
    SimulatedConnection(const AttachedPrinter& attached, int& open_count)
        : printer_(attached.report, attached.fault),
          link_(printer_),
          interrupted_by_(attached.interrupted_by),
          open_count_(open_count) {
        ++open_count_;
    }
    ~SimulatedConnection() override { --open_count_; }

    SessionLink& link() override { return *this; }
    LinkFailure last_failure() const override { return failure_; }
    int interrupt_signal() const override { return interrupted_ ? *interrupted_by_ : 0; }
    bool write(const char* bytes, std::size_t count) override {
        return noted(link_.write(bytes, count));
    }
    bool read(char* buffer, std::size_t count, std::size_t& received) override {
        if (interrupted_by_ && ++reads_ == 4) {
            interrupted_ = true;
            received = 0;
            failure_ = LinkFailure::Interrupted;
            return false;
        }
        return noted(link_.read(buffer, count, received));
    }

private:
    bool noted(bool ok) {
        const bool timed_out = link_.timeouts() > timeouts_;
        timeouts_ = link_.timeouts();
        failure_ = ok                        ? LinkFailure::None
                   : timed_out               ? LinkFailure::TimedOut
                   : printer_.disconnected() ? LinkFailure::DeviceGone
                                             : LinkFailure::Io;
        return ok;
    }

    SimulatedPrinter printer_;
    TimedPrinterLink link_;
    std::optional<int> interrupted_by_;
    int& open_count_;
    std::size_t reads_ = 0;
    bool interrupted_ = false;
    std::size_t timeouts_ = 0;
    LinkFailure failure_ = LinkFailure::None;
};

class SimulatedBus final : public PrinterBus {
public:
    explicit SimulatedBus(std::vector<AttachedPrinter> attached) : attached_(std::move(attached)) {}

    bool list(std::vector<PrinterInfo>& printers, std::string&) override {
        printers.clear();
        for (const AttachedPrinter& printer : attached_) printers.push_back(printer.info);
        return true;
    }
    std::unique_ptr<PrinterConnection> open(const PrinterInfo& wanted,
                                            OpenFailure& failure) override {
        for (const AttachedPrinter& printer : attached_) {
            if (printer.info.id != wanted.id) continue;
            opened.push_back(wanted.id);
            if (printer.refusal) {
                failure = *printer.refusal;
                return nullptr;
            }
            return std::make_unique<SimulatedConnection>(printer, open_count);
        }
        failure = {OpenFailure::Kind::Gone, "gone"};
        return nullptr;
    }

    std::vector<std::string> opened;
    int open_count = 0;  // connections that live now

private:
    std::vector<AttachedPrinter> attached_;
};

AttachedPrinter printer(const std::string& id, PrinterFault fault = PrinterFault::None) {
    AttachedPrinter attached;
    attached.info.id = id;
    attached.info.vendor_id = 0x04e8;
    attached.info.product_id = 0x3301;
    attached.info.manufacturer = "Vellumo";
    attached.info.product = "LP-3020";
    attached.fault = fault;
    return attached;
}

CliRun run_with(SimulatedBus& bus, const std::vector<std::string>& args, bool progress = false) {
    return run_companion(args, &bus, "", progress);
}

TEST(CliRead, GoodPrinter_PrintsTheListingAndAsJsonTheDeviceFieldsListingAndCounts) {
    SimulatedBus bus({printer("1-4")});
    const CliRun text = run_with(bus, {"read"});
    EXPECT_EQ(text.code, 0);
    EXPECT_EQ(text.out, formatted(sample_report()));
    EXPECT_EQ(text.err, "") << "no progress unless stderr is a terminal";

    const CliRun result = run_with(bus, {"read", "--json"});
    ASSERT_EQ(result.code, 0) << result.err;
    const json reading = json::parse(result.out);
    EXPECT_TRUE(reading.at("ok").get<bool>());
    EXPECT_EQ(reading.at("device").at("id"), "1-4");
    EXPECT_EQ(reading.at("device").at("vendor_id"), "04e8");
    EXPECT_EQ(reading.at("device").at("product"), "LP-3020");
    EXPECT_TRUE(reading.at("device").at("serial").is_null());
    EXPECT_EQ(reading.at("fields").at("model"), "Vellumo LP-3020 Series");
    EXPECT_EQ(reading.at("listing"), formatted(sample_report()));  // the sample is ASCII
    EXPECT_FALSE(reading.at("cut").get<bool>());
    EXPECT_EQ(reading.at("chunks"), 22);
    EXPECT_EQ(reading.at("bytes"), sample_report().size());
    EXPECT_GE(reading.at("seconds"), 0);
    const json& entries = reading.at("entries");
    const std::string listing = formatted(sample_report());
    ASSERT_EQ(entries.size(), static_cast<std::size_t>(std::count(listing.begin(), listing.end(), '\r')))
        << "a line of the listing each";
    EXPECT_EQ(entries.at(0), json({{"text", "SYSTEM DATA REPORT"}}));
    EXPECT_EQ(entries.at(4), json({{"key", "Machine Serial Number"}, {"value", "VLP3020K4N7Q21"}}));
    // The same report from a file: what it holds is given alike.
    const json formatted_json = json::parse(run({"format", "--json"}, sample_report()).out);
    for (const char* member : {"fields", "cut", "entries", "listing", "bytes"}) {
        EXPECT_EQ(reading.at(member), formatted_json.at(member)) << member;
    }
}

// Standard output that notes whether anything reached it while a printer connection was open.
class WatchedOutput final : public std::streambuf {
public:
    explicit WatchedOutput(const int& open_count) : open_count_(open_count) {}
    std::string text;
    bool written_while_open = false;

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        const char byte = traits_type::to_char_type(c);
        xsputn(&byte, 1);
        return c;
    }
    std::streamsize xsputn(const char* bytes, std::streamsize count) override {
        written_while_open = written_while_open || open_count_ > 0;
        text.append(bytes, static_cast<std::size_t>(count));
        return count;
    }

private:
    const int& open_count_;
};

// A reader of the output that stops reading (a full pipe) must not keep the printer from the
// system: whatever the reading's end, the printer is closed before anything is written.
TEST(CliRead, EveryEnding_WritesItsOutputOnlyOnceThePrinterIsClosed) {
    const std::string raw_path = testing::TempDir() + "vellumo_cli_closed_first.raw";
    const std::vector<std::pair<PrinterFault, std::vector<std::string>>> cases{
        {PrinterFault::None, {"read"}},
        {PrinterFault::None, {"read", "--json", "--raw", raw_path}},
        {PrinterFault::Silence, {"read", "--json"}},
        {PrinterFault::ShortChunk, {"read", "--json"}},
        {PrinterFault::None, {"read", "--all"}},
        {PrinterFault::Silence, {"read", "--all", "--json"}},
    };
    for (const auto& [fault, args] : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        SimulatedBus bus({printer("1-4", fault)});
        WatchedOutput watched(bus.open_count);
        std::ostream out(&watched);
        std::istringstream in;
        std::ostringstream err;
        CliEnvironment env;
        env.printers = &bus;
        run_cli(args, in, out, err, env);
        EXPECT_EQ(bus.opened.size(), 1u);
        EXPECT_FALSE(watched.text.empty());
        EXPECT_FALSE(watched.written_while_open);
    }
    std::remove(raw_path.c_str());
}

struct ReadFailureCase {
    const char* name;
    PrinterFault fault;
    int code;
    const char* failure;
    const char* says;    // part of the one line on stderr
    std::size_t chunks;  // chunks that had arrived
    std::optional<int> interrupted_by = std::nullopt;
    std::optional<std::vector<std::string>> quirks = std::nullopt;  // the model's, where known
};
// By name: gtest would otherwise print the bytes of the case, padding included, which valgrind
// rightly calls uninitialised.
void PrintTo(const ReadFailureCase& c, std::ostream* out) { *out << c.name; }

class CliReadFailure : public testing::TestWithParam<ReadFailureCase> {};

TEST_P(CliReadFailure, NamesItsStageInOneLineAndInTheJsonWithItsOwnExitCode) {
    const ReadFailureCase& c = GetParam();
    AttachedPrinter attached = printer("1-4", c.fault);
    attached.interrupted_by = c.interrupted_by;
    attached.info.quirks = c.quirks;
    SimulatedBus bus({attached});
    const CliRun text = run_with(bus, {"read"});
    EXPECT_EQ(text.code, c.code);
    EXPECT_EQ(text.out, "");
    EXPECT_EQ(std::count(text.err.begin(), text.err.end(), '\n'), 1) << text.err;
    EXPECT_NE(text.err.find(c.says), std::string::npos) << text.err;

    const CliRun result = run_with(bus, {"read", "--json"});
    EXPECT_EQ(result.code, c.code);
    const json reading = json::parse(result.out);
    EXPECT_FALSE(reading.at("ok").get<bool>());
    EXPECT_EQ(reading.at("device").at("id"), "1-4");
    EXPECT_EQ(reading.at("failure").at("name"), c.failure);
    EXPECT_EQ(reading.at("failure").at("chunks"), c.chunks);
    EXPECT_NE(reading.at("failure").at("message").get<std::string>().find(c.says),
              std::string::npos);
}

// The sample report comes in 22 chunks; faults that break it off do so after 2, or halfway.
const ReadFailureCase kReadFailures[] = {
    {"Silence", PrinterFault::Silence, 5, "no-acknowledgement", "did not answer", 0},
    {"WrongAcknowledgement", PrinterFault::WrongAcknowledgement, 5, "no-acknowledgement",
     "did not acknowledge", 0},
    {"NothingMoreBeforeAHeader", PrinterFault::TimeoutInChunkLoop, 6, "header-timeout",
     "timed out waiting for a chunk header (11 chunks had arrived)", 11},
    {"NothingAfterAHeader", PrinterFault::SilentAfterHeader, 7, "chunk-timeout",
     "timed out waiting for the text of a chunk (2 chunks had arrived)", 2},
    {"ChunkLongerThanTheBuffer", PrinterFault::EnormousLength, 8, "report-too-large",
     "larger than the 102400-byte report buffer (2 chunks had arrived)", 2},
    {"GoneInTheMiddleOfAChunk", PrinterFault::DisconnectMidChunk, 9, "device-gone",
     "went away (2 chunks had arrived)", 2},
    {"HalfAHeader", PrinterFault::ShortHeader, 10, "transfer-failed", "header came incomplete", 2},
    {"AnswersOutOfStep", PrinterFault::LeftoverStopAnswer, 10, "transfer-failed", "out of step", 0},
    {"RequestNotTaken", PrinterFault::PartialWrite, 10, "transfer-failed",
     "did not take the report request", 0},
    // The stop still goes out and is answered after an interruption: the code stays 128 + signal.
    {"CtrlC", PrinterFault::None, 130, "interrupted", "interrupted (1 chunk had arrived)", 1,
     SIGINT},
    {"SignalNotNamed", PrinterFault::None, 130, "interrupted", "interrupted (1 chunk had arrived)",
     1, 0},
    {"Sigterm", PrinterFault::None, 143, "interrupted", "interrupted by SIGTERM (1 chunk had", 1,
     SIGTERM},
#ifdef SIGHUP
    {"Sighup", PrinterFault::None, 129, "interrupted", "interrupted by SIGHUP (1 chunk had", 1,
     SIGHUP},
#endif
    // A model the printing system knows for one-way USB: a failure it would cause says so, an
    // interruption does not.
    {"SilentOneWayModel", PrinterFault::Silence, 5, "no-acknowledgement",
     "did not answer the start of the session; the printing system knows 04e8:3301 for one-way "
     "USB (quirk unidir): it may send nothing back",
     0, std::nullopt, std::vector<std::string>{"unidir"}},
    {"HalfAHeaderFromAOneWayModel", PrinterFault::ShortHeader, 10, "transfer-failed",
     "header came incomplete (2 chunks had arrived); the printing system knows 04e8:3301 for "
     "one-way USB", 2, std::nullopt, std::vector<std::string>{"soft-reset", "unidir"}},
    {"CtrlCOnAOneWayModel", PrinterFault::None, 130, "interrupted",
     "interrupted (1 chunk had arrived)", 1, SIGINT, std::vector<std::string>{"unidir"}},
};

INSTANTIATE_TEST_SUITE_P(EveryWay, CliReadFailure, testing::ValuesIn(kReadFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CliRead, ReportLargerThanTheBuffer_IsNamedAfterEveryChunkCame) {
    SimulatedBus bus({printer("1-4", PrinterFault::ReportLargerThanBuffer)});
    const CliRun result = run_with(bus, {"read", "--json"});
    EXPECT_EQ(result.code, 8);
    const json reading = json::parse(result.out);
    EXPECT_EQ(reading.at("failure").at("name"), "report-too-large");
    EXPECT_GT(reading.at("failure").at("chunks"), 100) << "over 100 KB in chunks of 1000";
}

TEST(CliRead, NoPrinterOrNoSuchDevice_AreNamedAndListSaysNoneWithAnEmptyArray) {
    SimulatedBus none({});
    const CliRun listed = run_with(none, {"list", "--json"});
    EXPECT_EQ(listed.code, 0);
    EXPECT_TRUE(json::parse(listed.out).empty());
    EXPECT_NE(listed.err.find("no supported printer is attached"), std::string::npos);
    const CliRun read = run_with(none, {"read", "--json"});
    EXPECT_EQ(read.code, 3);
    EXPECT_TRUE(json::parse(read.out).at("device").is_null());

    SimulatedBus one({printer("1-4")});
    for (const char* device : {"1-5", "2", "0", "18446744073709551617"}) {
        SCOPED_TRACE(device);
        const CliRun result = run_with(one, {"read", "--device", device});
        EXPECT_EQ(result.code, 3);
        EXPECT_NE(result.err.find("no supported printer '"), std::string::npos);
    }
    EXPECT_TRUE(one.opened.empty());
}

TEST(CliRead, OpenRefused_SaysTheSystemsReason) {
    AttachedPrinter busy = printer("1-4");
    busy.refusal = OpenFailure{OpenFailure::Kind::Busy, "busy: claimed by another program"};
    SimulatedBus bus({busy});
    const CliRun result = run_with(bus, {"read", "--json"});
    EXPECT_EQ(result.code, 4);
    const json reading = json::parse(result.out);
    EXPECT_EQ(reading.at("failure").at("name"), "cannot-open");
    EXPECT_EQ(reading.at("failure").at("reason"), "busy");
    EXPECT_NE(result.err.find("cannot open 1-4: busy: claimed by another program"),
              std::string::npos);

    // The link refuses a model the printing system knows not to work: a failure of its own.
    AttachedPrinter blacklisted = printer("1-5");
    blacklisted.refusal = OpenFailure{OpenFailure::Kind::Refused, "not opened: blacklist"};
    SimulatedBus refusing({blacklisted});
    const CliRun refused = run_with(refusing, {"read", "--json"});
    EXPECT_EQ(refused.code, 11);
    const json failure = json::parse(refused.out).at("failure");
    EXPECT_EQ(failure.at("name"), "blacklisted");
    EXPECT_TRUE(failure.at("reason").is_null());
    EXPECT_EQ(refused.err, "vellumo-cli: 1-5 not opened: blacklist\n");
}

// A signal while the printer was being opened: the reading is interrupted, not refused.
TEST(CliRead, InterruptedWhileOpening_ExitsWith128AndTheSignal) {
    AttachedPrinter interrupted = printer("1-4");
    interrupted.refusal = OpenFailure{OpenFailure::Kind::Interrupted, "interrupted", SIGTERM};
    SimulatedBus bus({interrupted});
    const CliRun result = run_with(bus, {"read"});
    EXPECT_EQ(result.code, 143);
    EXPECT_EQ(result.err, "vellumo-cli: interrupted by SIGTERM while opening 1-4\n");
}

// Without --device, a printer the system knows no reading can go through is passed over; when
// every one is such, the first is tried, so that the failure names it. --help says so.
TEST(CliRead, NoDevice_TakesTheFirstPrinterThatMayCarryASession) {
    AttachedPrinter ipp_only = printer("1-1");
    ipp_only.info.no_session_interface = true;
    AttachedPrinter unknown = printer("1-4");  // the system does not tell, as on Windows
    SimulatedBus bus({ipp_only, unknown});
    EXPECT_EQ(run_with(bus, {"read"}).code, 0);
    EXPECT_EQ(bus.opened, std::vector<std::string>{"1-4"});

    SimulatedBus none_usable({ipp_only, ipp_only});
    run_with(none_usable, {"read"});
    EXPECT_EQ(none_usable.opened, std::vector<std::string>{"1-1"});

    // Nor is a model that the printing system's quirks blacklist, unless it is the only kind.
    AttachedPrinter blacklisted = printer("1-2");
    blacklisted.info.quirks = std::vector<std::string>{"unidir", "blacklist"};
    SimulatedBus passing_over({blacklisted, unknown});
    EXPECT_EQ(run_with(passing_over, {"read"}).code, 0);
    EXPECT_EQ(passing_over.opened, std::vector<std::string>{"1-4"});
    SimulatedBus only_blacklisted({blacklisted});
    run_with(only_blacklisted, {"read"});
    EXPECT_EQ(only_blacklisted.opened, std::vector<std::string>{"1-2"});

    std::string help = run({"--help"}).out;
    std::replace(help.begin(), help.end(), '\n', ' ');
    help.erase(std::unique(help.begin(), help.end(),
                           [](char a, char b) { return a == ' ' && b == ' '; }),
               help.end());
    EXPECT_NE(help.find("default: the first whose interface carries a session and whose quirks are "
                        "not blacklist, else the first"),
              std::string::npos)
        << "--help says which printer read takes: " << help;
}

TEST(CliRead, TwoPrinters_ListShowsBothAndDeviceChoosesByIdAddressOrPlace) {
    AttachedPrinter first = printer("1-4");
    first.info.address = "001:004";
    first.info.interface_number = 1;
    first.info.quirks = std::vector<std::string>{"soft-reset", "future-word"};
    AttachedPrinter second = printer("1-5");
    second.report = "Model Name: Second\r";
    second.info.address = "001:012";
    SimulatedBus bus({first, second});

    const json listed = json::parse(run_with(bus, {"list", "--json"}).out);
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed.at(0).at("id"), "1-4");
    EXPECT_EQ(listed.at(0).at("address"), "001:004");
    EXPECT_EQ(listed.at(0).at("interface"), 1);
    EXPECT_EQ(listed.at(0).at("quirks"), json({"soft-reset", "future-word"}));
    EXPECT_EQ(listed.at(1).at("id"), "1-5");
    EXPECT_TRUE(listed.at(1).at("interface").is_null()) << "the system did not tell";
    EXPECT_TRUE(listed.at(1).at("quirks").is_null()) << "the system did not look";
    EXPECT_EQ(run_with(bus, {"list"}).out,
              "1-4  04e8:3301  address 001:004  interface 1  Vellumo LP-3020  quirks "
              "soft-reset,future-word\n"
              "1-5  04e8:3301  address 001:012  Vellumo LP-3020\n");

    for (const char* device : {"1-5", "2", "001:012", "1:12"}) {
        SCOPED_TRACE(device);
        const json reading =
            json::parse(run_with(bus, {"read", "--json", "--device", device}).out);
        EXPECT_EQ(reading.at("device").at("id"), "1-5");
        EXPECT_EQ(reading.at("device").at("address"), "001:012");
        EXPECT_EQ(reading.at("fields").at("model"), "Second");
    }
    EXPECT_EQ(bus.opened, (std::vector<std::string>(4, "1-5")));
    for (const char* device : {"001:013", "002:012", "001:0012", "1:", ":12", "001:012:1"}) {
        SCOPED_TRACE(device);
        EXPECT_EQ(run_with(bus, {"read", "--device", device}).code, 3);
    }
}

// A device may say anything: the JSON keeps what is UTF-8 and stays valid, and the terminal is
// sent no control character (ESC, or CSI as one C1 byte) that it would act on, nor one that
// would reorder what it shows.
TEST(CliRead, DeviceStrings_StayUtf8InTheJsonAndKeepControlsOffTheTerminal) {
    AttachedPrinter attached = printer("1-4");
    attached.info.manufacturer = "M\xC3\xBCller";      // u with diaeresis
    attached.info.product = "LP\xC2\x9BK\x1B[0m\x7F\xE2\x80\xAE";  // C1 CSI, ESC, DEL, U+202E
    // Not UTF-8 but a four-byte sequence: a stray byte, a surrogate, an overlong '/', a cut end.
    attached.info.serial = "S\xC9\"2\xED\xA0\x80\xF0\x9F\x98\x80\xC0\xAF\xE2\x82";
    SimulatedBus bus({attached});

    const std::string json_text = run_with(bus, {"list", "--json"}).out;
    EXPECT_NE(json_text.find("\"manufacturer\":\"M\xC3\xBCller\""), std::string::npos)
        << json_text;
    EXPECT_NE(json_text.find("\"product\":\"LP\\u009bK\\u001b[0m\\u007f\\u202e\""),
              std::string::npos)
        << json_text;
    // Each byte that starts no valid sequence is replaced; a sequence cut short at the end once.
    const std::string replaced = "\xEF\xBF\xBD";
    const std::string json_serial = "\"serial\":\"S" + replaced + "\\\"2" + replaced + replaced +
                                    replaced + "\xF0\x9F\x98\x80" + replaced + replaced + replaced +
                                    "\"";
    EXPECT_NE(json_text.find(json_serial), std::string::npos) << json_text;
    EXPECT_EQ(json::parse(json_text).at(0).at("product"), attached.info.product);

    EXPECT_EQ(run_with(bus, {"list"}).out,
              "1-4  04e8:3301  M\xC3\xBCller LP?K?[0m??  serial S?\"2???\xF0\x9F\x98\x80????\n");
}

std::string file_text(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

std::size_t files_in(const std::filesystem::path& folder) {
    const std::filesystem::directory_iterator entries(folder);
    return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}

// A folder of its own for the raw file, so that a temporary file left behind shows.
std::filesystem::path empty_folder(const std::string& name) {
    const std::filesystem::path folder = std::filesystem::path(testing::TempDir()) / name;
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    return folder;
}

// Every command reads its arguments by the same rules: what is wrong is said (exit 2) before
// anything is opened or read, never taken as a file, a device or a value.
TEST(CliCommands, BadArguments_AreUsageErrorsWithExitCodeTwo) {
    const std::string all = "'--all' reads every printer: it takes no '--device' and no '--raw'";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{}, "no command given"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"format", "a", "b"}, "'format' takes at most one FILE"},
        {{"format", "--json", "a", "b"}, "'format' takes at most one FILE"},
        {{"format", "--bogus"}, "unknown option '--bogus' for 'format'"},
        {{"format", "a", "-j"}, "unknown option '-j' for 'format'"},
        {{"fields", "--bogus"}, "unknown option '--bogus' for 'fields'"},
        {{"fields", "a", "b"}, "'fields' takes at most one FILE"},
        {{"simulate", "--fault"}, "'--fault' takes NAME"},
        {{"simulate", "--fault", "--json"}, "'--fault' takes NAME, not the option '--json'"},
        {{"simulate", "--fault", "no-such-fault"}, "unknown fault 'no-such-fault'"},
        {{"simulate", "--speed"}, "unknown option '--speed' for 'simulate'"},
        {{"simulate", "--fault", "silence", "extra"}, "unexpected argument 'extra' for 'simulate'"},
        {{"simulate", "--fault", "Silence"}, "unknown fault 'Silence'"},
        {{"simulate", "--fault", "silence", "--fault", "none"}, "'--fault' is given twice"},
        {{"list", "--device", "1"}, "unknown option '--device' for 'list'"},
        {{"list", "--raw", "f"}, "unknown option '--raw' for 'list'"},
        {{"list", "--all"}, "unknown option '--all' for 'list'"},
        {{"list", "printers"}, "unexpected argument 'printers' for 'list'"},
        {{"read", "--device"}, "'--device' takes ID"},
        {{"read", "--device", ""}, "'--device' takes ID"},
        {{"read", "--device", "--json"}, "'--device' takes ID, not the option '--json'"},
        {{"read", "--raw"}, "'--raw' takes FILE"},
        {{"read", "--raw", "--all"}, "'--raw' takes FILE, not the option '--all'"},
        {{"read", "--fast"}, "unknown option '--fast' for 'read'"},
        {{"read", "1-4"}, "unexpected argument '1-4' for 'read'"},
        {{"read", "--device", "1", "--device", "2"}, "'--device' is given twice"},
        {{"read", "--all", "--device", "1"}, all},
        {{"read", "--device", "1", "--all"}, all},
        {{"read", "--all", "--raw", "f"}, all},
        {{"diff"}, "'diff' takes two files, OLD and NEW"},
        {{"diff", "a"}, "'diff' takes two files, OLD and NEW"},
        {{"diff", "a", "b", "c"}, "'diff' takes two files, OLD and NEW"},
        {{"diff", "--json"}, "'diff' takes two files, OLD and NEW"},
        {{"diff", "--", "--json"}, "'diff' takes two files, OLD and NEW"},
        {{"diff", "--fast", "a", "b"}, "unknown option '--fast' for 'diff'"},
        {{"diff", "a", "b", "-j"}, "unknown option '-j' for 'diff'"},
        {{"diff", "-", "-"}, "standard input ('-') can be only one of OLD and NEW"},
    };
    for (const auto& [args, says] : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        SimulatedBus bus({printer("1-4")});
        const CliRun result = run_with(bus, args);
        EXPECT_EQ(result.code, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "vellumo-cli: " + says + " (see vellumo-cli --help)\n");
        EXPECT_TRUE(bus.opened.empty());
    }
}

// What the rules allow: options before or after FILE, "--" before a FILE that begins with '-',
// and --json wherever a command prints JSON (fields always does).
TEST(CliCommands, OptionsInAnyOrderAndAFileAfterDashDash_AreTakenAsMeant) {
    const std::filesystem::path folder = empty_folder("vellumo_cli_dash_file");
    const std::string raw = "Model Name: Dash\r";
    std::ofstream(folder / "-x.raw", std::ios::binary) << raw;
    const std::string dash_file = (folder / "-x.raw").string();
    const std::string fields = "{\"model\":\"Dash\",\"serial\":null,\"firmware\":null,"
                               "\"crum\":null,\"cut\":false}\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"fields", dash_file}, fields},
        {{"fields", "--json", dash_file}, fields},
        {{"fields", dash_file, "--json"}, fields},
        {{"format", dash_file, "--json"}, run({"format", "--json", dash_file}).out},
    };
    for (const auto& [args, expected] : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        const CliRun result = run(args);
        EXPECT_EQ(result.code, 0) << result.err;
        EXPECT_EQ(result.out, expected);
    }
    const std::filesystem::path working_folder = std::filesystem::current_path();
    std::filesystem::current_path(folder);
    const CliRun after_dash_dash = run({"format", "--", "-x.raw"});
    std::filesystem::current_path(working_folder);
    EXPECT_EQ(after_dash_dash.code, 0) << after_dash_dash.err;
    EXPECT_EQ(after_dash_dash.out, formatted(raw));
    EXPECT_EQ(run({"fields", "--json"}, raw).out, fields) << "standard input, with --json";

    SimulatedBus bus({printer("1-4"), printer("1-5")});
    const json reading = json::parse(run_with(bus, {"read", "--device", "2", "--json"}).out);
    EXPECT_EQ(reading.at("device").at("id"), "1-5");
    std::filesystem::remove_all(folder);
}

TEST(CliRead, Raw_KeepsTheReportAsReceivedSoThatFormatGivesTheListingAgain) {
    const std::filesystem::path folder = empty_folder("vellumo_cli_raw_kept");
    const std::string path = (folder / "report.raw").string();
    std::ofstream(path, std::ios::binary) << "an earlier, longer report than the one read now\r";
    SimulatedBus bus({printer("1-4")});
    const CliRun read = run_with(bus, {"read", "--raw", path});
    EXPECT_EQ(read.code, 0);
    EXPECT_EQ(file_text(path), sample_report());
    EXPECT_EQ(run({"format", path}).out, read.out);
    EXPECT_EQ(files_in(folder), 1u) << "the file took the earlier one's place";
    std::filesystem::remove_all(folder);
}

// The disk under the raw file, as the tests make it fail.
enum class Disk { Fine, FullAfter1000Bytes, FailsTheWriteWhenSynced, FailsTheFolderSync };

#ifndef _WIN32
// What this program's fsync (below) notes and fails while a FailingDisk lives.
struct SyncWatch {
    bool watching = false;
    mode_t failing_kind = 0;     // S_IFREG or S_IFDIR: fsync of such a file fails with EIO
    std::vector<mode_t> synced;  // the kind of each file synced, in order
};
SyncWatch sync_watch;
#endif

// A disk that fails as `disk` says while this lives. A full disk is the file size limit, which
// makes the system refuse a write after 1000 bytes (SIGXFSZ ignored, so that the write fails
// instead); a write that fails only when synced is an fsync that says EIO, as a failing disk
// (or a full one, on some file systems) does.
class FailingDisk {
public:
    explicit FailingDisk(Disk disk) {
#ifndef _WIN32
        if (disk == Disk::FullAfter1000Bytes) {
            previous_ = std::signal(SIGXFSZ, SIG_IGN);
            getrlimit(RLIMIT_FSIZE, &saved_);
            rlimit limited = saved_;
            limited.rlim_cur = 1000;
            setrlimit(RLIMIT_FSIZE, &limited);
            limited_ = true;
        }
        const mode_t failing = disk == Disk::FailsTheWriteWhenSynced ? S_IFREG
                               : disk == Disk::FailsTheFolderSync    ? S_IFDIR
                                                                     : 0;
        sync_watch = {true, failing, {}};
#else
        EXPECT_EQ(disk, Disk::Fine) << "Windows disks fail only as the system makes them";
#endif
    }
    ~FailingDisk() {
#ifndef _WIN32
        sync_watch = {};
        if (limited_) {
            setrlimit(RLIMIT_FSIZE, &saved_);
            std::signal(SIGXFSZ, previous_);
        }
#endif
    }
    FailingDisk(const FailingDisk&) = delete;
    FailingDisk& operator=(const FailingDisk&) = delete;

#ifndef _WIN32
    const std::vector<mode_t>& synced() const { return sync_watch.synced; }

private:
    bool limited_ = false;
    void (*previous_)(int) = nullptr;
    rlimit saved_{};
#endif
};

}  // namespace

#ifndef _WIN32
// The companion's calls of fsync come here (this program's own definition comes before the C
// library's): noted, failed as the FailingDisk of the test says, else passed to the system.
extern "C" int fsync(int file) {
    struct stat status {};
    const mode_t kind = fstat(file, &status) == 0 ? (status.st_mode & S_IFMT) : 0;
    if (sync_watch.watching) {
        sync_watch.synced.push_back(kind);
        if (kind == sync_watch.failing_kind) {
            errno = EIO;
            return -1;
        }
    }
    return static_cast<int>(syscall(SYS_fsync, file));
}
#endif

namespace {

// A raw report that cannot be written whole fails the reading, in the JSON as in the exit code,
// before anything else is printed; an earlier file stays as it was and no part is left beside it.
TEST(CliRead, RawThatCannotBeWritten_FailsTheReadingAndLeavesNoPartOfIt) {
    const std::filesystem::path folder = empty_folder("vellumo_cli_raw_failed");
    const std::string earlier = "an earlier report\r";
    const std::string path = (folder / "report.raw").string();
    std::ofstream(path, std::ios::binary) << earlier;
    std::filesystem::create_directory(folder / "a folder");
    SimulatedBus bus({printer("1-4")});
    struct Case {
        const char* name;
        std::string target;
        Disk disk;
    };
    std::vector<Case> cases{{"no such folder", (folder / "no" / "report.raw").string(), Disk::Fine},
                            {"a folder", (folder / "a folder").string(), Disk::Fine}};
#ifndef _WIN32  // Windows has no file size limit to fill a disk with, nor our fsync
    cases.push_back({"the disk fills up", path, Disk::FullAfter1000Bytes});
    cases.push_back({"the disk fails the write when synced", path, Disk::FailsTheWriteWhenSynced});
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<CliRun> runs;
        {
            const FailingDisk disk(c.disk);
            runs.push_back(run_with(bus, {"read", "--json", "--raw", c.target}));
            runs.push_back(run_with(bus, {"read", "--raw", c.target}));
        }
        const json reading = json::parse(runs[0].out);
        EXPECT_FALSE(reading.at("ok").get<bool>());
        EXPECT_EQ(reading.at("failure").at("name"), "raw-write-failed");
        EXPECT_EQ(runs[1].out, "") << "no listing without its raw report";
        for (const CliRun& result : runs) {
            EXPECT_EQ(result.code, 1);
            EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
            EXPECT_NE(result.err.find("cannot write the raw report to '" + c.target + "': "),
                      std::string::npos)
                << result.err;
        }
        EXPECT_EQ(file_text(path), earlier);
        EXPECT_EQ(files_in(folder), 2u) << "no temporary file is left";
        EXPECT_TRUE(std::filesystem::is_directory(folder / "a folder"));
    }
    std::filesystem::remove_all(folder);
}

#ifndef _WIN32
struct stat status_of(const std::filesystem::path& path) {
    struct stat status {};
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    return status;
}

std::string link_text(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::read_symlink(path, error).string();
}

// What stands at FILE before a reading with --raw FILE, and what stands there after it.
struct RawTargetCase {
    const char* name;
    // Makes what stands there in `folder`; returns FILE as the reading is given it.
    std::function<std::string(const std::filesystem::path& folder)> make;
    // Checks `folder` after the reading; `received` is what a reader of a pipe got.
    std::function<void(const std::filesystem::path& folder, const std::string& received)> check;
};

constexpr mode_t kUmask = 027;  // a new file gets 0666 less this: 0640

void expect_regular(const std::filesystem::path& path, mode_t mode, const std::string& text) {
    const struct stat status = status_of(path);
    EXPECT_TRUE(S_ISREG(status.st_mode)) << path;
    EXPECT_EQ(status.st_mode & 07777, mode) << path;
    EXPECT_TRUE(file_text(path) == text) << path << " holds what was written there";
}

void make_file(const std::filesystem::path& path, mode_t mode) {
    std::ofstream(path, std::ios::binary) << "an earlier report\r";
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

const RawTargetCase kRawTargets[] = {
    {"NewFile", [](const auto& folder) { return (folder / "report.raw").string(); },
     [](const auto& folder, const std::string&) {
         expect_regular(folder / "report.raw", 0666 & ~kUmask, sample_report());
         EXPECT_EQ(files_in(folder), 1u);
     }},
    {"FileOfMode0600",
     [](const auto& folder) {
         make_file(folder / "report.raw", 0600);
         return (folder / "report.raw").string();
     },
     [](const auto& folder, const std::string&) {
         expect_regular(folder / "report.raw", 0600, sample_report());
         EXPECT_EQ(files_in(folder), 1u);
     }},
    {"LinkToAFileInAnotherFolder",
     [](const auto& folder) {
         std::filesystem::create_directory(folder / "kept");
         make_file(folder / "kept" / "report.raw", 0604);
         std::filesystem::create_symlink("kept/report.raw", folder / "report.raw");
         return (folder / "report.raw").string();
     },
     [](const auto& folder, const std::string&) {
         EXPECT_EQ(link_text(folder / "report.raw"), "kept/report.raw") << "the link stays";
         expect_regular(folder / "kept" / "report.raw", 0604, sample_report());
         EXPECT_EQ(files_in(folder), 2u);
         EXPECT_EQ(files_in(folder / "kept"), 1u) << "no temporary file is left beside it";
     }},
    {"LinkToALinkToAFileNotThereYet",
     [](const auto& folder) {
         std::filesystem::create_symlink(folder / "second.link", folder / "report.raw");
         std::filesystem::create_symlink("new.raw", folder / "second.link");
         return (folder / "report.raw").string();
     },
     [](const auto& folder, const std::string&) {
         EXPECT_EQ(link_text(folder / "report.raw"), (folder / "second.link").string());
         EXPECT_EQ(link_text(folder / "second.link"), "new.raw");
         expect_regular(folder / "new.raw", 0666 & ~kUmask, sample_report());
         EXPECT_EQ(files_in(folder), 3u);
     }},
    {"Fifo",
     [](const auto& folder) {
         EXPECT_EQ(mkfifo((folder / "report.fifo").c_str(), 0600), 0);
         return (folder / "report.fifo").string();
     },
     [](const auto& folder, const std::string& received) {
         EXPECT_TRUE(S_ISFIFO(status_of(folder / "report.fifo").st_mode));
         EXPECT_TRUE(received == sample_report()) << "the FIFO's reader got the report";
         EXPECT_EQ(files_in(folder), 1u);
     }},
    // Standard output sent to a file (`--raw /dev/stdout >FILE`): the report goes where the
    // descriptor stands, and the file is not replaced.
    {"DescriptorOfAFile",
     [](const auto& folder) {
         const int file = open((folder / "out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
         EXPECT_EQ(write(file, "before\n", 7), 7);
         return "/dev/fd/" + std::to_string(file);
     },
     [](const auto& folder, const std::string&) {
         expect_regular(folder / "out.txt", 0600, "before\n" + sample_report());
         EXPECT_EQ(files_in(folder), 1u);
     }},
};

void PrintTo(const RawTargetCase& c, std::ostream* out) { *out << c.name; }

class CliRawTarget : public testing::TestWithParam<RawTargetCase> {};

// --raw replaces a regular file whole (also the one a link names, leaving the link), keeping its
// mode, and writes anything else that stands at FILE in place.
TEST_P(CliRawTarget, OnlyARegularFileIsReplacedAndItKeepsItsMode) {
    const RawTargetCase& c = GetParam();
    const std::filesystem::path folder = empty_folder(std::string("vellumo_cli_raw_") + c.name);
    const std::string file = c.make(folder);
    // A FIFO's reader, there before the reading opens it; the report fits the FIFO's buffer.
    struct stat status {};
    const bool fifo = stat(file.c_str(), &status) == 0 && S_ISFIFO(status.st_mode);
    const int reader = fifo ? open(file.c_str(), O_RDONLY | O_NONBLOCK) : -1;
    SimulatedBus bus({printer("1-4")});
    const mode_t umask_before = umask(kUmask);
    const CliRun result = run_with(bus, {"read", "--raw", file});
    umask(umask_before);
    std::string received;
    char buffer[4096];
    for (ssize_t got; reader >= 0 && (got = read(reader, buffer, sizeof buffer)) > 0;)
        received.append(buffer, static_cast<std::size_t>(got));
    if (reader >= 0) close(reader);
    if (file.rfind("/dev/fd/", 0) == 0) close(std::stoi(file.substr(8)));
    EXPECT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.out, formatted(sample_report()));
    c.check(folder, received);
    std::filesystem::remove_all(folder);
}

INSTANTIATE_TEST_SUITE_P(EachKind, CliRawTarget, testing::ValuesIn(kRawTargets),
                         [](const auto& info) { return std::string(info.param.name); });

// The owner of a file that is replaced stays, where the process may set it (root may).
TEST(CliRead, RawOverAFileOfAnotherOwner_KeepsItsOwnerAndMode) {
    if (geteuid() != 0) GTEST_SKIP() << "not root: only root may give a file to another owner";
    const std::filesystem::path folder = empty_folder("vellumo_cli_raw_owner");
    const std::filesystem::path path = folder / "report.raw";
    make_file(path, 0640);
    ASSERT_EQ(chown(path.c_str(), 4321, 4322), 0);
    SimulatedBus bus({printer("1-4")});
    EXPECT_EQ(run_with(bus, {"read", "--raw", path.string()}).code, 0);
    const struct stat status = status_of(path);
    EXPECT_EQ(status.st_uid, 4321u);
    EXPECT_EQ(status.st_gid, 4322u);
    expect_regular(path, 0640, sample_report());
    std::filesystem::remove_all(folder);
}

// A device node made in the test's own folder (never the system's): a character device is
// written in place, as /dev/null is, and a block device (a disk) is refused.
TEST(CliRead, RawOnDeviceNodes_WritesACharacterDeviceInPlaceAndRefusesADisk) {
    const std::filesystem::path folder = empty_folder("vellumo_cli_raw_devices");
    const std::filesystem::path null = folder / "null", disk = folder / "disk";
    if (mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
        const std::string why = std::strerror(errno);
        std::filesystem::remove_all(folder);
        GTEST_SKIP() << "mknod is not permitted here (" << why << "): device nodes not tested";
    }
    // A loop device number that no disk has here: nothing could be written even by mistake.
    ASSERT_EQ(mknod(disk.c_str(), S_IFBLK | 0600, makedev(7, 255)), 0) << std::strerror(errno);
    const int opened = open(null.c_str(), O_WRONLY);
    if (opened < 0) {
        const std::string why = std::strerror(errno);
        std::filesystem::remove_all(folder);
        GTEST_SKIP() << "device nodes cannot be opened in " << folder << " (" << why
                     << ", a file system mounted nodev?): device nodes not tested";
    }
    close(opened);
    SimulatedBus bus({printer("1-4")});
    const CliRun written = run_with(bus, {"read", "--raw", null.string()});
    EXPECT_EQ(written.code, 0) << written.err;
    EXPECT_EQ(written.out, formatted(sample_report()));
    const CliRun refused = run_with(bus, {"read", "--raw", disk.string()});
    EXPECT_EQ(refused.code, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_NE(refused.err.find("is a block device"), std::string::npos) << refused.err;
    for (const auto& [node, kind, device] :
         {std::tuple(null, S_IFCHR, makedev(1, 3)), std::tuple(disk, S_IFBLK, makedev(7, 255))}) {
        const struct stat status = status_of(node);
        EXPECT_EQ(status.st_mode & S_IFMT, kind) << node << " is still the node it was";
        EXPECT_EQ(status.st_rdev, device) << node;
    }
    EXPECT_EQ(files_in(folder), 2u) << "no temporary file is left";
    std::filesystem::remove_all(folder);
}

// After the new file takes FILE's name, its folder is synced, so that the name survives a
// power cut; a folder that cannot be synced fails the reading, with the report in place.
TEST(CliRead, RawReplacingAFile_ItsFolderIsSyncedAndAFailedFolderSyncFailsTheReading) {
    const std::filesystem::path folder = empty_folder("vellumo_cli_raw_folder_sync");
    const std::string path = (folder / "report.raw").string();
    SimulatedBus bus({printer("1-4")});
    {
        const FailingDisk disk(Disk::Fine);
        EXPECT_EQ(run_with(bus, {"read", "--raw", path}).code, 0);
        EXPECT_EQ(disk.synced(), (std::vector<mode_t>{S_IFREG, S_IFDIR}));
    }
    std::filesystem::remove(path);
    {
        const FailingDisk disk(Disk::FailsTheFolderSync);
        const CliRun result = run_with(bus, {"read", "--json", "--raw", path});
        EXPECT_EQ(result.code, 1);
        EXPECT_EQ(json::parse(result.out).at("failure").at("name"), "raw-write-failed");
        EXPECT_NE(result.err.find("its folder could not be synced"), std::string::npos)
            << result.err;
    }
    EXPECT_EQ(file_text(path), sample_report());
    EXPECT_EQ(files_in(folder), 1u);
    std::filesystem::remove_all(folder);
}
#endif

#ifdef _WIN32
// NUL (as a console or a pipe would be) is written as it stands: nothing is made beside it.
TEST(CliRead, RawOnNul_IsWrittenInPlace) {
    const std::filesystem::path folder = empty_folder("vellumo_cli_raw_nul");
    const std::filesystem::path working_folder = std::filesystem::current_path();
    std::filesystem::current_path(folder);
    SimulatedBus bus({printer("1-4")});
    const CliRun result = run_with(bus, {"read", "--raw", "NUL"});
    std::filesystem::current_path(working_folder);
    EXPECT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.out, formatted(sample_report()));
    EXPECT_EQ(files_in(folder), 0u);
    std::filesystem::remove_all(folder);
}
#endif

std::vector<json> json_lines(const std::string& text) {
    std::vector<json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line));
    return lines;
}

// One failing printer does not stop the others; the run exits with the first failure's code.
TEST(CliReadAll, EveryPrinterInTurn_AJsonLineOrAListingEachAndTheFirstFailuresCode) {
    AttachedPrinter third = printer("1-3", PrinterFault::SilentAfterHeader);
    third.info.address = "001:007";
    AttachedPrinter fourth = printer("1-4");
    fourth.report = "Model Name: Fourth\r";
    SimulatedBus bus({printer("1-1"), printer("1-2", PrinterFault::WrongAcknowledgement), third,
                      fourth});

    const CliRun as_json = run_with(bus, {"read", "--all", "--json"});
    EXPECT_EQ(as_json.code, 5);
    const std::vector<json> lines = json_lines(as_json.out);
    ASSERT_EQ(lines.size(), 4u) << as_json.out;
    const char* const ids[] = {"1-1", "1-2", "1-3", "1-4"};
    const char* const failures[] = {"", "no-acknowledgement", "chunk-timeout", ""};
    for (std::size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(ids[i]);
        EXPECT_EQ(lines[i].at("device").at("id"), ids[i]);
        EXPECT_EQ(lines[i].at("ok"), *failures[i] == '\0');
        if (*failures[i] != '\0') EXPECT_EQ(lines[i].at("failure").at("name"), failures[i]);
    }
    EXPECT_EQ(lines[3].at("fields").at("model"), "Fourth");
    EXPECT_EQ(lines[2].at("device").at("address"), "001:007");

    const CliRun text = run_with(bus, {"read", "--all"});
    EXPECT_EQ(text.code, 5);
    EXPECT_EQ(text.out, "== 1-1  04e8:3301  Vellumo LP-3020\n" + formatted(sample_report()) +
                            "== 1-2  04e8:3301  Vellumo LP-3020\n"
                            "== 1-3  04e8:3301  address 001:007  Vellumo LP-3020\n"
                            "== 1-4  04e8:3301  Vellumo LP-3020\n" +
                            formatted("Model Name: Fourth\r"));
    EXPECT_EQ(std::count(text.err.begin(), text.err.end(), '\n'), 2) << text.err;
    EXPECT_NE(text.err.find("vellumo-cli: 1-2: the printer did not acknowledge"), std::string::npos)
        << text.err;
    EXPECT_NE(text.err.find("vellumo-cli: 1-3: timed out waiting for the text of a chunk"),
              std::string::npos)
        << text.err;
    EXPECT_EQ(bus.opened, (std::vector<std::string>{"1-1", "1-2", "1-3", "1-4", "1-1", "1-2",
                                                    "1-3", "1-4"}));
}

// A signal ends the whole run with its own code, after the reading it interrupted.
TEST(CliReadAll, InterruptedReading_StopsTheRunWithTheSignalsCode) {
    AttachedPrinter interrupted = printer("1-2");
    interrupted.interrupted_by = SIGTERM;
    SimulatedBus bus({printer("1-1", PrinterFault::Silence), interrupted, printer("1-3")});
    const CliRun result = run_with(bus, {"read", "--all", "--json"});
    EXPECT_EQ(result.code, 143);
    const std::vector<json> lines = json_lines(result.out);
    ASSERT_EQ(lines.size(), 2u) << result.out;
    EXPECT_EQ(lines[1].at("failure").at("name"), "interrupted");
    EXPECT_EQ(bus.opened, (std::vector<std::string>{"1-1", "1-2"}));
}

TEST(CliReadAll, NoPrinter_IsTheNoPrinterFailure) {
    SimulatedBus none({});
    const CliRun result = run_with(none, {"read", "--all", "--json"});
    EXPECT_EQ(result.code, 3);
    const std::vector<json> lines = json_lines(result.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].at("device").is_null());
    EXPECT_EQ(lines[0].at("failure").at("name"), "no-printer");
    EXPECT_EQ(run_with(none, {"read", "--all"}).code, 3);
}

TEST(CliRead, OnATerminal_ShowsChunksAndBytesAsTheyCome) {
    SimulatedBus bus({printer("1-4")});
    const CliRun result = run_with(bus, {"read"}, true);
    EXPECT_EQ(result.code, 0);
    EXPECT_NE(result.err.find("\rreading: 1 chunk, "), std::string::npos);
    EXPECT_NE(result.err.find("\rreading: 22 chunks, " +
                              std::to_string(sample_report().size() - 22) + " bytes\n"),
              std::string::npos)
        << "the sample's chunks carry no CR; the host adds one to each";
}

// ---- diff ----

std::string diff_file(const std::string& name, const std::string& bytes) {
    const std::string path = testing::TempDir() + "vellumo_cli_diff_" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// The sample report after a service visit: a counter, a text in Russian (code page 1251), a
// repeated key in its second occurrence, a line gone and a section added.
std::string visited_sample() {
    std::string raw = replaced(sample_report(), "Power On: 214", "Power On: 1464");
    raw = replaced(raw, "Language: Russian", "Language: \xD0\xF3\xF1\xF1\xEA\xE8\xE9");
    raw = replaced(raw, "IPv6: Off\r", "");
    raw = replaced(raw, "Jobs: 40  Duplex Share: 33 %", "Jobs: 41  Duplex Share: 33 %");
    return raw + "[Fax Settings]\rFax Speed: 33600\r";
}

// A report as each command keeps it: the raw report, format --json and read --json.
std::vector<std::pair<std::string, std::string>> kept_kinds(const std::string& raw) {
    AttachedPrinter attached = printer("1-4");
    attached.report = raw;
    SimulatedBus bus({attached});
    return {{"raw", raw},
            {"report", run({"format", "--json"}, raw).out},
            {"reading", run_with(bus, {"read", "--json"}).out}};
}

TEST(CliDiff, EveryKindOfEitherFile_GivesTheDifferencesInTheOrderOfNew) {
    const std::string expected =
        "[General Information]\n"
        "~ Language: Russian -> \xD0\xA0\xD1\x83\xD1\x81\xD1\x81\xD0\xBA\xD0\xB8\xD0\xB9\n"
        "~ Page Count Since Power On: 214 -> 1464 (+1250)\n"
        "[Network Settings]\n"
        "- IPv6: Off\n"
        "[Monthly Usage]\n"
        "~ Jobs #2: 40 -> 41 (+1)\n"
        "[Fax Settings]\n"
        "+ [Fax Settings]\n"
        "+ Fax Speed: 33600\n";
    const auto olds = kept_kinds(sample_report());
    const auto news = kept_kinds(visited_sample());
    std::optional<json> first_differences;
    for (std::size_t i = 0; i < olds.size(); ++i) {
        for (std::size_t j = 0; j < news.size(); ++j) {
            SCOPED_TRACE(olds[i].first + " against " + news[j].first);
            const std::string old_path = diff_file("old", olds[i].second);
            const std::string new_path = diff_file("new", news[j].second);
            const CliRun plain = run({"diff", old_path, new_path});
            EXPECT_EQ(plain.code, 1);
            EXPECT_EQ(plain.out, expected);
            EXPECT_EQ(plain.err, "");
            const CliRun as_json = run({"diff", "--json", old_path, new_path});
            EXPECT_EQ(as_json.code, 1);
            const json whole = json::parse(as_json.out);
            EXPECT_EQ(whole.at("old").at("kind"), olds[i].first);
            EXPECT_EQ(whole.at("new").at("kind"), news[j].first);
            EXPECT_EQ(whole.at("new").at("file"), new_path);
            EXPECT_EQ(whole.at("new").at("fields").at("model"), "Vellumo LP-3020 Series");
            if (!first_differences) first_differences = whole.at("differences");
            EXPECT_EQ(whole.at("differences"), *first_differences);
            // One report kept twice, of whichever kinds, is the same: nothing is printed.
            const CliRun same =
                run({"diff", diff_file("new", news[i].second), diff_file("again", news[j].second)});
            EXPECT_EQ(same.code, 0);
            EXPECT_EQ(same.out + same.err, "");
        }
    }
    ASSERT_TRUE(first_differences);
    EXPECT_EQ(first_differences->size(), 6u);
    EXPECT_EQ(first_differences->at(3),
              json::parse(R"({"section": "[Monthly Usage]", "key": "Jobs", "occurrence": 2,
                              "change": "changed", "old": "40", "new": "41", "delta": "+1"})"));
    EXPECT_EQ(first_differences->at(2),
              json::parse(R"({"section": "[Network Settings]", "key": "IPv6", "occurrence": 1,
                              "change": "removed", "old": "Off", "new": null, "delta": null})"));
    EXPECT_EQ(first_differences->at(4),
              json::parse(R"({"section": "[Fax Settings]", "key": null, "occurrence": 1,
                              "change": "added", "old": null, "new": "[Fax Settings]",
                              "delta": null})"));
    // Standard input as either file.
    const std::string old_path = diff_file("old", sample_report());
    EXPECT_EQ(run({"diff", old_path, "-"}, visited_sample()).out, expected);
    EXPECT_EQ(run({"diff", "--", "-", old_path}, sample_report()).code, 0);
}

// Neither kind, or the JSON of a reading that failed: one line naming the file, exit 2 (1 would
// say that the reports differ), whichever of the two it is.
TEST(CliDiff, FilesThatHoldNoReport_AreRefusedInOneLineWithExitTwo) {
    SimulatedBus silent({printer("1-4", PrinterFault::Silence)});
    const std::string failed_reading = run_with(silent, {"read", "--json"}).out;
    ASSERT_NE(failed_reading.find("\"ok\":false"), std::string::npos);
    const std::string report = run({"format", "--json"}, "Pages: 1\r").out;
    const auto entries_of = [&report](const char* entries) {
        return replaced(report, R"("entries":[{"key":"Pages","value":"1"}])",
                        std::string("\"entries\":") + entries);
    };
    std::string many_values = "0";
    for (int i = 0; i < 800000; ++i) many_values += ",0";
    const std::vector<std::pair<std::string, std::string>> refused{
        {failed_reading,
         "is the JSON of a reading that failed (no-acknowledgement): it holds no report"},
        {std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16),
         "it holds NUL bytes, as binary files do"},
        {std::string(kReportBufferSize, 'x'), "it is larger than a raw report (102399 bytes)"},
        {"[{\"id\":\"1-1\"}]\n",
         "is JSON, but not of read --json or format --json: not one object"},
        {run({"fields"}, "Pages: 1\r").out, "no \"fields\" object"},
        {report + report,
         "expected end of input (read --all --json writes a line for each printer"},
        {"{\"fields\": nul", "is not valid JSON: "},
        {"{\"a\":" + std::string(20, '[') + std::string(20, ']') + "}", "nested deeper"},
        {"{\"a\":[" + many_values + "]}", "holding more values than the companion's"},
        {replaced(report, "\"cut\":false,", ""),
         "no \"cut\" true or false, or no \"entries\" array"},
        {replaced(report, "\"serial\":null", "\"serial\":1"),
         "\"fields\" has no \"serial\" string or null"},
        {entries_of(R"([{"text":"T"},{"key":"a:b","value":"c"}])"), "entry 2 holds a colon"},
        {entries_of(R"([{"key":"Key ","value":"c"}])"), "entry 1 is not trimmed"},
        {entries_of(R"([{"key":"K","value":"c\r"}])"), "entry 1 holds a CR"},
        {entries_of(R"([{"text":""}])"), "entry 1 is empty"},
        {entries_of(R"([{"key":"K","value":"v","text":"K: v"}])"), "entry 1 is neither"},
        {entries_of(R"([["Pages","1"]])"), "entry 1 is neither"},
        {replaced(failed_reading, "\"ok\":false", "\"ok\":\"no\""), "\"ok\" is not true or false"},
        {"{" + std::string(kMaxJsonReportFile, ' ') + "}",
         "is JSON larger than the companion's ever is"},
    };
    const std::string good = diff_file("good", sample_report());
    for (const auto& [bytes, says] : refused) {
        SCOPED_TRACE(says);
        const std::string path = diff_file("refused", bytes);
        for (const auto& args : {std::vector<std::string>{"diff", path, good},
                                 std::vector<std::string>{"diff", "--json", good, path}}) {
            const CliRun result = run(args);
            EXPECT_EQ(result.code, 2);
            EXPECT_EQ(result.out, "");
            EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
            EXPECT_EQ(result.err.rfind("vellumo-cli: '" + path + "' ", 0), 0u) << result.err;
            EXPECT_NE(result.err.find(says), std::string::npos) << result.err;
        }
    }
    const CliRun missing = run({"diff", good, testing::TempDir() + "no-such-\x1b[2J-report"});
    EXPECT_EQ(missing.code, 2);
    EXPECT_EQ(missing.err,
              "vellumo-cli: cannot open '" + testing::TempDir() + "no-such-?[2J-report'\n");
    // A report may well begin with a section title in brackets: it is JSON only if it parses.
    const std::string bracketed = diff_file("bracketed", "[General]\rPages: 1\r");
    EXPECT_EQ(run({"diff", bracketed, bracketed}).code, 0);
    EXPECT_EQ(run({"diff", bracketed, good}).code, 1);
    // JSON kept by an editor: a byte order mark first and CR LF after it.
    const std::string edited = diff_file("edited", "\xEF\xBB\xBF" + report + "\r\n");
    const CliRun same = run({"diff", edited, diff_file("raw", "Pages: 1\r")});
    EXPECT_EQ(same.code, 0) << same.err;
}

// Where `text` first holds a byte or character a terminal would act on (C0, DEL, C1) or that
// reorders what it shows (the bidirectional controls), else npos.
std::size_t unfit_for_terminal_at(const std::string& text) {
    static const char* const kBidirectional[] = {"\xD8\x9C",     "\xE2\x80\x8E", "\xE2\x80\x8F",
                                                 "\xE2\x80\xAA", "\xE2\x80\xAB", "\xE2\x80\xAC",
                                                 "\xE2\x80\xAD", "\xE2\x80\xAE", "\xE2\x81\xA6",
                                                 "\xE2\x81\xA7", "\xE2\x81\xA8", "\xE2\x81\xA9"};
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (byte < 0x20 || byte == 0x7F || (byte == 0xC2 && next < 0xA0)) return i;
        for (const char* control : kBidirectional) {
            if (text.compare(i, std::strlen(control), control) == 0) return i;
        }
    }
    return std::string::npos;
}

// Headings, each difference's shape, occurrences from the second on (also of a title), removed
// lines where they stood, empty values, and no control character reaching the terminal: '?' in
// the plain output, escaped in the JSON, which keeps every text as it was.
TEST(CliDiff, PlainOutput_GroupsEachDifferenceUnderItsSection) {
    struct Case {
        const char* name;
        std::string old_raw;
        std::string new_raw;
        std::string printed;
    };
    const Case cases[] = {
        // CP1251 has no C1: 0x9B (octal 233) is a quotation mark, U+203A.
        {"moved sections, removed lines where they stood",
         "Top: 1\r[A]\rK: 1\rK: 2\rGone: x\rStay: 1\r[B]\rEmpty: \r",
         "[B]\rEmpty: now\r[A]\rK: 1\rK: 3\rStay: 1\rEsc: a\x1b[31mb\233c\r",
         "- Top: 1\n[A]\n- Gone: x\n[B]\n~ Empty: -> now\n[A]\n~ K #2: 2 -> 3 (+1)\n"
         "+ Esc: a?[31mb\342\200\272c\n"},
        {"lines before any section, after a section's", "Top: 1\r[A]\rK: 1\r",
         "[Z]\rZ: 1\r[A]\rK: 1\r", "[Z]\n+ [Z]\n+ Z: 1\n(no section)\n- Top: 1\n"},
        {"a title's second occurrence, and a value emptied", "[A]\rK: 1\r[A]\rK: 2\rL: 3\r",
         "[A]\rK: 1\rL:\r", "[A]\n- [A] #2\n- K #2: 2\n~ L: 3 ->\n"},
        {"keys padded otherwise, and a wider key", "Short: 1\rLonger Key: 2\r",
         "Short  :1\r   Longer Key:2\rA Much Longer Key Than Both: 3\r",
         "+ A Much Longer Key Than Both: 3\n"},
        {"entries read again from inside a value", "Time: 10:15:30\r", "Time: 10:15:31\r",
         "~ Time: 10:15:30 -> 10:15:31\n~ 10: 15:30 -> 15:31\n~ 15: 30 -> 31 (+1)\n"},
        {"controls of a JSON's text", "Esc: x\r",
         R"({"fields": {"model": null, "serial": null, "firmware": null, "crum": null},
             "cut": false, "entries": [{"key": "Esc\n", "value": "a\u001b[31mb\u009bc\u007f"}]})",
         "+ Esc?: a?[31mb?c?\n- Esc: x\n"},
        {"bidirectional controls in a JSON's title, keys and values", "Stay: 1\rN: 1\r",
         R"({"fields": {"model": null, "serial": null, "firmware": null, "crum": null},
             "cut": false, "entries": [{"key": "Stay", "value": "1"},
                                       {"key": "N", "value": "\u202a2\u202c"},
                                       {"text": "[A\u2067]"},
                                       {"key": "K\u202eey", "value": "v\u200fal\u061c"},
                                       {"key": "L\u2066\u2069", "value": "\u200e"}]})",
         "~ N: 1 -> ?2?\n[A?]\n+ [A?]\n+ K?ey: v?al?\n+ L??: ?\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string old_path = diff_file("old", c.old_raw);
        const CliRun result = run({"diff", old_path, "-"}, c.new_raw);
        EXPECT_EQ(result.code, 1);
        EXPECT_EQ(result.out, c.printed);
        EXPECT_EQ(result.err, "");
        const CliRun as_json = run({"diff", "--json", old_path, "-"}, c.new_raw);
        EXPECT_EQ(unfit_for_terminal_at(as_json.out), as_json.out.size() - 1)
            << "only the line's end: " << as_json.out;
        const json differences = json::parse(as_json.out).at("differences");
        if (c.new_raw.front() != '{') continue;
        const json entries = json::parse(c.new_raw).at("entries");
        for (const json& difference : differences) {
            const json& section = difference.at("section");
            if (!section.is_null()) {
                EXPECT_NE(std::find(entries.begin(), entries.end(), json{{"text", section}}),
                          entries.end())
                    << "as the JSON gave it: " << section;
            }
            if (difference.at("change") == "removed") continue;
            const json& key = difference.at("key");
            const json wanted = key.is_null() ? json{{"text", difference.at("new")}}
                                              : json{{"key", key}, {"value", difference.at("new")}};
            EXPECT_NE(std::find(entries.begin(), entries.end(), wanted), entries.end())
                << "as the JSON gave it: " << wanted;
        }
    }
}

// SipHash-2-4 under the key 00..0F, of the messages 00, 01, ... of several lengths: the values
// its authors published. The message's first eight bytes are given as a number.
TEST(CliDiffNames, SipHash_GivesThePublishedValues) {
    const SipKey key{0x0706050403020100, 0x0F0E0D0C0B0A0908};
    std::string message;
    for (int i = 0; i < 64; ++i) message += static_cast<char>(i);
    const std::vector<std::pair<std::size_t, std::uint64_t>> published{
        {8, 0x93f5f5799a932462},  {9, 0x9e0082df0ba9e4b0},  {15, 0xa129ca6149be45e5},
        {16, 0x3f2acc7f57c29bdb}, {63, 0x958a324ceb064572},
    };
    for (const auto& [length, value] : published) {
        EXPECT_EQ((sip_hash<2, 4>(key, 0x0706050403020100,
                                  std::string_view(message).substr(8, length - 8))),
                  value)
            << length << " bytes";
    }
}

// A hash that puts every name in one slot: look-ups would walk every name before. The table
// notices within its allowance and hashes the names again with SipHash, so that the slots looked
// at stay a few for each look-up; a fair hash never sets that off.
template <typename Hash>
void expect_names_numbered_in_few_steps(bool switched) {
    constexpr std::size_t kNames = 20000;
    NameTable<Hash> names;
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < kNames; ++i) keys.push_back("Key " + std::to_string(i));
    for (std::size_t i = 0; i < kNames; ++i) {
        ASSERT_EQ(names.number(0, false, keys[i]), i);
    }
    for (std::size_t i = 0; i < kNames; ++i) {
        ASSERT_EQ(names.number(0, false, keys[i]), i) << "the same name, the same number";
    }
    EXPECT_NE(names.number(1, false, keys[0]), 0u) << "the same key in another section";
    EXPECT_NE(names.number(0, true, keys[0]), 0u) << "a line's text is not a key";
    EXPECT_EQ(names.keyed(), switched);
    EXPECT_LE(names.searched(), 4096 + 4 * (2 * kNames + 2));
}

struct OneSlotForAll {
    std::uint64_t operator()(std::uint64_t, std::uint64_t, std::string_view) const { return 0; }
};

TEST(CliDiffNames, NamesMadeToShareASlot_AreNumberedInFewStepsEach) {
    expect_names_numbered_in_few_steps<OneSlotForAll>(true);
    expect_names_numbered_in_few_steps<SeededQuickHash>(false);
}

// Two whole numbers give their change exactly, however long, signed or padded with zeros.
TEST(CliDiff, WholeNumbers_GiveTheirExactChangeAndOtherValuesNone) {
    const std::vector<std::tuple<const char*, const char*, std::optional<std::string>>> cases{
        {"214", "1464", "+1250"},
        {"1464", "214", "-1250"},
        {"+0", "-0", "0"},
        {"007", "7", "0"},
        {"0", "-00", "0"},
        {"-5", "5", "+10"},
        {"5", "-5", "-10"},
        {"-5", "-7", "-2"},
        {"-7", "-5", "+2"},
        {"999", "1000", "+1"},
        {"1000", "999", "-1"},
        {"18446744073709551615", "18446744073709551616", "+1"},
        {"-9223372036854775808", "9223372036854775807", "+18446744073709551615"},
        {"99999999999999999999", "-1", "-100000000000000000000"},
        {"0000000000000000000000000000001", "2", "+1"},
        {"", "5", std::nullopt},
        {"5", "+", std::nullopt},
        {"5 pages", "6", std::nullopt},
        {"1.5", "2", std::nullopt},
        {"--5", "5", std::nullopt},
        {"+-5", "5", std::nullopt},
        {"1e3", "2", std::nullopt},
        {"\xD9\xA3", "3", std::nullopt},  // an Arabic-Indic three
    };
    for (const auto& [from, to, delta] : cases) {
        EXPECT_EQ(whole_number_delta(from, to), delta) << from << " -> " << to;
    }
    std::mt19937 rng(64);
    for (int i = 0; i < 2000; ++i) {
        const auto number = [&rng](long long& value) {
            value = static_cast<long long>(rng() % 2000000000) * 400000000 +
                    static_cast<long long>(rng() % 400000000);
            if (rng() % 2) value = -value;
            std::string text =
                std::string(rng() % 3, '0') + std::to_string(value < 0 ? -value : value);
            return (value < 0 ? "-" : rng() % 2 ? "+" : "") + text;
        };
        long long from = 0, to = 0;
        const std::string from_text = number(from), to_text = number(to);
        const long long change = to - from;
        const std::string expected =
            change == 0 ? "0" : (change > 0 ? "+" : "") + std::to_string(change);
        ASSERT_EQ(whole_number_delta(from_text, to_text), expected)
            << from_text << " -> " << to_text;
    }
}

TEST(CliDiff, ReadingsOfTwoPrinters_AreSaidToBeAndComparedAnyway) {
    const std::string other =
        replaced(replaced(sample_report(), "Number:   VLP3020K4N7Q21", "Number: VLP3020K9Z0X77"),
                 "USB Serial: VLP3020K4N7Q21", "USB Serial: VLP3020K9Z0X77");
    const std::string old_path = diff_file("first", sample_report());
    const std::string new_path = diff_file("second", other);
    const CliRun result = run({"diff", old_path, new_path});
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.err, "vellumo-cli: '" + old_path + "' and '" + new_path +
                              "' come from different printers (serial VLP3020K4N7Q21 and "
                              "VLP3020K9Z0X77); compared anyway\n");
    EXPECT_EQ(result.out,
              "[General Information]\n~ Machine Serial Number: VLP3020K4N7Q21 -> VLP3020K9Z0X77\n"
              "~ USB Serial: VLP3020K4N7Q21 -> VLP3020K9Z0X77\n");
    // A report without a serial number may be of either printer: nothing is said.
    const CliRun unknown = run({"diff", diff_file("none", "Pages: 1\r"), new_path});
    EXPECT_EQ(unknown.err, "");
}

// One wide key pads every line past the cap: what the other holds past the cut is not compared.
TEST(CliDiff, CutListing_IsSaidIncompleteAndItsLostEndNotTakenAsRemoved) {
    std::string whole = "[Counters]\r";
    for (int i = 0; i < 1300; ++i)
        whole += "Line " + std::to_string(i) + ": " + std::to_string(i) + "\r";
    const std::string cut =
        std::string(900, 'K') + ": wide\r" + replaced(whole, "Line 7: 7\r", "Line 7: 8\r");
    FormattedReport formatted_cut;
    ASSERT_TRUE(ReportFormatter::format(cut.c_str(), formatted_cut));
    ASSERT_TRUE(formatted_cut.cut);
    const std::string whole_path = diff_file("whole", whole);
    const std::string cut_path = diff_file("cut", cut);
    const std::string said = "vellumo-cli: the listing of '" + cut_path +
                             "' is incomplete (cut at 1048576 bytes): the other's lines past where "
                             "it ends are not compared\n";
    const CliRun result = run({"diff", whole_path, cut_path});
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.err, said);
    EXPECT_EQ(result.out,
              "+ " + std::string(900, 'K') + ": wide\n[Counters]\n~ Line 7: 7 -> 8 (+1)\n");
    const CliRun as_json = run({"diff", "--json", cut_path, whole_path});
    EXPECT_EQ(as_json.err, said);
    const json whole_json = json::parse(as_json.out);
    EXPECT_TRUE(whole_json.at("old").at("cut").get<bool>());
    EXPECT_FALSE(whole_json.at("new").at("cut").get<bool>());
    EXPECT_EQ(whole_json.at("differences").size(), 2u);
}

// The output failing (a full disk, a reader gone) is trouble, not a difference.
TEST(CliDiff, OutputThatCannotBeWritten_IsTroubleWithExitTwo) {
    const std::string old_path = diff_file("old", sample_report());
    const std::string new_path = diff_file("new", visited_sample());
    for (const bool as_json : {false, true}) {
        std::ostream nowhere(nullptr);
        std::istringstream in;
        std::ostringstream err;
        std::vector<std::string> args{"diff", old_path, new_path};
        if (as_json) args.insert(args.begin() + 1, "--json");
        EXPECT_EQ(run_cli(args, in, nowhere, err), 2);
        EXPECT_EQ(err.str(), "vellumo-cli: cannot write the output\n");
    }
}

}  // namespace
