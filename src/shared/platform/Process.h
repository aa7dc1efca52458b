// Identity of the running process and thread.
#pragma once

#include <cstdint>
#include <string>

namespace pelmar {

std::uint32_t GetCurrentProcessId();
// The kernel's id of the calling thread (what ps and the journal show).
std::uint32_t GetCurrentThreadId();
// Full path of the running executable; empty if the system does not tell.
std::string GetModuleFileName();
// The part of a path after its last "/", or the whole path without one.
std::string ExtractFileName(const std::string& Path);

}  // namespace pelmar
