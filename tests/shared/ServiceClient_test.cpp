// ctest-label: db
#include "ServiceClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include "DBUtils.h"
#include "Debug.h"
#include "FakeClock.h"
#include "FakeCore.h"
#include "FirebirdFixture.h"
#include "LoopbackPeer.h"
#include "Records.h"

namespace pelmar {
namespace {

using namespace std::chrono_literals;
using test::TCoreMessage;
using test::TFakeClock;
using test::TFakeCore;

constexpr std::uint8_t OwnService = 5;
constexpr std::int32_t OwnedObject = 100;

using test::BufferOfContent;

std::string Bytes(const TBufferProtocol& B) {
  return test::ContentOf(B);
}

std::unique_ptr<TSysService> ServiceRecord(std::int32_t ID, std::uint8_t Service,
                                           const std::string& Name) {
  auto S = TCustomSysObject::Create<TSysService>();
  S->SetID(ID);
  S->SetServiceID(Service);
  S->SetName(Name);
  return S;
}

// A counted list of add actions, as "GetSysObjects" answers.
std::string AddActions(const std::vector<TCustomSysObject*>& Objects) {
  TBufferProtocol B(32);
  B.WriteInteger(static_cast<std::int32_t>(Objects.size()));
  for (TCustomSysObject* O : Objects) {
    B.WriteByte(olaAdded);
    O->SaveToBuffer(B);
  }
  return Bytes(B);
}

// The installation the fake Core service serves unless a test says otherwise: the service's own
// record, an object of this service that the owner makes, and a record of another service.
struct TInstallation {
  std::unique_ptr<TSysService> Own = ServiceRecord(OwnService, OwnService, "ContactID");
  std::unique_ptr<TSysService> Owned = ServiceRecord(OwnedObject, OwnService, "Receiver room");
  std::unique_ptr<TSysService> Foreign = ServiceRecord(3, 3, "Other service");
  std::string List() { return AddActions({Own.get(), Owned.get(), Foreign.get()}); }
};

class ServiceClientTest : public test::TFirebirdTest {
 protected:
  void SetUp() override {
    test::TFirebirdTest::SetUp();
    if (IsSkipped() || HasFatalFailure())
      return;
    SetDebugLogHook([this](const std::string& Line) {
      std::lock_guard<std::mutex> Guard(FLock);
      DebugLines.push_back(Line);
      FChanged.notify_all();
    });
    // The client opens the database itself.
    Database().Close();
  }

  void TearDown() override {
    StopAndJoin();
    SetDebugLogHook(nullptr);
    test::TFirebirdTest::TearDown();
  }

  // Starts Run on a worker thread of its own; Setup configures the client there beforehand.
  void Start(std::function<void(TServiceClient&)> Setup = nullptr) {
    FWorker = std::thread([this, Setup] {
      TServiceClient C;
      C.SetServiceID(OwnService);
      C.SetDatabase(&Database());
      C.SetCorePort(Core.Port());
      C.SetCorePassword("secret");
      C.SetServiceLanguage("ru");
      C.LogBuffer().SetBatchTimeout(0);
      C.OnWork = [this](TServiceClient& Sender) { Work(Sender); };
      C.OnSvcLogInfo = [this](const std::string& T) { Record(Infos, T); };
      C.OnSvcLogWarning = [this](const std::string& T) { Record(Warnings, T); };
      C.OnSvcLogError = [this](const std::string& T) { Record(Errors, T); };
      C.OnObjectCreate = [](TBufferProtocol& B,
                            const TGeneralSysObject& Probe) -> std::unique_ptr<TCustomSysObject> {
        if (Probe.ServiceID() != OwnService || Probe.ID() == OwnService)
          return nullptr;
        auto O = TCustomSysObject::Create<TSysService>();
        O->LoadFromBuffer(B);
        return O;
      };
      if (Setup)
        Setup(C);
      {
        std::lock_guard<std::mutex> Guard(FLock);
        Client = &C;
      }
      try {
        C.Run();
      } catch (...) {
        std::lock_guard<std::mutex> Guard(FLock);
        RunError = std::current_exception();
      }
      std::lock_guard<std::mutex> Guard(FLock);
      Client = nullptr;
      RunEnded = true;
      FChanged.notify_all();
    });
  }

  void StopAndJoin() {
    if (!FWorker.joinable())
      return;
    {
      std::lock_guard<std::mutex> Guard(FLock);
      if (Client)
        Client->Stop();
    }
    FWorker.join();
  }

  // Runs F on the worker thread inside the next work cycle and waits for it.
  void OnWorker(std::function<void(TServiceClient&)> F) {
    std::unique_lock<std::mutex> Lock(FLock);
    FWorkQueue.push_back(std::move(F));
    ASSERT_TRUE(FChanged.wait_for(Lock, 20s, [this] {
      return FWorkQueue.empty() && !FWorkRunning;
    })) << "the work cycle did not run";
  }

  void Work(TServiceClient& Sender) {
    Sender.SetAcceptingCommands(Accepting);
    std::unique_lock<std::mutex> Lock(FLock);
    ++WorkCycles;
    if (EachWork) {
      std::function<void()> Step = EachWork;
      Lock.unlock();
      Step();
      Lock.lock();
    }
    if (WorkError) {
      std::function<void()> Raise = WorkError;
      Lock.unlock();
      Raise();
      return;
    }
    while (!FWorkQueue.empty()) {
      std::function<void(TServiceClient&)> F = std::move(FWorkQueue.front());
      FWorkQueue.pop_front();
      FWorkRunning = true;
      Lock.unlock();
      F(Sender);
      Lock.lock();
      FWorkRunning = false;
    }
    FChanged.notify_all();
  }

  void Record(std::vector<std::string>& To, const std::string& Text) {
    std::lock_guard<std::mutex> Guard(FLock);
    To.push_back(Text);
    FChanged.notify_all();
  }

  // Waits in real time for Condition, which is evaluated under the fixture's lock.
  bool WaitFor(const std::function<bool()>& Condition, std::chrono::milliseconds Wait = 20s) {
    std::unique_lock<std::mutex> Lock(FLock);
    return FChanged.wait_for(Lock, Wait, Condition);
  }

  // Advances the fake clock in steps until Condition holds.
  bool AdvanceUntil(const std::function<bool()>& Condition, std::uint32_t Step) {
    for (int I = 0; I < 4000; ++I) {
      if (WaitFor(Condition, 5ms))
        return true;
      Clock.Advance(Step);
    }
    return false;
  }

  template <typename T>
  T Copy(const T& From) {
    std::lock_guard<std::mutex> Guard(FLock);
    return From;
  }

  bool Ended() {
    return WaitFor([this] { return RunEnded; });
  }

  // The fake Core service side of a log-in and load: answers "GetSysObjects" with List and
  // returns what "SetSysObjects" carried.
  std::string ServeLogin(const std::string& List) {
    Core.AcceptAndLogin();
    TCoreMessage Get = Core.ReadCommand("GetSysObjects");
    Core.ReplyData(Get.Id, List);
    TCoreMessage Set = Core.ReadCommand("SetSysObjects");
    Core.ReplyDone(Set.Id);
    TCoreMessage Register = Core.ReadCommand("RegisterForEvents");
    Core.ReplyDone(Register.Id);
    RegisterParams = Register.Params;
    return Set.Params;
  }

  // Starts the client and brings it online with the default installation.
  void StartOnline(std::function<void(TServiceClient&)> Setup = nullptr) {
    Start(std::move(Setup));
    ServeLogin(Installation.List());
    ASSERT_TRUE(WaitFor([this] { return WorkCycles > 0; }));
  }

  // Reads messages until the event Name comes (keepalives and others are answered).
  TCoreMessage ReadEvent(const std::string& Name) {
    for (;;) {
      TCoreMessage M = Core.ReadMessage();
      if (M.IsEvent && M.Name == Name)
        return M;
      if (!M.IsEvent)
        Core.ReplyDone(M.Id);
    }
  }

  // Pushes a command and returns the status byte and the rest of its "ReturnCommand".
  std::string Command(const std::string& Name, const std::string& Params, std::int64_t User = 42,
                      std::vector<TCoreMessage>* Before = nullptr) {
    Core.Push({TFakeCore::PushedCommand(0, User, Name, Params)});
    for (;;) {
      TCoreMessage M = Core.ReadMessage();
      if (!M.IsEvent && M.Name == "ReturnCommand") {
        Core.ReplyDone(M.Id);
        return M.Params;
      }
      if (!M.IsEvent)
        Core.ReplyDone(M.Id);
      if (Before)
        Before->push_back(M);
    }
  }

  std::vector<std::string> DebugLinesFrom(const std::string& First) {
    std::lock_guard<std::mutex> Guard(FLock);
    std::vector<std::string> Out;
    bool In = false;
    for (const std::string& L : DebugLines) {
      In = In || L == First;
      if (In)
        Out.push_back(L);
    }
    return Out;
  }

  TFakeClock Clock;
  TFakeCore Core;
  TInstallation Installation;
  // Outlives the client, which detaches from it when it is destroyed on the worker thread.
  TDBUpdateDate Version;

  std::mutex FLock;
  std::condition_variable FChanged;
  TServiceClient* Client = nullptr;  // while Run runs
  std::exception_ptr RunError;
  bool RunEnded = false;
  std::vector<std::string> Infos, Warnings, Errors, DebugLines;
  int WorkCycles = 0;
  bool Accepting = true;
  std::function<void()> WorkError;
  std::function<void()> EachWork;  // runs in every work cycle, outside the fixture's lock
  std::string RegisterParams;

 private:
  std::thread FWorker;
  std::deque<std::function<void(TServiceClient&)>> FWorkQueue;
  bool FWorkRunning = false;
};

TEST(ServiceClientRunTest, MissingServiceIdOrWorkHandlerIsABugCheckAndStartsNothing) {
  struct {
    std::uint8_t ServiceID;
    bool WithWork;
    std::string Message;
  } Cases[] = {
      {0, true, "BUGCHECK: Someone forgot to set service id ;)"},
      {5, false, "BUGCHECK: TServiceClient.OnWork event must be assigned!"},
  };
  for (const auto& Case : Cases) {
    TServiceClient C;
    C.SetServiceID(Case.ServiceID);
    if (Case.WithWork)
      C.OnWork = [](TServiceClient&) {};
    try {
      C.Run();
      ADD_FAILURE() << "no exception for " << Case.Message;
    } catch (const EBugCheckError& E) {
      EXPECT_EQ(Case.Message, E.Message());
    }
    EXPECT_EQ(nullptr, C.Objects());
    EXPECT_EQ(nullptr, C.Connection());
  }
}

TEST(ServiceClientRunTest, RegistrationsNeedThePollingThread) {
  TServiceClient C;
  EXPECT_THROW(C.RegisterCommand("X", [](pPelCommand) {}), EBugCheckError);
  EXPECT_THROW(C.RegisterEvent("X", 0, [](pPelEvent) {}), EBugCheckError);
  EXPECT_EQ(nullptr, C.CurrentCommand());
}

TEST_F(ServiceClientTest, BringsUpDatabaseThenCoreThenWorksAndStopsInOrder) {
  Version.SetLastKnownDBVersion(EncodeDate(2015, 1, 4));
  std::vector<std::string> Steps;
  auto Step = [&](const std::string& S) {
    std::lock_guard<std::mutex> Guard(FLock);
    Steps.push_back(S);
  };
  Start([&](TServiceClient& C) {
    C.SetDBUpdateDate(&Version);
    C.OnDBConnected = [&](TServiceClient&) { Step("database"); };
    C.OnRegisterCommands = [&](TServiceClient& Sender) {
      Step("register");
      Sender.RegisterEvent("SysObjectStatus", 7, [](pPelEvent) {});
    };
    C.OnConnected = [&](TServiceClient&) { Step("logged in"); };
    C.OnListLoaded = [&] { Step("loaded"); };
    C.OnGetServiceConfig = [&](TSysService& S) {
      Step("service object");
      S.SetInfoText("configured");
    };
    C.OnBeforeStop = [&](TServiceClient&) { Step("before stop"); };
  });
  test::TCoreLogin Login = Core.AcceptAndLogin();
  EXPECT_EQ(OwnService, Login.ServiceID);
  EXPECT_EQ("1.9", Login.Version);
  EXPECT_EQ("secret", Login.Password);
  TCoreMessage Get = Core.ReadCommand("GetSysObjects");
  EXPECT_EQ("", Get.Params);
  Core.ReplyData(Get.Id, Installation.List());
  TCoreMessage Set = Core.ReadCommand("SetSysObjects");
  Core.ReplyDone(Set.Id);
  TCoreMessage Register = Core.ReadCommand("RegisterForEvents");
  Core.ReplyDone(Register.Id);
  ASSERT_TRUE(WaitFor([this] { return WorkCycles > 0; }));

  // The own record and the owner's object go back, in ID order; the other service's does not.
  TSysObjectList Sent;
  Sent.OnCreateObject = [](TBufferProtocol& B) -> std::unique_ptr<TCustomSysObject> {
    auto O = TCustomSysObject::Create<TGeneralSysObject>();
    O->LoadFromBuffer(B);
    return O;
  };
  EXPECT_EQ(TFakeCore::Int(2), Set.Params.substr(0, 4));
  Sent.ObjectLoadMulti(*BufferOfContent(Set.Params), false);
  ASSERT_EQ(2, Sent.Count());
  EXPECT_EQ(OwnService, Sent.Items(0)->ID());
  EXPECT_EQ(OwnedObject, Sent.Items(1)->ID());
  // The owner's registration precedes the client's "CoreQuit".
  EXPECT_EQ("\x07" + TFakeCore::Str("SysObjectStatus") + std::string(1, '\0') +
                TFakeCore::Str("CoreQuit"),
            Register.Params);

  OnWorker([&](TServiceClient& C) {
    ASSERT_NE(nullptr, C.ServiceObject());
    EXPECT_TRUE(C.ServiceOnline());
    EXPECT_EQ("configured", C.ServiceObject()->InfoText());
    EXPECT_EQ(2, C.Objects()->Count());
  });
  EXPECT_EQ((std::vector<std::string>{"ContactID is now online!"}), Copy(Infos));
  // PR_LOAD_LANGUAGE ran on the connection with the service's language.
  OnWorker([](TServiceClient&) {
    TCriticalSectionGuard Guard(DatabaseLock());
    auto Q = NewQuerySQL("SELECT RDB$GET_CONTEXT('USER_SESSION', 'LANGUAGE') FROM RDB$DATABASE");
    Q->ExecQuery();
    EXPECT_EQ("ru", Q->Fields(0).AsString());
    FreeQuery(Q, true);
  });

  StopAndJoin();
  EXPECT_TRUE(Core.ReadEvent("Quit").IsEvent);
  EXPECT_EQ((std::vector<std::string>{"database", "register", "logged in", "service object",
                                      "loaded", "before stop"}),
            Steps);
  const std::vector<std::string> Sequence = {"ServiceClient>OnBeforeStop",
                                             "ServiceClient>DisconnectCore",
                                             "ServiceClient.HandleCoreDisconnected",
                                             "Setting ServiceOnline = false",
                                             "Closing datasets",
                                             "Logging offline state",
                                             "ServiceClient.HandleCoreDisconnected done",
                                             "ServiceClient>Free SysObjectlist",
                                             "ServiceClient>DisconnectDB",
                                             "ServiceClient>Done"};
  std::vector<std::string> Seen;
  for (const std::string& L : DebugLinesFrom("ServiceClient>OnBeforeStop"))
    if (std::find(Sequence.begin(), Sequence.end(), L) != Sequence.end())
      Seen.push_back(L);
  EXPECT_EQ(Sequence, Seen);
  EXPECT_EQ((std::vector<std::string>{"ContactID is now offline!"}), Copy(Warnings));
  EXPECT_FALSE(Database().Connected());
  EXPECT_EQ(nullptr, RunError);
}

TEST_F(ServiceClientTest, DatabaseDownIsReportedOncePerMessageAndItsReturnOnce) {
  const std::string Good = Database().DatabaseName();
  Database().SetDatabaseName(Login().ServerName("/tmp/pelmar-no-such-database.fdb"));
  auto Attempts = [this] {
    int N = 0;
    for (const std::string& L : DebugLines)
      N += L.rfind("Error connecting database: ", 0) == 0;
    return N;
  };
  Start();
  ASSERT_TRUE(WaitFor([&] { return Attempts() == 1; }));
  // Without time passing no attempt follows; after ConnectRetry one does.
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(WaitFor([&] { return Attempts() == 1; }));
  for (int N = 2; N <= 3; ++N) {
    Clock.Advance(10001);
    ASSERT_TRUE(WaitFor([&] { return Attempts() == N; }));
  }
  std::vector<std::string> W = Copy(Warnings);
  ASSERT_EQ(1u, W.size());
  EXPECT_EQ(0u, W[0].rfind("Error connecting to database\r\nEDatabaseError\r\n", 0)) << W[0];
  EXPECT_NE(std::string::npos, W[0].find("\r\nRetrying every 10 seconds..")) << W[0];
  EXPECT_EQ(0, Core.Accepted()) << "no Core connection before the database";

  {
    TCriticalSectionGuard Guard(DatabaseLock());
    Database().SetDatabaseName(Good);
  }
  Clock.Advance(10001);
  ServeLogin(Installation.List());
  ASSERT_TRUE(WaitFor([this] { return WorkCycles > 0; }));
  EXPECT_EQ((std::vector<std::string>{"Database connection restored!", "ContactID is now online!"}),
            Copy(Infos));
  EXPECT_EQ(1u, Copy(Warnings).size());
}

TEST_F(ServiceClientTest, AnotherDatabaseVersionStopsTheServiceWithOneWarning) {
  Version.SetLastKnownDBVersion(EncodeDate(2020, 2, 2));
  Start([&](TServiceClient& C) { C.SetDBUpdateDate(&Version); });
  ASSERT_TRUE(Ended());
  EXPECT_EQ(nullptr, RunError);
  std::vector<std::string> W = Copy(Warnings);
  ASSERT_EQ(1u, W.size());
  EXPECT_EQ(
      "Fatal error connecting to database\r\nEFatalError\r\nDatabase version is not compatible "
      "with this service!\r\nThe service will now shutdown!",
      W[0]);
  EXPECT_EQ(0, Core.Accepted());
  EXPECT_EQ("ServiceClient>Done", DebugLinesFrom("ServiceClient>OnBeforeStop").back());
}

TEST_F(ServiceClientTest, CoreDownIsRetriedEveryTenThenEverySixtySecondsWithTwoWarnings) {
  test::TRefusingPort Refusing;
  std::vector<std::uint32_t> Failures;
  SetDebugLogHook([&](const std::string& Line) {
    std::lock_guard<std::mutex> Guard(FLock);
    if (Line == "ServiceClient.HandleCoreDisconnected")
      Failures.push_back(Clock.Ticks());
    FChanged.notify_all();
  });
  Start([&](TServiceClient& C) { C.SetCorePort(Refusing.Port()); });
  ASSERT_TRUE(WaitFor([&] { return Failures.size() >= 8; }));
  StopAndJoin();
  std::vector<std::uint32_t> F = [&] {
    std::lock_guard<std::mutex> Guard(FLock);
    return Failures;
  }();
  for (std::size_t I = 1; I < 8; ++I) {
    const std::uint32_t Pause = F[I] - F[I - 1];
    const std::uint32_t Want = I < 6 ? 10000 : 60000;
    EXPECT_GE(Pause, Want) << "after failure " << I;
    EXPECT_LT(Pause, Want + 1000) << "after failure " << I;
  }
  std::vector<std::string> W = Copy(Warnings);
  ASSERT_EQ(2u, W.size());
  EXPECT_EQ(0u, W[0].rfind("Connection attempt #3 to core service failed (", 0)) << W[0];
  EXPECT_EQ(").\r\nContinuing to retry every 10 seconds..", W[0].substr(W[0].rfind(')'))) << W[0];
  EXPECT_EQ(0u, W[1].rfind("Connection attempt #6 to core service failed (", 0)) << W[1];
  EXPECT_EQ(").\r\nContinuing to retry every 60 seconds..", W[1].substr(W[1].rfind(')'))) << W[1];
  EXPECT_TRUE(Copy(Errors).empty()) << "stopping while the Core service is down is no failure";
  // The handlers above use this test's locals: the client ends first.
  StopAndJoin();
}

TEST_F(ServiceClientTest, RefusedLogInIsRetriedOnlyWhenNonFatal) {
  Start();
  Core.Accept();
  Core.ReadLogin();
  Core.RefuseLogin("NonFatal: the Core service is starting");
  // The retry comes after the pause, which the polling thread sleeps through on the fake clock.
  Core.Accept();
  Core.ReadLogin();
  Core.RefuseLogin("Wrong password");
  ASSERT_TRUE(Ended());
  EXPECT_EQ(nullptr, RunError);
  EXPECT_EQ((std::vector<std::string>{"Fatal error connecting to core service\r\nException: Wrong "
                                      "password\r\n\r\nThe service will now shutdown!"}),
            Copy(Errors));
  // The installation's event log got the failure before the database was closed.
  auto Rows = Select(
      "SELECT COMPONENT_ID, USER_ID, PRIORITY, EVENT_CODE, PARAM1, PARAM2, PARAM3 FROM "
      "SYS_EVENT_LOG");
  ASSERT_EQ(1u, Rows.size());
  EXPECT_EQ(OwnService, Rows[0][0].AsInteger());
  EXPECT_EQ(-1, Rows[0][1].AsInt64());
  EXPECT_EQ(3, Rows[0][2].AsInteger());
  EXPECT_EQ(11, Rows[0][3].AsInteger());
  EXPECT_EQ("Фатальная ошибка при подключении к Core service", Rows[0][4].AsString());
  EXPECT_EQ("Exception", Rows[0][5].AsString());
  EXPECT_EQ("Wrong password", Rows[0][6].AsString());
}

TEST_F(ServiceClientTest, ServiceObjectMissingFromTheListStopsTheService) {
  Start();
  Core.AcceptAndLogin();
  TCoreMessage Get = Core.ReadCommand("GetSysObjects");
  Core.ReplyData(Get.Id, AddActions({Installation.Owned.get(), Installation.Foreign.get()}));
  ASSERT_TRUE(Ended());
  std::vector<std::string> E = Copy(Errors);
  ASSERT_EQ(1u, E.size());
  EXPECT_EQ(
      "Fatal error connecting to core service\r\nEFatalError: Service object not found!\r\n\r\n"
      "The service will now shutdown!",
      E[0]);
  EXPECT_EQ(0, WorkCycles);
}

TEST_F(ServiceClientTest, BrokenListLoadIsRetriedAndNothingOfItStays) {
  Start();
  Core.AcceptAndLogin();
  TCoreMessage Get = Core.ReadCommand("GetSysObjects");
  // The own record, then a record cut short.
  std::string List = Installation.List();
  Core.ReplyData(Get.Id, List.substr(0, List.size() - 7));
  // Dropped in the middle of the next load.
  Core.AcceptAndLogin();
  Core.ReadCommand("GetSysObjects");
  Core.Drop();
  ServeLogin(List);
  ASSERT_TRUE(WaitFor([this] { return WorkCycles > 0; }));
  OnWorker([](TServiceClient& C) { EXPECT_EQ(2, C.Objects()->Count()); });
  EXPECT_EQ(0u, Copy(Warnings).size()) << "two failures are below the first warning";
  EXPECT_EQ((std::vector<std::string>{"ContactID is now online!"}), Copy(Infos));
}

TEST_F(ServiceClientTest, RepeatedWorkErrorIsReportedTenTimesInARow) {
  StartOnline();
  int Thrown = 0;
  {
    std::lock_guard<std::mutex> Guard(FLock);
    WorkError = [&] {
      ++Thrown;
      throw Exception(Thrown <= 11 ? "boom" : "other");
    };
  }
  ASSERT_TRUE(WaitFor([&] { return Errors.size() >= 11; }));
  {
    std::lock_guard<std::mutex> Guard(FLock);
    WorkError = nullptr;
  }
  std::vector<std::string> E = Copy(Errors);
  const std::string Boom = "Exception from work handler:\r\nException: \r\nboom";
  for (int I = 0; I < 9; ++I)
    EXPECT_EQ(Boom, E[I]) << I;
  EXPECT_EQ(Boom + "\r\n(Further repeating messages suppressed)", E[9]);
  EXPECT_EQ("Exception from work handler:\r\nException: \r\nother", E[10]);
  OnWorker([](TServiceClient& C) {
    EXPECT_EQ(3, C.ServiceObject()->StatusCode());
    EXPECT_EQ("ошибка", C.ServiceObject()->StatusText());
    EXPECT_EQ("other", C.ServiceObject()->StatusDetail());
  });
  // The handlers above use this test's locals: the client ends first.
  StopAndJoin();
}

TEST_F(ServiceClientTest, InputOnAWaitHandleEndsThePauseAndAHungUpHandleDoesNotSpin) {
  int Input[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, Input));
  int HungUp[2];
  ASSERT_EQ(0, pipe(HungUp));
  close(HungUp[1]);  // the read end now reports a hang-up, and never input
  int Consumed = 0;
  StartOnline([&](TServiceClient& C) {
    C.OnWaitHandles = [&](std::vector<int>& Handles) {
      Handles.push_back(HungUp[0]);
      Handles.push_back(Input[0]);
    };
  });
  {
    std::lock_guard<std::mutex> Guard(FLock);
    EachWork = [&] {
      char Byte;
      if (read(Input[0], &Byte, 1) == 1) {
        std::lock_guard<std::mutex> Guard(FLock);
        ++Consumed;
        FChanged.notify_all();
      }
    };
  }
  // From now on a cycle pauses for up to a minute unless something ends the pause early.
  OnWorker([](TServiceClient& C) { C.SetCyclePause(60000); });
  // A peer that sends its next byte only after the last one was served, like a receiver waiting
  // for its acknowledgement: each byte is served within the wait's limit only because its
  // arrival ended the pause.
  for (int I = 1; I <= 20; ++I) {
    ASSERT_EQ(1, write(Input[1], "x", 1));
    ASSERT_TRUE(WaitFor([&] { return Consumed == I; })) << "byte " << I << " not served";
  }
  // The hung-up pipe is still offered: had it ended every pause, the cycles would spin.
  const int Before = Copy(WorkCycles);
  std::this_thread::sleep_for(200ms);  // a measuring window, not a wait for a time-out
  EXPECT_LE(Copy(WorkCycles) - Before, 2);
  StopAndJoin();
  close(Input[0]);
  close(Input[1]);
  close(HungUp[0]);
}

// A work cycle that fails every time still takes the Core service's commands: one of them may be
// what corrects the cause.
TEST_F(ServiceClientTest, CommandsAreAnsweredWhileTheWorkCycleFails) {
  std::atomic<int> Handled{0};
  StartOnline([&](TServiceClient& C) {
    C.OnRegisterCommands = [&](TServiceClient& Sender) {
      Sender.RegisterCommand("Other", [&](pPelCommand) { ++Handled; });
    };
  });
  {
    std::lock_guard<std::mutex> Guard(FLock);
    WorkError = [] { throw Exception("boom"); };
  }
  ASSERT_TRUE(WaitFor([&] { return Errors.size() >= 2; }));
  EXPECT_EQ(std::string(1, '\0'), Command("Other", ""));
  EXPECT_EQ(1, Handled.load());
  {
    std::lock_guard<std::mutex> Guard(FLock);
    WorkError = nullptr;
  }
  // The handler above uses this test's locals: the client ends first.
  StopAndJoin();
}

TEST_F(ServiceClientTest, FatalWorkErrorRunsTheStopSequenceAndIsRaised) {
  StartOnline();
  {
    std::lock_guard<std::mutex> Guard(FLock);
    WorkError = [] { throw EFatalError("disk gone"); };
  }
  ASSERT_TRUE(Ended());
  ASSERT_NE(nullptr, RunError);
  try {
    std::rethrow_exception(RunError);
  } catch (const EFatalError& E) {
    EXPECT_EQ("disk gone", E.Message());
  }
  std::vector<std::string> Lines = DebugLinesFrom("ServiceClient>OnBeforeStop");
  ASSERT_FALSE(Lines.empty());
  EXPECT_EQ("ServiceClient>Done", Lines.back());
  EXPECT_TRUE(Core.ReadEvent("Quit").IsEvent);
  EXPECT_FALSE(Database().Connected());
}

TEST_F(ServiceClientTest, StatusOfTheServiceObjectIsAlwaysBroadcastOthersWhenTheOwnerSaysSo) {
  bool SendOthers = false;
  StartOnline([&](TServiceClient& C) {
    C.OnObjectStatus = [&](TCustomSysObject&, bool& Send) { Send = SendOthers; };
  });
  OnWorker([](TServiceClient& C) { C.SetServiceStatus("работает", 2, "detail"); });
  TCoreMessage M = ReadEvent("SysObjectStatus");
  auto P = BufferOfContent(M.Params);
  EXPECT_EQ(OwnService, P->ReadInteger());
  TBufferProtocol Status(32);
  P->ReadBlock(Status);
  auto Expected = TCustomSysObject::Create<TSysService>();
  Expected->SetOnline(true);
  Expected->SetStatus("работает", 2, "detail");
  TBufferProtocol Want(32);
  Expected->WriteStatus(Want);
  EXPECT_EQ(test::HexOf(Want), test::HexOf(Status));

  // Another object's status: only with Send set by the owner.
  auto ChangeOwned = [this](const std::string& Text) {
    OnWorker([Text](TServiceClient& C) {
      TCustomSysObject* O = nullptr;
      ASSERT_TRUE(C.Objects()->FindById(OwnedObject, O));
      static_cast<TSysService*>(O)->SetStatus(Text, 2, "");
    });
  };
  ChangeOwned("quiet");
  SendOthers = true;
  ChangeOwned("loud");
  M = ReadEvent("SysObjectStatus");
  EXPECT_EQ(TFakeCore::Int(OwnedObject), M.Params.substr(0, 4));
  EXPECT_NE(std::string::npos, M.Params.find("loud"));
  EXPECT_FALSE(Core.DataPending(100));
  // The handlers above use this test's locals: the client ends first.
  StopAndJoin();
}

// The three list actions of "SetSysObject", each stored by the owner with the user in the
// database context, and echoed as "SysObjectConfig".
TEST_F(ServiceClientTest, SetSysObjectAppliesStoresAndBroadcastsEachAction) {
  struct TSaved {
    std::int32_t ID;
    TObjectAction Action;
    std::string ContextUser;
  };
  std::vector<TSaved> Saved;
  std::vector<std::string> OtherCommandContext;
  auto ContextUser = [this] {
    auto Q = NewQuerySQL("SELECT RDB$GET_CONTEXT('USER_SESSION', 'USER_ID') FROM RDB$DATABASE");
    Q->ExecQuery();
    std::string V = Q->Fields(0).IsNull() ? "null" : Q->Fields(0).AsString();
    FreeQuery(Q, true);
    return V;
  };
  StartOnline([&](TServiceClient& C) {
    C.OnObjectSave = [&](TCustomSysObject& O, TObjectAction A) {
      Saved.push_back({O.ID(), A, ContextUser()});
    };
    C.OnGetCommandInfo = [](pPelCommand Command, bool& Info) {
      Info = Command->Name == "SetSysObject";
    };
    C.OnRegisterCommands = [&](TServiceClient& Sender) {
      Sender.RegisterCommand("Other",
                             [&](pPelCommand) { OtherCommandContext.push_back(ContextUser()); });
    };
  });

  auto Changed = ServiceRecord(OwnedObject, OwnService, "Renamed");
  auto Added = ServiceRecord(101, OwnService, "New");
  struct {
    TCustomSysObject* Object;
    TObjectAction Action;
    std::int32_t ID;
  } Cases[] = {
      {Changed.get(), oaChanged, OwnedObject},
      {Added.get(), olaAdded, 101},
      {Added.get(), olaDeleted, 101},
  };
  for (const auto& Case : Cases) {
    TBufferProtocol Action(32);
    TSysObjectList Writer;
    Writer.WriteListAction(*Case.Object, Case.Action, Action);
    std::vector<TCoreMessage> Before;
    EXPECT_EQ(std::string(1, '\0'), Command("SetSysObject", Bytes(Action), 42, &Before)) << Case.ID;
    ASSERT_EQ(1u, Before.size()) << Case.ID;
    EXPECT_EQ("SysObjectConfig", Before[0].Name);
    // The echo carries the object as the list holds it now.
    EXPECT_EQ(static_cast<char>(Case.Action), Before[0].Params.at(0)) << Case.ID;
    if (Case.Action == olaDeleted)
      EXPECT_EQ("\x06" + TFakeCore::Int(101), Before[0].Params);
    else
      EXPECT_NE(std::string::npos, Before[0].Params.find(Case.Object->Name())) << Case.ID;
  }
  ASSERT_EQ(3u, Saved.size());
  for (std::size_t I = 0; I < 3; ++I) {
    EXPECT_EQ(Cases[I].ID, Saved[I].ID) << I;
    EXPECT_EQ(Cases[I].Action, Saved[I].Action) << I;
    EXPECT_EQ("42", Saved[I].ContextUser) << I;
  }
  OnWorker([&](TServiceClient& C) {
    TCustomSysObject* O = nullptr;
    ASSERT_TRUE(C.Objects()->FindById(OwnedObject, O));
    EXPECT_EQ("Renamed", O->Name());
    EXPECT_FALSE(C.Objects()->FindById(101, O));
    EXPECT_EQ("null", ContextUser()) << "the context is cleared after the command";
  });

  // Other commands run without the user in the context.
  EXPECT_EQ(std::string(1, '\0'), Command("Other", ""));
  EXPECT_EQ((std::vector<std::string>{"null"}), OtherCommandContext);

  // A local change of an own object is broadcast but not stored.
  OnWorker([](TServiceClient& C) {
    TCustomSysObject* O = nullptr;
    ASSERT_TRUE(C.Objects()->FindById(OwnedObject, O));
    O->SetName("Local");
  });
  EXPECT_NE(std::string::npos, ReadEvent("SysObjectConfig").Params.find("Local"));
  EXPECT_EQ(3u, Saved.size());
  // The handlers above use this test's locals: the client ends first.
  StopAndJoin();
}

TEST_F(ServiceClientTest, BadSetSysObjectIsAnErrorReplyAndChangesNothing) {
  StartOnline();
  auto Rename = ServiceRecord(OwnedObject, OwnService, "Renamed");
  std::string Record = Bytes(*test::BufferOf(test::RecordOf(*Rename)));
  struct {
    const char* What;
    std::string Params;
  } Cases[] = {
      {"unknown action", "\x09" + Record},
      {"record cut short", "\x01" + Record.substr(0, Record.size() - 5)},
      {"garbage", "\x04\xff\xff\xff\x7f\x01"},
      {"empty", ""},
  };
  for (const auto& Case : Cases) {
    std::string Reply = Command("SetSysObject", Case.Params);
    EXPECT_EQ('\x03', Reply.at(0)) << Case.What;
  }
  Accepting = false;
  OnWorker([](TServiceClient&) {});
  TBufferProtocol Action(32);
  TSysObjectList().WriteListAction(*Rename, oaChanged, Action);
  EXPECT_EQ("\x03" + TFakeCore::Str("ContactID не готов! Попробуйте позже."),
            Command("SetSysObject", Bytes(Action)));
  OnWorker([](TServiceClient& C) {
    TCustomSysObject* O = nullptr;
    ASSERT_TRUE(C.Objects()->FindById(OwnedObject, O));
    EXPECT_EQ("Receiver room", O->Name());
    EXPECT_EQ(2, C.Objects()->Count());
  });
}

TEST_F(ServiceClientTest, CoreQuitIsReportedAndTheConnectionComesBack) {
  bool QuitSeen = false;
  StartOnline([&](TServiceClient& C) { C.OnCoreQuit = [&](TServiceClient&) { QuitSeen = true; }; });
  Core.SendCoreQuit("maintenance", false);
  ASSERT_TRUE(WaitFor([this] { return Warnings.size() >= 2; }));
  EXPECT_EQ((std::vector<std::string>{"Disconnected by core service\r\nReason: maintenance",
                                      "ContactID is now offline!"}),
            Copy(Warnings));
  EXPECT_TRUE(QuitSeen);
  // The reconnection waits 10 to 19 s, which the polling thread sleeps through on the fake clock.
  ServeLogin(Installation.List());
  ASSERT_TRUE(WaitFor([this] { return Infos.size() >= 2; }));
  EXPECT_EQ("ContactID is now online!", Copy(Infos)[1]);
  // The handlers above use this test's locals: the client ends first.
  StopAndJoin();
}

TEST_F(ServiceClientTest, EventLogRecordsArriveInPrLogEventAsQueued) {
  StartOnline();
  const std::string Long(250, 'x');
  OnWorker([&](TServiceClient& C) {
    C.LogObjectEvent(9304, TVariant(std::int32_t{17}), "");
    C.LogUserObjectEvent(9308, TVariant(std::int32_t{18}), 42, "p1", "", Long);
    C.LogServiceEvent(0, "saved", 7, "x");
  });
  auto Rows = [this] {
    return Select(
        "SELECT COMPONENT_ID, USER_ID, TARGET_USER_ID, LOG_TIME, PRIORITY, EVENT_CODE, OBJECT_ID, "
        "PARENT_OBJECT_ID, PARAM1, PARAM2, PARAM3, PARAM4, PARAM5, ALARMS FROM SYS_EVENT_LOG "
        "ORDER BY ID");
  };
  std::vector<std::vector<TVariant>> R;
  for (int I = 0; I < 2000 && R.size() < 3; ++I) {
    std::this_thread::sleep_for(10ms);
    R = Rows();
  }
  ASSERT_EQ(3u, R.size());
  auto Text = [](const TVariant& V) { return V.IsNull() ? std::string("null") : V.AsString(); };
  const std::vector<std::vector<std::string>> Want = {
      {"5", "-1", "null", "null", "null", "9304", "17", "null", "null", "null", "null", "null",
       "null"},
      {"5", "42", "null", "null", "null", "9308", "18", "null", "p1", "null", std::string(200, 'x'),
       "null", "null"},
      {"5", "7", "null", "null", "null", "11", "null", "null", "saved", "x", "null", "null",
       "null"},
  };
  for (std::size_t Row = 0; Row < 3; ++Row) {
    for (std::size_t Col = 0; Col < 13; ++Col)
      EXPECT_EQ(Want[Row][Col], Text(R[Row][Col])) << "row " << Row << " column " << Col;
    EXPECT_TRUE(R[Row][13].AsBoolean()) << "row " << Row;
  }
}

TEST_F(ServiceClientTest, LostDatabaseKeepsTheLogAndTheCoreWaitsForIt) {
  int Batches = 0;
  StartOnline(
      [&](TServiceClient& C) { C.OnLogBufferWriteStart = [&](TServiceClient&) { ++Batches; }; });
  const std::string Good = Database().DatabaseName();
  std::int64_t Attachment = 0;
  OnWorker([&](TServiceClient&) {
    TCriticalSectionGuard Guard(DatabaseLock());
    auto Q = NewQuerySQL("SELECT CURRENT_CONNECTION FROM RDB$DATABASE");
    Q->ExecQuery();
    Attachment = Q->Fields(0).AsInt64();
    FreeQuery(Q, true);
    // The database stays away until the test brings it back.
    Database().SetDatabaseName(Login().ServerName("/tmp/pelmar-no-such-database.fdb"));
  });
  Execute("DELETE FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID = " + std::to_string(Attachment));
  OnWorker([](TServiceClient& C) {
    C.LogObjectEvent(9304, TVariant(std::int32_t{1}), "before");
    try {
      TCriticalSectionGuard Guard(DatabaseLock());
      auto Q = NewQuerySQL("SELECT 1 FROM RDB$DATABASE");
      Q->ExecQuery();
    } catch (const EDatabaseError&) {
      // The loss itself; the client's report is what this test looks at.
    }
    for (int I = 2; I <= 4; ++I)
      C.LogObjectEvent(9304, TVariant(std::int32_t{I}), "meanwhile");
  });
  auto LostReports = [this] {
    return std::count_if(Errors.begin(), Errors.end(), [](const std::string& E) {
      return E.rfind("Database connection lost!\r\n", 0) == 0;
    });
  };
  EXPECT_TRUE(WaitFor([&] { return LostReports() == 1; }));
  // The Core connection drops too; the polling thread does not reconnect without the database.
  Core.Drop();
  EXPECT_THROW(Core.Accept(500), std::runtime_error);

  {
    TCriticalSectionGuard Guard(DatabaseLock());
    Database().SetDatabaseName(Good);
  }
  Clock.Advance(10001);
  ServeLogin(Installation.List());
  std::vector<std::vector<TVariant>> Rows;
  for (int I = 0; I < 2000 && Rows.size() < 4; ++I) {
    std::this_thread::sleep_for(10ms);
    Rows = Select("SELECT OBJECT_ID FROM SYS_EVENT_LOG ORDER BY ID");
  }
  ASSERT_EQ(4u, Rows.size());
  for (int I = 0; I < 4; ++I)
    EXPECT_EQ(I + 1, Rows[I][0].AsInteger());
  EXPECT_TRUE(WaitFor([&] { return LostReports() == 1 && Batches == 1; }))
      << "one report of the loss, one batch for the records kept meanwhile";
  // The handlers above use this test's locals: the client ends first.
  StopAndJoin();
}

// A batch of event-log records that ends with an exception of any type releases the
// DatabaseLock: the thread that creates objects for the Core service can take it at once.
TEST_F(ServiceClientTest, LogBatchEndedByAnyExceptionReleasesTheDatabaseLock) {
  StartOnline([](TServiceClient& C) {
    C.OnLogBufferWriteRecord = [](const TLogBufferRecord&) {
      throw std::runtime_error("not one of the service's exceptions");
    };
  });
  OnWorker([](TServiceClient& C) { C.LogBuffer().AddRecord(1, {TVariant(std::int32_t{1})}); });
  // The exception leaves the loop, which stops in order.
  ASSERT_TRUE(WaitFor([this] { return RunEnded; }));
  EXPECT_NE(nullptr, RunError);
  auto Taken = std::make_shared<std::atomic<bool>>(false);
  // Another thread; detached, so that a lock that is never released cannot hang the test.
  std::thread([Taken] {
    TCriticalSectionGuard Guard(DatabaseLock());
    Taken->store(true);
  }).detach();
  const auto Deadline = std::chrono::steady_clock::now() + 10s;
  while (!Taken->load() && std::chrono::steady_clock::now() < Deadline)
    std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(Taken->load()) << "the DatabaseLock stayed held after the batch";
}

TEST_F(ServiceClientTest, SilentCoreServiceIsRetriedAndStopEndsRunPromptly) {
  Start();
  Core.Accept();
  Core.ReadLogin();
  // No answer: the wait for it ends and the attempt counts as a network failure.
  Clock.Advance(TCoreConnection::DefaultReadTimeout + 1);
  Core.Accept();
  Core.ReadLogin();
  const auto Started = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> Guard(FLock);
    Client->Stop();
  }
  ASSERT_TRUE(Ended());
  EXPECT_LT(std::chrono::steady_clock::now() - Started, 5s);
  EXPECT_TRUE(Copy(Errors).empty());
  EXPECT_EQ(nullptr, RunError);
}

}  // namespace
}  // namespace pelmar
