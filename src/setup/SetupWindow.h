// The settings of the ContactID service: TCustomSetup bound to the service's registry key.
// The service module belongs to the service host: the program entry binds the install state and
// the install action (InstalledQuery, InstallAction) to it.
#pragma once

#include <string>

#include "ServiceSetup.h"

namespace pelmar {

class TSetup : public TCustomSetup {
 public:
  using TCustomSetup::TCustomSetup;

  std::string RegistryPath() const override;
};

}  // namespace pelmar
