#include "tools/simulated_printer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <utility>

#include "link/report_session.h"
#include "report/report_text.h"

namespace {

constexpr std::string_view kWrongAcknowledgement{"\x1bwMAA-NO", 8};
constexpr std::size_t kShortAcknowledgementSize = 5;
constexpr std::size_t kShortHeaderSize = 6;
constexpr std::uint32_t kEndMarkerStatus = 1;
constexpr std::uint32_t kEnormousLength = 0xFFFFFFFFu;
// The faults that break the report do so after this many good chunks.
constexpr std::size_t kGoodChunksBeforeFault = 2;
// A chunk to break when the report has too few of its own.
constexpr std::string_view kFillerChunk{"Status: Ready"};

constexpr std::array<std::string_view, 3> kHostCommands{
    session_command::kStart, session_command::kSystemDataRequest, session_command::kStop};

void append_word(std::string& out, std::uint32_t word) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<char>((word >> shift) & 0xFFu));
    }
}

std::string header(std::uint32_t status, std::uint32_t second_word, std::uint32_t length) {
    std::string bytes;
    append_word(bytes, status);
    append_word(bytes, second_word);
    append_word(bytes, length);
    return bytes;
}

std::string chunk_reply(const std::string& text, std::uint32_t second_word = 0) {
    return header(0, second_word, static_cast<std::uint32_t>(text.size())) + text;
}

// The end of the chunk that starts at `start`: as many whole lines as fit in `chunk_size`.
std::size_t chunk_end(const std::string& text, std::size_t start, std::size_t chunk_size) {
    std::size_t end = std::min(text.find('\r', start), text.size());
    if (end - start > chunk_size) return start + chunk_size;
    while (end + 1 < text.size()) {
        const std::size_t next = std::min(text.find('\r', end + 1), text.size());
        if (next - start > chunk_size) break;
        end = next;
    }
    return end;
}

// Repeats the report until it is larger than a host's report buffer.
std::string oversized(const std::string& report) {
    std::string text = report.empty() ? std::string(kFillerChunk) + '\r' : report;
    const std::string unit = text;
    while (text.size() <= kReportBufferSize) text += unit;
    return text;
}

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

std::vector<std::string> cut_into_chunks(const std::string& text, std::size_t chunk_size) {
    chunk_size = std::max<std::size_t>(chunk_size, 1);
    std::vector<std::string> chunks;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = chunk_end(text, start, chunk_size);
        chunks.push_back(text.substr(start, end - start));
        start = (end < text.size() && text[end] == '\r') ? end + 1 : end;
    }
    return chunks;
}

SimulatedPrinter::SimulatedPrinter(std::string report, PrinterFault fault)
    : report_(std::move(report)), fault_(fault) {}

std::size_t SimulatedPrinter::receive(const char* bytes, std::size_t count) {
    if (disconnected_) return 0;
    const std::size_t accepted = accepted_part(count);
    host_wrote_.append(bytes, accepted);
    pending_input_.append(bytes, accepted);
    take_commands();
    return accepted;
}

bool SimulatedPrinter::next_reply(PrinterReply& reply) {
    if (next_reply_ >= replies_.size()) return false;
    reply = replies_[next_reply_++];
    if (reply.disconnect_after) disconnected_ = true;
    return true;
}

bool SimulatedPrinter::stop_received() const { return stop_received_; }

// The one write that PartialWrite cuts is the first after the acknowledgement: the request.
std::size_t SimulatedPrinter::accepted_part(std::size_t count) {
    if (fault_ != PrinterFault::PartialWrite || !started_ || write_cut_) return count;
    write_cut_ = true;
    return count / 2;
}

// Answers every complete command at the front of the input; bytes that cannot begin a command
// are skipped, so the printer finds the next command after a broken one.
void SimulatedPrinter::take_commands() {
    while (!pending_input_.empty()) {
        const auto complete = std::find_if(kHostCommands.begin(), kHostCommands.end(),
                                           [&](auto command) { return starts_with(pending_input_, command); });
        if (complete != kHostCommands.end()) {
            pending_input_.erase(0, complete->size());
            if (*complete == session_command::kStart) answer_start();
            else if (*complete == session_command::kSystemDataRequest) answer_request();
            else answer_stop();
            continue;
        }
        const bool partial = std::any_of(kHostCommands.begin(), kHostCommands.end(),
                                          [&](auto command) { return starts_with(command, pending_input_); });
        if (partial) return;
        pending_input_.erase(0, 1);
    }
}

void SimulatedPrinter::answer_start() {
    switch (fault_) {
        case PrinterFault::Silence:
            silent_ = true;
            return;
        case PrinterFault::WrongAcknowledgement:
            queue(std::string(kWrongAcknowledgement));
            return;
        case PrinterFault::ShortAcknowledgement:
            queue(std::string(session_command::kAcknowledgement.substr(0, kShortAcknowledgementSize)));
            silent_ = true;
            return;
        default:
            started_ = true;
            queue(std::string(session_command::kAcknowledgement));
    }
}

void SimulatedPrinter::answer_request() {
    if (!started_) return;
    if (fault_ == PrinterFault::EndMarkerFirst) {
        queue(header(kEndMarkerStatus, 0, 0));
        return;
    }
    const bool large = fault_ == PrinterFault::ReportLargerThanBuffer;
    std::vector<std::string> chunks = cut_into_chunks(large ? oversized(report_) : report_, chunk_size_);
    switch (fault_) {
        case PrinterFault::ShortHeader:
        case PrinterFault::ShortChunk:
        case PrinterFault::TimeoutInChunkLoop:
        case PrinterFault::EnormousLength:
        case PrinterFault::DisconnectMidChunk:
            send_until_fault(chunks);
            return;
        default:
            send_report(chunks);
    }
}

// The whole report, with the variations of the harmless faults, then the end marker.
void SimulatedPrinter::send_report(const std::vector<std::string>& chunks) {
    std::uint32_t second_word = 0;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        if (fault_ == PrinterFault::ZeroLengthChunk && i % 3 == 0) {
            queue(chunk_reply(std::string()), chunk_delay_ms_);
        }
        if (fault_ == PrinterFault::NonZeroSecondWord) second_word = 0x9E3779B9u * static_cast<std::uint32_t>(i + 1);
        queue(chunk_reply(chunks[i], second_word), chunk_delay_ms_);
    }
    queue(header(kEndMarkerStatus, second_word, 0), chunk_delay_ms_);
}

// A few good chunks, then the fault; the report is never completed.
void SimulatedPrinter::send_until_fault(const std::vector<std::string>& chunks) {
    std::size_t good = std::min(kGoodChunksBeforeFault, chunks.size());
    if (fault_ == PrinterFault::TimeoutInChunkLoop) good = chunks.size() / 2;
    for (std::size_t i = 0; i < good; ++i) queue(chunk_reply(chunks[i]), chunk_delay_ms_);
    std::string broken = good < chunks.size() && !chunks[good].empty() ? chunks[good] : std::string(kFillerChunk);
    const std::string whole = chunk_reply(broken);
    const std::string half = whole.substr(0, ChunkHeader::kSize + broken.size() / 2);
    switch (fault_) {
        case PrinterFault::ShortHeader:
            queue(whole.substr(0, kShortHeaderSize), chunk_delay_ms_);
            silent_ = true;
            break;
        case PrinterFault::ShortChunk:
            queue(half, chunk_delay_ms_);
            silent_ = true;
            break;
        case PrinterFault::EnormousLength:
            queue(header(0, 0, kEnormousLength), chunk_delay_ms_);
            break;
        case PrinterFault::DisconnectMidChunk:
            queue(half, chunk_delay_ms_, true);
            break;
        default:  // TimeoutInChunkLoop
            silent_ = true;
    }
}

// The printer confirms the stop with the same 8 bytes as the start.
void SimulatedPrinter::answer_stop() {
    stop_received_ = true;
    if (!started_) return;
    started_ = false;
    queue(std::string(session_command::kAcknowledgement));
}

void SimulatedPrinter::queue(std::string bytes, std::uint32_t delay_ms, bool disconnect_after) {
    if (silent_ || disconnected_) return;
    replies_.push_back(PrinterReply{std::move(bytes), delay_ms, disconnect_after});
}

bool SimulatedPrinterLink::write(const char* bytes, std::size_t count) {
    return printer_.receive(bytes, count) == count;
}

// Delivers what the printer has sent so far, never waiting: with nothing there, a real read would
// time out, and this one fails at once.
bool SimulatedPrinterLink::read(char* buffer, std::size_t count, std::size_t& received) {
    received = 0;
    if (gone_) return false;
    PrinterReply reply;
    while (pending_.size() < count && !disconnecting_ && printer_.next_reply(reply)) {
        pending_ += reply.bytes;
        disconnecting_ = reply.disconnect_after;
    }
    if (pending_.empty() && count > 0) {
        if (disconnecting_) gone_ = true;
        else ++timeouts_;
        return false;
    }
    received = std::min(count, pending_.size());
    if (received > 0) std::memcpy(buffer, pending_.data(), received);
    pending_.erase(0, received);
    if (pending_.empty() && disconnecting_) gone_ = true;
    return true;
}
