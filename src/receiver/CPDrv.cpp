#include "CPDrv.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>

#include "Clock.h"
#include "Exception.h"
#include "Format.h"
#include "Utilities.h"

namespace pelmar {

namespace {

constexpr std::uint32_t BaudRateValues[] = {0,     110,    300,    600,   1200,  2400,
                                            4800,  9600,   14400,  19200, 38400, 56000,
                                            57600, 115200, 128000, 256000};

const char* const DefaultDeviceTemplate = "/dev/ttyS%d";
const char* const DeviceTemplateVariable = "PELMAR_SERIAL_DEVICE";

std::string& DeviceTemplateSetting() {
  static std::string Value;
  return Value;
}

template <typename TEnum, std::size_t N>
TEnum FromName(const std::array<const char*, N>& Names, const std::string& Name,
               const char* Message) {
  for (std::size_t I = 0; I < N; ++I)
    if (Name == Names[I])
      return static_cast<TEnum>(I);
  throw Exception(Format(Message, Name));
}

// Modem-line ioctls; pseudo-terminals and some adapters have no modem lines, which is no reason
// to refuse the port.
bool SetModemLine(int Fd, int Line, bool On) {
  if (ioctl(Fd, On ? TIOCMBIS : TIOCMBIC, &Line) == 0)
    return true;
  return errno == ENOTTY || errno == EINVAL;
}

}  // namespace

std::uint32_t BaudRateValueOf(TBaudRate Rate) {
  return Rate <= br256000 ? BaudRateValues[Rate] : 0;
}

TDataBits DataBitsFromName(const std::string& Name) {
  return FromName<TDataBits>(DataBitsNames, Name, "Unknown data bits name - \"%s\"!");
}

TParity ParityFromName(const std::string& Name) {
  return FromName<TParity>(ParityNames, Name, "Unknown parity name - \"%s\"!");
}

TStopBits StopBitsFromName(const std::string& Name) {
  return FromName<TStopBits>(StopBitsNames, Name, "Unknown stop bits name - \"%s\"!");
}

std::string SerialDeviceTemplate() {
  if (!DeviceTemplateSetting().empty())
    return DeviceTemplateSetting();
  const char* Env = std::getenv(DeviceTemplateVariable);
  if (Env != nullptr && *Env != '\0')
    return Env;
  return DefaultDeviceTemplate;
}

void SetSerialDeviceTemplate(const std::string& Value) {
  DeviceTemplateSetting() = Value;
}

std::string SerialDeviceName(unsigned Port) {
  // Port 1 is device 0, as COM1 is /dev/ttyS0. Only the first "%d" is replaced, so a template is
  // never handed to a formatter that could misread other directives.
  std::string Name = SerialDeviceTemplate();
  std::size_t At = Name.find("%d");
  if (At != std::string::npos)
    Name.replace(At, 2, std::to_string(static_cast<int>(Port) - 1));
  return Name;
}

TCommPortDriver::TCommPortDriver() : FPortName(SerialDeviceName(1)) {}

TCommPortDriver::~TCommPortDriver() {
  Disconnect();
}

void TCommPortDriver::SetPort(TPortNumber Value) {
  if (Connected())
    return;
  FPort = Value;
  if (Value >= 1)
    FPortName = SerialDeviceName(Value);
}

void TCommPortDriver::SetPortName(const std::string& Value) {
  if (Connected())
    return;
  FPortName = Value;
}

void TCommPortDriver::SetBaudRate(TBaudRate Value) {
  FBaudRate = Value;
  if (Value != brCustom)
    FBaudRateValue = BaudRateValueOf(Value);
  Reapply();
}

void TCommPortDriver::SetBaudRateValue(std::uint32_t Value) {
  FBaudRate = brCustom;
  FBaudRateValue = Value;
  Reapply();
}

void TCommPortDriver::SetDataBits(TDataBits Value) {
  FDataBits = Value;
  Reapply();
}

void TCommPortDriver::SetStopBits(TStopBits Value) {
  FStopBits = Value;
  Reapply();
}

void TCommPortDriver::SetParity(TParity Value) {
  FParity = Value;
  Reapply();
}

void TCommPortDriver::SetHwFlow(THwFlowControl Value) {
  FHwFlow = Value;
  Reapply();
}

void TCommPortDriver::SetSwFlow(TSwFlowControl Value) {
  FSwFlow = Value;
  Reapply();
}

void TCommPortDriver::SetInBufSize(std::uint32_t Value) {
  if (!Connected())
    FInBufSize = std::clamp<std::uint32_t>(Value, 128, 8192);
}

void TCommPortDriver::SetOutBufSize(std::uint32_t Value) {
  if (!Connected())
    FOutBufSize = std::clamp<std::uint32_t>(Value, 128, 8192);
}

void TCommPortDriver::Reapply() {
  if (Connected())
    ApplyCOMSettings();
}

bool TCommPortDriver::Connect() {
  if (Connected())
    return true;
  int Fd = open(FPortName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (Fd < 0) {
    FLastError = errno;
    return false;
  }
  // The advisory lock comes first, so that a port in use keeps its own exclusive flag; root
  // ignores TIOCEXCL, the lock holds for every opener that asks for it.
  if (flock(Fd, LOCK_EX | LOCK_NB) != 0) {
    FLastError = errno == EWOULDBLOCK ? EBUSY : errno;
    close(Fd);
    return false;
  }
  if (ioctl(Fd, TIOCEXCL) != 0) {
    FLastError = errno;
    close(Fd);
    return false;
  }
  FHandle = Fd;
  if (!ApplyCOMSettings()) {
    int Error = FLastError;
    Disconnect();
    FLastError = Error;
    return false;
  }
  return true;
}

void TCommPortDriver::Disconnect() {
  if (FHandle < 0)
    return;
  ioctl(FHandle, TIOCNXCL);
  close(FHandle);
  FHandle = -1;
}

termios TCommPortDriver::LineAttributes(const termios& Base) const {
  termios T = Base;
  cfmakeraw(&T);
  // Reads return at once with whatever has arrived; the descriptor is non-blocking as well.
  T.c_cc[VMIN] = 0;
  T.c_cc[VTIME] = 0;
  T.c_cflag |= CREAD | CLOCAL | HUPCL;

  T.c_cflag &= ~CSIZE;
  static constexpr tcflag_t Sizes[] = {CS5, CS6, CS7, CS8};
  T.c_cflag |= Sizes[FDataBits];

  T.c_cflag &= ~(PARENB | PARODD | CMSPAR);
  switch (FParity) {
    case ptNONE:
      break;
    case ptODD:
      T.c_cflag |= PARENB | PARODD;
      break;
    case ptEVEN:
      T.c_cflag |= PARENB;
      break;
    case ptMARK:
      T.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case ptSPACE:
      T.c_cflag |= PARENB | CMSPAR;
      break;
  }

  // Linux offers one or two stop bits only; 1.5 is asked for as two, which a UART sends as 1.5
  // with 5-bit characters.
  if (FStopBits == sb1BITS)
    T.c_cflag &= ~CSTOPB;
  else
    T.c_cflag |= CSTOPB;

  if (FHwFlow == hfRTSCTS)
    T.c_cflag |= CRTSCTS;
  else
    T.c_cflag &= ~CRTSCTS;

  // The line discipline throttles at fixed thresholds; the nominal limits (InBufSize div 4)
  // cannot be set on Linux.
  T.c_iflag &= ~(IXON | IXOFF | IXANY);
  if (FSwFlow == sfXONXOFF)
    T.c_iflag |= IXON | IXOFF;
  T.c_cc[VSTART] = 0x11;
  T.c_cc[VSTOP] = 0x13;

  // A placeholder rate: ApplyCOMSettings sets the real one through termios2 right after.
  cfsetispeed(&T, B9600);
  cfsetospeed(&T, B9600);
  return T;
}

bool TCommPortDriver::ApplyCOMSettings() {
  if (!Connected())
    return false;
  termios T{};
  if (tcgetattr(FHandle, &T) != 0) {
    FLastError = errno;
    return false;
  }
  T = LineAttributes(T);
  if (tcsetattr(FHandle, TCSANOW, &T) != 0) {
    FLastError = errno;
    return false;
  }
  if (int Error = SetLineSpeed(FHandle, FBaudRateValue); Error != 0) {
    FLastError = Error;
    return false;
  }

  bool LinesSet = SetModemLine(FHandle, TIOCM_DTR, FEnableDTROnOpen);
  if (LinesSet && FHwFlow != hfRTSCTS)
    LinesSet = SetModemLine(FHandle, TIOCM_RTS, FHwFlow == hfNONERTSON);
  if (!LinesSet) {
    FLastError = errno;
    return false;
  }

  if (!FlushBuffers(true, true))
    return false;
  // The kernel's queues cannot be sized on Linux; InBufSize and OutBufSize stay nominal.
  return true;
}

bool TCommPortDriver::FlushBuffers(bool Input, bool Output) {
  if (!Connected())
    return false;
  if (!Input && !Output)
    return true;
  int Queue = Input && Output ? TCIOFLUSH : (Input ? TCIFLUSH : TCOFLUSH);
  if (tcflush(FHandle, Queue) != 0) {
    FLastError = errno;
    return false;
  }
  return true;
}

int TCommPortDriver::ReadAvailable(void* Buffer, int Count) {
  if (!Connected())
    throw Exception("Port not open!");
  if (Count <= 0)
    return 0;
  int Waiting = 0;
  if (ioctl(FHandle, FIONREAD, &Waiting) != 0)
    RaiseLastOSError(errno);
  if (Waiting <= 0)
    return 0;
  for (;;) {
    ssize_t N = read(FHandle, Buffer, static_cast<size_t>(std::min(Waiting, Count)));
    if (N > 0)
      return static_cast<int>(N);
    // Bytes were announced, yet the device has nothing to give: it has been hung up.
    if (N == 0)
      RaiseLastOSError(EIO);
    if (errno == EINTR)
      continue;
    if (errno == EAGAIN)
      return 0;
    RaiseLastOSError(errno);
  }
}

bool TCommPortDriver::ModemLinesLow() const {
  int Lines = 0;
  if (ioctl(FHandle, TIOCMGET, &Lines) != 0)
    return false;
  return (Lines & (TIOCM_CTS | TIOCM_DSR | TIOCM_RI | TIOCM_CD)) == 0;
}

int TCommPortDriver::SendData(const void* Buffer, int Count) {
  if (!Connected())
    return 0;
  auto* P = static_cast<const std::uint8_t*>(Buffer);
  int Written = 0;
  std::uint32_t Start = GetTickCount();
  while (Count > 0) {
    int Queued = 0;
    if (ioctl(FHandle, TIOCOUTQ, &Queued) != 0)
      Queued = 0;
    // Both taken as 16-bit numbers; a queue fuller than OutBufSize leaves no room.
    int Free = static_cast<std::uint16_t>(FOutBufSize) - static_cast<std::uint16_t>(Queued);
    if (Free > 0) {
      if (FCheckLineStatus && ModemLinesLow())
        break;
      ssize_t N = write(FHandle, P, static_cast<size_t>(std::min<int>(Count, Free)));
      if (N < 0 && errno != EAGAIN && errno != EINTR)
        RaiseLastOSError(errno);
      if (N > 0) {
        Written += static_cast<int>(N);
        P += N;
        Count -= static_cast<int>(N);
        Start = GetTickCount();
        continue;
      }
    }
    if (TicksSince(Start) > FOutputTimeout)
      break;
    // Wait for room instead of spinning; the give-up time itself is measured on the process
    // clock above.
    pollfd W{FHandle, POLLOUT, 0};
    poll(&W, 1, 1);
  }
  return Written;
}

}  // namespace pelmar
