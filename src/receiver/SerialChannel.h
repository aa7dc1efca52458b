// The receiver channel over a serial port. Its address names the port and, optionally, the line
// parameters in one text: port[/baud-databits-parity-stopbits], as in "1/9600-8-N-1" (parity N,
// O, E, M or S; stop bits 1, 1.5 or 2; names case-sensitive). The device operations go through
// a TCommPortDriver owned by the channel. All calls come from the polling thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "CPDrv.h"
#include "CustomChannel.h"

namespace pelmar {

class TSerialChannel : public TCustomChannel {
 public:
  // ReadTimeout 5000 (reads never wait on it); the driver raises DTR while open.
  TSerialChannel();
  ~TSerialChannel() override;

  // Parses Value and applies its line parameters to the driver (and an open port) at once; the
  // port number takes effect at the next open. A bad address raises (Exception "Неверный адрес
  // канала:%s", EConvertError for a non-numeric port or baud, or an unknown-name message) and
  // changes nothing. An address naming only a port applies DefaultParams when those are set,
  // otherwise keeps the driver's line parameters.
  void SetAddress(const std::string& Value) override;

  std::uint8_t PortNumber() const { return FPortNumber; }
  void SetPortNumber(std::uint8_t Value) { FPortNumber = Value; }
  // Hardware flow control applied to the driver at every open. Default hfNONE.
  THwFlowControl HwFlow() const { return FHwFlow; }
  void SetHwFlow(THwFlowControl Value) { FHwFlow = Value; }
  // Line parameters ("9600-8-N-1") used when the address names only a port.
  const std::string& DefaultParams() const { return FDefaultParams; }
  void SetDefaultParams(const std::string& Value) { FDefaultParams = Value; }

  // The driver, for inspection.
  const TCommPortDriver& Driver() const { return *FDriver; }
  int WaitHandle() const override { return IsOpen() ? FDriver->Handle() : -1; }

 protected:
  // Writes with the driver's output give-up time; bytes it could not write are dropped.
  void DoWrite(const void* Buffer, int Count) override;
  // Never waits.
  int DoRead(void* Buffer, int Count) override;
  void DoPurge(bool Input, bool Output) override;
  // Re-parses Address, then opens port PortNumber. Raises EChannelError "Ошибка при открытии порта
  // %d: %s" with the system's message when the port cannot be opened (absent, in use, no access).
  bool DoOpen() override;
  void DoClose() override;

 private:
  struct TLineParams;
  // Checks the whole address before anything is applied.
  void ParseAddress(const std::string& Address);

  std::uint8_t FPortNumber = 1;
  THwFlowControl FHwFlow = hfNONE;
  std::string FDefaultParams;
  std::unique_ptr<TCommPortDriver> FDriver;  // created and freed under FLock
};

}  // namespace pelmar
