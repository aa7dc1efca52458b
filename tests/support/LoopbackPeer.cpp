#include "LoopbackPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

namespace pelmar::test {

namespace {

using Steady = std::chrono::steady_clock;

sockaddr_in Loopback(std::uint16_t Port) {
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  A.sin_port = htons(Port);
  return A;
}

int MillisecondsLeft(Steady::time_point Deadline) {
  auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Steady::now());
  return Left.count() > 0 ? static_cast<int>(Left.count()) : 0;
}

}  // namespace

TLoopbackPeer::~TLoopbackPeer() {
  Close();
}

TLoopbackPeer::TLoopbackPeer(TLoopbackPeer&& Other) noexcept : FFd(Other.FFd) {
  Other.FFd = -1;
}

TLoopbackPeer& TLoopbackPeer::operator=(TLoopbackPeer&& Other) noexcept {
  if (this != &Other) {
    Close();
    FFd = Other.FFd;
    Other.FFd = -1;
  }
  return *this;
}

void TLoopbackPeer::Send(std::string_view Bytes) {
  while (!Bytes.empty()) {
    ssize_t N = send(FFd, Bytes.data(), Bytes.size(), MSG_NOSIGNAL);
    if (N > 0) {
      Bytes.remove_prefix(static_cast<size_t>(N));
      continue;
    }
    if (N < 0 && errno != EAGAIN && errno != EINTR) {
      ADD_FAILURE() << "peer send: " << std::strerror(errno);
      return;
    }
    pollfd P{FFd, POLLOUT, 0};
    poll(&P, 1, 100);
  }
}

std::string TLoopbackPeer::Receive(std::size_t Count, int TimeoutMs) {
  std::string Out;
  auto Deadline = Steady::now() + std::chrono::milliseconds(TimeoutMs);
  while (Out.size() < Count) {
    pollfd P{FFd, POLLIN, 0};
    if (poll(&P, 1, MillisecondsLeft(Deadline)) <= 0)
      break;
    char Buffer[4096];
    ssize_t N = recv(FFd, Buffer, std::min(sizeof Buffer, Count - Out.size()), MSG_DONTWAIT);
    if (N == 0 || (N < 0 && errno != EAGAIN && errno != EINTR))
      break;
    if (N > 0)
      Out.append(Buffer, static_cast<size_t>(N));
  }
  return Out;
}

bool TLoopbackPeer::WaitClosed(int TimeoutMs) {
  auto Deadline = Steady::now() + std::chrono::milliseconds(TimeoutMs);
  for (;;) {
    pollfd P{FFd, POLLIN, 0};
    if (poll(&P, 1, MillisecondsLeft(Deadline)) <= 0)
      return false;
    char Buffer[4096];
    ssize_t N = recv(FFd, Buffer, sizeof Buffer, MSG_DONTWAIT);
    if (N == 0 || (N < 0 && errno != EAGAIN && errno != EINTR))
      return true;
  }
}

void TLoopbackPeer::Close() {
  if (FFd < 0)
    return;
  close(FFd);
  FFd = -1;
}

void TLoopbackPeer::Reset() {
  if (FFd < 0)
    return;
  linger L{1, 0};
  setsockopt(FFd, SOL_SOCKET, SO_LINGER, &L, sizeof L);
  Close();
}

TLoopbackListener::TLoopbackListener(int Backlog) {
  FFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in A = Loopback(0);
  socklen_t Length = sizeof A;
  if (FFd < 0 || bind(FFd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0 ||
      listen(FFd, Backlog) != 0 ||
      getsockname(FFd, reinterpret_cast<sockaddr*>(&A), &Length) != 0) {
    ADD_FAILURE() << "listener: " << std::strerror(errno);
    return;
  }
  FPort = ntohs(A.sin_port);
}

TLoopbackListener::~TLoopbackListener() {
  Close();
}

std::string TLoopbackListener::Address() const {
  return "127.0.0.1:" + std::to_string(FPort);
}

TLoopbackPeer TLoopbackListener::Accept(int TimeoutMs) {
  pollfd P{FFd, POLLIN, 0};
  if (poll(&P, 1, TimeoutMs) <= 0)
    return TLoopbackPeer();
  return TLoopbackPeer(accept4(FFd, nullptr, nullptr, SOCK_CLOEXEC));
}

void TLoopbackListener::Close() {
  if (FFd < 0)
    return;
  close(FFd);
  FFd = -1;
}

TRefusingPort::TRefusingPort() {
  FFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in A = Loopback(0);
  socklen_t Length = sizeof A;
  if (FFd < 0 || bind(FFd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0 ||
      getsockname(FFd, reinterpret_cast<sockaddr*>(&A), &Length) != 0)
    ADD_FAILURE() << "refusing port: " << std::strerror(errno);
  FPort = ntohs(A.sin_port);
}

TRefusingPort::~TRefusingPort() {
  if (FFd >= 0)
    close(FFd);
}

TLoopbackPeer ConnectLoopback(std::uint16_t Port) {
  int Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in A = Loopback(Port);
  if (connect(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0)
    ADD_FAILURE() << "connect: " << std::strerror(errno);
  return TLoopbackPeer(Fd);
}

int OpenDescriptorCount() {
  int N = 0;
  for (const auto& Entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)Entry;
    ++N;
  }
  return N;
}

}  // namespace pelmar::test
