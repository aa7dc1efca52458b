#include "MemoryChannel.h"

#include <algorithm>
#include <cstring>

namespace pelmar::test {

namespace {

// Raises once with the text in Trigger, if any.
void MaybeFail(std::string& Trigger) {
  if (Trigger.empty())
    return;
  std::string Text;
  Text.swap(Trigger);
  throw Exception(Text);
}

}  // namespace

void TMemoryChannel::SetAddress(const std::string& Value) {
  if (Value == "bad")
    throw Exception("Bad address");
  FAddress = Value;
}

void TMemoryChannel::DoWrite(const void* Buffer, int Count) {
  ++Writes;
  MaybeFail(FailWrite);
  Output.append(static_cast<const char*>(Buffer), static_cast<size_t>(Count));
}

int TMemoryChannel::DoRead(void* Buffer, int Count) {
  ++Reads;
  MaybeFail(FailRead);
  size_t N = std::min({Input.size(), static_cast<size_t>(Count), static_cast<size_t>(MaxRead)});
  std::memcpy(Buffer, Input.data(), N);
  Input.erase(0, N);
  return static_cast<int>(N);
}

void TMemoryChannel::DoPurge(bool PurgeInput, bool PurgeOutput) {
  ++Purges;
  MaybeFail(FailPurge);
  if (PurgeInput)
    Input.clear();
  (void)PurgeOutput;  // written bytes have already left
}

bool TMemoryChannel::DoOpen() {
  ++Opens;
  MaybeFail(FailOpen);
  DeviceOpen = !OpenPending;
  return DeviceOpen;
}

void TMemoryChannel::DoClose() {
  ++Closes;
  DeviceOpen = false;
  MaybeFail(FailClose);
}

}  // namespace pelmar::test
