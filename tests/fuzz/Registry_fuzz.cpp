// Feeds arbitrary bytes to the settings file parser. Bad input must end in ERegistryException,
// never a crash; a file that parses must come back unchanged when written out, and its values
// must survive being written anew in the writer's own form.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "Registry.h"

namespace {

std::vector<pelmar::TRegValue> Values(const pelmar::TRegistryFile& File) {
  std::vector<pelmar::TRegValue> Result;
  for (const std::string& Name : File.Names())
    Result.push_back(*File.Find(Name));
  return Result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  std::string Text(reinterpret_cast<const char*>(Data), Size);
  pelmar::TRegistryFile File;
  try {
    File = pelmar::TRegistryFile::Parse(Text, "fuzz.conf");
  } catch (const pelmar::ERegistryException&) {
    return 0;
  }
  std::vector<pelmar::TRegValue> Before = Values(File);
  try {
    if (Values(pelmar::TRegistryFile::Parse(File.Format(), "fuzz.conf")) != Before)
      std::abort();
    pelmar::TRegistryFile Rewritten = File;
    for (const pelmar::TRegValue& Value : Before)
      Rewritten.Set(Value);
    if (Values(pelmar::TRegistryFile::Parse(Rewritten.Format(), "fuzz.conf")) != Before)
      std::abort();
    if (!Before.empty()) {
      Rewritten.Remove(Before.front().Name);
      if (Rewritten.Find(Before.front().Name) != nullptr ||
          Rewritten.Names().size() + 1 != Before.size())
        std::abort();
    }
  } catch (const pelmar::ERegistryException&) {
    std::abort();  // what was read once must read again
  }
  return 0;
}
