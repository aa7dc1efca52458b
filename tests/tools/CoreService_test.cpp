// ctest-label: os
//
// The development Core service, run as the built program: the ContactID service's own client
// side (TPelMarTCPClient, TCoreConnection) logs in to it, loads the installation, sends events
// and answers the commands the operator pushes through the control socket. Every wait is
// bounded; every child process is ended by the test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CIDCommon.h"
#include "Failure.h"
#include "FakeCore.h"
#include "Hex.h"
#include "PelMarIndy.h"
#include "ToolProcess.h"
#include "Utilities.h"
#include "uCoreConnection.h"

namespace pelmar {
namespace {

using namespace std::chrono_literals;
using TSteady = std::chrono::steady_clock;
using test::ToHex;

using test::Patience;
using test::TTempDir;
using TControl = test::TControlSocket;

// The development Core service as a child process.
class TTool : public test::TToolProcess {
 public:
  explicit TTool(const std::vector<std::string>& Args)
      : TToolProcess(test::BuiltToolPath("CoreService"), Args) {}
  // The port from "CoreService: listening on 127.0.0.1:PORT".
  std::uint16_t Port() { return TToolProcess::Port("CoreService: listening on "); }
};

std::string Content(const TBufferProtocol& B) {
  return B.Size() == 0 ? std::string()
                       : std::string(reinterpret_cast<const char*>(B.Data()),
                                     static_cast<std::size_t>(B.Size()));
}

bool WaitFor(const std::function<bool()>& Condition) {
  for (auto Deadline = TSteady::now() + Patience; TSteady::now() < Deadline;) {
    if (Condition())
      return true;
    std::this_thread::sleep_for(2ms);
  }
  return Condition();
}

const char* const Installation = R"({
  "service": { "name": "ContactID test", "versionMajor": 1 },
  "channels": [
    { "id": 101, "name": "TCP receiver", "enabled": true, "comType": "tcp",
      "comAddress": "127.0.0.1:10001", "ackEvents": true, "receiverTimeout": 45 }
  ],
  "accounts": [
    { "id": 200, "name": "Shop", "enabled": true, "number": "1234", "testReport": "08:00" },
    { "id": 300, "name": "Store", "number": "12B4", "maintenance": true }
  ],
  "groups": [ { "id": 210, "name": "Sales floor", "account": 200, "number": "01" } ],
  "zones": [
    { "id": 220, "name": "Front door", "account": 200, "number": "001", "zoneType": 7 },
    { "id": 221, "name": "Window", "account": 200, "number": "010" },
    { "id": 320, "name": "Gate", "account": 300, "number": "001" }
  ]
})";

class CoreServiceTest : public ::testing::Test {
 protected:
  void StartTool(const std::string& Password = "secret") {
    Tool = std::make_unique<TTool>(
        std::vector<std::string>{"--port", "0", "--password", Password, "--control", ControlPath,
                                 "--user", "1", Dir.File("installation.json", Installation)});
    Port = Tool->Port();
    ASSERT_NE(0, Port) << Tool->Errors();
    Control = std::make_unique<TControl>(ControlPath);
  }

  // Logs in through the service's own Core connection and waits until it is ready.
  void Connect() {
    Conn = std::make_unique<TCoreConnection>(Client);
    Conn->SetPort(Port);
    Conn->SetPollInterval(10);
    Conn->SetRegisterEvents(true);
    Conn->OnLogin = [this] { return test::CoreLogin(Client, 5, "secret"); };
    Conn->RegisterEvent("CoreQuit", 0, [this](pPelEvent E) {
      std::lock_guard<std::mutex> Guard(FLock);
      QuitReason = E->Params.ReadString();
    });
    for (const char* Name : {"SetSysObject", "ForceRestore"})
      Conn->RegisterCommand(Name, [this](pPelCommand C) {
        {
          std::lock_guard<std::mutex> Guard(FLock);
          Pushed.push_back({C->Name, C->UserID, Content(C->Params)});
        }
        if (OnPushed)
          OnPushed(C);
      });
    Conn->Start();
    ASSERT_TRUE(WaitFor([this] { return Conn->IsConnected(); }));
    ASSERT_NE("", Tool->WaitLine("command RegisterForEvents"));
  }

  // The installation as the service loads it.
  std::string GetSysObjects(TSysObjectList& List) {
    List.OnCreateObject = [](TBufferProtocol& B) -> std::unique_ptr<TCustomSysObject> {
      auto Probe = TCustomSysObject::Create<TGeneralSysObject>();
      std::int32_t At = B.Position();
      Probe->LoadFromBuffer(B);
      B.SetPosition(At);
      std::unique_ptr<TCustomSysObject> Obj;
      if (Probe->TypeName() == "Service")
        Obj = TCustomSysObject::Create<TDefaultSysService>();
      else if (Probe->TypeName() == "Channel")
        Obj = TCustomSysObject::Create<TCIDChannel>();
      else if (Probe->TypeName() == "Account")
        Obj = TCustomSysObject::Create<TCIDAccount>();
      else if (Probe->TypeName() == "Group")
        Obj = TCustomSysObject::Create<TCIDGroup>();
      else if (Probe->TypeName() == "Zone")
        Obj = TCustomSysObject::Create<TCIDZone>();
      else
        return nullptr;
      Obj->LoadFromBuffer(B);
      return Obj;
    };
    auto C = ServiceCommander().StartCommand("GetSysObjects");
    TBufferProtocol& Reply = C->Execute();
    std::string Bytes = Content(Reply);
    Reply.SetPosition(0);
    List.ObjectLoadMulti(Reply, true);
    C->Finish();
    return Bytes;
  }

  void SendEvent(const std::string& Name, const std::function<void(TServiceEvent&)>& Write) {
    auto E = ServiceCommander().StartEvent(Name);
    Write(*E);
    TServiceEvent::SendEvent(std::move(E));
  }

  // Handles the commands the tool pushed, as the service's work thread does.
  void HandlePushed(std::size_t Count) {
    ASSERT_TRUE(WaitFor([&] { return Conn->IncomingCommandCount() >= Count; }));
    Conn->ProcessMessages();
  }

  struct TPushedCommand {
    std::string Name;
    std::int64_t User;
    std::string Params;
  };

  TTempDir Dir;
  std::string ControlPath = Dir.File("control");
  std::unique_ptr<TTool> Tool;
  std::unique_ptr<TControl> Control;
  std::uint16_t Port = 0;
  TPelMarTCPClient Client;
  std::unique_ptr<TCoreConnection> Conn;
  std::function<void(pPelCommand)> OnPushed;
  std::mutex FLock;
  std::vector<TPushedCommand> Pushed;  // guarded by FLock
  std::string QuitReason;              // guarded by FLock

  void TearDown() override {
    // The connection goes before the tool and the client it uses.
    if (Conn)
      Conn->Stop();
    Conn.reset();
    // The tool ends cleanly and reports no failure of its own (nor, in a sanitizer build, any
    // memory error or leak).
    if (Tool) {
      EXPECT_EQ(0, Tool->Stop());
      EXPECT_EQ("", Tool->Errors());
    }
  }
};

// A log-in straight on a TCP client, as the service makes it; the refusal's text, or "" when
// the log-in was accepted.
std::string LogIn(std::uint16_t Port, std::uint8_t Service, const std::string& Password,
                  std::string* Class = nullptr) {
  TPelMarTCPClient C;
  C.SetConnectTimeout(5000);
  C.SetReadTimeout(20000);
  C.Connect("127.0.0.1", Port);
  try {
    test::CoreLogin(C, Service, Password);
  } catch (const Exception& E) {
    if (Class != nullptr)
      *Class = E.ClassName();
    return E.Message();
  }
  return "";
}

TEST_F(CoreServiceTest, LogInIsCheckedAndCanBeRefusedByTheOperator) {
  StartTool();
  struct TCase {
    const char* Operator;  // control command before the log-in, or nullptr
    std::uint8_t Service;
    const char* Password;
    const char* Refusal;  // "" for an accepted log-in
    const char* Class;
  } Cases[] = {
      {nullptr, 5, "secret", "", ""},
      {nullptr, 5, "Secret", "Wrong password for service 5", "Exception"},
      {nullptr, 5, "", "Wrong password for service 5", "Exception"},
      {nullptr, 6, "secret", "Unknown service 6: this installation serves only service 5",
       "Exception"},
      {"refuse NonFatal: Core is starting", 5, "secret", "NonFatal: Core is starting",
       "ENonFatalError"},
      {"refuse Licence expired", 5, "secret", "Licence expired", "Exception"},
      {"accept", 5, "secret", "", ""},
  };
  int Session = 0;
  for (const TCase& C : Cases) {
    ++Session;
    if (C.Operator != nullptr) {
      ASSERT_EQ("ok", Control->Last(C.Operator)) << C.Operator;
    }
    std::string Class;
    EXPECT_EQ(C.Refusal, LogIn(Port, C.Service, C.Password, &Class)) << C.Password;
    EXPECT_EQ(C.Class, Class) << C.Password;
    std::string Verdict = *C.Refusal == '\0' ? "accepted" : std::string("refused: ") + C.Refusal;
    EXPECT_NE("", Tool->WaitLine("session " + std::to_string(Session) + ": log-in of service " +
                                 std::to_string(C.Service) + ", protocol 1.9: " + Verdict))
        << C.Password;
  }
}

TEST_F(CoreServiceTest, GetSysObjectsAnswersTheInstallationsRecords) {
  StartTool();
  Connect();
  TSysObjectList List;
  GetSysObjects(List);
  EXPECT_NE("", Tool->WaitLine("command GetSysObjects #2: sent 8 objects"));

  std::vector<std::int32_t> IDs;
  for (std::int32_t I = 0; I < List.Count(); ++I)
    IDs.push_back(List.Items(I)->ID());
  EXPECT_EQ((std::vector<std::int32_t>{5, 101, 200, 210, 220, 221, 300, 320}), IDs);

  TCustomSysObject* Obj = nullptr;
  ASSERT_TRUE(List.FindById(5, Obj));
  auto* Service = dynamic_cast<TSysService*>(Obj);
  ASSERT_NE(nullptr, Service);
  EXPECT_EQ("ContactID test", Service->Name());
  EXPECT_EQ(5, Service->ServiceID());
  EXPECT_EQ(1, Service->VersionMajor());
  EXPECT_FALSE(Service->Online());

  ASSERT_TRUE(List.FindById(101, Obj));
  auto* Channel = dynamic_cast<TCIDChannel*>(Obj);
  ASSERT_NE(nullptr, Channel);
  EXPECT_EQ("TCP receiver", Channel->Name());
  EXPECT_TRUE(Channel->Enabled());
  EXPECT_EQ(1, Channel->ComType());
  EXPECT_EQ("127.0.0.1:10001", Channel->ComAddress());
  EXPECT_TRUE(Channel->AckEvents());
  EXPECT_EQ(45, Channel->ReceiverTimeout());
  EXPECT_EQ(5, Channel->ServiceID());

  ASSERT_TRUE(List.FindById(200, Obj));
  auto* Shop = dynamic_cast<TCIDAccount*>(Obj);
  ASSERT_NE(nullptr, Shop);
  EXPECT_EQ(0x1234, Shop->AccountIdx());
  EXPECT_TRUE(Shop->Enabled());
  EXPECT_FALSE(Shop->Maintenance());
  EXPECT_EQ(TVariant::DateTime(8.0 / 24), Shop->TestReport());
  EXPECT_EQ(1, Shop->GroupCount());
  EXPECT_EQ(2, Shop->ZoneCount());

  ASSERT_TRUE(List.FindById(300, Obj));
  auto* Store = dynamic_cast<TCIDAccount*>(Obj);
  ASSERT_NE(nullptr, Store);
  EXPECT_EQ(0x12B4, Store->AccountIdx());
  EXPECT_FALSE(Store->Enabled()) << "accounts are disabled unless the file says otherwise";
  EXPECT_TRUE(Store->Maintenance());
  EXPECT_TRUE(Store->TestReport().IsNull());

  TCIDZone* Window = nullptr;
  ASSERT_TRUE(Shop->FindZone(0x010, Window)) << "zone 010 is read as hexadecimal";
  EXPECT_EQ(221, Window->ID());
  EXPECT_TRUE(Window->Enabled());
  TCIDGroup* Floor = nullptr;
  ASSERT_TRUE(Shop->FindGroup(1, Floor));
  EXPECT_EQ("Sales floor", Floor->Name());
  ASSERT_TRUE(List.FindById(220, Obj));
  EXPECT_EQ(7, dynamic_cast<TCIDZone&>(*Obj).ZoneType());

  // The service reports its own objects back, its service object now online.
  Service->SetStatus("в сети", 2, "");
  Service->SetOnline(true);
  auto C = ServiceCommander().StartCommand("SetSysObjects");
  List.ObjectsSaveToBufferFilter(*C,
                                 [](TCustomSysObject& O) { return O.ID() == 5 || O.ID() == 220; });
  C->Execute();
  C->Finish();
  EXPECT_NE("", Tool->WaitLine("command SetSysObjects #3: 2 objects of the service; new: none; "
                               "changed: 5 \"ContactID test\" (Service)"));
  std::vector<std::string> Status = Control->Command("status");
  EXPECT_NE(Status.end(), std::find(Status.begin(), Status.end(),
                                    "5 \"ContactID test\" (Service): online, code 2 (online), "
                                    "\"в сети\""));
}

TEST_F(CoreServiceTest, StatusEventsArePrintedInWords) {
  StartTool();
  Connect();
  struct TCase {
    std::int32_t ID;
    std::function<void(TBufferProtocol&)> Status;
    const char* Line;
  } Cases[] = {
      {220, [](TBufferProtocol& B) { B.WriteWord(1); },
       "event SysObjectStatus: 220 \"Front door\" (Zone): alarm (state 0x0001)"},
      {221, [](TBufferProtocol& B) { B.WriteWord(0); },
       "event SysObjectStatus: 221 \"Window\" (Zone): normal (state 0x0000)"},
      {210,
       [](TBufferProtocol& B) {
         B.WriteByte(0x09);
         B.WriteByte(0);
       },
       "210 \"Sales floor\" (Group): armed, alarm (state 0x09, flags 0x00)"},
      {210,
       [](TBufferProtocol& B) {
         B.WriteByte(0x16);
         B.WriteByte(0);
       },
       "210 \"Sales floor\" (Group): disarmed since armed, trouble, test (state 0x16, flags 0x00)"},
      {200, [](TBufferProtocol& B) { B.WriteByte(1); },
       "200 \"Shop\" (Account): test report overdue (state 0x01)"},
      {101,
       [](TBufferProtocol& B) {
         B.WriteByte(4);
         B.WriteString("Таймаут приемника");
       },
       "101 \"TCP receiver\" (Channel): state 4 (receiver timeout), \"Таймаут приемника\""},
      {5,
       [](TBufferProtocol& B) {
         B.WriteBoolean(true);
         B.WriteByte(5);
         B.WriteString("повреждение");
         B.WriteString("Один или несколько каналов не в сети");
       },
       "5 \"ContactID test\" (Service): online, code 5 (fault), \"повреждение\", detail \"Один "
       "или несколько каналов не в сети\""},
      {999, [](TBufferProtocol& B) { B.WriteByte(1); },
       "event SysObjectStatus: 999 (unknown object): 01"},
  };
  for (const TCase& C : Cases) {
    SendEvent("SysObjectStatus", [&](TServiceEvent& E) {
      TBufferProtocol Status(32);
      C.Status(Status);
      E.WriteInteger(C.ID);
      E.WriteBlock(Status, true);
    });
    EXPECT_NE("", Tool->WaitLine(C.Line)) << C.Line;
  }
  // The last status of each object is kept.
  std::vector<std::string> Status = Control->Command("status");
  EXPECT_NE(Status.end(), std::find(Status.begin(), Status.end(),
                                    "220 \"Front door\" (Zone): alarm (state 0x0001)"));
  EXPECT_EQ("ok", Status.back());
}

TEST_F(CoreServiceTest, ConfigEventsChangeTheInstallationsCopy) {
  StartTool();
  Connect();
  TSysObjectList List;
  GetSysObjects(List);
  TCustomSysObject* Window = nullptr;
  ASSERT_TRUE(List.FindById(221, Window));
  Window->SetName("Shop window");
  TCustomSysObject* Gate = nullptr;
  ASSERT_TRUE(List.FindById(320, Gate));
  // Contact ID objects of one process link by ID across lists; a clone links to none.
  auto Door = TCustomSysObject::CreateClone<TCIDZone>(nullptr);
  Door->SetID(330);
  Door->SetName("Back door");
  Door->SetAccountID(300);
  Door->SetZoneIdx(2);

  struct TCase {
    TCustomSysObject* Obj;
    TObjectAction Action;
    const char* Line;
    const char* Shown;  // a line of "show ID" afterwards
  } Cases[] = {
      {Window, oaChanged, "event SysObjectConfig: changed 221 \"Shop window\" (Zone)",
       "  \"name\": \"Shop window\","},
      {Door.get(), olaAdded, "event SysObjectConfig: added 330 \"Back door\" (Zone)",
       "  \"number\": \"002\","},
      {Gate, olaDeleted, "event SysObjectConfig: deleted 320 \"Gate\" (Zone)",
       "error: no object has the ID 320"},
  };
  for (const TCase& C : Cases) {
    SendEvent("SysObjectConfig",
              [&](TServiceEvent& E) { List.WriteListAction(*C.Obj, C.Action, E); });
    EXPECT_NE("", Tool->WaitLine(C.Line)) << C.Line;
    std::vector<std::string> Shown = Control->Command("show " + std::to_string(C.Obj->ID()));
    EXPECT_NE(Shown.end(), std::find(Shown.begin(), Shown.end(), C.Shown)) << C.Line;
  }
  // The next load hands out the changed installation.
  GetSysObjects(List);
  TCustomSysObject* Obj = nullptr;
  EXPECT_TRUE(List.FindById(330, Obj));
  EXPECT_FALSE(List.FindById(320, Obj));
  ASSERT_TRUE(List.FindById(221, Obj));
  EXPECT_EQ("Shop window", Obj->Name());
}

TEST_F(CoreServiceTest, OperatorCommandsArePushedAndTheirAnswersPrinted) {
  StartTool();
  Connect();
  struct TCase {
    const char* Command;
    const char* Name;
    std::int64_t User;
    std::function<void(TBufferProtocol& Params)> Check;
    std::function<void(pPelCommand)> Handle;  // what the service answers
    const char* Answer;
  } Cases[] = {
      {"set 220 name=\"Back door\" enabled=false number=002 user=7", "SetSysObject", 7,
       [](TBufferProtocol& P) {
         EXPECT_EQ(oaChanged, P.ReadByte());
         auto Zone = TCustomSysObject::CreateClone<TCIDZone>(nullptr);
         Zone->LoadFromBuffer(P);
         EXPECT_EQ(220, Zone->ID());
         EXPECT_EQ("Back door", Zone->Name());
         EXPECT_FALSE(Zone->Enabled());
         EXPECT_EQ(2, Zone->ZoneIdx());
         EXPECT_EQ(200, Zone->AccountID());
         EXPECT_EQ(7, Zone->ZoneType());
       },
       nullptr,
       "answer to SetSysObject: change 220 \"Front door\" (Zone) name=\"Back door\" "
       "enabled=false number=\"002\", user 7: done"},
      {"add {\"type\": \"Zone\", \"id\": 230, \"account\": 300, \"number\": \"003\", \"name\": "
       "\"Side door\"}",
       "SetSysObject", 1,
       [](TBufferProtocol& P) {
         EXPECT_EQ(olaAdded, P.ReadByte());
         auto Zone = TCustomSysObject::CreateClone<TCIDZone>(nullptr);
         Zone->LoadFromBuffer(P);
         EXPECT_EQ(230, Zone->ID());
         EXPECT_EQ("Side door", Zone->Name());
         EXPECT_EQ(3, Zone->ZoneIdx());
         EXPECT_EQ(300, Zone->AccountID());
         EXPECT_EQ(5, Zone->ServiceID());
       },
       [](pPelCommand C) {
         C->Reply.WriteByte(1);
         C->Reply.WriteByte(2);
       },
       "answer to SetSysObject: add 230 \"Side door\" (Zone): enabled, account 300, number 003, "
       "type 0, user 1: done, 2 bytes of reply: 01 02"},
      {"delete 221", "SetSysObject", 1,
       [](TBufferProtocol& P) { EXPECT_EQ("06 DD 00 00 00", test::ToHex(Content(P))); },
       [](pPelCommand) { throw EDisplayError("Объект занят"); },
       "answer to SetSysObject: delete 221 \"Window\" (Zone), user 1: failed: Объект занят"},
      {"restore 200 user=9 alarm checked on site", "ForceRestore", 9,
       [](TBufferProtocol& P) {
         EXPECT_EQ(200, P.ReadInteger());
         EXPECT_EQ("alarm checked on site", P.ReadString());
         EXPECT_EQ(P.Size(), P.Position());
       },
       nullptr, "answer to ForceRestore of 200 \"Shop\" (Account), user 9: done"},
  };
  for (const TCase& C : Cases) {
    std::vector<std::string> Reply = Control->Command(C.Command);
    ASSERT_EQ("ok", Reply.back()) << C.Command << ": " << Reply.front();
    OnPushed = C.Handle;
    HandlePushed(1);
    TPushedCommand P;
    {
      std::lock_guard<std::mutex> Guard(FLock);
      ASSERT_EQ(1u, Pushed.size()) << C.Command;
      P = Pushed.back();
      Pushed.clear();
    }
    EXPECT_EQ(C.Name, P.Name) << C.Command;
    EXPECT_EQ(C.User, P.User) << C.Command;
    auto Params = std::make_unique<TBufferProtocol>(32);
    Params->WriteData(static_cast<std::int32_t>(P.Params.size()), P.Params.data());
    Params->SetPosition(0);
    C.Check(*Params);
    EXPECT_NE("", Tool->WaitLine(C.Answer)) << C.Command;
  }
}

TEST_F(CoreServiceTest, QuitAsksTheServiceToDisconnect) {
  StartTool();
  Connect();
  ASSERT_EQ("ok", Control->Last("quit Core service restarts"));
  ASSERT_TRUE(WaitFor([this] { return Conn->IncomingEventCount() == 1; }));
  Conn->ProcessMessages();
  {
    std::lock_guard<std::mutex> Guard(FLock);
    EXPECT_EQ("Core service restarts", QuitReason);
  }
  EXPECT_NE("", Tool->WaitLine("event Quit: session 1 logs out"));
  EXPECT_NE("", Tool->WaitLine("session 1: the service closed the connection"));
  EXPECT_TRUE(WaitFor([this] { return !Conn->IsConnected(); }));
}

TEST_F(CoreServiceTest, DropClosesTheServicesConnection) {
  StartTool();
  Connect();
  std::vector<std::string> Reply = Control->Command("drop");
  EXPECT_EQ((std::vector<std::string>{"dropped 1 connections", "ok"}), Reply);
  EXPECT_TRUE(WaitFor([this] { return !Conn->IsConnected(); }));
  EXPECT_EQ("error: no service is logged in", Control->Last("delete 221"));
}

TEST_F(CoreServiceTest, CommandsAreAnsweredAndMistakesExplained) {
  StartTool();
  Connect();
  auto K = ServiceCommander().StartCommand("Keepalive");
  EXPECT_EQ(0, K->Execute().Size());
  K->Finish();
  EXPECT_NE("", Tool->WaitLine("command Keepalive #2"));
  auto C = ServiceCommander().StartCommand("Bogus");
  EXPECT_EQ("CoreService: unknown command \"Bogus\"", test::Failure([&] { C->Execute(); }));
  C->Finish();
  EXPECT_NE("", Tool->WaitLine("command Bogus #3: unknown command, refused"));

  struct TCase {
    const char* Command;
    const char* Error;
  } Cases[] = {
      {"set 999 name=x", "error: no object has the ID 999"},
      {"set 220 number=1000",
       "error: number: must be 1 to 3 hexadecimal digits as the panel reports the zone (e.g. "
       "\"003\"), not \"1000\""},
      {"set 220 number=010",
       "error: number: zone 010 of account 200 is already 221 \"Window\" (Zone)"},
      {"set 220 account=300 number=001",
       "error: number: zone 001 of account 300 is already 320 \"Gate\" (Zone)"},
      {"set 220 account=101", "error: account: 101 \"TCP receiver\" (Channel) is not an account"},
      {"set 220 enabled=maybe", "error: enabled: must be true or false, not the text \"maybe\""},
      {"set 220 colour=red",
       "error: colour: unknown field; the fields of zone objects are id, "
       "name, enabled, description, account, number, zoneType, link, "
       "attrFlag, attrByte1, attrByte2"},
      {"set 220 id=230", "error: id: the ID of an object cannot be changed"},
      {"set 300 number=1234",
       "error: number: account number 1234 is already 200 \"Shop\" (Account)"},
      {"add {\"type\": \"Zone\", \"id\": 101, \"account\": 200, \"number\": \"004\"}",
       "error: id: ID 101 is already 101 \"TCP receiver\" (Channel)"},
      {"add {\"type\": \"Zone\", \"id\": 240, \"account\": 200}",
       "error: missing field \"number\""},
      {"add {\"type\": \"Panel\", \"id\": 240}",
       "error: type: must be one of Channel, Account, Group, Zone, not the text \"Panel\""},
      {"add {\"type\": ", "error: usage: add [user=N] {JSON object}; the object is not valid JSON"},
      {"delete x", "error: \"x\" is not an object ID"},
      {"refuse", "error: usage: refuse REASON (a reason with \"NonFatal:\" is retried)"},
      {"frobnicate", "error: unknown command \"frobnicate\"; try help"},
  };
  for (const TCase& Case : Cases)
    EXPECT_EQ(Case.Error, Control->Last(Case.Command)) << Case.Command;
  std::lock_guard<std::mutex> Guard(FLock);
  EXPECT_TRUE(Pushed.empty()) << "nothing reached the service";
}

TEST_F(CoreServiceTest, StandardInputTakesTheSameCommands) {
  StartTool();
  ASSERT_TRUE(Tool->WriteStdin("show 210"));
  EXPECT_NE("", Tool->WaitLine("  \"name\": \"Sales floor\","));
  ASSERT_TRUE(Tool->WriteStdin("exit"));
  EXPECT_EQ(0, Tool->WaitExit());
}

TEST(CoreServiceInstallationTest, BadFilesAreNamedWithLineAndFieldAndStopTheTool) {
  struct TCase {
    const char* Name;
    const char* Content;
    const char* Message;  // after "CoreService: <file>:"
  } Cases[] = {
      {"syntax error", "{\n  \"channels\": [\n    {\"id\": 1,}\n  ]\n}\n",
       "3:14: syntax error while parsing object key - unexpected '}'; expected string literal"},
      {"wrong type", "{\n  \"channels\": [\n    {\"id\": \"101\"}\n  ]\n}\n",
       "3: channels[0].id: must be an integer from 1 to 2147483647, not the text \"101\""},
      {"unknown field",
       "{\n  \"accounts\": [\n    {\"id\": 200,\n     \"number\": \"1234\",\n     \"colour\": "
       "\"red\"}\n  ]\n}\n",
       "5: accounts[0].colour: unknown field; the fields of account objects are id, name, "
       "enabled, description, number, testReport, maintenance, link, attrFlag, attrByte1, "
       "attrByte2"},
      {"duplicate ID",
       "{\n  \"accounts\": [ {\"id\": 200, \"number\": \"1234\"} ],\n  \"groups\": [\n    "
       "{\"id\": 200, \"account\": 200, \"number\": \"01\"}\n  ]\n}\n",
       "4: groups[0].id: ID 200 is already 200 \"\" (Account)"},
      {"zone of a missing account",
       "{\n  \"accounts\": [ {\"id\": 200, \"number\": \"1234\"} ],\n  \"zones\": [\n    "
       "{\"id\": 220,\n     \"account\": 201, \"number\": \"001\"}\n  ]\n}\n",
       "5: zones[0].account: no account has the ID 201"},
      {"missing field",
       "{\n  \"accounts\": [ {\"id\": 200, \"number\": \"1234\"} ],\n  \"groups\": [\n\n    "
       "{\"id\": 210, \"account\": 200}\n  ]\n}\n",
       "5: groups[0]: missing field \"number\""},
      {"field given twice", "{\n  \"accounts\": [ {\"id\": 200,\n \"id\": 201} ]\n}\n",
       "3: accounts[0].id: the field is given twice"},
      {"zone number out of range",
       "{\n  \"accounts\": [ {\"id\": 200, \"number\": \"1234\"} ],\n  \"zones\": [ {\"id\": "
       "220, \"account\": 200, \"number\": \"000\"} ]\n}\n",
       "3: zones[0].number: zone numbers run from 001 to FFF, not \"000\""},
      {"unknown list", "{\n  \"receivers\": []\n}\n",
       "2: receivers: unknown field; an installation has service, channels, accounts, groups, "
       "zones"},
  };
  TTempDir Dir;
  for (const TCase& C : Cases) {
    std::string File = Dir.File("bad.json", C.Content);
    TTool Tool({"--port", "0", File});
    EXPECT_EQ(1, Tool.WaitExit()) << C.Name;
    EXPECT_EQ("CoreService: " + File + ":" + C.Message + "\n", Tool.Errors()) << C.Name;
  }
}

TEST(CoreServiceInstallationTest, TheDemoInstallationLoads) {
  std::string Demo = (std::filesystem::path(__FILE__).parent_path() / ".." / ".." / "tools" /
                      "demo-installation.json")
                         .lexically_normal()
                         .string();
  TTool Tool({"--port", "0", Demo});
  EXPECT_NE(0, Tool.Port()) << Tool.Errors();
  EXPECT_NE("", Tool.WaitLine("CoreService: 14 objects from " + Demo));
}

}  // namespace
}  // namespace pelmar
