#include "DDRegistryEx.h"

#include <cerrno>

namespace pelmar {

std::string RegistryErrorText(int Code) {
  std::string Text = SysErrorMessage(Code);
  // strerror names codes it does not know "Unknown error N": that is no text.
  if (Text.empty() || Text.rfind("Unknown error", 0) == 0)
    return "Error " + std::to_string(Code);
  return "Error " + std::to_string(Code) + " : " + Text;
}

void TRegistryEx::ReadMultiSz(const std::string& Name, std::vector<std::string>& List) {
  List.clear();
  if (!ValueExists(Name))
    throw EExRegistryException(ENOENT, "Unable read MULTI_SZ value");
  if (GetDataType(Name) != TRegDataType::rdMultiSz)
    throw ERegistryException("String list expected");
  List = TRegistry::ReadMultiSz(Name);
}

void TRegistryEx::WriteMultiSz(const std::string& Name, const std::vector<std::string>& List) {
  try {
    TRegistry::WriteMultiSz(Name, List);
  } catch (const ERegistryException& E) {
    throw EExRegistryException(E.ErrorCode() != 0 ? E.ErrorCode() : EIO,
                               "Unable to write MULTI_SZ value");
  }
}

}  // namespace pelmar
