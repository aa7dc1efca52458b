#include "DebugPipe.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "Clock.h"
#include "Process.h"

namespace pelmar {

TDebugPipe::~TDebugPipe() { SetEnabled(false); }

bool TDebugPipe::Enabled() const {
  std::lock_guard<std::mutex> Guard(FLock);
  return FEnabled;
}

void TDebugPipe::SetEnabled(bool Value) {
  std::lock_guard<std::mutex> Guard(FLock);
  if (Value == FEnabled) return;
  if (Value) {
    FPipeHandle = -1;
    FModuleName = ExtractFileName(GetModuleFileName());
    FProcessId = GetCurrentProcessId();
  } else {
    ClosePipe();
  }
  FEnabled = Value;
}

std::string TDebugPipe::PipeName() const {
  std::lock_guard<std::mutex> Guard(FLock);
  return FEnabled ? DebugPipePrefix + FModuleName : std::string();
}

void TDebugPipe::ClosePipe() {
  if (FPipeHandle >= 0) close(FPipeHandle);
  FPipeHandle = -1;
}

void TDebugPipe::Send(const std::string& Msg) {
  std::lock_guard<std::mutex> Guard(FLock);
  if (!FEnabled) return;
  if (FPipeHandle < 0) {
    int Fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (Fd < 0) return;
    sockaddr_un Addr{};
    Addr.sun_family = AF_UNIX;
    // Abstract namespace: a leading zero byte, then the name without terminator.
    std::string Name = DebugPipePrefix + FModuleName;
    size_t Length = std::min(Name.size(), sizeof Addr.sun_path - 1);
    std::memcpy(Addr.sun_path + 1, Name.data(), Length);
    auto AddrLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + Length);
    if (connect(Fd, reinterpret_cast<sockaddr*>(&Addr), AddrLength) != 0) {
      close(Fd);  // nobody listens: the record is dropped
      return;
    }
    FPipeHandle = Fd;
  }
  TDebugRecordHeader Header{};
  Header.Time = Now();
  Header.ProcessId = FProcessId;
  Header.ThreadId = GetCurrentThreadId();
  Header.TextLength = static_cast<std::int32_t>(Msg.size());
  std::vector<char> Record(sizeof Header + Msg.size());
  std::memcpy(Record.data(), &Header, sizeof Header);
  if (!Msg.empty()) std::memcpy(Record.data() + sizeof Header, Msg.data(), Msg.size());
  // Never wait for a slow viewer: a full queue loses the record like a vanished one.
  if (send(FPipeHandle, Record.data(), Record.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) ClosePipe();
}

TDebugPipe& DebugPipeInstance() {
  // Never destroyed: threads may still log while the process exits.
  static TDebugPipe* Instance = new TDebugPipe;
  return *Instance;
}

}  // namespace pelmar
