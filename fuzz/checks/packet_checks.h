#pragma once
// The packet reader (link/packet_reader.h) over a fake bulk IN endpoint whose every packet,
// pause, time-out, error and interrupt comes from a script of bytes, with a report session
// reading through it. The fuzzer traps on a broken rule, the regression tests expect none.
//
// Script: a flag byte, then the printer's side.
//   flags & 3           packet size 8, 16, 64 or 512
//   (flags >> 2) & 7    a transfer carries at most 1, 2, 3, 4, 8, 16, 64 or 4096 packets
//   flags & kClean      a printer that sends a whole report correctly (see clean_printer): the
//                       session must store it exactly, whatever the packet size
//   flags & kZeroLength (clean) a zero-length packet after each reply that fills its last packet
//   flags & kEndWithLast (clean) the end marker in the same transfer as the last chunk
//   flags & kDrainFirst (hostile) the opening's drain first, its limits from the next 6 bytes
// A hostile printer is a list of events, one control byte each (control % 8):
//   0 a full packet    1 a packet of (next two bytes) % packet size bytes    2 a zero-length packet
//   3 a pause of (next byte) * 4 ms    4 a pause longer than a read's time-out (+ next byte, ms),
//   or (with control & 8) what follows comes only after the host's next write
//   5 a transfer error    6 an interrupt
//   7 a reply of (next two bytes) % 2048 bytes: full packets and a short last one, or (with
//     control & 8) a zero-length one when the last is full
// Packet bytes come from the script, zeros once it is used up.
//
// Checked on every transfer: it asks for whole packets, at least one, all that the read still
// needs rounded up to a packet but no more (and no more than the reader's most), and only when
// nothing is buffered.
// On every read: it delivers the printer's next bytes, in order, nothing lost or invented; it
// completes with what was asked, or short exactly where the printer ended a transfer, never past
// such an end; it fails only as the transfer that stopped it did, or on its time-out and not
// before; it never waits longer than its time-out. On the drain: it drops all that came and
// stops as its limits say. And a clean printer's report is stored exactly.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "link/packet_reader.h"
#include "link/report_session.h"
#include "report/report_text.h"

namespace packet_checks {

inline constexpr std::uint8_t kClean = 0x20;
inline constexpr std::uint8_t kZeroLength = 0x40;
inline constexpr std::uint8_t kDrainFirst = 0x80;
inline constexpr std::uint8_t kEndWithLast = 0x80;
inline constexpr std::size_t kPacketSizes[] = {8, 16, 64, 512};
inline constexpr std::size_t kTransferPackets[] = {1, 2, 3, 4, 8, 16, 64, 4096};
inline constexpr unsigned kReadTimeoutMs = 3000;
inline constexpr std::size_t kMaxCleanChunks = 64;
inline constexpr std::size_t kMaxCleanChunk = 1500;  // 64 of them fit the report buffer

using End = BulkInPipe::End;

// The script's bytes, taken in order; zeros once it is used up.
class Script {
public:
    Script(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool at_end() const { return next_ >= size_; }
    std::uint8_t take() { return at_end() ? 0 : data_[next_++]; }
    std::size_t take16() { return std::size_t{take()} << 8 | take(); }
    std::string bytes(std::size_t count) {
        std::string text(count, '\0');
        for (char& c : text) c = static_cast<char>(take());
        return text;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t next_ = 0;
};

// One thing the printer does: `at_ms` after the host's write number `after_writes` (counted
// from 1; 0: after the start of the clock), as a printer answers a command only once it has it.
struct Event {
    enum class Kind { Packet, Error, Interrupt } kind = Kind::Packet;
    std::string bytes;  // a packet's
    std::uint64_t at_ms = 0;
    std::size_t after_writes = 0;
};

// A reply as a USB device sends it: full packets, then a short one (empty when the reply fills
// its last packet and the device sends zero-length packets).
inline void add_reply(std::vector<Event>& events, const std::string& reply, std::uint64_t at_ms,
                      std::size_t after_writes, std::size_t packet_size, bool zero_length) {
    std::size_t at = 0;
    for (; reply.size() - at >= packet_size; at += packet_size)
        events.push_back({Event::Kind::Packet, reply.substr(at, packet_size), at_ms, after_writes});
    if (at < reply.size() || zero_length || reply.empty())
        events.push_back({Event::Kind::Packet, reply.substr(at), at_ms, after_writes});
}

inline std::string word(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
            static_cast<char>(value >> 8), static_cast<char>(value)};
}

inline std::string chunk_header(std::uint32_t status, std::uint32_t length) {
    return word(status) + word(0) + word(length);
}

// A printer that answers a whole session correctly: the acknowledgement once the start is
// written; once the request is, the chunks the script describes (a control byte: bit 0 sends
// the chunk in the same transfer as the one before, the rest is a pause before it of 20 ms each,
// under the read time-out; then two bytes of length, and the text) and the end marker; the
// answer once the stop is written. `stored` is what a session keeps of it.
inline std::vector<Event> clean_printer(Script& script, std::size_t packet_size, std::uint8_t flags,
                                        std::string& stored) {
    struct Reply {
        std::string bytes;
        std::uint64_t at_ms;
        std::size_t after_writes;
    };
    const std::string ack(session_command::kAcknowledgement);
    std::vector<Reply> replies{{ack, 0, 1}};
    std::uint64_t at = 0;
    for (std::size_t n = 0; n < kMaxCleanChunks && !script.at_end(); ++n) {
        const std::uint8_t control = script.take();
        const std::size_t length = script.take16() % kMaxCleanChunk;
        const std::string text = script.bytes(length);
        const std::string reply = chunk_header(0, static_cast<std::uint32_t>(length)) + text;
        stored += text + '\r';
        if ((control & 1) != 0 && n > 0) {
            replies.back().bytes += reply;
        } else {
            at += (control >> 1) * 20u;
            replies.push_back({reply, at, 2});
        }
    }
    if ((flags & kEndWithLast) != 0 && replies.size() > 1)
        replies.back().bytes += chunk_header(1, 0);
    else
        replies.push_back({chunk_header(1, 0), at, 2});
    replies.push_back({ack, 0, 3});
    std::vector<Event> events;
    for (const Reply& reply : replies) {
        add_reply(events, reply.bytes, reply.at_ms, reply.after_writes, packet_size,
                  (flags & kZeroLength) != 0);
    }
    return events;
}

inline std::vector<Event> hostile_printer(Script& script, std::size_t packet_size) {
    std::vector<Event> events;
    std::uint64_t at = 0;
    std::size_t writes = 0;
    const auto add = [&](Event::Kind kind, std::string bytes) {
        events.push_back({kind, std::move(bytes), at, writes});
    };
    while (!script.at_end()) {
        const std::uint8_t control = script.take();
        switch (control % 8) {
            case 0:
                add(Event::Kind::Packet, script.bytes(packet_size));
                break;
            case 1:
                add(Event::Kind::Packet, script.bytes(script.take16() % packet_size));
                break;
            case 2:
                add(Event::Kind::Packet, "");
                break;
            case 3:
                at += script.take() * 4u;
                break;
            case 4:
                if ((control & 8) != 0) {
                    ++writes;
                    at = 0;
                } else {
                    at += kReadTimeoutMs + script.take();
                }
                break;
            case 5:
                add(Event::Kind::Error, "");
                break;
            case 6:
                add(Event::Kind::Interrupt, "");
                break;
            default: {
                const std::string reply = script.bytes(script.take16() % 2048);
                add_reply(events, reply, at, writes, packet_size, (control & 8) != 0);
            }
        }
    }
    return events;
}

// The fake IN endpoint: a transfer takes the events that come before its time-out, as a host
// controller does, and ends at a short packet, when full, or at an error or interrupt. It checks
// each request against the read (or drain) it serves.
class FakeInPipe : public BulkInPipe {
public:
    FakeInPipe(std::vector<Event> events, std::size_t packet_size)
        : events_(std::move(events)), packet_size_(packet_size) {}

    void serve(const PacketReader& reader) { reader_ = &reader; }
    // The read about to be made: `count` bytes, the printer's bytes before `from` read already.
    void begin_read(std::size_t count, std::size_t from) {
        count_ = count;
        from_ = from;
        draining_ = false;
        failed_in_read_ = false;
    }
    void begin_drain() { draining_ = true; }
    void wrote() { write_times_.push_back(now_); }

    Result transfer(unsigned char* into, std::size_t length, unsigned timeout_ms) override {
        check_request(length, timeout_ms);
        last_timeout_ = timeout_ms;
        const std::uint64_t deadline = now_ + std::max(timeout_ms, 1u);
        std::size_t got = 0;
        for (;;) {
            const std::uint64_t at = next_ < events_.size() ? due(events_[next_]) : kNever;
            if (at > deadline) {
                now_ = deadline;
                return ended(End::TimedOut, got);
            }
            const Event& event = events_[next_++];
            now_ = std::max(now_, at);
            if (event.kind == Event::Kind::Error) return ended(End::Failed, got);
            if (event.kind == Event::Kind::Interrupt) return ended(End::Interrupted, got);
            if (event.bytes.size() > length - got) {
                note("a packet overflowed the transfer");
                return ended(End::Failed, got);
            }
            std::memcpy(into + got, event.bytes.data(), event.bytes.size());
            got += event.bytes.size();
            delivered_ += event.bytes;
            if (event.bytes.size() < packet_size_) {
                ends_.push_back(delivered_.size());
                return ended(End::Completed, got);
            }
            if (got == length) return ended(End::Completed, got);
        }
    }

    std::uint64_t now_ms() override { return now_; }

    // Every byte the printer put into a transfer, in order.
    const std::string& delivered() const { return delivered_; }
    // Whether the printer ended a transfer (a short packet) right after `position` bytes.
    bool ends_at(std::size_t position) const {
        return std::binary_search(ends_.begin(), ends_.end(), position);
    }
    // Whether it did so strictly between `first` and `last`.
    bool ends_between(std::size_t first, std::size_t last) const {
        const auto after = std::upper_bound(ends_.begin(), ends_.end(), first);
        return after != ends_.end() && *after < last;
    }
    End last_end() const { return last_end_; }
    std::size_t last_length() const { return last_length_; }
    unsigned last_timeout() const { return last_timeout_; }
    // Transfers that brought anything (bytes, a zero-length packet) or failed.
    std::size_t heard() const { return heard_; }
    bool failed_in_read() const { return failed_in_read_; }
    const std::string& failure() const { return failure_; }
    void note(const std::string& failure) {
        if (failure_.empty()) failure_ = failure;
    }

private:
    static constexpr std::uint64_t kNever = ~std::uint64_t{0};

    // When the event happens on the clock; never while the write it follows is not made.
    std::uint64_t due(const Event& event) const {
        if (event.after_writes > write_times_.size()) return kNever;
        const std::uint64_t base =
            event.after_writes == 0 ? 0 : write_times_[event.after_writes - 1];
        return base + event.at_ms;
    }

    void check_request(std::size_t length, unsigned timeout_ms) {
        if (timeout_ms == 0) note("a transfer without a time-out (libusb would wait for ever)");
        if (length == 0 || length % packet_size_ != 0) note("a transfer of no whole packets");
        if (reader_ == nullptr) return;
        if (length > reader_->max_transfer()) note("a transfer larger than the reader's most");
        if (reader_->buffered() != 0) note("a transfer while bytes were still buffered");
        if (draining_) return;
        const std::size_t taken = delivered_.size() - from_;
        if (taken >= count_) {
            note("a transfer for a read that had all it asked for");
            return;
        }
        const std::size_t needed = count_ - taken;
        const std::size_t whole = (needed + packet_size_ - 1) / packet_size_ * packet_size_;
        if (length > whole)
            note("a transfer larger than the read needs (waits for a short packet)");
        if (length < std::min(whole, reader_->max_transfer()))
            note("a transfer smaller than it could be");
    }

    Result ended(End end, std::size_t got) {
        last_end_ = end;
        last_length_ = got;
        if (end != End::TimedOut || got > 0) ++heard_;
        failed_in_read_ = failed_in_read_ || end != End::Completed;
        return {end, got};
    }

    std::vector<Event> events_;
    std::size_t packet_size_;
    const PacketReader* reader_ = nullptr;
    std::size_t next_ = 0;
    std::uint64_t now_ = 0;
    std::vector<std::uint64_t> write_times_;
    std::string delivered_;
    std::vector<std::size_t> ends_;  // positions in delivered_ where a short packet ended
    End last_end_ = End::Completed;
    std::size_t last_length_ = 0;
    unsigned last_timeout_ = 0;
    std::size_t heard_ = 0;
    std::size_t count_ = 0;
    std::size_t from_ = 0;
    bool draining_ = false;
    bool failed_in_read_ = false;
    std::string failure_;
};

// The session's link: writes reach the printer's clock, reads go through the packet reader and
// are checked. As the USB link does, a write after an interrupt drops what is buffered first.
class ReaderLink : public SessionLink {
public:
    ReaderLink(PacketReader& reader, FakeInPipe& pipe, std::size_t read_before)
        : reader_(reader), pipe_(pipe), consumed_(read_before) {}

    bool write(const char*, std::size_t) override {
        if (interrupted_) {
            consumed_ += reader_.buffered();
            reader_.discard();
        }
        pipe_.wrote();
        return true;
    }

    // Reads into a heap buffer of exactly `count` bytes, so that a write past it shows.
    bool read(char* buffer, std::size_t count, std::size_t& received) override {
        const std::size_t start = consumed_;
        const std::uint64_t began = pipe_.now_ms();
        std::unique_ptr<char[]> exact(new char[count]);
        pipe_.begin_read(count, start);
        const End end = reader_.read(pipe_, exact.get(), count, kReadTimeoutMs, received);
        if (received > count) {
            pipe_.note("a read delivered more than was asked");
            return false;
        }
        consumed_ += received;
        if (pipe_.delivered().compare(start, received, exact.get(), received) != 0)
            pipe_.note("a read delivered other bytes than the printer's next ones");
        check(end, count, received, start, pipe_.now_ms() - began);
        interrupted_ = interrupted_ || end == End::Interrupted;
        if (received > 0) std::memcpy(buffer, exact.get(), received);
        return end == End::Completed;
    }

private:
    void check(End end, std::size_t count, std::size_t received, std::size_t start,
               std::uint64_t spent) {
        const std::string& delivered = pipe_.delivered();
        if (consumed_ > delivered.size() || consumed_ + reader_.buffered() != delivered.size())
            pipe_.note("bytes lost or invented between the transfers and the reads");
        if (spent > kReadTimeoutMs) pipe_.note("a read waited longer than its time-out");
        if (pipe_.ends_between(start, consumed_))
            pipe_.note("a read ran past the end of a transfer the printer ended");
        const bool short_at_end = received > 0 && pipe_.ends_at(consumed_);
        if (end == End::Completed) {
            if (received != count && !short_at_end)
                pipe_.note("a read completed short where the printer ended no transfer");
            if (pipe_.failed_in_read()) pipe_.note("a read completed over a failed transfer");
            return;
        }
        if (short_at_end && received < count)
            pipe_.note("a read failed although the printer had ended its transfer");
        if (end == End::TimedOut && spent < kReadTimeoutMs) pipe_.note("a read timed out early");
        if (end != End::TimedOut && end != pipe_.last_end())
            pipe_.note("a read failed otherwise than its transfer");
    }

    PacketReader& reader_;
    FakeInPipe& pipe_;
    std::size_t consumed_;  // the printer's bytes that reads delivered (or were dropped)
    bool interrupted_ = false;
};

inline PacketReader::DrainLimits drain_limits(Script& script) {
    PacketReader::DrainLimits limits{};
    limits.max_bytes = script.take16() % 8192 + 1;
    limits.max_ms = static_cast<unsigned>(script.take16() % 5000);
    limits.idle_ms = script.take() % 100u;
    limits.talking_idle_ms = script.take() * 4u;
    return limits;
}

// Whether the drain dropped everything that came and stopped as its limits say.
inline void check_drain(PacketReader& reader, FakeInPipe& pipe,
                        const PacketReader::DrainLimits& limits) {
    pipe.begin_drain();
    std::size_t dropped = 0;
    const End end = reader.drain(pipe, limits, dropped);
    const std::uint64_t spent = pipe.now_ms();
    if (dropped != pipe.delivered().size() || reader.buffered() != 0)
        pipe.note("the drain kept some of what came");
    if (spent > limits.max_ms) pipe.note("the drain outlasted its time");
    // Quiet is a transfer that found nothing in its time, not one that timed out with bytes;
    // its time is the longer one once the printer was heard.
    if (end == End::Completed && (pipe.last_end() != End::TimedOut || pipe.last_length() != 0))
        pipe.note("the drain called the printer quiet while it was not");
    const unsigned quiet = std::max(limits.idle_ms, 1u);
    const unsigned talking_quiet = std::max(limits.talking_idle_ms, quiet);
    if (end == End::Completed && pipe.last_timeout() < (dropped > 0 ? talking_quiet : quiet))
        pipe.note("the drain called the printer quiet too soon");
    if (pipe.heard() == 0 && spent > quiet)
        pipe.note("the drain of a quiet printer took longer than its quiet time");
    // It stops at the first transfer that reaches the byte bound.
    if (dropped >= limits.max_bytes + reader.drain_transfer())
        pipe.note("the drain went on past its byte bound");
    if (end == End::TimedOut && dropped < limits.max_bytes && spent < limits.max_ms)
        pipe.note("the drain gave up within its limits");
    if ((end == End::Failed || end == End::Interrupted) && end != pipe.last_end())
        pipe.note("the drain failed otherwise than its transfer");
}

inline std::string check_packets(const std::uint8_t* data, std::size_t size) {
    Script script(data, size);
    const std::uint8_t flags = script.take();
    const std::size_t packet_size = kPacketSizes[flags & 3];
    const bool clean = (flags & kClean) != 0;
    const bool drain = !clean && (flags & kDrainFirst) != 0;
    const PacketReader::DrainLimits limits =
        drain ? drain_limits(script) : PacketReader::DrainLimits{};
    std::string stored;
    FakeInPipe pipe(clean ? clean_printer(script, packet_size, flags, stored)
                          : hostile_printer(script, packet_size),
                    packet_size);
    PacketReader reader(packet_size, kTransferPackets[(flags >> 2) & 7u]);
    pipe.serve(reader);
    if (drain) check_drain(reader, pipe, limits);
    ReaderLink link(reader, pipe, pipe.delivered().size());
    std::unique_ptr<char[]> buffer(new char[kReportBufferSize]);
    std::size_t length = 0;
    const bool result = ReportSession::run(link, buffer.get(), kReportBufferSize, length);
    if (!pipe.failure().empty()) return pipe.failure();
    if (clean && !result) return "a clean report was not read";
    if (clean && std::string(buffer.get(), length) != stored)
        return "a clean report was stored wrong";
    return {};
}

// Scripts written by hand: the seeds (fuzz/make_seeds.cpp) and the regression tests.
namespace script {

inline std::string be16(std::size_t value) {
    return {static_cast<char>(value >> 8 & 0xFF), static_cast<char>(value & 0xFF)};
}

// The flag byte: packet size 8, 16, 64 or 512 (0-3), the most packets a transfer carries (one
// of kTransferPackets), and more.
inline std::string flags(int size_choice, std::size_t packets, std::uint8_t more = 0) {
    const auto* const most =
        std::find(std::begin(kTransferPackets), std::end(kTransferPackets), packets);
    const auto choice = static_cast<int>(most - std::begin(kTransferPackets)) & 7;
    return std::string(1, static_cast<char>(size_choice | choice << 2 | more));
}

// A clean printer's chunk: sent apart after `pause_ms` (a multiple of 20), or with what came
// before.
inline std::string chunk(const std::string& text, unsigned pause_ms = 0,
                         bool with_previous = false) {
    const auto control = static_cast<char>((pause_ms / 20) << 1 | (with_previous ? 1 : 0));
    return control + be16(text.size()) + text;
}

// The hostile printer's events (their control bytes are listed at the top).
inline std::string event(int control) { return std::string(1, static_cast<char>(control)); }
inline std::string full_packet(const std::string& bytes) { return event(0) + bytes; }
inline std::string zero_length_packet() { return event(2); }
inline std::string pause(unsigned ms) { return event(3) + event(static_cast<int>(ms / 4)); }
inline std::string past_time_out() { return event(4) + event(16); }
inline std::string after_write() { return event(12); }
inline std::string error() { return event(5); }
inline std::string interrupt() { return event(6); }
inline std::string reply(const std::string& bytes, bool zero_length = false) {
    return event(zero_length ? 15 : 7) + be16(bytes.size()) + bytes;
}

inline std::string header(std::uint32_t status, std::uint32_t length) {
    return chunk_header(status, length);
}

// The drain's limits, as the bytes after a flag byte with kDrainFirst (talking_idle_ms a
// multiple of 4, at most 1020).
inline std::string drain_limits(std::size_t max_bytes, unsigned max_ms, unsigned idle_ms,
                                unsigned talking_idle_ms) {
    return be16(max_bytes - 1) + be16(max_ms) + event(static_cast<int>(idle_ms)) +
           event(static_cast<int>(talking_idle_ms / 4));
}

}  // namespace script

}  // namespace packet_checks
