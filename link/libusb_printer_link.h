#pragma once
// The USB channel to a printer on Linux, through libusb, for the command-line companion: lists the
// supported printers, opens one, and carries a report session's bytes over the bulk endpoints of
// its printer interface with the behaviour of the Windows byte-mode pipe (a read completes with
// what has arrived, up to what was asked; bytes beyond it wait for the next read), which the
// packet reader (link/packet_reader.h) gives it.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/packet_reader.h"
#include "link/session_link.h"

struct libusb_context;
struct libusb_device_handle;

// One supported printer as the listing finds it.
struct UsbPrinterInfo {
    // "BUS-PORT[.PORT...]", e.g. "1-4.2": the kernel's name for the USB port the printer is
    // plugged into, so the same printer in the same socket keeps its id across replugging and
    // reboots (its address changes each time). open() also takes "BBB:DDD" (bus:address, as
    // lsusb prints them).
    std::string id;
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::uint8_t bus = 0;
    std::uint8_t address = 0;
    // The printer interface a session would use and its protocol: the first bidirectional one
    // (protocol 2) with a bulk OUT and IN pair, else the first other one with a pair, never
    // IEEE 1284.4 (3) or IPP over USB (4), which speak other protocols; -1 and 0 when the device
    // has none that carries a session.
    int interface_number = -1;
    std::uint8_t interface_protocol = 0;
    // Empty when the device has none or does not give them (no access, no answer in time).
    std::string manufacturer;
    std::string product;
    std::string serial_number;
    // What the Linux printing system knows of the model (link/usb_quirks.h): the words of the
    // quirks entry for its vendor and product, empty where it has none.
    std::vector<std::string> quirks;
};

// Why the last open, read or write failed.
enum class UsbFailure {
    None,
    NoSuchDevice,      // no supported printer (with that id), or it went away while opening
    PermissionDenied,  // the device node may not be opened (see udev/70-vellumo-printers.rules)
    Busy,              // another program holds the printer interface
    NoBulkEndpoints,   // no printer interface carries a session (see interface_number)
    Refused,           // the printing system's quirks say the model does not work (blacklist)
    TimedOut,          // nothing arrived (or could be sent) within the time-out
    DeviceGone,        // the printer was unplugged or switched off
    Interrupted,       // the link was told to stop (Ctrl+C, SIGTERM, SIGHUP), before or during it
    Io,                // any other transfer error (stall, overflow, bus error)
    Other,             // libusb could not start, or another error while opening
};

class LibusbPrinterLink : public SessionLink {
public:
    // The vendor IDs of the supported printers (listed in bus and port order, whatever the
    // vendor).
    static constexpr std::uint16_t kVendorIds[] = {0x04E8, 0x0924, 0x413C, 0x03F0};
    // A read waits at most this long, as the Windows channel does (300 polls of 10 ms).
    static constexpr unsigned kReadTimeoutMs = 3000;
    // A write gives up when the printer has not taken every byte within this time.
    static constexpr unsigned kWriteTimeoutMs = 3000;
    // How often a waiting read or write looks at the stop flag.
    static constexpr unsigned kInterruptCheckMs = 100;
    // How long a transfer may take to come back past its own time-out (the kernel gives back a
    // cancelled one at once); one that has not is abandoned, and the link with it.
    static constexpr unsigned kCancelWaitMs = 1000;
    // The most one bulk IN transfer asks for: more than any read of a session (its report buffer
    // holds 102400 bytes), so that each read costs one transfer (see link/packet_reader.h).
    static constexpr std::size_t kMaxTransferBytes = 128 * 1024;
    // Time-out of each string request (listing, and open() for printer()).
    static constexpr unsigned kStringTimeoutMs = 500;
    // Time-out of the request that asks open() whether an endpoint is halted.
    static constexpr unsigned kStatusTimeoutMs = 500;
    // After an interrupt, a read or write waits at most this long: long enough for the session's
    // stop to go out and the printer's answer to it to come in, short enough for Ctrl+C.
    static constexpr unsigned kStopAnswerWaitMs = 250;
    // open() drops what the printer still has queued from an earlier session: it reads until
    // nothing comes for kDrainIdleMs (what a quiet printer costs), or, once something came, for
    // kDrainTalkingIdleMs (twice the longest pause between chunks we try, 250 ms), at most
    // kDrainMaxMs and kDrainMaxBytes (a report is at most about 100 KB).
    static constexpr unsigned kDrainIdleMs = 30;
    static constexpr unsigned kDrainTalkingIdleMs = 500;
    static constexpr unsigned kDrainMaxMs = 2000;
    static constexpr std::size_t kDrainMaxBytes = 1 << 20;
    // The give-back of a printer with the quirk delay-close waits this long before it releases
    // the interface, as the printing system does.
    static constexpr unsigned kDelayCloseMs = 1000;
    // The give-back of a printer with the quirk soft-reset gives its SOFT_RESET this long, both
    // requests together (to recipient "other", then to the interface).
    static constexpr unsigned kSoftResetTimeoutMs = 500;

    // Every USB device with a printer interface and a supported vendor ID, by bus and then by
    // the port numbers (1-1 < 1-4 < 1-4.2 < 1-10 < 2-1), so that the first is the same printer
    // every time. False only when libusb cannot start; `failure_text` then says why.
    static bool list(std::vector<UsbPrinterInfo>& printers, std::string& failure_text);
    // "BBB:DDD", as lsusb names a device by its bus and address.
    static std::string address_id(std::uint8_t bus, std::uint8_t address);

    // `stop`, when given, tells the link to give up: its owner sets it (from any thread, or a
    // signal handler: it is only read here), and it must outlive the link. Once it is set, every
    // waiting read and write gives up within kInterruptCheckMs with UsbFailure::Interrupted, and
    // an open() under way fails so. Later writes still go out and later reads still take what
    // comes, each within kStopAnswerWaitMs, so that the session's stop and its answer are
    // exchanged; later reads fail with Interrupted all the same. A link that has written nothing
    // since it opened writes nothing more: no session has begun that a stop would end. The link
    // installs no signal handler: a program that wants Ctrl+C to end a session in order sets the
    // flag from its own.
    explicit LibusbPrinterLink(const std::atomic<bool>* stop = nullptr);
    ~LibusbPrinterLink() override;
    LibusbPrinterLink(const LibusbPrinterLink&) = delete;
    LibusbPrinterLink& operator=(const LibusbPrinterLink&) = delete;

    // Opens the printer with this id (empty: the first one listed whose interface carries a
    // session, else the first one listed), detaches the kernel's printer driver from its
    // interface if bound, claims the interface, selects the alternate setting that has the bulk
    // pair, clears a halt on either endpoint (only a halted one, where the printer tells) and
    // drops what the printer had queued. On failure everything done so far is undone; an
    // interrupt meanwhile fails it with UsbFailure::Interrupted.
    bool open(const std::string& id = {});
    // Gives the printer back: waits kDelayCloseMs first (delay-close) and sends it SOFT_RESET
    // (soft-reset) where its quirks say so, releases the interface, binds the kernel driver again
    // if open() detached it (unless no-reattach), closes the device. Harmless when nothing is
    // open. A printer that the printing system's quirks mark blacklist is not opened at all.
    void close() noexcept;
    bool is_open() const { return handle_ != nullptr; }

    bool write(const char* bytes, std::size_t count) override;
    bool read(char* buffer, std::size_t count, std::size_t& received) override;

    // The outcome of the last open, read or write (None after a success), with libusb's words.
    // Each call sets it: ask right after the call that failed (after ReportSession::run it is
    // the outcome of the session's last exchange, the stop, which may have succeeded).
    UsbFailure failure() const { return failure_; }
    const std::string& failure_text() const { return failure_text_; }

    // The printer was still sending when the opening's drain ran out of time (what it had queued
    // from an earlier reading outlasted kDrainMaxMs): the session may take the rest of that for
    // its answers. How many bytes the drain dropped. Both valid while open.
    bool still_sending_at_open() const { return still_sending_at_open_; }
    std::size_t dropped_at_open() const { return dropped_at_open_; }

    // What the open printer is, strings included (valid while open).
    const UsbPrinterInfo& printer() const { return printer_; }
    std::uint16_t in_packet_size() const { return in_packet_size_; }

private:
    // How a transfer ended: EventsFailed, cancelled because libusb failed to handle its events;
    // Abandoned, not back kCancelWaitMs after its time-out.
    enum class Wait { Done, TimedOut, Interrupted, NotSubmitted, EventsFailed, Abandoned };
    struct Transfer;
    class InPipe;

    bool stopped() const;
    bool fail(UsbFailure failure, std::string text);
    bool fail_libusb(int error, const char* what);
    bool fail_no_transfer();
    bool fail_events(std::unique_ptr<Transfer> transfer, Wait wait, int error, const char* what);
    bool open_steps(const std::string& id);
    bool claim(int interface_number, int alternate);
    bool start_clean();
    bool clear_if_halted(unsigned char endpoint, bool& ask);
    bool refused_by_quirks();
    bool has_quirk(std::string_view word) const;
    void give_back_quirks() noexcept;
    void soft_reset() noexcept;
    bool soft_reset_refused(std::uint8_t request_type, unsigned timeout_ms) noexcept;
    Wait run_transfer(Transfer& transfer, int& error, bool cancel_on_interrupt);
    bool fail_transfer(const Transfer& transfer, const char* what, unsigned char endpoint);
    BulkInPipe::Result transfer_in(unsigned char* into, std::size_t length, unsigned timeout_ms,
                                   bool cancel_on_interrupt);

    const std::atomic<bool>* stop_;
    libusb_context* context_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
    UsbPrinterInfo printer_;
    int interface_ = -1;
    bool claimed_ = false;
    bool driver_detached_ = false;
    bool wrote_ = false;  // something was written since the opening
    unsigned char out_endpoint_ = 0;
    unsigned char in_endpoint_ = 0;
    std::uint16_t in_packet_size_ = 0;
    std::optional<PacketReader> reader_;  // while open, for the IN endpoint
    std::vector<std::unique_ptr<Transfer>> abandoned_;  // freed once the device is closed
    std::string broken_;  // why the link moves no more data ("" while it does)
    bool still_sending_at_open_ = false;
    std::size_t dropped_at_open_ = 0;
    UsbFailure failure_ = UsbFailure::None;
    std::string failure_text_;
};
