#include "uCrtSock.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "Clock.h"
#include "SocketError.h"

namespace pelmar {

std::atomic<std::int32_t> PendingConnects{0};

namespace {

// WinSock numbers the layer tests for.
constexpr int wsaEWOULDBLOCK = 10035;
constexpr int wsaEINPROGRESS = 10036;
constexpr int wsaENOTSOCK = 10038;
constexpr int wsaENETUNREACH = 10051;
constexpr int wsaEISCONN = 10056;
constexpr int wsaETIMEDOUT = 10060;
constexpr int wsaECONNREFUSED = 10061;

const char* const ClosedGracefullyText = "Connection closed gracefully";
const char* const WaitFailedText = "Bugcheck: wait failed in TCrtSocket.AsyncCheckConnected";

int LastSocketError() {
  return ErrnoToWinSock(errno);
}

[[noreturn]] void NullBuffer(int Line) {
  throw EAssertionFailed(Format("Assertion failed (uCrtSock.cpp, line %d)", Line));
}

// poll on one descriptor for up to TimeoutMs of real time, resuming after signals. Returns
// poll's result; -1 leaves errno set.
int PollFor(pollfd& P, std::uint32_t TimeoutMs) {
  using Steady = std::chrono::steady_clock;
  const auto Deadline = Steady::now() + std::chrono::milliseconds(TimeoutMs);
  int Wait = static_cast<int>(std::min<std::uint32_t>(TimeoutMs, 0x7FFFFFFF));
  for (;;) {
    P.revents = 0;
    int R = poll(&P, 1, Wait);
    if (R >= 0 || errno != EINTR)
      return R;
    auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Steady::now());
    Wait = static_cast<int>(std::max<std::int64_t>(Left.count(), 0));
  }
}

}  // namespace

std::string SocketErrorText(int Code, bool Full) {
  const char* Text = FindWinSockErrorText(Code);
  if (!Text)
    Text = "";
  return Format(Full ? "Socket Error #%d: %s" : "#%d: %s", Code, Text);
}

ECrtSocket ECrtSocket::CreateCode(const std::string& Msg, int Code) {
  Code = std::abs(Code);
  if (Code == 0)
    return ECrtSocket(Msg);
  return ECrtSocket(Msg + " (" + SocketErrorText(Code, false) + ")");
}

ECrtSocket ECrtSocket::CreateFmtCode(std::string_view Fmt, const std::vector<TFormatArg>& Args,
                                     int Code) {
  return CreateCode(FormatArgs(Fmt, Args), Code);
}

ECrtSocket ECrtSocket::CreateError(int Code) {
  return ECrtSocket(SocketErrorText(Code, true));
}

int ResolveAddress(sockaddr_storage& Addr, const std::string& Host, const std::string& Port,
                   int Family, int SockType) {
  Addr = sockaddr_storage{};
  addrinfo Hints{};
  Hints.ai_family = Family;
  Hints.ai_socktype = SockType;
  addrinfo* List = nullptr;
  int R = getaddrinfo(Host.c_str(), Port.c_str(), &Hints, &List);
  if (R != 0)
    return R;
  if (List == nullptr || List->ai_addrlen > sizeof Addr) {
    freeaddrinfo(List);
    return EAI_FAIL;
  }
  std::memcpy(&Addr, List->ai_addr, List->ai_addrlen);
  freeaddrinfo(List);
  return 0;
}

void GetHostAddresses(const std::string& Host, int Family, std::vector<std::string>& List,
                      int SockType) {
  List.clear();
  addrinfo Hints{};
  Hints.ai_family = AF_UNSPEC;
  Hints.ai_socktype = SockType;
  addrinfo* Result = nullptr;
  if (getaddrinfo(Host.c_str(), nullptr, &Hints, &Result) != 0)
    return;
  for (addrinfo* A = Result; A != nullptr; A = A->ai_next) {
    if (Family == AF_INET6 && A->ai_family == AF_INET)
      continue;
    if (Family == AF_INET && A->ai_family == AF_INET6)
      continue;
    char Name[NI_MAXHOST];
    if (getnameinfo(A->ai_addr, A->ai_addrlen, Name, sizeof Name, nullptr, 0,
                    NI_NUMERICHOST | NI_NUMERICSERV) == 0)
      List.emplace_back(Name);
  }
  freeaddrinfo(Result);
}

std::string ResolveHost(const std::string& Host) {
  std::vector<std::string> List;
  GetHostAddresses(Host, AF_INET, List, SOCK_STREAM);
  if (List.empty())
    throw ECrtSocket("Failed to resolve host name");
  return List.front();
}

TCrtSocket::~TCrtSocket() {
  Close(true);
}

void TCrtSocket::CloseEvent() {
  if (!FConnectPending)
    return;
  PendingConnects.fetch_sub(1);
  FConnectPending = false;
  FOutcomeReady = false;
}

void TCrtSocket::Close(bool Graceful) {
  CloseEvent();
  if (FSocket < 0)
    return;
  if (Graceful)
    shutdown(FSocket, SHUT_WR);
  close(FSocket);
  FSocket = -1;
  FConnectFailed = false;
}

int TCrtSocket::CheckError(int Result, int Code) {
  if (Result != -1)
    return Result;
  if (Code == wsaEWOULDBLOCK || Code == wsaEISCONN)
    return -1;
  if (Code != wsaENETUNREACH && Code != wsaETIMEDOUT && Code != wsaECONNREFUSED)
    Close(false);
  throw ECrtSocket::CreateError(Code);
}

void TCrtSocket::AsyncConnect(const std::string& Host, std::uint16_t Port) {
  // A socket whose connect failed cannot connect again on Linux (the retry is refused with
  // ECONNABORTED), so it is replaced like a missing one.
  if (FSocket < 0 || FConnectFailed) {
    std::string Ip = ResolveHost(Host);
    sockaddr_storage Addr;
    int Resolved = ResolveAddress(Addr, Ip, std::to_string(Port), AF_INET, SOCK_STREAM);
    if (FConnectFailed)
      Close(false);
    int Fd = -1;
    int Error = 0;
    if (Resolved == 0) {
      Fd = socket(Addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
      if (Fd < 0)
        Error = LastSocketError();
    }
    if (Fd < 0)
      throw ECrtSocket::CreateFmtCode("Failed to create socket for %s:%d", {Host, Port}, Error);
    FSocket = Fd;
    FAddress = Addr;
  }
  if (!FConnectPending) {
    FConnectPending = true;
    FOutcomeReady = false;
    PendingConnects.fetch_add(1);
  }
  try {
    int Flags = fcntl(FSocket, F_GETFL);
    if (Flags < 0 || fcntl(FSocket, F_SETFL, Flags | O_NONBLOCK) < 0)
      throw ECrtSocket::CreateFmtCode("Failed to set socket in async mode %s:%d", {Host, Port},
                                      LastSocketError());
    socklen_t Length = FAddress.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (connect(FSocket, reinterpret_cast<const sockaddr*>(&FAddress), Length) == 0) {
      FOutcomeReady = true;
    } else {
      int Code = LastSocketError();
      // A non-blocking connect under way reports EINPROGRESS here where WinSock says "would
      // block"; an interrupted one goes on in the background all the same.
      if (Code == wsaEISCONN)
        FOutcomeReady = true;
      else if (Code != wsaEWOULDBLOCK && Code != wsaEINPROGRESS && errno != EINTR)
        throw ECrtSocket::CreateFmtCode("Failed to initiate connect socket for %s:%d", {Host, Port},
                                        Code);
    }
  } catch (...) {
    Close(false);
    throw;
  }
}

bool TCrtSocket::AsyncCheckConnected(std::uint32_t Timeout) {
  if (!FConnectPending) {
    Close(false);
    throw Exception(WaitFailedText);
  }
  if (FOutcomeReady) {
    CloseEvent();
    return true;
  }
  pollfd P{FSocket, POLLOUT, 0};
  int R = PollFor(P, Timeout);
  if (R < 0) {
    Close(false);
    throw Exception(WaitFailedText);
  }
  if (R == 0)
    return false;

  // The outcome is known: the connect is no longer pending, whatever follows.
  CloseEvent();
  int Error = 0;
  socklen_t Length = sizeof Error;
  if (getsockopt(FSocket, SOL_SOCKET, SO_ERROR, &Error, &Length) < 0)
    CheckError(-1, LastSocketError());
  if (Error != 0) {
    FConnectFailed = true;
    CheckError(-1, ErrnoToWinSock(Error));
    return false;
  }
  if (P.revents & POLLOUT)
    return true;
  // Hung up without an error and never writable: the peer closed before we were connected.
  FConnectFailed = true;
  return false;
}

void TCrtSocket::Connect(const std::string& Host, std::uint16_t Port) {
  AsyncConnect(Host, Port);
  if (!AsyncCheckConnected(FConnectTimeout)) {
    Close(false);
    throw ECrtSocket::CreateError(wsaETIMEDOUT);
  }
}

int TCrtSocket::Read(void* Buffer, int Count) {
  if (Buffer == nullptr)
    NullBuffer(__LINE__);
  if (Count <= 0)
    return 0;
  for (;;) {
    if (FSocket < 0)
      return CheckError(-1, wsaENOTSOCK);
    ssize_t N = recv(FSocket, Buffer, static_cast<size_t>(Count), 0);
    if (N > 0)
      return static_cast<int>(N);
    if (N == 0) {
      Close(false);
      throw ECrtSocket(ClosedGracefullyText);
    }
    if (errno == EINTR)
      continue;
    CheckError(-1, LastSocketError());
    return 0;
  }
}

void TCrtSocket::Write(const void* Buffer, int Count) {
  if (Buffer == nullptr)
    NullBuffer(__LINE__);
  auto* P = static_cast<const std::uint8_t*>(Buffer);
  std::uint32_t Start = GetTickCount();
  while (Count > 0) {
    if (FSocket < 0)
      CheckError(-1, wsaENOTSOCK);
    ssize_t N = send(FSocket, P, static_cast<size_t>(Count), MSG_NOSIGNAL);
    if (N > 0) {
      P += N;
      Count -= static_cast<int>(N);
      Start = GetTickCount();
      continue;
    }
    if (N < 0 && errno == EINTR)
      continue;
    if (N < 0)
      CheckError(-1, LastSocketError());
    // Would block: a peer that takes nothing for WriteTimeout ms must not hold the polling
    // thread for ever, and the stream is broken once part of a buffer is missing.
    std::uint32_t Waited = GetTickCount() - Start;
    if (Waited >= FWriteTimeout) {
      Close(false);
      throw ECrtSocket::CreateError(wsaETIMEDOUT);
    }
    pollfd W{FSocket, POLLOUT, 0};
    PollFor(W, std::min<std::uint32_t>(FWriteTimeout - Waited, 100));
  }
}

}  // namespace pelmar
