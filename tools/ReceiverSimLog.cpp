#include "ReceiverSimLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace pelmar::receiversim {

namespace {

// Writes all of Text, going on after interruptions; a failing log cannot stop the simulation.
void WriteAll(int Fd, const std::string& Text) {
  std::size_t Done = 0;
  while (Done < Text.size()) {
    ssize_t N = write(Fd, Text.data() + Done, Text.size() - Done);
    if (N < 0 && errno == EINTR)
      continue;
    if (N <= 0)
      return;
    Done += static_cast<std::size_t>(N);
  }
}

}  // namespace

TEventLog::~TEventLog() {
  if (FFile >= 0)
    close(FFile);
}

void TEventLog::OpenFile(const std::string& File) {
  int Fd = open(File.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  if (Fd < 0)
    throw std::runtime_error("cannot write " + File + ": " + std::strerror(errno));
  if (FFile >= 0)
    close(FFile);
  FFile = Fd;
}

void TEventLog::Event(const std::string& Name, const std::string& Details) {
  auto Now = std::chrono::system_clock::now();
  auto Ms = std::chrono::duration_cast<std::chrono::milliseconds>(Now.time_since_epoch()).count();
  std::string Rest = Name + (Details.empty() ? "" : " " + Details) + "\n";
  if (FFile >= 0)
    WriteAll(FFile, std::to_string(Ms) + " " + Rest);
  if (!FEcho)
    return;
  std::time_t Seconds = static_cast<std::time_t>(Ms / 1000);
  std::tm Local{};
  localtime_r(&Seconds, &Local);
  char Stamp[32];
  std::snprintf(Stamp, sizeof Stamp, "%02d:%02d:%02d.%03d ", Local.tm_hour, Local.tm_min,
                Local.tm_sec, static_cast<int>(Ms % 1000));
  std::fputs((Stamp + Rest).c_str(), stdout);
  std::fflush(stdout);
}

void TEventLog::Say(const std::string& Text) {
  std::fputs(("ReceiverSim: " + Text + "\n").c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace pelmar::receiversim
