#include "SystemdDoubles.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "Exception.h"

namespace pelmar::test {

TScopedEnv::TScopedEnv(const char* Name, const char* Value) : FName(Name) {
  if (const char* Old = std::getenv(Name)) {
    FHad = true;
    FOld = Old;
  }
  if (Value != nullptr)
    setenv(Name, Value, 1);
  else
    unsetenv(Name);
}

TScopedEnv::~TScopedEnv() {
  if (FHad)
    setenv(FName, FOld.c_str(), 1);
  else
    unsetenv(FName);
}

TNotifySocket::TNotifySocket() : FPath(FDir.File("notify")), FEnv("NOTIFY_SOCKET", FPath) {
  FFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un A{};
  A.sun_family = AF_UNIX;
  std::snprintf(A.sun_path, sizeof A.sun_path, "%s", FPath.c_str());
  if (FFd < 0 || bind(FFd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0)
    throw std::runtime_error("cannot bind the notify socket " + FPath);
}

TNotifySocket::~TNotifySocket() {
  close(FFd);
}

std::string TNotifySocket::Next() {
  return Next(std::chrono::duration_cast<std::chrono::milliseconds>(Patience));
}

std::string TNotifySocket::Next(std::chrono::milliseconds Wait) {
  pollfd P{FFd, POLLIN, 0};
  if (poll(&P, 1, static_cast<int>(Wait.count())) != 1)
    return "";
  return Take();
}

std::string TNotifySocket::Pending() {
  pollfd P{FFd, POLLIN, 0};
  return poll(&P, 1, 0) == 1 ? Take() : "";
}

std::string TNotifySocket::Take() {
  char Buf[4096];
  ssize_t N = recv(FFd, Buf, sizeof Buf, 0);
  return N > 0 ? std::string(Buf, static_cast<std::size_t>(N)) : "";
}

TRecordingSystemd::TRecordingSystemd(bool Running) : FRunning(Running) {
  SetSystemdControl(this);
}

TRecordingSystemd::~TRecordingSystemd() {
  SetSystemdControl(nullptr);
}

void TRecordingSystemd::Systemctl(const std::vector<std::string>& Args) {
  std::string Call;
  for (const std::string& A : Args)
    Call += (Call.empty() ? "" : " ") + A;
  Calls.push_back(Call);
  if (!Args.empty() && FailOn.count(Args[0]) != 0)
    throw EOSError("systemctl " + Call + " failed with exit code 1: refused", 1);
}

}  // namespace pelmar::test
