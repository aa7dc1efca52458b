#include "Process.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace pelmar {

std::uint32_t GetCurrentProcessId() {
  return static_cast<std::uint32_t>(getpid());
}

std::uint32_t GetCurrentThreadId() {
  return static_cast<std::uint32_t>(syscall(SYS_gettid));
}

std::string GetModuleFileName() {
  char Path[4096];
  ssize_t N = readlink("/proc/self/exe", Path, sizeof Path - 1);
  if (N <= 0)
    return {};
  return std::string(Path, static_cast<size_t>(N));
}

std::string ExtractFileName(const std::string& Path) {
  auto Slash = Path.rfind('/');
  return Slash == std::string::npos ? Path : Path.substr(Slash + 1);
}

}  // namespace pelmar
