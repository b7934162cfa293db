#include "cli/read_commands.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <string_view>

#include "cli/cli_exit.h"
#include "cli/command_line.h"
#include "cli/json_text.h"
#include "cli/whole_file.h"
#include "link/report_session.h"
#include "link/usb_quirks.h"
#include "report/report_formatter.h"
#include "report/report_text.h"

namespace {

using Clock = std::chrono::steady_clock;

// The ways a reading can fail, as --help tells them.
struct FailureHelp {
    int code;
    const char* name;
    const char* meaning;
};

constexpr FailureHelp kFailureHelp[] = {
    {kExitFailure, "raw-write-failed", "--raw FILE could not be written whole (a file is as it was)"},
    {kExitNoPrinter, "no-printer", "no supported printer attached, or none with that ID"},
    {kExitCannotOpen, "cannot-open", "the system would not open it (permission, busy, gone)"},
    {kExitNoAcknowledgement, "no-acknowledgement", "the printer did not acknowledge the session"},
    {kExitHeaderTimeout, "header-timeout", "timed out waiting for a chunk header"},
    {kExitChunkTimeout, "chunk-timeout", "timed out waiting for the text of a chunk"},
    {kExitReportTooLarge, "report-too-large", "the report does not fit the report buffer"},
    {kExitDeviceGone, "device-gone", "the printer went away during the session"},
    {kExitTransferFailed, "transfer-failed", "a transfer failed, came incomplete or out of step"},
    {kExitBlacklisted, "blacklisted", "not read: the printing system knows the model not to work"},
    {kExitInterrupted, "interrupted", "Ctrl+C; 128 + the signal: 143 SIGTERM, 129 SIGHUP"},
};

// Options of list and read.
struct ReadOptions {
    bool json = false;
    bool all = false;    // every printer attached, one after the other
    std::string device;  // empty: the first printer
    std::string raw_file;
};

// How a reading ended when it did not succeed: a name for scripts, an exit code, a sentence.
struct ReadFailure {
    const char* name;
    int code;
    std::string message;
};

std::string hex4(std::uint16_t value) {
    char text[5];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(value));
    return text;
}

Json printer_json(const PrinterInfo& printer) {
    return {{"id", printer.id},
            {"vendor_id", hex4(printer.vendor_id)},
            {"product_id", hex4(printer.product_id)},
            {"address", text_or_null(printer.address)},
            {"interface", printer.interface_number ? Json(*printer.interface_number) : Json()},
            {"manufacturer", text_or_null(printer.manufacturer)},
            {"product", text_or_null(printer.product)},
            {"serial", text_or_null(printer.serial)},
            {"quirks", printer.quirks ? Json(*printer.quirks) : Json()}};
}

bool has_quirk(const PrinterInfo& printer, std::string_view word) {
    return printer.quirks &&
           std::find(printer.quirks->begin(), printer.quirks->end(), word) != printer.quirks->end();
}

// "quirks a,b": the printing system's words for the model, where it has some.
std::string quirks_text(const PrinterInfo& printer) {
    std::string text;
    if (!printer.quirks) return text;
    for (const std::string& word : *printer.quirks) text += (text.empty() ? "" : ",") + word;
    return text.empty() ? text : "  quirks " + text;
}

// "ID  VVVV:PPPP  address BBB:DDD  interface N  MANUFACTURER PRODUCT  serial SERIAL  quirks Q,Q",
// leaving out what the system or the device did not say; nothing in it a terminal would act on.
std::string printer_line(const PrinterInfo& printer) {
    std::string line = printer.id + "  " + hex4(printer.vendor_id) + ':' + hex4(printer.product_id);
    if (printer.address) line += "  address " + *printer.address;
    if (printer.interface_number)
        line += "  interface " + std::to_string(*printer.interface_number);
    std::string name;
    for (const auto* part : {&printer.manufacturer, &printer.product}) {
        if (*part && !(*part)->empty()) name += (name.empty() ? "" : " ") + **part;
    }
    if (!name.empty()) line += "  " + name;
    if (printer.serial && !printer.serial->empty()) line += "  serial " + *printer.serial;
    return terminal_text(line + quirks_text(printer));
}

// What list and read take.
const CommandSyntax kListSyntax{"list", {{"--json"}}};
const CommandSyntax kReadSyntax{
    "read", {{"--device", "ID"}, {"--all"}, {"--json"}, {"--raw", "FILE"}}};

// Options after the command; false (with the usage error said) on anything else.
bool parse_options(const std::vector<std::string>& args, bool reading, ReadOptions& options,
                   std::ostream& err) {
    CommandLine line;
    if (!line.parse(reading ? kReadSyntax : kListSyntax, {args.begin() + 1, args.end()}, err))
        return false;
    options.json = line.has("--json");
    options.all = line.has("--all");
    options.device = line.value("--device");
    options.raw_file = line.value("--raw");
    // One FILE cannot hold the reports of several printers; `--device` names one printer.
    if (options.all && !(options.device.empty() && options.raw_file.empty())) {
        usage_error(err, "'--all' reads every printer: it takes no '--device' and no '--raw'");
        return false;
    }
    return true;
}

bool list_printers(const CliEnvironment& env, std::vector<PrinterInfo>& printers,
                   std::string& error) {
    if (env.printers == nullptr) {
        error = "this build of the companion reads no USB printers";
        return false;
    }
    return env.printers->list(printers, error);
}

// "BBB:DDD" (or without the leading zeros) as bus and address; false for anything else.
bool bus_address(std::string_view text, unsigned& bus, unsigned& address) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return false;
    unsigned* numbers[] = {&bus, &address};
    const std::string_view parts[] = {text.substr(0, colon), text.substr(colon + 1)};
    for (std::size_t i = 0; i < 2; ++i) {
        if (parts[i].empty() || parts[i].size() > 3) return false;
        *numbers[i] = 0;
        for (const char c : parts[i]) {
            if (c < '0' || c > '9') return false;
            *numbers[i] = *numbers[i] * 10 + static_cast<unsigned>(c - '0');
        }
    }
    return true;
}

bool at_address(const PrinterInfo& printer, const std::string& device) {
    unsigned bus = 0, address = 0, printer_bus = 0, printer_address = 0;
    return printer.address && bus_address(device, bus, address) &&
           bus_address(*printer.address, printer_bus, printer_address) && bus == printer_bus &&
           address == printer_address;
}

// The printer `device` names: its id, its bus and address, or its place in the list (1 for the
// first). None named: the first that may carry a session and that the printing system does not
// know to be unusable, else the first (its failure names it).
const PrinterInfo* choose(const std::vector<PrinterInfo>& printers, const std::string& device) {
    if (printers.empty()) return nullptr;
    if (device.empty()) {
        for (const PrinterInfo& printer : printers) {
            if (!printer.no_session_interface && !has_quirk(printer, usb_quirk::kBlacklist))
                return &printer;
        }
        return &printers.front();
    }
    for (const PrinterInfo& printer : printers) {
        if (printer.id == device) return &printer;
    }
    for (const PrinterInfo& printer : printers) {
        if (at_address(printer, device)) return &printer;
    }
    std::size_t place = 0;
    for (const char c : device) {
        if (c < '0' || c > '9' || place > printers.size()) return nullptr;
        place = place * 10 + static_cast<std::size_t>(c - '0');
    }
    return place >= 1 && place <= printers.size() ? &printers[place - 1] : nullptr;
}

std::string chunks_so_far(std::size_t chunks) {
    return std::to_string(chunks) + (chunks == 1 ? " chunk had" : " chunks had") + " arrived";
}

const char* open_reason_name(OpenFailure::Kind kind) {
    switch (kind) {
        case OpenFailure::Kind::Gone:
            return "gone";
        case OpenFailure::Kind::PermissionDenied:
            return "permission-denied";
        case OpenFailure::Kind::Busy:
            return "busy";
        case OpenFailure::Kind::Interrupted:
        case OpenFailure::Kind::Refused:
        case OpenFailure::Kind::Other:
            break;
    }
    return "other";
}

std::string signal_name(int signal_number) {
    switch (signal_number) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
#ifdef SIGHUP
        case SIGHUP:
            return "SIGHUP";
#endif
        default:
            return "signal " + std::to_string(signal_number);
    }
}

// Ctrl+C, or a signal the system does not name, exits with 130; any other with 128 + it, as a
// shell reports a program that the signal ended.
ReadFailure interruption(int signal_number, const std::string& arrived) {
    if (signal_number == 0 || signal_number == SIGINT)
        return {"interrupted", kExitInterrupted, "interrupted" + arrived};
    return {"interrupted", kExitSignalBase + signal_number,
            "interrupted by " + signal_name(signal_number) + arrived};
}

// What a trace of the session tells of the way it failed; `signal_number` is the signal that
// interrupted it, if one did.
ReadFailure step_failure(const SessionTrace& trace, int signal_number) {
    const std::string arrived = " (" + chunks_so_far(trace.chunks()) + ")";
    switch (trace.failure()) {
        case LinkFailure::DeviceGone:
            return {"device-gone", kExitDeviceGone, "the printer went away" + arrived};
        case LinkFailure::Interrupted:
            return interruption(signal_number, arrived);
        default:
            break;
    }
    const bool timed_out = trace.failure() == LinkFailure::TimedOut;
    switch (trace.stopped_at(false)) {
        case SessionStep::Acknowledgement:
            return {"no-acknowledgement", kExitNoAcknowledgement,
                    timed_out ? "the printer did not answer the start of the session"
                              : "the printer did not acknowledge the start of the session"};
        case SessionStep::Header:
            if (timed_out) {
                return {"header-timeout", kExitHeaderTimeout,
                        "timed out waiting for a chunk header" + arrived};
            }
            return {"transfer-failed", kExitTransferFailed,
                    "a chunk header came incomplete" + arrived};
        case SessionStep::Chunk:
            if (timed_out) {
                return {"chunk-timeout", kExitChunkTimeout,
                        "timed out waiting for the text of a chunk" + arrived};
            }
            return {"transfer-failed", kExitTransferFailed, "a chunk came incomplete" + arrived};
        case SessionStep::ReportTooLarge:
            return {"report-too-large", kExitReportTooLarge,
                    "the report is larger than the " + std::to_string(kReportBufferSize) +
                        "-byte report buffer" + arrived};
        case SessionStep::OutOfStep:
            return {"transfer-failed", kExitTransferFailed,
                    "the printer answered out of step: an acknowledgement came for a header"};
        case SessionStep::Start:
        case SessionStep::Request:
        case SessionStep::Complete:
            break;
    }
    return {"transfer-failed", kExitTransferFailed,
            std::string("the printer did not take the ") +
                (trace.stopped_at(false) == SessionStep::Request ? "report request" : "start")};
}

// The step's failure, and after it the link's own cause of a transfer error (a stall, an
// overflow, a system error), which the step alone does not tell; time-outs, interruptions and
// a printer gone say all there is.
ReadFailure session_failure(const SessionTrace& trace, int signal_number) {
    ReadFailure failure = step_failure(trace, signal_number);
    if (trace.failure() == LinkFailure::Io && !trace.cause().empty())
        failure.message += ": " + trace.cause();
    return failure;
}

// A failure after an opening that found the printer still talking says so: the session most
// likely took what an earlier reading left for its answers. An interruption says all there is.
ReadFailure with_opening_note(ReadFailure failure, const std::string& note) {
    if (!note.empty() && std::string_view(failure.name) != "interrupted")
        failure.message += "; " + note;
    return failure;
}

// A failure that a printer sending nothing back would cause, on a model the printing system knows
// for one-way USB (its quirk unidir), says so.
ReadFailure one_way_said(ReadFailure failure, const PrinterInfo& printer) {
    const std::string_view name = failure.name;
    const bool answer_missing = name == "no-acknowledgement" || name == "header-timeout" ||
                                name == "chunk-timeout" || name == "transfer-failed";
    if (answer_missing && has_quirk(printer, usb_quirk::kUnidir)) {
        failure.message += "; the printing system knows " + hex4(printer.vendor_id) + ':' +
                           hex4(printer.product_id) +
                           " for one-way USB (quirk unidir): it may send nothing back";
    }
    return failure;
}

// One reading, measured from opening the printer to the formatted listing.
class Reading {
public:
    Reading(const CliEnvironment& env, const ReadOptions& options, std::ostream& out,
            std::ostream& err)
        : env_(env), options_(options), out_(out), err_(err), started_(Clock::now()) {}

    // The printer --device names (or the first), found and read.
    int run_chosen() {
        std::vector<PrinterInfo> printers;
        std::string error;
        if (!list_printers(env_, printers, error)) return fail(cannot_list(error));
        const PrinterInfo* printer = choose(printers, options_.device);
        if (printer == nullptr) return fail(no_printer(printers.empty()));
        return run(*printer);
    }

    // Reads `printer`; with `heading`, the listing (or the failure) names its device first, as
    // one of several.
    int run(const PrinterInfo& printer, bool heading = false) {
        device_ = printer_json(printer);
        if (heading) {
            heading_ = "== " + printer_line(printer) + '\n';
            said_device_ = printer.id + ": ";
        }
        OpenFailure open_failure;
        std::unique_ptr<PrinterConnection> open = env_.printers->open(printer, open_failure);
        if (!open) return fail(cannot_open(printer, open_failure));
        std::string raw;
        const std::optional<ReadFailure> failure = receive(std::move(open), raw);
        if (failure) return fail(one_way_said(*failure, printer));
        return report(raw);
    }

    int fail(const ReadFailure& failure) {
        interrupted_ = std::string_view(failure.name) == "interrupted";
        if (options_.json) {
            const Json said{{"name", failure.name},
                            {"reason", text_or_null(reason_)},
                            {"message", failure.message},
                            {"chunks", chunks_}};
            out_ << json_line(
                {{"device", device_}, {"ok", false}, {"failure", said}, {"seconds", seconds()}});
        } else {
            out_ << heading_;
        }
        out_.flush();
        return say_failure(err_, said_device_ + failure.message, failure.code);
    }

    // Whether a signal ended the reading: then no other printer is read.
    bool interrupted() const { return interrupted_; }

    static ReadFailure none_attached_failure() {
        return {"no-printer", kExitNoPrinter, "no supported printer is attached"};
    }

    static ReadFailure cannot_list(const std::string& error) {
        return {"no-printer", kExitNoPrinter, "cannot list USB printers: " + error};
    }

private:
    ReadFailure no_printer(bool none_attached) const {
        if (none_attached) return none_attached_failure();
        return {"no-printer", kExitNoPrinter,
                "no supported printer '" + options_.device + "' (see " + std::string(kProgram) +
                    " list)"};
    }

    ReadFailure cannot_open(const PrinterInfo& printer, const OpenFailure& failure) {
        if (failure.kind == OpenFailure::Kind::Interrupted)
            return interruption(failure.signal_number, " while opening " + printer.id);
        if (failure.kind == OpenFailure::Kind::Refused)
            return {"blacklisted", kExitBlacklisted, printer.id + " " + failure.reason};
        reason_ = open_reason_name(failure.kind);
        return {"cannot-open", kExitCannotOpen,
                "cannot open " + printer.id + ": " + failure.reason};
    }

    // Runs the session into `raw` and closes the printer before anything is written, so that no
    // output (a full pipe, a slow disk) keeps the printer from the system. Says why it failed.
    std::optional<ReadFailure> receive(std::unique_ptr<PrinterConnection> printer,
                                       std::string& raw) {
        raw.assign(kReportBufferSize, '\0');
        PrinterConnection& connection = *printer;
        SessionTrace trace(
            connection.link(), [&connection] { return connection.last_failure(); },
            [this](std::size_t chunks, std::uint64_t bytes) { show_progress(chunks, bytes); },
            [&connection] { return connection.failure_cause(); });
        std::size_t length = 0;
        const bool ok = ReportSession::run(trace, raw.data(), raw.size(), length);
        const int signal_number = connection.interrupt_signal();
        const std::string opening_note = connection.opening_note();
        printer.reset();  // the trace only answers questions from here on
        end_progress();
        chunks_ = trace.chunks();
        if (!ok) return with_opening_note(session_failure(trace, signal_number), opening_note);
        raw.resize(length);
        return std::nullopt;
    }

    void show_progress(std::size_t chunks, std::uint64_t bytes) {
        if (!env_.progress) return;
        err_ << "\rreading: " << chunks << (chunks == 1 ? " chunk, " : " chunks, ") << bytes
             << " bytes" << std::flush;
        progress_shown_ = true;
    }

    void end_progress() {
        if (progress_shown_) err_ << '\n';
    }

    // The raw report is kept first: a reading whose raw report could not be kept is a failure,
    // said before anything else is printed.
    int report(const std::string& raw) {
        std::string error;
        if (!options_.raw_file.empty() && !write_whole_file(options_.raw_file, raw, error)) {
            return fail({"raw-write-failed", kExitFailure,
                         "cannot write the raw report to '" + options_.raw_file + "': " + error});
        }
        FormattedReport report;
        if (!ReportFormatter::format(raw.c_str(), report)) {
            return fail({"format-failed", kExitFailure, "not enough memory to format the report"});
        }
        if (report.cut) say_cut(report, err_);
        if (options_.json) {
            Json reading{{"device", device_}, {"ok", true}};
            reading.update(report_json(report));
            reading["chunks"] = chunks_;
            reading["bytes"] = raw.size();
            reading["seconds"] = seconds();
            out_ << json_line(reading);
        } else {
            out_ << heading_;
            out_.write(report.text.data(), static_cast<std::streamsize>(report.text.size()));
        }
        out_.flush();
        return out_ ? kExitSuccess : say_failure(err_, "cannot write the output");
    }

    double seconds() const {
        return std::chrono::duration<double>(Clock::now() - started_).count();
    }

    const CliEnvironment& env_;
    const ReadOptions& options_;
    std::ostream& out_;
    std::ostream& err_;
    Clock::time_point started_;
    Json device_;              // the chosen printer as JSON, once chosen; else null
    std::string heading_;      // the line naming the device, as one of several
    std::string said_device_;  // "ID: " before a failure, as one of several
    bool interrupted_ = false;
    std::optional<std::string> reason_;  // why it could not be opened
    std::size_t chunks_ = 0;
    bool progress_shown_ = false;
};

}  // namespace

void say_cut(const FormattedReport& report, std::ostream& err) {
    err << kProgram << ": the listing is incomplete: it holds " << report.lines << " of "
        << report.full_lines << " lines (cut at " << ReportFormatter::kMaxListingSize
        << " bytes)\n";
}

int run_list(const std::vector<std::string>& args, const CliEnvironment& env, std::ostream& out,
             std::ostream& err) {
    ReadOptions options;
    if (!parse_options(args, false, options, err)) return kExitUsage;
    std::vector<PrinterInfo> printers;
    std::string error;
    if (!list_printers(env, printers, error)) {
        return say_failure(err, "cannot list USB printers: " + error);
    }
    if (printers.empty()) err << kProgram << ": no supported printer is attached\n";
    Json listed = Json::array();
    for (const PrinterInfo& printer : printers) {
        if (options.json) {
            listed.push_back(printer_json(printer));
        } else {
            out << printer_line(printer) << '\n';
        }
    }
    if (options.json) out << json_line(listed);
    out.flush();
    return out ? kExitSuccess : say_failure(err, "cannot write the output");
}

// Every printer attached, one after the other: the exit code of the first that failed, or of
// the signal that ended the run.
int read_all(const CliEnvironment& env, const ReadOptions& options, std::ostream& out,
             std::ostream& err) {
    std::vector<PrinterInfo> printers;
    std::string error;
    if (!list_printers(env, printers, error)) {
        return Reading(env, options, out, err).fail(Reading::cannot_list(error));
    }
    if (printers.empty()) {
        return Reading(env, options, out, err).fail(Reading::none_attached_failure());
    }
    int first_failure = kExitSuccess;
    for (const PrinterInfo& printer : printers) {
        Reading reading(env, options, out, err);
        const int code = reading.run(printer, true);
        if (reading.interrupted()) return code;
        if (first_failure == kExitSuccess) first_failure = code;
        if (!out) return first_failure;  // nobody reads the output any more
    }
    return first_failure;
}

int run_read(const std::vector<std::string>& args, const CliEnvironment& env, std::ostream& out,
             std::ostream& err) {
    ReadOptions options;
    if (!parse_options(args, true, options, err)) return kExitUsage;
    if (options.all) return read_all(env, options, out, err);
    return Reading(env, options, out, err).run_chosen();
}

void print_printer_usage(std::ostream& out) {
    out << "  list [--json]             lists the supported USB printers attached: ID, vendor and\n"
        << "                            product IDs, bus:address and the interface a reading\n"
        << "                            uses (where the system tells them), what the device\n"
        << "                            says of itself, and (Linux) its USB quirks as the\n"
        << "                            printing system knows them\n"
        << "  read [--device ID] [--all] [--json] [--raw FILE]\n"
        << "                            reads the report of the printer ID (as list prints it,\n"
        << "                            its BBB:DDD bus and address as lsusb prints them, or\n"
        << "                            its place in the list; default: the first whose\n"
        << "                            interface carries a session and whose quirks are not\n"
        << "                            blacklist, else the first) and prints\n"
        << "                            the listing; --json prints the device, the fields, the\n"
        << "                            entries (each line of the listing as key and value, or\n"
        << "                            text), the listing and the time taken as one object;\n"
        << "                            --raw keeps the report as received in FILE (format FILE\n"
        << "                            lays it out again) before anything is printed: a file\n"
        << "                            (or the file a link names) is replaced whole or left as\n"
        << "                            it was, keeping its mode; a device, a FIFO or standard\n"
        << "                            output is written as it stands; --all reads every\n"
        << "                            printer attached in turn, each listing under a line\n"
        << "                            \"== \" and the printer as list shows it, or with --json\n"
        << "                            one object a line, and exits with the first failure's\n"
        << "                            code (no --device, no --raw)\n";
}

void print_read_failures(std::ostream& out) {
    out << "A reading that fails says why in one line on stderr (and in the JSON), and exits "
           "with:\n";
    for (const FailureHelp& failure : kFailureHelp) {
        out << "  " << failure.code << std::string(5 - std::to_string(failure.code).size(), ' ')
            << failure.name << std::string(20 - std::string_view(failure.name).size(), ' ')
            << failure.meaning << '\n';
    }
    out << "\n"
        << "On Linux the printer's USB quirks, as the printing system keeps them (built in, then\n"
        << "every file of $CUPS_DATADIR/usb, default /usr/share/cups/usb), apply to a reading:\n"
        << "blacklist refuses it, unidir is named when it fails, delay-close waits 1 s before\n"
        << "the printer is given back, soft-reset sends it the printer class's SOFT_RESET after\n"
        << "the session, no-reattach leaves the kernel's printer driver (usblp) unbound; usb-init\n"
        << "and vendor-class are only shown.\n";
}
