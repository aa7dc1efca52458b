#include "Registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>

namespace pelmar {

namespace {

const char* const ValuesFile = "values.conf";
// Far beyond any settings file; a larger one is refused before it is read.
constexpr std::size_t MaxFileSize = 4 * 1024 * 1024;
// How much of an offending line a message shows.
constexpr std::size_t MaxShownLine = 200;

char LowerAscii(char C) {
  return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C;
}

std::string Lower(const std::string& S) {
  std::string Result = S;
  for (char& C : Result)
    C = LowerAscii(C);
  return Result;
}

bool SameName(const std::string& A, const std::string& B) {
  return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), [](char X, char Y) {
           return LowerAscii(X) == LowerAscii(Y);
         });
}

bool IsControl(char C) {
  auto U = static_cast<unsigned char>(C);
  return U < 0x20 || U == 0x7F;
}

bool IsBlank(char C) {
  return C == ' ' || C == '\t';
}

std::string Hex2(unsigned char U) {
  const char* Digits = "0123456789ABCDEF";
  return {Digits[U >> 4], Digits[U & 15]};
}

// Line for a message: control characters as \xHH, cut when very long.
std::string Shown(const std::string& Line) {
  std::string Result;
  for (std::size_t I = 0; I < Line.size() && I < MaxShownLine; ++I) {
    if (IsControl(Line[I]) && Line[I] != '\t')
      Result += "\\x" + Hex2(static_cast<unsigned char>(Line[I]));
    else
      Result += Line[I];
  }
  if (Line.size() > MaxShownLine)
    Result += "...";
  return Result;
}

std::string Quote(const std::string& S) {
  std::string Result = "\"";
  for (char C : S) {
    switch (C) {
      case '\\':
        Result += "\\\\";
        break;
      case '"':
        Result += "\\\"";
        break;
      case '\n':
        Result += "\\n";
        break;
      case '\r':
        Result += "\\r";
        break;
      case '\t':
        Result += "\\t";
        break;
      default:
        if (IsControl(C))
          Result += "\\x" + Hex2(static_cast<unsigned char>(C));
        else
          Result += C;
    }
  }
  return Result + "\"";
}

bool NameNeedsQuotes(const std::string& Name) {
  if (Name.empty() || IsBlank(Name.front()) || IsBlank(Name.back()) || Name.front() == '#' ||
      Name.front() == ';')
    return true;
  return std::any_of(Name.begin(), Name.end(),
                     [](char C) { return C == '=' || C == '"' || C == '\\' || IsControl(C); });
}

const char* TypeWord(TRegDataType Type) {
  switch (Type) {
    case TRegDataType::rdString:
      return "string";
    case TRegDataType::rdExpandString:
      return "expand";
    case TRegDataType::rdInteger:
      return "dword";
    case TRegDataType::rdMultiSz:
      return "multi";
    case TRegDataType::rdUnknown:
      break;
  }
  return "unknown";
}

// A reason why a line is not well-formed; Parse adds the file, line number and text.
struct TLineError {
  std::string Reason;
};

// Reads one value line.
class TLineParser {
 public:
  explicit TLineParser(const std::string& Line) : FLine(Line) {}

  TRegValue Value() {
    TRegValue Result;
    SkipBlanks();
    if (Peek() == '"') {
      Result.Name = QuotedText();
      SkipBlanks();
      if (Peek() != '=')
        throw TLineError{"'=' expected after the value name"};
    } else {
      std::size_t Equals = FLine.find('=', FPos);
      if (Equals == std::string::npos)
        throw TLineError{"'=' expected after the value name"};
      std::size_t End = Equals;
      while (End > FPos && IsBlank(FLine[End - 1]))
        --End;
      Result.Name = FLine.substr(FPos, End - FPos);
      if (Result.Name.empty())
        throw TLineError{"value name expected before '='"};
      if (Result.Name.find('"') != std::string::npos)
        throw TLineError{"a name with '\"' must be quoted as a whole"};
      FPos = Equals;
    }
    ++FPos;  // '='
    SkipBlanks();
    std::size_t Start = FPos;
    while (FPos < FLine.size() && ((FLine[FPos] >= 'a' && FLine[FPos] <= 'z') ||
                                   (FLine[FPos] >= 'A' && FLine[FPos] <= 'Z')))
      ++FPos;
    std::string Type = Lower(FLine.substr(Start, FPos - Start));
    if (Type.empty())
      throw TLineError{"type expected after '=' (string, expand, dword or multi)"};
    if (Type == "string" || Type == "expand") {
      Result.DataType = Type == "string" ? TRegDataType::rdString : TRegDataType::rdExpandString;
      SkipBlanks();
      if (Peek() != '"')
        throw TLineError{"quoted text expected after \"" + Type + "\""};
      Result.Text = QuotedText();
    } else if (Type == "dword") {
      Result.DataType = TRegDataType::rdInteger;
      SkipBlanks();
      Start = FPos;
      while (FPos < FLine.size() && !IsBlank(FLine[FPos]))
        ++FPos;
      Result.Number = Number(FLine.substr(Start, FPos - Start));
    } else if (Type == "multi") {
      Result.DataType = TRegDataType::rdMultiSz;
      for (SkipBlanks(); FPos < FLine.size(); SkipBlanks()) {
        if (Peek() != '"')
          throw TLineError{"quoted text expected in the list, not \"" + FLine.substr(FPos) + "\""};
        Result.List.push_back(QuotedText());
      }
    } else {
      throw TLineError{"unknown type \"" + FLine.substr(Start, FPos - Start) +
                       "\" (string, expand, dword or multi expected)"};
    }
    SkipBlanks();
    if (FPos < FLine.size())
      throw TLineError{"unexpected text after the value: \"" + FLine.substr(FPos) + "\""};
    return Result;
  }

 private:
  char Peek() const { return FPos < FLine.size() ? FLine[FPos] : '\0'; }

  void SkipBlanks() {
    while (FPos < FLine.size() && IsBlank(FLine[FPos]))
      ++FPos;
  }

  static int HexDigit(char C) {
    if (C >= '0' && C <= '9')
      return C - '0';
    C = LowerAscii(C);
    if (C >= 'a' && C <= 'f')
      return C - 'a' + 10;
    return -1;
  }

  // FPos is at the opening quote.
  std::string QuotedText() {
    std::string Result;
    ++FPos;
    for (;;) {
      if (FPos >= FLine.size())
        throw TLineError{"quoted text without its closing '\"'"};
      char C = FLine[FPos++];
      if (C == '"')
        return Result;
      if (C != '\\') {
        Result += C;
        continue;
      }
      char E = Peek();
      ++FPos;
      switch (E) {
        case '\\':
        case '"':
          Result += E;
          break;
        case 'n':
          Result += '\n';
          break;
        case 'r':
          Result += '\r';
          break;
        case 't':
          Result += '\t';
          break;
        case 'x': {
          int High = FPos < FLine.size() ? HexDigit(FLine[FPos]) : -1;
          int Low = FPos + 1 < FLine.size() ? HexDigit(FLine[FPos + 1]) : -1;
          if (High < 0 || Low < 0)
            throw TLineError{"\\x must be followed by two hexadecimal digits"};
          Result += static_cast<char>(High * 16 + Low);
          FPos += 2;
          break;
        }
        case '\0':
          throw TLineError{"quoted text without its closing '\"'"};
        default:
          throw TLineError{std::string("unknown escape \"\\") + E + "\""};
      }
    }
  }

  static std::int32_t Number(const std::string& Token) {
    auto Invalid = [&] { return TLineError{"invalid number \"" + Token + "\""}; };
    auto OutOfRange = [&] {
      return TLineError{"number \"" + Token + "\" out of the range of a 32-bit number"};
    };
    if (Token.size() > 2 && Token[0] == '0' && LowerAscii(Token[1]) == 'x') {
      std::uint64_t Value = 0;
      for (std::size_t I = 2; I < Token.size(); ++I) {
        int D = HexDigit(Token[I]);
        if (D < 0)
          throw Invalid();
        Value = Value * 16 + static_cast<std::uint64_t>(D);
        if (Value > 0xFFFFFFFFu)
          throw OutOfRange();
      }
      return static_cast<std::int32_t>(static_cast<std::uint32_t>(Value));
    }
    bool Negative = !Token.empty() && Token[0] == '-';
    std::size_t First = Negative ? 1 : 0;
    if (Token.size() == First)
      throw Token.empty() ? TLineError{"number expected after \"dword\""} : Invalid();
    std::uint64_t Value = 0;
    for (std::size_t I = First; I < Token.size(); ++I) {
      if (Token[I] < '0' || Token[I] > '9')
        throw Invalid();
      Value = Value * 10 + static_cast<std::uint64_t>(Token[I] - '0');
      if (Value > (Negative ? 0x80000000u : 0xFFFFFFFFu))
        throw OutOfRange();
    }
    if (Negative)
      return static_cast<std::int32_t>(-static_cast<std::int64_t>(Value));
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(Value));
  }

  const std::string& FLine;
  std::size_t FPos = 0;
};

bool ValidKeyName(const std::string& Name) {
  if (Name.empty() || Name == "." || Name == ".." || Name.find('/') != std::string::npos ||
      Name.find('\0') != std::string::npos)
    return false;
  std::string L = Lower(Name);
  std::string Reserved = ValuesFile;
  return L != Reserved && L.compare(0, Reserved.size() + 1, Reserved + ".") != 0;
}

bool IsDirectory(const std::string& Path) {
  struct stat St;
  return stat(Path.c_str(), &St) == 0 && S_ISDIR(St.st_mode);
}

// Closes a descriptor when it goes out of scope.
class TFd {
 public:
  explicit TFd(int Fd) : FFd(Fd) {}
  ~TFd() {
    if (FFd >= 0)
      close(FFd);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return FFd; }
  // Closes now; the errno of a failed close, else 0.
  int Close() {
    int Result = close(FFd) == 0 ? 0 : errno;
    FFd = -1;
    return Result;
  }

 private:
  int FFd;
};

void SyncDirectory(const std::string& Path) {
  TFd Dir(open(Path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (Dir.Get() >= 0)
    fsync(Dir.Get());
}

// The subkey directory of Directory that is called Name: the exact spelling first, else the
// first in sorted order that differs only in letter case. "" when there is none; errno tells
// why when the directory could not be read.
std::string FindSubkey(const std::string& Directory, const std::string& Name) {
  DIR* D = opendir(Directory.c_str());
  if (D == nullptr)
    return {};
  std::vector<std::string> Matches;
  while (dirent* E = readdir(D)) {
    std::string Entry = E->d_name;
    if (!ValidKeyName(Entry) || !SameName(Entry, Name))
      continue;
    if (!IsDirectory(Directory + "/" + Entry))
      continue;
    if (Entry == Name) {
      closedir(D);
      return Entry;
    }
    Matches.push_back(Entry);
  }
  closedir(D);
  std::sort(Matches.begin(), Matches.end());
  errno = ENOENT;
  return Matches.empty() ? std::string() : Matches.front();
}

}  // namespace

// --- TRegistryFile

TRegistryFile TRegistryFile::Parse(const std::string& Text, const std::string& FileName) {
  if (Text.size() > MaxFileSize)
    throw ERegistryException(FileName + ": larger than " + std::to_string(MaxFileSize) + " bytes");
  TRegistryFile Result;
  std::map<std::string, int> Seen;  // lower-case name -> line number
  std::size_t Start = 0;
  int LineNumber = 0;
  while (Start < Text.size()) {
    std::size_t End = Text.find('\n', Start);
    if (End == std::string::npos)
      End = Text.size();
    std::string Line = Text.substr(Start, End - Start);
    Start = End + 1;
    ++LineNumber;
    if (!Line.empty() && Line.back() == '\r')
      Line.pop_back();
    try {
      for (char C : Line)
        if (IsControl(C) && C != '\t')
          throw TLineError{"control character 0x" + Hex2(static_cast<unsigned char>(C))};
      std::size_t First = Line.find_first_not_of(" \t");
      if (First == std::string::npos || Line[First] == '#' || Line[First] == ';') {
        Result.FLines.push_back({Line, -1});
        continue;
      }
      TRegValue Value = TLineParser(Line).Value();
      auto [It, New] = Seen.emplace(Lower(Value.Name), LineNumber);
      if (!New)
        throw TLineError{"value \"" + Value.Name + "\" already given on line " +
                         std::to_string(It->second)};
      Result.FLines.push_back({Line, static_cast<int>(Result.FValues.size())});
      Result.FValues.push_back(std::move(Value));
    } catch (const TLineError& E) {
      throw ERegistryException(FileName + ":" + std::to_string(LineNumber) + ": " + E.Reason +
                               ": " + Shown(Line));
    }
  }
  return Result;
}

std::string TRegistryFile::Format() const {
  std::string Result;
  for (const TLine& Line : FLines)
    Result += Line.Text + "\n";
  return Result;
}

std::string TRegistryFile::FormatValue(const TRegValue& Value) {
  std::string Result = NameNeedsQuotes(Value.Name) ? Quote(Value.Name) : Value.Name;
  Result += " = ";
  Result += TypeWord(Value.DataType);
  switch (Value.DataType) {
    case TRegDataType::rdString:
    case TRegDataType::rdExpandString:
      Result += " " + Quote(Value.Text);
      break;
    case TRegDataType::rdInteger:
      Result += " " + std::to_string(Value.Number);
      break;
    case TRegDataType::rdMultiSz:
      for (const std::string& S : Value.List)
        Result += " " + Quote(S);
      break;
    case TRegDataType::rdUnknown:
      break;
  }
  return Result;
}

const TRegValue* TRegistryFile::Find(const std::string& Name) const {
  for (const TRegValue& V : FValues)
    if (SameName(V.Name, Name))
      return &V;
  return nullptr;
}

void TRegistryFile::Set(const TRegValue& Value) {
  for (std::size_t I = 0; I < FValues.size(); ++I) {
    if (!SameName(FValues[I].Name, Value.Name))
      continue;
    TRegValue Stored = Value;
    Stored.Name = FValues[I].Name;
    for (TLine& Line : FLines)
      if (Line.Value == static_cast<int>(I))
        Line.Text = FormatValue(Stored);
    FValues[I] = std::move(Stored);
    return;
  }
  FLines.push_back({FormatValue(Value), static_cast<int>(FValues.size())});
  FValues.push_back(Value);
}

bool TRegistryFile::Remove(const std::string& Name) {
  for (std::size_t I = 0; I < FValues.size(); ++I) {
    if (!SameName(FValues[I].Name, Name))
      continue;
    int Index = static_cast<int>(I);
    std::erase_if(FLines, [Index](const TLine& L) { return L.Value == Index; });
    for (TLine& Line : FLines)
      if (Line.Value > Index)
        --Line.Value;
    FValues.erase(FValues.begin() + Index);
    return true;
  }
  return false;
}

std::vector<std::string> TRegistryFile::Names() const {
  std::vector<std::string> Result;
  for (const TRegValue& V : FValues)
    Result.push_back(V.Name);
  return Result;
}

bool TRegistryFile::HoldsPassword() const {
  return std::any_of(FValues.begin(), FValues.end(), [](const TRegValue& V) {
    return Lower(V.Name).find("password") != std::string::npos;
  });
}

// --- TRegistry

TRegistry::TRegistry() : FRoot(DefaultRoot()) {}

TRegistry::TRegistry(std::string RootDirectory) : FRoot(std::move(RootDirectory)) {}

std::string TRegistry::DefaultRoot() {
  const char* Dir = std::getenv("PELMAR_SETTINGS_DIR");
  return Dir != nullptr && *Dir != '\0' ? Dir : "/etc/pelmar";
}

bool TRegistry::Resolve(const std::string& Key, bool CanCreate, std::string& Directory,
                        std::string& Path) {
  auto Fail = [this](int Err) {
    FLastError = Err;
    errno = Err;
    return false;
  };
  std::vector<std::string> Names;
  for (std::size_t Start = 0; Start <= Key.size();) {
    std::size_t End = std::min(Key.find('\\', Start), Key.size());
    if (End > Start)
      Names.push_back(Key.substr(Start, End - Start));
    Start = End + 1;
  }
  for (const std::string& Name : Names)
    if (!ValidKeyName(Name))
      return Fail(EINVAL);

  if (FRoot.empty())
    return Fail(ENOENT);
  struct stat St;
  if (stat(FRoot.c_str(), &St) != 0) {
    if (errno != ENOENT || !CanCreate)
      return Fail(errno);
    std::error_code Error;
    std::filesystem::create_directories(FRoot, Error);
    if (Error)
      return Fail(Error.value());
  } else if (!S_ISDIR(St.st_mode)) {
    return Fail(ENOTDIR);
  }

  Directory = FRoot;
  Path.clear();
  for (const std::string& Name : Names) {
    errno = 0;
    std::string Found = FindSubkey(Directory, Name);
    if (Found.empty()) {
      if (errno != ENOENT || !CanCreate)
        return Fail(errno != 0 ? errno : ENOENT);
      if (mkdir((Directory + "/" + Name).c_str(), 0755) == 0) {
        SyncDirectory(Directory);
        Found = Name;
      } else if (errno == EEXIST && IsDirectory(Directory + "/" + Name)) {
        Found = Name;  // made by someone else just now
      } else {
        return Fail(errno);
      }
    }
    Directory += "/" + Found;
    Path += (Path.empty() ? "" : "\\") + Found;
  }
  return true;
}

bool TRegistry::Open(const std::string& Key, bool CanCreate, bool ReadOnly) {
  std::string Directory, Path;
  if (!Resolve(Key, CanCreate, Directory, Path))
    return false;
  FOpen = true;
  FReadOnly = ReadOnly;
  FDirectory = std::move(Directory);
  FPath = std::move(Path);
  return true;
}

bool TRegistry::OpenKey(const std::string& Key, bool CanCreate) {
  return Open(Key, CanCreate, false);
}

bool TRegistry::OpenKeyReadOnly(const std::string& Key) {
  return Open(Key, false, true);
}

void TRegistry::CloseKey() {
  FOpen = false;
  FReadOnly = false;
  FDirectory.clear();
  FPath.clear();
}

bool TRegistry::KeyExists(const std::string& Key) {
  std::string Directory, Path;
  return Resolve(Key, false, Directory, Path);
}

bool TRegistry::DeleteKey(const std::string& Key) {
  std::string Directory, Path;
  if (!Resolve(Key, false, Directory, Path))
    return false;
  if (Path.empty()) {
    FLastError = errno = EINVAL;
    return false;
  }
  // Renamed out of sight first, so that a crash while removing the tree never leaves half a key
  // behind; a reserved name is never taken for a key.
  std::string Parent = Directory.substr(0, Directory.rfind('/'));
  std::string Trash = Parent + "/" + ValuesFile + ".deleted.XXXXXX";
  if (mkdtemp(Trash.data()) == nullptr || rename(Directory.c_str(), Trash.c_str()) != 0) {
    FLastError = errno;
    rmdir(Trash.c_str());
    errno = FLastError;
    return false;
  }
  SyncDirectory(Parent);
  std::error_code Ignored;
  std::filesystem::remove_all(Trash, Ignored);
  if (FOpen && (FDirectory == Directory || FDirectory.starts_with(Directory + "/")))
    CloseKey();
  return true;
}

std::string TRegistry::CurrentPath() const {
  return FPath;
}

std::string TRegistry::ValuesFileName() const {
  return FOpen ? FDirectory + "/" + ValuesFile : std::string();
}

std::string TRegistry::Where() const {
  return (FPath.empty() ? std::string("\\") : FPath) + " (" + ValuesFileName() + ")";
}

TRegistryFile TRegistry::Load() const {
  std::string FileName = ValuesFileName();
  TFd Fd(open(FileName.c_str(), O_RDONLY | O_CLOEXEC));
  if (Fd.Get() < 0) {
    if (errno == ENOENT)
      return {};
    int OpenErr = errno;
    throw ERegistryException("Cannot read " + FileName + ": " + SysErrorMessage(OpenErr), OpenErr);
  }
  struct stat St {};
  int Err = fstat(Fd.Get(), &St) != 0 ? errno
            : S_ISDIR(St.st_mode)     ? EISDIR
            : !S_ISREG(St.st_mode)    ? EINVAL
                                      : 0;
  if (Err != 0)
    throw ERegistryException("Cannot read " + FileName + ": " + SysErrorMessage(Err), Err);
  if (static_cast<std::uint64_t>(St.st_size) > MaxFileSize)
    throw ERegistryException(FileName + ": larger than " + std::to_string(MaxFileSize) + " bytes");
  std::string Text;
  char Buffer[16384];
  for (;;) {
    ssize_t N = read(Fd.Get(), Buffer, sizeof Buffer);
    if (N < 0 && errno == EINTR)
      continue;
    if (N < 0) {
      Err = errno;
      throw ERegistryException("Cannot read " + FileName + ": " + SysErrorMessage(Err), Err);
    }
    if (N == 0)
      break;
    if (Text.size() + static_cast<std::size_t>(N) > MaxFileSize)
      throw ERegistryException(FileName + ": larger than " + std::to_string(MaxFileSize) +
                               " bytes");
    Text.append(Buffer, static_cast<std::size_t>(N));
  }
  return TRegistryFile::Parse(Text, FileName);
}

bool TRegistry::ValueExists(const std::string& Name) {
  return FOpen && Load().Find(Name) != nullptr;
}

TRegDataType TRegistry::GetDataType(const std::string& Name) {
  if (!FOpen)
    return TRegDataType::rdUnknown;
  TRegistryFile File = Load();
  const TRegValue* Value = File.Find(Name);
  return Value != nullptr ? Value->DataType : TRegDataType::rdUnknown;
}

std::vector<std::string> TRegistry::GetValueNames() {
  return FOpen ? Load().Names() : std::vector<std::string>();
}

std::vector<std::string> TRegistry::GetKeyNames() {
  std::vector<std::string> Result;
  if (!FOpen)
    return Result;
  DIR* D = opendir(FDirectory.c_str());
  if (D == nullptr)
    return Result;
  while (dirent* E = readdir(D)) {
    std::string Entry = E->d_name;
    if (ValidKeyName(Entry) && IsDirectory(FDirectory + "/" + Entry))
      Result.push_back(Entry);
  }
  closedir(D);
  std::sort(Result.begin(), Result.end(), [](const std::string& A, const std::string& B) {
    std::string LA = Lower(A), LB = Lower(B);
    return LA != LB ? LA < LB : A < B;
  });
  return Result;
}

const TRegValue& TRegistry::Get(const TRegistryFile& File, const std::string& Name) const {
  const TRegValue* Value = File.Find(Name);
  if (Value == nullptr)
    throw ERegistryException("Failed to get data for \"" + Name + "\" in " + Where());
  return *Value;
}

std::string TRegistry::ReadString(const std::string& Name) {
  if (!FOpen)
    throw ERegistryException("Failed to get data for \"" + Name + "\": no key is open");
  TRegistryFile File = Load();
  const TRegValue& Value = Get(File, Name);
  if (Value.DataType != TRegDataType::rdString && Value.DataType != TRegDataType::rdExpandString)
    throw ERegistryException("Invalid data type for \"" + Name + "\" in " + Where());
  return Value.Text;
}

std::int32_t TRegistry::ReadInteger(const std::string& Name) {
  if (!FOpen)
    throw ERegistryException("Failed to get data for \"" + Name + "\": no key is open");
  TRegistryFile File = Load();
  const TRegValue& Value = Get(File, Name);
  if (Value.DataType != TRegDataType::rdInteger)
    throw ERegistryException("Invalid data type for \"" + Name + "\" in " + Where());
  return Value.Number;
}

std::vector<std::string> TRegistry::ReadMultiSz(const std::string& Name) {
  if (!FOpen)
    throw ERegistryException("Unable read MULTI_SZ value \"" + Name + "\": no key is open");
  TRegistryFile File = Load();
  const TRegValue* Value = File.Find(Name);
  if (Value == nullptr)
    throw ERegistryException("Unable read MULTI_SZ value \"" + Name + "\" in " + Where());
  if (Value->DataType != TRegDataType::rdMultiSz)
    throw ERegistryException("String list expected for \"" + Name + "\" in " + Where());
  return Value->List;
}

template <typename F>
bool TRegistry::Modify(const std::string& Name, const char* Failure, F&& Change) {
  std::string Start = std::string(Failure) + " \"" + Name + "\"";
  if (!FOpen)
    throw ERegistryException(Start + ": no key is open");
  if (FReadOnly)
    throw ERegistryException(Start + " in " + Where() + ": the key is open read-only");
  std::string FileName = ValuesFileName();
  auto Raise = [&](int Err, const std::string& What) {
    throw ERegistryException(Start + " in " + Where() + ": " + What + ": " + SysErrorMessage(Err),
                             Err);
  };

  TFd Dir(open(FDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (Dir.Get() < 0)
    Raise(errno, FDirectory);
  // Two writers of the key must not both read the old file and lose one's change.
  while (flock(Dir.Get(), LOCK_EX) != 0)
    if (errno != EINTR)
      Raise(errno, "lock of " + FDirectory);

  TRegistryFile File = Load();
  if (!Change(File))
    return false;
  std::string Text = File.Format();

  struct stat Old;
  bool Exists = stat(FileName.c_str(), &Old) == 0;
  mode_t Mode = File.HoldsPassword() ? 0600 : Exists ? (Old.st_mode & 07777) : 0644;
  // mkostemp creates the file 0600, so a password is never readable by others on the way.
  std::string Temp = FileName + ".XXXXXX";
  TFd Fd(mkostemp(Temp.data(), O_CLOEXEC));
  if (Fd.Get() < 0)
    Raise(errno, "cannot create a file in " + FDirectory);
  auto Undo = [&](int Err) {
    unlink(Temp.c_str());
    Raise(Err, "cannot write " + FileName);
  };
  if (fchmod(Fd.Get(), Mode) != 0)
    Undo(errno);
  // Keep the owner an administrator gave the file; where that is not allowed the writer owns it.
  if (Exists && (Old.st_uid != geteuid() || Old.st_gid != getegid())) {
    if (fchown(Fd.Get(), Old.st_uid, Old.st_gid) != 0) {
    }
  }
  for (std::size_t Done = 0; Done < Text.size();) {
    ssize_t N = write(Fd.Get(), Text.data() + Done, Text.size() - Done);
    if (N < 0 && errno == EINTR)
      continue;
    if (N < 0)
      Undo(errno);
    Done += static_cast<std::size_t>(N);
  }
  if (fsync(Fd.Get()) != 0)
    Undo(errno);
  if (int Err = Fd.Close(); Err != 0)
    Undo(Err);
  if (rename(Temp.c_str(), FileName.c_str()) != 0)
    Undo(errno);
  if (fsync(Dir.Get()) != 0)
    Raise(errno, "cannot flush " + FDirectory);
  return true;
}

bool TRegistry::DeleteValue(const std::string& Name) {
  if (!FOpen)
    return false;
  return Modify(Name, "Failed to delete", [&](TRegistryFile& File) { return File.Remove(Name); });
}

void TRegistry::WriteString(const std::string& Name, const std::string& Value) {
  TRegValue V{Name, TRegDataType::rdString, Value, 0, {}};
  Modify(Name, "Failed to set data for", [&](TRegistryFile& File) {
    File.Set(V);
    return true;
  });
}

void TRegistry::WriteExpandString(const std::string& Name, const std::string& Value) {
  TRegValue V{Name, TRegDataType::rdExpandString, Value, 0, {}};
  Modify(Name, "Failed to set data for", [&](TRegistryFile& File) {
    File.Set(V);
    return true;
  });
}

void TRegistry::WriteInteger(const std::string& Name, std::int32_t Value) {
  TRegValue V{Name, TRegDataType::rdInteger, {}, Value, {}};
  Modify(Name, "Failed to set data for", [&](TRegistryFile& File) {
    File.Set(V);
    return true;
  });
}

void TRegistry::WriteMultiSz(const std::string& Name, const std::vector<std::string>& Value) {
  TRegValue V{Name, TRegDataType::rdMultiSz, {}, 0, Value};
  Modify(Name, "Unable to write MULTI_SZ value", [&](TRegistryFile& File) {
    File.Set(V);
    return true;
  });
}

}  // namespace pelmar
