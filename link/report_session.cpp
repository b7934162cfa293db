#include "link/report_session.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

constexpr std::size_t kChunkBufferSize = 1024;
constexpr char kChunkEnd = '\r';

// One read that must deliver exactly `count` bytes; a short read counts as a failure.
bool read_exactly(SessionLink& link, char* into, std::size_t count) {
    std::size_t received = 0;
    return link.read(into, count, received) && received == count;
}

bool write_command(SessionLink& link, std::string_view command) {
    return link.write(command.data(), command.size());
}

// The acknowledgement where a header belongs: a stale answer (the late acknowledgement or stop
// answer of an earlier exchange) was taken for this session's acknowledgement, and everything the
// printer sends is now one answer behind. Read as a header it would pass for an end marker.
bool is_acknowledgement(const char* bytes) {
    const std::string_view ack = session_command::kAcknowledgement;
    return std::memcmp(bytes, ack.data(), ack.size()) == 0;
}

enum class Step { NextChunk, EndMarker, Failed };

// The chunk loop's state: the caller's buffer, what has been accounted to it, and the 1024-byte
// buffer that takes headers and the chunks that are not stored.
class ChunkReceiver {
public:
    ChunkReceiver(SessionLink& link, char* buffer, std::size_t capacity)
        : link_(link), buffer_(buffer), capacity_(capacity) {}

    // Receives headers and chunks up to the end marker; true only if every chunk was stored.
    bool receive_all() {
        for (;;) {
            const Step step = receive_one();
            if (step == Step::EndMarker) return !overflow_;
            if (step == Step::Failed) return false;
        }
    }

    // 64 bits, so that a chunk length near 4 GiB cannot wrap the sums in a 32-bit build.
    std::uint64_t total() const { return total_; }
    char* chunk_buffer() { return chunk_; }

private:
    Step receive_one() {
        if (!read_exactly(link_, chunk_, ChunkHeader::kSize)) return Step::Failed;
        if (is_acknowledgement(chunk_)) return Step::Failed;
        const ChunkHeader header = ChunkHeader::decode(chunk_);
        if (header.status != 0) return Step::EndMarker;
        // A chunk at least as long as the whole buffer could never be stored: not worth waiting for.
        if (header.length >= capacity_) return Step::Failed;
        return receive_chunk(header.length) ? Step::NextChunk : Step::Failed;
    }

    bool receive_chunk(std::uint32_t length) {
        const std::uint64_t piece = std::uint64_t{length} + 1;  // the chunk and its CR
        // Room is kept for the caller's NUL.
        if (total_ + piece < capacity_) {
            if (!store_chunk(length)) return false;
        } else {
            overflow_ = true;
            if (!discard_chunk(length)) return false;
        }
        total_ += piece;
        return true;
    }

    // A chunk that fits is read straight into place, whatever its length, with one read. A chunk
    // of length 0 asks for no read at all: a zero-byte read on a pipe may wait for the next data.
    bool store_chunk(std::uint32_t length) {
        char* place = buffer_ + static_cast<std::size_t>(total_);
        if (length > 0 && !read_exactly(link_, place, length)) return false;
        place[length] = kChunkEnd;
        return true;
    }

    // A chunk that does not fit is still consumed, in pieces of the chunk buffer's size.
    bool discard_chunk(std::uint32_t length) {
        std::uint32_t left = length;
        while (left > 0) {
            const std::size_t part = std::min<std::size_t>(left, kChunkBufferSize);
            if (!read_exactly(link_, chunk_, part)) return false;
            left -= static_cast<std::uint32_t>(part);
        }
        return true;
    }

    SessionLink& link_;
    char* buffer_;
    std::size_t capacity_;
    std::uint64_t total_ = 0;
    bool overflow_ = false;
    char chunk_[kChunkBufferSize] = {};
};

bool acknowledged(SessionLink& link, char* scratch) {
    const std::string_view ack = session_command::kAcknowledgement;
    return read_exactly(link, scratch, ack.size()) && std::memcmp(scratch, ack.data(), ack.size()) == 0;
}

// The printer answers the stop with 8 bytes; neither the outcome nor the answer matters.
void stop_session(SessionLink& link, char* scratch) {
    write_command(link, session_command::kStop);
    std::size_t received = 0;
    link.read(scratch, session_command::kStopAnswerSize, received);
}

std::size_t clamp_to_size(std::uint64_t value) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(std::min(value, kMax));
}

}  // namespace

bool ReportSession::run(SessionLink& link, char* buffer, std::size_t capacity,
                        std::size_t& report_length) {
    report_length = 0;
    ChunkReceiver receiver(link, buffer, capacity);
    if (!write_command(link, session_command::kStart)) return false;
    if (!acknowledged(link, receiver.chunk_buffer())) return false;
    // From here on the printer is owed the stop command, whatever happens.
    bool result = false;
    if (write_command(link, session_command::kSystemDataRequest)) {
        result = receiver.receive_all();
    }
    stop_session(link, receiver.chunk_buffer());
    report_length = clamp_to_size(receiver.total());
    return result;
}
