// ctest-label: os
// PelCIDSvc's setup menu on a real terminal: the program runs in a detached tmux session of the
// test's own (its own server socket in the test's temporary directory), the test types keys and
// reads the pane.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "Registry.h"
#include "ToolProcess.h"

namespace pelmar {
namespace {

const std::string Key = "Software\\PelMar\\ContactID";

std::string Quote(const std::string& Text) {
  std::string Result = "'";
  for (char Ch : Text)
    Result += Ch == '\'' ? std::string("'\\''") : std::string(1, Ch);
  return Result + "'";
}

// Runs a shell command; its standard output, and its exit status in Status.
std::string Shell(const std::string& Command, int* Status = nullptr) {
  std::string Output;
  FILE* Pipe = ::popen(Command.c_str(), "r");
  if (Pipe == nullptr)
    return Output;
  char Buffer[4096];
  std::size_t N;
  while ((N = std::fread(Buffer, 1, sizeof Buffer, Pipe)) > 0)
    Output.append(Buffer, N);
  const int Raw = ::pclose(Pipe);
  if (Status != nullptr)
    *Status = WIFEXITED(Raw) ? WEXITSTATUS(Raw) : -1;
  return Output;
}

std::string Program() {
  return (std::filesystem::path(test::BuiltToolPath("x")).parent_path().parent_path() / "PelCIDSvc")
      .string();
}

// One tmux server with one 100x30 session running PelCIDSvc, on a socket of its own in a
// temporary directory; the server is killed and the directory removed at the end, also when the
// test fails. After the program the pane shows "EXIT=<code>" and whether the terminal echoes
// again.
class TTmuxSession {
 public:
  explicit TTmuxSession(const std::string& SettingsDir, const std::string& PidFile)
      : FSocket(FDir.File("tmux.sock")) {
    const std::string Inner =
        "echo $$ > " + Quote(PidFile) + "; exec env PELMAR_SETTINGS_DIR=" + Quote(SettingsDir) +
        " PELMAR_UNIT_DIR=" + Quote(SettingsDir + "/units") + " " + Quote(Program());
    const std::string Script = "sh -c " + Quote(Inner) +
                               "; echo EXIT=$?; stty -a | tr ' ' '\\n' | grep -x -e echo -e "
                               "-echo | sed 's/^/STTY=/'; sleep 600";
    Shell(Tmux() + " new-session -d -x 100 -y 30 " + Quote(Script));
  }
  ~TTmuxSession() { Shell(Tmux() + " kill-server 2>/dev/null"); }
  TTmuxSession(const TTmuxSession&) = delete;
  TTmuxSession& operator=(const TTmuxSession&) = delete;

  std::string Pane(bool Escapes = false) {
    return Shell(Tmux() + " capture-pane -p" + (Escapes ? " -e" : "") + " 2>/dev/null");
  }
  // Waits until the pane shows Text; false when it did not within the test's patience.
  bool WaitFor(const std::string& Text) {
    const auto Deadline = std::chrono::steady_clock::now() + test::Patience;
    while (std::chrono::steady_clock::now() < Deadline) {
      if (Pane().find(Text) != std::string::npos)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  void Keys(const std::string& Names) { Shell(Tmux() + " send-keys " + Names); }
  void Type(const std::string& Text) { Shell(Tmux() + " send-keys -l " + Quote(Text)); }

 private:
  std::string Tmux() const { return "tmux -S " + Quote(FSocket); }
  test::TTempDir FDir;
  std::string FSocket;
};

class SetupTerminalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Shell("command -v tmux").empty())
      GTEST_SKIP() << "tmux is not installed";
  }
  test::TTempDir Temp;
  std::string Settings = Temp.File("settings");
  std::string PidFile = Temp.File("pid");
};

TEST_F(SetupTerminalTest, EditAndSaveThenTerminalIsSane) {
  TTmuxSession Tmux(Settings, PidFile);
  ASSERT_TRUE(Tmux.WaitFor(">Core service address:      127.0.0.1")) << Tmux.Pane();
  EXPECT_TRUE(Tmux.WaitFor("Database name:             pelmar_serv")) << Tmux.Pane();
  EXPECT_TRUE(Tmux.WaitFor("Exit (ESC)")) << Tmux.Pane();
  Tmux.Keys("Down");
  ASSERT_TRUE(Tmux.WaitFor(">Core service port:")) << Tmux.Pane();
  Tmux.Keys("BSpace BSpace BSpace BSpace");
  Tmux.Type("8080");
  ASSERT_TRUE(Tmux.WaitFor(":         8080")) << Tmux.Pane();
  Tmux.Keys("Down");
  ASSERT_TRUE(Tmux.WaitFor(">Core service password:")) << Tmux.Pane();
  Tmux.Type("secret");
  Tmux.Keys("PageDown Up Enter");
  ASSERT_TRUE(Tmux.WaitFor("STTY=")) << Tmux.Pane();
  const std::string Pane = Tmux.Pane();
  EXPECT_NE(std::string::npos, Pane.find("EXIT=0")) << Pane;
  EXPECT_NE(std::string::npos, Pane.find("STTY=echo")) << Pane;

  TRegistry Reg(Settings);
  ASSERT_TRUE(Reg.OpenKeyReadOnly(Key + "\\General"));
  EXPECT_EQ(8080, Reg.ReadInteger("Core service port"));
  EXPECT_EQ("secret", Reg.ReadString("Core service password"));
  ASSERT_TRUE(Reg.OpenKeyReadOnly(Key + "\\Database"));
  EXPECT_EQ("SYSDBA", Reg.ReadString("Username"));
}

TEST_F(SetupTerminalTest, EscLeavesWithoutWriting) {
  TTmuxSession Tmux(Settings, PidFile);
  ASSERT_TRUE(Tmux.WaitFor(">Core service address:")) << Tmux.Pane();
  Tmux.Type("99");
  ASSERT_TRUE(Tmux.WaitFor("127.0.0.199")) << Tmux.Pane();
  Tmux.Keys("Escape");
  ASSERT_TRUE(Tmux.WaitFor("STTY=")) << Tmux.Pane();
  EXPECT_NE(std::string::npos, Tmux.Pane().find("EXIT=0"));
  EXPECT_NE(std::string::npos, Tmux.Pane().find("STTY=echo"));
  EXPECT_FALSE(TRegistry(Settings).KeyExists(Key));
}

TEST_F(SetupTerminalTest, SignalsRestoreTheTerminal) {
  struct TCase {
    int Signal;
    const char* WantExit;
  };
  for (const TCase& C : {TCase{SIGTERM, "EXIT=143"}, TCase{SIGINT, "EXIT=130"}}) {
    TTmuxSession Tmux(Settings, PidFile);
    ASSERT_TRUE(Tmux.WaitFor(">Core service address:")) << Tmux.Pane();
    pid_t Pid = 0;
    std::ifstream(PidFile) >> Pid;
    ASSERT_GT(Pid, 0);
    ::kill(Pid, C.Signal);
    ASSERT_TRUE(Tmux.WaitFor("STTY=")) << C.Signal << "\n" << Tmux.Pane();
    EXPECT_NE(std::string::npos, Tmux.Pane().find(C.WantExit)) << C.Signal << "\n" << Tmux.Pane();
    EXPECT_NE(std::string::npos, Tmux.Pane().find("STTY=echo")) << C.Signal;
  }
}

TEST_F(SetupTerminalTest, WithoutATerminalSaysSoAndFails) {
  int Status = 0;
  const std::string Output = Shell(
      "env PELMAR_SETTINGS_DIR=" + Quote(Settings) + " " + Quote(Program()) + " </dev/null 2>&1",
      &Status);
  EXPECT_EQ(1, Status);
  EXPECT_EQ("PelCIDSvc: the setup menu needs a terminal; standard input or output is redirected\n",
            Output);
}

}  // namespace
}  // namespace pelmar
