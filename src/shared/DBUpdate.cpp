#include "DBUpdate.h"

#include <cmath>
#include <cstring>

#include "Exception.h"
#include "Format.h"

namespace pelmar {

namespace {

template <typename T>
int Compare(const T& A, const T& B) {
  return A < B ? -1 : (B < A ? 1 : 0);
}

// Reads the stored script list with every length checked against the bytes that are there.
class TScriptReader {
 public:
  TScriptReader(const std::uint8_t* Data, std::size_t Size) : FData(Data), FSize(Size) {}

  std::int32_t ReadInteger() {
    std::int32_t Value;
    Read(&Value, sizeof Value);
    return Value;
  }
  double ReadDouble() {
    double Value;
    Read(&Value, sizeof Value);
    return Value;
  }
  std::string ReadText() {
    std::int32_t Length = ReadInteger();
    if (Length < 0)
      throw EStreamError(Format("Invalid update script list: negative text length %d", Length));
    if (static_cast<std::size_t>(Length) > FSize - FPos)
      throw EStreamError(
          Format("Invalid update script list: text of %d bytes at offset %u "
                 "exceeds the data",
                 Length, static_cast<unsigned>(FPos)));
    std::string Text(reinterpret_cast<const char*>(FData + FPos), static_cast<std::size_t>(Length));
    FPos += static_cast<std::size_t>(Length);
    return Text;
  }
  TVersion ReadVersion(std::uint8_t Kind) {
    TVersion V;
    V.Text = ReadText();
    V.Number = ReadInteger();
    V.Date = ReadDouble();
    V.Kind = Kind;
    return V;
  }
  std::size_t Left() const { return FSize - FPos; }

 private:
  void Read(void* Target, std::size_t Count) {
    if (Count > FSize - FPos)
      throw EStreamError(Format("Invalid update script list: %u bytes missing at offset %u",
                                static_cast<unsigned>(Count - (FSize - FPos)),
                                static_cast<unsigned>(FPos)));
    std::memcpy(Target, FData + FPos, Count);
    FPos += Count;
  }

  const std::uint8_t* FData;
  std::size_t FSize;
  std::size_t FPos = 0;
};

std::vector<std::string> SplitLines(const std::string& Text) {
  std::vector<std::string> Lines;
  std::size_t Start = 0;
  while (Start < Text.size()) {
    std::size_t End = Text.find("\r\n", Start);
    if (End == std::string::npos) {
      Lines.push_back(Text.substr(Start));
      break;
    }
    Lines.push_back(Text.substr(Start, End - Start));
    Start = End + 2;
  }
  return Lines;
}

}  // namespace

std::int8_t TCustomDBUpdate::CompareVersions(const TVersion& A, const TVersion& B) {
  if (A.Kind != B.Kind)
    throw Exception(Format("Cannot compare versions of kinds %u and %u", A.Kind, B.Kind));
  switch (A.Kind) {
    case vkDate:
      // Whole days, truncated towards zero: the time of day does not count.
      return static_cast<std::int8_t>(Compare(std::trunc(A.Date), std::trunc(B.Date)));
    case vkNumber:
      return static_cast<std::int8_t>(Compare(A.Number, B.Number));
    default:
      return static_cast<std::int8_t>(Compare(A.Text, B.Text));
  }
}

std::int8_t TCustomDBUpdate::CompareWithDatabase() {
  GetCurrentVersion();
  return CompareVersions(FLastKnownVersion, FCurrentVersion);
}

void TCustomDBUpdate::ReadScripts(const std::uint8_t* Data, std::size_t Size) {
  TScriptReader Reader(Data, Size);
  std::int32_t Marker = Reader.ReadInteger();
  if (Marker != -1)
    throw EStreamError(Format("Invalid update script list: marker %d", Marker));
  std::int32_t Count = Reader.ReadInteger();
  // A script takes at least 3 texts, 2 numbers and 2 dates: 40 bytes.
  if (Count < 0 || static_cast<std::size_t>(Count) > Reader.Left() / 40)
    throw EStreamError(Format("Invalid update script list: count %d", Count));
  TUpdateScriptList Scripts;
  const std::uint8_t Kind = ScriptVersionKind();
  for (std::int32_t I = 0; I < Count; ++I) {
    TUpdateScript Script;
    Script.FromVersion = Reader.ReadVersion(Kind);
    Script.ToVersion = Reader.ReadVersion(Kind);
    Script.Script = SplitLines(Reader.ReadText());
    Scripts.push_back(std::move(Script));
  }
  FUpdateScripts = std::move(Scripts);
}

void TDBUpdateDate::SetLastKnownDBVersion(TDateTime Value) {
  FLastKnownVersion.Date = Value;
  FLastKnownVersion.Kind = vkDate;
}

void TDBUpdateDate::GetCurrentVersion() {
  FCurrentVersion = TVersion{};
  FCurrentVersion.Kind = vkDate;
  if (!OnCheckVersion)
    throw Exception("OnGetVersion event not assigned!");
  OnCheckVersion(FCurrentVersion.Date);
  if (FCurrentVersion.Date == 0)
    throw Exception("CurrentVersion not assigned!");
}

}  // namespace pelmar
