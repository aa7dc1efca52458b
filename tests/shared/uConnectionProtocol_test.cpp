// ctest-label: os
#include "uConnectionProtocol.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "FakeClock.h"
#include "FakeCore.h"
#include "Hex.h"
#include "LogCapture.h"
#include "PelMarIndy.h"
#include "Utilities.h"

namespace pelmar {
namespace {

using test::ByteString;
using test::TFakeClock;
using test::TFakeCore;
using test::TLogCapture;
using test::ToHex;

std::string Str(const std::string& S) {
  return TFakeCore::Str(S);
}

std::string Content(const TBufferProtocol& B) {
  return B.Size() == 0 ? std::string()
                       : std::string(reinterpret_cast<const char*>(B.Data()),
                                     static_cast<std::size_t>(B.Size()));
}

TBufferProtocol& Fill(TBufferProtocol& B, const std::string& Bytes) {
  B.SetSize(0);
  B.WriteData(static_cast<std::int32_t>(Bytes.size()), Bytes.data());
  B.SetPosition(0);
  return B;
}

// Plays the polling thread in memory: each queued command is answered at once with the next
// scripted bytes, read through ReadIncoming as the real thread reads them.
class TScriptedCore : public TCoreDispatcher {
 public:
  bool Connected = true;
  std::vector<std::string> Sent;    // every command and event as it was handed over
  std::deque<std::string> Replies;  // bytes answering the next commands; default: id 00
  std::function<void()> BeforeReply;
  bool DropNext = false;  // the next command's connection drops before its reply

  bool IsConnected() const override { return Connected; }

  void Queue(TServiceCommand& Command) override {
    if (!Connected)
      throw EDisplayError("Нет соединения!");
    SetQueued(Command, true);
    Sent.push_back(Content(Command));
    MarkSent(Command);
    if (BeforeReply)
      BeforeReply();
    if (DropNext) {
      DropNext = false;
      MarkAborted(Command);
      MarkDone(Command);
      return;
    }
    std::string Bytes = std::string{static_cast<char>(Command.CommandID()), '\0'};
    if (!Replies.empty()) {
      Bytes = Replies.front();
      Replies.pop_front();
    }
    TBufferProtocol In(32);
    Fill(In, Bytes);
    while (Command.Pending() && In.Position() < In.Size())
      if (ReadIncoming(In, &Command) == TIncomingKind::ikDiscard)
        break;
    if (Command.Pending())
      MarkCancelled(Command);
    MarkDone(Command);
  }

  void Queue(std::unique_ptr<TServiceEvent> Event) override {
    if (!Connected)
      throw EDisplayError("Нет соединения!");
    Sent.push_back(Content(*Event));
  }

  bool RemoveFromQueue(TServiceCommand&) override { return false; }

  // Queues the messages of a push block given without its 00 02 header.
  void Receive(const std::string& CountAndMessages) {
    TBufferProtocol In(32);
    ReadPushBlock(Fill(In, CountAndMessages));
  }
};

class ConnectionProtocolTest : public ::testing::Test {
 protected:
  TFakeClock Clock;
  TLogCapture Log;
  TScriptedCore Core;
};

// ---- Message layouts and ids ------------------------------------------------------------------

TEST_F(ConnectionProtocolTest, CommandAndEventLayouts) {
  auto Get = ServiceCommander().StartCommand("GetSysObjects");
  Get->Execute();
  auto Quit = ServiceCommander().StartEvent("Quit");
  TServiceEvent::SendEvent(std::move(Quit));
  auto WithParams = ServiceCommander().StartCommand("X");
  WithParams->WriteInteger(7);
  WithParams->Execute();
  auto Status = ServiceCommander().StartEvent("S");
  Status->WriteString("ab");
  TServiceEvent::SendEvent(std::move(Status));

  ASSERT_EQ(4u, Core.Sent.size());
  EXPECT_EQ("0D 00 00 00 " + ToHex("GetSysObjects") + " 00 01 00 00 00 00", ToHex(Core.Sent[0]));
  EXPECT_EQ("04 00 00 00 " + ToHex("Quit") + " 01 00 00 00 00", ToHex(Core.Sent[1]));
  EXPECT_EQ("01 00 00 00 58 00 02 04 00 00 00 07 00 00 00", ToHex(Core.Sent[2]));
  EXPECT_EQ("01 00 00 00 53 01 06 00 00 00 02 00 00 00 61 62", ToHex(Core.Sent[3]));
}

TEST_F(ConnectionProtocolTest, CommandForAnotherTargetIsWrapped) {
  TServiceCommander Commander(7);
  auto Command = Commander.StartCommand("Ping");
  Command->Execute();
  ASSERT_EQ(1u, Core.Sent.size());
  EXPECT_EQ(ToHex(Str("FFCommand")) + " 00 01 09 00 00 00 07 " + ToHex(Str("Ping")),
            ToHex(Core.Sent[0]));
  EXPECT_EQ("Ping", Command->CommandName());
}

TEST_F(ConnectionProtocolTest, IdsRunFrom1To255AndWrapTo1) {
  for (int I = 1; I <= 255; ++I)
    ASSERT_EQ(I, ServiceCommander().StartCommand("C")->CommandID());
  EXPECT_EQ(1, ServiceCommander().StartCommand("C")->CommandID());
  EXPECT_EQ(2, ServiceCommander().StartCommand("C")->CommandID());
}

TEST_F(ConnectionProtocolTest, IdsAreTakenAtomicallyByConcurrentThreads) {
  constexpr int PerThread = 255 * 40;
  std::map<int, int> Seen[2];
  auto Start = [&Seen](int T) {
    for (int I = 0; I < PerThread; ++I)
      ++Seen[T][ServiceCommander().StartCommand("C")->CommandID()];
  };
  std::thread A(Start, 0), B(Start, 1);
  A.join();
  B.join();
  std::map<int, int> All;
  for (auto& S : Seen)
    for (auto [Id, N] : S)
      All[Id] += N;
  ASSERT_EQ(255u, All.size());
  EXPECT_EQ(0u, All.count(0));
  for (auto [Id, N] : All)
    EXPECT_EQ(80, N) << "id " << Id;
}

TEST(ConnectionProtocolNoCoreTest, StartingWithoutCoreConnectionIsABug) {
  const char* Want = "BUGCHECK: TClientProtocol.StartCommand: CorePollingThread not assigned!";
  try {
    ServiceCommander().StartCommand("C");
    FAIL();
  } catch (const EBugCheckError& E) {
    EXPECT_EQ(Want, E.Message());
  }
  try {
    ServiceCommander().StartEvent("E");
    FAIL();
  } catch (const EBugCheckError& E) {
    EXPECT_EQ(Want, E.Message());
  }
}

// ---- Execute and Finish -----------------------------------------------------------------------

TEST_F(ConnectionProtocolTest, ExecuteAnswersByReplyStatus) {
  struct {
    const char* Reply;  // after the id byte
    const char* WantReply;
    const char* WantError;  // class: message
  } Cases[] = {
      {"00", "", nullptr},
      {"01 03 00 00 00 61 62 63", "abc", nullptr},
      {"01 00 00 00 00", "", nullptr},
      {"03 04 00 00 00 6E 6F 70 65", nullptr, "EPelReplyError: nope"},
      {"02", nullptr, "EBugCheckError: BUGCHECK: Unexpected protocol reply (2)!"},
      {"07", nullptr, "EBugCheckError: BUGCHECK: Unexpected protocol reply!"},
  };
  for (const auto& C : Cases) {
    auto Command = ServiceCommander().StartCommand("C");
    Core.Replies.push_back(std::string(1, static_cast<char>(Command->CommandID())) +
                           ByteString(C.Reply));
    try {
      TBufferProtocol& Reply = Command->Execute();
      EXPECT_EQ(nullptr, C.WantError) << C.Reply;
      if (C.WantReply != nullptr) {
        EXPECT_EQ(C.WantReply, Content(Reply)) << C.Reply;
      }
    } catch (const Exception& E) {
      EXPECT_EQ(C.WantError ? C.WantError : "", std::string(E.ClassName()) + ": " + E.Message())
          << C.Reply;
    }
  }
}

TEST_F(ConnectionProtocolTest, ReplyDataIsAppendedToTheCallersBuffer) {
  auto Command = ServiceCommander().StartCommand("C");
  Core.Replies.push_back(std::string(1, static_cast<char>(Command->CommandID())) +
                         ByteString("01 01 00 00 00 61"));
  TBufferProtocol Mine(32);
  Mine.WriteString("");
  TBufferProtocol& Reply = Command->Execute(&Mine);
  EXPECT_EQ(&Mine, &Reply);
  EXPECT_EQ("00 00 00 00 61", ToHex(Content(Mine)));
}

TEST_F(ConnectionProtocolTest, RepliesToOtherIdsAndPushBlocksDoNotEndTheWait) {
  auto Command = ServiceCommander().StartCommand("C");
  std::string Own(1, static_cast<char>(Command->CommandID()));
  Core.Replies.push_back(ByteString("EE 01 02 00 00 00 78 79") +  // stray with data
                         ByteString("00 02 01 00 00 00") + TFakeCore::PushedEvent(3, "E") +
                         ByteString("EF 03") + Str("late") + ByteString("F0 00") + Own +
                         ByteString("01 02 00 00 00 6F 6B"));
  EXPECT_EQ("ok", Content(Command->Execute()));
  EXPECT_EQ(1u, Core.IncomingEventCount());
}

TEST_F(ConnectionProtocolTest, TimeOutWinsOverALateReply) {
  auto Command = ServiceCommander().StartCommand("C");
  Command->SetTimeout(1000);
  Core.BeforeReply = [this] { Clock.Advance(1001); };
  try {
    Command->Execute();
    FAIL();
  } catch (const EPelCommandTimeout& E) {
    EXPECT_EQ("", E.Message());
  }
}

TEST_F(ConnectionProtocolTest, DroppedConnectionEndsWithTheSilentAbort) {
  auto Command = ServiceCommander().StartCommand("C");
  Core.DropNext = true;
  EXPECT_THROW(Command->Execute(), EAbort);
  Command->Finish();
  EXPECT_EQ(1u, Core.Sent.size()) << "Finish must not send it again";
}

TEST_F(ConnectionProtocolTest, RefusedQueueingRaisesNoConnection) {
  Core.Connected = false;
  auto Command = ServiceCommander().StartCommand("C");
  try {
    Command->Execute();
    FAIL();
  } catch (const EDisplayError& E) {
    EXPECT_EQ("Нет соединения!", E.Message());
  }
  Command->Finish();
  EXPECT_THROW(TServiceEvent::SendEvent(ServiceCommander().StartEvent("E")), EDisplayError);
  EXPECT_TRUE(Core.Sent.empty());
}

TEST_F(ConnectionProtocolTest, FinishSendsACommandThatWasNeverExecutedOnce) {
  auto Unsent = ServiceCommander().StartCommand("SetSysObjects");
  Unsent->WriteInteger(0);
  Unsent->Finish();
  ASSERT_EQ(1u, Core.Sent.size());
  EXPECT_TRUE(Unsent->Done());
  Unsent->Finish();
  auto Executed = ServiceCommander().StartCommand("C");
  Executed->Execute();
  Executed->Finish();
  EXPECT_EQ(2u, Core.Sent.size());
}

// ---- Reading what the Core service sends ------------------------------------------------------

TEST_F(ConnectionProtocolTest, ReadIncomingWithoutWaitingCommand) {
  struct {
    const char* Bytes;
    TIncomingKind Want;
    std::int32_t WantPosition;
  } Cases[] = {
      {"05 00 99", TIncomingKind::ikStray, 2},
      {"00 00", TIncomingKind::ikStray, 2},
      {"05 01 02 00 00 00 61 62 99", TIncomingKind::ikStray, 8},
      {"05 01 00 00 00 00", TIncomingKind::ikStray, 6},
      {"05 03 01 00 00 00 78 99", TIncomingKind::ikStray, 7},
      {"05 03 FB FF FF FF 99", TIncomingKind::ikStray, 6},
      {"05 07 01 02", TIncomingKind::ikDiscard, 2},
      {"05 02", TIncomingKind::ikDiscard, 2},
      {"00 02 00 00 00 00 99", TIncomingKind::ikPush, 6},
  };
  for (const auto& C : Cases) {
    TBufferProtocol In(32);
    EXPECT_EQ(C.Want, Core.ReadIncoming(Fill(In, ByteString(C.Bytes)), nullptr)) << C.Bytes;
    EXPECT_EQ(C.WantPosition, In.Position()) << C.Bytes;
  }
}

TEST_F(ConnectionProtocolTest, MalformedInputRaisesWithoutBigAllocations) {
  const char* Cases[] = {
      "05 01 FF FF FF FF",                                   // negative block length
      "05 01 FF FF FF 7F 61",                                // 2 GB block, one byte there
      "05 03 00 00 00 80",                                   // negative string length is empty...
      "00 02 FF FF FF FF",                                   // negative count
      "00 02 01 00 00 00 00 03 FF FF FF 7F 61",              // 2 GB event name
      "00 02 01 00 00 00 00 03 01 00 00 00 45 FE FF FF FF",  // negative parameter length
      "00 02 02 00 00 00 00 03 01 00 00 00 45 00 00 00 00 01",  // second message cut short
      "05",                                                     // stops after the id
  };
  for (const char* C : Cases) {
    TBufferProtocol In(32);
    Fill(In, ByteString(C));
    bool Raised = false;
    try {
      Core.ReadIncoming(In, nullptr);
    } catch (const Exception&) {
      Raised = true;
    }
    // A negative string length reads as the empty string: nothing is wrong with that reply.
    EXPECT_EQ(std::string(C) != "05 03 00 00 00 80", Raised) << C;
  }
  EXPECT_EQ(1u, Core.IncomingEventCount()) << "the complete message before the cut stays queued";
}

TEST_F(ConnectionProtocolTest, PushBlockQueuesCommandsAndEvents) {
  Core.Receive(TFakeCore::Int(3) + TFakeCore::PushedCommand(2, -7, "ForceRestore", "abc") +
               TFakeCore::PushedEvent(4, "SysObjectConfig", "xy") +
               TFakeCore::PushedEvent(3, "CoreQuit"));
  ASSERT_EQ(1u, Core.IncomingCommandCount());
  ASSERT_EQ(2u, Core.IncomingEventCount());
  EXPECT_FALSE(Core.CoreQuitReceived()) << "only service 0 can send CoreQuit";

  std::vector<std::string> Seen;
  Core.RegisterCommand("ForceRestore", [&](pPelCommand C) {
    Seen.push_back(Format("cmd %d %d %s %s %d", C->ServiceID, C->UserID, C->Name,
                          Content(C->Params), C->Params.Position()));
  });
  Core.RegisterEvent("SysObjectConfig", 4, [&](pPelEvent E) {
    Seen.push_back(
        Format("evt %d %s %s %u", E->ServiceID, E->Name, Content(E->Params), E->ReceivedTick));
  });
  Core.ProcessMessages();
  EXPECT_EQ((std::vector<std::string>{Format("evt 4 SysObjectConfig xy %u", Clock.Ticks()),
                                      "cmd 2 -7 ForceRestore abc 0"}),
            Seen);
  Core.Receive(TFakeCore::Int(1) + TFakeCore::PushedEvent(0, "CoreQuit"));
  EXPECT_TRUE(Core.CoreQuitReceived());
}

// ---- Dispatch ---------------------------------------------------------------------------------

TEST_F(ConnectionProtocolTest, EventHandlersMatchSourceAndNameExactlyInOrder) {
  std::vector<std::string> Calls;
  Core.RegisterEvent("Alarm", 3, [&](pPelEvent) { Calls.push_back("first"); });
  Core.RegisterEvent("Alarm", 4, [&](pPelEvent) { Calls.push_back("other source"); });
  Core.RegisterEvent("alarm", 3, [&](pPelEvent) { Calls.push_back("other case"); });
  Core.RegisterEvent("Alarm", 3, [&](pPelEvent E) {
    Calls.push_back("second at " + std::to_string(E->Params.Position()));
  });
  Core.Receive(TFakeCore::Int(1) + TFakeCore::PushedEvent(3, "Alarm", "p"));
  Core.ProcessMessages();
  EXPECT_EQ((std::vector<std::string>{"first", "second at 0"}), Calls);
  EXPECT_EQ(0u, Core.IncomingEventCount());
}

TEST_F(ConnectionProtocolTest, RaisingEventHandlerEndsTheHandlingAndIsReported) {
  std::vector<std::string> Calls;
  std::vector<std::string> Reported;
  Core.OnReportException = [&](const std::exception& E) { Reported.push_back(E.what()); };
  Core.RegisterEvent("E", 1, [&](pPelEvent Ev) {
    Ev->Done = false;
    throw EListError("bad index");
  });
  Core.RegisterEvent("E", 1, [&](pPelEvent) { Calls.push_back("second"); });
  Core.Receive(TFakeCore::Int(1) + TFakeCore::PushedEvent(1, "E"));
  Core.ProcessMessages();
  EXPECT_TRUE(Calls.empty());
  EXPECT_EQ(std::vector<std::string>{"bad index"}, Reported);
  EXPECT_TRUE(Log.Contains("Fatal exception (EListError) while handling event \"E\": bad index"));
  EXPECT_EQ(0u, Core.IncomingEventCount()) << "a failed event counts as consumed";
}

TEST_F(ConnectionProtocolTest, EventNotDoneIsOfferedAgain) {
  int Offers = 0;
  Core.RegisterEvent("Later", 2, [&](pPelEvent E) { E->Done = ++Offers == 3; });
  Core.Receive(TFakeCore::Int(2) + TFakeCore::PushedEvent(2, "Later") +
               TFakeCore::PushedEvent(2, "Other"));
  Core.ProcessMessages();
  EXPECT_EQ(1, Offers);
  EXPECT_EQ(1u, Core.IncomingEventCount());
  Core.ProcessMessages();
  Core.ProcessMessages();
  EXPECT_EQ(3, Offers);
  EXPECT_EQ(0u, Core.IncomingEventCount());
  Core.ProcessMessages();
  EXPECT_EQ(3, Offers);
}

TEST_F(ConnectionProtocolTest, CoreQuitRequestsTheDisconnectWithoutAnyHandler) {
  struct {
    std::uint8_t Source;
    std::string Params;
    std::string WantReason;
    bool WantFlag;
  } Cases[] = {
      {0, Str("maintenance") + "\x01", "maintenance", true},
      {0, Str("bye") + std::string(1, '\0'), "bye", false},
      {9, Str("any source") + "\x01", "any source", true},
      {0, "", "", false},  // short parameters still ask for it
  };
  for (const auto& C : Cases) {
    TScriptedCore Fresh;
    Fresh.Receive(TFakeCore::Int(2) + TFakeCore::PushedEvent(C.Source, "CoreQuit", C.Params) +
                  TFakeCore::PushedEvent(C.Source, "After"));
    bool AfterSeen = false;
    Fresh.RegisterEvent("After", C.Source, [&](pPelEvent) { AfterSeen = true; });
    Fresh.ProcessMessages();
    EXPECT_TRUE(Fresh.DisconnectRequested()) << C.WantReason;
    EXPECT_EQ(C.WantReason, Fresh.DisconnectReason());
    EXPECT_EQ(C.WantFlag, Fresh.QuitFlag()) << C.WantReason;
    EXPECT_FALSE(AfterSeen) << "events stop once the disconnect is requested";
    EXPECT_EQ(1u, Fresh.IncomingEventCount());
  }
}

TEST_F(ConnectionProtocolTest, IncomingCommandIsAnsweredWithReturnCommand) {
  struct {
    const char* Name;
    std::function<void(pPelCommand)> Handler;
    std::string WantParams;
  } Cases[] = {
      {"Quiet", [](pPelCommand) {}, ByteString("00")},
      {"Talk", [](pPelCommand C) { C->Reply.WriteData(3, "abc"); },
       ByteString("01 03 00 00 00 61 62 63")},
      {"Fail", [](pPelCommand) { throw EDisplayError("no way"); }, "\x03" + Str("no way")},
  };
  for (const auto& C : Cases)
    Core.RegisterCommand(C.Name, C.Handler);
  std::string Pushed;
  for (const auto& C : Cases)
    Pushed += TFakeCore::PushedCommand(1, 5, C.Name);
  Core.Receive(TFakeCore::Int(3) + Pushed);
  Core.ProcessMessages();
  ASSERT_EQ(3u, Core.Sent.size());
  for (std::size_t I = 0; I < 3; ++I) {
    std::string Sent = Core.Sent[I];
    std::string Head = Str("ReturnCommand");
    ASSERT_EQ(Head, Sent.substr(0, Head.size())) << Cases[I].Name;
    EXPECT_EQ(ToHex(Cases[I].WantParams), ToHex(Sent.substr(Head.size() + 6))) << Cases[I].Name;
  }
  EXPECT_TRUE(Log.Contains("Exception (EDisplayError) while handling command \"Fail\": no way"));
}

TEST_F(ConnectionProtocolTest, UnknownCommandIsRefusedAndReported) {
  std::vector<std::string> Reported;
  Core.OnReportException = [&](const std::exception& E) { Reported.push_back(E.what()); };
  Core.Receive(TFakeCore::Int(1) + TFakeCore::PushedCommand(1, 5, "Nope"));
  Core.ProcessMessages();
  ASSERT_EQ(1u, Core.Sent.size());
  std::string Text = "Unknown command: \"Nope\"!";
  EXPECT_EQ(ToHex("\x03" + Str(Text)), ToHex(Core.Sent[0].substr(Str("ReturnCommand").size() + 6)));
  EXPECT_EQ(std::vector<std::string>{Text}, Reported);
  EXPECT_TRUE(Log.Contains("Exception (EBugCheckError) while handling command \"Nope\": " + Text));
}

TEST_F(ConnectionProtocolTest, CommandHooksSurroundTheHandlers) {
  std::vector<std::string> Calls;
  Core.OnCommandBefore = [&](pPelCommand C) {
    Calls.push_back("before " + C->Name + (Core.CurrentCommand() == C ? " current" : ""));
  };
  Core.OnCommandAfter = [&](pPelCommand C) {
    Calls.push_back("after " + C->Name + (Core.CurrentCommand() ? " current" : ""));
  };
  Core.RegisterCommand("Do", [&](pPelCommand C) {
    Calls.push_back(std::string("handler") + (Core.CurrentCommand() == C ? " current" : ""));
  });
  Core.Receive(TFakeCore::Int(1) + TFakeCore::PushedCommand(1, 5, "Do"));
  Core.ProcessMessages();
  EXPECT_EQ((std::vector<std::string>{"before Do current", "handler current", "after Do"}), Calls);
  EXPECT_EQ(nullptr, Core.CurrentCommand());
}

TEST_F(ConnectionProtocolTest, FailureToReturnTheResult) {
  Core.RegisterCommand("Do", [](pPelCommand) {});
  Core.Receive(TFakeCore::Int(2) + TFakeCore::PushedCommand(1, 5, "Do") +
               TFakeCore::PushedCommand(1, 5, "Do"));
  Core.Connected = false;
  EXPECT_THROW(Core.ProcessMessages(), EDisplayError);
  EXPECT_EQ(1u, Core.IncomingCommandCount()) << "the next command waits for the next call";

  Core.Connected = true;
  Core.Replies.push_back(ByteString("FF 03") + Str("refused"));  // id FF never matches: aborted
  try {
    Core.ProcessMessages();
    FAIL();
  } catch (const EBugCheckError& E) {
    EXPECT_EQ("Fatal exception (EAbort) while handling command \"Do\": Operation aborted",
              E.Message());
  }
}

TEST_F(ConnectionProtocolTest, RegistrationsAreKeptOnceEach) {
  struct THandlers {
    static void A(pPelEvent) {}
    static void B(pPelEvent) {}
  };
  Core.RegisterEvent("E", 1, THandlers::A);
  Core.RegisterEvent("E", 1, THandlers::A);
  Core.RegisterEvent("E", 1, THandlers::B);
  Core.RegisterEvent("E", 2, THandlers::A);
  auto Lambda = [](pPelEvent) {};
  Core.RegisterEvent("F", 0, Lambda);
  Core.RegisterEvent("F", 0, Lambda);
  Core.RegisterEvent("F", 0, [](pPelEvent) {});
  EXPECT_EQ(5u, Core.EventHandlers().size());
  Core.RegisterCommand("C", [](pPelCommand) {});
  auto Same = [](pPelCommand) {};
  Core.RegisterCommand("C", Same);
  Core.RegisterCommand("C", Same);
  EXPECT_EQ(2u, Core.CommandHandlers().size());

  Core.RegisterForEvents();
  ASSERT_EQ(1u, Core.Sent.size());
  std::string Head = Str("RegisterForEvents");
  EXPECT_EQ(ToHex(Head), ToHex(Core.Sent[0].substr(0, Head.size())));
  EXPECT_EQ(ToHex("\x01" + Str("E") + "\x01" + Str("E") + "\x02" + Str("E") + std::string(1, '\0') +
                  Str("F") + std::string(1, '\0') + Str("F")),
            ToHex(Core.Sent[0].substr(Head.size() + 6)));
}

TEST_F(ConnectionProtocolTest, RegisterForEventsNeedsRegistrationsAndAConnection) {
  Core.RegisterForEvents();
  EXPECT_TRUE(Core.Sent.empty());
  Core.RegisterEvent("E", 1, [](pPelEvent) {});
  Core.Connected = false;
  EXPECT_THROW(Core.RegisterForEvents(), EDisplayError);
}

// ---- TConnectionProtocol on a socket ----------------------------------------------------------

// A stream that claims a size it cannot have.
class THugeStream : public TStream {
 public:
  std::int32_t Read(void*, std::int32_t) override { return 0; }
  std::int32_t Write(const void*, std::int32_t) override { return 0; }
  std::int64_t Seek(std::int64_t, TSeekOrigin) override { return 0; }
  std::int64_t Size() const override { return std::int64_t{1} << 31; }
  void SetSize(std::int64_t) override {}
  std::int64_t Position() const override { return 0; }
};

class ConnectionProtocolSocketTest : public ::testing::Test {
 protected:
  ConnectionProtocolSocketTest() {
    Client.Connect("127.0.0.1", Peer.Port());
    Peer.Accept();
  }
  std::string Arrived(std::size_t Count) {
    Client.Disconnect();
    EXPECT_TRUE(Peer.WaitClosed());
    std::string R = Peer.Received();
    EXPECT_EQ(Count, R.size());
    return R;
  }

  TFakeClock Clock;
  TFakeCore Peer;
  TPelMarTCPClient Client;
  TConnectionProtocol Protocol{Client};
};

TEST_F(ConnectionProtocolSocketTest, TypedWritesGoToTheSocketAndAreCounted) {
  Protocol.WriteInteger(5);
  EXPECT_EQ(4, Protocol.BytesWritten());
  TPelmarMemoryStream Empty, Hello;
  Hello.Write("hello", 5);
  Protocol.WriteStream(Empty, true);
  Protocol.WriteStream(Hello, true);
  Protocol.WriteStream(Hello, false);
  EXPECT_EQ(22, Protocol.BytesWritten());
  EXPECT_EQ("05 00 00 00 00 00 00 00 05 00 00 00 " + ToHex("hello") + " " + ToHex("hello"),
            ToHex(Arrived(22)));
}

TEST_F(ConnectionProtocolSocketTest, TooBigStreamIsABugAndSendsNothing) {
  THugeStream Huge;
  try {
    Protocol.WriteStream(Huge, true);
    FAIL();
  } catch (const EBugCheckError& E) {
    EXPECT_EQ("BUGCHECK: Stream too big!", E.Message());
  }
  EXPECT_EQ(0, Protocol.BytesWritten());
  Arrived(0);
}

TEST_F(ConnectionProtocolSocketTest, ReadStreamWithLength) {
  Peer.Send(ByteString("00 00 00 00 03 00 00 00 61 62 63 FE FF FF FF 7A"));
  TPelmarMemoryStream Stream;
  Protocol.ReadStream(Stream, true);
  EXPECT_EQ(0, Stream.Size());
  Protocol.ReadStream(Stream, true);
  EXPECT_EQ(3, Stream.Size());
  EXPECT_EQ("abc", std::string(reinterpret_cast<char*>(Stream.Memory()), 3));
  Protocol.ReadStream(Stream, true);
  EXPECT_EQ(3, Stream.Size()) << "a negative length reads nothing more";
  EXPECT_EQ('z', Protocol.ReadByte());
  EXPECT_EQ(16, Protocol.BytesRead());
}

TEST_F(ConnectionProtocolSocketTest, FailedReadsLeaveTheCounters) {
  Peer.Send(ByteString("01 02"));
  Peer.Drop();
  EXPECT_THROW(Protocol.ReadInteger(), EPelMarClosedGracefully);
  EXPECT_EQ(0, Protocol.BytesRead());
}

TEST_F(ConnectionProtocolSocketTest, HugeStringLengthTakesOnlyWhatArrives) {
  Peer.Send(ByteString("FF FF FF 7F 61 62 63"));
  Peer.Drop();
  EXPECT_THROW(Protocol.ReadString(), EPelMarClosedGracefully);
}

TEST(ConnectionProtocolUnconnectedTest, EveryPrimitiveAssertsTheConnection) {
  TPelMarTCPClient Client;
  TConnectionProtocol Protocol(Client);
  TPelmarMemoryStream Stream;
  std::uint8_t Byte = 0;
  struct {
    const char* Operation;
    std::function<void()> Call;
  } Cases[] = {
      {"WriteData", [&] { Protocol.WriteData(1, &Byte); }},
      {"ReadData", [&] { Protocol.ReadData(1, &Byte); }},
      {"ReadStream", [&] { Protocol.ReadStream(Stream, true); }},
      {"WriteStream", [&] { Protocol.WriteStream(Stream, true); }},
  };
  for (const auto& C : Cases) {
    try {
      C.Call();
      ADD_FAILURE() << C.Operation;
    } catch (const EAssertionFailed& E) {
      std::string Want = std::string("BUGCHECK: IOHandler not assigned in TConnectionProtocol.") +
                         C.Operation + " (uConnectionProtocol.cpp, line ";
      EXPECT_EQ(Want, E.Message().substr(0, Want.size())) << C.Operation;
    }
  }
}

}  // namespace
}  // namespace pelmar
