#include "SetupWindow.h"

namespace pelmar {

std::string TSetup::RegistryPath() const {
  return "Software\\PelMar\\ContactID";
}

}  // namespace pelmar
