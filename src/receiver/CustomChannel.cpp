#include "CustomChannel.h"

#include "Debug.h"
#include "Utilities.h"

namespace pelmar {

namespace {

const char* const ChannelNotOpenText = "Канал не открыт!";

// Message of whatever a device operation raised.
std::string MessageOf(std::exception_ptr P) {
  try {
    std::rethrow_exception(P);
  } catch (const std::exception& E) {
    return E.what();
  } catch (...) {
    return "Unknown error";
  }
}

}  // namespace

void BytesToHex(const void* Buffer, std::uint16_t Count, std::string& S) {
  static const char Digits[] = "0123456789ABCDEF";
  auto* P = static_cast<const std::uint8_t*>(Buffer);
  S.reserve(S.size() + Count * 3u);
  for (std::uint16_t I = 0; I < Count; ++I) {
    if (!S.empty())
      S += ' ';
    S += Digits[P[I] >> 4];
    S += Digits[P[I] & 15];
  }
}

// The first CheckConnection with any interval below 65535 ms attempts at once.
TCustomChannel::TCustomChannel() : FLastConnectTick(GetTickCount() - 0xFFFFu) {}

void TCustomChannel::SetStatus(std::uint8_t Value) {
  if (Value == FStatus)
    return;
  FIsOpen = Value == csOpen;
  FStatus = Value;
  if (FOnStatus)
    FOnStatus(*this);
}

void TCustomChannel::CheckOpen() const {
  if (!FIsOpen)
    throw EChannelError(ChannelNotOpenText);
}

void TCustomChannel::Open() {
  FError = false;
  SetStatus(csOpening);
  try {
    if (DoOpen())
      SetStatus(csOpen);
  } catch (...) {
    std::string Message = MessageOf(std::current_exception());
    CloseAfterFailure();
    throw EChannelError(Message);
  }
}

void TCustomChannel::Close() {
  DoClose();
  SetStatus(csClosed);
}

void TCustomChannel::CloseAfterFailure() {
  try {
    DoClose();
  } catch (...) {
    // The device already failed; the channel ends closed whatever its close says.
  }
  SetStatus(csClosed);
}

void TCustomChannel::Fail(std::exception_ptr E) {
  std::string Message = MessageOf(E);
  FError = true;
  CloseAfterFailure();
  throw EChannelError(Message);
}

bool TCustomChannel::CheckConnection(std::uint32_t Interval) {
  if (FIsOpen)
    return true;
  if (!TimeElapsed(FLastConnectTick, Interval))
    return false;
  try {
    Open();
  } catch (...) {
    FLastConnectTick = GetTickCount();
    throw;
  }
  FLastConnectTick = GetTickCount();
  return FIsOpen;
}

int TCustomChannel::Read(void* Buffer, int Count) {
  CheckOpen();
  try {
    int N = DoRead(Buffer, Count);
    if (FDebugIO && N > 0) {
      std::string Line = "Recv: ";
      std::string Hex;
      BytesToHex(Buffer, static_cast<std::uint16_t>(N), Hex);
      DebugLog(Line + Hex);
    }
    return N;
  } catch (...) {
    Fail(std::current_exception());
  }
}

void TCustomChannel::Write(const void* Buffer, int Count) {
  CheckOpen();
  if (Count <= 0)
    return;
  try {
    if (FDebugIO) {
      std::string Hex;
      BytesToHex(Buffer, static_cast<std::uint16_t>(Count), Hex);
      DebugLog("Send: " + Hex);
    }
    DoWrite(Buffer, Count);
  } catch (...) {
    Fail(std::current_exception());
  }
}

void TCustomChannel::Purge(bool Input, bool Output) {
  if (!FIsOpen)
    return;
  try {
    DoPurge(Input, Output);
  } catch (...) {
    Fail(std::current_exception());
  }
}

}  // namespace pelmar
