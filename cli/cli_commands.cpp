#include "cli/cli_commands.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <istream>
#include <ostream>
#include <utility>

#include "cli/command_line.h"
#include "cli/diff_command.h"
#include "cli/read_commands.h"
#include "link/report_session.h"
#include "report/report_formatter.h"

namespace {

// The largest raw report the program handles: its buffer less the terminating NUL.
constexpr std::size_t kMaxRawReport = kReportBufferSize - 1;

void print_usage(std::ostream& out) {
    out << "Usage: " << kProgram << " COMMAND [ARGUMENTS]\n"
        << "\n"
        << "Commands:\n"
        << "  format [--json] [FILE]    lays out a raw report (chunks ended by CR) as the aligned\n"
        << "                            listing, written byte for byte (lines end in CR LF);\n"
        << "                            --json prints the fields, whether the listing was cut,\n"
        << "                            the entries, the listing and the report's bytes as one\n"
        << "                            object, as read --json does\n"
        << "  fields [--json] [FILE]    prints the model, serial, firmware and CRUM fields of a\n"
        << "                            raw report as one JSON object (null when absent), with\n"
        << "                            \"cut\": true when the listing passes its cap; it always\n"
        << "                            prints JSON, and takes --json as the other commands do\n"
        << "  simulate [--fault NAME]   runs a whole report session against the simulated printer\n"
        << "                            and prints the formatted report\n";
    print_printer_usage(out);
    print_diff_usage(out);
    out << "  --version                 prints the version: " << kProgram << ' ' << VELLUMO_VERSION
        << "\n"
        << "  --help                    shows this text\n"
        << "\n"
        << "FILE is read whole in binary; without it, standard input is read. A raw report holds\n"
        << "at most " << kMaxRawReport << " bytes; a larger one is refused.\n"
        << "\n"
        << "Options come before or after FILE. An option the command does not take, or one where\n"
        << "a value (ID, FILE, NAME) is due, is a usage error (exit 2); -- ends the options, for\n"
        << "a FILE whose name begins with '-'.\n"
        << "\n";
    print_read_failures(out);
    out << "\n"
        << "Faults of the simulated printer:\n";
    for (const PrinterFaultName& entry : printer_fault_names()) out << "  " << entry.name << '\n';
}

int failure(std::ostream& err, std::string_view message) { return say_failure(err, message); }

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

// FILE, or standard input when no FILE is given.
bool load_raw(const std::vector<std::string>& files, std::istream& in, std::string& raw,
              std::ostream& err) {
    if (files.empty()) return read_raw(in, "standard input", raw, err);
    const std::string& file = files.front();
    std::ifstream stream(file, std::ios::binary);
    if (!stream) {
        failure(err, "cannot open '" + file + "'");
        return false;
    }
    return read_raw(stream, file, raw, err);
}

bool format_raw(const std::string& raw, FormattedReport& report, std::ostream& err) {
    if (!ReportFormatter::format(raw.c_str(), report)) {
        failure(err, "not enough memory to format the report");
        return false;
    }
    if (report.cut) {
        say_cut(report, err);
    }
    return true;
}

// What format and fields print of a raw report.
enum class RawOutput { Listing, Json, Fields };

void print_raw_output(RawOutput output, const std::string& raw, const FormattedReport& report,
                      std::ostream& out) {
    switch (output) {
        case RawOutput::Listing:
            out.write(report.text.data(), static_cast<std::streamsize>(report.text.size()));
            return;
        case RawOutput::Json: {
            Json whole = report_json(report);
            whole["bytes"] = raw.size();
            out << json_line(whole);
            return;
        }
        case RawOutput::Fields: {
            Json fields = fields_json(report.fields);
            fields["cut"] = report.cut;
            out << json_line(fields);
            return;
        }
    }
}

// `format [--json] [FILE]` and `fields [--json] [FILE]`: fields prints JSON with or without
// --json, which it takes as every command that prints JSON does.
int run_format(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
               std::ostream& err) {
    const bool fields = args[0] == "fields";
    const CommandSyntax syntax{args[0], {{"--json"}}, 0, 1, "at most one FILE"};
    CommandLine line;
    if (!line.parse(syntax, {args.begin() + 1, args.end()}, err)) return kExitUsage;
    const RawOutput output = fields                ? RawOutput::Fields
                             : line.has("--json") ? RawOutput::Json
                                                  : RawOutput::Listing;
    std::string raw;
    FormattedReport report;
    if (!load_raw(line.operands(), in, raw, err) || !format_raw(raw, report, err))
        return kExitFailure;
    print_raw_output(output, raw, report, out);
    out.flush();
    return out ? kExitSuccess : failure(err, "cannot write the output");
}

// Runs the session as the program's worker does: a report buffer, and the text terminated after
// the session has stored it.
int run_simulate(const PrinterFaultName& fault, std::ostream& out, std::ostream& err) {
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

int parse_simulate(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const CommandSyntax syntax{"simulate", {{"--fault", "NAME"}}};
    CommandLine line;
    if (!line.parse(syntax, {args.begin() + 1, args.end()}, err)) return kExitUsage;
    if (!line.has("--fault")) return run_simulate(printer_fault_names().front(), out, err);
    const PrinterFaultName* fault = find_printer_fault(line.value("--fault"));
    if (fault == nullptr) return usage_error(err, "unknown fault '" + line.value("--fault") + "'");
    return run_simulate(*fault, out, err);
}

}  // namespace

int run_cli(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
            std::ostream& err, const CliEnvironment& env) {
    if (args.empty()) return usage_error(err, "no command given");
    const std::string& command = args[0];
    if (command == "--help" || command == "-h" || command == "help") {
        print_usage(out);
        return kExitSuccess;
    }
    if (command == "--version") {
        out << kProgram << ' ' << VELLUMO_VERSION << '\n';
        return kExitSuccess;
    }
    if (command == "format" || command == "fields") return run_format(args, in, out, err);
    if (command == "simulate") return parse_simulate(args, out, err);
    if (command == "list") return run_list(args, env, out, err);
    if (command == "read") return run_read(args, env, out, err);
    if (command == "diff") return run_diff(args, in, out, err);
    return usage_error(err, "unknown command '" + command + "'");
}
