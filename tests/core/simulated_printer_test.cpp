#include "sim/simulated_printer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "report/report_text.h"

namespace {

const std::string kStart{"\x1b" "wMAASTART"};
const std::string kAck{"\x1b" "wMAA-OK"};
const std::string kRequest{"SPI_GET_SYSTEM_DATA()\n"};
const std::string kStop{"MAA-STOP\n"};

std::uint32_t word_at(const std::string& bytes, std::size_t offset) {
    std::uint32_t word = 0;
    for (std::size_t i = 0; i < 4; ++i) word = (word << 8) | static_cast<unsigned char>(bytes[offset + i]);
    return word;
}

struct Header {
    std::uint32_t status, second_word, length;
};

Header header_of(const PrinterReply& reply) {
    return {word_at(reply.bytes, 0), word_at(reply.bytes, 4), word_at(reply.bytes, 8)};
}

void send(SimulatedPrinter& printer, const std::string& bytes) {
    printer.receive(bytes.data(), bytes.size());
}

std::vector<PrinterReply> drain(SimulatedPrinter& printer) {
    std::vector<PrinterReply> replies;
    for (PrinterReply reply; printer.next_reply(reply);) replies.push_back(reply);
    return replies;
}

// Plays the host up to the request and returns what the printer answered to the request.
std::vector<PrinterReply> report_replies(PrinterFault fault) {
    SimulatedPrinter printer(sample_report(), fault);
    send(printer, kStart);
    drain(printer);
    send(printer, kRequest);
    return drain(printer);
}

std::size_t line_count(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\r'));
}

// ---- The sample report ----

TEST(SampleReport, Text_IsPrintableAsciiOf15To25KilobytesInCrEndedLines) {
    const std::string& report = sample_report();
    EXPECT_GE(report.size(), 15u * 1024u);
    EXPECT_LE(report.size(), 25u * 1024u);
    EXPECT_TRUE(std::all_of(report.begin(), report.end(),
                            [](char c) { return c == '\r' || (c >= 0x20 && c <= 0x7E); }));
    EXPECT_EQ(report.back(), '\r');
    EXPECT_GE(line_count(report), 200u);
}

TEST(SampleReport, FieldKeys_ComeInAnOrderThatGivesTheIntendedFields) {
    const std::string& report = sample_report();
    const std::size_t firmware = report.find("Firmware Version:");
    const std::size_t misspelled = report.find("OS Verison:");
    const std::size_t crum = report.find("CRUM-");
    const std::size_t imaging = std::min(report.find("Imaging"), report.find("Drum"));
    EXPECT_NE(report.find("Model Name"), std::string::npos);
    EXPECT_NE(report.find("Machine Serial Number:"), std::string::npos);
    ASSERT_NE(firmware, std::string::npos);
    EXPECT_GT(misspelled, firmware);
    EXPECT_NE(misspelled, std::string::npos);
    EXPECT_LT(crum, imaging);
    EXPECT_NE(report.find("CRUM-", imaging), std::string::npos);  // the drum's chip, never taken
}

// ---- Cutting into chunks ----

TEST(CutIntoChunks, SampleReport_GivesChunksOfWholeLinesUpTo1000BytesThatJoinBackToTheText) {
    const std::vector<std::string> chunks = cut_into_chunks(sample_report(), 1000);
    std::string joined;
    for (const std::string& chunk : chunks) {
        EXPECT_LE(chunk.size(), 1000u);
        joined += chunk + '\r';
    }
    EXPECT_EQ(joined, sample_report());
    EXPECT_GE(chunks.size(), 15u);
    EXPECT_LT(chunks.size(), line_count(sample_report()) / 4);
}

TEST(CutIntoChunks, EdgeCases_KeepEmptyLinesAndCutOverlongOnes) {
    EXPECT_EQ(cut_into_chunks("a\r\rb\r", 10), (std::vector<std::string>{"a\r\rb"}));
    EXPECT_EQ(cut_into_chunks("abcdefghij\r", 4), (std::vector<std::string>{"abcd", "efgh", "ij"}));
    EXPECT_EQ(cut_into_chunks("\rab\r", 1), (std::vector<std::string>{"", "a", "b"}));
    EXPECT_EQ(cut_into_chunks("ab\rcd\ref", 5), (std::vector<std::string>{"ab\rcd", "ef"}));
    EXPECT_TRUE(cut_into_chunks("", 1000).empty());
}

// ---- The printer's side of the exchange ----

TEST(SimulatedPrinter, StartCommand_IsAcknowledgedOnlyWhenExact) {
    SimulatedPrinter wrong;
    send(wrong, "\x1b" "wMAASTARX");
    EXPECT_TRUE(drain(wrong).empty());

    SimulatedPrinter early;
    send(early, kRequest);  // a request before the start is ignored
    EXPECT_TRUE(drain(early).empty());

    SimulatedPrinter printer;
    for (char byte : kStart) send(printer, std::string(1, byte));  // however the bytes arrive
    const std::vector<PrinterReply> replies = drain(printer);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].bytes, kAck);
}

TEST(SimulatedPrinter, Request_IsAnsweredWithEachChunkAfterItsHeaderThenTheEndMarker) {
    SimulatedPrinter printer(sample_report());
    printer.set_chunk_delay_ms(7);
    send(printer, kStart);
    drain(printer);
    send(printer, kRequest);
    const std::vector<PrinterReply> replies = drain(printer);
    const std::vector<std::string> chunks = cut_into_chunks(sample_report(), 1000);
    ASSERT_EQ(replies.size(), chunks.size() + 1);
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const Header header = header_of(replies[i]);
        EXPECT_EQ(header.status, 0u);
        EXPECT_EQ(header.length, chunks[i].size());
        EXPECT_EQ(replies[i].bytes.substr(12), chunks[i]);
        EXPECT_EQ(replies[i].delay_ms, 7u);
    }
    EXPECT_EQ(replies.back().bytes.size(), 12u);
    EXPECT_NE(header_of(replies.back()).status, 0u);
}

TEST(SimulatedPrinter, Stop_IsAnsweredWithEightBytesAndEverythingWrittenIsRecorded) {
    SimulatedPrinter printer;
    send(printer, kStart);
    send(printer, kRequest);
    EXPECT_FALSE(printer.stop_received());
    send(printer, kStop);
    EXPECT_TRUE(printer.stop_received());
    EXPECT_EQ(drain(printer).back().bytes.size(), 8u);
    EXPECT_EQ(printer.host_wrote(), kStart + kRequest + kStop);
}

// ---- Faults ----

TEST(SimulatedPrinter, FaultsAtTheStart_AnswerTheStartWrongOrNotAtAll) {
    SimulatedPrinter silent(sample_report(), PrinterFault::Silence);
    send(silent, kStart);
    EXPECT_TRUE(drain(silent).empty());

    SimulatedPrinter wrong(sample_report(), PrinterFault::WrongAcknowledgement);
    send(wrong, kStart);
    const std::vector<PrinterReply> answer = drain(wrong);
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].bytes.size(), 8u);
    EXPECT_NE(answer[0].bytes, kAck);

    SimulatedPrinter short_ack(sample_report(), PrinterFault::ShortAcknowledgement);
    send(short_ack, kStart + kRequest + kStop);
    const std::vector<PrinterReply> part = drain(short_ack);
    ASSERT_EQ(part.size(), 1u);  // and silence after it
    EXPECT_LT(part[0].bytes.size(), 8u);
    EXPECT_EQ(kAck.substr(0, part[0].bytes.size()), part[0].bytes);
}

TEST(SimulatedPrinter, FaultsInTheReport_BreakItWithoutAnEndMarker) {
    const std::size_t full = cut_into_chunks(sample_report(), 1000).size();
    const std::vector<PrinterReply> short_header = report_replies(PrinterFault::ShortHeader);
    EXPECT_EQ(short_header.back().bytes.size(), 6u);

    const PrinterReply short_chunk = report_replies(PrinterFault::ShortChunk).back();
    EXPECT_LT(short_chunk.bytes.size(), 12 + header_of(short_chunk).length);

    const std::vector<PrinterReply> timeout = report_replies(PrinterFault::TimeoutInChunkLoop);
    EXPECT_GT(timeout.size(), 2u);
    EXPECT_LT(timeout.size(), full);
    for (const PrinterReply& reply : timeout) EXPECT_EQ(header_of(reply).status, 0u);

    EXPECT_EQ(header_of(report_replies(PrinterFault::EnormousLength).back()).length, 0xFFFFFFFFu);

    SimulatedPrinter leaving(sample_report(), PrinterFault::DisconnectMidChunk);
    send(leaving, kStart + kRequest);
    const std::vector<PrinterReply> replies = drain(leaving);
    EXPECT_TRUE(replies.back().disconnect_after);
    EXPECT_LT(replies.back().bytes.size(), 12 + header_of(replies.back()).length);
    EXPECT_TRUE(leaving.disconnected());
    EXPECT_EQ(leaving.receive(kStop.data(), kStop.size()), 0u);
}

TEST(SimulatedPrinter, HarmlessFaults_ChangeOnlyTheShapeOfTheReport) {
    const std::vector<PrinterReply> zero = report_replies(PrinterFault::ZeroLengthChunk);
    EXPECT_GE(std::count_if(zero.begin(), zero.end(),
                            [](const PrinterReply& r) { return r.bytes.size() == 12 && header_of(r).status == 0; }),
              2);

    for (const PrinterReply& reply : report_replies(PrinterFault::NonZeroSecondWord)) {
        EXPECT_NE(header_of(reply).second_word, 0u);
    }

    const std::vector<PrinterReply> empty = report_replies(PrinterFault::EndMarkerFirst);
    ASSERT_EQ(empty.size(), 1u);
    EXPECT_NE(header_of(empty[0]).status, 0u);

    std::size_t total = 0;
    for (const PrinterReply& reply : report_replies(PrinterFault::ReportLargerThanBuffer)) {
        total += header_of(reply).length + 1;
    }
    EXPECT_GT(total, kReportBufferSize);
}

TEST(SimulatedPrinter, PartialWrite_AcceptsHalfTheRequestAndStillAnswersTheStop) {
    SimulatedPrinter printer(sample_report(), PrinterFault::PartialWrite);
    send(printer, kStart);
    drain(printer);
    EXPECT_EQ(printer.receive(kRequest.data(), kRequest.size()), kRequest.size() / 2);
    EXPECT_TRUE(drain(printer).empty());
    send(printer, kStop);
    EXPECT_TRUE(printer.stop_received());
    EXPECT_EQ(drain(printer).size(), 1u);
}

// ---- The in-memory link ----

TEST(SimulatedPrinterLink, Read_DeliversAtMostTheCountAcrossRepliesAndTimesOutWhenNothingIsThere) {
    SimulatedPrinter printer;
    SimulatedPrinterLink link(printer);
    char buffer[4096];
    std::size_t received = 0;
    EXPECT_FALSE(link.read(buffer, 8, received));
    EXPECT_EQ(link.timeouts(), 1u);

    ASSERT_TRUE(link.write(kStart.data(), kStart.size()));
    ASSERT_TRUE(link.read(buffer, 3, received));
    EXPECT_EQ(std::string(buffer, received), kAck.substr(0, 3));
    ASSERT_TRUE(link.read(buffer, 100, received));
    EXPECT_EQ(std::string(buffer, received), kAck.substr(3));

    ASSERT_TRUE(link.write(kRequest.data(), kRequest.size()));
    ASSERT_TRUE(link.read(buffer, sizeof buffer, received));
    EXPECT_EQ(received, sizeof buffer);  // several replies, cut at the count
    EXPECT_EQ(link.timeouts(), 1u);
}

TEST(SimulatedPrinterLink, AfterTheDisconnectingReplyIsRead_ReadsAndWritesFail) {
    SimulatedPrinter printer(sample_report(), PrinterFault::DisconnectMidChunk);
    SimulatedPrinterLink link(printer);
    ASSERT_TRUE(link.write(kStart.data(), kStart.size()));
    ASSERT_TRUE(link.write(kRequest.data(), kRequest.size()));
    char buffer[1024];
    std::size_t received = 0;
    std::size_t reads = 0;
    while (link.read(buffer, sizeof buffer, received)) ++reads;
    EXPECT_GT(reads, 2u);
    EXPECT_EQ(link.timeouts(), 0u);
    EXPECT_FALSE(link.read(buffer, 1, received));
    EXPECT_FALSE(link.write(kStop.data(), kStop.size()));
}

}  // namespace
