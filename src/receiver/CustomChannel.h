// The abstract receiver channel: a byte pipe to one alarm receiver (serial port or TCP). It owns
// the closed/opening/open state machine with its notification, turns every device failure into
// EChannelError after closing itself, paces reconnection attempts and can dump all traffic to the
// debug log. Subclasses supply the device operations. All calls come from the polling thread.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <string>

#include "Exception.h"

namespace pelmar {

// A channel failure; the channel is closed when this leaves Read, Write, Purge or Open.
PELMAR_EXCEPTION_CLASS(EChannelError, Exception);

enum : std::uint8_t { csClosed = 0, csOpening = 1, csOpen = 2 };

class TCustomChannel;
// Called after every change of Status, on the thread that caused it.
using TChannelNotifyEvent = std::function<void(TCustomChannel& Sender)>;

class TCustomChannel {
 public:
  TCustomChannel();
  virtual ~TCustomChannel() = default;
  TCustomChannel(const TCustomChannel&) = delete;
  TCustomChannel& operator=(const TCustomChannel&) = delete;

  // Raises EChannelError "Канал не открыт!" when the channel is not open.
  void CheckOpen() const;
  // Opens the device: status 1, then 2 when DoOpen answers True. On failure the device is
  // closed, status goes to 0 and EChannelError carries the device's message.
  void Open();
  void Close();
  // Reads at most Count bytes that are already available; 0 when none. A device failure closes
  // the channel and raises EChannelError; a closed channel raises without closing.
  int Read(void* Buffer, int Count);
  // Writes Count bytes; nothing happens for 0. Failures as for Read.
  void Write(const void* Buffer, int Count);
  void WriteString(const std::string& S) { Write(S.data(), static_cast<int>(S.size())); }
  // Discards pending input and/or output; does nothing on a channel that is not open.
  void Purge(bool Input, bool Output);
  // Paced reconnect: True when open; otherwise opens when more than Interval ms passed since
  // the last attempt (the attempt time is recorded even when Open raises) and answers IsOpen.
  virtual bool CheckConnection(std::uint32_t Interval);
  // The descriptor whose readability means input may be waiting, or -1 (none, or not open);
  // lets a caller's pause end when bytes arrive.
  virtual int WaitHandle() const { return -1; }

  const std::string& Address() const { return FAddress; }
  // Parses and validates Value in the subclass's form; raises and keeps the old address if bad.
  virtual void SetAddress(const std::string& Value) = 0;

  std::uint16_t ReadTimeout() const { return FReadTimeout; }
  void SetReadTimeout(std::uint16_t Value) { FReadTimeout = Value; }
  std::uint16_t ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(std::uint16_t Value) { FConnectTimeout = Value; }
  bool IsOpen() const { return FIsOpen; }
  std::uint8_t Status() const { return FStatus; }
  bool DebugIO() const { return FDebugIO; }
  void SetDebugIO(bool Value) { FDebugIO = Value; }
  void SetOnStatus(TChannelNotifyEvent Value) { FOnStatus = std::move(Value); }

 protected:
  // Device operations. DoRead returns at once with what is available; DoOpen answers False
  // while the opening is still under way; DoClose must be harmless on a closed device.
  virtual void DoWrite(const void* Buffer, int Count) = 0;
  virtual int DoRead(void* Buffer, int Count) = 0;
  virtual void DoPurge(bool Input, bool Output) = 0;
  virtual bool DoOpen() = 0;
  virtual void DoClose() = 0;

  // Status change with notification; nothing happens when Value is the current status.
  void SetStatus(std::uint8_t Value);

  std::uint16_t FReadTimeout = 0;
  std::uint16_t FConnectTimeout = 0;
  std::string FAddress;
  std::uint32_t FLastConnectTick;
  bool FError = false;  // a read, write or purge failed; cleared by Open
  // Guards creation and destruction of the subclass's device object.
  std::recursive_mutex FLock;

 private:
  // Closes after a device failure and raises EChannelError with the failure's message.
  [[noreturn]] void Fail(std::exception_ptr E);
  // Closes the device ignoring its errors, then status 0.
  void CloseAfterFailure();

  bool FIsOpen = false;
  std::uint8_t FStatus = csClosed;
  bool FDebugIO = false;
  TChannelNotifyEvent FOnStatus;
};

// Appends each byte as two upper-case hex digits, with a space before each pair unless S is
// still empty: 35 30 14.
void BytesToHex(const void* Buffer, std::uint16_t Count, std::string& S);

}  // namespace pelmar
