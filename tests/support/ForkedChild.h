// A piece of the test program run in a forked child, for what must not happen in the test runner
// itself: blocking signals, receiving them, running a program's start-up and tear-down. The child
// calls Body and ends with its result through _exit; its standard output (a pipe, or a
// pseudo-terminal that serves as standard input too) and standard error (a pipe) are collected.
// Every wait is bounded by Patience; the destructor kills and reaps a child still running.
// Free of GoogleTest.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pelmar::test {

class TForkedChild {
 public:
  struct TOptions {
    // Standard input and output on a pseudo-terminal instead of /dev/null and a pipe.
    bool Terminal = false;
  };

  // Forks at once. REQUIRES: the calling process has no other threads that hold locks the child
  // needs (the test runner's own thread only, in practice).
  explicit TForkedChild(std::function<int()> Body);
  TForkedChild(std::function<int()> Body, TOptions Options);
  ~TForkedChild();
  TForkedChild(const TForkedChild&) = delete;
  TForkedChild& operator=(const TForkedChild&) = delete;

  pid_t Pid() const { return FPid; }
  // Waits until the output contains Text; false when it did not come in time.
  bool WaitOutput(const std::string& Text);
  // Waits until standard error contains Text.
  bool WaitErrors(const std::string& Text);
  // The output so far as lines, carriage returns removed.
  std::vector<std::string> Lines();
  std::string Output();
  std::string Errors();
  // Sends Signal to the child.
  void Signal(int Signal);
  // Writes Text to the terminal (Terminal option only).
  void Type(const std::string& Text);
  // Waits for the end and for the output to be read; the exit code, 128 + the signal when it was
  // killed, or -1 when it did not end in time.
  int WaitExit();

 private:
  void Read(int OutFd, int ErrFd);
  bool Reap(bool Block);

  pid_t FPid = -1;
  int FTerminal = -1;  // the master side
  bool FExited = false;
  int FExitCode = -1;
  std::mutex FLock;
  std::condition_variable FChanged;
  std::string FOutput;         // guarded by FLock
  std::string FErrors;         // guarded by FLock
  bool FOutputClosed = false;  // guarded by FLock
  std::thread FReader;
};

}  // namespace pelmar::test
