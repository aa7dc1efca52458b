#include "WriteAll.h"

#include <cerrno>

#include <unistd.h>

namespace pelmar {

void WriteAll(int Fd, const void* Data, std::size_t Size) {
  const char* P = static_cast<const char*>(Data);
  while (Size > 0) {
    ssize_t N = ::write(Fd, P, Size);
    if (N < 0 && errno == EINTR)
      continue;
    if (N <= 0)
      return;
    P += N;
    Size -= static_cast<std::size_t>(N);
  }
}

}  // namespace pelmar
