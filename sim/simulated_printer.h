#pragma once
// A simulated printer that plays the printer's side of a report session, with faults on demand.
// Portable: no Windows header. Three ways to reach it:
//   - in memory, through SimulatedPrinterLink (a SessionLink), without threads or sleeps;
//   - in memory on a virtual clock, through TimedPrinterLink, where delays and time-outs count;
//   - over real Windows pipes, through a pipe server that moves bytes between the pipes and
//     receive()/next_reply() below.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "link/session_link.h"

// A realistic system-data report of a printer, as plain text with CR between chunks.
const std::string& sample_report();

enum class PrinterFault {
    None,
    Silence,                 // never answers the start command
    WrongAcknowledgement,    // answers the start with 8 bytes that are not the acknowledgement
    ShortAcknowledgement,    // answers the start with fewer than 8 bytes, then falls silent
    ShortHeader,             // sends part of a chunk header, then falls silent
    ShortChunk,              // announces a chunk, sends part of it, then falls silent
    SilentAfterHeader,       // announces a chunk in a transfer of its own, then falls silent
    TimeoutInChunkLoop,      // sends some chunks, then falls silent before the end marker
    EnormousLength,          // announces a chunk of 0xFFFFFFFF bytes
    ZeroLengthChunk,         // puts chunks of length 0 among the report's chunks
    NonZeroSecondWord,       // fills every header's second word with arbitrary values
    EndMarkerFirst,          // the very first header is the end marker (an empty report)
    ReportLargerThanBuffer,  // sends more report text than the host's buffer holds
    DisconnectMidChunk,      // goes away (pipes closed) in the middle of a chunk
    PartialWrite,            // accepts only part of the host's request
    SplitHeader,             // sends each chunk header in two pieces, 5 bytes and a moment later 7
    ZeroByteTransfers,       // puts zero-byte transfers among the report, each alone in time
    BackToBackReplies,       // sends the whole report, headers, chunks and end marker, as one transfer
    ExtraBytesAfterEndMarker,  // follows the end marker with stray bytes in the same transfer
    LateAcknowledgement,     // acknowledges the start only after the host's read has timed out
    LeftoverStopAnswer,      // still holds the answer to an earlier stop, sent before the acknowledgement
};

// A fault by the kebab-case name that command lines use ("short-chunk").
struct PrinterFaultName {
    std::string_view name;
    PrinterFault fault;
};

// Every fault, None first, in the order above.
std::span<const PrinterFaultName> printer_fault_names();
// The fault named `name`; null when there is none.
const PrinterFaultName* find_printer_fault(std::string_view name);

// One reply of the printer: bytes to deliver, how long the printer takes before they are there,
// and whether the printer goes away after them.
struct PrinterReply {
    std::string bytes;
    std::uint32_t delay_ms = 0;
    bool disconnect_after = false;
};

class SimulatedPrinter {
public:
    explicit SimulatedPrinter(std::string report = sample_report(),
                              PrinterFault fault = PrinterFault::None);

    // Bytes the host wrote; returns how many the printer accepted (fewer on PartialWrite).
    std::size_t receive(const char* bytes, std::size_t count);
    // Takes the printer's next pending reply, in order; false when it has nothing (more) to say.
    bool next_reply(PrinterReply& reply);

    // Everything the host wrote, in order, and whether the stop command was among it.
    const std::string& host_wrote() const { return host_wrote_; }
    bool stop_received() const;
    bool disconnected() const { return disconnected_; }

    // Chunk size the printer cuts its report into (default 1000 bytes; a real printer stays
    // under 1024, larger sizes test the host's tolerance).
    void set_chunk_size(std::size_t size) { chunk_size_ = size; }
    // Delay the printer takes before each chunk (for pacing tests over real pipes).
    void set_chunk_delay_ms(std::uint32_t delay) { chunk_delay_ms_ = delay; }
    // Sends exactly these chunks instead of cutting the report (for chunk lengths at the edges).
    void set_chunks(std::vector<std::string> chunks) { chunks_ = std::move(chunks); }
    // Delay before the acknowledgement; LateAcknowledgement waits kLateAcknowledgementMs unless set.
    void set_acknowledgement_delay_ms(std::uint32_t delay) { acknowledgement_delay_ms_ = delay; }

    // Longer than the host's read time-out of about 3 seconds.
    static constexpr std::uint32_t kLateAcknowledgementMs = 3500;
    // The pause between the two pieces of a split header, and before a chunk that follows a
    // zero-byte transfer: long enough for a read to complete in between.
    static constexpr std::uint32_t kPieceGapMs = 200;

private:
    void take_commands();
    void answer_start();
    void answer_request();
    void answer_stop();
    void send_report(const std::vector<std::string_view>& chunks);
    void send_until_fault(const std::vector<std::string_view>& chunks);
    void send_chunk(std::string_view chunk, std::uint32_t second_word, std::size_t index);
    std::uint32_t acknowledgement_delay() const;
    void queue(std::string bytes, std::uint32_t delay_ms = 0, bool disconnect_after = false);
    std::size_t accepted_part(std::size_t count);

    std::string report_;
    PrinterFault fault_;
    std::string host_wrote_;
    std::string pending_input_;  // bytes of a command not yet complete
    std::vector<PrinterReply> replies_;
    std::size_t next_reply_ = 0;
    std::size_t chunk_size_ = 1000;
    std::uint32_t chunk_delay_ms_ = 0;
    std::optional<std::vector<std::string>> chunks_;
    std::optional<std::uint32_t> acknowledgement_delay_ms_;
    bool disconnected_ = false;
    bool started_ = false;        // the start was acknowledged; no stop yet
    bool silent_ = false;         // fell silent: answers nothing more
    bool stop_received_ = false;
    bool write_cut_ = false;      // PartialWrite has cut its one write
};

// Cuts `text` (lines ended by CR) into the chunks a printer sends: runs of whole lines joined by
// CR, each at most `chunk_size` bytes, without the CR that the host puts after every chunk. A line
// longer than `chunk_size` is cut wherever the size ends.
std::vector<std::string> cut_into_chunks(const std::string& text, std::size_t chunk_size);

// The simulated printer as a SessionLink, in memory: a read delivers up to `count` bytes of the
// pending replies (never more than the printer has sent), and fails at once where a real read
// would time out (nothing pending) or after a disconnect.
// Here an empty reply stands for nothing at all: it ends no read.
class SimulatedPrinterLink : public SessionLink {
public:
    explicit SimulatedPrinterLink(SimulatedPrinter& printer) : printer_(printer) {}
    bool write(const char* bytes, std::size_t count) override;
    bool read(char* buffer, std::size_t count, std::size_t& received) override;

    // How many reads timed out (found nothing pending), for tests.
    std::size_t timeouts() const { return timeouts_; }

private:
    void take_replies(std::size_t count);

    SimulatedPrinter& printer_;
    std::string pending_;     // bytes of replies already taken; those before read_at_ are read
    std::size_t read_at_ = 0;
    std::size_t timeouts_ = 0;
    bool disconnecting_ = false;  // the last reply taken ends with the printer going away
    bool gone_ = false;
};

// The simulated printer as a SessionLink on a virtual clock, in memory and without sleeping: the
// replies arrive as a byte-mode pipe delivers them. Each reply arrives `delay_ms` after the one
// before it, or after the host's write that it answers if that came later. A read completes as
// soon as anything has arrived, with at most `count` bytes of all that has (possibly fewer than
// asked, and none when a zero-byte transfer, an empty reply, arrives alone); it fails after the
// time-out when nothing arrives, and what arrives later waits for the next read. Once the printer
// has gone away and its last bytes are read, reads and writes fail at once.
class TimedPrinterLink : public SessionLink {
public:
    // The host's read time-out: 300 pauses of 10 ms.
    static constexpr std::uint32_t kReadTimeoutMs = 3000;

    explicit TimedPrinterLink(SimulatedPrinter& printer, std::uint32_t timeout_ms = kReadTimeoutMs)
        : printer_(printer), timeout_ms_(timeout_ms) {}
    bool write(const char* bytes, std::size_t count) override;
    bool read(char* buffer, std::size_t count, std::size_t& received) override;

    // Virtual milliseconds since the link was made: the waits the host's reads would have taken.
    std::uint64_t now_ms() const { return now_ms_; }
    std::size_t timeouts() const { return timeouts_; }
    // Bytes the printer has sent (or is about to) that no read has taken yet.
    std::size_t unread() const;

private:
    struct Transfer {
        std::string bytes;
        std::uint64_t arrival_ms;
        bool disconnect_after;
    };
    void take_replies();
    std::size_t deliver(char* buffer, std::size_t count);

    SimulatedPrinter& printer_;
    std::uint32_t timeout_ms_;
    std::deque<Transfer> transfers_;
    std::uint64_t now_ms_ = 0;
    std::uint64_t last_arrival_ms_ = 0;
    std::size_t timeouts_ = 0;
    bool gone_ = false;
};
