// Stand-ins for systemd in the service host's tests: the service manager's end of sd_notify, a
// recording systemctl, and environment variables set for a scope.
#pragma once

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "DDWinSvc.h"
#include "ToolProcess.h"

namespace pelmar::test {

// A variable of the environment set for the life of the object; the old value (or its absence)
// comes back. Value nullptr unsets it.
class TScopedEnv {
 public:
  TScopedEnv(const char* Name, const char* Value);
  TScopedEnv(const char* Name, const std::string& Value) : TScopedEnv(Name, Value.c_str()) {}
  ~TScopedEnv();
  TScopedEnv(const TScopedEnv&) = delete;
  TScopedEnv& operator=(const TScopedEnv&) = delete;

 private:
  const char* FName;
  bool FHad = false;
  std::string FOld;
};

// The service manager's end of sd_notify: a datagram socket in a temporary directory, named by
// NOTIFY_SOCKET while the object lives.
class TNotifySocket {
 public:
  TNotifySocket();
  ~TNotifySocket();
  TNotifySocket(const TNotifySocket&) = delete;
  TNotifySocket& operator=(const TNotifySocket&) = delete;

  const std::string& Path() const { return FPath; }
  // The next message, waiting for it; "" when none came in time (Patience, or Wait).
  std::string Next();
  std::string Next(std::chrono::milliseconds Wait);
  // A message already there, or "".
  std::string Pending();

 private:
  std::string Take();

  TTempDir FDir;
  std::string FPath;
  TScopedEnv FEnv;
  int FFd = -1;
};

// systemd running or not, installed as the systemd control while the object lives; every
// systemctl call is recorded ("enable PelCID.service"), and one whose first argument is in
// FailOn raises EOSError "systemctl ... failed with exit code 1: refused".
class TRecordingSystemd : public TSystemdControl {
 public:
  explicit TRecordingSystemd(bool Running = true);
  ~TRecordingSystemd() override;
  bool Running() override { return FRunning; }
  void Systemctl(const std::vector<std::string>& Args) override;

  std::vector<std::string> Calls;
  std::set<std::string> FailOn;

 private:
  bool FRunning;
};

}  // namespace pelmar::test
