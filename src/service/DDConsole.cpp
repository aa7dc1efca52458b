#include "DDConsole.h"

#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <mutex>

#include "Utilities.h"
#include "WriteAll.h"

namespace pelmar {

std::uint8_t ConsoleLevel = 1;
std::atomic<bool> ClosingByWindow{false};
std::atomic<bool> IsConsole{false};

namespace {

// Terminal attributes for highlighted lines: white on red, then back to the default.
constexpr const char* HighlightOn = "\x1b[37;41m";
constexpr const char* HighlightOff = "\x1b[0m";

std::mutex ConsoleLock;  // keeps each line and its colour change together
int OutputHandle = STDOUT_FILENO;
int InputHandle = STDIN_FILENO;
int TestOutput = -1;
int TestInput = -1;
std::atomic<bool> Opened{false};
// A console borrowed from the parent; a terminal program never is, so the prompt always shows.
bool ConsoleAttached = false;

std::vector<std::string>& Arguments() {
  static std::vector<std::string> Args;
  return Args;
}

std::function<bool()>& AdminTest() {
  static std::function<bool()> Test;
  return Test;
}

}  // namespace

void ConsoleInit(TConsoleCtrlHandler CloseHandler) {
  ConsoleAttached = false;
  OutputHandle = TestOutput >= 0 ? TestOutput : STDOUT_FILENO;
  InputHandle = TestInput >= 0 ? TestInput : STDIN_FILENO;
  IsConsole = true;
  Opened = true;
  SetConsoleCtrlHandler(std::move(CloseHandler));
}

void ConsoleWrite(const std::string& Msg, bool Highlight, std::uint8_t Level) {
  std::lock_guard Guard(ConsoleLock);
  if (!IsConsole || !Opened || ConsoleLevel < Level)
    return;
  std::string Line;
  if (Highlight && isatty(OutputHandle) != 0)
    Line = HighlightOn + Msg + HighlightOff + "\n";
  else
    Line = Msg + "\n";
  WriteAll(OutputHandle, Line);
}

void ConsoleDone() {
  if (!IsConsole)
    return;
  if (Opened && !ClosingByWindow && !ConsoleAttached && isatty(InputHandle) != 0) {
    tcflush(InputHandle, TCIFLUSH);
    ConsoleWrite("-- Press any key to close window --", false, 1);
    // The terminal's line mode ends the read with the Enter key.
    char Buffer[1024];
    while (read(InputHandle, Buffer, sizeof Buffer) < 0 && errno == EINTR) {
    }
  }
  std::lock_guard Guard(ConsoleLock);
  Opened = false;
  IsConsole = false;
}

void SetConsoleTitle(const std::string& Title) {
  std::lock_guard Guard(ConsoleLock);
  if (!Opened || isatty(OutputHandle) == 0)
    return;
  std::string Clean;
  for (char C : Title)
    if (static_cast<unsigned char>(C) >= 0x20 && C != 0x7F)
      Clean += C;
  WriteAll(OutputHandle, "\x1b]0;" + Clean + "\x07");
}

bool ConsoleOpened() {
  return Opened;
}

void SetConsoleHandles(int Output, int Input) {
  TestOutput = Output;
  TestInput = Input;
}

void SetCommandLine(int ArgC, char** ArgV) {
  std::vector<std::string> Args;
  for (int I = 0; I < ArgC; ++I)
    Args.emplace_back(ArgV[I] != nullptr ? ArgV[I] : "");
  SetCommandLine(std::move(Args));
}

void SetCommandLine(std::vector<std::string> Args) {
  Arguments() = std::move(Args);
}

const std::vector<std::string>& CommandLine() {
  return Arguments();
}

bool FindSwitch(const std::string& Name) {
  const std::vector<std::string>& Args = Arguments();
  for (std::size_t I = 1; I < Args.size(); ++I) {
    const std::string& A = Args[I];
    if (!A.empty() && (A[0] == '-' || A[0] == '/') && SameText(A.substr(1), Name))
      return true;
  }
  return false;
}

bool IsInstallMode() {
  return FindSwitch("INSTALL") || FindSwitch("UNINSTALL");
}

bool IsAdmin() {
  if (AdminTest())
    return AdminTest()();
  return geteuid() == 0;
}

void SetAdminTest(std::function<bool()> Test) {
  AdminTest() = std::move(Test);
}

bool IsWin2000OrLater() {
  return true;
}

bool IsWinXPOrLater() {
  return true;
}

bool IsVistaOrLater() {
  return true;
}

void NameThreadForDebugger(const std::string& Name) {
  SetThreadName(Name);
}

bool IsValidServiceName(const std::string& Name) {
  // Characters, not bytes: a UTF-8 continuation byte adds nothing to the count.
  std::size_t Characters = 0;
  for (char C : Name) {
    if (C == '/' || C == '\\')
      return false;
    if ((static_cast<unsigned char>(C) & 0xC0) != 0x80)
      ++Characters;
  }
  return Characters >= 1 && Characters <= 256;
}

bool EnableShutdownPrivilege() {
  return true;
}

}  // namespace pelmar
