// The settings of the ContactID service: TCustomSetup bound to the service's registry key.
// The service module and the setup form's entry point (ServiceModule, ShowSetup) belong to the
// service host and the console menu and are added with them.
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
