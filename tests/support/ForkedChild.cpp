#include "ForkedChild.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

#include "ToolProcess.h"

namespace pelmar::test {

using TSteady = std::chrono::steady_clock;
using namespace std::chrono_literals;

TForkedChild::TForkedChild(std::function<int()> Body) : TForkedChild(std::move(Body), {}) {}

TForkedChild::TForkedChild(std::function<int()> Body, TOptions Options) {
  int Out[2] = {-1, -1};
  int Err[2];
  int Slave = -1;
  if (Options.Terminal) {
    if (openpty(&FTerminal, &Slave, nullptr, nullptr, nullptr) != 0)
      throw std::runtime_error("openpty failed");
    fcntl(FTerminal, F_SETFD, FD_CLOEXEC);
  } else if (pipe2(Out, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe2 failed");
  }
  if (pipe2(Err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe2 failed");
  FPid = fork();
  if (FPid < 0)
    throw std::runtime_error("fork failed");
  if (FPid == 0) {
    // No core files from the signals the tests send.
    rlimit NoCore{0, 0};
    setrlimit(RLIMIT_CORE, &NoCore);
    if (Options.Terminal) {
      dup2(Slave, STDIN_FILENO);
      dup2(Slave, STDOUT_FILENO);
    } else {
      int Null = open("/dev/null", O_RDONLY);
      dup2(Null, STDIN_FILENO);
      dup2(Out[1], STDOUT_FILENO);
    }
    dup2(Err[1], STDERR_FILENO);
    int Code = 1;
    try {
      Code = Body();
    } catch (...) {
      Code = 99;
    }
    _exit(Code);
  }
  if (Options.Terminal) {
    close(Slave);
  } else {
    close(Out[1]);
  }
  close(Err[1]);
  FReader = std::thread([this, OutFd = Options.Terminal ? FTerminal : Out[0], ErrFd = Err[0]] {
    Read(OutFd, ErrFd);
  });
}

TForkedChild::~TForkedChild() {
  if (!FExited) {
    kill(FPid, SIGKILL);
    Reap(true);
  }
  FReader.join();
  if (FTerminal >= 0)
    close(FTerminal);
}

bool TForkedChild::WaitOutput(const std::string& Text) {
  std::unique_lock Lock(FLock);
  return FChanged.wait_for(Lock, Patience, [&] {
    return FOutput.find(Text) != std::string::npos || FOutputClosed;
  }) && FOutput.find(Text) != std::string::npos;
}

bool TForkedChild::WaitErrors(const std::string& Text) {
  std::unique_lock Lock(FLock);
  return FChanged.wait_for(Lock, Patience, [&] {
    return FErrors.find(Text) != std::string::npos || FOutputClosed;
  }) && FErrors.find(Text) != std::string::npos;
}

std::vector<std::string> TForkedChild::Lines() {
  std::string Text = Output();
  std::vector<std::string> Lines;
  std::string Line;
  for (char C : Text) {
    if (C == '\r')
      continue;
    if (C == '\n') {
      Lines.push_back(Line);
      Line.clear();
    } else {
      Line += C;
    }
  }
  if (!Line.empty())
    Lines.push_back(Line);
  return Lines;
}

std::string TForkedChild::Output() {
  std::lock_guard Guard(FLock);
  return FOutput;
}

std::string TForkedChild::Errors() {
  std::lock_guard Guard(FLock);
  return FErrors;
}

void TForkedChild::Signal(int Signal) {
  if (!FExited)
    kill(FPid, Signal);
}

void TForkedChild::Type(const std::string& Text) {
  if (FTerminal >= 0 && write(FTerminal, Text.data(), Text.size()) < 0) {
    // The child may have gone; WaitExit tells.
  }
}

int TForkedChild::WaitExit() {
  if (!FExited && !Reap(false))
    return -1;
  std::unique_lock Lock(FLock);
  FChanged.wait_for(Lock, Patience, [&] { return FOutputClosed; });
  return FExitCode;
}

bool TForkedChild::Reap(bool Block) {
  for (auto Deadline = TSteady::now() + Patience; Block || TSteady::now() < Deadline;) {
    int Status = 0;
    pid_t Done = waitpid(FPid, &Status, Block ? 0 : WNOHANG);
    if (Done == FPid) {
      FExited = true;
      FExitCode = WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
      return true;
    }
    if (Done < 0 && errno != EINTR)
      return false;
    std::this_thread::sleep_for(2ms);
  }
  return false;
}

void TForkedChild::Read(int OutFd, int ErrFd) {
  pollfd Fds[2] = {{OutFd, POLLIN, 0}, {ErrFd, POLLIN, 0}};
  while (Fds[0].fd >= 0 || Fds[1].fd >= 0) {
    if (poll(Fds, 2, -1) < 0) {
      if (errno == EINTR)
        continue;
      break;
    }
    for (int I = 0; I < 2; ++I) {
      pollfd& P = Fds[I];
      if (P.fd < 0 || P.revents == 0)
        continue;
      char Buf[4096];
      ssize_t N = read(P.fd, Buf, sizeof Buf);
      if (N < 0 && errno == EINTR)
        continue;
      if (N <= 0) {
        // A terminal whose last slave closed answers EIO: the child has gone.
        if (P.fd != FTerminal)
          close(P.fd);
        P.fd = -1;
        continue;
      }
      std::lock_guard Guard(FLock);
      (I == 0 ? FOutput : FErrors).append(Buf, static_cast<std::size_t>(N));
    }
    FChanged.notify_all();
  }
  std::lock_guard Guard(FLock);
  FOutputClosed = true;
  FChanged.notify_all();
}

}  // namespace pelmar::test
