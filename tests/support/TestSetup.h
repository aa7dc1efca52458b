// The service's settings object on a registry root of the test's own.
#pragma once

#include <string>
#include <utility>

#include "SetupWindow.h"

namespace pelmar::test {

class TTestSetup : public TSetup {
 public:
  explicit TTestSetup(std::string Root) : FRoot(std::move(Root)) {}
  std::string RegistryRoot() const override { return FRoot; }

 private:
  std::string FRoot;
};

}  // namespace pelmar::test
