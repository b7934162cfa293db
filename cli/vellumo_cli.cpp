// The command-line companion's entry: binary standard streams, then the portable commands.

#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#endif

#include "cli/cli_commands.h"

int main(int argc, char** argv) {
#ifdef _WIN32
    // Reports carry CR and CR LF as they are; text mode would add or drop CRs.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    const std::vector<std::string> args(argv + 1, argv + argc);
    return run_cli(args, std::cin, std::cout, std::cerr);
}
