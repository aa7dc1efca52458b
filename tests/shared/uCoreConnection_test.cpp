// ctest-label: os
#include "uCoreConnection.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "FakeClock.h"
#include "FakeCore.h"
#include "Hex.h"
#include "LogCapture.h"
#include "LoopbackPeer.h"
#include "Utilities.h"

namespace pelmar {
namespace {

using namespace std::chrono_literals;
using test::ByteString;
using test::TFakeClock;
using test::TFakeCore;
using test::TLogCapture;
using test::ToHex;
using test::TRefusingPort;

std::string Str(const std::string& S) {
  return TFakeCore::Str(S);
}

std::string Content(const TBufferProtocol& B) {
  return B.Size() == 0 ? std::string()
                       : std::string(reinterpret_cast<const char*>(B.Data()),
                                     static_cast<std::size_t>(B.Size()));
}

// What OnDisconnected saw.
struct TDrop {
  std::string Class;  // empty for an orderly stop
  std::string Message;
  std::uint32_t Tick = 0;
  bool Terminated = false;
  std::int32_t Attempts = 0;
  bool QuitFlag = false;
};

class CoreConnectionTest : public ::testing::Test {
 protected:
  CoreConnectionTest() {
    Conn.SetPort(Core.Port());
    Conn.SetPollInterval(10);
    Conn.OnLogin = [this] { return test::CoreLogin(Client, 5, "secret"); };
    Conn.OnBeforeConnect = [this] {
      std::lock_guard<std::mutex> Guard(FLock);
      AttemptTicks.push_back(Clock.Ticks());
      return true;
    };
    Conn.OnDisconnected = [this](const std::exception* E) { Record(E); };
  }

  void Record(const std::exception* E) {
    TDrop D;
    if (E != nullptr) {
      D.Class = ExceptionClassName(*E);
      D.Message = E->what();
      if (const auto* Q = dynamic_cast<const ECoreDisconnectError*>(E))
        D.QuitFlag = Q->QuitFlag();
    }
    D.Tick = Clock.Ticks();
    D.Terminated = Conn.Terminated();
    D.Attempts = Conn.Attempts();
    std::size_t Count;
    {
      std::lock_guard<std::mutex> Guard(FLock);
      Drops.push_back(D);
      Count = Drops.size();
    }
    FChanged.notify_all();
    if (AfterDrop)
      AfterDrop(Count);
  }

  // The N-th drop (from 1), waiting for it in real time.
  TDrop WaitDrop(std::size_t N) {
    std::unique_lock<std::mutex> Lock(FLock);
    if (!FChanged.wait_for(Lock, 20s, [&] { return Drops.size() >= N; })) {
      ADD_FAILURE() << "no drop #" << N;
      return {};
    }
    return Drops[N - 1];
  }

  // Advances the clock in steps until the N-th drop came.
  TDrop AdvanceUntilDrop(std::size_t N, std::uint32_t Step) {
    for (int I = 0; I < 2000; ++I) {
      {
        std::unique_lock<std::mutex> Lock(FLock);
        if (FChanged.wait_for(Lock, 10ms, [&] { return Drops.size() >= N; }))
          break;
      }
      Clock.Advance(Step);
    }
    return WaitDrop(N);
  }

  std::size_t DropCount() {
    std::lock_guard<std::mutex> Guard(FLock);
    return Drops.size();
  }

  std::vector<std::uint32_t> Attempts() {
    std::lock_guard<std::mutex> Guard(FLock);
    return AttemptTicks;
  }

  static bool WaitFor(const std::function<bool()>& Condition, int Ms = 20000) {
    for (int I = 0; I < Ms; ++I) {
      if (Condition())
        return true;
      std::this_thread::sleep_for(1ms);
    }
    return Condition();
  }

  void WaitConnected() {
    ASSERT_TRUE(WaitFor([this] { return Conn.IsConnected(); }));
  }

  // Start (first time) or wait for the next connection, log in and wait until ready.
  void Connect() {
    Conn.Start();
    Core.AcceptAndLogin();
    WaitConnected();
  }

  // With registrations, every log-in ends with "RegisterForEvents", which also restarts the
  // keepalive's count of silence however far the clock went during the pauses.
  void RegisterToo() {
    Conn.SetRegisterEvents(true);
    Conn.RegisterEvent("CoreQuit", 0, [](pPelEvent) {});
  }
  void LogInAndRegister() {
    Core.AcceptAndLogin();
    Core.ReplyDone(Core.ReadCommand("RegisterForEvents").Id);
    WaitConnected();
  }

  // A command from this thread (the work thread) answered by the fake Core.
  void RoundTrip(const std::string& Name) {
    auto F = std::async(std::launch::async, [Name] {
      auto C = ServiceCommander().StartCommand(Name);
      std::string R = Content(C->Execute());
      C->Finish();
      return R;
    });
    try {
      test::TCoreMessage M = Core.ReadCommand(Name);
      Core.ReplyData(M.Id, "ok");
      EXPECT_EQ("ok", F.get());
    } catch (...) {
      Core.Drop();  // ends the command so that the future can go
      throw;
    }
  }

  // Whether the thread has read everything sent so far: two push blocks sent one after the
  // other are both queued only after the cycle that read the first has ended.
  void SyncWithPolling() {
    std::size_t Before = Conn.IncomingEventCount();
    for (int I = 1; I <= 2; ++I) {
      Core.Push({TFakeCore::PushedEvent(3, "Sync")});
      ASSERT_TRUE(WaitFor([&] { return Conn.IncomingEventCount() == Before + I; }));
    }
  }

  TFakeClock Clock;
  TLogCapture Log;
  TFakeCore Core;
  TPelMarTCPClient Client;
  std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<TDrop> Drops;                 // guarded by FLock
  std::vector<std::uint32_t> AttemptTicks;  // guarded by FLock
  std::function<void(std::size_t Count)> AfterDrop;
  TCoreConnection Conn{Client};
};

// A hook that frees the connection runs on the polling thread, which can neither wait for itself
// nor go on in the freed object: the destructor stops the process with a bug check. If it
// returned instead, the statement would end and the process live on.
TEST(CoreConnectionDeathTest, DestroyedOnItsOwnPollingThreadIsABugCheck) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto FreeFromAHook = [] {
    TFakeClock Clock;
    TPelMarTCPClient Client;
    std::promise<void> Freed;
    auto* Conn = new TCoreConnection(Client);
    Conn->OnBeforeConnect = [Conn, &Freed] {
      std::promise<void>* Signal = &Freed;  // the captures go with the connection
      delete Conn;
      Signal->set_value();
      return false;
    };
    Conn->Start();
    Freed.get_future().wait();
  };
  EXPECT_DEATH(FreeFromAHook(), "BUGCHECK: TCoreConnection destroyed on its own polling thread");
}

// Destroyed from another thread, the connection stops its thread and waits for it: the stop's
// drop, the thread's last act, has come when the destructor returns.
TEST(CoreConnectionDestructionTest, DestroyedFromAnotherThreadWaitsForItsThread) {
  TFakeClock Clock;
  TRefusingPort Down;
  TPelMarTCPClient Client;
  std::promise<void> FirstDrop;
  bool First = true;     // polling thread only
  std::string LastDrop;  // read once the thread has ended
  {
    TCoreConnection Conn(Client);
    Conn.SetPort(Down.Port());
    Conn.OnDisconnected = [&](const std::exception* E) {
      LastDrop = E != nullptr ? E->what() : "";
      if (std::exchange(First, false))
        FirstDrop.set_value();
    };
    Conn.Start();
    FirstDrop.get_future().wait();
  }
  EXPECT_EQ("Соединение прервано!", LastDrop);
}

TEST_F(CoreConnectionTest, LogsInLoadsObjectsAndRegistersEvents) {
  std::string Loaded;
  Conn.SetRegisterEvents(true);
  Conn.RegisterEvent("CoreQuit", 0, [](pPelEvent) {});
  Conn.RegisterEvent("SysObjectConfig", 3, [](pPelEvent) {});
  Conn.OnLogin = [this] {
    EXPECT_EQ(TCoreState::LoggingIn, Conn.State());
    return test::CoreLogin(Client, 5, "secret");
  };
  Conn.OnConnected = [&] {
    EXPECT_EQ(TCoreState::LoggedIn, Conn.State());
    auto C = ServiceCommander().StartCommand("GetSysObjects");
    Loaded = Content(C->Execute());
    C->Finish();
    return true;
  };
  Conn.Start();
  Core.Accept();
  test::TCoreLogin L = Core.ReadLogin();
  EXPECT_EQ(5, L.ServiceID);
  EXPECT_EQ("1.9", L.Version);
  EXPECT_EQ("secret", L.Password);
  Core.AcceptLogin("configuration the service ignores");

  test::TCoreMessage Get = Core.ReadCommand("GetSysObjects");
  EXPECT_EQ("0D 00 00 00 " + ToHex("GetSysObjects") + " 00 01 00 00 00 00", ToHex(Get.Raw));
  Core.ReplyData(Get.Id, "objects");
  test::TCoreMessage Reg = Core.ReadCommand("RegisterForEvents");
  EXPECT_EQ(2, Reg.Id);
  EXPECT_EQ(ToHex(std::string(1, '\0') + Str("CoreQuit") + "\x03" + Str("SysObjectConfig")),
            ToHex(Reg.Params));
  Core.ReplyDone(Reg.Id);
  WaitConnected();
  EXPECT_EQ(TCoreState::Ready, Conn.State());
  EXPECT_EQ("objects", Loaded);
  EXPECT_EQ("05 03 00 00 00 " + ToHex("1.9") + " 06 00 00 00 " + ToHex("secret"),
            ToHex(Core.Received().substr(0, 18)));
  EXPECT_EQ(0u, DropCount());
}

TEST_F(CoreConnectionTest, NonFatalLogInRefusalIsRetriedAfterTheRetryInterval) {
  Conn.Start();
  Core.Accept();
  Core.ReadLogin();
  Core.RefuseLogin("NonFatal: Core is busy");
  TDrop D = WaitDrop(1);
  EXPECT_EQ("ENonFatalError", D.Class);
  EXPECT_EQ("NonFatal: Core is busy", D.Message);
  EXPECT_FALSE(D.Terminated);
  EXPECT_EQ(0, D.Attempts);
  Core.AcceptAndLogin();
  WaitConnected();
  std::vector<std::uint32_t> Ticks = Attempts();
  ASSERT_EQ(2u, Ticks.size());
  EXPECT_EQ(10050u, Ticks[1] - D.Tick) << "the retry interval, in 50 ms steps";
}

TEST_F(CoreConnectionTest, OtherLogInRefusalEndsTheThread) {
  Conn.Start();
  Core.Accept();
  Core.ReadLogin();
  Core.RefuseLogin("Wrong password");
  TDrop D = WaitDrop(1);
  EXPECT_EQ("Exception", D.Class);
  EXPECT_EQ("Wrong password", D.Message);
  EXPECT_TRUE(D.Terminated);
  Conn.Stop();
  EXPECT_EQ(1u, DropCount());
  EXPECT_EQ(1u, Attempts().size());
}

TEST_F(CoreConnectionTest, AttemptsFollowTheRetryIntervalWhileTheCoreIsDown) {
  TRefusingPort Down;
  Conn.SetPort(Down.Port());
  std::uint32_t Start = Clock.Ticks();
  AfterDrop = [this](std::size_t Count) {
    // As the service client does: a longer pause from the third failure on.
    Conn.SetRetryInterval(Conn.Attempts() >= 2 ? 60000 : 10000);
    if (Count == 5)
      Conn.Terminate();
  };
  Conn.Start();
  TDrop Last = WaitDrop(6);
  std::vector<TDrop> D;
  {
    std::lock_guard<std::mutex> Guard(FLock);
    D = Drops;
  }
  ASSERT_EQ(6u, D.size());
  EXPECT_LE(D[0].Tick - Start, 50u) << "the first attempt comes at once";
  std::uint32_t WantPause[] = {0, 10050, 10050, 60050, 60050};
  for (std::size_t I = 0; I < 5; ++I) {
    EXPECT_EQ("EPelMarSocketError", D[I].Class) << I;
    EXPECT_EQ("Socket error #10061 - Connection refused", D[I].Message) << I;
    EXPECT_EQ(static_cast<std::int32_t>(I), D[I].Attempts) << I;
    if (I > 0) {
      EXPECT_EQ(WantPause[I], D[I].Tick - D[I - 1].Tick) << I;
    }
  }
  EXPECT_EQ("EAbort", Last.Class);
  EXPECT_EQ("Соединение прервано!", Last.Message);
  EXPECT_TRUE(Last.Terminated);
}

TEST_F(CoreConnectionTest, DroppedConnectionReconnectsAfter10To19WholeSeconds) {
  RegisterToo();
  Conn.Start();
  LogInAndRegister();
  for (std::size_t Round = 1; Round <= 3; ++Round) {
    Core.Drop();
    TDrop D = WaitDrop(Round);
    EXPECT_EQ("EPelMarClosedGracefully", D.Class);
    EXPECT_EQ("Connection Closed Gracefully.", D.Message);
    EXPECT_FALSE(D.Terminated);
    LogInAndRegister();
    std::uint32_t Pause = Attempts().back() - D.Tick - 50;
    EXPECT_GE(Pause, 10000u) << Round;
    EXPECT_LE(Pause, 19000u) << Round;
    EXPECT_EQ(0u, Pause % 1000) << Pause;
  }
}

TEST_F(CoreConnectionTest, CommandFromTheWorkThreadWakesThePollingThreadAtOnce) {
  Conn.SetPollInterval(600000);  // a command that waited for the poll interval would time out
  Connect();
  auto F = std::async(std::launch::async, [] {
    auto C = ServiceCommander().StartCommand("Test");
    C->WriteInteger(42);
    std::string R = Content(C->Execute());
    C->Finish();
    return R;
  });
  test::TCoreMessage M = Core.ReadCommand("Test");
  EXPECT_EQ("2A 00 00 00", ToHex(M.Params));
  // A reply to another id and a push block come first; the wait goes on through both.
  Core.Send(std::string{static_cast<char>(M.Id + 1), '\0'});
  Core.Push({TFakeCore::PushedEvent(3, "SysObjectConfig", "x")});
  Core.ReplyData(M.Id, "xyz");
  EXPECT_EQ("xyz", F.get());
  EXPECT_EQ(1u, Conn.IncomingEventCount());
}

TEST_F(CoreConnectionTest, StrayRepliesAndGarbageDoNotDropTheConnection) {
  Connect();
  Core.Send(ByteString("05 01 03 00 00 00 61 62 63") + ByteString("06 03") + Str("late") +
            ByteString("07 00"));
  SyncWithPolling();
  EXPECT_EQ(2u, Conn.IncomingEventCount());
  // An unknown status discards what is buffered: push until a block arrives after it.
  Core.Send(ByteString("FF FF 01 02 03"));
  bool Arrived = false;
  for (int I = 0; I < 100 && !Arrived; ++I) {
    Core.Push({TFakeCore::PushedEvent(3, "After")});
    Arrived = WaitFor([&] { return Conn.IncomingEventCount() > 2; }, 100);
  }
  EXPECT_TRUE(Arrived);
  RoundTrip("StillWorks");
  EXPECT_EQ(0u, DropCount());
}

TEST_F(CoreConnectionTest, CoreQuitIsAnsweredWithQuitAndAReconnection) {
  Connect();
  Core.SendCoreQuit("maintenance", true);
  ASSERT_TRUE(WaitFor([&] { return Conn.IncomingEventCount() == 1; }));
  EXPECT_TRUE(Conn.CoreQuitReceived());
  Conn.ProcessMessages();
  test::TCoreMessage Quit = Core.ReadEvent("Quit");
  EXPECT_EQ("04 00 00 00 " + ToHex("Quit") + " 01 00 00 00 00", ToHex(Quit.Raw));
  ASSERT_TRUE(Core.WaitClosed());
  EXPECT_FALSE(Core.ClosedByReset());
  TDrop D = WaitDrop(1);
  EXPECT_EQ("ECoreDisconnectError", D.Class);
  EXPECT_EQ("maintenance", D.Message);
  EXPECT_TRUE(D.QuitFlag);
  Core.AcceptAndLogin();
  WaitConnected();
  EXPECT_FALSE(Conn.CoreQuitReceived());
  EXPECT_FALSE(Conn.DisconnectRequested());
}

TEST_F(CoreConnectionTest, KeepaliveAfter30SecondsOfSilenceAndNoneWhileCommandsFlow) {
  Connect();
  for (int I = 0; I < 4; ++I) {
    Clock.Advance(20000);
    RoundTrip("Work");  // fails if a keepalive comes first
  }
  SyncWithPolling();
  EXPECT_FALSE(Core.DataPending());
  Clock.Advance(29000);
  SyncWithPolling();
  EXPECT_FALSE(Core.DataPending()) << "29 s after the last command";
  Clock.Advance(1001);
  test::TCoreMessage K = Core.ReadCommand("Keepalive");
  EXPECT_EQ("", K.Params);
  Core.ReplyDone(K.Id);
  RoundTrip("AfterKeepalive");
  EXPECT_EQ(0u, DropCount());
}

TEST_F(CoreConnectionTest, UnansweredKeepaliveDropsTheConnectionWithoutQuit) {
  Connect();
  Clock.Advance(30001);
  Core.ReadCommand("Keepalive");
  Clock.Advance(20001);
  TDrop D = WaitDrop(1);
  EXPECT_EQ("EPelCommandTimeout", D.Class);
  ASSERT_TRUE(Core.WaitClosed());
  EXPECT_TRUE(Core.ClosedByReset());
  EXPECT_FALSE(Core.DataPending()) << "no Quit";
}

TEST_F(CoreConnectionTest, CommandTimeOutLeavesTheConnectionUp) {
  Connect();
  auto F = std::async(std::launch::async, [] {
    auto C = ServiceCommander().StartCommand("Slow");
    C->SetTimeout(5000);
    C->Execute();
  });
  test::TCoreMessage M = Core.ReadCommand("Slow");
  Clock.Advance(5001);
  EXPECT_THROW(F.get(), EPelCommandTimeout);
  Core.ReplyDone(M.Id);  // too late: a stray reply
  RoundTrip("Next");
  EXPECT_EQ(0u, DropCount());
}

TEST_F(CoreConnectionTest, CommandWhoseConnectionDropsEndsWithTheSilentAbort) {
  Connect();
  auto F = std::async(std::launch::async, [] {
    auto C = ServiceCommander().StartCommand("Lost");
    C->Execute();
  });
  Core.ReadCommand("Lost");
  Core.Drop();
  EXPECT_THROW(F.get(), EAbort);
  EXPECT_EQ("EPelMarClosedGracefully", WaitDrop(1).Class);
}

TEST_F(CoreConnectionTest, QueuedCommandsEndWithTheSilentAbortWhenTheConnectionGoes) {
  Connect();
  auto Start = [](const std::string& Name) {
    return std::async(std::launch::async, [Name] {
      auto C = ServiceCommander().StartCommand(Name);
      C->Execute();
    });
  };
  auto First = Start("First");
  Core.ReadCommand("First");
  // The thread waits for the reply of First; these wait in the queue behind it.
  TServiceEvent::SendEvent(ServiceCommander().StartEvent("Queued"));
  auto Second = Start("Second");
  ASSERT_TRUE(WaitFor([&] { return Conn.QueuedCount() == 2; }));
  Core.Drop();
  EXPECT_THROW(First.get(), EAbort);
  EXPECT_THROW(Second.get(), EAbort);
  EXPECT_EQ("EPelMarClosedGracefully", WaitDrop(1).Class);
  EXPECT_EQ(0u, Conn.QueuedCount());
}

TEST_F(CoreConnectionTest, StopCutsShortAWaitForASilentCore) {
  Conn.Start();
  Core.Accept();
  Core.ReadLogin();  // and never answer; the clock stands still
  Conn.Stop();
  TDrop D = WaitDrop(1);
  EXPECT_EQ("EAbort", D.Class);
  EXPECT_EQ("Соединение прервано!", D.Message);
}

TEST_F(CoreConnectionTest, OrderlyStopSaysQuitAndReportsNoCause) {
  Connect();
  Conn.Stop();
  Core.ReadEvent("Quit");
  ASSERT_TRUE(Core.WaitClosed());
  EXPECT_FALSE(Core.ClosedByReset());
  TDrop D = WaitDrop(1);
  EXPECT_EQ("", D.Class);
  EXPECT_TRUE(D.Terminated);
  EXPECT_FALSE(Conn.IsConnected());
  EXPECT_EQ(TCoreState::Disconnected, Conn.State());
}

TEST_F(CoreConnectionTest, BadInputDropsTheConnectionAndReconnects) {
  Conn.SetReadTimeout(5000);
  struct {
    const char* Name;
    std::string Bytes;
    bool CloseAfter;
    const char* WantClass;
    const char* WantMessage;
  } Cases[] = {
      {"negative count", ByteString("00 02 FF FF FF FF"), false, "EBugCheckError",
       "Fatal exception (Exception) while polling events: Invalid message count -1 in a block "
       "from the Core service"},
      {"negative parameter length",
       ByteString("00 02 01 00 00 00 00 03") + Str("E") + ByteString("FE FF FF FF"), false,
       "EBugCheckError",
       "Fatal exception (Exception) while polling events: ReadBlock: negative block size -2"},
      {"2 GB name, then silence", ByteString("00 02 01 00 00 00 00 03 FF FF FF 7F 61 62"), false,
       "EPelMarReadTimeout", "Read timed out."},
      {"2 GB name, then close", ByteString("00 02 01 00 00 00 00 03 FF FF FF 7F 61 62"), true,
       "EPelMarClosedGracefully", "Connection Closed Gracefully."},
      {"stops inside a message", ByteString("00 02 02 00 00 00 00"), false, "EPelMarReadTimeout",
       "Read timed out."},
  };
  RegisterToo();
  Conn.Start();
  std::size_t N = 0;
  for (const auto& C : Cases) {
    LogInAndRegister();
    Core.Send(C.Bytes);
    if (C.CloseAfter)
      Core.Drop();
    TDrop D = AdvanceUntilDrop(++N, 2000);
    EXPECT_EQ(C.WantClass, D.Class) << C.Name;
    EXPECT_EQ(C.WantMessage, D.Message) << C.Name;
    EXPECT_FALSE(D.Terminated) << C.Name;
  }
}

TEST_F(CoreConnectionTest, SilentCoreDuringACommandEndsItAndReconnects) {
  Conn.SetReadTimeout(5000);
  Connect();
  auto F = std::async(std::launch::async, [] {
    auto C = ServiceCommander().StartCommand("NoAnswer");
    C->Execute();
  });
  Core.ReadCommand("NoAnswer");
  Core.Send(std::string{'\x77', '\0'});  // wrong ids never end the wait
  TDrop D = AdvanceUntilDrop(1, 2000);
  EXPECT_EQ("EPelMarReadTimeout", D.Class);
  EXPECT_EQ("No reply to \"NoAnswer\" within 5000 ms.", D.Message);
  EXPECT_THROW(F.get(), EAbort);
  Core.AcceptAndLogin();
  WaitConnected();
}

TEST_F(CoreConnectionTest, UnansweredLogInIsRetriedLikeANetworkError) {
  Conn.SetReadTimeout(5000);
  Conn.Start();
  Core.Accept();
  Core.ReadLogin();
  TDrop D = AdvanceUntilDrop(1, 2000);
  EXPECT_EQ("EPelMarReadTimeout", D.Class);
  EXPECT_FALSE(D.Terminated);
  Core.AcceptAndLogin();
  WaitConnected();
}

TEST_F(CoreConnectionTest, NothingIsQueuedBeforeTheLogIn) {
  auto C = ServiceCommander().StartCommand("Early");
  try {
    C->Execute();
    FAIL();
  } catch (const EDisplayError& E) {
    EXPECT_EQ("Нет соединения!", E.Message());
  }
  EXPECT_THROW(TServiceEvent::SendEvent(ServiceCommander().StartEvent("Early")), EDisplayError);
}

TEST_F(CoreConnectionTest, EventsGoOutInOrder) {
  Connect();
  for (int Id : {7, 8}) {
    auto E = ServiceCommander().StartEvent("SysObjectStatus");
    E->WriteInteger(Id);
    TServiceEvent::SendEvent(std::move(E));
  }
  EXPECT_EQ("07 00 00 00", ToHex(Core.ReadEvent("SysObjectStatus").Params));
  EXPECT_EQ("08 00 00 00", ToHex(Core.ReadEvent("SysObjectStatus").Params));
}

TEST_F(CoreConnectionTest, FailingDisconnectHookIsLogged) {
  TRefusingPort Down;
  Conn.SetPort(Down.Port());
  Conn.OnDisconnected = [this](const std::exception* E) {
    Record(E);
    Conn.Terminate();
    throw Exception("hook failed");
  };
  Conn.Start();
  WaitDrop(2);
  Conn.Stop();
  EXPECT_TRUE(Log.Contains(
      "Exception (Exception) in TCorePollingThread.SyncDoOnDisconnected: hook failed"));
}

TEST_F(CoreConnectionTest, BeforeConnectHookHoldsTheAttemptBack) {
  int Calls = 0;
  Conn.OnBeforeConnect = [&] { return ++Calls >= 4; };
  Connect();
  EXPECT_EQ(4, Calls);
  EXPECT_EQ(1, Core.Accepted());
}

}  // namespace
}  // namespace pelmar
