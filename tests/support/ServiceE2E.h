// The Contact ID service in one process (the real main module and service client on a worker
// thread) against a fresh database on the private Firebird server, the development Core service
// and receiver simulators run as the built programs on loopback. The fixture starts the pieces
// the test asks for, offers bounded waits on the database, the tools' output and the service's
// event log, and ends everything it started.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FirebirdFixture.h"
#include "ServiceMain.h"
#include "ToolProcess.h"

namespace pelmar::test {

// A service host with no control requests, a stop flag the test sets, and an operating-system
// event log kept in memory. The log procedures may be called from any thread.
class TRecordingHost : public TServiceHostLink {
 public:
  void ServeRequests() override {}
  bool Terminated() const override { return Stop.load(); }
  void LogInfo(const std::string& Text) override { Add(FInfos, Text); }
  void LogWarning(const std::string& Text) override { Add(FWarnings, Text); }
  void LogError(const std::string& Text) override { Add(FErrors, Text); }

  std::vector<std::string> Infos() const { return Copy(FInfos); }
  std::vector<std::string> Warnings() const { return Copy(FWarnings); }
  std::vector<std::string> Errors() const { return Copy(FErrors); }

  std::atomic<bool> Stop{false};

 private:
  void Add(std::vector<std::string>& To, const std::string& Text);
  std::vector<std::string> Copy(const std::vector<std::string>& From) const;

  mutable std::mutex FLock;
  std::vector<std::string> FInfos;     // guarded by FLock
  std::vector<std::string> FWarnings;  // guarded by FLock
  std::vector<std::string> FErrors;    // guarded by FLock
};

// The frames of the lines of Event ("ACK", "SEND", ...) in a receiver simulator's log, in order.
std::vector<std::string> SimulatorLogFrames(const std::string& LogFile, const std::string& Event);

// Bytes as "10 00", two upper-case hex digits each, separated by spaces.
std::string HexBytes(const std::string& Bytes);

class TServiceE2ETest : public TFirebirdTest {
 protected:
  // Runs in the worker thread between making the main module and RunService.
  using TPrepare = std::function<void(TDataModule1& Module)>;

  void SetUp() override;
  // Stops the service, then ends the Core service and every simulator.
  void TearDown() override;

  // Starts a receiver simulator named Name with its log in the test's directory (ReceiverLog),
  // quiet, without link tests unless Args ask for them. Args choose the link: "--tcp", "0" or
  // "--serial". Answers the TCP port or 0 for a serial link; see SerialDevice.
  std::uint16_t StartReceiver(const std::string& Name, const std::vector<std::string>& Args);
  TToolProcess& Receiver(const std::string& Name) { return *FReceivers.at(Name); }
  std::string ReceiverLog(const std::string& Name) const;
  // The pseudo-terminal a "--serial" simulator made.
  std::string SerialDevice(const std::string& Name);
  // The frames of the simulator's log lines of Event.
  std::vector<std::string> ReceiverFrames(const std::string& Name, const std::string& Event) {
    return SimulatorLogFrames(ReceiverLog(Name), Event);
  }

  // Starts the development Core service with the installation (JSON text) and a control socket.
  void StartCore(const std::string& Installation);
  TToolProcess& Core() { return *FCore; }
  // One operator command on the Core service's control socket; its reply lines.
  std::vector<std::string> CoreCommand(const std::string& Line);
  // The Core service's "status" line of object ID ("220 \"Door\" (Zone): alarm (state 0x0001)"),
  // or "" when it has none.
  std::string CoreStatus(std::int32_t ID);
  // Waits until the Core service's "status" line of ID contains Text; the last line seen.
  std::string WaitCoreStatus(std::int32_t ID, const std::string& Text);

  // Runs the main module on a worker thread against the test database and the Core service.
  void StartService(TPrepare Prepare = {});

  // Writes the settings store of the built PelCIDSvc (the Core service and the test database)
  // into the test's directory and points PELMAR_SETTINGS_DIR at it; the fixture unsets it.
  void WriteProgramSettings();
  const std::string& ProgramSettingsDir() const { return FSettingsDir; }
  // The built PelCIDSvc.
  static std::string ProgramPath();
  // Starts the built PelCIDSvc in debug mode (/SVC /DEBUG) with those settings; the fixture ends
  // it. A program started before is ended first.
  TToolProcess& StartProgram();
  TToolProcess& Program() { return *FProgram; }
  std::unique_ptr<TToolProcess>& ProgramProcess() { return FProgram; }
  // Ends the service: its run loop stops and the worker thread is joined.
  void StopService();

  // Polls Condition until it holds or Patience passed; answers its last value.
  static bool WaitUntil(const std::function<bool()>& Condition);
  // The rows of Sql once there are at least Count of them, waiting; the last rows seen.
  std::vector<std::vector<TVariant>> WaitRows(const std::string& Sql, std::size_t Count = 1);
  // The rows of the installation's event log for ObjectID in the order written: EVENT_CODE,
  // PRIORITY, USER_ID, PARAM1, PARAM2.
  std::vector<std::vector<TVariant>> EventLog(std::int32_t ObjectID);
  // The stored status bytes of ObjectID as hex ("10 00"), "" without a row.
  std::string StoredStatus(std::int32_t ObjectID);

  // Records, for the rest of the test, every write to the views of the Contact ID objects and to
  // SYS_OBJECT_STATUSES with the user that the connection's context named at that moment
  // (table E2E_WRITES: TABLE_NAME, OBJECT_ID, ACTION I/U/D, CONTEXT_USER). Call before
  // StartService.
  void RecordWrites();
  // The context users of the recorded writes of Table for ObjectID, in order ("" for none).
  std::vector<std::string> WriteUsers(const std::string& Table, std::int32_t ObjectID);

  TTempDir Dir;
  TRecordingHost Host;
  TServiceSettings Settings;

 private:
  std::string FSettingsDir;
  std::unique_ptr<TToolProcess> FProgram;
  std::map<std::string, std::unique_ptr<TToolProcess>> FReceivers;
  std::unique_ptr<TToolProcess> FCore;
  std::unique_ptr<TControlSocket> FControl;
  std::thread FWorker;
  std::mutex FWorkerLock;
  std::string FWorkerFailure;  // guarded by FWorkerLock
};

}  // namespace pelmar::test
