// ctest-label: os
//
// The console writer and the service host's small utilities: switches, service names, thread
// names; the writer on a pipe and on a pseudo-terminal, and its closing prompt.
#include "DDConsole.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "PtyPair.h"
#include "ToolProcess.h"

namespace pelmar {
namespace {

using namespace std::chrono_literals;

TEST(DDConsoleTest, FindSwitchTakesDashOrSlashInAnyCaseAfterTheProgramName) {
  struct TCase {
    std::vector<std::string> Args;
    const char* Name;
    bool Found;
  } Cases[] = {
      {{"prog", "/INSTALL"}, "INSTALL", true},
      {{"prog", "-install"}, "INSTALL", true},
      {{"prog", "/Install"}, "INSTALL", true},
      {{"prog", "/svc", "-DEBUG"}, "DEBUG", true},
      {{"prog", "INSTALL"}, "INSTALL", false},    // no prefix: no switch
      {{"prog", "--install"}, "INSTALL", false},  // the rest is "-install"
      {{"prog", "/INSTALLX"}, "INSTALL", false},
      {{"prog", "/INST"}, "INSTALL", false},
      {{"prog", "\\INSTALL"}, "INSTALL", false},
      {{"/INSTALL"}, "INSTALL", false},  // the program's own name is no argument
      {{"prog", ""}, "INSTALL", false},
      {{"prog", "/foo", "/bar", "/SVC"}, "SVC", true},
  };
  for (const TCase& C : Cases) {
    SetCommandLine(C.Args);
    std::string Text;
    for (const std::string& A : C.Args)
      Text += A + " ";
    EXPECT_EQ(C.Found, FindSwitch(C.Name)) << Text << "switch " << C.Name;
  }
  SetCommandLine(std::vector<std::string>{});
}

TEST(DDConsoleTest, InstallModeIsEitherInstallOrUninstall) {
  struct TCase {
    std::vector<std::string> Args;
    bool Install;
  } Cases[] = {
      {{"p", "-install"}, true}, {{"p", "/INSTALL"}, true}, {{"p", "/uninstall"}, true},
      {{"p", "INSTALL"}, false}, {{"p", "/SVC"}, false},    {{"p"}, false},
  };
  for (const TCase& C : Cases) {
    SetCommandLine(C.Args);
    EXPECT_EQ(C.Install, IsInstallMode()) << (C.Args.size() > 1 ? C.Args[1] : "(none)");
  }
  SetCommandLine(std::vector<std::string>{});
}

TEST(DDConsoleTest, ArgCArgVFormKeepsEveryArgument) {
  char Prog[] = "prog", A[] = "/svc", B[] = "-Debug";
  char* Argv[] = {Prog, A, B, nullptr};
  SetCommandLine(3, Argv);
  EXPECT_EQ((std::vector<std::string>{"prog", "/svc", "-Debug"}), CommandLine());
  EXPECT_TRUE(FindSwitch("DEBUG"));
  SetCommandLine(std::vector<std::string>{});
}

TEST(DDConsoleTest, ServiceNamesHaveOneTo256CharactersWithoutSlashes) {
  std::string Cyrillic;
  for (int I = 0; I < 256; ++I)
    Cyrillic += "\xd0\x96";  // one character, two bytes
  struct TCase {
    std::string Name;
    bool Valid;
  } Cases[] = {
      {"PelCID", true},
      {std::string(256, 'a'), true},
      {std::string(257, 'a'), false},
      {"", false},
      {"a/b", false},
      {"a\\b", false},
      {"with space", true},
      {Cyrillic, true},
      {Cyrillic + "x", false},
  };
  for (const TCase& C : Cases)
    EXPECT_EQ(C.Valid, IsValidServiceName(C.Name)) << C.Name.size() << " bytes: " << C.Name;
}

TEST(DDConsoleTest, AdminTestIsRootUnlessReplaced) {
  EXPECT_EQ(geteuid() == 0, IsAdmin());
  SetAdminTest([] { return false; });
  EXPECT_FALSE(IsAdmin());
  SetAdminTest([] { return true; });
  EXPECT_TRUE(IsAdmin());
  SetAdminTest(nullptr);
  EXPECT_EQ(geteuid() == 0, IsAdmin());
}

TEST(DDConsoleTest, ThreadNamesAreKeptUpTo15Bytes) {
  struct TCase {
    const char* Name;
    const char* Kept;
  } Cases[] = {
      {"Service work", "Service work"},
      {"Service main thread", "Service main th"},
  };
  for (const TCase& C : Cases) {
    char Got[32] = {};
    std::thread([&] {
      NameThreadForDebugger(C.Name);
      pthread_getname_np(pthread_self(), Got, sizeof Got);
    }).join();
    EXPECT_STREQ(C.Kept, Got) << C.Name;
  }
}

// The console writer on a pipe or a terminal, opened and closed around each test.
class ConsoleWriterTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // Closes the console without a prompt, whatever the test left.
    ClosingByWindow = true;
    IsConsole = true;
    ConsoleDone();
    ClosingByWindow = false;
    SetConsoleHandles(-1, -1);
    ConsoleLevel = 1;
    if (FPipe[0] >= 0) {
      close(FPipe[0]);
      close(FPipe[1]);
    }
    if (FNull >= 0)
      close(FNull);
  }

  // Opens the console on a pipe (input: /dev/null).
  void OpenOnPipe() {
    ASSERT_EQ(0, pipe2(FPipe, O_CLOEXEC | O_NONBLOCK));
    FNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    SetConsoleHandles(FPipe[1], FNull);
    IsConsole = true;
    ConsoleInit(nullptr);
  }

  std::string Piped() {
    std::string Text;
    char Buf[512];
    for (ssize_t N; (N = read(FPipe[0], Buf, sizeof Buf)) > 0;)
      Text.append(Buf, static_cast<std::size_t>(N));
    return Text;
  }

  int FPipe[2] = {-1, -1};
  int FNull = -1;
};

TEST_F(ConsoleWriterTest, NothingIsPrintedBeforeTheConsoleIsOpenedOrWithoutTheMark) {
  ASSERT_EQ(0, pipe2(FPipe, O_CLOEXEC | O_NONBLOCK));
  FNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  SetConsoleHandles(FPipe[1], FNull);
  IsConsole = true;
  ConsoleWrite("before init", true, 0);
  EXPECT_EQ("", Piped());
  ConsoleInit(nullptr);
  IsConsole = false;
  ConsoleWrite("without the mark", false, 0);
  EXPECT_EQ("", Piped());
  IsConsole = true;
  ConsoleWrite("now", false, 0);
  EXPECT_EQ("now\n", Piped());
}

TEST_F(ConsoleWriterTest, LevelsAboveTheThresholdAreNotPrinted) {
  OpenOnPipe();
  struct TCase {
    std::uint8_t Threshold;
    std::uint8_t Level;
    bool Printed;
  } Cases[] = {
      {1, 0, true},  {1, 1, true}, {1, 2, false}, {1, 3, false}, {2, 2, true},
      {2, 3, false}, {3, 3, true}, {0, 0, true},  {0, 1, false},
  };
  for (const TCase& C : Cases) {
    ConsoleLevel = C.Threshold;
    ConsoleWrite("line", false, C.Level);
    EXPECT_EQ(C.Printed ? "line\n" : "", Piped())
        << "threshold " << int(C.Threshold) << " level " << int(C.Level);
  }
}

TEST_F(ConsoleWriterTest, LinesToAPipeEndWithLineFeedAndCarryNoColours) {
  OpenOnPipe();
  ConsoleWrite("plain", false, 1);
  ConsoleWrite("highlighted", true, 0);
  EXPECT_EQ("plain\nhighlighted\n", Piped());
}

TEST_F(ConsoleWriterTest, HighlightedLinesOnATerminalAreWhiteOnRedThenReset) {
  test::TPtyPair Pty;
  SetConsoleHandles(Pty.Slave(), Pty.Slave());
  IsConsole = true;
  ConsoleInit(nullptr);
  ConsoleWrite("failed", true, 0);
  ConsoleWrite("filtered", true, 2);  // writes nothing at all, colours included
  ConsoleWrite("normal", false, 1);
  std::string Expected = "\x1b[37;41mfailed\x1b[0m\r\nnormal\r\n";
  EXPECT_EQ(Expected, Pty.Receive(Expected.size()));
  EXPECT_EQ("", Pty.Drain());
}

TEST_F(ConsoleWriterTest, ClosingPromptWaitsForALineOnATerminal) {
  test::TPtyPair Pty;
  SetConsoleHandles(Pty.Slave(), Pty.Slave());
  IsConsole = true;
  ConsoleInit(nullptr);
  std::future<void> Done = std::async(std::launch::async, [] { ConsoleDone(); });
  std::string Prompt = "-- Press any key to close window --\r\n";
  EXPECT_EQ(Prompt, Pty.Receive(Prompt.size()));
  EXPECT_EQ(std::future_status::timeout, Done.wait_for(0ms));
  Pty.Send("\n");
  EXPECT_EQ(std::future_status::ready, Done.wait_for(test::Patience));
  EXPECT_FALSE(IsConsole);
  EXPECT_FALSE(ConsoleOpened());
  // Closed: nothing more is printed.
  IsConsole = true;
  ConsoleWrite("after", false, 0);
  EXPECT_EQ(std::string::npos, Pty.Drain().find("after"));
}

TEST_F(ConsoleWriterTest, NoPromptAfterTheWindowClosedOrWithoutATerminalToAnswer) {
  struct TCase {
    const char* Name;
    bool Terminal;
    bool ClosedByWindow;
  } Cases[] = {
      {"terminal closed", true, true},
      {"input from /dev/null", false, false},
  };
  for (const TCase& C : Cases) {
    test::TPtyPair Pty;
    int Null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    SetConsoleHandles(Pty.Slave(), C.Terminal ? Pty.Slave() : Null);
    IsConsole = true;
    ConsoleInit(nullptr);
    ClosingByWindow = C.ClosedByWindow;
    std::future<void> Done = std::async(std::launch::async, [] { ConsoleDone(); });
    EXPECT_EQ(std::future_status::ready, Done.wait_for(test::Patience)) << C.Name;
    EXPECT_EQ("", Pty.Drain()) << C.Name;
    ClosingByWindow = false;
    close(Null);
  }
}

TEST_F(ConsoleWriterTest, TitleGoesOnlyToATerminal) {
  OpenOnPipe();
  SetConsoleTitle("Pelmar ContactID Service");
  EXPECT_EQ("", Piped());
  test::TPtyPair Pty;
  SetConsoleHandles(Pty.Slave(), Pty.Slave());
  ConsoleInit(nullptr);
  SetConsoleTitle("Test\x07 Service");
  std::string Expected = "\x1b]0;Test Service\x07";
  EXPECT_EQ(Expected, Pty.Receive(Expected.size()));
}

TEST_F(ConsoleWriterTest, LinesOfSeveralThreadsStayWhole) {
  OpenOnPipe();
  ConsoleLevel = 3;
  std::vector<std::thread> Threads;
  for (int T = 0; T < 4; ++T)
    Threads.emplace_back([T] {
      for (int I = 0; I < 50; ++I)
        ConsoleWrite(std::string(40, static_cast<char>('a' + T)), false, 1);
    });
  for (std::thread& T : Threads)
    T.join();
  std::string Text = Piped();
  std::size_t Lines = 0;
  for (std::size_t Start = 0, End; (End = Text.find('\n', Start)) != std::string::npos;
       Start = End + 1, ++Lines) {
    std::string Line = Text.substr(Start, End - Start);
    ASSERT_EQ(std::string(40, Line[0]), Line);
  }
  EXPECT_EQ(200u, Lines);
}

}  // namespace
}  // namespace pelmar
