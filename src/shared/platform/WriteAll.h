// Writing a whole buffer to a descriptor.
#pragma once

#include <cstddef>
#include <string>

namespace pelmar {

// Writes all Size bytes of Data to Fd, going on after interruptions and short writes; gives up
// silently at the first failure (used for terminals and logs that must never stop the caller).
// Async-signal-safe.
void WriteAll(int Fd, const void* Data, std::size_t Size);
inline void WriteAll(int Fd, const std::string& Text) {
  WriteAll(Fd, Text.data(), Text.size());
}

}  // namespace pelmar
