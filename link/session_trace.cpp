#include "link/session_trace.h"

#include <cstring>
#include <string_view>
#include <utility>

#include "link/report_session.h"

namespace {

bool is(std::string_view command, const char* bytes, std::size_t count) {
    return count == command.size() && std::memcmp(bytes, command.data(), count) == 0;
}

}  // namespace

SessionTrace::SessionTrace(SessionLink& link, Explain explain, ChunkSeen chunk_seen,
                           Describe describe)
    : link_(link),
      explain_(std::move(explain)),
      chunk_seen_(std::move(chunk_seen)),
      describe_(std::move(describe)) {}

bool SessionTrace::write(const char* bytes, std::size_t count) {
    const bool ok = link_.write(bytes, count);
    why_ = ok ? LinkFailure::None : explain();
    wrote(bytes, count, ok);
    return ok;
}

bool SessionTrace::read(char* buffer, std::size_t count, std::size_t& received) {
    const bool ok = link_.read(buffer, count, received);
    why_ = ok ? LinkFailure::None : explain();
    const bool whole = ok && received == count;  // the session takes nothing less
    switch (awaiting_) {
        case Awaiting::Acknowledgement:
            if (whole && is(session_command::kAcknowledgement, buffer, received)) {
                awaiting_ = Awaiting::Request;
            } else {
                fail(SessionStep::Acknowledgement);
            }
            break;
        case Awaiting::Header:
            read_header(buffer, whole);
            break;
        case Awaiting::Chunk:
            read_chunk_part(received, whole);
            break;
        default:
            break;  // the answer to the stop, or reads the session never makes
    }
    return ok;
}

// The session writes each command whole, in one write.
void SessionTrace::wrote(const char* bytes, std::size_t count, bool ok) {
    if (is(session_command::kStart, bytes, count) && awaiting_ == Awaiting::Start) {
        if (ok)
            awaiting_ = Awaiting::Acknowledgement;
        else
            fail(SessionStep::Start);
    } else if (is(session_command::kSystemDataRequest, bytes, count) &&
               awaiting_ == Awaiting::Request) {
        if (ok)
            awaiting_ = Awaiting::Header;
        else
            fail(SessionStep::Request);
    } else if (is(session_command::kStop, bytes, count)) {
        // A chunk announced and not one byte of it asked for: too long to be stored at all.
        chunk_refused_ = awaiting_ == Awaiting::Chunk && chunk_read_ == 0 && !failed_at_;
        awaiting_ = Awaiting::Nothing;
    }
}

void SessionTrace::read_header(const char* bytes, bool whole) {
    if (!whole) return fail(SessionStep::Header);
    if (std::memcmp(bytes, session_command::kAcknowledgement.data(),
                    session_command::kAcknowledgement.size()) == 0) {
        return fail(SessionStep::OutOfStep);
    }
    const ChunkHeader header = ChunkHeader::decode(bytes);
    if (header.status != 0) {
        end_marker_ = true;
        awaiting_ = Awaiting::Nothing;
        return;
    }
    chunk_length_ = header.length;
    chunk_read_ = 0;
    awaiting_ = Awaiting::Chunk;
    if (chunk_length_ == 0) chunk_done();  // nothing to read: the session stores its CR alone
}

void SessionTrace::read_chunk_part(std::size_t received, bool whole) {
    if (!whole) return fail(SessionStep::Chunk);
    chunk_read_ += static_cast<std::uint32_t>(received);
    if (chunk_read_ >= chunk_length_) chunk_done();
}

void SessionTrace::chunk_done() {
    ++chunks_;
    chunk_bytes_ += chunk_length_;
    awaiting_ = Awaiting::Header;
    if (chunk_seen_) chunk_seen_(chunks_, chunk_bytes_);
}

// Asks the link why the operation just made failed. A printer that went away is remembered
// whenever it shows: its last bytes may have made the session fail before its absence did.
// Also takes the link's words for it, which the link may overwrite at its next operation.
LinkFailure SessionTrace::explain() {
    const LinkFailure why = explain_ ? explain_() : LinkFailure::Io;
    gone_ = gone_ || why == LinkFailure::DeviceGone;
    why_words_ = describe_ ? describe_() : std::string();
    return why;
}

void SessionTrace::fail(SessionStep step) {
    if (failed_at_) return;
    failed_at_ = step;
    failure_ = why_;
    cause_ = why_ == LinkFailure::None ? std::string() : why_words_;
    awaiting_ = Awaiting::Nothing;
}

SessionStep SessionTrace::stopped_at(bool result) const {
    if (result) return SessionStep::Complete;
    if (failed_at_) return *failed_at_;
    // The end marker came but a chunk was not stored, or a chunk was refused outright.
    if (end_marker_ || chunk_refused_) return SessionStep::ReportTooLarge;
    return SessionStep::Start;
}
