// The command-line companion's entry: binary standard streams, the printers of this system, then
// the portable commands.

#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "cli/console_events.h"
#else
#include <unistd.h>

#include <csignal>
#endif

#include "cli/cli_commands.h"

namespace {

bool stderr_is_terminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    // Reports carry CR and CR LF as they are; text mode would add or drop CRs.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    // Ctrl+C and the console's close give the printer's pipes back before the process ends.
    end_readings_on_console_events();
#else
    // A reader of the output that went away (`| head -1`) is a failed write, said in one line.
    std::signal(SIGPIPE, SIG_IGN);
    // So is a file beyond the size limit (`ulimit -f`): --raw's temporary file is then removed.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    const std::vector<std::string> args(argv + 1, argv + argc);
    const auto printers = system_printer_bus();
    CliEnvironment env;
    env.printers = printers.get();
    env.progress = stderr_is_terminal();
    return run_cli(args, std::cin, std::cout, std::cerr, env);
}
