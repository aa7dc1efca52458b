#include "Exception.h"

#include <cstring>

namespace pelmar {

std::string SysErrorMessage(int Err) {
  char Buffer[256];
  // The GNU strerror_r returns the text, which need not be in Buffer.
  const char* Text = strerror_r(Err, Buffer, sizeof Buffer);
  return Text;
}

void RaiseLastOSError(int Err) {
  throw EOSError("System error. Code: " + std::to_string(Err) + ".\r\n" + SysErrorMessage(Err),
                 Err);
}

}  // namespace pelmar
