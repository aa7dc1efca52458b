#include "ToolProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace pelmar::test {

using TSteady = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string BuiltToolPath(const std::string& Name) {
  return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / ".." / "tools" / Name)
      .lexically_normal()
      .string();
}

TTempDir::TTempDir() {
  std::string Template = (std::filesystem::temp_directory_path() / "pelmar-test-XXXXXX").string();
  if (mkdtemp(Template.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  FPath = Template;
}

TTempDir::~TTempDir() {
  std::error_code Ignored;
  std::filesystem::remove_all(FPath, Ignored);
}

std::string TTempDir::File(const std::string& Name, const std::string& Content) const {
  std::string Path = (FPath / Name).string();
  if (!Content.empty())
    std::ofstream(Path, std::ios::binary) << Content;
  return Path;
}

TToolProcess::TToolProcess(const std::string& Program, const std::vector<std::string>& Args) {
  std::vector<std::string> All = {Program};
  All.insert(All.end(), Args.begin(), Args.end());
  std::vector<char*> Argv;
  for (std::string& A : All)
    Argv.push_back(A.data());
  Argv.push_back(nullptr);

  int In[2], Out[2], Err[2];
  if (pipe2(In, O_CLOEXEC) != 0 || pipe2(Out, O_CLOEXEC) != 0 || pipe2(Err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe2 failed");
  FPid = fork();
  if (FPid == 0) {
    dup2(In[0], STDIN_FILENO);
    dup2(Out[1], STDOUT_FILENO);
    dup2(Err[1], STDERR_FILENO);
    execv(Argv[0], Argv.data());
    _exit(127);
  }
  close(In[0]);
  close(Out[1]);
  close(Err[1]);
  FStdin = In[1];
  FReader = std::thread([this, OutFd = Out[0], ErrFd = Err[0]] { ReadOutput(OutFd, ErrFd); });
}

TToolProcess::~TToolProcess() {
  if (FStdin >= 0)
    close(FStdin);
  if (!FExited) {
    kill(FPid, SIGTERM);
    if (!Reap(5s)) {
      kill(FPid, SIGKILL);
      Reap(Patience);
    }
  }
  FReader.join();
}

std::string TToolProcess::WaitLine(const std::string& Text) {
  std::unique_lock<std::mutex> Lock(FLock);
  std::string Found;
  FChanged.wait_for(Lock, Patience, [&] {
    for (const std::string& L : FLines)
      if (L.find(Text) != std::string::npos) {
        Found = L;
        return true;
      }
    return FOutputClosed;
  });
  return Found;
}

std::vector<std::string> TToolProcess::Lines() {
  std::lock_guard<std::mutex> Guard(FLock);
  return FLines;
}

std::uint16_t TToolProcess::Port(const std::string& Text) {
  std::string Line = WaitLine(Text);
  std::size_t Colon = Line.rfind(':');
  return Colon == std::string::npos ? 0
                                    : static_cast<std::uint16_t>(std::stoi(Line.substr(Colon + 1)));
}

int TToolProcess::Stop() {
  if (!FExited)
    kill(FPid, SIGTERM);
  return WaitExit();
}

int TToolProcess::WaitExit() {
  if (!FExited && !Reap(Patience))
    return -1;
  // The child's last lines are read before its exit is reported.
  std::unique_lock<std::mutex> Lock(FLock);
  FChanged.wait_for(Lock, Patience, [&] { return FOutputClosed; });
  return FExitCode;
}

std::string TToolProcess::Errors() {
  std::unique_lock<std::mutex> Lock(FLock);
  FChanged.wait_for(Lock, Patience, [&] { return FOutputClosed; });
  return FErrors;
}

bool TToolProcess::WriteStdin(const std::string& Line) {
  std::string Text = Line + "\n";
  return write(FStdin, Text.data(), Text.size()) == static_cast<ssize_t>(Text.size());
}

bool TToolProcess::Reap(std::chrono::milliseconds Wait) {
  for (auto Deadline = TSteady::now() + Wait; TSteady::now() < Deadline;) {
    int Status = 0;
    if (waitpid(FPid, &Status, WNOHANG) == FPid) {
      FExited = true;
      FExitCode = WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
      return true;
    }
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

void TToolProcess::ReadOutput(int OutFd, int ErrFd) {
  std::string Partial;
  pollfd Fds[2] = {{OutFd, POLLIN, 0}, {ErrFd, POLLIN, 0}};
  while (Fds[0].fd >= 0 || Fds[1].fd >= 0) {
    if (poll(Fds, 2, -1) < 0 && errno != EINTR)
      break;
    for (pollfd& P : Fds) {
      if (P.fd < 0 || P.revents == 0)
        continue;
      char Buf[4096];
      ssize_t N = read(P.fd, Buf, sizeof Buf);
      if (N <= 0) {
        close(P.fd);
        P.fd = -1;
        continue;
      }
      std::lock_guard<std::mutex> Guard(FLock);
      if (&P == &Fds[1]) {
        FErrors.append(Buf, static_cast<std::size_t>(N));
        continue;
      }
      Partial.append(Buf, static_cast<std::size_t>(N));
      for (std::size_t End; (End = Partial.find('\n')) != std::string::npos;) {
        FLines.push_back(Partial.substr(0, End));
        Partial.erase(0, End + 1);
      }
    }
    FChanged.notify_all();
  }
  std::lock_guard<std::mutex> Guard(FLock);
  FOutputClosed = true;
  FChanged.notify_all();
}

TControlSocket::TControlSocket(const std::string& Path) {
  FFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un A{};
  A.sun_family = AF_UNIX;
  std::strncpy(A.sun_path, Path.c_str(), sizeof A.sun_path - 1);
  // The socket exists once the tool printed its port; connect at once.
  if (connect(FFd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0)
    throw std::runtime_error("cannot connect to the control socket " + Path);
}

TControlSocket::~TControlSocket() {
  close(FFd);
}

std::vector<std::string> TControlSocket::Command(const std::string& Line) {
  std::string Text = Line + "\n";
  if (send(FFd, Text.data(), Text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(Text.size()))
    return {"error: send failed"};
  std::vector<std::string> Reply;
  for (auto Deadline = TSteady::now() + Patience; TSteady::now() < Deadline;) {
    for (std::size_t End; (End = FIn.find('\n')) != std::string::npos;) {
      Reply.push_back(FIn.substr(0, End));
      FIn.erase(0, End + 1);
      if (Reply.back() == "ok" || Reply.back().rfind("error:", 0) == 0)
        return Reply;
    }
    pollfd P{FFd, POLLIN, 0};
    if (poll(&P, 1, 50) <= 0)
      continue;
    char Buf[4096];
    ssize_t N = recv(FFd, Buf, sizeof Buf, 0);
    if (N <= 0)
      break;
    FIn.append(Buf, static_cast<std::size_t>(N));
  }
  Reply.push_back("error: no complete reply");
  return Reply;
}

}  // namespace pelmar::test
