#pragma once
// Where a report session stopped and how far it got, told from the traffic on its link. The
// session itself only says whether it succeeded, which is all the program shows; a caller that
// names each way a reading can fail (the companion) runs the session over a SessionTrace. The
// trace passes every write and read through unchanged, so the session sends and stores exactly
// what it would without it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "link/session_link.h"

// The step at which a session stopped.
enum class SessionStep {
    Start,            // the start command could not be written
    Acknowledgement,  // no acknowledgement: nothing, too little, or other bytes came
    Request,          // the report request could not be written
    Header,           // a chunk header did not come whole
    Chunk,            // the bytes of a chunk did not come whole
    OutOfStep,        // an acknowledgement came where a header belongs
    ReportTooLarge,   // the report, or one chunk of it, does not fit the report buffer
    Complete,         // the end marker came with every chunk stored
};

// Why a link operation failed, as far as the link can tell.
enum class LinkFailure { None, TimedOut, DeviceGone, Interrupted, Io };

class SessionTrace : public SessionLink {
public:
    using Explain = std::function<LinkFailure()>;
    using ChunkSeen = std::function<void(std::size_t chunks, std::uint64_t bytes)>;
    using Describe = std::function<std::string()>;

    // `explain` is asked, right after each operation that fails, why it failed, and `describe`
    // for the link's own words for it (a stall, an overflow, a system error);
    // `chunk_seen` is told of every chunk received whole. Each may be empty.
    explicit SessionTrace(SessionLink& link, Explain explain = {}, ChunkSeen chunk_seen = {},
                          Describe describe = {});

    bool write(const char* bytes, std::size_t count) override;
    bool read(char* buffer, std::size_t count, std::size_t& received) override;

    // Where the session stopped, given what it returned.
    SessionStep stopped_at(bool result) const;
    // Why the session failed: DeviceGone when the printer went away at any point, else why the
    // operation at which it stopped failed (None when that read came short, or none failed).
    LinkFailure failure() const { return gone_ ? LinkFailure::DeviceGone : failure_; }
    // The link's words for the failure of the operation at which the session stopped; empty
    // when it gave none (or that operation did not fail: a read that came short).
    const std::string& cause() const { return cause_; }
    // Chunks received whole, and their text bytes (stored or not).
    std::size_t chunks() const { return chunks_; }
    std::uint64_t chunk_bytes() const { return chunk_bytes_; }

private:
    enum class Awaiting { Start, Acknowledgement, Request, Header, Chunk, Nothing };

    void wrote(const char* bytes, std::size_t count, bool ok);
    void read_header(const char* bytes, bool whole);
    void read_chunk_part(std::size_t received, bool whole);
    void chunk_done();
    LinkFailure explain();
    void fail(SessionStep step);

    SessionLink& link_;
    Explain explain_;
    ChunkSeen chunk_seen_;
    Describe describe_;
    Awaiting awaiting_ = Awaiting::Start;
    std::optional<SessionStep> failed_at_;
    LinkFailure why_ = LinkFailure::None;  // of the operation just made
    std::string why_words_;                // the link's words for it
    LinkFailure failure_ = LinkFailure::None;
    std::string cause_;
    bool gone_ = false;
    std::uint32_t chunk_length_ = 0;
    std::uint32_t chunk_read_ = 0;
    bool chunk_refused_ = false;  // the stop went out where the session owed a chunk's bytes
    bool end_marker_ = false;
    std::size_t chunks_ = 0;
    std::uint64_t chunk_bytes_ = 0;
};

