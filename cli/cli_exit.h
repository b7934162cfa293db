#pragma once
// Exit codes of the companion, and the one line on stderr that goes with a failure.

#include <ostream>
#include <string_view>

inline constexpr std::string_view kProgram = "vellumo-cli";

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;  // a file, the output, the report or the simulation failed
inline constexpr int kExitUsage = 2;    // the command line was wrong
// A reading of a real printer that failed, one code per way it can fail.
inline constexpr int kExitNoPrinter = 3;          // none attached, or none with the id given
inline constexpr int kExitCannotOpen = 4;         // permission denied, busy, gone meanwhile
inline constexpr int kExitNoAcknowledgement = 5;  // the printer did not acknowledge the start
inline constexpr int kExitHeaderTimeout = 6;      // timed out waiting for a chunk header
inline constexpr int kExitChunkTimeout = 7;       // timed out waiting for a chunk's text
inline constexpr int kExitReportTooLarge = 8;     // the report does not fit the report buffer
inline constexpr int kExitDeviceGone = 9;         // the printer went away during the session
inline constexpr int kExitTransferFailed = 10;    // a transfer failed or came incomplete
inline constexpr int kExitBlacklisted = 11;       // the printing system knows the model unusable
inline constexpr int kExitSignalBase = 128;       // plus the signal that interrupted a reading
inline constexpr int kExitInterrupted = 130;      // Ctrl+C (SIGINT)

// "vellumo-cli: MESSAGE"; returns `code`.
inline int say_failure(std::ostream& err, std::string_view message, int code = kExitFailure) {
    err << kProgram << ": " << message << '\n';
    return code;
}

// "vellumo-cli: MESSAGE (see vellumo-cli --help)"; returns kExitUsage.
inline int usage_error(std::ostream& err, std::string_view message) {
    err << kProgram << ": " << message << " (see " << kProgram << " --help)\n";
    return kExitUsage;
}
