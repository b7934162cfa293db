#pragma once
// The console's events on Windows, for the companion only: Ctrl+C and Ctrl+Break end a reading
// in order (the printer's pipes closed first, then exit 130), and the console's close, log-off
// and shutdown close the pipes before the process ends. The dialog program installs nothing.

#include <windows.h>

// Exit codes when the console goes away: those of the signals that end the companion on Linux
// in the same cases, 128 + SIGHUP for a closed terminal and 128 + SIGTERM at shutdown.
inline constexpr int kExitConsoleClosed = 129;
inline constexpr int kExitShutDown = 143;

// Installs on_console_event for this process; false when the system refuses it.
bool end_readings_on_console_events() noexcept;

// The handler, called by the system on a thread of its own. Ctrl+C or Ctrl+Break during a
// reading asks it to stop: its next or current call of the link fails as interrupted, at most
// one read time-out later (the pending read of the program's link cannot be cancelled from
// outside it), after the pipes are closed; a second one, or one with no reading open, ends the
// process with 130 at once. Close and log-off end it with kExitConsoleClosed, shutdown with
// kExitShutDown, once the pipes are closed (or, should the link stay busy for 4 s, by the
// system's closing them as the process ends).
BOOL WINAPI on_console_event(DWORD event) noexcept;
