#pragma once
// Reads over a USB bulk IN endpoint with the behaviour of the Windows byte-mode pipe that the
// session was written for: a read completes with what has arrived, up to what was asked. Apart
// from whatever moves the packets (libusb on Linux, a fake in the fuzz target), it talks to them
// through BulkInPipe, one transfer at a time. Portable: no libusb, no Windows header.
//
// What USB adds: the host learns that the printer has finished sending only from a short packet
// (one of fewer bytes than the endpoint's packet size, perhaps none at all), and a packet larger
// than the room left in a transfer is an overflow. So each transfer asks for whole packets:
// all that the read still needs, rounded up to a whole packet, and never more, so that a
// printer that sends no zero-length packet after a reply that fills its last packet never
// leaves a transfer waiting. Bytes of a packet beyond what the read needs stay buffered for the
// next read. A read then costs one transfer, or two when a packet read before it brought its
// first bytes (a chunk's header and text share a packet).

#include <cstddef>
#include <cstdint>
#include <vector>

// One bulk IN transfer at a time: all the reader asks of the USB side.
class BulkInPipe {
public:
    enum class End {
        Completed,    // the transfer is over: it was filled, or a short packet ended it
        TimedOut,     // the time-out passed before it was over
        Interrupted,  // it was given up for an interrupt (Ctrl+C)
        Failed,       // anything else (stall, device gone, ...); the pipe says which
    };
    struct Result {
        End end = End::Failed;
        std::size_t length = 0;  // bytes delivered into the buffer, however the transfer ended
    };

    virtual ~BulkInPipe() = default;
    // Moves at most `length` bytes (a whole number of packets) into `into`, waiting at most
    // `timeout_ms` (never 0). Bytes delivered before a time-out or interruption count too.
    virtual Result transfer(unsigned char* into, std::size_t length, unsigned timeout_ms) = 0;
    // A steady clock in milliseconds, on which the reader counts its time-outs.
    virtual std::uint64_t now_ms() = 0;
};

class PacketReader {
public:
    using End = BulkInPipe::End;

    // The bounds of drain(): it stops when a transfer finds nothing within `idle_ms` (a quiet
    // printer costs no more), or within `talking_idle_ms` once the printer was heard (one that
    // pauses between the chunks of a report is waited out), or when `max_bytes` or `max_ms` are
    // used up, whichever comes first.
    struct DrainLimits {
        std::size_t max_bytes;
        unsigned idle_ms;
        unsigned talking_idle_ms;
        unsigned max_ms;
    };

    // The IN endpoint's packet size (at least 1) and how many packets one transfer carries at
    // most (at least 1). The buffer grows to the largest transfer made.
    PacketReader(std::size_t packet_size, std::size_t max_transfer_packets);

    // Puts up to `count` bytes into `into`, `received` saying how many. Completed when `count`
    // bytes are there, or when a transfer the printer ended short has delivered at least one;
    // else how the transfer that stopped it ended (TimedOut also when `timeout_ms` is used up
    // between transfers). Bytes already put into `into` by a read that does not complete stay
    // counted in `received`; bytes a stopped transfer delivered stay buffered for the next read.
    End read(BulkInPipe& pipe, char* into, std::size_t count, unsigned timeout_ms,
             std::size_t& received);

    // Reads and drops whatever the printer has queued, the buffered bytes too. Completed when
    // the printer fell quiet (a transfer found nothing for the whole quiet time), TimedOut when
    // the limits ran out first, else how the transfer that stopped it ended. `dropped` counts
    // the bytes thrown away.
    End drain(BulkInPipe& pipe, const DrainLimits& limits, std::size_t& dropped);

    // Drops the buffered bytes: what came before a command cannot answer it.
    void discard();

    // The size of the transfer for `wanted` more bytes: whole packets, at least one, at most
    // max_transfer().
    std::size_t transfer_size(std::size_t wanted) const;
    std::size_t buffered() const { return end_ - start_; }
    std::size_t packet_size() const { return packet_size_; }
    std::size_t max_transfer() const { return max_packets_ * packet_size_; }
    // What one transfer of the drain asks for: it only listens for quiet.
    std::size_t drain_transfer() const { return transfer_size(kDrainPackets * packet_size_); }

    static constexpr std::size_t kDrainPackets = 8;

private:
    std::size_t take(char* into, std::size_t count);
    BulkInPipe::Result fill(BulkInPipe& pipe, std::size_t length, unsigned timeout_ms);

    std::size_t packet_size_;
    std::size_t max_packets_;
    std::vector<unsigned char> buffer_;  // as large as the largest transfer so far
    std::size_t start_ = 0;              // the first byte not yet handed to a reader
    std::size_t end_ = 0;
    bool ends_transfer_ = false;  // the buffered bytes are the last of a transfer ended short
};
