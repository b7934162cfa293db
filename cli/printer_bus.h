#pragma once
// The printers attached to this machine, as the companion reaches them: through SetupAPI and the
// USB printer pipes on Windows, through libusb elsewhere. Each system implements PrinterBus; the
// list and read commands are written once against it.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/session_link.h"
#include "link/session_trace.h"

// One supported printer: an interface of the USB printer class from one of the four vendors.
struct PrinterInfo {
    std::string id;  // what `read --device` takes
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    // Another name `read --device` takes where the system has one (on Linux "BBB:DDD", the bus
    // and address as lsusb prints them).
    std::optional<std::string> address;
    // The printer interface a session would use, where the system tells it.
    std::optional<int> interface_number;
    // The system knows that no interface of it carries a session (it has only IPP over USB or
    // IEEE 1284.4 ones): a reading of it would fail. Never known on Windows.
    bool no_session_interface = false;
    // What the device tells of itself, where the system offers it.
    std::optional<std::string> manufacturer;
    std::optional<std::string> product;
    std::optional<std::string> serial;
    // What the Linux printing system knows of the model: its USB quirks (link/usb_quirks.h),
    // empty where it knows nothing; none where the companion does not look (Windows).
    std::optional<std::vector<std::string>> quirks;
};

// Why a printer could not be opened, with the system's own words for it.
struct OpenFailure {
    // Refused: the printing system knows the model not to work over USB (its quirk blacklist).
    enum class Kind { Gone, PermissionDenied, Busy, Interrupted, Refused, Other };
    Kind kind = Kind::Other;
    std::string reason;
    int signal_number = 0;  // Interrupted: the signal that came (0 where the system does not tell)
};

// An open printer: the link a session runs over, and why its last operation failed.
class PrinterConnection {
public:
    virtual ~PrinterConnection() = default;
    virtual SessionLink& link() = 0;
    virtual LinkFailure last_failure() const = 0;
    // The link's own words for why its last operation failed (a stall, an overflow, a system
    // error); empty where it has none.
    virtual std::string failure_cause() const { return {}; }
    // What the opening found that may explain a failure of the session that follows (a printer
    // still sending what an earlier reading left); empty where it found nothing of the kind.
    virtual std::string opening_note() const { return {}; }
    // The signal that interrupted the session, so that the companion exits with 128 + it; 0
    // where none came or the system does not tell (an interruption then counts as Ctrl+C).
    virtual int interrupt_signal() const { return 0; }
};

class PrinterBus {
public:
    virtual ~PrinterBus() = default;
    // Every supported printer attached, in the system's order; false (with `error` said) when
    // the system cannot be asked at all.
    virtual bool list(std::vector<PrinterInfo>& printers, std::string& error) = 0;
    // Opens `printer` for a session; null with `failure` filled when it cannot.
    virtual std::unique_ptr<PrinterConnection> open(const PrinterInfo& printer,
                                                    OpenFailure& failure) = 0;
};

// What the printer commands need of the world around them.
struct CliEnvironment {
    PrinterBus* printers = nullptr;  // null: this build reads no printers
    bool progress = false;           // stderr is a terminal: show chunks and bytes as they come
};

// The bus of the system this companion was built for; null where it reads no printers.
std::unique_ptr<PrinterBus> system_printer_bus();
