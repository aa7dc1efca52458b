// The serial-port driver: wraps one serial device (a tty) opened exclusively, configures the line,
// discards pending data, reads only what has already arrived and writes with a give-up time.
//
// Port number n names the device made from a template by putting n - 1 where the template has
// "%d": "/dev/ttyS%d" by default, so port 1 is /dev/ttyS0. The environment variable
// PELMAR_SERIAL_DEVICE replaces the template ("/dev/ttyUSB%d" for USB adapters; tests point it at
// pseudo-terminals); a template without "%d" names the same device for every port.
//
// Used from one thread at a time; the owner serialises all calls.
#pragma once

#include <termios.h>

#include <cstdint>
#include <string>

namespace pelmar {

enum TBaudRate : std::uint8_t {
  brCustom,
  br110,
  br300,
  br600,
  br1200,
  br2400,
  br4800,
  br9600,
  br14400,
  br19200,
  br38400,
  br56000,
  br57600,
  br115200,
  br128000,
  br256000
};
enum TDataBits : std::uint8_t { db5BITS, db6BITS, db7BITS, db8BITS };
enum TStopBits : std::uint8_t { sb1BITS, sb1HALFBITS, sb2BITS };
enum TParity : std::uint8_t { ptNONE, ptODD, ptEVEN, ptMARK, ptSPACE };
// hfNONE: RTS held off, CTS ignored; hfNONERTSON: RTS held on, CTS ignored; hfRTSCTS: RTS
// handshake, output waits for CTS.
enum THwFlowControl : std::uint8_t { hfNONE, hfNONERTSON, hfRTSCTS };
enum TSwFlowControl : std::uint8_t { sfNONE, sfXONXOFF };
using TPortNumber = std::uint8_t;

// Bits per second of a standard rate; 0 for brCustom.
std::uint32_t BaudRateValueOf(TBaudRate Rate);

// The line-parameter names "5".."8", "N","O","E","M","S" and "1","1.5","2" (case-sensitive).
// An unknown name raises Exception "Unknown data bits name - \"%s\"!", "Unknown parity name -
// \"%s\"!" or "Unknown stop bits name - \"%s\"!".
TDataBits DataBitsFromName(const std::string& Name);
TParity ParityFromName(const std::string& Name);
TStopBits StopBitsFromName(const std::string& Name);

// The device template in force: the one set by SetSerialDeviceTemplate, else the environment
// variable PELMAR_SERIAL_DEVICE, else "/dev/ttyS%d".
std::string SerialDeviceTemplate();
// Replaces the template (a setting); an empty Value returns to the environment or the default.
// Call before drivers are created.
void SetSerialDeviceTemplate(const std::string& Value);
// The device name of serial port Port (1 for the first).
std::string SerialDeviceName(unsigned Port);

// Line speed through the kernel's termios2 interface, so that any rate works. Return 0 or the
// errno value of the failure. SetLineSpeed sets both directions to Baud bits per second;
// GetLineSpeed reads the output speed.
int SetLineSpeed(int Fd, std::uint32_t Baud);
int GetLineSpeed(int Fd, std::uint32_t& Baud);

class TCommPortDriver {
 public:
  TCommPortDriver();
  // Closes an open port.
  ~TCommPortDriver();
  TCommPortDriver(const TCommPortDriver&) = delete;
  TCommPortDriver& operator=(const TCommPortDriver&) = delete;

  // True when open already. Otherwise opens PortName for reading and writing (it must exist),
  // exclusively (TIOCEXCL plus an advisory lock, so that a second opener fails even as root),
  // applies the line configuration and makes reads return at once. False on failure, with
  // LastError holding the errno value; the device is then closed.
  bool Connect();
  bool Connected() const { return FHandle >= 0; }
  // Closes the device if open.
  void Disconnect();
  // Configures the open line: raw mode, speed, character size, parity, stop bits, DTR, RTS/CTS,
  // XON/XOFF; then discards pending input and output. False when not open or when a step fails
  // (LastError set).
  bool ApplyCOMSettings();
  // The attributes ApplyCOMSettings gives the line, built on Base (the device's present ones):
  // everything but the speed, which goes through SetLineSpeed.
  termios LineAttributes(const termios& Base) const;
  // Discards pending input and/or output. False when not open or on failure.
  bool FlushBuffers(bool Input, bool Output);
  // Reads up to Count bytes that have already arrived; 0 when none. Never waits. Raises
  // Exception "Port not open!" when closed and EOSError when the system fails (a device that has
  // gone away, as after a hang-up, fails with EIO).
  int ReadAvailable(void* Buffer, int Count);
  // Writes Count bytes and answers how many went out: it gives up without an error when no byte
  // could be written for OutputTimeout ms (timed with the process clock), and stops early when
  // CheckLineStatus is set and all modem status lines are low. 0 when closed. Raises EOSError
  // when the system fails.
  int SendData(const void* Buffer, int Count);

  // errno value of the last failed Connect or ApplyCOMSettings.
  int LastError() const { return FLastError; }
  // The open descriptor, or -1.
  int Handle() const { return FHandle; }

  // Setting N >= 1 while closed makes PortName the device of port N; 0 leaves PortName as it
  // is. Ignored while open.
  TPortNumber Port() const { return FPort; }
  void SetPort(TPortNumber Value);
  // Ignored while open.
  const std::string& PortName() const { return FPortName; }
  void SetPortName(const std::string& Value);

  // The line parameters. Setting one while open reapplies the whole configuration at once.
  TBaudRate BaudRate() const { return FBaudRate; }
  // A standard rate also sets BaudRateValue; brCustom keeps it.
  void SetBaudRate(TBaudRate Value);
  std::uint32_t BaudRateValue() const { return FBaudRateValue; }
  // Also makes BaudRate brCustom.
  void SetBaudRateValue(std::uint32_t Value);
  TDataBits DataBits() const { return FDataBits; }
  void SetDataBits(TDataBits Value);
  TStopBits StopBits() const { return FStopBits; }
  void SetStopBits(TStopBits Value);
  TParity Parity() const { return FParity; }
  void SetParity(TParity Value);
  THwFlowControl HwFlow() const { return FHwFlow; }
  void SetHwFlow(THwFlowControl Value);
  TSwFlowControl SwFlow() const { return FSwFlow; }
  void SetSwFlow(TSwFlowControl Value);

  // Queue sizes, clamped to 128..8192 and changeable only while closed. The kernel's tty queues
  // have a fixed size on Linux, so these are not applied to the device: OutBufSize bounds the
  // bytes SendData keeps queued, and InBufSize div 4 is the nominal XON/XOFF limit.
  std::uint32_t InBufSize() const { return FInBufSize; }
  void SetInBufSize(std::uint32_t Value);
  std::uint32_t OutBufSize() const { return FOutBufSize; }
  void SetOutBufSize(std::uint32_t Value);

  bool EnableDTROnOpen() const { return FEnableDTROnOpen; }
  void SetEnableDTROnOpen(bool Value) { FEnableDTROnOpen = Value; }
  std::uint16_t OutputTimeout() const { return FOutputTimeout; }
  void SetOutputTimeout(std::uint16_t Value) { FOutputTimeout = Value; }
  // Kept for completeness; reads never wait.
  std::uint32_t InputTimeout() const { return FInputTimeout; }
  void SetInputTimeout(std::uint32_t Value) { FInputTimeout = Value; }
  bool CheckLineStatus() const { return FCheckLineStatus; }
  void SetCheckLineStatus(bool Value) { FCheckLineStatus = Value; }

 private:
  // Reapplies the configuration when open (property setters).
  void Reapply();
  // True when CTS, DSR, ring and carrier are all low. A device without modem lines answers
  // False.
  bool ModemLinesLow() const;

  int FHandle = -1;
  int FLastError = 0;
  TPortNumber FPort = 1;
  std::string FPortName;
  TBaudRate FBaudRate = br9600;
  std::uint32_t FBaudRateValue = 9600;
  TDataBits FDataBits = db8BITS;
  TStopBits FStopBits = sb1BITS;
  TParity FParity = ptNONE;
  THwFlowControl FHwFlow = hfNONERTSON;
  TSwFlowControl FSwFlow = sfNONE;
  std::uint32_t FInBufSize = 2048;
  std::uint32_t FOutBufSize = 2048;
  bool FEnableDTROnOpen = true;
  std::uint16_t FOutputTimeout = 500;
  std::uint32_t FInputTimeout = 200;
  bool FCheckLineStatus = false;
};

}  // namespace pelmar
