#pragma once
// A simulated printer that plays the printer's side of a report session, with faults on demand.
// Portable: no Windows header. Two ways to reach it:
//   - in memory, through SimulatedPrinterLink (a SessionLink), without threads or sleeps;
//   - over real Windows pipes, through a pipe server that moves bytes between the pipes and
//     receive()/next_reply() below.

#include <cstddef>
#include <cstdint>
#include <string>
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
    TimeoutInChunkLoop,      // sends some chunks, then falls silent before the end marker
    EnormousLength,          // announces a chunk of 0xFFFFFFFF bytes
    ZeroLengthChunk,         // puts chunks of length 0 among the report's chunks
    NonZeroSecondWord,       // fills every header's second word with arbitrary values
    EndMarkerFirst,          // the very first header is the end marker (an empty report)
    ReportLargerThanBuffer,  // sends more report text than the host's buffer holds
    DisconnectMidChunk,      // goes away (pipes closed) in the middle of a chunk
    PartialWrite,            // accepts only part of the host's request
};

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

private:
    void take_commands();
    void answer_start();
    void answer_request();
    void answer_stop();
    void send_report(const std::vector<std::string>& chunks);
    void send_until_fault(const std::vector<std::string>& chunks);
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
class SimulatedPrinterLink : public SessionLink {
public:
    explicit SimulatedPrinterLink(SimulatedPrinter& printer) : printer_(printer) {}
    bool write(const char* bytes, std::size_t count) override;
    bool read(char* buffer, std::size_t count, std::size_t& received) override;

    // How many reads timed out (found nothing pending), for tests.
    std::size_t timeouts() const { return timeouts_; }

private:
    SimulatedPrinter& printer_;
    std::string pending_;  // bytes of replies already taken, not yet read
    std::size_t timeouts_ = 0;
    bool disconnecting_ = false;  // the last reply taken ends with the printer going away
    bool gone_ = false;
};
