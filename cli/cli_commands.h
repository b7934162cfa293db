#pragma once
// The command-line companion: formats a raw report, prints its four fields as JSON, or runs a
// whole session against the simulated printer. Portable; the program's main() only sets up the
// standard streams.

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_exit.h"
#include "cli/json_text.h"
#include "cli/printer_bus.h"
#include "report/report_text.h"
#include "sim/simulated_printer.h"

// Runs the command in `args` (without the program name); returns the exit code. The printer
// commands (list, read) reach printers through `env`.
int run_cli(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
            std::ostream& err, const CliEnvironment& env = {});
