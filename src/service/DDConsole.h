// The service host's console: a line writer with a level threshold, an error highlight and a
// closing key prompt, used in debug mode and when installing or uninstalling from a terminal; and
// the small system utilities of the service host (command-line switches, administrator test,
// thread names, service-name check).
//
// The console is the terminal the program runs in: ConsoleWrite writes to standard output, the
// closing prompt reads standard input. The console's close handler receives the console control
// events that ControlSignals makes of SIGINT, SIGQUIT and SIGHUP.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ControlSignals.h"

namespace pelmar {

// Highest message level printed: 0 errors (always), 1 outcome lines, 2 progress lines (VERBOSE),
// 3 diagnostic lines (DEBUG). Set at start-up, before other threads exist.
extern std::uint8_t ConsoleLevel;
// Set by the close handler when the terminal is being closed; suppresses the closing prompt.
extern std::atomic<bool> ClosingByWindow;
// The console-program mark: set by the program entry (and by ConsoleInit), cleared by
// ConsoleDone. The writer prints only while it is set.
extern std::atomic<bool> IsConsole;

// Opens the console (standard output and input), sets the console-program mark and installs
// CloseHandler for the console control events. Before it has run nothing is printed.
void ConsoleInit(TConsoleCtrlHandler CloseHandler);
// Writes Msg and a line feed in one write when the console is open, the mark is set and
// ConsoleLevel >= Level. Highlighted lines are white on red when the output is a terminal; to a
// file or pipe the text goes plain. Safe from any thread; never fails.
void ConsoleWrite(const std::string& Msg, bool Highlight = false, std::uint8_t Level = 1);
// The last step of the process: unless the terminal was closed, writes
// "-- Press any key to close window --" and waits for one line of input; then releases the
// console and clears the mark. The prompt and the wait happen only when standard input is a
// terminal: with a pipe or file nobody is there to answer, and the program must not hang.
void ConsoleDone();
// Sets the terminal's window title (nothing when the console is closed or the output is no
// terminal).
void SetConsoleTitle(const std::string& Title);
// True between ConsoleInit and ConsoleDone.
bool ConsoleOpened();
// Tests: the descriptors the console writes to and reads from (standard output and input unless
// set). Takes effect for the next ConsoleInit; the caller keeps ownership.
void SetConsoleHandles(int Output, int Input);

// The process's arguments, the program first. Set by the program entry; tests replace them.
void SetCommandLine(int ArgC, char** ArgV);
void SetCommandLine(std::vector<std::string> Args);
const std::vector<std::string>& CommandLine();

// True when an argument after the program's own name starts with '-' or '/' and the rest equals
// Name without regard to case.
bool FindSwitch(const std::string& Name);
// FindSwitch("INSTALL") or FindSwitch("UNINSTALL").
bool IsInstallMode();

// True when the process runs as root (effective user id 0).
bool IsAdmin();
// Tests: replaces the administrator test (empty: the real one).
void SetAdminTest(std::function<bool()> Test);

// The operating-system version tests; every supported system qualifies.
bool IsWin2000OrLater();
bool IsWinXPOrLater();
bool IsVistaOrLater();

// Names the calling thread for debuggers and ps (at most 15 bytes are kept).
void NameThreadForDebugger(const std::string& Name);

// True when Name has 1 to 256 characters and contains neither '/' nor '\'.
bool IsValidServiceName(const std::string& Name);

// The right to shut the system down; no privilege needs enabling here, so always true.
bool EnableShutdownPrivilege();

}  // namespace pelmar
