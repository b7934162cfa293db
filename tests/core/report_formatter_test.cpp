// The formatter on hand-written reports whose listings and fields are known.

#include <gtest/gtest.h>

#include <string>

#include "report/report_formatter.h"

namespace {

FormattedReport format_text(const std::string& raw) {
    FormattedReport out;
    EXPECT_TRUE(ReportFormatter::format(raw.c_str(), out));
    return out;
}

std::string listing(const std::string& raw) { return format_text(raw).text; }

TEST(ReportFormatter, LineSplittingAndTrimming_FollowTheReportConventions) {
    EXPECT_EQ(listing("Model Name : M100 "), "Model Name : M100\r\n");
    EXPECT_EQ(listing("   plain text  \r"), "plain text\r\n");  // plain lines are not padded
    EXPECT_EQ(listing("\r\r\rA:1\r\r\rB:2\r\r"), "A : 1\r\nB : 2\r\n");
    EXPECT_EQ(listing("A:1\r     \rB:2"), "A : 1\r\nB : 2\r\n");  // an all-space line vanishes
    EXPECT_EQ(listing("one\ntwo\r"), "one\ntwo\r\n");  // LF is no separator
    EXPECT_EQ(listing("\t x \t: y\t "), "\t x \t : y\t\r\n");  // only spaces are trimmed
    EXPECT_EQ(listing(""), "");
    EXPECT_EQ(listing("\r\r  \r"), "");
}

TEST(ReportFormatter, LinesWithSeveralColons_SplitAtDoubleSpaces) {
    EXPECT_EQ(listing("Pages: 120  Jams: 3  Errors: 0"),
              "Pages  : 120\r\nJams   : 3\r\nErrors : 0\r\n");
    // Without a later double space the value is read again from each colon in it.
    EXPECT_EQ(listing("A: 1  Time: 10:15"), "A    : 1\r\nTime : 10:15\r\n10   : 15\r\n");
    EXPECT_EQ(listing("Time: 10:15"), "Time : 10:15\r\n10   : 15\r\n");
    EXPECT_EQ(listing("Speed: 20:30  (approx)"), "Speed : 20:30\r\n");
    EXPECT_EQ(listing("A: 1  B  C: 2"), "A    : 1\r\nB  C : 2\r\n");
    EXPECT_EQ(listing("a:b:c"), "a : b:c\r\nb : c\r\n");
    EXPECT_EQ(listing(":: "), " : :\r\n : \r\n");
    EXPECT_EQ(listing("x:   y:  z"), "x : y:\r\n");  // reading goes on after the double space
}

TEST(ReportFormatter, KeyWidth_IsTheLongestKeyOfTheWholeReport) {
    EXPECT_EQ(listing("Model Name: M100\rMachine Serial Number: 42\r"),
              "Model Name" + std::string(11, ' ') + " : M100\r\nMachine Serial Number : 42\r\n");
    EXPECT_EQ(listing("no colon\rat all"), "no colon\r\nat all\r\n");
    EXPECT_EQ(listing(":value"), " : value\r\n");
    EXPECT_EQ(listing("Key: x\r: value"), "Key : x\r\n    : value\r\n");
    // The key "10" read again from a value counts towards the width.
    EXPECT_EQ(listing("T: 1\r1234: 10:15"), "T    : 1\r\n1234 : 10:15\r\n10   : 15\r\n");
}

TEST(ReportFormatter, ModelSerialAndFirmware_ComeFromTheFirstQualifyingLine) {
    FormattedReport report = format_text(
        "Model Name : M100 \rModel Name: M200\rUSB Serial:  U1 \rMachine Serial Number: S1\r"
        "OS Version: 1\rOS Verison: 2.0 \rFirmware Version: 3");
    EXPECT_EQ(report.fields.model, "M100");
    EXPECT_EQ(report.fields.serial, "U1");
    EXPECT_EQ(report.fields.firmware, "2.0");

    report = format_text("Printer: Model Name: M100\rFirmware/Engine Version: V4 ");
    EXPECT_EQ(report.fields.model, "Model Name: M100");
    EXPECT_EQ(report.fields.firmware, "V4");

    report = format_text("Info: see Model Name:X\rMy Machine Serial Number:7\rModel Name\r");
    EXPECT_EQ(report.fields.model, "see Model Name:X");  // the key text inside the value
    EXPECT_EQ(report.fields.serial, "7");                // the key ends in the key text
    EXPECT_FALSE(report.fields.firmware);

    report = format_text("Model Nam: 1\rmodel name: 2\rOS Verision: 3\rFirmware  Version: 4\r");
    EXPECT_EQ(report.fields, ReportFields{});
}

TEST(ReportFormatter, Crum_IsElevenCharactersAfterTheFirstMarkerBeforeImagingOrDrum) {
    EXPECT_EQ(format_text("Toner: CRUM-0123456789ABCDEF").fields.crum, "0123456789A");
    EXPECT_EQ(format_text("Toner: CRUM-12345 \rX: CRUM-9").fields.crum, "12345");
    EXPECT_EQ(format_text("CRUM-x CRUM-y").fields.crum, "x CRUM-y");
    EXPECT_EQ(format_text("CRUM-AB : 123456789").fields.crum, "AB:12345678");  // across the colon
    EXPECT_EQ(format_text("CRUM-").fields.crum, "");
    EXPECT_EQ(format_text("Toner: CRUM-1\rDrum: CRUM-2").fields.crum, "1");

    EXPECT_FALSE(format_text("Imaging Unit: 5\rToner: CRUM-1").fields.crum);
    EXPECT_FALSE(format_text("Drum CRUM-1\rToner: CRUM-2").fields.crum);
    EXPECT_FALSE(format_text("Unit: Drum\rToner: CRUM-2").fields.crum);
    EXPECT_FALSE(format_text("Toner: CRUM 1\rToner: crum-2").fields.crum);
}

TEST(ReportFormatter, NulByte_EndsTheReport) {
    const char raw[] = "A: 1\rB: 2\0Model Name: M\rToner: CRUM-1\r";
    const FormattedReport report = format_text(std::string(raw, sizeof raw - 1));
    EXPECT_EQ(report.text, "A : 1\r\nB : 2\r\n");
    EXPECT_EQ(report.fields, ReportFields{});
}

TEST(ReportFormatter, EarlierResult_IsReplaced) {
    FormattedReport out;
    ASSERT_TRUE(ReportFormatter::format("Model Name: M\rToner: CRUM-1", out));
    ASSERT_TRUE(ReportFormatter::format("plain", out));
    EXPECT_EQ(out.text, "plain\r\n");
    EXPECT_EQ(out.fields, ReportFields{});
    EXPECT_FALSE(out.cut);
}

// A wide key in the last line pads every earlier line; the listing stops after whole lines.
TEST(ReportFormatter, ListingOverTheCap_EndsAtTheLastWholeLineThatFits) {
    const std::size_t width = 60000;
    std::string raw;
    for (int i = 0; i < 20; ++i) raw += "A: 1\r";
    raw += std::string(width, 'k') + ": v\rModel Name: M\rToner: CRUM-7";
    const FormattedReport report = format_text(raw);

    const std::string line = "A" + std::string(width - 1, ' ') + " : 1\r\n";
    const std::size_t whole_lines = ReportFormatter::kMaxListingSize / line.size();
    ASSERT_LT(whole_lines, 20u);
    std::string expected;
    for (std::size_t i = 0; i < whole_lines; ++i) expected += line;
    EXPECT_TRUE(report.cut);
    EXPECT_EQ(report.text, expected);
    EXPECT_EQ(report.lines, whole_lines);
    EXPECT_EQ(report.full_lines, 23u);
    EXPECT_EQ(report.fields.model, "M");
    EXPECT_EQ(report.fields.crum, "7");
}

// Every colon starts an entry running to the end: the uncut listing would take gigabytes.
TEST(ReportFormatter, ReportOfColonsOnly_IsCutAndStillExact) {
    const std::size_t size = kReportBufferSize - 1;
    const FormattedReport report = format_text(std::string(size, ':'));
    std::string expected;
    for (std::size_t rest = size - 1;; --rest) {
        const std::size_t line_size = 3 + rest + 2;
        if (expected.size() + line_size > ReportFormatter::kMaxListingSize) break;
        expected += " : " + std::string(rest, ':') + "\r\n";
    }
    EXPECT_TRUE(report.cut);
    EXPECT_EQ(report.text.size(), expected.size());
    EXPECT_TRUE(report.text == expected);
}

}  // namespace
