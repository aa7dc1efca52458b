// Collects the debug-log lines written while it exists.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace pelmar::test {

class TLogCapture {
 public:
  TLogCapture();
  ~TLogCapture();
  TLogCapture(const TLogCapture&) = delete;
  TLogCapture& operator=(const TLogCapture&) = delete;

  std::vector<std::string> Lines() const;
  bool Contains(const std::string& Line) const;
  void Clear();

 private:
  mutable std::mutex FLock;
  std::vector<std::string> FLines;  // guarded by FLock
};

}  // namespace pelmar::test
