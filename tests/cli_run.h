#pragma once
// The companion run in-process, as the tests drive it: its exit code and what it wrote.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_commands.h"

struct CliRun {
    int code;
    std::string out;
    std::string err;
};

// With VELLUMO_JSON_SAMPLES naming a folder, each JSON output of the companion is kept there in
// a file named after its shape ("list", "reading", "read-all", "report", "fields", "diff"), so
// that tests/json_schema_check.py validates what the tests saw against
// docs/vellumo-cli.schema.json.
inline void keep_json_sample(const std::vector<std::string>& args, const std::string& out) {
    const char* folder = std::getenv("VELLUMO_JSON_SAMPLES");
    const auto has = [&args](const char* option) {
        return std::find(args.begin(), args.end(), option) != args.end();
    };
    if (folder == nullptr || *folder == '\0' || args.empty() || out.empty()) return;
    std::string shape;
    if (args[0] == "fields") {
        shape = "fields";
    } else if (!has("--json")) {
        return;
    } else if (args[0] == "list" || args[0] == "format" || args[0] == "diff") {
        shape = args[0] == "format" ? "report" : args[0];
    } else if (args[0] == "read") {
        shape = has("--all") ? "read-all" : "reading";
    } else {
        return;
    }
    // Test programs run one test a process and several at once: a time and a count tell apart.
    static std::atomic<unsigned> kept{0};
    const auto now = std::chrono::system_clock::now().time_since_epoch().count();
    std::ofstream(std::string(folder) + "/" + shape + "-" + std::to_string(now) + "-" +
                      std::to_string(kept++) + ".json",
                  std::ios::binary)
        << out;
}

// Runs `args` with `input` on standard input and the printers of `printers` (none when null).
inline CliRun run_companion(const std::vector<std::string>& args, PrinterBus* printers = nullptr,
                            const std::string& input = "", bool progress = false) {
    std::istringstream in(input);
    std::ostringstream out;
    std::ostringstream err;
    CliEnvironment env;
    env.printers = printers;
    env.progress = progress;
    const int code = run_cli(args, in, out, err, env);
    keep_json_sample(args, out.str());
    return {code, out.str(), err.str()};
}

// The same against this system's own printers (USB through libusb, or the Windows channel).
inline CliRun run_companion_on_system(const std::vector<std::string>& args) {
    const std::unique_ptr<PrinterBus> bus = system_printer_bus();
    return run_companion(args, bus.get());
}
