// Debug-log viewer: listens on the debug pipe of an executable and prints every record as
// local time, process id, thread id and text.
//
//   DebugViewer [--thread TID] [--count N] [EXECUTABLE]
//
// EXECUTABLE is the file name of the program to watch (default PelCIDSvc). With --thread only
// that thread's records are shown; with --count the viewer exits after N records.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "DebugPipe.h"

using namespace pelmar;

namespace {

int Usage() {
  std::fprintf(stderr, "usage: DebugViewer [--thread TID] [--count N] [EXECUTABLE]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string Module = "PelCIDSvc";
  long Thread = -1;
  long Count = -1;
  for (int I = 1; I < argc; ++I) {
    std::string Arg = argv[I];
    if ((Arg == "--thread" || Arg == "--count") && I + 1 < argc) {
      char* End = nullptr;
      long Value = std::strtol(argv[++I], &End, 10);
      if (*End != '\0' || Value < 0)
        return Usage();
      (Arg == "--thread" ? Thread : Count) = Value;
    } else if (!Arg.empty() && Arg[0] != '-') {
      Module = Arg;
    } else {
      return Usage();
    }
  }

  int Fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un Addr{};
  std::string Name = DebugPipePrefix + Module;
  socklen_t Length = DebugPipeAddress(Name, Addr);
  if (Fd < 0 || bind(Fd, reinterpret_cast<sockaddr*>(&Addr), Length) != 0) {
    std::fprintf(stderr, "DebugViewer: cannot listen on %s: %s\n", Name.c_str(),
                 std::strerror(errno));
    return 1;
  }
  std::fprintf(stderr, "DebugViewer: listening on %s\n", Name.c_str());

  std::vector<char> Buffer(256 * 1024);
  for (long Shown = 0; Count < 0 || Shown < Count;) {
    ssize_t N = recv(Fd, Buffer.data(), Buffer.size(), 0);
    if (N < 0) {
      if (errno == EINTR)
        continue;
      std::fprintf(stderr, "DebugViewer: %s\n", std::strerror(errno));
      return 1;
    }
    TDebugRecordHeader Header;
    std::string Text;
    if (!DecodeDebugRecord(Buffer.data(), static_cast<size_t>(N), Header, Text)) {
      std::printf("(malformed record of %zd bytes)\n", N);
      continue;
    }
    if (Thread >= 0 && Header.ThreadId != static_cast<unsigned long>(Thread))
      continue;
    std::printf("%s %6u %6u ", DateTimeToStr(Header.Time).c_str(), Header.ProcessId,
                Header.ThreadId);
    std::fwrite(Text.data(), 1, Text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    ++Shown;
  }
  return 0;
}
