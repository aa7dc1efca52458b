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

TDebugPipe::~TDebugPipe() {
  SetEnabled(false);
}

bool TDebugPipe::Enabled() const {
  return FEnabled;
}

void TDebugPipe::SetEnabled(bool Value) {
  std::lock_guard<std::mutex> Guard(FLock);
  if (Value == FEnabled)
    return;
  if (Value) {
    FPipeHandle = -1;
    FModuleName =
        FFixedModuleName.empty() ? ExtractFileName(GetModuleFileName()) : FFixedModuleName;
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
  if (FPipeHandle >= 0)
    close(FPipeHandle);
  FPipeHandle = -1;
}

void TDebugPipe::Send(const std::string& Msg) {
  if (!FEnabled.load(std::memory_order_relaxed))
    return;
  std::lock_guard<std::mutex> Guard(FLock);
  if (!FEnabled)
    return;
  if (FPipeHandle < 0) {
    int Fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (Fd < 0)
      return;
    sockaddr_un Addr{};
    socklen_t AddrLength = DebugPipeAddress(DebugPipePrefix + FModuleName, Addr);
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
  if (!Msg.empty())
    std::memcpy(Record.data() + sizeof Header, Msg.data(), Msg.size());
  // Never wait for a slow viewer: a full queue loses the record like a vanished one.
  if (send(FPipeHandle, Record.data(), Record.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0)
    ClosePipe();
}

unsigned DebugPipeAddress(const std::string& Name, sockaddr_un& Addr) {
  Addr = sockaddr_un{};
  Addr.sun_family = AF_UNIX;
  // Abstract namespace: a leading zero byte, then the name without terminator.
  size_t Length = std::min(Name.size(), sizeof Addr.sun_path - 1);
  std::memcpy(Addr.sun_path + 1, Name.data(), Length);
  return static_cast<unsigned>(offsetof(sockaddr_un, sun_path) + 1 + Length);
}

bool DecodeDebugRecord(const void* Data, size_t Size, TDebugRecordHeader& Header,
                       std::string& Text) {
  if (Size < sizeof Header)
    return false;
  std::memcpy(&Header, Data, sizeof Header);
  if (Header.TextLength < 0 || static_cast<size_t>(Header.TextLength) != Size - sizeof Header)
    return false;
  Text.assign(static_cast<const char*>(Data) + sizeof Header,
              static_cast<size_t>(Header.TextLength));
  return true;
}

TDebugPipe& DebugPipeInstance() {
  // Never destroyed: threads may still log while the process exits.
  static TDebugPipe* Instance = new TDebugPipe;
  return *Instance;
}

}  // namespace pelmar
