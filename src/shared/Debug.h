// The process-wide debug log. Every diagnostic line goes through DebugLog, which hands it to the
// debug pipe (a local datagram socket a viewer listens on). Nothing is visible unless the log was
// enabled (the DEBUG switch). Safe to call from any thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "Format.h"

namespace pelmar {

void DebugLog(const std::string& Msg);

// Formats printf-style (Format.h), then DebugLog. The text is built even when the log is off.
template <typename... Args>
void DebugLogFmt(std::string_view Fmt, const Args&... Values) {
  DebugLog(Format(Fmt, Values...));
}

// Switches the debug pipe on; called once at start-up when the DEBUG switch is given.
void EnableDebugLog();

// Test seam: Hook receives every message passed to DebugLog, on the calling thread, whether the
// pipe is enabled or not. An empty function removes it.
using TDebugLogHook = std::function<void(const std::string& Msg)>;
void SetDebugLogHook(TDebugLogHook Hook);

}  // namespace pelmar
