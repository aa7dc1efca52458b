#include "ReceiverSimLink.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "ReceiverSimScript.h"

namespace pelmar::receiversim {

namespace {

using namespace std::chrono_literals;

// How often a waiting serial link looks whether the service has opened the port, and how long
// it then leaves the service to configure the line (which discards what was sent before).
constexpr auto LookInterval = 50ms;
constexpr auto SettleTime = 100ms;

std::runtime_error SystemError(const std::string& What) {
  return std::runtime_error(What + ": " + std::strerror(errno));
}

short Revents(const std::vector<pollfd>& Fds, int Fd) {
  if (Fd < 0)
    return 0;
  for (const pollfd& P : Fds)
    if (P.fd == Fd)
      return P.revents;
  return 0;
}

int HexValue(char C) {
  if (!std::isxdigit(static_cast<unsigned char>(C)))
    return -1;
  return std::isdigit(static_cast<unsigned char>(C)) ? C - '0' : std::toupper(C) - 'A' + 10;
}

}  // namespace

std::vector<std::uint8_t> ParseKeyText(const std::string& Text) {
  bool Packed = Text.size() % 2 == 0;
  for (char C : Text)
    Packed = Packed && HexValue(C) >= 0;
  std::size_t Step = Packed ? 2 : 3;
  if (!Packed && Text.size() % 3 != 2)
    throw std::invalid_argument("key \"" + Text + "\" must be hex bytes, as in 01-02-...-10");
  std::vector<std::uint8_t> Key;
  for (std::size_t I = 0; I < Text.size(); I += Step) {
    int High = HexValue(Text[I]);
    int Low = HexValue(Text[I + 1]);
    if (High < 0 || Low < 0 || (Step == 3 && I + 2 < Text.size() && HexValue(Text[I + 2]) >= 0))
      throw std::invalid_argument("key \"" + Text + "\" must be hex bytes, as in 01-02-...-10");
    Key.push_back(static_cast<std::uint8_t>(High * 16 + Low));
  }
  if (Key.size() != 16 && Key.size() != 24 && Key.size() != 32)
    throw std::invalid_argument("key of " + std::to_string(Key.size()) +
                                " bytes: AES takes 16, 24 or 32");
  return Key;
}

std::string KeyText(const std::vector<std::uint8_t>& Key) {
  std::string Text;
  for (std::uint8_t B : Key)
    Text += (Text.empty() ? "" : "-") + HexOf(std::string(1, static_cast<char>(B)));
  return Text;
}

TCfbStream::~TCfbStream() {
  Stop();
}

void TCfbStream::Start(const std::vector<std::uint8_t>& Key, const std::string& IV, bool Encrypt) {
  const EVP_CIPHER* Cipher = Key.size() == 32   ? EVP_aes_256_cfb128()
                             : Key.size() == 24 ? EVP_aes_192_cfb128()
                                                : EVP_aes_128_cfb128();
  Stop();
  FContext = EVP_CIPHER_CTX_new();
  if (FContext == nullptr ||
      EVP_CipherInit_ex(FContext, Cipher, nullptr, Key.data(),
                        reinterpret_cast<const unsigned char*>(IV.data()), Encrypt ? 1 : 0) != 1) {
    Stop();
    throw std::runtime_error("cannot set up the AES cipher");
  }
}

void TCfbStream::Apply(std::string& Bytes) {
  int Length = 0;
  auto* Data = reinterpret_cast<unsigned char*>(Bytes.data());
  if (!Bytes.empty() &&
      EVP_CipherUpdate(FContext, Data, &Length, Data, static_cast<int>(Bytes.size())) != 1)
    throw std::runtime_error("AES cipher failure");
}

void TCfbStream::Stop() {
  EVP_CIPHER_CTX_free(FContext);
  FContext = nullptr;
}

void TLink::SetUp(bool Value, const std::string& Why) {
  if (Value == FUp)
    return;
  FUp = Value;
  if (Value && OnUp)
    OnUp();
  else if (!Value && OnDown)
    OnDown(Why);
}

TTcpLink::TTcpLink(TEventLog& Log, std::vector<std::uint8_t> Key,
                   std::chrono::milliseconds VectorWait)
    : FLog(Log),
      FKey(std::move(Key)),
      FVectorWait(VectorWait),
      FVectorDue(TSteady::time_point::max()) {}

TTcpLink::~TTcpLink() {
  if (FConnection >= 0)
    close(FConnection);
  if (FListen >= 0)
    close(FListen);
}

void TTcpLink::Listen(const std::string& Bind, std::uint16_t Port) {
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_port = htons(Port);
  if (inet_pton(AF_INET, Bind.c_str(), &Address.sin_addr) != 1)
    throw std::runtime_error(Bind + " is not an IPv4 address");
  FListen = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (FListen < 0)
    throw SystemError("socket");
  int One = 1;
  setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &One, sizeof One);
  if (bind(FListen, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0)
    throw SystemError("cannot listen on " + Bind + ":" + std::to_string(Port));
  if (listen(FListen, 8) != 0)
    throw SystemError("listen");
  socklen_t Length = sizeof Address;
  getsockname(FListen, reinterpret_cast<sockaddr*>(&Address), &Length);
  FPort = ntohs(Address.sin_port);
}

void TTcpLink::AddPollFds(std::vector<pollfd>& Fds) {
  Fds.push_back({FListen, POLLIN, 0});
  if (FConnection < 0)
    return;
  // A receiver that stops reading still notices the service going away; the initial vector is
  // read in any case, or there would be no stream at all.
  short Events = POLLRDHUP;
  if (!FNoRead || !FUp)
    Events |= POLLIN;
  if (!FOut.empty())
    Events |= POLLOUT;
  Fds.push_back({FConnection, Events, 0});
}

void TTcpLink::Handle(const std::vector<pollfd>& Fds) {
  short Connection = Revents(Fds, FConnection);
  if (Connection & POLLOUT)
    Flush();
  if (FConnection >= 0 && (Connection & (POLLIN | POLLRDHUP | POLLHUP | POLLERR))) {
    if (!FNoRead || !FUp)
      Read();
    else
      CloseConnection("closed by the service");
  }
  if (Revents(Fds, FListen) & POLLIN)
    Accept();
  // A plain channel sends nothing until it has a frame to answer, and no frame goes out before
  // the vector: without the hint both sides would wait silently.
  if (TSteady::now() >= FVectorDue) {
    FVectorDue = TSteady::time_point::max();
    FLog.Event("WAITING", "no initial vector from " + FPeer +
                              ": is the service's channel set to encrypt with this key?");
  }
}

TSteady::time_point TTcpLink::WakeUp() const {
  return FVectorDue;
}

void TTcpLink::Accept() {
  for (;;) {
    sockaddr_in Peer{};
    socklen_t Length = sizeof Peer;
    int Fd =
        accept4(FListen, reinterpret_cast<sockaddr*>(&Peer), &Length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (Fd < 0)
      return;
    // The service connects anew only after it gave up the old connection.
    if (FConnection >= 0)
      CloseConnection("replaced by a new connection");
    int One = 1;
    setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
    char Host[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &Peer.sin_addr, Host, sizeof Host);
    FConnection = Fd;
    FPeer = std::string(Host) + ":" + std::to_string(ntohs(Peer.sin_port));
    FLog.Event("CONNECTED", FPeer);
    if (FKey.empty())
      SetUp(true, "");
    else
      FVectorDue = TSteady::now() + FVectorWait;
  }
}

void TTcpLink::Read() {
  char Buffer[4096];
  for (;;) {
    ssize_t N = recv(FConnection, Buffer, sizeof Buffer, 0);
    if (N < 0 && errno == EINTR)
      continue;
    if (N < 0 && errno == EAGAIN)
      return;
    if (N <= 0) {
      CloseConnection(N == 0 ? "closed by the service" : std::strerror(errno));
      return;
    }
    std::string Bytes(Buffer, static_cast<std::size_t>(N));
    if (!FKey.empty() && !FDecrypt.Started()) {
      std::size_t Take = std::min(16 - FIV.size(), Bytes.size());
      FIV += Bytes.substr(0, Take);
      Bytes.erase(0, Take);
      if (FIV.size() < 16)
        continue;
      FVectorDue = TSteady::time_point::max();
      FEncrypt.Start(FKey, FIV, true);
      FDecrypt.Start(FKey, FIV, false);
      FLog.Event("ENCRYPTED", "iv=" + HexOf(FIV));
      SetUp(true, "");
    }
    if (FDecrypt.Started())
      FDecrypt.Apply(Bytes);
    if (FNoRead)
      return;
    if (!Bytes.empty() && OnReceived)
      OnReceived(Bytes);
  }
}

void TTcpLink::Send(const std::string& Bytes) {
  if (FConnection < 0)
    return;
  std::string Out = Bytes;
  if (FEncrypt.Started())
    FEncrypt.Apply(Out);
  FOut += Out;
  Flush();
}

void TTcpLink::Flush() {
  while (!FOut.empty()) {
    ssize_t N = send(FConnection, FOut.data(), FOut.size(), MSG_NOSIGNAL);
    if (N > 0) {
      FOut.erase(0, static_cast<std::size_t>(N));
      continue;
    }
    if (N < 0 && errno == EINTR)
      continue;
    // A broken connection also shows in poll, where it is closed; its bytes are lost anyway.
    if (N < 0 && errno != EAGAIN)
      FOut.clear();
    return;
  }
}

bool TTcpLink::Drop() {
  if (FConnection >= 0)
    CloseConnection("cut by the simulator");
  return true;
}

void TTcpLink::CloseConnection(const std::string& Why) {
  close(FConnection);
  FConnection = -1;
  FOut.clear();
  FIV.clear();
  FVectorDue = TSteady::time_point::max();
  FEncrypt.Stop();
  FDecrypt.Stop();
  FLog.Event("DISCONNECTED", Why);
  SetUp(false, Why);
}

TPtyLink::TPtyLink(TEventLog& Log) : FLog(Log) {}

TPtyLink::~TPtyLink() {
  if (FSlave >= 0)
    close(FSlave);
  if (FMaster >= 0)
    close(FMaster);
}

void TPtyLink::Open() {
  FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0)
    throw SystemError("cannot create a pseudo-terminal");
  char Name[128];
  if (ptsname_r(FMaster, Name, sizeof Name) != 0)
    throw SystemError("ptsname");
  FDeviceName = Name;
  fcntl(FMaster, F_SETFL, fcntl(FMaster, F_GETFL) | O_NONBLOCK);
  FSlave = open(Name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (FSlave < 0)
    throw SystemError("cannot open " + FDeviceName);
  // Raw from the start: a terminal's echo would send the frames straight back as answers.
  termios T{};
  tcgetattr(FSlave, &T);
  cfmakeraw(&T);
  tcsetattr(FSlave, TCSANOW, &T);
  FState = Waiting;
  FNextLook = TSteady::now();
}

void TPtyLink::AddPollFds(std::vector<pollfd>& Fds) {
  if (FState == Waiting)
    return;
  short Events = 0;
  if (FState == Talking && !FNoRead)
    Events |= POLLIN;
  if (FState == Talking && !FOut.empty())
    Events |= POLLOUT;
  // A hang-up is reported whatever was asked for: the service closed the port.
  Fds.push_back({FMaster, Events, 0});
}

TSteady::time_point TPtyLink::WakeUp() const {
  return FState == Talking ? TSteady::time_point::max() : FNextLook;
}

void TPtyLink::Handle(const std::vector<pollfd>& Fds) {
  auto Now = TSteady::now();
  short Master = Revents(Fds, FMaster);
  switch (FState) {
    case Waiting: {
      if (Now < FNextLook)
        return;
      FNextLook = Now + LookInterval;
      if (FSlave < 0) {
        // The port is marked exclusive by a service that went without clearing the mark: it can
        // be told from its return only by the hang-up ending.
        pollfd P{FMaster, 0, 0};
        poll(&P, 1, 0);
        if ((P.revents & POLLHUP) == 0) {
          FState = Settling;
          FNextLook = Now + SettleTime;
          return;
        }
        FSlave = open(FDeviceName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        return;
      }
      int Exclusive = 0;
      if (ioctl(FSlave, TIOCGEXCL, &Exclusive) != 0 || Exclusive == 0)
        return;
      ioctl(FSlave, TIOCNXCL);
      close(FSlave);
      FSlave = -1;
      FState = Settling;
      FNextLook = Now + SettleTime;
      return;
    }
    case Settling:
      if (Master & POLLHUP) {
        Wait("");
      } else if (Now >= FNextLook) {
        FState = Talking;
        FLog.Event("CONNECTED", FDeviceName);
        SetUp(true, "");
      }
      return;
    case Talking:
      if (Master & POLLOUT)
        Flush();
      if ((Master & POLLIN) && !Read())
        Wait("closed by the service");
      else if (Master & (POLLHUP | POLLERR)) {
        // What the service wrote before it closed still counts.
        if (!FNoRead)
          Read();
        Wait("closed by the service");
      }
      return;
  }
}

bool TPtyLink::Read() {
  char Buffer[4096];
  for (;;) {
    ssize_t N = read(FMaster, Buffer, sizeof Buffer);
    if (N > 0) {
      if (OnReceived)
        OnReceived(std::string(Buffer, static_cast<std::size_t>(N)));
      continue;
    }
    if (N < 0 && errno == EINTR)
      continue;
    // EIO: nobody has the slave side open any more.
    return N < 0 && errno == EAGAIN;
  }
}

void TPtyLink::Send(const std::string& Bytes) {
  FOut += Bytes;
  Flush();
}

void TPtyLink::Flush() {
  while (!FOut.empty()) {
    ssize_t N = write(FMaster, FOut.data(), FOut.size());
    if (N > 0) {
      FOut.erase(0, static_cast<std::size_t>(N));
      continue;
    }
    if (N < 0 && errno == EINTR)
      continue;
    // A hang-up also shows in poll, where it is handled; the bytes are lost anyway.
    if (N < 0 && errno != EAGAIN)
      FOut.clear();
    return;
  }
}

void TPtyLink::Wait(const std::string& Why) {
  FOut.clear();
  if (FUp)
    FLog.Event("DISCONNECTED", Why);
  FState = Waiting;
  FNextLook = TSteady::now() + LookInterval;
  // Fails only while the port is marked exclusive; Handle then goes by the hang-up alone.
  FSlave = open(FDeviceName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  SetUp(false, Why);
}

}  // namespace pelmar::receiversim
