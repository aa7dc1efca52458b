#include "LogCapture.h"

#include <algorithm>

#include "Debug.h"

namespace pelmar::test {

TLogCapture::TLogCapture() {
  SetDebugLogHook([this](const std::string& Msg) {
    std::lock_guard<std::mutex> Guard(FLock);
    FLines.push_back(Msg);
  });
}

TLogCapture::~TLogCapture() {
  SetDebugLogHook(nullptr);
}

std::vector<std::string> TLogCapture::Lines() const {
  std::lock_guard<std::mutex> Guard(FLock);
  return FLines;
}

bool TLogCapture::Contains(const std::string& Line) const {
  std::lock_guard<std::mutex> Guard(FLock);
  return std::find(FLines.begin(), FLines.end(), Line) != FLines.end();
}

void TLogCapture::Clear() {
  std::lock_guard<std::mutex> Guard(FLock);
  FLines.clear();
}

}  // namespace pelmar::test
