// Writes the seed corpora of the fuzz targets into the folder given (fuzz/corpus): the sample
// report and report shapes for the formatter; whole sessions of the simulated printer, good and
// faulty, recorded as session scripts; odd TEMP values; bytes for the asset store; USB printers,
// clean and hostile, for the packet reader; what USB printers say of themselves (string
// descriptors, status answers, configurations), well and badly, for the descriptor decoding; and
// USB quirks files, in the printing system's shape and not.
// Usage: make_seeds CORPUS_DIR

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/asset_store.h"
#include "fuzz/checks/descriptor_checks.h"
#include "fuzz/checks/packet_checks.h"
#include "fuzz/checks/session_checks.h"
#include "link/report_session.h"
#include "report/report_text.h"
#include "sim/simulated_printer.h"

namespace {

namespace fs = std::filesystem;

void write_seed(const fs::path& folder, const std::string& name, const std::string& bytes) {
    fs::create_directories(folder);
    std::ofstream(folder / name, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The first lines of the sample report, about `size` bytes of them.
std::string report_head(std::size_t size) {
    const std::string& report = sample_report();
    const std::size_t end = report.find('\r', std::min(size, report.size() - 1));
    return report.substr(0, end == std::string::npos ? report.size() : end + 1);
}

void formatter_seeds(const fs::path& folder) {
    write_seed(folder, "sample-report", sample_report());
    write_seed(folder, "sample-head", report_head(2500));
    write_seed(folder, "entries-and-gaps",
               "Model Name : M100 \rMachine Serial Number:ZX81  USB Serial: U-7\r"
               "Pages: 120  Jams: 3  Time: 10:15:30\rSpeed: 20:30  (approx)\r"
               "A: 1  B  C: 2\r:only value\r\r\r  plain text  \r");
    write_seed(folder, "fields-and-markers",
               "Printer: Model Name: M100\rFirmware/Engine Version: V1:2\r"
               "OS Verison: 4\rImaging Unit\rToner: CRUM-0123456789ABCDEF\r"
               "Drum CRUM-1\rCRUM-99 : x\r");
    write_seed(folder, "nul-and-lf", std::string("Key: a\n b\tc\r\0Model Name: hidden\r", 33));
    // One wide key pads every entry: the listing passes its cap and is cut.
    write_seed(
        folder, "wide-key-cut", std::string(3000, 'k') + ":v\r" + [] {
            std::string lines;
            for (int i = 0; i < 400; ++i) lines += ":\r";
            return lines;
        }());
}

// A SessionLink that passes calls to the simulated printer and writes down its answers as a
// session script (see fuzz/checks/session_checks.h).
class ScriptRecorder : public SessionLink {
public:
    ScriptRecorder(SessionLink& printer, bool auto_acknowledge)
        : printer_(printer), skip_ack_(auto_acknowledge) {}

    bool write(const char* bytes, std::size_t count) override {
        const bool ok = printer_.write(bytes, count);
        script += ok ? '\1' : '\0';
        return ok;
    }

    bool read(char* buffer, std::size_t count, std::size_t& received) override {
        const bool ok = printer_.read(buffer, count, received);
        if (skip_ack_) {
            skip_ack_ = false;
            return ok;
        }
        if (!ok)
            script += '\2';
        else if (received == 0)
            script += '\3';
        else if (received == count)
            script += '\0';
        else
            script += partial(received);
        if (ok) script.append(buffer, received);
        return ok;
    }

    std::string script;

private:
    static std::string partial(std::size_t n) {
        return {static_cast<char>((n >> 16) << 2 | 1), static_cast<char>(n >> 8 & 0xFF),
                static_cast<char>(n & 0xFF)};
    }

    SessionLink& printer_;
    bool skip_ack_;
};

struct SessionSeed {
    const char* name;
    std::string report;
    PrinterFault fault;
    std::size_t chunk_size;
    std::size_t capacity = kReportBufferSize;
    bool auto_acknowledge = false;
};

std::string record(const SessionSeed& seed) {
    SimulatedPrinter printer(seed.report, seed.fault);
    printer.set_chunk_size(seed.chunk_size);
    SimulatedPrinterLink link(printer);
    ScriptRecorder recorder(link, seed.auto_acknowledge);
    std::vector<char> buffer(seed.capacity);
    std::size_t length = 0;
    ReportSession::run(recorder, buffer.data(), seed.capacity, length);
    std::uint8_t flags = session_checks::kScriptedWrites;
    if (seed.auto_acknowledge) flags |= session_checks::kAutoAcknowledge;
    std::string out(1, static_cast<char>(flags));
    if (seed.capacity != kReportBufferSize) {
        out[0] = static_cast<char>(flags | session_checks::kCustomCapacity);
        const std::size_t c = seed.capacity - 1;
        out += {static_cast<char>(c >> 16), static_cast<char>(c >> 8 & 0xFF),
                static_cast<char>(c & 0xFF)};
    }
    return out + recorder.script;
}

void session_seeds(const fs::path& folder) {
    const std::string head = report_head(2500);
    const std::string small = report_head(300);
    const std::vector<SessionSeed> seeds{
        {"whole-sample", sample_report(), PrinterFault::None, 1000},
        {"head-auto-ack", head, PrinterFault::None, 200, kReportBufferSize, true},
        {"head-chunks-of-1500", head, PrinterFault::None, 1500},
        {"silence", small, PrinterFault::Silence, 100},
        {"wrong-ack", small, PrinterFault::WrongAcknowledgement, 100},
        {"short-ack", small, PrinterFault::ShortAcknowledgement, 100},
        {"short-header", head, PrinterFault::ShortHeader, 300},
        {"short-chunk", head, PrinterFault::ShortChunk, 300},
        {"timeout-in-loop", head, PrinterFault::TimeoutInChunkLoop, 300},
        {"enormous-length", small, PrinterFault::EnormousLength, 100},
        {"zero-length-chunks", small, PrinterFault::ZeroLengthChunk, 60},
        {"second-word", small, PrinterFault::NonZeroSecondWord, 60},
        {"end-marker-first", small, PrinterFault::EndMarkerFirst, 100},
        {"disconnect-mid-chunk", head, PrinterFault::DisconnectMidChunk, 300},
        {"partial-write", small, PrinterFault::PartialWrite, 100},
        {"overflow-small-buffer", head, PrinterFault::None, 200, 700},
        {"fits-tiny-buffer", small, PrinterFault::None, 40, small.size() + 4},
        {"chunk-over-tiny-buffer", small, PrinterFault::None, 100, 50, true},
    };
    for (const SessionSeed& seed : seeds) write_seed(folder, seed.name, record(seed));
    // A used-up script that still ends the report: the acknowledgement alone.
    write_seed(folder, "ack-then-end",
               std::string(1, static_cast<char>(session_checks::kAutoAcknowledge |
                                                session_checks::kEndWhenUsedUp)));
}

std::string path_input(std::uint8_t flags, const std::string& temp, const std::string& fallback) {
    return std::string{static_cast<char>(flags), static_cast<char>(temp.size() >> 8),
                       static_cast<char>(temp.size() & 0xFF)} +
           temp + fallback;
}

void export_path_seeds(const fs::path& folder) {
    const std::string system = "C:\\Windows\\Temp\\";
    write_seed(folder, "usual", path_input(0, "C:\\Users\\me\\AppData\\Local\\Temp", system));
    write_seed(folder, "temp-empty", path_input(0, "", system));
    write_seed(folder, "temp-unset", path_input(1, "", system));
    write_seed(folder, "temp-246", path_input(0, "C:\\" + std::string(243, 't'), system));
    write_seed(folder, "temp-247", path_input(0, "C:\\" + std::string(244, 't'), system));
    write_seed(folder, "temp-300-trailing-backslash",
               path_input(0, std::string(299, 't') + "\\", system));
    write_seed(folder, "temp-with-nul", path_input(0, std::string("C:\\a\0b", 6), system));
    write_seed(folder, "temp-cp1251",
               path_input(0, "C:\\\xC2\xF0\xE5\xEC\xE5\xED\xED\xFB\xE5", system));
    write_seed(folder, "unc-no-separator", path_input(1, "", "\\\\server\\share\\temp"));
    write_seed(folder, "fallback-slash", path_input(1, "", "/tmp/"));
    write_seed(folder, "fallback-247-separator", path_input(1, "", std::string(246, 'f') + "\\"));
    write_seed(folder, "fallback-248-separator", path_input(1, "", std::string(247, 'f') + "\\"));
    write_seed(folder, "neither", path_input(3, "", ""));
    write_seed(folder, "both-too-long",
               path_input(0, std::string(400, 't'), std::string(400, 'f')));
}

void asset_seeds(const fs::path& folder) {
    write_seed(folder, "empty", "");
    write_seed(folder, "one-byte", "\x6D");
    for (int id = 0; id < static_cast<int>(AssetId::Count) + 2; ++id) {
        write_seed(folder, "asset-" + std::to_string(id),
                   std::string(1, static_cast<char>(id)) + "scrambled text");
    }
    write_seed(folder, "refused", "\xF7 memory refused");
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i * 37 + 11);
    write_seed(folder, "all-byte-values", bytes);
}

void packet_seeds(const fs::path& folder) {
    using namespace packet_checks::script;
    using packet_checks::kClean;
    using packet_checks::kDrainFirst;
    using packet_checks::kEndWithLast;
    using packet_checks::kZeroLength;
    const std::string ack(session_command::kAcknowledgement);
    const std::string lines = report_head(1400);
    // Chunks whose replies fill whole packets of 8, 16, 64 and 512 bytes, and ordinary ones.
    const std::string whole_packets = chunk(std::string(4, 'a')) + chunk(std::string(52, 'b')) +
                                      chunk(std::string(500, 'c'), 40) + chunk("", 0, true) +
                                      chunk(lines.substr(0, 999), 100) +
                                      chunk(lines.substr(0, 1023), 20, true);
    const char* sizes[] = {"8", "16", "64", "512"};
    for (int size = 0; size < 4; ++size) {
        write_seed(folder, std::string("clean-no-zlp-") + sizes[size],
                   flags(size, 8, kClean) + whole_packets);
        write_seed(folder, std::string("clean-zlp-") + sizes[size],
                   flags(size, 8, kClean | kZeroLength) + whole_packets);
    }
    write_seed(folder, "clean-one-packet-transfers", flags(2, 1, kClean) + whole_packets);
    // A whole report that ends on a packet boundary, the last reply before the printer waits.
    const std::size_t filling[] = {0, 8, 40, 488};
    for (int size = 0; size < 4; ++size) {
        write_seed(folder, std::string("clean-no-zlp-report-in-whole-packets-") + sizes[size],
                   flags(size, 8, kClean | kEndWithLast) + chunk(std::string(filling[size], 'd')));
    }
    // A hostile printer's replies, each after the command it answers.
    const std::string acknowledged = after_write() + reply(ack) + after_write();
    const std::string stop_answer = after_write() + reply(ack);
    const std::string session = acknowledged + reply(header(0, 40) + std::string(40, 'x')) +
                                reply(header(0, 600) + lines.substr(0, 600), true) +
                                reply(header(1, 0)) + stop_answer;
    write_seed(folder, "hostile-whole-session-64", flags(2, 8) + session);
    write_seed(folder, "hostile-whole-session-512", flags(3, 8) + session);
    write_seed(folder, "hostile-stall-mid-chunk",
               flags(2, 8) + acknowledged + reply(header(0, 300) + lines.substr(0, 100)) + error() +
                   reply(lines.substr(100, 200)) + stop_answer);
    write_seed(folder, "hostile-interrupt-then-stop-answer",
               flags(2, 4) + acknowledged + reply(header(0, 200)) + pause(100) + interrupt() +
                   reply(lines.substr(0, 200)) + stop_answer);
    write_seed(folder, "hostile-time-out-mid-chunk",
               flags(1, 8) + acknowledged + full_packet(header(0, 20) + "abcd") + past_time_out() +
                   reply(std::string(16, 'y')) + stop_answer);
    write_seed(folder, "hostile-zero-length-packets",
               flags(0, 2) + zero_length_packet() + after_write() + reply(ack) +
                   zero_length_packet() + after_write() + zero_length_packet() +
                   reply(header(0, 9) + "123456789") + reply(header(1, 0)) + stop_answer);
    // Stale output from an earlier session, which the opening's drain must drop.
    write_seed(folder, "hostile-drain-stale-then-session",
               flags(2, 8, kDrainFirst) + drain_limits(4096, 2000, 30, 500) +
                   reply(lines.substr(0, 700)) + reply(ack) + session);
    // ... with pauses longer than the drain's first wait: it waits them out.
    write_seed(folder, "hostile-drain-talking-with-pauses",
               flags(2, 8, kDrainFirst) + drain_limits(4096, 2000, 30, 500) +
                   reply(header(0, 300) + lines.substr(0, 300)) + pause(100) +
                   reply(header(0, 200) + lines.substr(300, 200)) + pause(248) +
                   reply(header(1, 0)) + reply(ack) + session);
}

std::string utf16(const std::string& ascii) {
    std::string units;
    for (const char c : ascii) units += {c, '\0'};
    return units;
}

void descriptor_seeds(const fs::path& folder) {
    using namespace descriptor_checks::script;
    write_seed(folder, "string-product", string_descriptor(16, utf16("LP-3020")));
    write_seed(folder, "string-languages", string_descriptor(4, "\x09\x04"));
    write_seed(folder, "string-length-zero", string_descriptor(0, utf16("LP")));
    write_seed(folder, "string-length-one", string_descriptor(1, utf16("LP")));
    write_seed(folder, "string-odd-length", string_descriptor(7, utf16("LP-")));
    write_seed(folder, "string-longer-than-sent", string_descriptor(40, utf16("LP")));
    write_seed(folder, "string-surrogates-and-controls",
               string_descriptor(14, std::string("\x3D\xD8\xA8\xDD\x00\xD8\x1B\x00\x9B\x00"
                                                 "A\x00",
                                                 12)));
    write_seed(folder, "string-full-buffer", string_descriptor(255, std::string(253, 'A')));
    write_seed(folder, "status-halted", status(std::string("\x01\x00", 2)));
    write_seed(folder, "status-not-halted", status(std::string("\x00\x00", 2)));
    write_seed(folder, "status-short", status(std::string(1, '\x01')));
    const std::string bidirectional = setting(0, 0, 2, 2) + bulk(0x01, 64) + bulk(0x82, 64);
    write_seed(folder, "config-bidirectional", configuration(config_header(32, 1) + bidirectional));
    write_seed(
        folder, "config-ipp-1284-then-bidirectional-512",
        configuration(config_header(9 + 3 * 23, 3) + setting(0, 0, 4, 2) + bulk(0x01, 512) +
                      bulk(0x82, 512) + setting(1, 0, 3, 2) + bulk(0x03, 512) + bulk(0x84, 512) +
                      setting(2, 0, 2, 2) + bulk(0x05, 512) + bulk(0x86, 512)));
    write_seed(folder, "config-alternate-settings",
               configuration(config_header(9 + 16 + 23, 1) + setting(0, 0, 1, 1) + bulk(0x01, 64) +
                             setting(0, 1, 2, 2) + bulk(0x01, 64) + bulk(0x82, 64)));
    write_seed(folder, "config-endpoints-cut-off",
               configuration(config_header(20, 1) + setting(0, 0, 2, 2) + "\x07\x05"));
    write_seed(
        folder, "config-packet-size-zero",
        configuration(config_header(32, 1) + setting(0, 0, 2, 2) + bulk(0x01, 64) + bulk(0x82, 0)));
    write_seed(folder, "config-vendor-class-then-printer",
               configuration(config_header(9 + 2 * 23, 2) + setting(0, 0, 0, 2, 0xFF) +
                             bulk(0x03, 64) + bulk(0x84, 64) + bidirectional));
}

}  // namespace

// Quirks files: in the printing system's own shape, and lines a file should not hold. None is
// larger than a few hundred bytes, which keeps the runs quick (the core tests fill the table to
// its bound of entries).
void quirks_seeds(const fs::path& folder) {
    write_seed(folder, "entries",
               "# A comment, then a blank line\n\n"
               "0x04e8 soft-reset\n0x04e8 0x344f whitelist\n0x04e8 0x330f unidir\n"
               "0x03F0 0x002A no-reattach\n0x03f0 0x0c17 delay-close\n"
               "0x0924 0x3ce9 no-reattach soft-reset unidir\n0x413c 0x0001 usb-init vendor-class\n");
    write_seed(folder, "crlf-tabs-and-trailing-comments",
               "0x04e8\t0x3301\tsoft-reset\r\n  0x0924 no-reattach # and a note blacklist\r\n");
    write_seed(folder, "odd-lines",
               "0x0000 unidir\n0x10000 0x1 unidir\n0x04e8 0x12345 unidir\nunidir\n"
               "0x04e8 0x3301 Soft-Reset\n0x04e8 0x3301 soft_reset\n0x04e8 0x3301 -x\n"
               "0x04e8 0x0 unidir unidir future-word\n0x04e8 0x3301\n0x\n");
    constexpr char kOddBytes[] = "0x04e8 0x3301 uni\0dir\n0x04e8 0x3302 \xc3\xa9t\xe9\n";
    write_seed(folder, "nul-and-high-bytes", std::string(kOddBytes, sizeof kOddBytes - 1));
    write_seed(folder, "long-line", "0x04e8 0x3301 " + std::string(600, 'a') + "\n0x04e8 unidir");
    write_seed(folder, "seventeen-words",
               "0x04e8 0x3301 a b c d e f g h i j k l m n o p q\n");
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds CORPUS_DIR\n");
        return 2;
    }
    const fs::path corpus = argv[1];
    formatter_seeds(corpus / "formatter_fuzzer");
    session_seeds(corpus / "session_fuzzer");
    export_path_seeds(corpus / "export_path_fuzzer");
    asset_seeds(corpus / "asset_fuzzer");
    packet_seeds(corpus / "packet_fuzzer");
    descriptor_seeds(corpus / "descriptor_fuzzer");
    quirks_seeds(corpus / "usb_quirks_fuzzer");
    return 0;
}
