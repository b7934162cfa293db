#pragma once
// A report session against a printer whose every answer comes from a script of bytes, and a
// check of what the session did against a plain model of the exchange. The fuzzer traps on a
// failure, the regression tests expect none.
//
// Script: a flag byte, then (with kCustomCapacity) three bytes of buffer capacity, then one
// control byte per read (and, with kScriptedWrites, per write):
//   read control & 3 == 0: deliver min(count, bytes left) bytes, taken from the script
//                      1: deliver n bytes from the script, n = (control >> 2) << 16 | next two
//                         bytes (big-endian), capped at count and at what is left
//                      2: time out (false)          3: complete with 0 bytes
//   write control: odd succeeds, even fails.
// A used-up script times out every read, except that kEndWhenUsedUp answers a 12-byte read
// with an end marker; writes then succeed.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "link/report_session.h"
#include "link/session_trace.h"
#include "report/report_text.h"

namespace session_checks {

inline constexpr std::uint8_t kAutoAcknowledge = 1;  // the 8-byte read after the start gets the ack
inline constexpr std::uint8_t kScriptedWrites = 2;   // each write takes a control byte
inline constexpr std::uint8_t kCustomCapacity = 4;   // three capacity bytes follow the flags
inline constexpr std::uint8_t kEndWhenUsedUp = 8;    // a used-up script still ends the report
inline constexpr char kReadFill = '\xCD';            // every read first fills all it was given

// One call the session made on the link, with what the printer answered.
struct LinkCall {
    bool is_read = false;
    std::size_t count = 0;
    bool ok = false;
    std::string bytes;  // written, or delivered
};

class ScriptedPrinterLink : public SessionLink {
public:
    ScriptedPrinterLink(const std::uint8_t* data, std::size_t size, std::uint8_t flags)
        : data_(data), size_(size), flags_(flags) {}

    bool write(const char* bytes, std::size_t count) override {
        const bool ok = (flags_ & kScriptedWrites) == 0 || at_end() || (take() & 1) != 0;
        calls.push_back({false, count, ok, std::string(bytes, count)});
        return ok;
    }

    // Fills the whole region it is given first, as a real read may: a count larger than the
    // buffer behind it shows at once under AddressSanitizer.
    bool read(char* buffer, std::size_t count, std::size_t& received) override {
        std::memset(buffer, kReadFill, count);
        std::string delivered;
        const bool ok = answer(count, delivered);
        received = delivered.size();
        if (received > 0) std::memcpy(buffer, delivered.data(), received);
        calls.push_back({true, count, ok, delivered});
        return ok;
    }

    std::vector<LinkCall> calls;

private:
    bool answer(std::size_t count, std::string& delivered) {
        if (!acknowledged_ && (flags_ & kAutoAcknowledge) != 0 && count == 8) {
            acknowledged_ = true;
            delivered = session_command::kAcknowledgement;
            return true;
        }
        acknowledged_ = true;
        if (at_end()) return end_marker(count, delivered);
        const std::uint8_t control = take();
        switch (control & 3) {
            case 0:
                delivered = take_bytes(count);
                return true;
            case 1:
                delivered = take_bytes(std::min(count, partial_size(control)));
                return true;
            case 2:
                return false;
            default:
                return true;
        }
    }

    bool end_marker(std::size_t count, std::string& delivered) const {
        if ((flags_ & kEndWhenUsedUp) == 0 || count != ChunkHeader::kSize) return false;
        delivered = std::string("\0\0\0\1\0\0\0\0\0\0\0\0", ChunkHeader::kSize);
        return true;
    }

    std::size_t partial_size(std::uint8_t control) {
        std::size_t n = std::size_t{static_cast<std::uint8_t>(control >> 2)} << 16;
        n |= std::size_t{take()} << 8;
        return n | take();
    }

    bool at_end() const { return next_ >= size_; }
    std::uint8_t take() { return at_end() ? 0 : data_[next_++]; }

    std::string take_bytes(std::size_t count) {
        const std::size_t n = std::min(count, size_ - std::min(next_, size_));
        std::string bytes(reinterpret_cast<const char*>(data_) + next_, n);
        next_ += n;
        return bytes;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::uint8_t flags_;
    std::size_t next_ = 0;
    bool acknowledged_ = false;
};

inline std::uint32_t big_endian(std::string_view bytes, std::size_t at) {
    std::uint32_t word = 0;
    for (std::size_t i = at; i < at + 4; ++i)
        word = word << 8 | static_cast<unsigned char>(bytes[i]);
    return word;
}

// The exchange as it must go, read off the calls the session made: start, acknowledgement,
// request, headers and chunks up to the end marker, then stop and its answer once the printer
// has acknowledged. A chunk may be read in several reads, none asking beyond the chunk.
class SessionModel {
public:
    SessionModel(const std::vector<LinkCall>& calls, std::size_t capacity)
        : calls_(calls), capacity_(capacity) {}

    // "" when the calls follow the exchange; then result() and stored() say what must come out.
    std::string replay() {
        if (!expect_write(session_command::kStart)) return failure_;
        if (!last_ok_) return expect_no_more();
        const LinkCall* ack = next_call();
        if (ack == nullptr || !ack->is_read || ack->count != 8) return "no 8-byte read for the ack";
        if (!ack->ok || ack->bytes != session_command::kAcknowledgement) return expect_no_more();
        if (!expect_write(session_command::kSystemDataRequest)) return failure_;
        if (last_ok_) receive_chunks();
        if (!failure_.empty()) return failure_;
        if (!expect_write(session_command::kStop)) return failure_;
        const LinkCall* answer = next_call();
        if (answer == nullptr || !answer->is_read || answer->count != 8)
            return "no read of the stop's answer";
        return expect_no_more();
    }

    bool result() const { return ended_ && !overflow_; }
    bool ended() const { return ended_; }
    std::uint64_t total() const { return total_; }
    const std::string& stored() const { return stored_; }

private:
    const LinkCall* next_call() { return next_ < calls_.size() ? &calls_[next_++] : nullptr; }
    const LinkCall* peek() const { return next_ < calls_.size() ? &calls_[next_] : nullptr; }

    bool expect_write(std::string_view command) {
        const LinkCall* call = next_call();
        if (call == nullptr || call->is_read || call->bytes != command) {
            failure_ = "expected the write of " + std::string(command);
            return false;
        }
        last_ok_ = call->ok;
        return true;
    }

    std::string expect_no_more() const {
        return next_ == calls_.size() ? std::string() : "calls after the session should have ended";
    }

    void receive_chunks() {
        for (;;) {
            const LinkCall* header = next_call();
            if (header == nullptr || !header->is_read || header->count != ChunkHeader::kSize) {
                failure_ = "expected a 12-byte header read";
                return;
            }
            if (!header->ok || header->bytes.size() != ChunkHeader::kSize) return;
            // The acknowledgement again where a header belongs: out of step, a failure.
            if (header->bytes.starts_with(session_command::kAcknowledgement)) return;
            if (big_endian(header->bytes, 0) != 0) {
                ended_ = true;
                return;
            }
            if (!receive_chunk(big_endian(header->bytes, 8))) return;
        }
    }

    // False when the loop ends here: a failed or short read, or a refused chunk.
    bool receive_chunk(std::uint32_t length) {
        const LinkCall* call = peek();
        if (call != nullptr && !call->is_read && may_refuse(length)) return false;
        // An empty chunk needs no read, but may be given one of 0 bytes.
        if (length == 0 && call != nullptr && call->is_read && call->count == 0) {
            next_call();
            if (!call->ok) return false;
        }
        std::string text;
        while (text.size() < length) {
            call = next_call();
            if (call == nullptr || !call->is_read || call->count == 0 ||
                call->count > length - text.size()) {
                failure_ = "chunk read of a wrong size";
                return false;
            }
            if (!call->ok || call->bytes.size() != call->count) return false;
            text += call->bytes;
        }
        store(text);
        return true;
    }

    // A chunk that can never be stored, or that the 1024-byte chunk buffer cannot take with its
    // CR, may be refused without being read.
    bool may_refuse(std::uint32_t length) const {
        return length > 1023 || std::uint64_t{length} + 1 >= capacity_;
    }

    void store(const std::string& text) {
        const std::uint64_t piece = text.size() + 1;
        if (total_ + piece < capacity_)
            stored_ += text + '\r';
        else
            overflow_ = true;
        total_ += piece;
    }

    const std::vector<LinkCall>& calls_;
    std::size_t capacity_;
    std::size_t next_ = 0;
    bool last_ok_ = false;
    bool ended_ = false;
    bool overflow_ = false;
    std::uint64_t total_ = 0;
    std::string stored_;
    std::string failure_;
};

// Reads the flags and the capacity at the front of the script.
inline std::size_t script_capacity(const std::uint8_t*& data, std::size_t& size,
                                   std::uint8_t& flags) {
    flags = size > 0 ? data[0] : 0;
    const std::size_t header = (flags & kCustomCapacity) != 0 ? 4 : 1;
    if (size < header) {
        size = 0;
        return kReportBufferSize;
    }
    std::size_t capacity = kReportBufferSize;
    if (header == 4) {
        capacity =
            (std::size_t{data[1]} << 16 | std::size_t{data[2]} << 8 | data[3]) % kReportBufferSize +
            1;
    }
    data += header;
    size -= header;
    return capacity;
}

// What a trace of the session says must agree with the model: where it stopped, and the chunks
// received whole, each stored (or counted) with its CR.
inline std::string check_trace(const SessionTrace& trace, bool result, const SessionModel& model) {
    const SessionStep step = trace.stopped_at(result);
    if ((step == SessionStep::Complete) != result) return "the trace's step disagrees with run()";
    if (!result && model.ended() && step != SessionStep::ReportTooLarge)
        return "an end marker after an overflow is not traced as a report too large";
    if (trace.chunk_bytes() + trace.chunks() != model.total())
        return "the trace's chunks differ from the model's";
    return {};
}

// Runs one session over the script, through a trace, into a heap buffer of exactly its capacity
// and checks it.
inline std::string check_session(const std::uint8_t* data, std::size_t size) {
    std::uint8_t flags = 0;
    const std::size_t capacity = script_capacity(data, size, flags);
    ScriptedPrinterLink link(data, size, flags);
    SessionTrace trace(link);
    std::unique_ptr<char[]> buffer(new char[capacity]);
    std::memset(buffer.get(), '\xEE', capacity);
    std::size_t report_length = 0;
    const bool result = ReportSession::run(trace, buffer.get(), capacity, report_length);
    SessionModel model(link.calls, capacity);
    std::string failure = model.replay();
    if (failure.empty()) failure = check_trace(trace, result, model);
    if (!failure.empty()) return failure;
    if (result != model.result())
        return result ? "true where the model fails" : "false where the model succeeds";
    if (!result) return {};
    if (report_length >= capacity) return "no room left for the NUL";
    if (report_length != model.total()) return "report length differs from the model";
    if (std::string_view(buffer.get(), report_length) != model.stored())
        return "stored text differs from the model";
    return {};
}

}  // namespace session_checks
