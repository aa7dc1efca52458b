// PelCIDUnit: prints the systemd unit that "PelCIDSvc /INSTALL" writes, from the same service
// object and the same renderer, so that a package ships exactly that unit. Build-time tool; not
// installed.
//   PelCIDUnit [--exec PATH] [--service-user]
// --exec: the installed executable (default: this program's PelCIDSvc beside it).
// --service-user: the unit of a machine where the service user exists, whether or not this one
// has it (a package creates the user when it is installed).
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "DDWinSvc.h"
#include "NTService.h"
#include "Process.h"

using namespace pelmar;

int main(int argc, char** argv) {
  std::string Executable;
  bool ServiceUser = false;
  for (int I = 1; I < argc; ++I) {
    if (std::strcmp(argv[I], "--exec") == 0 && I + 1 < argc) {
      Executable = argv[++I];
    } else if (std::strcmp(argv[I], "--service-user") == 0) {
      ServiceUser = true;
    } else {
      std::fprintf(stderr, "usage: PelCIDUnit [--exec PATH] [--service-user]\n");
      return 2;
    }
  }
  try {
    TPelCID Service;
    if (Executable.empty()) {
      const std::string Self = GetModuleFileName();
      Executable = Self.substr(0, Self.rfind('/') + 1) + "PelCIDSvc";
    }
    Service.SetImagePath(ServiceCommandLine(Executable));
    if (ServiceUser)
      Service.RunAsServiceUser();
    const std::string Text = RenderUnitFile(ServiceUnitSettings(Service));
    if (std::fwrite(Text.data(), 1, Text.size(), stdout) != Text.size() || std::fflush(stdout) != 0)
      return 1;
  } catch (const std::exception& E) {
    std::fprintf(stderr, "PelCIDUnit: %s\n", E.what());
    return 1;
  }
  return 0;
}
