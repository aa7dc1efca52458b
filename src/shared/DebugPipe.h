// The debug pipe: the client end of a local message channel to which a debug viewer listens.
// On Linux it is a Unix datagram socket in the abstract namespace named "DebugPipe" followed by
// the executable's file name (DebugPipePelCIDSvc); one datagram is one record: a 24-byte header
// (time, process id, thread id, text length, reserved) followed by the text. Records are dropped
// while nobody listens; a viewer that went away costs one lost record, then the pipe is opened
// anew. Thread-safe: sends are serialised, so only one socket is ever open.
#pragma once

#include <sys/un.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "DateTime.h"

namespace pelmar {

// Header of one record, little-endian, 24 bytes.
struct TDebugRecordHeader {
  TDateTime Time;  // local time of the call
  std::uint32_t ProcessId;
  std::uint32_t ThreadId;
  std::int32_t TextLength;  // bytes of text that follow
  std::uint32_t Reserved;   // not defined; readers ignore it
};
static_assert(sizeof(TDebugRecordHeader) == 24);

// Prefix of the channel name; the executable's file name follows without separator.
inline constexpr char DebugPipePrefix[] = "DebugPipe";

class TDebugPipe {
 public:
  // ModuleName replaces the executable's file name in the channel name (tests, the viewer).
  explicit TDebugPipe(std::string ModuleName = {}) : FFixedModuleName(std::move(ModuleName)) {}
  ~TDebugPipe();  // disables, closing an open socket
  TDebugPipe(const TDebugPipe&) = delete;
  TDebugPipe& operator=(const TDebugPipe&) = delete;

  bool Enabled() const;
  // On True takes the module name and process id, opening nothing yet; on False closes the
  // socket if one is open.
  void SetEnabled(bool Value);
  // Writes one record if enabled and a viewer listens; never raises.
  void Send(const std::string& Msg);

  // The channel name in force ("DebugPipe" + module name); empty while disabled.
  std::string PipeName() const;

 private:
  void ClosePipe();  // REQUIRES: FLock held

  mutable std::mutex FLock;
  // Written under FLock; read without it so that the disabled path is one flag test.
  std::atomic<bool> FEnabled{false};
  int FPipeHandle = -1;     // guarded by FLock; -1 while no socket is open
  std::string FModuleName;  // guarded by FLock
  const std::string FFixedModuleName;
  std::uint32_t FProcessId = 0;  // guarded by FLock
};

// The process's one debug pipe, created disabled at first use.
TDebugPipe& DebugPipeInstance();

// Splits one received record into its header and text. False when Size is below 24 bytes or the
// text length does not match the bytes that came.
bool DecodeDebugRecord(const void* Data, size_t Size, TDebugRecordHeader& Header,
                       std::string& Text);

// Fills Addr with the abstract socket address of Name; answers the address length.
unsigned DebugPipeAddress(const std::string& Name, sockaddr_un& Addr);

}  // namespace pelmar
