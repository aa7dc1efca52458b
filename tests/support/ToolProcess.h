// Programs of the project run as child processes by the tests: a temporary directory, the child
// with its output collected line by line, and the line-based control socket the development
// tools offer. Every wait is bounded in real time (Patience); a wait that expires gives an empty
// or failing answer instead of hanging. Free of GoogleTest.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pelmar::test {

// Real time allowed for anything a child or a connection must do.
inline constexpr std::chrono::seconds Patience{20};

// The path of a program built into the build tree's tools/ (tests run from build/tests).
std::string BuiltToolPath(const std::string& Name);

// A directory of its own under the system's temporary directory, removed with its content.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  // The path of Name in the directory; the file is written when Content is not empty.
  std::string File(const std::string& Name, const std::string& Content = "") const;

 private:
  std::filesystem::path FPath;
};

// A program as a child process, its standard output (by lines) and error collected by a reader
// thread. The destructor ends the child (SIGTERM, then SIGKILL when it does not go) and reaps it.
class TToolProcess {
 public:
  // Program is a path; Args follow it.
  TToolProcess(const std::string& Program, const std::vector<std::string>& Args);
  ~TToolProcess();
  TToolProcess(const TToolProcess&) = delete;
  TToolProcess& operator=(const TToolProcess&) = delete;

  pid_t Pid() const { return FPid; }
  // The first output line that contains Text, waiting for it; "" when none came.
  std::string WaitLine(const std::string& Text);
  // Every output line so far.
  std::vector<std::string> Lines();
  // The number after the last ':' of the first line containing Text ("... on 127.0.0.1:PORT").
  std::uint16_t Port(const std::string& Text);
  // SIGTERM, as an operator's Ctrl+C; the exit code, or -1 when it did not end in time.
  int Stop();
  // Waits for the child to end and its output to be read; its exit code (128 + signal when
  // killed), or -1 on expiry.
  int WaitExit();
  // Standard error once the child closed it.
  std::string Errors();
  // Writes Line and a line feed to the child's standard input; false when that failed.
  bool WriteStdin(const std::string& Line);

 private:
  bool Reap(std::chrono::milliseconds Wait);
  void ReadOutput(int OutFd, int ErrFd);

  pid_t FPid = -1;
  int FStdin = -1;
  bool FExited = false;
  int FExitCode = -1;
  std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<std::string> FLines;  // guarded by FLock
  std::string FErrors;              // guarded by FLock
  bool FOutputClosed = false;       // guarded by FLock
  std::thread FReader;
};

// A connection to a tool's control socket: a command per line, answered by lines that end with
// "ok" or "error: TEXT".
class TControlSocket {
 public:
  // Raises std::runtime_error when the socket cannot be reached.
  explicit TControlSocket(const std::string& Path);
  ~TControlSocket();
  TControlSocket(const TControlSocket&) = delete;
  TControlSocket& operator=(const TControlSocket&) = delete;

  // Sends Line; the reply lines up to and including the final "ok" or "error: ...".
  std::vector<std::string> Command(const std::string& Line);
  // The last reply line of Line.
  std::string Last(const std::string& Line) { return Command(Line).back(); }

 private:
  int FFd = -1;
  std::string FIn;
};

}  // namespace pelmar::test
