// The checks behind the fuzz targets, run on known inputs: the inputs must pass them, and the
// session model must reject exchanges that break the protocol (otherwise the fuzzer could not
// notice them). Quirks files give, besides, the quirks the printing system's format says.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/checks/asset_checks.h"
#include "fuzz/checks/descriptor_checks.h"
#include "fuzz/checks/export_path_checks.h"
#include "fuzz/checks/formatter_checks.h"
#include "fuzz/checks/packet_checks.h"
#include "fuzz/checks/session_checks.h"
#include "fuzz/checks/usb_quirks_checks.h"

namespace {

using Check = std::string (*)(const std::uint8_t*, std::size_t);

std::string run_check(Check check, std::string_view input) {
    return check(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
}

std::string word(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
            static_cast<char>(value >> 8), static_cast<char>(value)};
}

// A read control delivering everything asked, followed by the bytes.
std::string full(const std::string& bytes) { return '\0' + bytes; }

std::string header(std::uint32_t status, std::uint32_t length) {
    return full(word(status) + word(0x12345678) + word(length));
}

struct SessionOutcome {
    bool result = false;
    std::size_t length = 0;
    std::string text;
    std::string failure;
};

SessionOutcome run_script(const std::string& script) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(script.data());
    std::size_t size = script.size();
    std::uint8_t flags = 0;
    const std::size_t capacity = session_checks::script_capacity(data, size, flags);
    session_checks::ScriptedPrinterLink link(data, size, flags);
    std::vector<char> buffer(capacity);
    SessionOutcome outcome;
    outcome.result = ReportSession::run(link, buffer.data(), capacity, outcome.length);
    outcome.text.assign(buffer.data(), outcome.result ? outcome.length : 0);
    outcome.failure = run_check(session_checks::check_session, script);
    return outcome;
}

TEST(FuzzChecks, ReportShapes_FormatLikeTheReference) {
    const std::vector<std::string> reports{
        "Model Name : M100 \rMachine Serial Number:ZX81  USB Serial: U-7\r",
        "Pages: 120  Jams: 3  Time: 10:15:30\rSpeed: 20:30  (approx)\rA: 1  B  C: 2\r",
        ":only value\r\r\r  plain  \rImaging\rToner: CRUM-0123456789ABCDEF\r",
        "Printer: Model Name: M100\rDrum CRUM-1\rOS Verison: 4\r",
        std::string("Key: a\n b\tc\r\0Model Name: hidden\r", 33),
        std::string(3000, 'k') + ":v\r" + std::string(800, ':'),
    };
    for (const std::string& report : reports) {
        EXPECT_EQ(run_check(formatter_checks::check_formatter, report), "") << report.substr(0, 80);
    }
}

TEST(FuzzChecks, ScriptedGoodSession_StoresEachChunkWithItsCr) {
    const std::string script = std::string(1, session_checks::kAutoAcknowledge) + header(0, 14) +
                               full("fourteen bytes") + header(0, 0) + header(0, 3) + full("abc") +
                               header(7, 0) + full("\x1bwMAA-OK");
    const SessionOutcome outcome = run_script(script);
    EXPECT_EQ(outcome.failure, "");
    EXPECT_TRUE(outcome.result);
    EXPECT_EQ(outcome.text, "fourteen bytes\r\rabc\r");
}

TEST(FuzzChecks, ScriptedFaultySessions_FailAsTheModelSays) {
    const std::string ack = std::string(1, session_checks::kAutoAcknowledge);
    const std::string small_buffer =
        std::string(1, session_checks::kAutoAcknowledge | session_checks::kCustomCapacity) +
        std::string("\0\0\x09", 3);  // capacity 10
    const std::vector<std::string> scripts{
        std::string(1, '\0') + full("\x1bwMAA-NO"),                      // a wrong acknowledgement
        ack + header(0, 20) + std::string("\x01\x00\x05", 3) + "short",  // a short chunk
        ack + header(0, 2000) + full(std::string(1500, 'x')),            // a chunk over 1023 bytes
        ack + header(0, 0xFFFFFFFF),                                     // an enormous length
        small_buffer + header(0, 5) + full("12345") + header(0, 4) + full("6789") + header(1, 0),
        std::string(1, session_checks::kScriptedWrites) + '\1' + full("\x1bwMAA-OK") + '\0',
    };
    for (const std::string& script : scripts) {
        const SessionOutcome outcome = run_script(script);
        EXPECT_EQ(outcome.failure, "");
        EXPECT_FALSE(outcome.result);
    }
}

session_checks::LinkCall write_call(std::string_view bytes, bool ok = true) {
    return {false, bytes.size(), ok, std::string(bytes)};
}

session_checks::LinkCall read_call(std::size_t count, const std::string& delivered,
                                   bool ok = true) {
    return {true, count, ok, delivered};
}

std::vector<session_checks::LinkCall> acknowledged_session() {
    return {write_call(session_command::kStart),
            read_call(8, std::string(session_command::kAcknowledgement)),
            write_call(session_command::kSystemDataRequest)};
}

TEST(FuzzChecks, SessionModel_RejectsAMissingStop) {
    std::vector<session_checks::LinkCall> calls = acknowledged_session();
    calls.push_back(read_call(12, word(1) + word(0) + word(0)));
    session_checks::SessionModel model(calls, kReportBufferSize);
    EXPECT_NE(model.replay(), "");
}

TEST(FuzzChecks, SessionModel_RejectsAReadBeyondTheChunk) {
    std::vector<session_checks::LinkCall> calls = acknowledged_session();
    calls.push_back(read_call(12, word(0) + word(0) + word(4)));
    calls.push_back(read_call(16, std::string(16, 'x')));
    session_checks::SessionModel model(calls, kReportBufferSize);
    EXPECT_NE(model.replay(), "");
}

TEST(FuzzChecks, SessionModel_RejectsAStopWithoutAcknowledgement) {
    const std::vector<session_checks::LinkCall> calls{
        write_call(session_command::kStart), read_call(8, "\x1bwMAA-NO"),
        write_call(session_command::kStop), read_call(8, "", false)};
    session_checks::SessionModel model(calls, kReportBufferSize);
    EXPECT_NE(model.replay(), "");
}

// The USB packet reader over printers that end a whole report on a packet boundary without a
// zero-length packet (a read that waited for one would time out), at each packet size, over
// printers that stall, time out or are interrupted in a chunk, and the opening's drain.
TEST(FuzzChecks, PacketScripts_PassThePacketReadersChecks) {
    using namespace packet_checks::script;
    using packet_checks::kClean;
    using packet_checks::kDrainFirst;
    using packet_checks::kEndWithLast;
    const std::string ack(session_command::kAcknowledgement);
    const std::string acknowledged = after_write() + reply(ack) + after_write();
    const std::string stop_answer = after_write() + reply(ack);
    const std::string chunk_part = reply(header(0, 300) + std::string(100, 'p'));
    const std::vector<std::string> scripts{
        flags(0, 8, kClean | kEndWithLast) + chunk(""),  // 8 + 24 bytes at 8-byte packets
        flags(1, 8, kClean | kEndWithLast) + chunk(std::string(8, 'a')),
        flags(2, 8, kClean | kEndWithLast) + chunk(std::string(40, 'b')),
        flags(3, 8, kClean | kEndWithLast) + chunk(std::string(488, 'c')),
        flags(2, 1, kClean) + chunk(std::string(52, 'd')) + chunk(std::string(1023, 'e'), 60),
        flags(2, 8) + acknowledged + chunk_part + error() + reply(std::string(200, 'q')) +
            stop_answer,
        flags(2, 4) + acknowledged + chunk_part + interrupt() + stop_answer,
        flags(1, 8) + acknowledged + full_packet(header(0, 20) + "abcd") + past_time_out() +
            reply(std::string(16, 'y')) + stop_answer,
        // A header's first packet comes exactly at the read's time-out: the read ends there,
        // rather than ask for a transfer with no time left (which libusb would never end).
        flags(0, 1) + acknowledged + pause(1000) + pause(1000) + pause(1000) +
            full_packet("12345678") + stop_answer,
        // Stale bytes without a short packet: their transfer times out, yet the printer spoke.
        flags(0, 2, kDrainFirst) + drain_limits(4096, 2000, 30, 500) + full_packet("stale-01") +
            acknowledged + reply(header(1, 0)) + stop_answer,
        // A printer that streams past the drain's byte bound: the drain stops at the bound.
        flags(0, 2, kDrainFirst) + drain_limits(16, 2000, 30, 500) + full_packet("stale-01") +
            full_packet("stale-02") + full_packet("stale-03") + full_packet("stale-04") +
            full_packet("stale-05") + full_packet("stale-06"),
        // A quiet printer costs the drain one short wait.
        flags(2, 8, kDrainFirst) + drain_limits(4096, 2000, 30, 500) + acknowledged +
            reply(header(1, 0)) + stop_answer,
        // A printer found talking is waited out, its pauses longer than the short wait.
        flags(2, 8, kDrainFirst) + drain_limits(4096, 2000, 30, 500) + reply(header(0, 40)) +
            pause(40) + reply(std::string(40, 's')) + pause(100) + reply(header(0, 100)) +
            pause(248) + reply(std::string(100, 't')) + acknowledged + reply(header(1, 0)) +
            stop_answer,
    };
    for (const std::string& script : scripts) {
        EXPECT_EQ(run_check(packet_checks::check_packets, script), "")
            << "flags " << static_cast<int>(static_cast<unsigned char>(script[0]));
    }
}

// What a USB device says of itself, well and badly: string descriptors whose length byte is 0,
// 1, odd, longer or shorter than what came; status answers of every size; configurations whose
// endpoints are cut off, of other protocols first, or with a packet size of 0.
TEST(FuzzChecks, DescriptorInputs_PassTheDescriptorChecks) {
    using namespace descriptor_checks::script;
    const std::string lp("L\0P\0-\0", 6);
    const std::string pair = bulk(0x01, 64) + bulk(0x82, 64);
    const std::vector<std::string> inputs{
        string_descriptor(8, lp),
        string_descriptor(0, lp),
        string_descriptor(1, lp),
        string_descriptor(7, lp),
        string_descriptor(40, lp),
        string_descriptor(4, lp),
        string_descriptor(255, std::string(253, '\x01')),
        string_descriptor(3, "\x09"),
        std::string(1, '\0'),
        status(""),
        status(std::string("\x01\x00", 2)),
        status(std::string("\x00\x00\x01", 3)),
        configuration(config_header(32, 1) + setting(0, 0, 2, 2) + pair),
        configuration(config_header(20, 1) + setting(0, 0, 2, 2) + "\x07\x05"),
        configuration(setting(0, 0, 4, 2) + pair + setting(1, 0, 3, 2) + pair +
                      setting(2, 0, 1, 2) + pair + setting(2, 1, 2, 2) + pair),
        configuration(setting(0, 0, 2, 2) + bulk(0x01, 64) + bulk(0x82, 0) + bulk(0x83, 0x1800)),
        configuration(setting(0, 0, 2, 2, 0xFF) + pair),
    };
    for (const std::string& input : inputs) {
        EXPECT_EQ(run_check(descriptor_checks::check_descriptors, input), "")
            << "selector " << static_cast<int>(input[0]) << ", " << input.size() << " bytes";
    }
}

TEST(FuzzChecks, EveryAsset_UnscramblesAndIsWipedOnRelease) {
    EXPECT_EQ(asset_checks::check_all_assets(), "");
    std::string bytes;
    for (int i = 0; i < 600; ++i) bytes += static_cast<char>(i * 37 + 11);
    for (std::size_t n : {0, 1, 2, 255, 600}) {
        EXPECT_EQ(run_check(asset_checks::check_unscramble, bytes.substr(0, n)), "");
    }
}

std::string path_input(char flags, const std::string& temp, const std::string& fallback) {
    return std::string{flags, static_cast<char>(temp.size() >> 8),
                       static_cast<char>(temp.size() & 0xFF)} +
           temp + fallback;
}

TEST(FuzzChecks, OddTempValues_GiveTheExpectedPath) {
    const std::vector<std::string> inputs{
        path_input(0, "C:\\Temp", "C:\\Windows\\Temp\\"),
        path_input(0, std::string(246, 't'), ""),
        path_input(0, std::string(247, 't'), "C:\\Windows\\Temp"),
        path_input(1, "", std::string(247, 'f') + "\\"),
        path_input(0, std::string("C:\\a\0b", 6), ""),
        path_input(3, "", ""),
    };
    for (const std::string& input : inputs) {
        EXPECT_EQ(run_check(export_path_checks::check_export_path, input), "");
    }
}

// A quirks file read over the built-in entries, and the quirks a printer then has.
struct QuirksCase {
    const char* name;
    std::string file;
    std::uint16_t vendor;
    std::uint16_t product;
    std::vector<std::string> quirks;
    std::size_t skipped = 0;  // lines that could not be read
};
// By name: gtest would otherwise print the case's bytes, padding included (uninitialised).
void PrintTo(const QuirksCase& c, std::ostream* out) { *out << c.name; }

std::string lines_of_new_entries(unsigned count) {
    std::string text;
    for (unsigned i = 1; i <= count; ++i) {
        char line[40];
        std::snprintf(line, sizeof line, "0x%04x 0x%04x unidir\n", 0x1000 + i / 16, i % 16 + 1);
        text += line;
    }
    return text;
}

// A good line but for its length.
const std::string kLongLine = "0x413c 0x0001 unidir" + std::string(500, ' ') + "\n";

const QuirksCase kQuirksCases[] = {
    {"BuiltInVendorEntry", "", 0x04E8, 0x3301, {"soft-reset"}},
    {"BuiltInProductEntryInsteadOfTheVendors", "", 0x04E8, 0x344F, {"whitelist"}},
    {"BuiltInOneWayModel", "", 0x04E8, 0x330F, {"unidir"}},
    {"BuiltInDelayClose", "", 0x03F0, 0x0C17, {"delay-close"}},
    {"BuiltInEntryWrittenInCapitals", "", 0x03F0, 0x002A, {"no-reattach"}},
    {"VendorEntryForAnyProduct", "", 0x0924, 0x1234, {"no-reattach"}},
    {"NoEntryNoQuirks", "", 0x413C, 0x0001, {}},
    {"FileEntryReplacesTheBuiltInOne", "0x04e8 0x344f soft-reset\n", 0x04E8, 0x344F,
     {"soft-reset"}},
    {"FileProductEntryOverItsVendors", "0x0924 0x4242 soft-reset\n", 0x0924, 0x4242,
     {"soft-reset"}},
    {"ProductEntryWithoutWordsLeavesNone", "0x04e8 0x3301\n", 0x04E8, 0x3301, {}},
    {"ProductZeroIsTheVendor", "0x413c 0x0000 unidir\n", 0x413C, 0x0042, {"unidir"}},
    {"LaterLineReplacesAnEarlierOne", "0x413c 0x1 unidir\n0x413c 0x0001 delay-close\n", 0x413C,
     0x0001, {"delay-close"}},
    {"UnknownWordKeptAndEachWordOnce", "0x413c 0x0001 future-word unidir unidir\n", 0x413C,
     0x0001, {"future-word", "unidir"}},
    {"CapitalsNo0xTabsCrLfAndAComment", "\t0X413C\t1 usb-init # blacklist\r\n# 0x413c 1\n",
     0x413C, 0x0001, {"usb-init"}},
    {"MalformedLineSkippedTheNextRead",
     "0x413c 0x0001 uni_dir\n0x413c 0x0002 Unidir\n0x413c 0x0003 -x\n0x413c 0x0004 vendor-class\n",
     0x413C, 0x0001, {}, 3},
    {"LineAfterAMalformedOneRead", "0x413c 0x0001 uni_dir\n0x413c 0x0004 vendor-class\n", 0x413C,
     0x0004, {"vendor-class"}, 1},
    {"BadIdsSkipped", "0x0000 unidir\n0x10000 unidir\n0x413c 0x12345 unidir\n0x unidir\n",
     0x413C, 0x2345, {}, 4},
    {"NulInAWordSkipsItsLine", std::string("0x413c 0x0001 uni\0dir\n", 22), 0x413C, 0x0001, {},
     1},
    {"LineLongerThanTheBoundSkipped", kLongLine, 0x413C, 0x0001, {}, 1},
    {"MoreWordsThanTheBoundSkipped", "0x413c 0x0001 a b c d e f g h i j k l m n o p q\n", 0x413C,
     0x0001, {}, 1},
    {"NoMoreEntriesThanTheBound", lines_of_new_entries(4200) + "0x04e8 0x344f unidir\n", 0x04E8,
     0x344F, {"unidir"}, 4200 - (UsbQuirkTable::kMaxEntries - 25)},
};

class QuirksFile : public testing::TestWithParam<QuirksCase> {};

TEST_P(QuirksFile, GivesThePrinterItsQuirksAndPassesTheChecks) {
    const QuirksCase& c = GetParam();
    UsbQuirkTable table = UsbQuirkTable::built_in();
    EXPECT_EQ(table.size(), 25u) << "every entry of the four vendors";
    EXPECT_EQ(table.add(c.file), c.skipped);
    EXPECT_EQ(table.find(c.vendor, c.product).words, c.quirks);
    EXPECT_LE(table.size(), UsbQuirkTable::kMaxEntries);
    EXPECT_EQ(run_check(usb_quirks_checks::check_quirks, c.file), "");
}

INSTANTIATE_TEST_SUITE_P(FuzzChecks, QuirksFile, testing::ValuesIn(kQuirksCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
