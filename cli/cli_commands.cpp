#include "cli/cli_commands.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <istream>
#include <ostream>
#include <utility>

#include "link/report_session.h"
#include "report/report_formatter.h"

namespace {

constexpr std::string_view kProgram = "vellumo-cli";
// The largest raw report the program handles: its buffer less the terminating NUL.
constexpr std::size_t kMaxRawReport = kReportBufferSize - 1;

struct FaultName {
    std::string_view name;
    PrinterFault fault;
};

constexpr std::array<FaultName, 20> kFaultNames{{
    {"none", PrinterFault::None},
    {"silence", PrinterFault::Silence},
    {"wrong-acknowledgement", PrinterFault::WrongAcknowledgement},
    {"short-acknowledgement", PrinterFault::ShortAcknowledgement},
    {"short-header", PrinterFault::ShortHeader},
    {"short-chunk", PrinterFault::ShortChunk},
    {"timeout-in-chunk-loop", PrinterFault::TimeoutInChunkLoop},
    {"enormous-length", PrinterFault::EnormousLength},
    {"zero-length-chunk", PrinterFault::ZeroLengthChunk},
    {"non-zero-second-word", PrinterFault::NonZeroSecondWord},
    {"end-marker-first", PrinterFault::EndMarkerFirst},
    {"report-larger-than-buffer", PrinterFault::ReportLargerThanBuffer},
    {"disconnect-mid-chunk", PrinterFault::DisconnectMidChunk},
    {"partial-write", PrinterFault::PartialWrite},
    {"split-header", PrinterFault::SplitHeader},
    {"zero-byte-transfers", PrinterFault::ZeroByteTransfers},
    {"back-to-back-replies", PrinterFault::BackToBackReplies},
    {"extra-bytes-after-end-marker", PrinterFault::ExtraBytesAfterEndMarker},
    {"late-acknowledgement", PrinterFault::LateAcknowledgement},
    {"leftover-stop-answer", PrinterFault::LeftoverStopAnswer},
}};

// Code points of the CP1251 bytes 0x80 to 0xBF; 0xC0 to 0xFF are U+0410 to U+044F in order.
// 0x98 has no character and becomes the replacement character.
constexpr std::array<char16_t, 64> kCp1251Upper{
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0xFFFD, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
};

char32_t cp1251_code_point(unsigned char byte) {
    if (byte < 0x80) return byte;
    if (byte >= 0xC0) return char32_t{0x0410} + (byte - 0xC0u);
    return kCp1251Upper[byte - 0x80u];
}

// Code points from CP1251 are all below U+10000: one to three bytes.
void append_utf8(std::string& out, char32_t code_point) {
    if (code_point < 0x80) {
        out.push_back(static_cast<char>(code_point));
    } else if (code_point < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    }
}

void append_escaped_ascii(std::string& out, char c) {
    switch (c) {
        case '"': out += "\\\""; return;
        case '\\': out += "\\\\"; return;
        case '\b': out += "\\b"; return;
        case '\f': out += "\\f"; return;
        case '\n': out += "\\n"; return;
        case '\r': out += "\\r"; return;
        case '\t': out += "\\t"; return;
        default: break;
    }
    if (static_cast<unsigned char>(c) < 0x20) {
        char code[7];
        std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned>(c));
        out += code;
    } else {
        out.push_back(c);
    }
}

std::string json_value(const std::optional<std::string>& field) {
    return field ? '"' + json_escaped_cp1251(*field) + '"' : std::string("null");
}

void print_usage(std::ostream& out) {
    out << "Usage: " << kProgram << " COMMAND [ARGUMENTS]\n"
        << "\n"
        << "Commands:\n"
        << "  format [FILE]             lays out a raw report (chunks ended by CR) as the aligned\n"
        << "                            listing, written byte for byte (lines end in CR LF)\n"
        << "  fields [FILE]             prints the model, serial, firmware and CRUM fields of a\n"
        << "                            raw report as one JSON object (null when absent), with\n"
        << "                            \"cut\": true when the listing passes its cap\n"
        << "  simulate [--fault NAME]   runs a whole report session against the simulated printer\n"
        << "                            and prints the formatted report\n"
        << "  --help                    shows this text\n"
        << "\n"
        << "FILE is read whole in binary; without it, standard input is read. A raw report holds\n"
        << "at most " << kMaxRawReport << " bytes; a larger one is refused.\n"
        << "\n"
        << "Faults of the simulated printer:\n";
    for (const FaultName& entry : kFaultNames) out << "  " << entry.name << '\n';
}

int usage_error(std::ostream& err, std::string_view message) {
    err << kProgram << ": " << message << " (see " << kProgram << " --help)\n";
    return kExitUsage;
}

int failure(std::ostream& err, std::string_view message) {
    err << kProgram << ": " << message << '\n';
    return kExitFailure;
}

// Reads the whole raw report; false (with the message said) when it cannot or it is too large.
bool read_raw(std::istream& source, std::string_view name, std::string& raw, std::ostream& err) {
    raw.assign(kMaxRawReport + 1, '\0');
    source.read(raw.data(), static_cast<std::streamsize>(raw.size()));
    if (source.bad()) {
        failure(err, std::string(name) + ": read error");
        return false;
    }
    raw.resize(static_cast<std::size_t>(source.gcount()));
    if (raw.size() > kMaxRawReport) {
        failure(err, std::string(name) + ": the report is larger than " +
                         std::to_string(kMaxRawReport) + " bytes");
        return false;
    }
    return true;
}

bool load_raw(const std::vector<std::string>& args, std::istream& in, std::string& raw,
              std::ostream& err) {
    if (args.size() < 2) return read_raw(in, "standard input", raw, err);
    std::ifstream file(args[1], std::ios::binary);
    if (!file) {
        failure(err, "cannot open '" + args[1] + "'");
        return false;
    }
    return read_raw(file, args[1], raw, err);
}

bool format_raw(const std::string& raw, FormattedReport& report, std::ostream& err) {
    if (!ReportFormatter::format(raw.c_str(), report)) {
        failure(err, "not enough memory to format the report");
        return false;
    }
    if (report.cut) {
        err << kProgram << ": the listing is incomplete: it holds " << report.lines << " of "
            << report.full_lines << " lines (cut at " << ReportFormatter::kMaxListingSize
            << " bytes)\n";
    }
    return true;
}

int run_format(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
               std::ostream& err, bool fields_only) {
    if (args.size() > 2) return usage_error(err, "'" + args[0] + "' takes at most one FILE");
    std::string raw;
    FormattedReport report;
    if (!load_raw(args, in, raw, err) || !format_raw(raw, report, err)) return kExitFailure;
    if (fields_only) {
        out << fields_json(report.fields, report.cut) << '\n';
    } else {
        out.write(report.text.data(), static_cast<std::streamsize>(report.text.size()));
    }
    out.flush();
    return out ? kExitSuccess : failure(err, "cannot write the output");
}

// Runs the session as the program's worker does: a report buffer, and the text terminated after
// the session has stored it.
int run_simulate(const FaultName& fault, std::ostream& out, std::ostream& err) {
    SimulatedPrinter printer(sample_report(), fault.fault);
    TimedPrinterLink link(printer);  // virtual time: the printer's pace as a host would see it
    std::string buffer(kReportBufferSize, '\0');
    std::size_t length = 0;
    if (!ReportSession::run(link, buffer.data(), buffer.size(), length)) {
        return failure(err, "the report session with the simulated printer failed (fault: " +
                                std::string(fault.name) + ")");
    }
    buffer.resize(length);
    FormattedReport report;
    if (!format_raw(buffer, report, err)) return kExitFailure;
    out.write(report.text.data(), static_cast<std::streamsize>(report.text.size()));
    out.flush();
    return out ? kExitSuccess : failure(err, "cannot write the output");
}

const FaultName* find_fault(std::string_view name) {
    for (const FaultName& entry : kFaultNames) {
        if (entry.name == name) return &entry;
    }
    return nullptr;
}

int parse_simulate(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.size() == 1) return run_simulate(kFaultNames[0], out, err);
    if (args[1] != "--fault") return usage_error(err, "unknown option '" + args[1] + "' for 'simulate'");
    if (args.size() != 3) return usage_error(err, "'--fault' takes one NAME");
    const FaultName* fault = find_fault(args[2]);
    if (fault == nullptr) return usage_error(err, "unknown fault '" + args[2] + "'");
    return run_simulate(*fault, out, err);
}

}  // namespace

std::string json_escaped_cp1251(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            append_escaped_ascii(out, c);
        } else {
            append_utf8(out, cp1251_code_point(byte));
        }
    }
    return out;
}

std::string fields_json(const ReportFields& fields, bool cut) {
    return "{\"model\": " + json_value(fields.model) + ", \"serial\": " + json_value(fields.serial) +
           ", \"firmware\": " + json_value(fields.firmware) + ", \"crum\": " + json_value(fields.crum) +
           ", \"cut\": " + (cut ? "true" : "false") + "}";
}

std::optional<PrinterFault> fault_from_name(std::string_view name) {
    const FaultName* entry = find_fault(name);
    return entry != nullptr ? std::optional(entry->fault) : std::nullopt;
}

int run_cli(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
            std::ostream& err) {
    if (args.empty()) return usage_error(err, "no command given");
    const std::string& command = args[0];
    if (command == "--help" || command == "-h" || command == "help") {
        print_usage(out);
        return kExitSuccess;
    }
    if (command == "format") return run_format(args, in, out, err, false);
    if (command == "fields") return run_format(args, in, out, err, true);
    if (command == "simulate") return parse_simulate(args, out, err);
    return usage_error(err, "unknown command '" + command + "'");
}
