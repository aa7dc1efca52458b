#include "PelMarIndy.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>

#include "Format.h"
#include "SocketError.h"
#include "Utilities.h"

namespace pelmar {

namespace {

// Longest single wait on the socket, so that time-outs follow the process clock.
constexpr int WaitSlice = 50;
// Bytes taken from the socket per receive call, and at most per Receive.
constexpr std::size_t ReceiveChunk = 64 * 1024;
constexpr std::size_t MaxReceive = 1024 * 1024;
constexpr std::size_t StreamChunk = 64 * 1024;

void ReplaceAll(std::string& Text, const std::string& From, const std::string& To) {
  for (std::size_t At = Text.find(From); At != std::string::npos;
       At = Text.find(From, At + To.size()))
    Text.replace(At, From.size(), To);
}

struct TAddrInfo {
  addrinfo* List = nullptr;
  ~TAddrInfo() {
    if (List != nullptr)
      freeaddrinfo(List);
  }
};

}  // namespace

// ---- TPelMarStack -----------------------------------------------------------------------------

std::string TPelMarStack::RewordMessage(std::string Message) {
  if (!Message.empty() && Message.back() == '.')
    Message.pop_back();
  ReplaceAll(Message, "\r\n", " - ");
  ReplaceAll(Message, "# ", "#");
  if (Message.size() > 7 && Message[7] == 'E')
    Message[7] = 'e';
  return Message;
}

std::string TPelMarStack::SocketErrorMessage(int Code) {
  return RewordMessage(Format("Socket Error # %d\r\n%s", Code, WinSockErrorText(Code)));
}

void TPelMarStack::RaiseSocketError(int Code) {
  throw EPelMarSocketError(SocketErrorMessage(Code), Code);
}

void TPelMarStack::RaiseErrno(int Err) {
  RaiseSocketError(ErrnoToWinSock(Err));
}

// ---- TPelMarTCPClient -------------------------------------------------------------------------

TPelMarTCPClient::TPelMarTCPClient() = default;

TPelMarTCPClient::~TPelMarTCPClient() {
  CloseSocket(true);
}

void TPelMarTCPClient::Connect(const std::string& Host, std::uint16_t Port) {
  FHost = Host;
  FPort = Port;
  Connect();
}

void TPelMarTCPClient::Connect() {
  if (Opened())
    throw EPelMarTCPError("Already connected.");
  FHasIOHandler = true;
  FPeerClosed = false;
  ClearInputBuffer();
  FOutput.clear();
  FWriteBufferOpen = false;

  addrinfo Hints{};
  Hints.ai_family = AF_UNSPEC;
  Hints.ai_socktype = SOCK_STREAM;
  Hints.ai_protocol = IPPROTO_TCP;
  TAddrInfo Addresses;
  std::string Service = std::to_string(FPort);
  int Rc = getaddrinfo(FHost.c_str(), Service.c_str(), &Hints, &Addresses.List);
  if (Rc != 0)
    TPelMarStack::RaiseSocketError(AddrInfoErrorToWinSock(Rc, errno));

  std::uint32_t Start = GetTickCount();
  int LastError = ECONNREFUSED;
  for (addrinfo* A = Addresses.List; A != nullptr; A = A->ai_next) {
    int Fd = socket(A->ai_family, A->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, A->ai_protocol);
    if (Fd < 0) {
      LastError = errno;
      continue;
    }
    FSocket.store(Fd);
    if (connect(Fd, A->ai_addr, A->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) {
        LastError = errno;
        CloseSocket(false);
        continue;
      }
      bool Ready;
      try {
        Ready = WaitSocket(POLLOUT, Start, FConnectTimeout);
      } catch (...) {
        CloseSocket(true);
        throw;
      }
      if (!Ready) {
        CloseSocket(true);
        throw EPelMarConnectTimeout("Connect timed out.");
      }
      int SoError = 0;
      socklen_t Len = sizeof SoError;
      if (getsockopt(Fd, SOL_SOCKET, SO_ERROR, &SoError, &Len) != 0)
        SoError = errno;
      if (SoError != 0) {
        LastError = SoError;
        CloseSocket(false);
        continue;
      }
    }
    // Commands and replies are small; waiting to fill segments would only add latency.
    int One = 1;
    setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
    return;
  }
  TPelMarStack::RaiseErrno(LastError);
}

void TPelMarTCPClient::CloseSocket(bool Reset) {
  int Fd = FSocket.exchange(-1);
  if (Fd < 0)
    return;
  if (Reset) {
    linger L{1, 0};
    setsockopt(Fd, SOL_SOCKET, SO_LINGER, &L, sizeof L);
  }
  close(Fd);
}

void TPelMarTCPClient::Disconnect(bool NotifyPeer) {
  CloseSocket(!NotifyPeer);
  ClearInputBuffer();
  FOutput.clear();
  FWriteBufferOpen = false;
  FPeerClosed = false;
}

bool TPelMarTCPClient::WaitSocket(short Events, std::uint32_t Start, std::uint32_t Timeout) {
  for (;;) {
    if (FInterrupted.load())
      throw EPelMarInterrupted("Operation interrupted.");
    int Slice = WaitSlice;
    if (Timeout != InfiniteTimeout) {
      std::uint32_t Elapsed = TicksSince(Start);
      if (Elapsed > Timeout)
        return false;
      Slice = static_cast<int>(std::min<std::uint32_t>(WaitSlice, Timeout - Elapsed + 1));
    }
    pollfd P{FSocket.load(), Events, 0};
    int Rc = poll(&P, 1, Slice);
    if (Rc > 0)
      return true;
    if (Rc < 0 && errno != EINTR)
      TPelMarStack::RaiseErrno(errno);
  }
}

std::size_t TPelMarTCPClient::Receive() {
  std::size_t Total = 0;
  while (Total < MaxReceive && !FPeerClosed) {
    std::size_t Old = FInput.size();
    FInput.resize(Old + ReceiveChunk);
    ssize_t N = recv(FSocket.load(), FInput.data() + Old, ReceiveChunk, MSG_DONTWAIT);
    if (N > 0) {
      FInput.resize(Old + static_cast<std::size_t>(N));
      Total += static_cast<std::size_t>(N);
      continue;
    }
    int Err = errno;
    FInput.resize(Old);
    if (N == 0) {
      FPeerClosed = true;
      break;
    }
    if (Err == EINTR)
      continue;
    if (Err == EAGAIN || Err == EWOULDBLOCK)
      break;
    TPelMarStack::RaiseErrno(Err);
  }
  return Total;
}

void TPelMarTCPClient::ClearInputBuffer() {
  FInput.clear();
  FInputStart = 0;
}

void TPelMarTCPClient::Consume(void* Buffer, std::size_t Count) {
  if (Count > 0)
    std::memcpy(Buffer, FInput.data() + FInputStart, Count);
  FInputStart += Count;
  if (FInputStart == FInput.size()) {
    ClearInputBuffer();
  } else if (FInputStart > ReceiveChunk && FInputStart > FInput.size() / 2) {
    FInput.erase(FInput.begin(), FInput.begin() + static_cast<std::ptrdiff_t>(FInputStart));
    FInputStart = 0;
  }
}

void TPelMarTCPClient::CheckReadable() {
  if (FPeerClosed) {
    CloseSocket(false);
    throw EPelMarClosedGracefully("Connection Closed Gracefully.");
  }
  if (!Opened())
    throw EPelMarNotConnected("Not Connected.");
}

void TPelMarTCPClient::ReadBytes(void* Buffer, std::size_t Count) {
  std::uint32_t LastArrival = GetTickCount();
  while (InputBufferSize() < Count) {
    CheckReadable();
    if (!WaitSocket(POLLIN, LastArrival, FReadTimeout.load()))
      throw EPelMarReadTimeout("Read timed out.");
    if (Receive() > 0)
      LastArrival = GetTickCount();
  }
  Consume(Buffer, Count);
}

std::vector<std::uint8_t> TPelMarTCPClient::ReadBytes(std::size_t Count) {
  std::vector<std::uint8_t> Result(Count);
  ReadBytes(Result.data(), Count);
  return Result;
}

void TPelMarTCPClient::Send(const std::uint8_t* Data, std::size_t Count) {
  std::uint32_t LastProgress = GetTickCount();
  while (Count > 0) {
    if (!Opened())
      throw EPelMarNotConnected("Not Connected.");
    ssize_t N = send(FSocket.load(), Data, Count, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (N > 0) {
      Data += N;
      Count -= static_cast<std::size_t>(N);
      LastProgress = GetTickCount();
      continue;
    }
    int Err = errno;
    if (Err == EINTR)
      continue;
    if (Err != EAGAIN && Err != EWOULDBLOCK)
      TPelMarStack::RaiseErrno(Err);
    if (!WaitSocket(POLLOUT, LastProgress, FReadTimeout.load()))
      TPelMarStack::RaiseErrno(ETIMEDOUT);
  }
}

void TPelMarTCPClient::Write(const void* Data, std::size_t Count) {
  if (!Opened())
    throw EPelMarNotConnected("Not Connected.");
  auto* Bytes = static_cast<const std::uint8_t*>(Data);
  if (FWriteBufferOpen) {
    FOutput.insert(FOutput.end(), Bytes, Bytes + Count);
    return;
  }
  Send(Bytes, Count);
}

void TPelMarTCPClient::WriteStreamBytes(TStream& Stream, std::int64_t Size) {
  std::vector<std::uint8_t> Chunk(static_cast<std::size_t>(
      std::min<std::int64_t>(std::max<std::int64_t>(Size, 0), StreamChunk)));
  while (Size > 0) {
    auto Want = static_cast<std::int32_t>(std::min<std::int64_t>(Size, StreamChunk));
    std::int32_t Got = Stream.Read(Chunk.data(), Want);
    if (Got != Want)
      throw EStreamError("Stream read error");
    Write(Chunk.data(), static_cast<std::size_t>(Got));
    Size -= Got;
  }
}

void TPelMarTCPClient::ReadStreamBytes(TStream& Stream, std::int64_t Count) {
  std::vector<std::uint8_t> Chunk;
  while (Count > 0) {
    auto Want = static_cast<std::int32_t>(std::min<std::int64_t>(Count, StreamChunk));
    Chunk.resize(static_cast<std::size_t>(Want));
    ReadBytes(Chunk.data(), Chunk.size());
    if (Stream.Write(Chunk.data(), Want) != Want)
      throw EStreamError("Stream write error");
    Count -= Want;
  }
}

void TPelMarTCPClient::ReadStreamUntilClose(TStream& Stream) {
  std::uint32_t LastArrival = GetTickCount();
  for (;;) {
    std::size_t N = InputBufferSize();
    if (N > 0) {
      auto Count = static_cast<std::int32_t>(std::min<std::size_t>(N, StreamChunk));
      if (Stream.Write(FInput.data() + FInputStart, Count) != Count)
        throw EStreamError("Stream write error");
      std::vector<std::uint8_t> Skip(static_cast<std::size_t>(Count));
      Consume(Skip.data(), Skip.size());
      continue;
    }
    if (FPeerClosed) {
      CloseSocket(false);
      return;
    }
    if (!Opened())
      throw EPelMarNotConnected("Not Connected.");
    if (!WaitSocket(POLLIN, LastArrival, FReadTimeout.load()))
      throw EPelMarReadTimeout("Read timed out.");
    if (Receive() > 0)
      LastArrival = GetTickCount();
  }
}

bool TPelMarTCPClient::CheckForDataOnSource(std::uint32_t Timeout) {
  if (!Opened() || FPeerClosed)
    return false;
  if (Timeout > 0) {
    if (FInterrupted.load())
      throw EPelMarInterrupted("Operation interrupted.");
    pollfd P{FSocket.load(), POLLIN, 0};
    int Rc = poll(&P, 1,
                  static_cast<int>(std::min<std::uint32_t>(
                      Timeout, static_cast<std::uint32_t>(std::numeric_limits<int>::max()))));
    if (Rc < 0 && errno != EINTR)
      TPelMarStack::RaiseErrno(errno);
    if (Rc <= 0)
      return false;
  }
  return Receive() > 0;
}

void TPelMarTCPClient::CheckForDisconnect(bool RaiseError, bool IgnoreBuffer) {
  if (Opened() && !FPeerClosed) {
    try {
      Receive();
    } catch (const EPelMarSocketError&) {
      CloseSocket(true);
      if (RaiseError)
        throw;
      return;
    }
  }
  if (!FPeerClosed)
    return;
  if (!IgnoreBuffer && !InputBufferIsEmpty())
    return;
  CloseSocket(false);
  if (RaiseError)
    throw EPelMarClosedGracefully("Connection Closed Gracefully.");
}

void TPelMarTCPClient::OpenWriteBuffer() {
  FOutput.clear();
  FWriteBufferOpen = true;
}

void TPelMarTCPClient::CloseWriteBuffer() {
  if (!FWriteBufferOpen)
    return;
  std::vector<std::uint8_t> Pending;
  Pending.swap(FOutput);
  FWriteBufferOpen = false;
  Send(Pending.data(), Pending.size());
}

void TPelMarTCPClient::ClearWriteBuffer() {
  FOutput.clear();
  FWriteBufferOpen = false;
}

}  // namespace pelmar
