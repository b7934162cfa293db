#include "link/packet_reader.h"

#include <algorithm>
#include <cstring>

PacketReader::PacketReader(std::size_t packet_size, std::size_t max_transfer_packets)
    : packet_size_(std::max<std::size_t>(packet_size, 1)),
      max_packets_(std::max<std::size_t>(max_transfer_packets, 1)) {}

std::size_t PacketReader::transfer_size(std::size_t wanted) const {
    const std::size_t packets = wanted / packet_size_ + (wanted % packet_size_ != 0 ? 1 : 0);
    return std::clamp<std::size_t>(packets, 1, max_packets_) * packet_size_;
}

void PacketReader::discard() {
    start_ = end_ = 0;
    ends_transfer_ = false;
}

std::size_t PacketReader::take(char* into, std::size_t count) {
    const std::size_t taken = std::min(count, end_ - start_);
    if (taken > 0) std::memcpy(into, buffer_.data() + start_, taken);
    start_ += taken;
    return taken;
}

// One transfer into the (empty) buffer; what arrived stays there, however the transfer ended.
BulkInPipe::Result PacketReader::fill(BulkInPipe& pipe, std::size_t length, unsigned timeout_ms) {
    if (buffer_.size() < length) buffer_.resize(length);  // nothing is buffered to keep
    BulkInPipe::Result result = pipe.transfer(buffer_.data(), length, timeout_ms);
    result.length = std::min(result.length, length);
    start_ = 0;
    end_ = result.length;
    ends_transfer_ = result.end == End::Completed && result.length < length;
    return result;
}

PacketReader::End PacketReader::read(BulkInPipe& pipe, char* into, std::size_t count,
                                     unsigned timeout_ms, std::size_t& received) {
    received = 0;
    const std::uint64_t start = pipe.now_ms();
    for (;;) {
        received += take(into + received, count - received);
        if (received == count) return End::Completed;
        // The buffer is empty now, and the flag still describes the bytes just taken: only the
        // fill below sets it anew. A short packet after nothing (a zero-length transfer) ends
        // no read, as nothing completes a pipe read that delivers nothing.
        if (received > 0 && ends_transfer_) return End::Completed;
        const std::uint64_t spent = pipe.now_ms() - start;
        if (spent >= timeout_ms) return End::TimedOut;
        const auto left = static_cast<unsigned>(timeout_ms - spent);
        const BulkInPipe::Result result = fill(pipe, transfer_size(count - received), left);
        if (result.end != End::Completed) return result.end;
    }
}

// A transfer that finds nothing within the quiet time ends the drain; one that brings anything
// (a zero-length packet too) shows the printer talking, and the quiet wanted grows.
PacketReader::End PacketReader::drain(BulkInPipe& pipe, const DrainLimits& limits,
                                      std::size_t& dropped) {
    dropped = buffered();
    discard();
    bool heard = dropped > 0;
    const unsigned idle_ms = std::max(limits.idle_ms, 1u);
    const unsigned talking_idle_ms = std::max(limits.talking_idle_ms, idle_ms);
    const std::uint64_t start = pipe.now_ms();
    for (;;) {
        const std::uint64_t spent = pipe.now_ms() - start;
        if (dropped >= limits.max_bytes || spent >= limits.max_ms) return End::TimedOut;
        const unsigned quiet = heard ? talking_idle_ms : idle_ms;
        const auto wait =
            static_cast<unsigned>(std::min<std::uint64_t>(quiet, limits.max_ms - spent));
        const BulkInPipe::Result result = fill(pipe, drain_transfer(), wait);
        dropped += result.length;
        discard();
        if (result.end == End::Interrupted || result.end == End::Failed) return result.end;
        if (result.end == End::TimedOut && result.length == 0)
            return wait == quiet ? End::Completed : End::TimedOut;
        heard = true;
    }
}
