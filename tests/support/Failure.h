// The message of the Exception a call raises, for tables of expected error texts.
#pragma once

#include <string>

#include "Exception.h"

namespace pelmar::test {

// Runs Call; answers the message of the Exception it raised, or "" when it raised none.
template <typename F>
std::string Failure(F&& Call) {
  try {
    Call();
  } catch (const Exception& E) {
    return E.Message();
  }
  return "";
}

}  // namespace pelmar::test
