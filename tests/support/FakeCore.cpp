#include "FakeCore.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "PelMarIndy.h"
#include "Utilities.h"
#include "uConnectionProtocol.h"

namespace pelmar::test {

namespace {

using TSteady = std::chrono::steady_clock;

int MsLeft(TSteady::time_point Deadline) {
  auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TSteady::now());
  return Left.count() < 0 ? 0 : static_cast<int>(Left.count());
}

// One byte as a string. Strings here are built by appending: GCC 12 misjudges some
// concatenations at -O3 (-Wrestrict).
std::string Byte(int Value) {
  std::string R;
  R += static_cast<char>(Value);
  return R;
}

[[noreturn]] void Fail(const std::string& What) {
  throw std::runtime_error("FakeCore: " + What);
}

std::int32_t GetInt(const std::string& Bytes, std::size_t At) {
  std::uint32_t U = 0;
  for (int I = 3; I >= 0; --I)
    U = (U << 8) | static_cast<std::uint8_t>(Bytes[At + I]);
  return static_cast<std::int32_t>(U);
}

// A connection of the automatic mode, read from a byte string as bytes arrive.
class TServeConn {
 public:
  explicit TServeConn(int Fd) : FFd(Fd) {}
  ~TServeConn() { close(FFd); }

  // False when the peer closed or Stop was set.
  bool Need(std::size_t Count, const std::atomic<bool>& Stop) {
    while (FIn.size() - FAt < Count) {
      if (Stop.load())
        return false;
      pollfd P{FFd, POLLIN, 0};
      if (poll(&P, 1, 50) <= 0)
        continue;
      char Buf[65536];
      ssize_t N = recv(FFd, Buf, sizeof Buf, 0);
      if (N <= 0)
        return false;
      FIn.erase(0, FAt);
      FAt = 0;
      FIn.append(Buf, static_cast<std::size_t>(N));
    }
    return true;
  }
  std::string Take(std::size_t Count) {
    std::string R = FIn.substr(FAt, Count);
    FAt += Count;
    return R;
  }
  // A String; false when it did not arrive.
  bool TakeString(std::string& Out, const std::atomic<bool>& Stop) {
    if (!Need(4, Stop))
      return false;
    std::int32_t N = GetInt(FIn, FAt);
    FAt += 4;
    if (N <= 0)
      return true;
    if (!Need(static_cast<std::size_t>(N), Stop))
      return false;
    Out = Take(static_cast<std::size_t>(N));
    return true;
  }
  void Send(const std::string& Bytes) {
    std::size_t Done = 0;
    while (Done < Bytes.size()) {
      ssize_t N = send(FFd, Bytes.data() + Done, Bytes.size() - Done, MSG_NOSIGNAL);
      if (N <= 0)
        return;
      Done += static_cast<std::size_t>(N);
    }
  }

 private:
  int FFd;
  std::string FIn;
  std::size_t FAt = 0;
};

}  // namespace

std::string TFakeCore::Int(std::int32_t Value) {
  auto U = static_cast<std::uint32_t>(Value);
  std::string R(4, '\0');
  for (int I = 0; I < 4; ++I)
    R[I] = static_cast<char>((U >> (8 * I)) & 0xFF);
  return R;
}

std::string TFakeCore::Int64(std::int64_t Value) {
  auto U = static_cast<std::uint64_t>(Value);
  std::string R(8, '\0');
  for (int I = 0; I < 8; ++I)
    R[I] = static_cast<char>((U >> (8 * I)) & 0xFF);
  return R;
}

std::string TFakeCore::Str(const std::string& Value) {
  return Int(static_cast<std::int32_t>(Value.size())) + Value;
}

TFakeCore::TFakeCore() {
  FListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (FListen < 0)
    Fail("socket");
  int One = 1;
  setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &One, sizeof One);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  A.sin_port = 0;
  if (bind(FListen, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0)
    Fail("bind");
  if (listen(FListen, 16) != 0)
    Fail("listen");
  socklen_t Len = sizeof A;
  getsockname(FListen, reinterpret_cast<sockaddr*>(&A), &Len);
  FPort = ntohs(A.sin_port);
}

TFakeCore::~TFakeCore() {
  StopServing();
  if (FConn >= 0)
    close(FConn);
  close(FListen);
}

void TFakeCore::Accept(int WaitMs) {
  if (FConn >= 0)
    close(FConn);
  FConn = -1;
  FIn.clear();
  FPeerClosed = false;
  FReset = false;
  pollfd P{FListen, POLLIN, 0};
  if (poll(&P, 1, WaitMs) <= 0)
    Fail("no connection came");
  FConn = accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
  if (FConn < 0)
    Fail("accept");
  int One = 1;
  setsockopt(FConn, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
  ++FAccepted;
}

TCoreLogin TFakeCore::AcceptAndLogin(const std::string& Config) {
  Accept();
  TCoreLogin Login = ReadLogin();
  AcceptLogin(Config);
  return Login;
}

bool TFakeCore::ReceiveSome(int WaitMs) {
  if (FConn < 0)
    Fail("no connection");
  if (FPeerClosed)
    return false;
  pollfd P{FConn, POLLIN, 0};
  if (poll(&P, 1, WaitMs) <= 0)
    return false;
  char Buf[65536];
  ssize_t N = recv(FConn, Buf, sizeof Buf, 0);
  if (N <= 0) {
    FReset = N < 0 && errno == ECONNRESET;
    FPeerClosed = true;
    return false;
  }
  FIn.append(Buf, static_cast<std::size_t>(N));
  std::lock_guard<std::mutex> Guard(FLock);
  FReceived.append(Buf, static_cast<std::size_t>(N));
  return true;
}

std::string TFakeCore::Take(std::size_t Count, int WaitMs) {
  auto Deadline = TSteady::now() + std::chrono::milliseconds(WaitMs);
  while (FIn.size() < Count) {
    if (FPeerClosed)
      Fail("the service closed the connection");
    if (!ReceiveSome(MsLeft(Deadline)) && !FPeerClosed && MsLeft(Deadline) == 0)
      Fail("nothing came from the service");
  }
  std::string R = FIn.substr(0, Count);
  FIn.erase(0, Count);
  return R;
}

TCoreLogin TFakeCore::ReadLogin() {
  TCoreLogin L;
  L.ServiceID = static_cast<std::uint8_t>(Take(1, DefaultWait)[0]);
  L.Version = Take(static_cast<std::size_t>(GetInt(Take(4, DefaultWait), 0)), DefaultWait);
  L.Password = Take(static_cast<std::size_t>(GetInt(Take(4, DefaultWait), 0)), DefaultWait);
  return L;
}

void TFakeCore::AcceptLogin(const std::string& Config) {
  std::string Answer = Byte(1);
  Answer += Str(Config);
  Send(Answer);
}

void TFakeCore::RefuseLogin(const std::string& Reason) {
  std::string Answer = Byte(0);
  Answer += Str(Reason);
  Send(Answer);
}

TCoreMessage TFakeCore::ReadMessage(int WaitMs) {
  TCoreMessage M;
  std::string Len = Take(4, WaitMs);
  std::int32_t N = GetInt(Len, 0);
  if (N < 0 || N > 1000000)
    Fail("bad name length");
  M.Name = Take(static_cast<std::size_t>(N), WaitMs);
  std::string Kind = Take(1, WaitMs);
  M.Raw = Len + M.Name + Kind;
  M.IsEvent = Kind[0] == 1;
  if (!M.IsEvent) {
    std::string Id = Take(1, WaitMs);
    M.Id = static_cast<std::uint8_t>(Id[0]);
    M.Raw += Id;
  }
  std::string PLen = Take(4, WaitMs);
  std::int32_t P = GetInt(PLen, 0);
  if (P < 0 || P > 100000000)
    Fail("bad parameter length");
  M.Params = Take(static_cast<std::size_t>(P), WaitMs);
  M.Raw += PLen + M.Params;
  return M;
}

TCoreMessage TFakeCore::ReadCommand(const std::string& Name, int WaitMs) {
  TCoreMessage M = ReadMessage(WaitMs);
  if (M.IsEvent || M.Name != Name)
    Fail("expected the command \"" + Name + "\", got " + (M.IsEvent ? "the event \"" : "\"") +
         M.Name + "\"");
  return M;
}

TCoreMessage TFakeCore::ReadEvent(const std::string& Name, int WaitMs) {
  TCoreMessage M = ReadMessage(WaitMs);
  if (!M.IsEvent || M.Name != Name)
    Fail("expected the event \"" + Name + "\", got " + (M.IsEvent ? "the event \"" : "\"") +
         M.Name + "\"");
  return M;
}

void TFakeCore::ReplyDone(std::uint8_t Id) {
  Send(std::string{static_cast<char>(Id), '\0'});
}

void TFakeCore::ReplyData(std::uint8_t Id, const std::string& Data) {
  Send(std::string{static_cast<char>(Id), '\x01'} + Str(Data));
}

void TFakeCore::ReplyError(std::uint8_t Id, const std::string& Text) {
  Send(std::string{static_cast<char>(Id), '\x03'} + Str(Text));
}

void TFakeCore::Send(const std::string& Bytes) {
  if (FConn < 0)
    Fail("no connection");
  std::size_t Done = 0;
  while (Done < Bytes.size()) {
    ssize_t N = send(FConn, Bytes.data() + Done, Bytes.size() - Done, MSG_NOSIGNAL);
    if (N <= 0)
      Fail(std::string("send: ") + std::strerror(errno));
    Done += static_cast<std::size_t>(N);
  }
}

std::string TFakeCore::PushedCommand(std::uint8_t Source, std::int64_t User,
                                     const std::string& Name, const std::string& Params) {
  return std::string{'\x01', static_cast<char>(Source)} + Int64(User) + Str(Name) + Str(Params);
}

std::string TFakeCore::PushedEvent(std::uint8_t Source, const std::string& Name,
                                   const std::string& Params) {
  return std::string{'\0', static_cast<char>(Source)} + Str(Name) + Str(Params);
}

void TFakeCore::Push(const std::vector<std::string>& Messages) {
  std::string Block{'\0', '\x02'};
  Block += Int(static_cast<std::int32_t>(Messages.size()));
  for (const std::string& M : Messages)
    Block += M;
  Send(Block);
}

void TFakeCore::SendCoreQuit(const std::string& Reason, bool Flag) {
  Push({PushedEvent(0, "CoreQuit", Str(Reason) + Byte(Flag ? 1 : 0))});
}

void TFakeCore::Drop(bool Reset) {
  if (FConn < 0)
    return;
  if (Reset) {
    linger L{1, 0};
    setsockopt(FConn, SOL_SOCKET, SO_LINGER, &L, sizeof L);
  }
  close(FConn);
  FConn = -1;
}

bool TFakeCore::DataPending(int WaitMs) {
  if (!FIn.empty())
    return true;
  ReceiveSome(WaitMs);
  return !FIn.empty();
}

bool TFakeCore::WaitClosed(int WaitMs) {
  auto Deadline = TSteady::now() + std::chrono::milliseconds(WaitMs);
  while (!FPeerClosed) {
    if (MsLeft(Deadline) == 0)
      return false;
    ReceiveSome(std::min(MsLeft(Deadline), 50));
  }
  return true;
}

std::string TFakeCore::Received() const {
  std::lock_guard<std::mutex> Guard(FLock);
  return FReceived;
}

void TFakeCore::Serve(TAnswer Answer) {
  StopServing();
  FStopServing.store(false);
  FServer = std::thread([this, Answer = std::move(Answer)] { ServeLoop(Answer); });
}

void TFakeCore::StopServing() {
  FStopServing.store(true);
  if (FServer.joinable())
    FServer.join();
}

void TFakeCore::ServeLoop(TAnswer Answer) {
  while (!FStopServing.load()) {
    pollfd P{FListen, POLLIN, 0};
    if (poll(&P, 1, 50) <= 0)
      continue;
    int Fd = accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (Fd < 0)
      continue;
    int One = 1;
    setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
    TServeConn C(Fd);
    std::string Version, Password;
    if (!C.Need(1, FStopServing))
      continue;
    C.Take(1);
    if (!C.TakeString(Version, FStopServing) || !C.TakeString(Password, FStopServing))
      continue;
    std::string Accepted = Byte(1);
    Accepted += Int(0);
    C.Send(Accepted);
    for (;;) {
      TCoreMessage M;
      if (!C.TakeString(M.Name, FStopServing) || !C.Need(1, FStopServing))
        break;
      M.IsEvent = C.Take(1)[0] == 1;
      if (!M.IsEvent) {
        if (!C.Need(1, FStopServing))
          break;
        M.Id = static_cast<std::uint8_t>(C.Take(1)[0]);
      }
      if (!C.TakeString(M.Params, FStopServing))
        break;
      if (M.IsEvent) {
        FEventsServed.fetch_add(1);
        continue;
      }
      std::string A = Answer ? Answer(M) : std::string();
      if (A.empty())
        A = Byte(0);
      std::string Reply = Byte(M.Id);
      Reply += A;
      C.Send(Reply);
    }
  }
}

bool CoreLogin(TPelMarTCPClient& Client, std::uint8_t ServiceID, const std::string& Password) {
  TConnectionProtocol P(Client);
  P.WriteByte(ServiceID);
  P.WriteString("1.9");
  P.WriteString(Password);
  if (!P.ReadBoolean()) {
    std::string Reason = P.ReadString();
    if (Reason.find("NonFatal:") != std::string::npos)
      throw ENonFatalError(Reason);
    throw Exception(Reason);
  }
  TBufferProtocol Config(64);
  P.ReadBlock(Config);
  return true;
}

}  // namespace pelmar::test
