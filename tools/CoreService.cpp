// Development Core service: the server that the ContactID service (service number 5) logs in
// to. It serves an installation described in a JSON file, answers the service's commands,
// prints every command and event the service sends in words, and pushes the operator's commands
// and events to the service.
//
//   CoreService [--port N] [--bind ADDR] [--password P] [--control PATH] [--user N]
//               INSTALLATION.json
//
// --port 0 takes a free port. The first line printed is "CoreService: listening on ADDR:PORT".
// Operator commands come from standard input and, with --control, from a Unix socket (one
// command per line; "help" lists them). A bad installation file ends the program with exit
// code 1 and a message naming the file, the line and the field; bad arguments with exit code 2.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "CoreServiceInstallation.h"
#include "CoreServiceServer.h"

using namespace pelmar;
using namespace pelmar::coreservice;

namespace {

TCoreServer* Server = nullptr;

void OnStopSignal(int) {
  if (Server != nullptr)
    Server->RequestStop();
}

int Usage(const char* Problem) {
  if (Problem != nullptr)
    std::fprintf(stderr, "CoreService: %s\n", Problem);
  std::fprintf(stderr,
               "usage: CoreService [--port N] [--bind ADDR] [--password P] [--control PATH] "
               "[--user N] INSTALLATION.json\n");
  return 2;
}

bool Number(const char* Text, long Min, long Max, long& Out) {
  char* End = nullptr;
  Out = std::strtol(Text, &End, 10);
  return *Text != '\0' && *End == '\0' && Out >= Min && Out <= Max;
}

}  // namespace

int main(int argc, char** argv) {
  TServerOptions Options;
  std::string FileName;
  for (int I = 1; I < argc; ++I) {
    std::string Arg = argv[I];
    bool HasValue = I + 1 < argc;
    long Value = 0;
    if (Arg == "--help" || Arg == "-h") {
      Usage(nullptr);
      return 0;
    } else if (Arg == "--port" && HasValue) {
      if (!Number(argv[++I], 0, 65535, Value))
        return Usage("--port wants a number from 0 to 65535");
      Options.Port = static_cast<std::uint16_t>(Value);
    } else if (Arg == "--bind" && HasValue) {
      Options.Bind = argv[++I];
    } else if (Arg == "--password" && HasValue) {
      Options.CheckPassword = true;
      Options.Password = argv[++I];
    } else if (Arg == "--control" && HasValue) {
      Options.ControlPath = argv[++I];
    } else if (Arg == "--user" && HasValue) {
      if (!Number(argv[++I], -2147483647L - 1, 2147483647L, Value))
        return Usage("--user wants a user ID");
      Options.DefaultUser = Value;
    } else if (!Arg.empty() && Arg[0] != '-' && FileName.empty()) {
      FileName = Arg;
    } else {
      return Usage(("unexpected argument " + Arg).c_str());
    }
  }
  if (FileName.empty())
    return Usage("no installation file");

  TInstallation Installation;
  try {
    Installation.LoadFromFile(FileName);
  } catch (const std::exception& E) {
    std::fprintf(stderr, "CoreService: %s\n", E.what());
    return 1;
  }

  TCoreServer Core(Installation, Options);
  try {
    Core.Open();
  } catch (const std::exception& E) {
    std::fprintf(stderr, "CoreService: %s\n", E.what());
    return 1;
  }
  std::signal(SIGPIPE, SIG_IGN);
  Server = &Core;
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);

  std::printf("CoreService: listening on %s:%u\n", Options.Bind.c_str(), Core.Port());
  std::printf("CoreService: %d objects from %s\n", Installation.Objects().Count(),
              FileName.c_str());
  if (!Options.ControlPath.empty())
    std::printf("CoreService: control socket %s\n", Options.ControlPath.c_str());
  std::printf("CoreService: type help for the commands\n");
  std::fflush(stdout);
  int Code = Core.Run();
  Server = nullptr;
  return Code;
}
