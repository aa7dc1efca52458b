// ctest-label: os
//
// systemd as the service manager: the sd_notify messages on a datagram socket the test binds,
// the dispatcher, the unit file text and its check by systemd-analyze, the unit directory, and
// systemctl (recorded, or a stand-in program on the PATH).
#include "DDWinSvc.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Exception.h"
#include "Failure.h"
#include "FakeClock.h"
#include "Process.h"
#include "SystemdDoubles.h"
#include "ToolProcess.h"

namespace pelmar {

namespace {

using test::Failure;
using test::Patience;
using test::TNotifySocket;
using test::TRecordingSystemd;
using test::TScopedEnv;
using test::TTempDir;

std::string ReadFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  std::stringstream S;
  S << In.rdbuf();
  return S.str();
}

TEST(DDWinSvcTest, StatusReportsBecomeNotifyMessages) {
  struct TCase {
    std::uint32_t State;
    const char* Message;
  } Cases[] = {
      {SERVICE_START_PENDING, "STATUS=Starting"},
      {SERVICE_RUNNING, "READY=1\nSTATUS=Running"},
      {SERVICE_STOP_PENDING, "STOPPING=1\nSTATUS=Stopping"},
      {SERVICE_STOPPED, "STATUS=Stopped"},
      {SERVICE_PAUSE_PENDING, "STATUS=Pausing"},
      {SERVICE_PAUSED, "STATUS=Paused"},
      {SERVICE_CONTINUE_PENDING, "STATUS=Continuing"},
  };
  for (const TCase& C : Cases) {
    TServiceStatus S;
    S.CurrentState = C.State;
    EXPECT_EQ(C.Message, ServiceStatusNotification(S)) << "state " << C.State;
  }
}

TEST(DDWinSvcTest, ReportsReachTheSocketNamedByNotifySocket) {
  TNotifySocket Manager;
  TServiceStatus S;
  S.CurrentState = SERVICE_RUNNING;
  EXPECT_EQ(0, SetServiceStatus(S));
  EXPECT_EQ("READY=1\nSTATUS=Running", Manager.Next());
}

TEST(DDWinSvcTest, ReportsWithoutAListenerAreNoFailureButABrokenSocketIs) {
  TServiceStatus S;
  S.CurrentState = SERVICE_RUNNING;
  {
    TScopedEnv Env("NOTIFY_SOCKET", nullptr);
    EXPECT_EQ(0, SetServiceStatus(S));
  }
  TTempDir Dir;
  TScopedEnv Env("NOTIFY_SOCKET", Dir.File("nobody-listens"));
  EXPECT_NE(0, SetServiceStatus(S));
}

TEST(DDWinSvcTest, DispatcherFailsAtOnceWhenSystemdDidNotStartTheProcess) {
  TScopedEnv A("NOTIFY_SOCKET", nullptr), B("INVOCATION_ID", nullptr);
  bool Called = false;
  int Error = 0;
  EXPECT_FALSE(StartServiceCtrlDispatcher(
      {{"PelCID", [&](const std::vector<std::string>&) { Called = true; }}}, Error));
  EXPECT_FALSE(Called);
  EXPECT_EQ(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, Error);
  EXPECT_EQ("The service process could not connect to the service controller.",
            ServiceErrorText(Error));
}

TEST(DDWinSvcTest, DispatcherRunsEachServiceOnAThreadOfItsOwnUntilAllEnded) {
  for (const char* Variable : {"NOTIFY_SOCKET", "INVOCATION_ID"}) {
    bool Notify = Variable == std::string("NOTIFY_SOCKET");
    TScopedEnv A("NOTIFY_SOCKET", Notify ? "x" : nullptr);
    TScopedEnv B("INVOCATION_ID", Notify ? nullptr : "x");
    std::mutex Lock;
    std::vector<std::string> Started;
    std::set<std::thread::id> Threads;
    auto Main = [&](const std::vector<std::string>& Args) {
      std::lock_guard Guard(Lock);
      Started.push_back(Args.size() == 1 ? Args[0] : "wrong arguments");
      Threads.insert(std::this_thread::get_id());
    };
    int Error = -1;
    EXPECT_TRUE(StartServiceCtrlDispatcher({{"One", Main}, {"Two", Main}}, Error)) << Variable;
    EXPECT_EQ(0, Error);
    std::sort(Started.begin(), Started.end());
    EXPECT_EQ((std::vector<std::string>{"One", "Two"}), Started) << Variable;
    EXPECT_EQ(2u, Threads.size());
    EXPECT_EQ(0u, Threads.count(std::this_thread::get_id()));
  }
}

TEST(DDWinSvcTest, CommandLineIsTheQuotedPathEscapedForSystemdThenSvc) {
  struct TCase {
    const char* Path;
    const char* Line;
  } Cases[] = {
      {"/usr/local/bin/PelCIDSvc", "\"/usr/local/bin/PelCIDSvc\" /SVC"},
      {"/opt/Pelmar Station/PelCIDSvc", "\"/opt/Pelmar Station/PelCIDSvc\" /SVC"},
      {"/opt/100%/$HOME/a\"b\\c", "\"/opt/100%%/$HOME/a\\\"b\\\\c\" /SVC"},
  };
  for (const TCase& C : Cases)
    EXPECT_EQ(C.Line, ServiceCommandLine(C.Path)) << C.Path;
}

TEST(DDWinSvcTest, UnitFileText) {
  TUnitSettings Plain;
  Plain.Description = "Pelmar system module for ContactID";
  Plain.ExecStart = "\"/usr/local/bin/PelCIDSvc\" /SVC";
  EXPECT_EQ(
      "[Unit]\n"
      "Description=Pelmar system module for ContactID\n"
      "\n[Service]\n"
      "Type=notify\n"
      "ExecStart=\"/usr/local/bin/PelCIDSvc\" /SVC\n"
      "Restart=no\n"
      "\n[Install]\n"
      "WantedBy=multi-user.target\n",
      RenderUnitFile(Plain));

  TUnitSettings Full = Plain;
  Full.Description = "100% up\nsecond line\\";
  Full.User = "pelmar";
  Full.Requires = {"firebird.service"};
  Full.Restart = "on-failure";
  Full.RestartDelayMs = 60000;
  Full.FailureAction = "reboot";
  EXPECT_EQ(
      "[Unit]\n"
      "Description=100%% up second line\n"
      "Requires=firebird.service\n"
      "After=firebird.service\n"
      "FailureAction=reboot\n"
      "\n[Service]\n"
      "Type=notify\n"
      "ExecStart=\"/usr/local/bin/PelCIDSvc\" /SVC\n"
      "User=pelmar\n"
      "Restart=on-failure\n"
      "RestartSec=60000ms\n"
      "\n[Install]\n"
      "WantedBy=multi-user.target\n",
      RenderUnitFile(Full));

  // The options: extra groups only with a user of the unit's own; the sandbox as given.
  TUnitSettings Options = Full;
  Options.FailureAction.clear();
  Options.Requires.clear();
  Options.Options.Documentation = "man:PelCIDSvc(8)";
  Options.Options.SupplementaryGroups = {"dialout"};
  Options.Options.WatchdogSec = 240;
  Options.Options.Sandbox = {"ProtectSystem=strict", "CapabilityBoundingSet="};
  EXPECT_EQ(
      "[Unit]\n"
      "Description=100%% up second line\n"
      "Documentation=man:PelCIDSvc(8)\n"
      "\n[Service]\n"
      "Type=notify\n"
      "ExecStart=\"/usr/local/bin/PelCIDSvc\" /SVC\n"
      "User=pelmar\n"
      "SupplementaryGroups=dialout\n"
      "Restart=on-failure\n"
      "RestartSec=60000ms\n"
      "WatchdogSec=240s\n"
      "\n"
      "ProtectSystem=strict\n"
      "CapabilityBoundingSet=\n"
      "\n[Install]\n"
      "WantedBy=multi-user.target\n",
      RenderUnitFile(Options));
  Options.User.clear();
  EXPECT_EQ(std::string::npos, RenderUnitFile(Options).find("SupplementaryGroups"));
}

TEST(DDWinSvcTest, WatchdogPeriodComesFromSystemdForThisProcessOnly) {
  const std::string Self = std::to_string(getpid());
  struct TCase {
    const char* Usec;
    const char* Pid;
    std::uint32_t PeriodMs;
  } Cases[] = {
      {nullptr, nullptr, 0},    {"2000000", nullptr, 2000}, {"2000000", Self.c_str(), 2000},
      {"2000000", "1", 0},      {"1500", nullptr, 2},       {"0", nullptr, 0},
      {"nonsense", nullptr, 0},
  };
  for (const TCase& C : Cases) {
    TScopedEnv Usec("WATCHDOG_USEC", C.Usec);
    TScopedEnv Pid("WATCHDOG_PID", C.Pid);
    EXPECT_EQ(C.PeriodMs, ServiceWatchdogPeriod())
        << (C.Usec ? C.Usec : "(unset)") << " " << (C.Pid ? C.Pid : "(unset)");
  }
}

TEST(DDWinSvcTest, WatchdogPingGoesToTheNotifySocket) {
  TNotifySocket Socket;
  TScopedEnv Usec("WATCHDOG_USEC", "4000000");
  TWatchdogPing Ping;
  Ping.Cycle();
  EXPECT_EQ(4000u, Ping.Period());
  EXPECT_EQ("WATCHDOG=1", Socket.Next());
  // A second cycle at once sends nothing more.
  Ping.Cycle();
  EXPECT_EQ(0, NotifyWatchdog());
  EXPECT_EQ("WATCHDOG=1", Socket.Next());
  EXPECT_EQ("", Socket.Pending());
}

TEST(DDWinSvcTest, WatchdogPingsAtMostOncePerQuarterPeriod) {
  test::TFakeClock Clock(0xFFFFF000u);  // the tick counter wraps during the test
  int Sent = 0;
  TWatchdogPing Ping(2000, [&] { return ++Sent, 0; });
  // Cycles at these moments (ms after the start) and the pings sent up to each.
  struct TStep {
    std::uint32_t At;
    int Sent;
  } Steps[] = {{0, 1},   {10, 1},   {499, 1},  {500, 2},  {501, 2},
               {999, 2}, {1000, 3}, {5000, 4}, {5100, 4}, {5500, 5}};
  std::uint32_t Now = 0;
  for (const TStep& S : Steps) {
    Clock.Advance(S.At - Now);
    Now = S.At;
    Ping.Cycle();
    EXPECT_EQ(S.Sent, Sent) << "at " << S.At << " ms";
  }

  // Without a watchdog nothing is ever sent.
  int None = 0;
  TWatchdogPing Off(0, [&] { return ++None, 0; });
  for (int I = 0; I < 3; ++I) {
    Off.Cycle();
    Clock.Advance(10000);
  }
  EXPECT_EQ(0, None);
}

TEST(DDWinSvcTest, UnitNamesTakeWhatSystemdTakes) {
  struct TCase {
    std::string Name;
    bool Valid;
  } Cases[] = {
      {"PelCID", true},
      {"pel-cid_2.x:y", true},
      {std::string(247, 'a'), true},
      {std::string(248, 'a'), false},
      {"", false},
      {"with space", false},
      {"a@b", false},
      {"a/b", false},
      {"\xd0\x96", false},
  };
  for (const TCase& C : Cases)
    EXPECT_EQ(C.Valid, IsUnitName(C.Name)) << C.Name;
}

TEST(DDWinSvcTest, SystemdAnalyzeAcceptsTheUnitFile) {
  if (system("command -v systemd-analyze >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "systemd-analyze is not installed (Debian package systemd)";
  TTempDir Dir;
  // An executable under a path with a space, '%' and '$', so that the escapes are checked too.
  // (systemd refuses a backslash in a program's path, escaped or not.)
  std::string Odd = Dir.File("odd dir 100% $x");
  std::filesystem::create_directory(Odd);
  std::string Program = Odd + "/PelCIDSvc";
  std::filesystem::copy_file("/bin/true", Program);
  TUnitSettings Settings;
  Settings.Description = "Pelmar system module for ContactID";
  Settings.ExecStart = ServiceCommandLine(Program);
  for (const char* Restart : {"no", "on-abnormal", "on-failure"}) {
    Settings.Restart = Restart;
    Settings.RestartDelayMs = 500;
    std::string Unit = Dir.File("PelCID.service", RenderUnitFile(Settings));
    std::string Output = Dir.File("verify.out");
    int Status = system(("systemd-analyze verify '" + Unit + "' >'" + Output + "' 2>&1").c_str());
    EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << ReadFile(Output);
    EXPECT_EQ("", ReadFile(Output)) << Restart;
  }
}

class ServiceManagerTest : public ::testing::Test {
 protected:
  TTempDir FDir;
  std::string FUnits = FDir.File("units");
  TScopedEnv FEnv{"PELMAR_UNIT_DIR", FUnits};

  void SetUp() override { std::filesystem::create_directory(FUnits); }

  static TUnitSettings Settings() {
    TUnitSettings S;
    S.Description = "Test Service";
    S.ExecStart = "\"/bin/true\" /SVC";
    return S;
  }
};

TEST_F(ServiceManagerTest, TheUnitDirectoryMustExist) {
  {
    TScopedEnv Missing("PELMAR_UNIT_DIR", FDir.File("missing"));
    try {
      TServiceManager Manager;
      FAIL() << "opened " << Manager.UnitDirectory();
    } catch (const EOSError& E) {
      EXPECT_EQ(ENOENT, E.ErrorCode());
      EXPECT_EQ("System error. Code: 2.\r\nNo such file or directory", E.Message());
    }
  }
  TServiceManager Manager;
  EXPECT_EQ(FUnits, Manager.UnitDirectory());
  EXPECT_EQ(FUnits + "/PelCID.service", Manager.UnitPath("PelCID"));
}

TEST_F(ServiceManagerTest, DefaultUnitDirectoryIsSystemds) {
  TScopedEnv Unset("PELMAR_UNIT_DIR", nullptr);
  if (!std::filesystem::is_directory("/etc/systemd/system"))
    GTEST_SKIP() << "no /etc/systemd/system here";
  EXPECT_EQ("/etc/systemd/system", TServiceManager().UnitDirectory());
}

TEST_F(ServiceManagerTest, CreateWritesTheFileOnceAndDeleteRemovesIt) {
  TRecordingSystemd Systemd(false);
  TServiceManager Manager;
  EXPECT_FALSE(Manager.ServiceExists("TestSvc"));
  EXPECT_EQ(nullptr, Manager.OpenService("TestSvc"));
  auto Handle = Manager.CreateService("TestSvc", Settings());
  EXPECT_TRUE(Manager.ServiceExists("TestSvc"));
  EXPECT_EQ(RenderUnitFile(Settings()), ReadFile(FUnits + "/TestSvc.service"));
  struct stat Info;
  ASSERT_EQ(0, stat((FUnits + "/TestSvc.service").c_str(), &Info));
  EXPECT_EQ(0644u, Info.st_mode & 0777u);

  Handle->Settings().Restart = "on-abnormal";
  Handle->Update();
  EXPECT_NE(std::string::npos, ReadFile(FUnits + "/TestSvc.service").find("Restart=on-abnormal"));

  EXPECT_EQ("System error. Code: 1073.\r\nThe specified service already exists.",
            Failure([&] { Manager.CreateService("TestSvc", Settings()); }));
  EXPECT_NE(std::string::npos, ReadFile(FUnits + "/TestSvc.service").find("Restart=on-abnormal"));

  auto Opened = Manager.OpenService("TestSvc");
  ASSERT_NE(nullptr, Opened);
  Opened->Delete();
  EXPECT_FALSE(Manager.ServiceExists("TestSvc"));
  EXPECT_EQ((std::vector<std::string>{}), Systemd.Calls);
  EXPECT_EQ(std::vector<std::string>{"units"}, [&] {
    std::vector<std::string> Names;
    for (auto& E : std::filesystem::directory_iterator(FDir.File("")))
      Names.push_back(E.path().filename().string());
    return Names;
  }());
}

TEST_F(ServiceManagerTest, NamesSystemdCannotTakeAreRefused) {
  TServiceManager Manager;
  EXPECT_EQ("System error. Code: 123.\r\nThe service name is not valid for a systemd unit.",
            Failure([&] { Manager.CreateService("Test Service", Settings()); }));
  EXPECT_TRUE(std::filesystem::is_empty(FUnits));
}

TEST_F(ServiceManagerTest, SystemctlRunsOnlyWhenSystemdDoes) {
  struct TCase {
    bool Running;
    bool AutoStart;
    std::vector<std::string> Activate;
    std::vector<std::string> Delete;
  } Cases[] = {
      {true,
       true,
       {"daemon-reload", "enable TestSvc.service"},
       {"disable TestSvc.service", "daemon-reload"}},
      {true, false, {"daemon-reload"}, {"disable TestSvc.service", "daemon-reload"}},
      {false, true, {}, {}},
  };
  for (const TCase& C : Cases) {
    TRecordingSystemd Systemd(C.Running);
    TServiceManager Manager;
    TUnitSettings S = Settings();
    S.AutoStart = C.AutoStart;
    auto Handle = Manager.CreateService("TestSvc", S);
    Handle->Activate();
    EXPECT_EQ(C.Activate, Systemd.Calls) << C.Running << C.AutoStart;
    Systemd.Calls.clear();
    Handle->Delete();
    EXPECT_EQ(C.Delete, Systemd.Calls) << C.Running << C.AutoStart;
  }
}

TEST_F(ServiceManagerTest, AFailedDisableKeepsTheUnitFile) {
  TRecordingSystemd Systemd(true);
  TServiceManager Manager;
  auto Handle = Manager.CreateService("TestSvc", Settings());
  Systemd.FailOn = {"disable"};
  EXPECT_EQ("systemctl disable TestSvc.service failed with exit code 1: refused",
            Failure([&] { Handle->Delete(); }));
  EXPECT_TRUE(Manager.ServiceExists("TestSvc"));
}

// The real systemctl runner, with a stand-in program first on the PATH.
TEST(SystemctlTest, FailuresCarryTheExitCodeAndTheOutput) {
  TTempDir Bin;
  std::string Script = Bin.File("systemctl",
                                "#!/bin/sh\n"
                                "[ \"$1\" = ok ] && exit 0\n"
                                "echo \"Failed to $1 $2: no bus\" >&2\n"
                                "exit 3\n");
  chmod(Script.c_str(), 0755);
  std::string Path = Bin.File("");
  Path.pop_back();
  TScopedEnv Env("PATH", Path);
  TSystemdControl Real;
  EXPECT_EQ("", Failure([&] { Real.Systemctl({"ok"}); }));
  EXPECT_EQ(
      "systemctl enable PelCID.service failed with exit code 3: Failed to enable "
      "PelCID.service: no bus",
      Failure([&] {
        Real.Systemctl({"enable", "PelCID.service"});
      }));
}

TEST(SystemctlTest, AMissingSystemctlIsAnOSError) {
  TTempDir Empty;
  std::string Path = Empty.File("");
  Path.pop_back();
  TScopedEnv Env("PATH", Path);
  TSystemdControl Real;
  EXPECT_EQ("systemctl: No such file or directory",
            Failure([&] { Real.Systemctl({"daemon-reload"}); }));
}

}  // namespace
}  // namespace pelmar
