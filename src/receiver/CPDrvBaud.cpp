// Line speed through termios2. The kernel's <asm/termbits.h> defines its own struct termios, which
// clashes with the C library's <termios.h>, so this part lives in a file of its own.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdint>

namespace pelmar {

namespace {

struct TStandardSpeed {
  std::uint32_t Baud;
  unsigned Code;
};

// Rates with a code of their own stay visible as such to tcgetattr/cfgetospeed; every other rate
// goes through BOTHER with the number itself.
constexpr TStandardSpeed StandardSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

}  // namespace

int SetLineSpeed(int Fd, std::uint32_t Baud) {
  // Speed 0 would hang the line up (drop DTR) instead of setting a rate.
  if (Baud == 0)
    return EINVAL;
  termios2 T{};
  if (ioctl(Fd, TCGETS2, &T) != 0)
    return errno;
  unsigned Code = BOTHER;
  for (const TStandardSpeed& S : StandardSpeeds)
    if (S.Baud == Baud)
      Code = S.Code;
  // The input speed field left 0 makes the input follow the output speed.
  T.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  T.c_cflag |= Code;
  T.c_ispeed = Baud;
  T.c_ospeed = Baud;
  if (ioctl(Fd, TCSETS2, &T) != 0)
    return errno;
  return 0;
}

int GetLineSpeed(int Fd, std::uint32_t& Baud) {
  termios2 T{};
  if (ioctl(Fd, TCGETS2, &T) != 0)
    return errno;
  unsigned Code = T.c_cflag & CBAUD;
  Baud = T.c_ospeed;
  for (const TStandardSpeed& S : StandardSpeeds)
    if (S.Code == Code)
      Baud = S.Baud;
  return 0;
}

}  // namespace pelmar
