// The server side of the Core protocol for the development Core service: takes the ContactID
// service's connections, answers its log-in and its commands, prints what it sends, and pushes
// the operator's commands and events to it. Operator commands come from standard input and from
// a local control socket, one per line; each is answered with reply lines of which the last is
// "ok" or "error: <text>".
//
// One thread: Run polls every socket and standard input and handles whatever is ready, so the
// installation needs no lock. Every line of the log goes to standard output, stamped with the
// time of day.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "CoreServiceInstallation.h"

namespace pelmar::coreservice {

struct TServerOptions {
  std::string Bind = "127.0.0.1";
  std::uint16_t Port = 4701;  // 0: a free port
  bool CheckPassword = false;
  std::string Password;
  std::string ControlPath;  // empty: no control socket
  std::int64_t DefaultUser = 1;
  bool ReadStdin = true;
};

class TCoreServer {
 public:
  // Installation is not owned and must outlive the server.
  TCoreServer(TInstallation& Installation, TServerOptions Options);
  ~TCoreServer();
  TCoreServer(const TCoreServer&) = delete;
  TCoreServer& operator=(const TCoreServer&) = delete;

  // Opens the listening sockets. Raises Exception with the system's text.
  void Open();
  // The port the server listens on (after Open).
  std::uint16_t Port() const { return FPort; }
  // Serves until RequestStop or the operator's "exit". Returns the exit code.
  int Run();
  // Async-signal-safe: ends Run soon.
  void RequestStop();

  // Executes one operator command; answers the reply lines, the last "ok" or "error: <text>".
  std::vector<std::string> Execute(const std::string& Line);

 private:
  struct TSession;
  struct TControlClient;

  void Log(const std::string& Line);
  void Accept();
  void AcceptControl();
  void ReadSession(TSession& S);
  void ProcessInput(TSession& S);
  void HandleLogin(TSession& S, TBufferProtocol& Frame);
  void HandleMessage(TSession& S, TBufferProtocol& Frame);
  // Answers the reply bytes after the id: status and payload.
  std::string HandleCommand(TSession& S, const std::string& Name, std::uint8_t Id,
                            TBufferProtocol& Params);
  void HandleEvent(TSession& S, const std::string& Name, TBufferProtocol& Params);
  std::string ApplySysObjects(TBufferProtocol& Params);
  void ObjectStatus(TBufferProtocol& Params);
  void ObjectConfig(TBufferProtocol& Params);
  void CloseSession(TSession& S, const std::string& Why);
  void ReadControl(TControlClient& C);
  void ReadStdin();

  // Pushes one command or event to every logged-in session; Description is what the answer
  // will be printed with. Raises Exception when no service is logged in.
  std::string Push(const std::string& Message, const std::string& Description, bool IsCommand);
  std::vector<std::string> PushCommand(const std::string& Name, std::int64_t User,
                                       const TBufferProtocol& Params,
                                       const std::string& Description);
  std::vector<std::string> SetCommand(const std::vector<std::string>& Words);
  std::vector<std::string> AddCommand(const std::string& Rest);
  std::vector<std::string> ListCommand(bool StatusOnly);

  TInstallation& FInstallation;
  TServerOptions FOptions;
  int FListen = -1;
  int FControl = -1;
  int FStopPipe[2] = {-1, -1};
  std::uint16_t FPort = 0;
  std::atomic<bool> FStop{false};
  bool FStdinOpen = false;
  std::string FStdinBuffer;
  bool FRefusing = false;
  std::string FRefuseReason;
  int FNextSession = 1;
  std::vector<std::unique_ptr<TSession>> FSessions;
  std::vector<std::unique_ptr<TControlClient>> FControlClients;
};

}  // namespace pelmar::coreservice
