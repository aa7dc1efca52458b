// A channel over two in-memory byte queues, for tests of everything above the device: the test
// puts bytes in as the receiver would send them, reads what was written back, and can make the
// next device operation fail.
#pragma once

#include <string>

#include "CustomChannel.h"

namespace pelmar::test {

class TMemoryChannel : public TCustomChannel {
 public:
  // Any address is accepted, except "bad", which raises Exception "Bad address".
  void SetAddress(const std::string& Value) override;

  std::string Input;      // bytes waiting to be read, as if sent by the receiver
  std::string Output;     // bytes the channel wrote
  int MaxRead = 1 << 30;  // at most this many bytes per DoRead
  // Device behaviour: when set, the named operation raises Exception with this text once.
  std::string FailOpen, FailRead, FailWrite, FailPurge, FailClose;
  bool OpenPending = false;  // DoOpen answers False (still opening)
  int Opens = 0, Closes = 0, Reads = 0, Writes = 0, Purges = 0;
  bool DeviceOpen = false;

  using TCustomChannel::SetStatus;

 protected:
  void DoWrite(const void* Buffer, int Count) override;
  int DoRead(void* Buffer, int Count) override;
  void DoPurge(bool Input, bool Output) override;
  bool DoOpen() override;
  void DoClose() override;
};

}  // namespace pelmar::test
