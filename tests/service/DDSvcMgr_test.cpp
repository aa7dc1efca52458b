// ctest-label: os
//
// The service object: its properties and the values it reports, the status reports (to a
// notify socket the test binds), the control handler, the worker thread running start, work and
// requests with their failure texts, the event log, and installation into a temporary unit
// directory with systemctl recorded.
#include "DDSvcMgr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DDConsole.h"
#include "DDRegistryEx.h"
#include "EventLogRecorder.h"
#include "Failure.h"
#include "Process.h"
#include "PtyPair.h"
#include "SystemdDoubles.h"
#include "ToolProcess.h"

namespace pelmar {
namespace {

using namespace std::chrono_literals;
using test::Failure;
using test::Patience;
using test::TEventLogRecorder;
using test::TNotifySocket;
using test::TRecordingSystemd;
using test::TScopedEnv;
using test::TTempDir;

bool WaitUntil(const std::function<bool()>& Condition) {
  for (auto Deadline = std::chrono::steady_clock::now() + Patience;
       std::chrono::steady_clock::now() < Deadline;) {
    if (Condition())
      return true;
    std::this_thread::sleep_for(1ms);
  }
  return Condition();
}

std::string ReadFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  std::stringstream S;
  S << In.rdbuf();
  return S.str();
}

// A service as the program's own is configured: no pause, its own names.
class TTestService : public TDDService {
 public:
  TTestService() {
    SetName("TestSvc");
    SetDisplayName("Test Service");
    SetDescription("A service of the tests");
    SetAllowPause(false);
  }
};

// An OnExecute that works in slices and serves the requests between them, as the main module
// does, until a stop.
void PollingWork(TDDService& S) {
  while (!S.Terminated()) {
    S.ServeRequests(false);
    TEventQueue::Current()->WaitMessage(50);
  }
}

class DDServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { SetLastReportedState(rsStartPending); }

  // Starts the worker as debug mode does: no status reaches the service manager.
  // A worker still running when the service goes is ended by its destructor.
  void StartWorker(TDDService& S) {
    S.SetDebugFlag(true);
    S.SetServiceThread(std::make_unique<TServiceThread>(S));
    S.ServiceThread()->Resume();
  }
  // Waits for the worker to end and frees it; false when it did not end in time.
  bool WorkerEnds(TDDService& S) {
    TServiceThread* Thread = S.ServiceThread();
    if (Thread == nullptr || !WaitUntil([&] { return Thread->Finished(); }))
      return false;
    Thread->WaitFor();
    S.TakeServiceThread().reset();
    return true;
  }

  std::vector<std::string> Errors() {
    std::vector<std::string> Result;
    for (const TEventLogEntry& E : FLog.Entries())
      if (E.EventType == letError)
        Result.push_back(E.Message);
    return Result;
  }

  TEventLogRecorder FLog;
};

// ---------------------------------------------------------------------------------------------
// Properties and reported values

TEST_F(DDServiceTest, NamesFallBackToTheComponentName) {
  TDDService S;
  S.SetName("PelCID");
  EXPECT_EQ("PelCID", S.ServiceName());
  EXPECT_EQ("PelCID", S.DisplayName());
  EXPECT_EQ("", S.StoredDisplayName());
  S.SetServiceName("Other");
  S.SetDisplayName("Pelmar ContactID Service");
  EXPECT_EQ("Other", S.ServiceName());
  EXPECT_EQ("Pelmar ContactID Service", S.DisplayName());
}

TEST_F(DDServiceTest, ServiceNamesAndDescriptionsAreChecked) {
  TDDService S;
  struct TCase {
    std::string Value;
    std::string Error;
  } Names[] = {
      {std::string(256, 'n'), ""},
      {std::string(257, 'n'), "''" + std::string(257, 'n') + "'' is not a valid service name"},
      {"a\\b", "''a\\b'' is not a valid service name"},
      {"a/b", "''a/b'' is not a valid service name"},
      {"", "'''' is not a valid service name"},
  };
  for (const TCase& C : Names)
    EXPECT_EQ(C.Error, Failure([&] { S.SetServiceName(C.Value); })) << C.Value;
  EXPECT_EQ(std::string(256, 'n'), S.ServiceName());  // the refused values changed nothing

  EXPECT_EQ("", Failure([&] { S.SetDescription(std::string(1024, 'd')); }));
  EXPECT_EQ("Invalid service description. Maximum length allowed is 1024 chars",
            Failure([&] { S.SetDescription(std::string(1025, 'd')); }));
  EXPECT_EQ(std::string(1024, 'd'), S.Description());
}

TEST_F(DDServiceTest, InteractiveAndAccountExcludeEachOther) {
  TDDService S;
  S.SetServiceStartName("pelmar");
  S.SetPassword("secret");
  S.SetInteractive(true);
  EXPECT_EQ("", S.ServiceStartName());
  EXPECT_EQ("", S.Password());
  S.SetPassword("");
  EXPECT_TRUE(S.Interactive());  // an empty value leaves it
  S.SetPassword("other");
  EXPECT_FALSE(S.Interactive());
  S.SetInteractive(true);
  S.SetServiceStartName("pelmar");
  EXPECT_FALSE(S.Interactive());
}

TEST_F(DDServiceTest, AssigningEventsAllowsTheirRequests) {
  TDDService S;
  S.SetAllowStop(false);
  S.SetAllowPause(false);
  S.SetOnStop([](TDDService&, bool&) {});
  EXPECT_TRUE(S.AllowStop());
  S.SetOnContinue([](TDDService&, bool&) {});
  EXPECT_TRUE(S.AllowPause());
  EXPECT_TRUE(S.AllowedExControls().empty());
  S.SetOnParamChange([](TDDService&) {});
  S.SetOnNetBindChange([](TDDService&, int) {});
  S.SetOnSessionChange([](TDDService&, int, int) {});
  S.SetOnPreShutdown([](TDDService&) {});
  EXPECT_EQ((TAllowedExControls{alParamChange, alNetBindChange, alSessionChange, alPreShutdown}),
            S.AllowedExControls());
}

TEST_F(DDServiceTest, FailureActionsAndDependenciesDescribeThemselves) {
  struct TCase {
    TFailureActionType Type;
    int Delay;
    int StoredDelay;
    const char* Name;
  } Cases[] = {
      {faNone, 5000, 0, "No action"},
      {faRestart, 60000, 60000, "Restart service in 60000 ms"},
      {faReboot, -5, 0, "Reboot system in 0 ms"},
      {faRunCommand, 10, 10, "Execute command in 10 ms"},
  };
  for (const TCase& C : Cases) {
    TFailureAction A(C.Type, C.Delay);
    EXPECT_EQ(C.StoredDelay, A.Delay()) << C.Name;
    EXPECT_EQ(C.Name, A.DisplayName());
  }
  TFailureAction A(faRestart, 100);
  A.SetActionType(faNone);
  EXPECT_EQ(0, A.Delay());
  EXPECT_EQ("TDependency", TDependency{}.DisplayName());
  EXPECT_EQ("firebird", (TDependency{"firebird", false}).DisplayName());
}

TEST_F(DDServiceTest, DefaultsAreThoseOfAPlainOwnProcessService) {
  TDDService S;
  EXPECT_TRUE(S.AllowStop());
  EXPECT_TRUE(S.AllowPause());
  EXPECT_EQ(TExOptions{eoSuspendServiceThreadOnPause}, S.ExOptions());
  EXPECT_EQ(stAuto, S.StartType());
  EXPECT_EQ(esNormal, S.ErrorSeverity());
  EXPECT_EQ(5000, S.WaitHint());
  EXPECT_EQ(180000, S.PreShutdownTimeout());
  EXPECT_EQ(-1, S.FailureOptions().ResetPeriod);
  EXPECT_TRUE(S.LogOptions().UseCustomEventLog);
  EXPECT_EQ("DDService", S.LogOptions().EventLogName);
  EXPECT_EQ("DDServiceMsg.dll", S.LogOptions().MessagesLibrary);
  EXPECT_EQ(3, S.LogOptions().MessageCategoryCount);
  EXPECT_TRUE(S.LogOptions().LogSCEvents);
  EXPECT_EQ(rsStopped, S.Status());
  EXPECT_EQ("\"" + GetModuleFileName() + "\" /SVC", S.ImagePath());
}

TEST_F(DDServiceTest, CodesForTheServiceManager) {
  TTestService S;
  EXPECT_EQ(16u, S.ServiceTypeCode());
  S.SetInteractive(true);
  EXPECT_EQ(272u, S.ServiceTypeCode());
  S.SetInteractive(false);
  {
    TDDService Second;
    EXPECT_EQ(2, ServiceInstanceCount());
    EXPECT_EQ(32u, S.ServiceTypeCode());
  }
  EXPECT_EQ(16u, S.ServiceTypeCode());

  struct TStart {
    TServiceType Type;
    TStartType Start;
    std::uint32_t Code;
  } Starts[] = {
      {stWin32, stBoot, 2},     {stWin32, stSystem, 2},      {stDevice, stBoot, 0},
      {stDevice, stSystem, 1},  {stWin32, stAuto, 2},        {stWin32, stManual, 3},
      {stWin32, stDisabled, 4}, {stWin32, stAutoDelayed, 2},
  };
  for (const TStart& C : Starts) {
    S.SetServiceType(C.Type);
    S.SetStartType(C.Start);
    EXPECT_EQ(C.Code, S.StartTypeCode()) << C.Type << "/" << C.Start;
  }
  S.SetServiceType(stDevice);
  EXPECT_EQ(1u, S.ServiceTypeCode());
  S.SetServiceType(stFileSystem);
  EXPECT_EQ(2u, S.ServiceTypeCode());
  S.SetErrorSeverity(esCritical);
  EXPECT_EQ(3u, S.ErrorControlCode());

  EXPECT_EQ(5u, S.ControlsAccepted());  // stop and shutdown
  S.SetAllowPause(true);
  EXPECT_EQ(7u, S.ControlsAccepted());
  S.SetAllowedExControls({alParamChange, alNetBindChange, alSessionChange, alPreShutdown});
  EXPECT_EQ(7u + 8 + 16 + 128 + 256, S.ControlsAccepted());
}

// ---------------------------------------------------------------------------------------------
// Status reports

TEST_F(DDServiceTest, CheckpointsCountOnWhileAPendingStateIsReportedAgain) {
  TTestService S;
  S.SetDebugFlag(true);
  struct TStep {
    TServiceRunState State;
    std::uint32_t Reported, CheckPoint, Controls;
  } Steps[] = {
      {rsStartPending, 2, 1, 0},  // the process's first report
      {rsStartPending, 2, 2, 0}, {rsRunning, 4, 0, 5}, {rsStopPending, 3, 0, 5},
      {rsStopPending, 3, 1, 5},  {rsStopped, 1, 0, 5}, {rsStopped, 1, 0, 5},
  };
  for (const TStep& Step : Steps) {
    S.SetStatus(Step.State);
    TServiceStatus R = S.LastStatus();
    EXPECT_EQ(Step.Reported, R.CurrentState) << Step.State;
    EXPECT_EQ(Step.CheckPoint, R.CheckPoint) << Step.State;
    EXPECT_EQ(Step.Controls, R.ControlsAccepted) << Step.State;
    EXPECT_EQ(5000u, R.WaitHint);
    EXPECT_EQ(16u, R.ServiceType);
  }
  S.SetServiceExitCode(7);
  S.ReportStatus();
  EXPECT_EQ(1066u, S.LastStatus().Win32ExitCode);
  EXPECT_EQ(7u, S.LastStatus().ServiceSpecificExitCode);
}

TEST_F(DDServiceTest, ServiceModeReportsEveryStateToSystemd) {
  TNotifySocket Manager;
  TTestService S;
  S.SetOnExecute(PollingWork);
  std::thread Service([&] { S.Main({"TestSvc"}); });
  EXPECT_EQ("STATUS=Starting", Manager.Next());  // RunWorker
  EXPECT_EQ("STATUS=Starting", Manager.Next());  // the worker
  EXPECT_EQ("READY=1\nSTATUS=Running", Manager.Next());
  EXPECT_EQ(0u, S.ControlHandler(1));
  EXPECT_EQ("STOPPING=1\nSTATUS=Stopping", Manager.Next());
  EXPECT_EQ("STATUS=Stopped", Manager.Next());
  Service.join();
  EXPECT_EQ((std::vector<std::string>{"Test Service started!", "Test Service stopping!"}),
            FLog.Messages());
  EXPECT_EQ((std::vector<std::string>{"TestSvc"}), S.Params());
  EXPECT_FALSE(S.TriggerStarted());
}

TEST_F(DDServiceTest, DebugModeReportsNothingButStillLogs) {
  TNotifySocket Manager;
  TTestService S;
  StartWorker(S);
  ASSERT_TRUE(WaitUntil([&] { return S.Status() == rsRunning; }));
  S.ControlHandler(1);
  ASSERT_TRUE(WorkerEnds(S));
  EXPECT_EQ("", Manager.Pending());
  EXPECT_EQ((std::vector<std::string>{"Test Service started!", "Test Service stopping!"}),
            FLog.Messages());
}

TEST_F(DDServiceTest, AFailingReportIsAWarning) {
  TTempDir Dir;
  TScopedEnv Env("NOTIFY_SOCKET", Dir.File("gone"));
  TTestService S;
  S.SetStatus(rsRunning);
  ASSERT_EQ(1u, FLog.Entries().size());
  EXPECT_EQ(letWarning, FLog.Entries()[0].EventType);
  EXPECT_EQ("ReportStatus: No such file or directory", FLog.Entries()[0].Message);
}

TEST_F(DDServiceTest, TriggerStartIsTheSecondArgument) {
  TScopedEnv Env("NOTIFY_SOCKET", nullptr);
  for (auto [Args, Trigger] :
       {std::pair{std::vector<std::string>{"TestSvc", "TriggerStarted"}, true},
        std::pair{std::vector<std::string>{"TestSvc", "triggerstarted"}, false}}) {
    TTestService S;
    S.SetOnStart([](TDDService&, bool& Started) { Started = false; });
    S.Main(Args);
    EXPECT_EQ(Trigger, S.TriggerStarted()) << Args[1];
    EXPECT_EQ(Args, S.Params());
    EXPECT_EQ(rsStopped, S.Status());
  }
}

// ---------------------------------------------------------------------------------------------
// Control requests

TEST_F(DDServiceTest, ControlHandlerAcceptsWhatTheServiceAllows) {
  struct TCase {
    std::uint32_t Control;
    std::uint32_t Plain;  // the program's service: no pause, no extended controls
    std::uint32_t Full;   // pause and every extended control allowed
  } Cases[] = {
      {1, 0, 0},      {2, 120, 0},     {3, 120, 0},     {4, 0, 0},      {5, 0, 0},
      {6, 120, 0},    {7, 120, 0},     {10, 120, 0},    {14, 120, 0},   {15, 120, 0},
      {128, 0, 0},    {255, 0, 0},     {0, 120, 120},   {11, 120, 120}, {13, 120, 120},
      {16, 120, 120}, {127, 120, 120}, {256, 120, 120},
  };
  TTestService Plain, Full;
  Full.SetAllowPause(true);
  Full.SetAllowedExControls({alParamChange, alNetBindChange, alSessionChange, alPreShutdown});
  for (const TCase& C : Cases) {
    EXPECT_EQ(C.Plain, Plain.ControlHandler(C.Control)) << "control " << C.Control;
    EXPECT_EQ(C.Full, Full.ControlHandler(C.Control)) << "control " << C.Control;
  }
  TTestService NoStop;
  NoStop.SetAllowStop(false);
  EXPECT_EQ(120u, NoStop.ControlHandler(1));
}

TEST_F(DDServiceTest, RefusedRequestsAreNotQueued) {
  TTestService S;
  std::vector<std::string> Seen;
  S.SetOnPause([&](TDDService&, bool&) { Seen.push_back("pause"); });
  S.SetAllowPause(false);  // assigned, then switched off again
  S.SetOnCustomControl([&](TDDService&, int Code) { Seen.push_back(std::to_string(Code)); });
  StartWorker(S);
  EXPECT_EQ(120u, S.ControlHandler(2));
  EXPECT_EQ(0u, S.ControlHandler(200));
  EXPECT_EQ(0u, S.ControlHandler(1));
  ASSERT_TRUE(WorkerEnds(S));
  EXPECT_EQ((std::vector<std::string>{"200"}), Seen);
}

TEST_F(DDServiceTest, RequestsBeforeTheWorkerExistsWaitForIt) {
  TTestService S;
  EXPECT_EQ(0u, S.ControlHandler(1));
  StartWorker(S);
  ASSERT_TRUE(WorkerEnds(S));
  EXPECT_EQ((std::vector<std::string>{"Test Service started!", "Test Service stopping!"}),
            FLog.Messages());
}

TEST_F(DDServiceTest, AStopRefusedByOnStopRestoresTheStateAndTheWorkGoesOn) {
  TTestService S;
  // Written on the worker, read here.
  std::atomic<int> Asked{0};
  S.SetOnStop([&](TDDService&, bool& Stopped) { Stopped = ++Asked > 1; });
  S.SetOnExecute(PollingWork);
  StartWorker(S);
  ASSERT_TRUE(WaitUntil([&] { return S.Status() == rsRunning; }));
  S.ControlHandler(1);
  ASSERT_TRUE(WaitUntil([&] { return Asked == 1; }));
  EXPECT_TRUE(WaitUntil([&] { return S.Status() == rsRunning; }));
  EXPECT_FALSE(S.Terminated());
  S.ControlHandler(1);
  ASSERT_TRUE(WorkerEnds(S));
  EXPECT_EQ(2, Asked);
  EXPECT_EQ(rsStopPending, S.Status());
}

TEST_F(DDServiceTest, FailingRequestsAreLoggedAndTheLoopGoesOn) {
  struct TCase {
    std::uint32_t Control;
    const char* Error;
  } Cases[] = {
      {200, "Service failed in custom message(200): boom"},
      {1, "Service failed on stop: boom"},
      {6, "Service failed on ParamChange: boom"},
  };
  for (const TCase& C : Cases) {
    FLog.Clear();
    TTestService S;
    int Stops = 0;
    S.SetOnCustomControl([](TDDService&, int) { throw Exception("boom"); });
    S.SetOnParamChange([](TDDService&) { throw Exception("boom"); });
    S.SetOnStop([&](TDDService&, bool&) {
      if (C.Control == 1 && ++Stops == 1)
        throw Exception("boom");
    });
    S.SetOnExecute(PollingWork);
    StartWorker(S);
    ASSERT_TRUE(WaitUntil([&] { return S.Status() == rsRunning; })) << C.Control;
    S.ControlHandler(C.Control);
    EXPECT_TRUE(FLog.WaitMessage(C.Error)) << C.Control;
    // The state before the request is back, and the work goes on.
    EXPECT_TRUE(WaitUntil([&] { return S.Status() == rsRunning; })) << C.Control;
    EXPECT_FALSE(S.Terminated()) << C.Control;
    S.ControlHandler(1);
    ASSERT_TRUE(WorkerEnds(S)) << C.Control;
    EXPECT_EQ(std::vector<std::string>{C.Error}, Errors()) << C.Control;
  }
}

TEST_F(DDServiceTest, AFailingShutdownStillEndsTheWork) {
  TTestService S;
  S.SetOnShutdown([](TDDService&) { throw Exception("no power"); });
  StartWorker(S);
  ASSERT_TRUE(WaitUntil([&] { return S.Status() == rsRunning; }));
  S.ControlHandler(5);
  ASSERT_TRUE(WorkerEnds(S));
  EXPECT_EQ(rsStopPending, S.Status());
  EXPECT_EQ(std::vector<std::string>{"Service failed on shutdown: no power"}, Errors());
}

TEST_F(DDServiceTest, ShutdownEndsTheWorkWithItsOwnLine) {
  TTestService S;
  StartWorker(S);
  ASSERT_TRUE(WaitUntil([&] { return S.Status() == rsRunning; }));
  S.ControlHandler(5);
  ASSERT_TRUE(WorkerEnds(S));
  EXPECT_EQ((std::vector<std::string>{"Test Service started!",
                                      "Test Service stopping for system shutdown!"}),
            FLog.Messages());
}

TEST_F(DDServiceTest, OnRunExceptionDecidesOnTheLogAndOnAborting) {
  struct TCase {
    bool LogDefault;
    bool Abort;
    std::vector<std::string> Errors;
  } Cases[] = {
      {true, false, {"Service failed in custom message(130): boom"}},
      {false, false, {}},
      {false, true, {"Service failed on execute: Operation aborted"}},
  };
  for (const TCase& C : Cases) {
    FLog.Clear();
    TTestService S;
    S.SetOnCustomControl([](TDDService&, int) { throw Exception("boom"); });
    // Written on the worker, read here.
    std::mutex SeenLock;
    std::string Seen;
    auto SeenText = [&] {
      std::lock_guard<std::mutex> Guard(SeenLock);
      return Seen;
    };
    S.SetOnRunException(
        [&](TDDService&, const std::exception& E, bool& LogDefaultErrMsg, bool& CanAbort) {
          std::lock_guard<std::mutex> Guard(SeenLock);
          Seen = E.what();
          LogDefaultErrMsg = C.LogDefault;
          CanAbort = C.Abort;
        });
    S.SetOnExecute(PollingWork);
    StartWorker(S);
    ASSERT_TRUE(WaitUntil([&] { return S.Status() == rsRunning; }));
    S.ControlHandler(130);
    if (!C.Abort) {
      ASSERT_TRUE(WaitUntil([&] { return !SeenText().empty(); }));
      S.ControlHandler(1);
    }
    ASSERT_TRUE(WorkerEnds(S)) << C.LogDefault << C.Abort;
    EXPECT_EQ("boom", SeenText());
    EXPECT_EQ(C.Errors, Errors()) << C.LogDefault << C.Abort;
  }
}

TEST_F(DDServiceTest, StartAndWorkFailuresEndTheWorker) {
  struct TCase {
    const char* Name;
    std::function<void(TDDService&)> Configure;
    std::vector<std::string> Messages;
  } Cases[] = {
      {"start refused",
       [](TDDService& S) {
         S.SetOnStart([](TDDService&, bool& Started) { Started = false; });
         S.SetOnExecute([](TDDService&) { throw Exception("must not run"); });
       },
       {"Test Service started!"}},
      {"start raises",
       [](TDDService& S) {
         S.SetOnStart([](TDDService&, bool&) { throw Exception("no database"); });
       },
       {"Test Service started!", "Service failed on start: no database"}},
      {"work raises",
       [](TDDService& S) { S.SetOnExecute([](TDDService&) { throw Exception("lost"); }); },
       {"Test Service started!", "Service failed on execute: lost"}},
      {"work raises something else",
       [](TDDService& S) {
         S.SetOnExecute([](TDDService&) { throw std::runtime_error("runtime"); });
       },
       {"Test Service started!", "Service failed on execute: runtime"}},
  };
  for (const TCase& C : Cases) {
    FLog.Clear();
    TTestService S;
    C.Configure(S);
    StartWorker(S);
    ASSERT_TRUE(WorkerEnds(S)) << C.Name;
    EXPECT_EQ(C.Messages, FLog.Messages()) << C.Name;
  }
}

TEST_F(DDServiceTest, WithoutLogSCEventsTheServiceLinesAreNotWritten) {
  TTestService S;
  TServiceLogOptions Options;
  Options.LogSCEvents = false;
  S.SetLogOptions(Options);
  S.ControlHandler(1);
  StartWorker(S);
  ASSERT_TRUE(WorkerEnds(S));
  EXPECT_TRUE(FLog.Messages().empty());
}

TEST_F(DDServiceTest, PauseSuspendsTheWorkerUntilTheNextControl) {
  for (bool Suspend : {true, false}) {
    TTestService S;
    std::vector<std::string> Seen;
    S.SetOnPause([&](TDDService&, bool&) { Seen.push_back("pause"); });
    S.SetOnContinue([&](TDDService&, bool&) { Seen.push_back("continue"); });
    if (!Suspend)
      S.SetExOptions({});
    StartWorker(S);
    ASSERT_TRUE(WaitUntil([&] { return S.Status() == rsRunning; }));
    EXPECT_EQ(0u, S.ControlHandler(2));
    ASSERT_TRUE(WaitUntil([&] { return S.Status() == rsPaused; })) << Suspend;
    if (Suspend)
      EXPECT_TRUE(WaitUntil([&] { return S.ServiceThread()->Suspended(); }));
    else
      EXPECT_FALSE(S.ServiceThread()->Suspended());
    EXPECT_EQ(0u, S.ControlHandler(3));
    ASSERT_TRUE(WaitUntil([&] { return S.Status() == rsRunning; })) << Suspend;
    EXPECT_FALSE(S.ServiceThread()->Suspended());
    S.ControlHandler(1);
    ASSERT_TRUE(WorkerEnds(S));
    EXPECT_EQ((std::vector<std::string>{"pause", "continue"}), Seen);
  }
}

TEST_F(DDServiceTest, ARefusedPauseRestoresTheState) {
  TTestService S;
  TServiceRunState During = rsStopped;
  S.SetOnPause([&](TDDService& Self, bool& Paused) {
    During = Self.Status();
    Paused = false;
  });
  std::promise<TServiceRunState> After;
  S.SetOnCustomControl([&](TDDService& Self, int) { After.set_value(Self.Status()); });
  StartWorker(S);
  ASSERT_TRUE(WaitUntil([&] { return S.Status() == rsRunning; }));
  S.ControlHandler(2);
  S.ControlHandler(200);  // served after the pause
  auto Got = After.get_future();
  ASSERT_EQ(std::future_status::ready, Got.wait_for(Patience));
  EXPECT_EQ(rsPausePending, During);
  EXPECT_EQ(rsRunning, Got.get());
  EXPECT_FALSE(S.ServiceThread()->Suspended());
  S.ControlHandler(1);
  ASSERT_TRUE(WorkerEnds(S));
}

TEST_F(DDServiceTest, SessionAndNetworkChangesReachTheirEvents) {
  TTestService S;
  std::promise<std::string> Seen;
  std::string Codes;
  S.SetOnNetBindChange([&](TDDService&, int Code) { Codes += std::to_string(Code) + " "; });
  S.SetOnSessionChange([&](TDDService&, int Type, int Session) {
    Seen.set_value(Codes + "session " + std::to_string(Type) + "/" + std::to_string(Session));
  });
  StartWorker(S);
  S.ControlHandler(7);
  S.ControlHandler(10);
  EXPECT_EQ(0u, S.ControlHandler(14, 5, 42));
  auto Got = Seen.get_future();
  ASSERT_EQ(std::future_status::ready, Got.wait_for(Patience));
  EXPECT_EQ("7 10 session 5/42", Got.get());
  S.ControlHandler(1);
  ASSERT_TRUE(WorkerEnds(S));
}

TEST_F(DDServiceTest, TheWorkersQueueAlsoServesTheThreadsOtherMessages) {
  TTestService S;
  std::promise<std::thread::id> Served;
  std::unique_ptr<TMessageEndpoint> Endpoint;
  // Made on the worker thread, before the work; the default work serves its messages.
  S.SetOnStart([&](TDDService&, bool&) {
    Endpoint = std::make_unique<TMessageEndpoint>(
        [&](const TQueuedMessage&) { Served.set_value(std::this_thread::get_id()); });
    Endpoint->Post(WM_USER + 7);
  });
  StartWorker(S);
  auto Got = Served.get_future();
  ASSERT_EQ(std::future_status::ready, Got.wait_for(Patience));
  EXPECT_NE(std::this_thread::get_id(), Got.get());
  S.ControlHandler(1);
  ASSERT_TRUE(WorkerEnds(S));
  Endpoint.reset();
}

TEST_F(DDServiceTest, PowerEventsComeThroughTheHiddenWindow) {
  TTestService S;
  std::promise<void> Running;
  std::promise<std::string> Seen;
  S.SetOnPowerEvent([&](TDDService&, int Type, std::intptr_t Data, int& Result) {
    Result = 1;
    if (Type == 99)
      throw Exception("battery");
    Seen.set_value(std::to_string(Type) + "/" + std::to_string(Data));
  });
  S.SetOnExecute([&](TDDService& Self) {
    Running.set_value();
    PollingWork(Self);
  });
  EXPECT_EQ(0, ServiceWindowCount());
  StartWorker(S);
  ASSERT_EQ(std::future_status::ready, Running.get_future().wait_for(Patience));
  EXPECT_EQ(1, ServiceWindowCount());
  ASSERT_NE(nullptr, S.ServiceWindow());
  S.ServiceWindow()->Post(WM_POWERBROADCAST, 99, 0);
  S.ServiceWindow()->Post(WM_POWERBROADCAST, 10, 20);
  auto Got = Seen.get_future();
  ASSERT_EQ(std::future_status::ready, Got.wait_for(Patience));
  EXPECT_EQ("10/20", Got.get());
  S.ControlHandler(1);
  ASSERT_TRUE(WorkerEnds(S));
  EXPECT_EQ(0, ServiceWindowCount());
  EXPECT_EQ(nullptr, S.ServiceWindow());
  EXPECT_EQ(std::vector<std::string>{"Service failed on Message $00000218: battery"}, Errors());
}

TEST_F(DDServiceTest, ControlNamesForFailureTexts) {
  EXPECT_EQ("stop", ControlName(1));
  EXPECT_EQ("ParamChange", ControlName(6));
  EXPECT_EQ("HardwareProfileChange", ControlName(12));
  EXPECT_EQ("PreShutdown", ControlName(15));
  EXPECT_EQ("", ControlName(0));
  EXPECT_EQ("", ControlName(16));
}

// ---------------------------------------------------------------------------------------------
// Event log

TEST_F(DDServiceTest, LogLinesCarryTypeCategoryAndTheServiceNameAsSource) {
  TTestService S;
  S.LogInfo("info");
  S.LogWarning("warning");
  S.LogError("error");
  S.LogMessage("audit", letAuditSuccess, 9, 77);
  struct TExpected {
    TLogEventType Type;
    std::uint16_t Category;
    std::uint32_t ID;
    const char* Message;
  } Expected[] = {
      {letInformation, 3, 0, "info"},
      {letWarning, 2, 0, "warning"},
      {letError, 1, 0, "error"},
      {letAuditSuccess, 9, 77, "audit"},
  };
  std::vector<TEventLogEntry> Entries = FLog.Entries();
  ASSERT_EQ(4u, Entries.size());
  for (std::size_t I = 0; I < 4; ++I) {
    EXPECT_EQ("TestSvc", Entries[I].Source) << I;
    EXPECT_EQ(Expected[I].Type, Entries[I].EventType) << I;
    EXPECT_EQ(Expected[I].Category, Entries[I].Category) << I;
    EXPECT_EQ(Expected[I].ID, Entries[I].ID) << I;
    EXPECT_EQ(Expected[I].Message, Entries[I].Message) << I;
  }
}

TEST_F(DDServiceTest, LogLinesAreEchoedOnTheConsoleAtLevel3ErrorsHighlighted) {
  test::TPtyPair Pty;
  SetConsoleHandles(Pty.Slave(), Pty.Slave());
  IsConsole = true;
  ConsoleInit(nullptr);
  TEventLogger Logger("PelCIDSvc");
  ConsoleLevel = 2;
  Logger.LogMessage("hidden", letInformation);
  ConsoleLevel = 3;
  Logger.LogMessage("shown", letWarning, 2);
  Logger.LogMessage("failed", letError, 1);
  std::string Expected = "LogMessage: shown\r\n\x1b[37;41mLogMessage: failed\x1b[0m\r\n";
  EXPECT_EQ(Expected, Pty.Receive(Expected.size()));
  EXPECT_EQ(3u, FLog.Entries().size());
  ClosingByWindow = true;
  ConsoleDone();
  ClosingByWindow = false;
  ConsoleLevel = 1;
  SetConsoleHandles(-1, -1);
}

// ---------------------------------------------------------------------------------------------
// Installation

class ServiceInstallTest : public DDServiceTest {
 protected:
  void SetUp() override {
    DDServiceTest::SetUp();
    std::filesystem::create_directory(FUnits);
  }

  std::string UnitFile() const { return ReadFile(FUnits + "/TestSvc.service"); }
  bool Installed() const { return std::filesystem::exists(FUnits + "/TestSvc.service"); }

  TTempDir FDir;
  std::string FUnits = FDir.File("units");
  TScopedEnv FEnv{"PELMAR_UNIT_DIR", FUnits};
  std::string FSettings = FDir.File("settings");
  TScopedEnv FSettingsEnv{"PELMAR_SETTINGS_DIR", FSettings};
  TRecordingSystemd FSystemd{true};
};

TEST_F(ServiceInstallTest, InstallWritesTheUnitThenLoadsAndEnablesIt) {
  TTestService S;
  std::vector<std::string> Events;
  S.SetBeforeInstall([&](TDDService&) { Events.push_back("before"); });
  S.SetAfterInstall([&](TDDService&) { Events.push_back("after"); });
  TServiceManager Manager;
  InstallService(S, Manager);
  EXPECT_EQ(
      "[Unit]\n"
      "Description=A service of the tests\n"
      "\n[Service]\n"
      "Type=notify\n"
      "ExecStart=\"" +
          GetModuleFileName() +
          "\" /SVC\n"
          "Restart=no\n"
          "\n[Install]\n"
          "WantedBy=multi-user.target\n",
      UnitFile());
  EXPECT_EQ((std::vector<std::string>{"daemon-reload", "enable TestSvc.service"}), FSystemd.Calls);
  EXPECT_EQ((std::vector<std::string>{"before", "after"}), Events);
  EXPECT_EQ(std::vector<std::string>{"Test Service installed!"}, FLog.Messages());
}

TEST_F(ServiceInstallTest, WithoutADescriptionSystemdShowsTheDisplayName) {
  TTestService S;
  S.SetDescription("");
  TServiceManager Manager;
  InstallService(S, Manager);
  EXPECT_NE(std::string::npos, UnitFile().find("Description=Test Service\n")) << UnitFile();
}

TEST_F(ServiceInstallTest, ManualAndDisabledServicesAreNotEnabled) {
  for (TStartType Start : {stManual, stDisabled}) {
    FSystemd.Calls.clear();
    TTestService S;
    S.SetStartType(Start);
    TServiceManager Manager;
    InstallService(S, Manager);
    EXPECT_EQ(std::vector<std::string>{"daemon-reload"}, FSystemd.Calls) << Start;
    UninstallService(S, Manager);
  }
}

TEST_F(ServiceInstallTest, RestartPolicyFollowsTheFailureActions) {
  struct TCase {
    const char* Name;
    TFailureActions Actions;
    bool NonCrash;
    std::string Lines;
  } Cases[] = {
      {"none", {}, false, "Restart=no\n"},
      {"none, non-crash failures", {}, true, "Restart=no\n"},
      {"first does nothing", {{faNone, 0}, {faRestart, 100}}, false, "Restart=no\n"},
      {"restart", {{faRestart, 60000}}, false, "Restart=on-abnormal\nRestartSec=60000ms\n"},
      {"restart, non-crash failures",
       {{faRestart, 500}, {faReboot, 0}},
       true,
       "Restart=on-failure\nRestartSec=500ms\n"},
      {"reboot", {{faReboot, 1000}}, false, "FailureAction=reboot\n"},
  };
  for (const TCase& C : Cases) {
    TTestService S;
    S.SetFailureActions(C.Actions);
    TFailureOptions Options;
    Options.NonCrashFailures = C.NonCrash;
    S.SetFailureOptions(Options);
    TServiceManager Manager;
    InstallService(S, Manager);
    EXPECT_NE(std::string::npos, UnitFile().find(C.Lines)) << C.Name << "\n" << UnitFile();
    // The unit of the service's properties is what the install wrote: one source for both.
    EXPECT_EQ(RenderUnitFile(ServiceUnitSettings(S)), UnitFile()) << C.Name;
    UninstallService(S, Manager);
  }
}

TEST_F(ServiceInstallTest, InstalledUnitCarriesTheUserWatchdogAndSandbox) {
  TTestService S;
  S.SetServiceStartName("pelmar");
  S.SetFailureActions({TFailureAction(faRestart, 2000)});
  TFailureOptions Failure;
  Failure.NonCrashFailures = true;
  S.SetFailureOptions(Failure);
  TServiceUnitOptions Options;
  Options.SupplementaryGroups = {"dialout"};
  Options.WatchdogSec = 240;
  Options.Sandbox = {"ProtectSystem=strict"};
  S.SetUnitOptions(Options);
  TServiceManager Manager;
  InstallService(S, Manager);
  EXPECT_EQ(RenderUnitFile(ServiceUnitSettings(S)), UnitFile());
  for (const char* Line :
       {"User=pelmar\n", "SupplementaryGroups=dialout\n",
        "Restart=on-failure\nRestartSec=2000ms\nWatchdogSec=240s\n", "\nProtectSystem=strict\n"})
    EXPECT_NE(std::string::npos, UnitFile().find(Line)) << Line << "\n" << UnitFile();
}

TEST_F(ServiceInstallTest, InstallingTwiceFailsAndKeepsTheFirstInstallation) {
  TTestService S;
  TServiceManager Manager;
  InstallService(S, Manager);
  std::string First = UnitFile();
  FSystemd.Calls.clear();
  FLog.Clear();
  EXPECT_EQ("System error. Code: 1073.\r\nThe specified service already exists.",
            Failure([&] { InstallService(S, Manager); }));
  EXPECT_EQ(First, UnitFile());
  EXPECT_TRUE(FSystemd.Calls.empty());
  EXPECT_TRUE(FLog.Messages().empty());
}

TEST_F(ServiceInstallTest, AFailedInstallationIsRolledBack) {
  struct TCase {
    const char* Name;
    std::set<std::string> FailingSystemctl;
    bool AfterInstallRaises;
    std::string Error;
    std::vector<std::string> Calls;
  } Cases[] = {
      {"AfterInstall raises",
       {},
       true,
       "not today",
       {"daemon-reload", "enable TestSvc.service", "disable TestSvc.service", "daemon-reload"}},
      {"enable fails",
       {"enable"},
       false,
       "systemctl enable TestSvc.service failed with exit code 1: refused",
       {"daemon-reload", "enable TestSvc.service", "disable TestSvc.service", "daemon-reload"}},
      {"reload fails, and so does the clean-up's",
       {"daemon-reload"},
       false,
       "systemctl daemon-reload failed with exit code 1: refused",
       {"daemon-reload", "disable TestSvc.service", "daemon-reload"}},
      {"enable fails, and the clean-up's disable too: the unit file goes all the same",
       {"enable", "disable"},
       false,
       "systemctl enable TestSvc.service failed with exit code 1: refused",
       {"daemon-reload", "enable TestSvc.service", "disable TestSvc.service"}},
  };
  for (const TCase& C : Cases) {
    FSystemd.Calls.clear();
    FSystemd.FailOn = C.FailingSystemctl;
    TTestService S;
    if (C.AfterInstallRaises)
      S.SetAfterInstall([](TDDService&) { throw Exception("not today"); });
    TServiceManager Manager;
    EXPECT_EQ(C.Error, Failure([&] { InstallService(S, Manager); })) << C.Name;
    EXPECT_FALSE(Installed()) << C.Name;
    EXPECT_EQ(C.Calls, FSystemd.Calls) << C.Name;
  }
}

TEST_F(ServiceInstallTest, UninstallRemovesTheUnitAndASecondUninstallIsNoFailure) {
  TTestService S;
  std::vector<std::string> Events;
  S.SetBeforeUninstall([&](TDDService&) { Events.push_back("before"); });
  S.SetAfterUninstall([&](TDDService&) { Events.push_back("after"); });
  TServiceManager Manager;
  InstallService(S, Manager);
  FSystemd.Calls.clear();
  FLog.Clear();
  UninstallService(S, Manager);
  EXPECT_FALSE(Installed());
  EXPECT_EQ((std::vector<std::string>{"disable TestSvc.service", "daemon-reload"}), FSystemd.Calls);
  EXPECT_EQ((std::vector<std::string>{"before", "after"}), Events);
  EXPECT_EQ(std::vector<std::string>{"Test Service uninstalled!"}, FLog.Messages());

  FSystemd.Calls.clear();
  FLog.Clear();
  Events.clear();
  EXPECT_EQ("", Failure([&] { UninstallService(S, Manager); }));
  EXPECT_TRUE(FSystemd.Calls.empty());
  EXPECT_TRUE(Events.empty());
  EXPECT_TRUE(FLog.Messages().empty());
}

// ---------------------------------------------------------------------------------------------
// Event-log registration

// A service writing to the log "PelMar", as the program's does.
class TLoggingService : public TTestService {
 public:
  explicit TLoggingService(const std::string& Name = "TestSvc") {
    SetName(Name);
    TServiceLogOptions Options;
    Options.EventLogName = "PelMar";
    Options.MessagesLibrary = "PelMarMessages.dll";
    SetLogOptions(Options);
  }
};

const std::string LogKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\PelMar";

class EventLogRegistrationTest : public ServiceInstallTest {
 protected:
  std::vector<std::string> Sources() {
    TRegistry Registry;
    if (!Registry.OpenKey(LogKey, false) || !Registry.ValueExists("Sources"))
      return {"(none)"};
    return Registry.ReadMultiSz("Sources");
  }
  bool KeyExists(const std::string& Key) { return TRegistry().KeyExists(Key); }

  std::string FMessages =
      GetModuleFileName().substr(0, GetModuleFileName().rfind('/') + 1) + "PelMarMessages.dll";
};

TEST_F(EventLogRegistrationTest, InstallRecordsTheLogAndTheSource) {
  TLoggingService S;
  EXPECT_EQ(LogKey, EventLogKey(S));
  EXPECT_EQ(FMessages, MessagesPath(S));
  TServiceManager Manager;
  InstallService(S, Manager);

  struct TValue {
    std::string Key, Name;
    TRegDataType Type;
    std::string Text;
    std::int32_t Number;
  } Values[] = {
      {LogKey, "DisplayNameFile", TRegDataType::rdExpandString, FMessages, 0},
      {LogKey, "DisplayNameID", TRegDataType::rdInteger, "", 4},
      {LogKey, "File", TRegDataType::rdExpandString, "PelMar.evt", 0},
      {LogKey, "MaxSize", TRegDataType::rdInteger, "", 524288},
      {LogKey, "PrimaryModule", TRegDataType::rdString, "PelMar", 0},
      {LogKey, "Retention", TRegDataType::rdInteger, "", 0},
      {LogKey + "\\TestSvc", "EventMessageFile", TRegDataType::rdString, FMessages, 0},
      {LogKey + "\\TestSvc", "CategoryMessageFile", TRegDataType::rdString, FMessages, 0},
      {LogKey + "\\TestSvc", "CategoryCount", TRegDataType::rdInteger, "", 3},
      {LogKey + "\\TestSvc", "TypesSupported", TRegDataType::rdInteger, "", 7},
  };
  TRegistry Registry;
  for (const TValue& V : Values) {
    ASSERT_TRUE(Registry.OpenKey(V.Key, false)) << V.Key;
    ASSERT_EQ(V.Type, Registry.GetDataType(V.Name)) << V.Name;
    if (V.Type == TRegDataType::rdInteger)
      EXPECT_EQ(V.Number, Registry.ReadInteger(V.Name)) << V.Name;
    else
      EXPECT_EQ(V.Text, Registry.ReadString(V.Name)) << V.Name;
  }
  EXPECT_EQ(std::vector<std::string>{"TestSvc"}, Sources());
  EXPECT_EQ(std::vector<std::string>{"Test Service installed!"}, FLog.Messages());
}

TEST_F(EventLogRegistrationTest, AnExistingLogKeepsItsValuesAndGainsTheSource) {
  {
    TRegistry Registry;
    ASSERT_TRUE(Registry.OpenKey(LogKey, true));
    Registry.WriteInteger("MaxSize", 1024);
  }
  TLoggingService S;
  TServiceManager Manager;
  InstallService(S, Manager);
  TRegistry Registry;
  ASSERT_TRUE(Registry.OpenKey(LogKey, false));
  EXPECT_EQ(1024, Registry.ReadInteger("MaxSize"));
  EXPECT_FALSE(Registry.ValueExists("PrimaryModule"));
  EXPECT_EQ(std::vector<std::string>{"TestSvc"}, Sources());
}

TEST_F(EventLogRegistrationTest, TwoServicesShareALogUntilTheLastLeaves) {
  TLoggingService A("ServiceA"), B("ServiceB");
  TServiceManager Manager;
  InstallService(A, Manager);
  InstallService(B, Manager);
  EXPECT_EQ((std::vector<std::string>{"ServiceA", "ServiceB"}), Sources());
  UninstallService(A, Manager);
  EXPECT_EQ(std::vector<std::string>{"ServiceB"}, Sources());
  EXPECT_TRUE(KeyExists(LogKey + "\\ServiceA"));  // left in place while others remain
  UninstallService(B, Manager);
  EXPECT_FALSE(KeyExists(LogKey));
  EXPECT_FALSE(KeyExists(LogKey + "\\ServiceA"));
}

TEST_F(EventLogRegistrationTest, ASourceListedInOtherLettersIsNotAddedAgain) {
  {
    TRegistry Registry;
    ASSERT_TRUE(Registry.OpenKey(LogKey, true));
    Registry.WriteMultiSz("Sources", {"Other", "TESTSVC"});
  }
  TLoggingService S;
  TServiceManager Manager;
  InstallService(S, Manager);
  EXPECT_EQ((std::vector<std::string>{"Other", "TESTSVC"}), Sources());
  UninstallService(S, Manager);
  EXPECT_EQ(std::vector<std::string>{"Other"}, Sources());
}

TEST_F(EventLogRegistrationTest, SourcesOfAnotherTypeUndoTheInstallation) {
  {
    TRegistry Registry;
    ASSERT_TRUE(Registry.OpenKey(LogKey, true));
    Registry.WriteString("Sources", "TestSvc");
  }
  TLoggingService S;
  TServiceManager Manager;
  EXPECT_EQ("String list expected", Failure([&] { InstallService(S, Manager); }));
  EXPECT_FALSE(Installed());
  EXPECT_TRUE(KeyExists(LogKey));  // the log's key stays
}

TEST_F(EventLogRegistrationTest, UninstallOfAServiceThatIsNotInstalledLeavesTheLogAlone) {
  {
    TRegistry Registry;
    ASSERT_TRUE(Registry.OpenKey(LogKey, true));
    Registry.WriteMultiSz("Sources", {"TestSvc"});
  }
  TLoggingService S;
  TServiceManager Manager;
  UninstallService(S, Manager);
  EXPECT_EQ(std::vector<std::string>{"TestSvc"}, Sources());
}

TEST_F(EventLogRegistrationTest, WithoutACustomLogNothingIsRecorded) {
  TLoggingService S;
  TServiceLogOptions Options = S.LogOptions();
  Options.UseCustomEventLog = false;
  S.SetLogOptions(Options);
  TServiceManager Manager;
  InstallService(S, Manager);
  UninstallService(S, Manager);
  EXPECT_FALSE(std::filesystem::exists(FSettings));
}

TEST_F(EventLogRegistrationTest, IncompleteLogOptionsAreRefusedWithTheirTexts) {
  struct TCase {
    const char* Name;
    std::function<void(TServiceLogOptions&)> Change;
    std::function<void(TDDService&)> Call;
    const char* Error;
  } Cases[] = {
      {"create without a log name", [](TServiceLogOptions& O) { O.EventLogName = ""; },
       CreateCustomEventLog, "CreateCustomEventLog: Service EventLogName must be defined!"},
      {"create without a library", [](TServiceLogOptions& O) { O.MessagesLibrary = ""; },
       CreateCustomEventLog, "CreateCustomEventLog: Service MessagesLibrary must be defined!"},
      {"register without a log name", [](TServiceLogOptions& O) { O.EventLogName = ""; },
       RegisterEventLogSource, "RegisterEventLogSource: Service EventLogName must be defined!"},
      {"register without a library", [](TServiceLogOptions& O) { O.MessagesLibrary = ""; },
       RegisterEventLogSource, "RegisterEventLogSource: Service MessagesLibrary must be defined!"},
      {"register without categories", [](TServiceLogOptions& O) { O.MessageCategoryCount = 0; },
       RegisterEventLogSource, "RegisterEventLogSource: Service MessageCategoryCount must be > 0!"},
      {"register before the log exists", [](TServiceLogOptions&) {}, RegisterEventLogSource,
       "RegisterEventLogSource: Event log does not exist! Use CreateCustomEventLog first"},
      {"unregister without a log name", [](TServiceLogOptions& O) { O.EventLogName = ""; },
       UnRegisterEventLogSource, "UnRegisterEventLogSource: Service EventLogName must be defined!"},
  };
  for (const TCase& C : Cases) {
    TLoggingService S;
    TServiceLogOptions Options = S.LogOptions();
    C.Change(Options);
    S.SetLogOptions(Options);
    EXPECT_EQ(C.Error, Failure([&] { C.Call(S); })) << C.Name;
  }
  EXPECT_FALSE(std::filesystem::exists(FSettings));
}

TEST_F(EventLogRegistrationTest, TheLogFileNameTakesTheEvtExtension) {
  TLoggingService S;
  TServiceLogOptions Options = S.LogOptions();
  Options.EventLogName = "Station.Log";
  S.SetLogOptions(Options);
  CreateCustomEventLog(S);
  TRegistry Registry;
  ASSERT_TRUE(Registry.OpenKey(EventLogKey(S), false));
  EXPECT_EQ("Station.evt", Registry.ReadString("File"));
}

}  // namespace
}  // namespace pelmar
