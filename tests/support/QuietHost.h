// A service host for tests and benchmarks that run the main module in process: no control
// requests, a stop flag the test sets, and an event log that is dropped.
#pragma once

#include <atomic>
#include <string>

#include "ServiceMain.h"

namespace pelmar::test {

class TQuietHost : public TServiceHostLink {
 public:
  void ServeRequests() override {}
  bool Terminated() const override { return Stop.load(); }
  void LogInfo(const std::string&) override {}
  void LogWarning(const std::string&) override {}
  void LogError(const std::string&) override {}

  std::atomic<bool> Stop{false};
};

}  // namespace pelmar::test
