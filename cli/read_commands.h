#pragma once
// The companion's commands that reach real printers: `list` the supported printers attached,
// and `read` one of them (or each in turn): one whole report session, then the listing (or
// JSON). Portable: the printers come from a PrinterBus.

#include <iosfwd>
#include <string>
#include <vector>

#include "cli/printer_bus.h"
#include "report/report_formatter.h"

// `list [--json]` and `read [--device ID] [--all] [--json] [--raw FILE]`; `args` starts with the
// command.
int run_list(const std::vector<std::string>& args, const CliEnvironment& env, std::ostream& out,
             std::ostream& err);
int run_read(const std::vector<std::string>& args, const CliEnvironment& env, std::ostream& out,
             std::ostream& err);

// Says on `err` that the listing of `report` is incomplete, and how much of it it holds.
void say_cut(const FormattedReport& report, std::ostream& err);

// The help text of the two commands, and of the ways a reading fails.
void print_printer_usage(std::ostream& out);
void print_read_failures(std::ostream& out);
