// The registry with string lists read and written the way the event-log registration expects:
// a missing list is an EExRegistryException carrying the system's error, a value of another
// type the plain registry exception "String list expected".
#pragma once

#include <string>
#include <vector>

#include "Registry.h"

namespace pelmar {

// "Error %d : %s" with the system's text for Code, or "Error %d" when the system has none.
std::string RegistryErrorText(int Code);

// A registry failure with the system error behind it. Its message is RegistryErrorText(Code),
// ": " and the given message.
class EExRegistryException : public ERegistryException {
 public:
  EExRegistryException(int ErrorCode, const std::string& Message)
      : ERegistryException(RegistryErrorText(ErrorCode) + ": " + Message, ErrorCode) {}
  const char* ClassName() const override { return "EExRegistryException"; }
};

class TRegistryEx : public TRegistry {
 public:
  using TRegistry::ReadMultiSz;
  using TRegistry::TRegistry;

  // Clears List, then fills it with the strings of the open key's value Name. A missing value
  // raises EExRegistryException "Unable read MULTI_SZ value"; a value of another type
  // ERegistryException "String list expected".
  void ReadMultiSz(const std::string& Name, std::vector<std::string>& List);
  // Raises EExRegistryException "Unable to write MULTI_SZ value" when the value cannot be
  // written.
  void WriteMultiSz(const std::string& Name, const std::vector<std::string>& List);
};

}  // namespace pelmar
