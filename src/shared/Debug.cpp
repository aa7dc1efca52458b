#include "Debug.h"

#include <atomic>
#include <mutex>

#include "DebugPipe.h"

namespace pelmar {

namespace {

std::atomic<bool> HookSet{false};
std::mutex HookLock;
TDebugLogHook Hook;  // guarded by HookLock

}  // namespace

void DebugLog(const std::string& Msg) {
  if (HookSet.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> Guard(HookLock);
    if (Hook)
      Hook(Msg);
  }
  DebugPipeInstance().Send(Msg);
}

void EnableDebugLog() {
  DebugPipeInstance().SetEnabled(true);
}

void SetDebugLogHook(TDebugLogHook Value) {
  std::lock_guard<std::mutex> Guard(HookLock);
  Hook = std::move(Value);
  HookSet.store(static_cast<bool>(Hook), std::memory_order_release);
}

}  // namespace pelmar
