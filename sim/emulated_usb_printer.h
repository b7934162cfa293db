#pragma once
// USB printers emulated under umockdev: sysfs records and descriptors that libusb enumerates, and
// a device node whose usbfs ioctls are answered at the level of USB request blocks (URBs). The
// printer's side of the conversation is the core's SimulatedPrinter, so its behaviours and faults
// reach the host over bulk transfers split into packets, as from a real device.
//
// How the emulated device answers (the handler runs on umockdev's own thread):
//   GET_CAPABILITIES   bulk scatter-gather, continuation, no packet size limit, zero packet,
//                      reap after disconnect: libusb then submits each transfer as one URB.
//   GETDRIVER          the driver bound to the interface: "usblp" (the kernel's printer driver),
//                      "usbfs" (claimed through usbfs, by us or by another program), or ENODATA.
//   IOCTL(DISCONNECT)  unbinds "usblp" (kernel driver detach); IOCTL(CONNECT) binds it again.
//   CLAIMINTERFACE     fails with EBUSY while another driver holds the interface (or when the
//                      setup asks for it); RELEASEINTERFACE gives it up (its time recorded, as
//                      when the node is closed while claimed). SETINTERFACE selects an alternate
//                      setting.
//   SUBMITURB          control URBs: GET_DESCRIPTOR(STRING) answered at once (the texts sent as
//                      UTF-16), GET_STATUS of a bulk endpoint too (bit 0: halted) unless the setup
//                      has it stalled or never answered; the printer class's SOFT_RESET as the
//                      setup says (accepted, it drops the replies not yet sent and every halt);
//                      every class request is recorded; anything else stalls (-EPIPE). Bulk OUT:
//                      the bytes go to SimulatedPrinter::receive(); a printer that takes only part
//                      of them NAKs the rest, so the URB stays pending until it is discarded. Bulk
//                      IN: waits for the printer's replies. Only the endpoints of a printer
//                      interface of another protocol than 3 (IEEE 1284.4) and 4 (IPP over USB)
//                      reach the printer's session; on any other endpoint a write is taken and
//                      dropped and a read is never answered. A URB on a halted endpoint ends with
//                      -EPIPE.
//   REAPURBNDELAY      hands back a finished URB, else EAGAIN (ENODEV once the device is gone);
//                      fails with the setup's errno, if it has one, once the host has written.
//                      Bulk IN URBs are filled here, packet by packet: each reply is one USB
//                      transfer, full packets of wMaxPacketSize and a short last one; a reply
//                      whose length is a multiple of the packet size (an empty reply too) ends
//                      with a zero-length packet, unless the setup says the device sends none.
//                      A URB completes when it is full or a short packet arrives; a packet
//                      larger than the room left in the URB is an overflow (-EOVERFLOW, the
//                      packet lost), as a host controller reports it. A reply is there only
//                      `delay_ms` after the one before it (or after the write that it answers).
//   DISCARDURB         the URB first takes what has arrived (a host controller moves a packet
//                      into a pending URB as soon as it comes), then comes back with -ENOENT and
//                      what it had received; EINVAL when it had completed meanwhile.
//   CLEAR_HALT         the endpoint is no longer halted (counted, halted or not).
//   Closing the node ends the host's URBs; the device keeps what it had queued (its replies, a
//   halt), so the next opening finds it.
//   After a reply marked `disconnect_after` is delivered, the device is gone: pending URBs end
//   with -ENODEV, new ones fail with ENODEV, and so do the other ioctls.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/simulated_printer.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace usb_emulation {

inline constexpr std::uint8_t kBulkOut = 0x01;
inline constexpr std::uint8_t kBulkIn = 0x82;
inline constexpr std::uint8_t kPrinterClass = 7;
inline constexpr std::uint8_t kVendorSpecificClass = 0xFF;
inline constexpr std::uint8_t kHubClass = 9;

// One alternate setting of an interface and its bulk endpoints (addresses; bit 7 set for IN).
struct EmulatedInterface {
    std::uint8_t number = 0;
    std::uint8_t alternate = 0;
    std::uint8_t interface_class = kPrinterClass;
    std::uint8_t protocol = 2;  // bidirectional
    std::vector<std::uint8_t> endpoints{kBulkOut, kBulkIn};
};

// How a device answers GET_STATUS on one of its endpoints.
enum class EndpointStatus { Answered, Stalled, NeverAnswered };

// How a device answers the printer class's SOFT_RESET: addressed to recipient "other" (0x23) or
// to its interface (0x21); only to its interface (0x23 stalls); or never (each request runs into
// the host's time-out).
enum class SoftResetAnswer { ToEither, ToInterfaceOnly, Never };

// A class request the host sent: when (steady clock, ms), whether the host had the interface
// claimed then, and whether the device accepted it.
struct ClassRequest {
    std::uint8_t request_type = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::int64_t at_ms = 0;
    bool while_claimed = false;
    bool accepted = false;
};

// What one emulated device is: where it sits, what its descriptors say, how its node behaves.
struct DeviceSetup {
    std::uint16_t vendor_id = 0x04E8;
    std::uint16_t product_id = 0x3301;
    std::string port_path = "1-1";       // the kernel's name for it; its hub must be on the testbed
    std::uint8_t address = 2;            // bus 1
    std::uint16_t max_packet_size = 64;  // 64: full speed; 512: high speed
    std::vector<EmulatedInterface> interfaces{EmulatedInterface{}};
    std::string manufacturer = "Vellumo";
    std::string product = "LP-3020";
    std::string serial = "ZD4KB07S3C00421";
    bool strings_answered = true;  // false: string requests are never answered
    // String descriptors sent exactly as given, by index (0: the languages, 1-3: the texts above),
    // whatever length they claim; an empty one is refused (stalled).
    std::map<std::uint8_t, std::string> raw_strings;
    // The configuration descriptor with all that follows it, as the device reports it, instead of
    // the one made from `interfaces` (which still say which endpoints answer).
    std::optional<std::vector<std::uint8_t>> configuration;
    std::string driver = "usblp";  // bound at the start: "usblp", "usbfs" (another program), ""
    int claim_errno = 0;           // e.g. EBUSY: claiming fails whatever is bound

    // How real devices differ from a kind one.
    // false: no zero-length packet after a reply that ends on a packet boundary (the next
    // reply's packets then continue the same transfer).
    bool zero_length_packets = true;
    bool stall_first_write = false;  // the bulk OUT endpoint halts at the first write
    // The bulk IN endpoint halts once the printer has sent this many bytes (once); its queued
    // replies stay queued.
    std::optional<std::size_t> stall_in_after_bytes;
    std::vector<std::uint8_t> halted;  // endpoints halted from the start, as another host left them
    EndpointStatus endpoint_status = EndpointStatus::Answered;
    // true: the stop ends the report at once (what the printer had not sent is dropped, and its
    // answer comes next); false: the answer comes after the rest of the report.
    bool stop_ends_report = false;
    // Not 0: once the host has written to the printer, every REAPURBNDELAY fails with this errno
    // (libusb's event handling then fails each time it is called).
    int reap_errno_once_written = 0;
    SoftResetAnswer soft_reset = SoftResetAnswer::ToEither;
};

// One emulated device: its URB handling, and what the host did to it, for the tests.
class EmulatedUsbPrinter {
public:
    EmulatedUsbPrinter(DeviceSetup setup, SimulatedPrinter printer);
    ~EmulatedUsbPrinter();
    EmulatedUsbPrinter(const EmulatedUsbPrinter&) = delete;
    EmulatedUsbPrinter& operator=(const EmulatedUsbPrinter&) = delete;

    const DeviceSetup& setup() const { return setup_; }
    std::string node() const;  // "/dev/bus/usb/001/002"
    UMockdevIoctlBase* handler() const { return handler_; }

    // The printer behind the device; change it only before the host opens the device.
    SimulatedPrinter& printer() { return printer_; }

    // What the host did, read safely while the handler may run.
    std::string host_wrote() const;
    bool stop_received() const;
    std::string driver() const;  // "usblp", "usbfs" or ""
    int detaches() const;
    int attaches() const;
    int claims() const;
    std::optional<std::uint8_t> selected_alternate() const;
    bool gone() const;
    std::size_t largest_in_urb() const;  // the largest bulk IN request seen
    std::size_t in_urbs() const;         // bulk IN requests submitted
    bool halted(std::uint8_t endpoint) const;
    int clears(std::uint8_t endpoint) const;  // CLEAR_FEATURE(ENDPOINT_HALT) requests for it
    std::size_t replies_queued() const;       // replies the printer has not sent (whole) yet
    // How the host gave the printer back, on the steady clock in ms: when the session's stop
    // came, the class requests, when the interface was last released (none: not yet).
    std::optional<std::int64_t> stop_ms() const;
    std::vector<ClassRequest> class_requests() const;
    std::optional<std::int64_t> released_ms() const;

private:
    struct Urb {
        UMockdevIoctlData* data = nullptr;  // the URB as resolved from the host, one reference
        unsigned long client_address = 0;
    };
    struct Reply {
        std::string bytes;
        std::int64_t arrival_ms;
        bool disconnect_after;
    };

    static int on_ioctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
    static void on_client_vanished(UMockdevIoctlBase* handler, UMockdevIoctlClient* client,
                                   void* self);
    bool handle(UMockdevIoctlClient* client);
    void complete(UMockdevIoctlClient* client, long result, int error);
    bool submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    long control(UMockdevIoctlData* arg, unsigned long request, int& error);
    void submit_control(Urb urb);
    bool endpoint_status(Urb& urb);
    void class_request(Urb urb);
    bool accepts_soft_reset(std::uint8_t request_type) const;
    void submit_bulk_out(Urb urb);
    const EmulatedInterface* interface_of(std::uint8_t endpoint) const;
    bool reaches_printer(std::uint8_t endpoint) const;
    bool halt_if_due(std::uint8_t endpoint);
    void fill_in_urbs();
    void take_replies();
    void drop_unsent_replies();
    bool fill_in_urb(Urb& urb);
    bool next_packet_ready();
    void end_of_reply();
    void finish_all_pending(int status);
    void forget_client();
    std::string string_descriptor(std::uint8_t index) const;
    static void release(Urb& urb);

    DeviceSetup setup_;
    SimulatedPrinter printer_;
    UMockdevIoctlBase* handler_ = nullptr;

    mutable std::mutex mutex_;
    std::deque<Urb> in_urbs_;        // bulk IN URBs waiting for data, in order
    std::deque<Urb> finished_;       // URBs the host may reap
    std::vector<Urb> unanswered_;    // URBs the device never answers (NAKed OUT, silent control)
    std::deque<Reply> replies_;      // the printer's replies not yet (fully) sent
    std::size_t reply_sent_ = 0;     // bytes of the front reply already in packets
    bool zero_packet_owed_ = false;  // the front reply still ends with a zero-length packet
    std::int64_t last_arrival_ms_ = 0;
    std::string driver_;
    bool claimed_by_us_ = false;
    std::optional<std::uint8_t> alternate_;
    bool gone_ = false;
    int detaches_ = 0;
    int attaches_ = 0;
    int claims_ = 0;
    std::size_t largest_in_urb_ = 0;
    std::size_t in_urbs_submitted_ = 0;
    std::vector<std::uint8_t> halted_;
    std::vector<std::uint8_t> cleared_;  // every endpoint the host cleared, once per clear
    bool write_stalled_ = false;         // stall_first_write has halted the OUT endpoint once
    std::size_t bytes_sent_ = 0;         // bytes of replies that reached the host's URBs
    bool read_stalled_ = false;          // stall_in_after_bytes has halted the IN endpoint once
    std::optional<std::int64_t> stop_ms_;
    std::vector<ClassRequest> class_requests_;
    std::optional<std::int64_t> released_ms_;
};

// A umockdev testbed with a root hub on bus 1 and the emulated devices added to it. Make it
// before the code under test starts libusb, and let that code finish with libusb before it goes.
class UsbTestbed {
public:
    UsbTestbed();
    ~UsbTestbed();
    UsbTestbed(const UsbTestbed&) = delete;
    UsbTestbed& operator=(const UsbTestbed&) = delete;

    // Adds a hub at `port_path` (e.g. "1-3") so that devices can sit behind it.
    void add_hub(const std::string& port_path, std::uint8_t address);
    // Adds the device, and first each hub its port path names that is not there yet ("1-4" and
    // "1-4.2" for "1-4.2.1"), at the highest free addresses: as on a real bus, where libusb finds
    // a device's ports through its hubs.
    EmulatedUsbPrinter& add(DeviceSetup setup, SimulatedPrinter printer = SimulatedPrinter());

    // The file that stands for a device node inside the testbed.
    std::string node_file(const EmulatedUsbPrinter& device) const;

private:
    void add_record(const std::string& record);
    void add_missing_hubs(const std::string& port_path);
    std::uint8_t free_address() const;

    UMockdevTestbed* testbed_ = nullptr;
    std::vector<std::unique_ptr<EmulatedUsbPrinter>> devices_;
    std::vector<std::string> ports_;       // every port with a device or hub on it
    std::vector<std::uint8_t> addresses_;  // every address in use on bus 1
};

// The descriptors a device reports, as sysfs holds them: device, configuration, interfaces and
// endpoints, in bus order (little-endian words).
std::vector<std::uint8_t> descriptors(const DeviceSetup& setup);
// The configuration descriptor made from the setup's interfaces, with all that follows it.
std::vector<std::uint8_t> configuration_descriptor(const DeviceSetup& setup);

// A configuration descriptor damaged at random, the same for the same seed: a few bytes changed,
// a cut, bytes inserted, wTotalLength or a descriptor's bLength altered, an interface's endpoint
// count raised beyond the endpoints that follow, or several of these.
std::vector<std::uint8_t> mutated_configuration(const std::vector<std::uint8_t>& configuration,
                                                std::uint64_t seed);

}  // namespace usb_emulation
