#include "ServiceE2E.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <stdlib.h>

#include "Registry.h"

namespace pelmar::test {

namespace {

using TSteady = std::chrono::steady_clock;

// The views of the Contact ID objects and the status table, with their key column.
const std::pair<const char*, const char*> WrittenTables[] = {
    {"VW_CID_CHANNELS", "ID"},
    {"VW_CID_ACCOUNTS", "ID"},
    {"VW_CID_ACCOUNT_GROUPS", "ID"},
    {"VW_CID_ACCOUNT_ZONES", "ID"},
    {"SYS_OBJECT_STATUSES", "OBJECT_ID"},
};

}  // namespace

void TRecordingHost::Add(std::vector<std::string>& To, const std::string& Text) {
  std::lock_guard<std::mutex> Guard(FLock);
  To.push_back(Text);
}

std::vector<std::string> TRecordingHost::Copy(const std::vector<std::string>& From) const {
  std::lock_guard<std::mutex> Guard(FLock);
  return From;
}

std::vector<std::string> SimulatorLogFrames(const std::string& LogFile, const std::string& Event) {
  std::ifstream In(LogFile);
  std::vector<std::string> Frames;
  for (std::string Line; std::getline(In, Line);) {
    std::istringstream Words(Line);
    std::string Time, Kind, Seq, Frame;
    Words >> Time >> Kind >> Seq >> Frame;
    if (Kind == Event)
      Frames.push_back(Frame);
  }
  return Frames;
}

std::string HexBytes(const std::string& Bytes) {
  static const char Digits[] = "0123456789ABCDEF";
  std::string Out;
  for (unsigned char C : Bytes) {
    if (!Out.empty())
      Out += ' ';
    Out += Digits[C >> 4];
    Out += Digits[C & 15];
  }
  return Out;
}

void TServiceE2ETest::SetUp() {
  TFirebirdTest::SetUp();
  if (IsSkipped() || HasFatalFailure())
    return;
  // The service makes its own connection; the fixture's would only hold the database open.
  Database().Close();
  Settings.DBServer = Login().Host;
  Settings.DBPort = static_cast<std::uint16_t>(Login().Port);
  Settings.DBName = DatabaseName().substr(DatabaseName().find(':') + 1);
  Settings.DBUser = Login().User;
  Settings.DBPassword = Login().Password;
}

void TServiceE2ETest::TearDown() {
  FProgram.reset();
  if (!FSettingsDir.empty())
    unsetenv("PELMAR_SETTINGS_DIR");
  StopService();
  FControl.reset();
  FCore.reset();
  FReceivers.clear();
  TFirebirdTest::TearDown();
}

std::uint16_t TServiceE2ETest::StartReceiver(const std::string& Name,
                                             const std::vector<std::string>& Args) {
  std::vector<std::string> All = {"--quiet", "--log", ReceiverLog(Name), "--linktest-interval",
                                  "0"};
  All.insert(All.end(), Args.begin(), Args.end());
  auto& Process = FReceivers[Name];
  Process = std::make_unique<TToolProcess>(BuiltToolPath("ReceiverSim"), All);
  if (std::find(Args.begin(), Args.end(), "--serial") != Args.end())
    return 0;
  const std::uint16_t Port = Process->Port("ReceiverSim: listening on ");
  EXPECT_NE(0, Port) << Name << ": " << Process->Errors();
  return Port;
}

void TServiceE2ETest::WriteProgramSettings() {
  FSettingsDir = Dir.File("settings");
  TRegistry Registry(FSettingsDir);
  ASSERT_TRUE(Registry.OpenKey("Software\\PelMar\\ContactID\\General", true));
  Registry.WriteString("Core service address", "127.0.0.1");
  Registry.WriteInteger("Core service port", Settings.CorePort);
  Registry.WriteString("Core service password", "");
  ASSERT_TRUE(Registry.OpenKey("Software\\PelMar\\ContactID\\Database", true));
  Registry.WriteString("Server address", Settings.DBServer);
  Registry.WriteInteger("Port number", Settings.DBPort);
  Registry.WriteString("Database name", Settings.DBName);
  Registry.WriteString("Username", Settings.DBUser);
  Registry.WriteString("Password", Settings.DBPassword);
  Registry.CloseKey();
  setenv("PELMAR_SETTINGS_DIR", FSettingsDir.c_str(), 1);
}

std::string TServiceE2ETest::ProgramPath() {
  // The tools are built in tools/, the program at the top of the build tree.
  return (std::filesystem::path(BuiltToolPath("ReceiverSim")).parent_path().parent_path() /
          "PelCIDSvc")
      .string();
}

TToolProcess& TServiceE2ETest::StartProgram() {
  FProgram.reset();
  FProgram =
      std::make_unique<TToolProcess>(ProgramPath(), std::vector<std::string>{"/SVC", "/DEBUG"});
  return *FProgram;
}

std::string TServiceE2ETest::ReceiverLog(const std::string& Name) const {
  return Dir.File(Name + ".log");
}

std::string TServiceE2ETest::SerialDevice(const std::string& Name) {
  const std::string Prefix = "ReceiverSim: serial device ";
  const std::string Line = Receiver(Name).WaitLine(Prefix);
  const std::size_t At = Line.find(Prefix);
  EXPECT_NE(std::string::npos, At) << Name << ": " << Receiver(Name).Errors();
  return At == std::string::npos ? "" : Line.substr(At + Prefix.size());
}

void TServiceE2ETest::StartCore(const std::string& Installation) {
  const std::string Socket = Dir.File("core.sock");
  FCore = std::make_unique<TToolProcess>(
      BuiltToolPath("CoreService"),
      std::vector<std::string>{"--port", "0", "--control", Socket,
                               Dir.File("installation.json", Installation)});
  Settings.CorePort = FCore->Port("CoreService: listening on ");
  ASSERT_NE(0, Settings.CorePort) << FCore->Errors();
  // The control socket is open once the port is printed.
  FControl = std::make_unique<TControlSocket>(Socket);
}

std::vector<std::string> TServiceE2ETest::CoreCommand(const std::string& Line) {
  return FControl->Command(Line);
}

std::string TServiceE2ETest::CoreStatus(std::int32_t ID) {
  const std::string Prefix = std::to_string(ID) + " \"";
  for (const std::string& Line : CoreCommand("status"))
    if (Line.rfind(Prefix, 0) == 0)
      return Line;
  return "";
}

std::string TServiceE2ETest::WaitCoreStatus(std::int32_t ID, const std::string& Text) {
  std::string Line;
  WaitUntil([&] {
    Line = CoreStatus(ID);
    return Line.find(Text) != std::string::npos;
  });
  return Line;
}

void TServiceE2ETest::StartService(TPrepare Prepare) {
  FWorker = std::thread([this, Prepare] {
    try {
      TDataModule1 Module(Host, Settings);
      if (Prepare)
        Prepare(Module);
      Module.RunService();
    } catch (const std::exception& E) {
      std::lock_guard<std::mutex> Guard(FWorkerLock);
      FWorkerFailure = E.what();
    }
  });
}

void TServiceE2ETest::StopService() {
  if (!FWorker.joinable())
    return;
  Host.Stop = true;
  FWorker.join();
  std::lock_guard<std::mutex> Guard(FWorkerLock);
  EXPECT_EQ("", FWorkerFailure) << "the service ended with an exception";
}

bool TServiceE2ETest::WaitUntil(const std::function<bool()>& Condition) {
  for (auto Deadline = TSteady::now() + Patience;;) {
    if (Condition())
      return true;
    if (TSteady::now() >= Deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::vector<std::vector<TVariant>> TServiceE2ETest::WaitRows(const std::string& Sql,
                                                             std::size_t Count) {
  std::vector<std::vector<TVariant>> Rows;
  WaitUntil([&] {
    Rows = Select(Sql);
    return Rows.size() >= Count;
  });
  return Rows;
}

std::vector<std::vector<TVariant>> TServiceE2ETest::EventLog(std::int32_t ObjectID) {
  return Select(
      "SELECT EVENT_CODE, PRIORITY, USER_ID, PARAM1, PARAM2 FROM SYS_EVENT_LOG WHERE OBJECT_ID = " +
      std::to_string(ObjectID) + " ORDER BY ID");
}

std::string TServiceE2ETest::StoredStatus(std::int32_t ObjectID) {
  auto Rows = Select(
      "SELECT CAST(STATUS AS VARCHAR(32) CHARACTER SET OCTETS) FROM SYS_OBJECT_STATUSES "
      "WHERE OBJECT_ID = " +
      std::to_string(ObjectID));
  return Rows.empty() || Rows[0][0].IsNull() ? "" : HexBytes(Rows[0][0].AsString());
}

void TServiceE2ETest::RecordWrites() {
  Execute(
      "CREATE TABLE E2E_WRITES (ID INTEGER GENERATED BY DEFAULT AS IDENTITY, "
      "TABLE_NAME VARCHAR(40), OBJECT_ID INTEGER, ACT CHAR(1), CONTEXT_USER VARCHAR(255))");
  int N = 0;
  for (const auto& [Table, Key] : WrittenTables) {
    const std::string T = Table;
    const std::string K = Key;
    Execute("CREATE TRIGGER E2E_WRITES_" + std::to_string(++N) + " FOR " + T +
            " AFTER INSERT OR UPDATE OR DELETE POSITION 32000 AS BEGIN "
            "INSERT INTO E2E_WRITES (TABLE_NAME, OBJECT_ID, ACT, CONTEXT_USER) VALUES ('" +
            T + "', IIF(DELETING, OLD." + K + ", NEW." + K +
            "), IIF(INSERTING, 'I', IIF(UPDATING, 'U', 'D')), "
            "RDB$GET_CONTEXT('USER_SESSION', 'USER_ID')); END");
  }
}

std::vector<std::string> TServiceE2ETest::WriteUsers(const std::string& Table,
                                                     std::int32_t ObjectID) {
  std::vector<std::string> Users;
  for (auto& Row : Select("SELECT CONTEXT_USER FROM E2E_WRITES WHERE TABLE_NAME = '" + Table +
                          "' AND OBJECT_ID = " + std::to_string(ObjectID) + " ORDER BY ID"))
    Users.push_back(Row[0].IsNull() ? "" : Row[0].AsString());
  return Users;
}

}  // namespace pelmar::test
