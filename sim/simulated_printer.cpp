#include "sim/simulated_printer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <utility>

#include "link/report_session.h"
#include "report/report_text.h"

namespace {

constexpr std::array<PrinterFaultName, 21> kFaultNames{{
    {"none", PrinterFault::None},
    {"silence", PrinterFault::Silence},
    {"wrong-acknowledgement", PrinterFault::WrongAcknowledgement},
    {"short-acknowledgement", PrinterFault::ShortAcknowledgement},
    {"short-header", PrinterFault::ShortHeader},
    {"short-chunk", PrinterFault::ShortChunk},
    {"silent-after-header", PrinterFault::SilentAfterHeader},
    {"timeout-in-chunk-loop", PrinterFault::TimeoutInChunkLoop},
    {"enormous-length", PrinterFault::EnormousLength},
    {"zero-length-chunk", PrinterFault::ZeroLengthChunk},
    {"non-zero-second-word", PrinterFault::NonZeroSecondWord},
    {"end-marker-first", PrinterFault::EndMarkerFirst},
    {"report-larger-than-buffer", PrinterFault::ReportLargerThanBuffer},
    {"disconnect-mid-chunk", PrinterFault::DisconnectMidChunk},
    {"partial-write", PrinterFault::PartialWrite},
    {"split-header", PrinterFault::SplitHeader},
    {"zero-byte-transfers", PrinterFault::ZeroByteTransfers},
    {"back-to-back-replies", PrinterFault::BackToBackReplies},
    {"extra-bytes-after-end-marker", PrinterFault::ExtraBytesAfterEndMarker},
    {"late-acknowledgement", PrinterFault::LateAcknowledgement},
    {"leftover-stop-answer", PrinterFault::LeftoverStopAnswer},
}};

constexpr std::string_view kWrongAcknowledgement{"\x1bwMAA-NO", 8};
constexpr std::size_t kShortAcknowledgementSize = 5;
constexpr std::size_t kShortHeaderSize = 6;
constexpr std::uint32_t kEndMarkerStatus = 1;
constexpr std::uint32_t kEnormousLength = 0xFFFFFFFFu;
// The faults that break the report do so after this many good chunks.
constexpr std::size_t kGoodChunksBeforeFault = 2;
// A chunk to break when the report has too few of its own.
constexpr std::string_view kFillerChunk{"Status: Ready"};
// How much of a split header comes first.
constexpr std::size_t kSplitHeaderFirstPiece = 5;
// What follows the end marker with ExtraBytesAfterEndMarker: it looks like one more chunk, so that
// a host that read on would store it.
constexpr std::string_view kStrayText{"Stray: text after the end marker"};

constexpr std::array<std::string_view, 3> kHostCommands{
    session_command::kStart, session_command::kSystemDataRequest, session_command::kStop};

using HeaderBytes = std::array<char, ChunkHeader::kSize>;

HeaderBytes header_bytes(std::uint32_t status, std::uint32_t second_word, std::uint32_t length) {
    HeaderBytes bytes{};
    const std::uint32_t words[] = {status, second_word, length};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>((words[i / 4] >> (24 - 8 * (i % 4))) & 0xFFu);
    }
    return bytes;
}

std::string header(std::uint32_t status, std::uint32_t second_word, std::uint32_t length) {
    const HeaderBytes bytes = header_bytes(status, second_word, length);
    return std::string(bytes.data(), bytes.size());
}

// Header and text in one string, made once: the replies of a report are its bulk.
std::string chunk_reply(std::string_view text, std::uint32_t second_word = 0) {
    const HeaderBytes head = header_bytes(0, second_word, static_cast<std::uint32_t>(text.size()));
    std::string bytes;
    bytes.reserve(head.size() + text.size());
    bytes.append(head.data(), head.size());
    bytes += text;
    return bytes;
}

// The end of the chunk that starts at `start`: as many whole lines as fit in `chunk_size`, so
// the last CR within reach, or the end of a text that does not end with one. A line longer than
// `chunk_size` is cut where the size ends.
std::size_t chunk_end(std::string_view text, std::size_t start, std::size_t chunk_size) {
    const std::size_t first = std::min(text.find('\r', start), text.size());
    if (first - start > chunk_size) return start + chunk_size;
    const std::size_t limit = start + chunk_size;
    if (limit >= text.size() && text.back() != '\r') return text.size();
    return text.rfind('\r', limit);  // found: `first` is a CR within reach
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

// The chunks of cut_into_chunks as views into `text`, so that the printer copies its report
// only once, into its replies.
std::vector<std::string_view> chunk_views(std::string_view text, std::size_t chunk_size) {
    chunk_size = std::max<std::size_t>(chunk_size, 1);
    std::vector<std::string_view> chunks;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = chunk_end(text, start, chunk_size);
        chunks.push_back(text.substr(start, end - start));
        start = (end < text.size() && text[end] == '\r') ? end + 1 : end;
    }
    return chunks;
}

}  // namespace

std::vector<std::string> cut_into_chunks(const std::string& text, std::size_t chunk_size) {
    const std::vector<std::string_view> views = chunk_views(text, chunk_size);
    return std::vector<std::string>(views.begin(), views.end());
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
    reply = std::move(replies_[next_reply_++]);  // each reply is taken once
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
        case PrinterFault::LeftoverStopAnswer:
            queue(std::string(session_command::kAcknowledgement));  // answers a stop like this
            [[fallthrough]];
        default:
            started_ = true;
            queue(std::string(session_command::kAcknowledgement), acknowledgement_delay());
    }
}

std::uint32_t SimulatedPrinter::acknowledgement_delay() const {
    if (acknowledgement_delay_ms_) return *acknowledgement_delay_ms_;
    return fault_ == PrinterFault::LateAcknowledgement ? kLateAcknowledgementMs : 0;
}

void SimulatedPrinter::answer_request() {
    if (!started_) return;
    if (fault_ == PrinterFault::EndMarkerFirst) {
        queue(header(kEndMarkerStatus, 0, 0));
        return;
    }
    const bool large = fault_ == PrinterFault::ReportLargerThanBuffer;
    const std::string larger = large ? oversized(report_) : std::string();
    const std::vector<std::string_view> chunks =
        chunks_ ? std::vector<std::string_view>(chunks_->begin(), chunks_->end())
                : chunk_views(large ? larger : report_, chunk_size_);
    switch (fault_) {
        case PrinterFault::ShortHeader:
        case PrinterFault::ShortChunk:
        case PrinterFault::SilentAfterHeader:
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
void SimulatedPrinter::send_report(const std::vector<std::string_view>& chunks) {
    replies_.reserve(replies_.size() + 2 * chunks.size() + 2);  // room even for ZeroLengthChunk
    std::uint32_t second_word = 0;
    if (fault_ == PrinterFault::BackToBackReplies) {
        std::string everything;
        for (const std::string_view chunk : chunks) everything += chunk_reply(chunk);
        queue(everything + header(kEndMarkerStatus, 0, 0), chunk_delay_ms_);
        return;
    }
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        if (fault_ == PrinterFault::ZeroLengthChunk && i % 3 == 0) {
            queue(chunk_reply({}), chunk_delay_ms_);
        }
        if (fault_ == PrinterFault::NonZeroSecondWord) second_word = 0x9E3779B9u * static_cast<std::uint32_t>(i + 1);
        send_chunk(chunks[i], second_word, i);
    }
    std::string end_marker = header(kEndMarkerStatus, second_word, 0);
    if (fault_ == PrinterFault::ExtraBytesAfterEndMarker) end_marker += chunk_reply(kStrayText);
    queue(std::move(end_marker), chunk_delay_ms_);
}

// One header and its chunk, as one reply unless the fault breaks it up in time.
void SimulatedPrinter::send_chunk(std::string_view chunk, std::uint32_t second_word, std::size_t index) {
    std::string whole = chunk_reply(chunk, second_word);
    if (fault_ == PrinterFault::SplitHeader) {
        queue(whole.substr(0, kSplitHeaderFirstPiece), chunk_delay_ms_);
        queue(whole.substr(kSplitHeaderFirstPiece), kPieceGapMs);
    } else if (fault_ == PrinterFault::ZeroByteTransfers && index >= kGoodChunksBeforeFault) {
        queue(std::string(), chunk_delay_ms_);
        queue(std::move(whole), kPieceGapMs);
    } else {
        queue(std::move(whole), chunk_delay_ms_);
    }
}

// A few good chunks, then the fault; the report is never completed.
void SimulatedPrinter::send_until_fault(const std::vector<std::string_view>& chunks) {
    std::size_t good = std::min(kGoodChunksBeforeFault, chunks.size());
    if (fault_ == PrinterFault::TimeoutInChunkLoop) good = chunks.size() / 2;
    for (std::size_t i = 0; i < good; ++i) queue(chunk_reply(chunks[i]), chunk_delay_ms_);
    const std::string_view broken = good < chunks.size() && !chunks[good].empty() ? chunks[good] : kFillerChunk;
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
        case PrinterFault::SilentAfterHeader:
            queue(whole.substr(0, ChunkHeader::kSize), chunk_delay_ms_);
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
    take_replies(count);
    const std::size_t available = pending_.size() - read_at_;
    if (available == 0 && count > 0) {
        if (disconnecting_) gone_ = true;
        else ++timeouts_;
        return false;
    }
    received = std::min(count, available);
    if (received > 0) std::memcpy(buffer, pending_.data() + read_at_, received);
    read_at_ += received;
    if (read_at_ == pending_.size() && disconnecting_) gone_ = true;
    return true;
}

// Takes replies until `count` bytes are pending. Read bytes are dropped only when more come, and
// a reply that finds nothing pending is taken over whole: no byte is moved twice.
void SimulatedPrinterLink::take_replies(std::size_t count) {
    PrinterReply reply;
    while (pending_.size() - read_at_ < count && !disconnecting_ && printer_.next_reply(reply)) {
        if (read_at_ == pending_.size()) {
            pending_ = std::move(reply.bytes);
        } else {
            pending_.erase(0, read_at_);
            pending_ += reply.bytes;
        }
        read_at_ = 0;
        disconnecting_ = reply.disconnect_after;
    }
}

bool TimedPrinterLink::write(const char* bytes, std::size_t count) {
    if (gone_) return false;
    const std::size_t accepted = printer_.receive(bytes, count);
    take_replies();
    return accepted == count;
}

bool TimedPrinterLink::read(char* buffer, std::size_t count, std::size_t& received) {
    received = 0;
    if (gone_) return false;
    if (count == 0) return true;
    if (transfers_.empty() || transfers_.front().arrival_ms > now_ms_ + timeout_ms_) {
        now_ms_ += timeout_ms_;
        ++timeouts_;
        return false;
    }
    now_ms_ = std::max(now_ms_, transfers_.front().arrival_ms);
    received = deliver(buffer, count);
    return true;
}

std::size_t TimedPrinterLink::unread() const {
    std::size_t bytes = 0;
    for (const Transfer& transfer : transfers_) bytes += transfer.bytes.size();
    return bytes;
}

// The printer plays its replies one after another, each after its own delay.
void TimedPrinterLink::take_replies() {
    PrinterReply reply;
    while (printer_.next_reply(reply)) {
        last_arrival_ms_ = std::max(last_arrival_ms_, now_ms_) + reply.delay_ms;
        transfers_.push_back(Transfer{std::move(reply.bytes), last_arrival_ms_, reply.disconnect_after});
    }
}

// Copies up to `count` bytes of what has arrived by now; the pipe is broken once the bytes sent
// before the printer went away are all read.
std::size_t TimedPrinterLink::deliver(char* buffer, std::size_t count) {
    std::size_t copied = 0;
    while (copied < count && !transfers_.empty() && transfers_.front().arrival_ms <= now_ms_) {
        Transfer& transfer = transfers_.front();
        const std::size_t part = std::min(count - copied, transfer.bytes.size());
        std::memcpy(buffer + copied, transfer.bytes.data(), part);
        transfer.bytes.erase(0, part);
        copied += part;
        if (!transfer.bytes.empty()) break;
        gone_ = transfer.disconnect_after;
        transfers_.pop_front();
        if (gone_) break;
    }
    return copied;
}

std::span<const PrinterFaultName> printer_fault_names() { return kFaultNames; }

const PrinterFaultName* find_printer_fault(std::string_view name) {
    for (const PrinterFaultName& entry : kFaultNames) {
        if (entry.name == name) return &entry;
    }
    return nullptr;
}
