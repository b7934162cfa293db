#include "cli/cli_commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "report/report_formatter.h"

namespace {

struct CliRun {
    int code;
    std::string out;
    std::string err;
};

CliRun run(const std::vector<std::string>& args, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out;
    std::ostringstream err;
    const int code = run_cli(args, in, out, err);
    return {code, out.str(), err.str()};
}

std::string formatted(const std::string& raw) {
    FormattedReport report;
    EXPECT_TRUE(ReportFormatter::format(raw.c_str(), report));
    return report.text;
}

// Texts below are bytes: CP1251 input and the UTF-8 expected, written as escapes.
TEST(CliFieldsJson, Fields_AreDecodedFromCp1251EscapedAndNullWhenAbsent) {
    ReportFields fields;
    fields.model = "\xCF\xF0\xE8\xED\xF2\xE5\xF0 \xB9" "5";        // "Printer No.5" in Russian
    fields.serial = "a\"b\\c";
    fields.firmware = "t\tn\nr\r\x01\x1f\x7f";
    EXPECT_EQ(fields_json(fields, true),
              "{\"model\": \"\xD0\x9F\xD1\x80\xD0\xB8\xD0\xBD\xD1\x82\xD0\xB5\xD1\x80 \xE2\x84\x96" "5\", "
              "\"serial\": \"a\\\"b\\\\c\", "
              "\"firmware\": \"t\\tn\\nr\\r\\u0001\\u001f\x7f\", "
              "\"crum\": null, \"cut\": true}");
}

TEST(CliFieldsJson, Cp1251Specials_DecodeToTheirCodePoints) {
    EXPECT_EQ(json_escaped_cp1251("\xA8\xB8\x88\x98\xFF\xC0"),
              "\xD0\x81\xD1\x91\xE2\x82\xAC\xEF\xBF\xBD\xD1\x8F\xD0\x90");
}

TEST(CliCommands, FieldsOfARawReport_PrintOneJsonLine) {
    const CliRun result = run({"fields"}, "Model Name: \xCC\xEE\xE4\xE5\xEB\xFC\rMachine Serial Number:  S1 \r");
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.out,
              "{\"model\": \"\xD0\x9C\xD0\xBE\xD0\xB4\xD0\xB5\xD0\xBB\xD1\x8C\", \"serial\": \"S1\", "
              "\"firmware\": null, \"crum\": null, \"cut\": false}\n");
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
    const CliRun fields = run({"fields"}, raw);
    EXPECT_EQ(fields.code, 0);
    EXPECT_EQ(fields.out, "{\"model\": \"M\", \"serial\": null, \"firmware\": null, \"crum\": null, "
                          "\"cut\": true}\n");
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

TEST(CliCommands, ReportLargerThanTheBuffer_IsRefused) {
    const std::string largest(kReportBufferSize - 1, 'x');
    EXPECT_EQ(run({"format"}, largest).code, 0);

    const CliRun result = run({"fields"}, largest + "x");
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("larger than 102399 bytes"), std::string::npos);
}

TEST(CliCommands, BadArguments_AreUsageErrorsWithExitCodeTwo) {
    const std::vector<std::vector<std::string>> cases{
        {}, {"frobnicate"}, {"format", "a", "b"}, {"simulate", "--fault"},
        {"simulate", "--fault", "no-such-fault"}, {"simulate", "--speed"},
        {"simulate", "--fault", "silence", "extra"}, {"simulate", "--fault", "Silence"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        const CliRun result = run(args);
        EXPECT_EQ(result.code, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err.find("--help"), std::string::npos);
    }
}

TEST(CliCommands, Help_ListsFaultNamesThatEachSelectADifferentFault) {
    const CliRun result = run({"--help"});
    EXPECT_EQ(result.code, 0);
    std::istringstream lines(result.out.substr(result.out.find("Faults")));
    std::string line;
    std::getline(lines, line);
    std::set<PrinterFault> faults;
    while (std::getline(lines, line)) {
        const std::optional<PrinterFault> fault = fault_from_name(line.substr(2));
        ASSERT_TRUE(fault.has_value()) << line;
        faults.insert(*fault);
    }
    EXPECT_EQ(faults.size(), 20u);
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

}  // namespace
