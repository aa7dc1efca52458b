// ctest-label: os
//
// The service application as a whole, each run in a forked child as a program would run:
// the mode each command line selects, the console lines and exit codes of every mode, install
// and uninstall into a temporary unit directory, debug mode stopped by Ctrl+C, a closed terminal
// or Ctrl+Break, and service mode under a stand-in systemd (a notify socket) stopped by SIGTERM.
// The child's event log comes back on its standard error, one "EVENT|..." line per entry.
#include "DDSvcApplication.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "DDConsole.h"
#include "EventLogRecorder.h"
#include "ForkedChild.h"
#include "Process.h"
#include "SystemdDoubles.h"
#include "ToolProcess.h"

namespace pelmar {
namespace {

using test::TForkedChild;
using test::TNotifySocket;
using test::TScopedEnv;
using test::TTempDir;

const std::string Program = ExtractFileName(GetModuleFileName());

// The program's kind of service: no pause, and work that polls its requests.
class TTestService : public TDDService {
 public:
  TTestService() {
    SetName("TestSvc");
    SetDisplayName("Test Service");
    SetDescription("A service of the tests");
    SetAllowPause(false);
    SetOnExecute([](TDDService& S) {
      ServiceLogInfo("working");
      while (!S.Terminated()) {
        S.ServeRequests(false);
        TEventQueue::Current()->WaitMessage(50);
      }
    });
  }
};

// systemd as seen from the child: running, and every systemctl call written to standard error.
class TPrintingSystemd : public TSystemdControl {
 public:
  bool Running() override { return true; }
  void Systemctl(const std::vector<std::string>& Args) override {
    std::string Line = "SYSTEMCTL|";
    for (const std::string& A : Args)
      Line += A + " ";
    Line += "\n";
    if (write(STDERR_FILENO, Line.data(), Line.size()) < 0) {
      // The test sees the call missing.
    }
  }
};

struct TRun {
  TRun(std::vector<std::string> Args, bool Admin = true,
       std::function<void(TTestService&)> Configure = nullptr,
       std::function<void(TServiceApplication&)> Setup = nullptr)
      : Args(std::move(Args)),
        Admin(Admin),
        Configure(std::move(Configure)),
        Setup(std::move(Setup)) {}

  std::vector<std::string> Args;  // after the program's name
  bool Admin;
  std::function<void(TTestService&)> Configure;
  std::function<void(TServiceApplication&)> Setup;  // instead of the usual one
};

// The program's main(), in the child.
int RunProgram(const TRun& Run) {
  static test::TStderrEventLog Log;
  static TPrintingSystemd Systemd;
  SetEventLogSink(&Log);
  SetSystemdControl(&Systemd);
  SetAdminTest([Admin = Run.Admin] { return Admin; });
  std::vector<std::string> All = {"PelCIDSvc"};
  All.insert(All.end(), Run.Args.begin(), Run.Args.end());
  std::vector<char*> Argv;
  for (std::string& A : All)
    Argv.push_back(A.data());
  Argv.push_back(nullptr);
  IsConsole = true;
  return RunServiceApplication(static_cast<int>(All.size()), Argv.data(),
                               [&](TServiceApplication& App) {
                                 if (Run.Setup) {
                                   Run.Setup(App);
                                   return;
                                 }
                                 TTestService* Service = nullptr;
                                 App.CreateServiceModule(Service);
                                 if (Run.Configure)
                                   Run.Configure(*Service);
                                 App.OnConfigure = [](TServiceApplication&) {
                                   std::printf("configure\n");
                                   std::fflush(stdout);
                                 };
                               });
}

// The lines of the output without terminal title sequences.
std::vector<std::string> Lines(TForkedChild& Child) {
  std::vector<std::string> Result;
  for (std::string Line : Child.Lines()) {
    for (std::size_t Start; (Start = Line.find("\x1b]0;")) != std::string::npos;) {
      std::size_t End = Line.find('\x07', Start);
      Line.erase(Start, End == std::string::npos ? std::string::npos : End - Start + 1);
    }
    Result.push_back(Line);
  }
  return Result;
}

// The messages of the child's event log entries, each as "source|type|category|message".
std::vector<std::string> Events(TForkedChild& Child) {
  std::vector<std::string> Result;
  std::string Text = Child.Errors();
  for (std::size_t Start = 0, End; (End = Text.find('\n', Start)) != std::string::npos;
       Start = End + 1) {
    std::string Line = Text.substr(Start, End - Start);
    if (Line.rfind("EVENT|", 0) != 0)
      continue;
    // EVENT|source|type|category|id|message: drop the id, which is always 0 here.
    std::vector<std::string> F;
    for (std::size_t P = 6, Q; F.size() < 4; P = Q + 1) {
      Q = Line.find('|', P);
      F.push_back(Line.substr(P, Q - P));
    }
    std::size_t MessageAt = 0;
    for (int Bars = 0; Bars < 5; ++Bars)
      MessageAt = Line.find('|', MessageAt) + 1;
    Result.push_back(F[0] + "|" + F[1] + "|" + F[2] + "|" + Line.substr(MessageAt));
  }
  return Result;
}

std::vector<std::string> SystemctlCalls(TForkedChild& Child) {
  std::vector<std::string> Result;
  std::string Text = Child.Errors();
  for (std::size_t Start = 0, End; (End = Text.find('\n', Start)) != std::string::npos;
       Start = End + 1)
    if (Text.compare(Start, 10, "SYSTEMCTL|") == 0)
      Result.push_back(Text.substr(Start + 10, End - Start - 11));
  return Result;
}

class ServiceApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directory(FUnits); }

  bool Installed() const { return std::filesystem::exists(FUnits + "/TestSvc.service"); }

  TTempDir FDir;
  std::string FUnits = FDir.File("units");
  TScopedEnv FUnitDir{"PELMAR_UNIT_DIR", FUnits};
  TScopedEnv FSettingsDir{"PELMAR_SETTINGS_DIR", FDir.File("settings")};
  // Not started by systemd, whatever runs the tests.
  TScopedEnv FNotify{"NOTIFY_SOCKET", nullptr};
  TScopedEnv FInvocation{"INVOCATION_ID", nullptr};
};

TEST_F(ServiceApplicationTest, EachCommandLineSelectsItsModeWithItsLinesAndExitCode) {
  const std::vector<std::string> Installing = {"Application initalizing", "Installing service",
                                               "Service installed successfully",
                                               "Application finished"};
  const std::vector<std::string> InstallingDebug = {
      "Application initalizing", "Installing service", "LogMessage: Test Service installed!",
      "Service installed successfully", "Application finished"};
  struct TCase {
    std::vector<std::string> Args;
    bool Admin;
    int ExitCode;
    std::vector<std::string> Lines;
    bool InstalledAfter;
  } Cases[] = {
      {{}, true, 0, {"configure"}, false},
      {{"SVC"}, true, 0, {}, false},
      {{"/unknown", "-other"}, true, 0, {}, false},
      {{"INSTALL"}, true, 0, {}, false},
      {{"/INSTALL"}, true, 0, {"Service installed successfully"}, true},
      {{"-install", "/VERBOSE"}, true, 0, Installing, true},
      {{"/Install", "/Debug"}, true, 0, InstallingDebug, true},
      {{"/INSTALL", "/DEBUG", "/VERBOSE"}, true, 0, Installing, true},
      {{"/INSTALL", "/SILENT"}, true, 0, {}, true},
      {{"/INSTALL", "/SILENT", "/DEBUG"}, true, 0, InstallingDebug, true},
      {{"/INSTALL", "/UNINSTALL"}, true, 0, {"Service installed successfully"}, true},
      {{"/SVC", "/nonsense", "/INSTALL"}, true, 0, {"Service installed successfully"}, true},
      {{"/UNINSTALL"}, true, 0, {"Service uninstalled successfully"}, false},
      {{"/DEBUG"}, true, 0, {"Application initalizing", "Application finished"}, false},
      {{"/INSTALL"},
       false,
       2,
       {"Need administrator privileges for service install/uninstall!"},
       false},
      {{"/UNINSTALL", "/SILENT"}, false, 2, {}, false},
      {{"/svc"}, true, 0, {}, false},
  };
  for (const TCase& C : Cases) {
    std::filesystem::remove(FUnits + "/TestSvc.service");
    std::string Input;
    for (const std::string& A : C.Args)
      Input += A + " ";
    TForkedChild Child([&] { return RunProgram({C.Args, C.Admin, nullptr, nullptr}); });
    EXPECT_EQ(C.ExitCode, Child.WaitExit()) << Input;
    EXPECT_EQ(C.Lines, Lines(Child)) << Input;
    EXPECT_EQ(C.InstalledAfter, Installed()) << Input;
  }
}

TEST_F(ServiceApplicationTest, ServiceModeOutsideSystemdLogsTheDispatchersFailure) {
  TForkedChild Child([] { return RunProgram({{"/SVC", "/VERBOSE"}}); });
  EXPECT_EQ(0, Child.WaitExit());
  EXPECT_EQ(std::vector<std::string>{Program + "|1|1|The service process could not connect to "
                                               "the service controller."},
            Events(Child));
  // VERBOSE alone opens no console.
  EXPECT_EQ(std::vector<std::string>{}, Lines(Child));
}

TEST_F(ServiceApplicationTest, InstallTwiceFailsTheSecondTimeUninstallTwiceSucceedsTwice) {
  struct TStep {
    const char* Switch;
    int ExitCode;
    std::vector<std::string> Lines;
    std::vector<std::string> Calls;
    bool InstalledAfter;
  } Steps[] = {
      {"/INSTALL",
       0,
       {"Service installed successfully"},
       {"daemon-reload", "enable TestSvc.service"},
       true},
      {"/INSTALL",
       1,
       {"Service \"Test Service\" failed to install with error: \"System error. Code: 1073.",
        "The specified service already exists.\""},
       {},
       true},
      {"/UNINSTALL",
       0,
       {"Service uninstalled successfully"},
       {"disable TestSvc.service", "daemon-reload"},
       false},
      {"/UNINSTALL", 0, {"Service uninstalled successfully"}, {}, false},
  };
  for (const TStep& S : Steps) {
    TForkedChild Child([&] { return RunProgram({{S.Switch}}); });
    EXPECT_EQ(S.ExitCode, Child.WaitExit()) << S.Switch;
    EXPECT_EQ(S.Lines, Lines(Child)) << S.Switch;
    EXPECT_EQ(S.Calls, SystemctlCalls(Child)) << S.Switch;
    EXPECT_EQ(S.InstalledAfter, Installed()) << S.Switch;
  }
}

TEST_F(ServiceApplicationTest, AFailedInstallIsReportedAndRolledBack) {
  TForkedChild Child([] {
    return RunProgram({{"/INSTALL"}, true, [](TTestService& S) {
                         S.SetAfterInstall([](TDDService&) { throw Exception("disk full"); });
                       }});
  });
  EXPECT_EQ(1, Child.WaitExit());
  EXPECT_EQ(
      std::vector<std::string>{
          "Service \"Test Service\" failed to install with error: \"disk full\""},
      Lines(Child));
  EXPECT_FALSE(Installed());
  EXPECT_EQ((std::vector<std::string>{"daemon-reload", "enable TestSvc.service",
                                      "disable TestSvc.service", "daemon-reload"}),
            SystemctlCalls(Child));
}

TEST_F(ServiceApplicationTest, FailuresOutsideTheServicesAreUnhandledExceptionsWithExitCode1) {
  struct TCase {
    const char* Name;
    TRun Run;
    std::string Event;
  } Cases[] = {
      {"no unit directory",
       {{"/INSTALL"},
        true,
        [](TTestService&) { setenv("PELMAR_UNIT_DIR", "/nonexistent/units", 1); }},
       Program + "|1|1|Unhandled exception!\\r\\nClass: EOSError\\r\\nMessage: System error. "
                 "Code: 2.\\r\\nNo such file or directory"},
      {"a module that is no service",
       {{"/SVC"},
        true,
        nullptr,
        [](TServiceApplication& App) {
          struct TNoService {};
          TNoService* Module = nullptr;
          App.CreateServiceModule(Module);
        }},
       Program + "|1|1|Unhandled exception!\\r\\nClass: Exception\\r\\nMessage: Service does "
                 "not inherit from TDDService"},
  };
  for (const TCase& C : Cases) {
    TForkedChild Child([&] { return RunProgram(C.Run); });
    EXPECT_EQ(1, Child.WaitExit()) << C.Name;
    EXPECT_EQ(std::vector<std::string>{C.Event}, Events(Child)) << C.Name;
    EXPECT_FALSE(Installed()) << C.Name;
  }
}

// ---------------------------------------------------------------------------------------------
// Debug mode

const std::vector<std::string> DebugStart = {
    "Application initalizing", "Starting services in debug mode", "Worker thread execute",
    "LogMessage: Test Service started!", "LogMessage: working"};

std::vector<std::string> Join(std::vector<std::string> A, const std::vector<std::string>& B) {
  A.insert(A.end(), B.begin(), B.end());
  return A;
}

TEST_F(ServiceApplicationTest, CtrlCInDebugModeStopsTheServiceInOrder) {
  TForkedChild Child([] { return RunProgram({{"/SVC", "/DEBUG"}}); });
  ASSERT_TRUE(Child.WaitOutput("LogMessage: working\n")) << Child.Output();
  Child.Signal(SIGINT);
  EXPECT_EQ(0, Child.WaitExit());
  EXPECT_EQ(Join(DebugStart,
                 {"Close request received - shutting down", "LogMessage: Test Service stopping!",
                  "Worker thread exiting", "All services stopped", "Application finished"}),
            Lines(Child));
  EXPECT_EQ((std::vector<std::string>{"TestSvc|4|3|Test Service started!", "TestSvc|4|3|working",
                                      "TestSvc|4|3|Test Service stopping!"}),
            Events(Child));
}

TEST_F(ServiceApplicationTest, OnATerminalCtrlCEndsWithThePromptAndAClosedWindowWithout) {
  struct TCase {
    int Signal;
    bool Prompt;
  } Cases[] = {{SIGINT, true}, {SIGHUP, false}};
  for (const TCase& C : Cases) {
    TForkedChild Child([] { return RunProgram({{"/SVC", "/DEBUG"}}); }, {.Terminal = true});
    ASSERT_TRUE(Child.WaitOutput("LogMessage: working")) << Child.Output();
    Child.Signal(C.Signal);
    if (C.Prompt) {
      ASSERT_TRUE(Child.WaitOutput("-- Press any key to close window --")) << Child.Output();
      Child.Type("\n");
    }
    EXPECT_EQ(0, Child.WaitExit()) << strsignal(C.Signal);
    std::vector<std::string> Expected =
        Join(DebugStart, {"\x1b[37;41mClose request received - shutting down\x1b[0m",
                          "LogMessage: Test Service stopping!", "Worker thread exiting",
                          "All services stopped", "Application finished"});
    if (C.Prompt) {
      Expected.push_back("-- Press any key to close window --");
      Expected.push_back("");  // the echo of the Enter key
    }
    EXPECT_EQ(Expected, Lines(Child)) << strsignal(C.Signal);
  }
}

TEST_F(ServiceApplicationTest, CtrlBreakAndTerminationEndDebugModeAtOnce) {
  for (int Signal : {SIGQUIT, SIGTERM}) {
    TForkedChild Child([] { return RunProgram({{"/SVC", "/DEBUG"}}); });
    ASSERT_TRUE(Child.WaitOutput("LogMessage: working\n")) << Child.Output();
    Child.Signal(Signal);
    EXPECT_EQ(128 + Signal, Child.WaitExit()) << strsignal(Signal);
    EXPECT_EQ(DebugStart, Lines(Child)) << strsignal(Signal);
  }
}

// ---------------------------------------------------------------------------------------------
// Service mode

TEST_F(ServiceApplicationTest, UnderSystemdSigtermStopsTheService) {
  TNotifySocket Systemd;
  TForkedChild Child([] { return RunProgram({{"/SVC"}}); });
  EXPECT_EQ("STATUS=Starting", Systemd.Next());
  EXPECT_EQ("STATUS=Starting", Systemd.Next());
  EXPECT_EQ("READY=1\nSTATUS=Running", Systemd.Next());
  Child.Signal(SIGTERM);
  EXPECT_EQ("STOPPING=1\nSTATUS=Stopping", Systemd.Next());
  EXPECT_EQ("STATUS=Stopped", Systemd.Next());
  EXPECT_EQ(0, Child.WaitExit());
  EXPECT_EQ(std::vector<std::string>{}, Lines(Child));
  EXPECT_EQ((std::vector<std::string>{"TestSvc|4|3|Test Service started!", "TestSvc|4|3|working",
                                      "TestSvc|4|3|Test Service stopping!"}),
            Events(Child));
}

TEST_F(ServiceApplicationTest, UnderSystemdSighupIsAParameterChangeOrNothing) {
  for (bool Handled : {true, false}) {
    TNotifySocket Systemd;
    TForkedChild Child([Handled] {
      return RunProgram({{"/SVC"}, true, [Handled](TTestService& S) {
                           if (Handled)
                             S.SetOnParamChange(
                                 [](TDDService& Self) { Self.LogInfo("parameters changed"); });
                         }});
    });
    ASSERT_EQ("READY=1\nSTATUS=Running", [&] {
      std::string M;
      while ((M = Systemd.Next()) == "STATUS=Starting") {
      }
      return M;
    }());
    Child.Signal(SIGHUP);
    if (Handled) {
      EXPECT_TRUE(Child.WaitErrors("parameters changed")) << Child.Errors();
      // The parameter change reports the state.
      EXPECT_EQ("READY=1\nSTATUS=Running", Systemd.Next());
    }
    // Without a handler the signal is refused and the service goes on: the stop still works.
    Child.Signal(SIGTERM);
    EXPECT_EQ("STOPPING=1\nSTATUS=Stopping", Systemd.Next()) << Handled;
    EXPECT_EQ(0, Child.WaitExit()) << Handled;
  }
}

}  // namespace
}  // namespace pelmar
