#include "CoreServiceInstallation.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <sstream>

#include "CIDCommon.h"
#include "Utilities.h"

namespace pelmar::coreservice {

namespace {

// ---------------------------------------------------------------------------------------------
// Parsing with locations

// Counts the characters the JSON parser has taken. The parser reads an iterator range one
// character at a time (looking at most one character past a number), so when the SAX handler
// hears of a key or a value, the count ends on that token's last character or the one after it,
// which is on the same line.
class TCountingIterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  TCountingIterator() = default;
  TCountingIterator(const char* At, const char* Begin, std::size_t* Taken)
      : FAt(At), FBegin(Begin), FTaken(Taken) {}

  reference operator*() const { return *FAt; }
  TCountingIterator& operator++() {
    ++FAt;
    *FTaken = static_cast<std::size_t>(FAt - FBegin);
    return *this;
  }
  TCountingIterator operator++(int) {
    TCountingIterator Old = *this;
    ++*this;
    return Old;
  }
  bool operator==(const TCountingIterator& Other) const { return FAt == Other.FAt; }
  bool operator!=(const TCountingIterator& Other) const { return FAt != Other.FAt; }

 private:
  const char* FAt = nullptr;
  const char* FBegin = nullptr;
  std::size_t* FTaken = nullptr;
};

// Builds the document and notes where every member and array element is: the offset of the
// last character of its key, or of the opening brace of an array element. Paths read like
// "zones[2].number". A key that appears twice in one object stops the parse.
class TLocatingSax : public nlohmann::json_sax<TJson> {
 public:
  explicit TLocatingSax(const std::size_t& Taken) : FTaken(Taken) {}

  TJson Root;
  std::map<std::string, std::size_t> Where;
  // The first problem: a syntax error or a repeated key.
  bool Failed = false;
  bool Syntax = false;
  std::size_t ErrorOffset = 0;
  std::string ErrorText;

  bool null() override { return Place(nullptr); }
  bool boolean(bool Value) override { return Place(Value); }
  bool number_integer(number_integer_t Value) override { return Place(Value); }
  bool number_unsigned(number_unsigned_t Value) override { return Place(Value); }
  bool number_float(number_float_t Value, const string_t&) override { return Place(Value); }
  bool string(string_t& Value) override { return Place(Value); }
  bool binary(binary_t& Value) override { return Place(TJson::binary(Value)); }

  bool start_object(std::size_t) override { return Open(TJson::object()); }
  bool start_array(std::size_t) override { return Open(TJson::array()); }
  bool end_object() override { return Close(); }
  bool end_array() override { return Close(); }

  bool key(string_t& Key) override {
    TLevel& Top = FStack.back();
    FKeyPath = Top.Path.empty() ? Key : Top.Path + "." + Key;
    if (Top.Container->contains(Key)) {
      Failed = true;
      ErrorOffset = Last();
      ErrorText = FKeyPath + ": the field is given twice";
      return false;
    }
    Where[FKeyPath] = Last();
    FKeyTarget = &(*Top.Container)[Key];
    return true;
  }

  bool parse_error(std::size_t Position, const std::string&,
                   const nlohmann::detail::exception& E) override {
    Failed = true;
    Syntax = true;
    ErrorOffset = Position > 0 ? Position - 1 : 0;
    // nlohmann's text begins with its own position ("... parse error at line 2, column 5: ");
    // the caller names the position itself.
    std::string Text = E.what();
    std::size_t Column = Text.find("column ");
    std::size_t Colon = Text.find(": ", Column == std::string::npos ? 0 : Column);
    ErrorText = Colon == std::string::npos ? Text : Text.substr(Colon + 2);
    return false;
  }

 private:
  struct TLevel {
    TJson* Container;
    std::string Path;
  };

  std::size_t Last() const { return FTaken > 0 ? FTaken - 1 : 0; }

  // Puts Value where the parser is: the root, the next element of an array, or the member whose
  // key was just read. Pointers into the document stay valid because a container grows only
  // while none of its elements is open.
  TJson* Put(TJson Value, std::string& Path) {
    if (FStack.empty()) {
      Root = std::move(Value);
      Path.clear();
      return &Root;
    }
    TLevel& Top = FStack.back();
    if (Top.Container->is_array()) {
      Path = Top.Path + "[" + std::to_string(Top.Container->size()) + "]";
      Where[Path] = Last();
      Top.Container->push_back(std::move(Value));
      return &Top.Container->back();
    }
    Path = FKeyPath;
    *FKeyTarget = std::move(Value);
    return FKeyTarget;
  }
  bool Place(TJson Value) {
    std::string Path;
    Put(std::move(Value), Path);
    return true;
  }
  bool Open(TJson Empty) {
    std::string Path;
    TJson* Container = Put(std::move(Empty), Path);
    FStack.push_back({Container, Path});
    return true;
  }
  bool Close() {
    FStack.pop_back();
    return true;
  }

  const std::size_t& FTaken;
  std::vector<TLevel> FStack;
  TJson* FKeyTarget = nullptr;
  std::string FKeyPath;
};

struct TParsed {
  TJson Root;
  std::map<std::string, std::size_t> Where;
};

std::size_t LineOf(const std::string& Text, std::size_t Offset) {
  Offset = std::min(Offset, Text.size());
  return 1 + static_cast<std::size_t>(std::count(Text.begin(), Text.begin() + Offset, '\n'));
}

std::size_t ColumnOf(const std::string& Text, std::size_t Offset) {
  Offset = std::min(Offset, Text.size());
  std::size_t LineStart = Text.rfind('\n', Offset == 0 ? 0 : Offset - 1);
  if (Offset == 0 || LineStart == std::string::npos)
    return Offset + 1;
  return Offset - LineStart;
}

TParsed ParseLocated(const std::string& Text, const std::string& FileName) {
  std::size_t Taken = 0;
  TLocatingSax Sax(Taken);
  TCountingIterator First(Text.data(), Text.data(), &Taken);
  TCountingIterator Last(Text.data() + Text.size(), Text.data(), &Taken);
  TJson::sax_parse(First, Last, &Sax);
  if (Sax.Failed) {
    std::string Where = FileName + ":" + std::to_string(LineOf(Text, Sax.ErrorOffset));
    std::string What = Sax.ErrorText;
    if (Sax.Syntax) {
      Where += ":" + std::to_string(ColumnOf(Text, Sax.ErrorOffset));
      if (What.rfind("syntax error", 0) != 0)
        What = "syntax error: " + What;
    }
    throw EInstallationError(Where + ": " + What);
  }
  return {std::move(Sax.Root), std::move(Sax.Where)};
}

// ---------------------------------------------------------------------------------------------
// Values

// A value that does not fit its field. Field is empty while the converter that raised it does
// not know the field's name.
class EFieldProblem : public Exception {
 public:
  EFieldProblem(std::string Field, std::string Message)
      : Exception(std::move(Message)), FField(std::move(Field)) {}
  const char* ClassName() const override { return "EFieldProblem"; }
  const std::string& Field() const { return FField; }
  void SetField(std::string Value) { FField = std::move(Value); }

 private:
  std::string FField;
};

[[noreturn]] void Problem(std::string Message) {
  throw EFieldProblem("", std::move(Message));
}

std::string KindOf(const TJson& V) {
  if (V.is_number_integer())
    return "the integer " + V.dump();
  if (V.is_number())
    return "the number " + V.dump();
  if (V.is_string())
    return "the text " + V.dump();
  if (V.is_boolean())
    return V.dump();
  if (V.is_null())
    return "null";
  return V.is_array() ? "a list" : "an object";
}

std::int64_t IntegerIn(const TJson& V, std::int64_t Min, std::int64_t Max) {
  std::string Range = std::to_string(Min) + " to " + std::to_string(Max);
  if (!V.is_number_integer())
    Problem("must be an integer from " + Range + ", not " + KindOf(V));
  bool Fits = V.is_number_unsigned() ? V.get<std::uint64_t>() <= static_cast<std::uint64_t>(Max)
                                     : V.get<std::int64_t>() >= Min && V.get<std::int64_t>() <= Max;
  if (!Fits)
    Problem("must be from " + Range + ", not " + V.dump());
  return V.get<std::int64_t>();
}

const std::string& Text(const TJson& V) {
  if (!V.is_string())
    Problem("must be a text, not " + KindOf(V));
  return V.get_ref<const std::string&>();
}

bool Boolean(const TJson& V) {
  if (!V.is_boolean())
    Problem("must be true or false, not " + KindOf(V));
  return V.get<bool>();
}

TVariant TextOrNull(const TJson& V) {
  if (V.is_null())
    return TVariant::Null();
  if (!V.is_string())
    Problem("must be a text or null, not " + KindOf(V));
  return TVariant(V.get<std::string>());
}

TVariant IdOrNull(const TJson& V) {
  if (V.is_null())
    return TVariant::Null();
  if (!V.is_number_integer())
    Problem("must be an object ID or null, not " + KindOf(V));
  return TVariant(static_cast<std::int32_t>(IntegerIn(V, 1, INT32_MAX)));
}

// Contact ID numbers are the hexadecimal digits the panel reports: account "1234" is 0x1234.
std::uint16_t HexNumber(const TJson& V, std::size_t Digits, std::uint16_t Min, std::uint16_t Max,
                        const char* What, const char* Example) {
  std::string Form = "must be 1 to " + std::to_string(Digits) +
                     " hexadecimal digits as the panel reports the " + What + " (e.g. \"" +
                     Example + "\")";
  if (!V.is_string())
    Problem(Form + ", not " + KindOf(V));
  const std::string& S = V.get_ref<const std::string&>();
  if (S.empty() || S.size() > Digits ||
      !std::all_of(S.begin(), S.end(), [](char C) { return std::isxdigit(C & 0xFF) != 0; }))
    Problem(Form + ", not " + V.dump());
  unsigned long N = std::stoul(S, nullptr, 16);
  if (N < Min || N > Max) {
    char Range[64];
    std::snprintf(Range, sizeof Range, "%0*X to %0*X", static_cast<int>(Digits), Min,
                  static_cast<int>(Digits), Max);
    Problem(std::string(What) + " numbers run from " + Range + ", not " + V.dump());
  }
  return static_cast<std::uint16_t>(N);
}

std::string HexDigits(unsigned Value, int Digits) {
  char Buf[16];
  std::snprintf(Buf, sizeof Buf, "%0*X", Digits, Value);
  return Buf;
}

// Reads N decimal digits at At into Out.
bool DigitsAt(const std::string& S, std::size_t At, std::size_t N, int& Out) {
  if (At + N > S.size())
    return false;
  Out = 0;
  for (std::size_t I = At; I < At + N; ++I) {
    if (!std::isdigit(S[I] & 0xFF))
      return false;
    Out = Out * 10 + (S[I] - '0');
  }
  return true;
}

// "hh:mm" or "hh:mm:ss" at At, up to the end of S, as seconds of the day; -1 when malformed.
int TimeOfDay(const std::string& S, std::size_t At) {
  int H = 0, M = 0, Sec = 0;
  if (!DigitsAt(S, At, 2, H) || S.size() < At + 5 || S[At + 2] != ':' || !DigitsAt(S, At + 3, 2, M))
    return -1;
  if (S.size() != At + 5 &&
      (S.size() != At + 8 || S[At + 5] != ':' || !DigitsAt(S, At + 6, 2, Sec)))
    return -1;
  if (H > 23 || M > 59 || Sec > 59)
    return -1;
  return (H * 60 + M) * 60 + Sec;
}

TVariant TimeOrNull(const TJson& V) {
  if (V.is_null())
    return TVariant::Null();
  const char* Form = "must be a time of day \"hh:mm\" or \"hh:mm:ss\", or null";
  if (!V.is_string())
    Problem(std::string(Form) + ", not " + KindOf(V));
  int Seconds = TimeOfDay(V.get<std::string>(), 0);
  if (Seconds < 0)
    Problem(std::string(Form) + ", not " + V.dump());
  return TVariant::DateTime(Seconds / 86400.0);
}

bool LeapYear(int Y) {
  return (Y % 4 == 0 && Y % 100 != 0) || Y % 400 == 0;
}

// "YYYY-MM-DD", optionally followed by " hh:mm[:ss]"; null is 0 (no date).
TDateTime DateTimeOrNull(const TJson& V) {
  if (V.is_null())
    return 0;
  const char* Form = "must be a date \"YYYY-MM-DD\" or \"YYYY-MM-DD hh:mm[:ss]\", or null";
  if (!V.is_string())
    Problem(std::string(Form) + ", not " + KindOf(V));
  const std::string& S = V.get_ref<const std::string&>();
  int Y = 0, Mo = 0, D = 0;
  bool Ok = DigitsAt(S, 0, 4, Y) && S.size() >= 10 && S[4] == '-' && DigitsAt(S, 5, 2, Mo) &&
            S[7] == '-' && DigitsAt(S, 8, 2, D) && Y >= 1900 && Mo >= 1 && Mo <= 12 && D >= 1;
  if (Ok) {
    static const int Days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    Ok = D <= Days[Mo - 1] + (Mo == 2 && LeapYear(Y) ? 1 : 0);
  }
  int Seconds = 0;
  if (Ok && S.size() > 10) {
    Ok = (S[10] == ' ' || S[10] == 'T');
    Seconds = Ok ? TimeOfDay(S, 11) : -1;
    Ok = Seconds >= 0;
  }
  if (!Ok)
    Problem(std::string(Form) + ", not " + V.dump());
  return EncodeDate(Y, Mo, D) + Seconds / 86400.0;
}

std::string TimeText(double Value) {
  double Fraction = Value - std::floor(Value);
  auto Seconds = static_cast<long>(std::llround(Fraction * 86400.0)) % 86400;
  char Buf[16];
  if (Seconds % 60 == 0)
    std::snprintf(Buf, sizeof Buf, "%02ld:%02ld", Seconds / 3600, Seconds / 60 % 60);
  else
    std::snprintf(Buf, sizeof Buf, "%02ld:%02ld:%02ld", Seconds / 3600, Seconds / 60 % 60,
                  Seconds % 60);
  return Buf;
}

TJson DateTimeJson(TDateTime Value) {
  if (Value == 0)
    return nullptr;
  int Y, Mo, D, H, Mi, S, Ms;
  DecodeDateTime(Value, Y, Mo, D, H, Mi, S, Ms);
  char Buf[32];
  if (H == 0 && Mi == 0 && S == 0)
    std::snprintf(Buf, sizeof Buf, "%04d-%02d-%02d", Y, Mo, D);
  else
    std::snprintf(Buf, sizeof Buf, "%04d-%02d-%02d %02d:%02d:%02d", Y, Mo, D, H, Mi, S);
  return Buf;
}

TJson VariantJson(const TVariant& V) {
  switch (V.VarType()) {
    case TVarType::Empty:
    case TVarType::Null:
      return nullptr;
    case TVarType::Boolean:
      return V.AsBoolean();
    case TVarType::Date:
      return TimeText(V.AsDouble());
    case TVarType::Single:
    case TVarType::Double:
    case TVarType::Currency:
      return V.AsDouble();
    case TVarType::String:
    case TVarType::OleStr:
      return V.AsString();
    default:
      return V.AsInt64();
  }
}

// "01 02 AB" (blanks optional) into bytes.
std::string BytesFromHex(const TJson& V) {
  const char* Form = "must be hexadecimal bytes such as \"01 02 AB\"";
  if (!V.is_string())
    Problem(std::string(Form) + ", not " + KindOf(V));
  std::string Digits;
  for (char C : V.get<std::string>()) {
    if (C == ' ')
      continue;
    if (!std::isxdigit(C & 0xFF))
      Problem(std::string(Form) + ", not " + V.dump());
    Digits += C;
  }
  if (Digits.size() % 2 != 0)
    Problem(std::string(Form) + ", not " + V.dump());
  std::string Bytes;
  for (std::size_t I = 0; I < Digits.size(); I += 2)
    Bytes += static_cast<char>(std::stoul(Digits.substr(I, 2), nullptr, 16));
  return Bytes;
}

// ---------------------------------------------------------------------------------------------
// Fields

// How a field's value is written on a command line: as a text (quotes optional), or as a JSON
// literal (a number, true, false, null).
enum class TForm { Text, Literal };

struct TField {
  const char* Name;
  TForm Form;
  bool Nullable;
  void (*Apply)(TCustomSysObject& Obj, const TJson& Value);
  TJson (*Get)(TCustomSysObject& Obj);
};

template <class T>
T& As(TCustomSysObject& Obj) {
  return static_cast<T&>(Obj);
}

const TField IdField{"id", TForm::Literal, false,
                     [](TCustomSysObject& O, const TJson& V) {
                       auto ID = static_cast<std::int32_t>(IntegerIn(V, 1, INT32_MAX));
                       if (dynamic_cast<TSysService*>(&O) != nullptr && ID != ServiceNumber)
                         Problem("the service object's ID is the service number " +
                                 std::to_string(ServiceNumber) + ", not " + V.dump());
                       O.SetID(ID);
                     },
                     [](TCustomSysObject& O) -> TJson { return O.ID(); }};

const TField NameField{"name", TForm::Text, false,
                       [](TCustomSysObject& O, const TJson& V) { O.SetName(Text(V)); },
                       [](TCustomSysObject& O) -> TJson { return O.Name(); }};

const TField EnabledField{"enabled", TForm::Literal, false,
                          [](TCustomSysObject& O, const TJson& V) { O.SetEnabled(Boolean(V)); },
                          [](TCustomSysObject& O) -> TJson { return O.Enabled(); }};

const TField DescriptionField{
    "description", TForm::Text, true,
    [](TCustomSysObject& O, const TJson& V) { O.SetDescription(TextOrNull(V)); },
    [](TCustomSysObject& O) { return VariantJson(O.Description()); }};

const TField AttrFields[] = {
    {"attrFlag", TForm::Literal, false,
     [](TCustomSysObject& O, const TJson& V) { O.SetAttrFlag(Boolean(V)); },
     [](TCustomSysObject& O) -> TJson { return O.AttrFlag(); }},
    {"attrByte1", TForm::Literal, false,
     [](TCustomSysObject& O, const TJson& V) {
       O.SetAttrByte1(static_cast<std::uint8_t>(IntegerIn(V, 0, 255)));
     },
     [](TCustomSysObject& O) -> TJson { return O.AttrByte1(); }},
    {"attrByte2", TForm::Literal, false,
     [](TCustomSysObject& O, const TJson& V) {
       O.SetAttrByte2(static_cast<std::uint8_t>(IntegerIn(V, 0, 255)));
     },
     [](TCustomSysObject& O) -> TJson { return O.AttrByte2(); }},
};

const TField LinkField{
    "link", TForm::Literal, true,
    [](TCustomSysObject& O, const TJson& V) { As<TCIDObject>(O).SetLinkObject(IdOrNull(V)); },
    [](TCustomSysObject& O) { return VariantJson(As<TCIDObject>(O).LinkObject()); }};

const TField AccountRefField{"account", TForm::Literal, false,
                             [](TCustomSysObject& O, const TJson& V) {
                               auto ID = static_cast<std::int32_t>(IntegerIn(V, 1, INT32_MAX));
                               if (auto* Z = dynamic_cast<TCIDZone*>(&O))
                                 Z->SetAccountID(ID);
                               else
                                 As<TCIDGroup>(O).SetAccountID(ID);
                             },
                             [](TCustomSysObject& O) -> TJson {
                               if (auto* Z = dynamic_cast<TCIDZone*>(&O))
                                 return Z->AccountID();
                               return As<TCIDGroup>(O).AccountID();
                             }};

const std::vector<TField> ServiceFields = {
    {"versionMajor", TForm::Literal, false,
     [](TCustomSysObject& O, const TJson& V) {
       As<TSysService>(O).SetVersionMajor(static_cast<std::uint16_t>(IntegerIn(V, 0, 65535)));
     },
     [](TCustomSysObject& O) -> TJson { return As<TSysService>(O).VersionMajor(); }},
    {"versionMinor", TForm::Literal, false,
     [](TCustomSysObject& O, const TJson& V) {
       As<TSysService>(O).SetVersionMinor(static_cast<std::uint16_t>(IntegerIn(V, 0, 65535)));
     },
     [](TCustomSysObject& O) -> TJson { return As<TSysService>(O).VersionMinor(); }},
    {"buildDate", TForm::Text, true,
     [](TCustomSysObject& O, const TJson& V) {
       As<TSysService>(O).SetBuildDate(DateTimeOrNull(V));
     },
     [](TCustomSysObject& O) { return DateTimeJson(As<TSysService>(O).BuildDate()); }},
    {"infoText", TForm::Text, false,
     [](TCustomSysObject& O, const TJson& V) { As<TSysService>(O).SetInfoText(Text(V)); },
     [](TCustomSysObject& O) -> TJson { return As<TSysService>(O).InfoText(); }},
    {"infoDate", TForm::Text, true,
     [](TCustomSysObject& O, const TJson& V) { As<TSysService>(O).SetInfoDate(DateTimeOrNull(V)); },
     [](TCustomSysObject& O) { return DateTimeJson(As<TSysService>(O).InfoDate()); }},
    {"config", TForm::Text, false,
     [](TCustomSysObject& O, const TJson& V) {
       std::string Bytes = BytesFromHex(V);
       TBufferProtocol& Config = As<TSysService>(O).Config();
       Config.SetSize(0);
       Config.WriteData(static_cast<std::int32_t>(Bytes.size()), Bytes.data());
     },
     [](TCustomSysObject& O) -> TJson {
       TBufferProtocol& Config = As<TSysService>(O).Config();
       return HexText(Config.Data(), static_cast<std::size_t>(Config.Size()));
     }},
};

const std::vector<TField> ChannelFields = {
    {"comType", TForm::Text, false,
     [](TCustomSysObject& O, const TJson& V) {
       if (V == "serial")
         As<TCIDChannel>(O).SetComType(0);
       else if (V == "tcp")
         As<TCIDChannel>(O).SetComType(1);
       else
         Problem("must be \"serial\" or \"tcp\", not " + KindOf(V));
     },
     [](TCustomSysObject& O) -> TJson {
       std::uint8_t T = As<TCIDChannel>(O).ComType();
       return T == 0 ? TJson("serial") : T == 1 ? TJson("tcp") : TJson(T);
     }},
    {"comAddress", TForm::Text, false,
     [](TCustomSysObject& O, const TJson& V) { As<TCIDChannel>(O).SetComAddress(Text(V)); },
     [](TCustomSysObject& O) -> TJson { return As<TCIDChannel>(O).ComAddress(); }},
    {"ackEvents", TForm::Literal, false,
     [](TCustomSysObject& O, const TJson& V) { As<TCIDChannel>(O).SetAckEvents(Boolean(V)); },
     [](TCustomSysObject& O) -> TJson { return As<TCIDChannel>(O).AckEvents(); }},
    {"receiverTimeout", TForm::Literal, false,
     [](TCustomSysObject& O, const TJson& V) {
       As<TCIDChannel>(O).SetReceiverTimeout(static_cast<std::int16_t>(IntegerIn(V, 1, 32767)));
     },
     [](TCustomSysObject& O) -> TJson { return As<TCIDChannel>(O).ReceiverTimeout(); }},
    LinkField,
};

const std::vector<TField> AccountFields = {
    {"number", TForm::Text, false,
     [](TCustomSysObject& O, const TJson& V) {
       As<TCIDAccount>(O).SetAccountIdx(HexNumber(V, 4, 0, 0xFFFF, "account", "1234"));
     },
     [](TCustomSysObject& O) -> TJson { return HexDigits(As<TCIDAccount>(O).AccountIdx(), 4); }},
    {"testReport", TForm::Text, true,
     [](TCustomSysObject& O, const TJson& V) { As<TCIDAccount>(O).SetTestReport(TimeOrNull(V)); },
     [](TCustomSysObject& O) { return VariantJson(As<TCIDAccount>(O).TestReport()); }},
    {"maintenance", TForm::Literal, false,
     [](TCustomSysObject& O, const TJson& V) { As<TCIDAccount>(O).SetMaintenance(Boolean(V)); },
     [](TCustomSysObject& O) -> TJson { return As<TCIDAccount>(O).Maintenance(); }},
    LinkField,
};

const std::vector<TField> GroupFields = {
    AccountRefField,
    {"number", TForm::Text, false,
     [](TCustomSysObject& O, const TJson& V) {
       As<TCIDGroup>(O).SetGroupIdx(HexNumber(V, 2, 1, TCIDGroup::MaxGroupIdx, "group", "01"));
     },
     [](TCustomSysObject& O) -> TJson { return HexDigits(As<TCIDGroup>(O).GroupIdx(), 2); }},
    LinkField,
};

const std::vector<TField> ZoneFields = {
    AccountRefField,
    {"number", TForm::Text, false,
     [](TCustomSysObject& O, const TJson& V) {
       As<TCIDZone>(O).SetZoneIdx(HexNumber(V, 3, 1, TCIDZone::MaxZoneIdx, "zone", "003"));
     },
     [](TCustomSysObject& O) -> TJson { return HexDigits(As<TCIDZone>(O).ZoneIdx(), 3); }},
    {"zoneType", TForm::Literal, false,
     [](TCustomSysObject& O, const TJson& V) {
       As<TCIDZone>(O).SetZoneType(static_cast<std::int32_t>(IntegerIn(V, INT32_MIN, INT32_MAX)));
     },
     [](TCustomSysObject& O) -> TJson { return As<TCIDZone>(O).ZoneType(); }},
    LinkField,
};

using TMake = std::unique_ptr<TCustomSysObject> (*)(bool Clone, TCustomSysObject* Source);

template <class T>
std::unique_ptr<TCustomSysObject> Make(bool Clone, TCustomSysObject* Source) {
  if (Clone)
    return TCustomSysObject::CreateClone<T>(Source);
  return TCustomSysObject::Create<T>();
}

// A kind of object the installation holds, with its fields in the order the file shows them.
struct TKind {
  std::string TypeName;  // "Zone"
  std::string ListName;  // "zones"
  std::vector<std::string> Required;
  std::vector<TField> Fields;
  TMake MakeObject;
};

std::vector<TField> WithCommonFields(const std::vector<TField>& Own) {
  std::vector<TField> All = {IdField, NameField, EnabledField, DescriptionField};
  All.insert(All.end(), Own.begin(), Own.end());
  All.insert(All.end(), std::begin(AttrFields), std::end(AttrFields));
  return All;
}

const TKind& ServiceKind() {
  static const TKind K{TSysService::ClassTypeName(),
                       "service",
                       {},
                       WithCommonFields(ServiceFields),
                       Make<TDefaultSysService>};
  return K;
}

// The kinds of Contact ID objects, in the order the file is read (accounts before the groups
// and zones that name them).
const std::vector<TKind>& CIDKinds() {
  static const std::vector<TKind> Kinds = {
      {TCIDChannel::ClassTypeName(),
       "channels",
       {"id"},
       WithCommonFields(ChannelFields),
       Make<TCIDChannel>},
      {TCIDAccount::ClassTypeName(),
       "accounts",
       {"id", "number"},
       WithCommonFields(AccountFields),
       Make<TCIDAccount>},
      {TCIDGroup::ClassTypeName(),
       "groups",
       {"id", "account", "number"},
       WithCommonFields(GroupFields),
       Make<TCIDGroup>},
      {TCIDZone::ClassTypeName(),
       "zones",
       {"id", "account", "number"},
       WithCommonFields(ZoneFields),
       Make<TCIDZone>},
  };
  return Kinds;
}

const TKind* KindOfType(const std::string& TypeName) {
  if (TypeName == ServiceKind().TypeName)
    return &ServiceKind();
  for (const TKind& K : CIDKinds())
    if (K.TypeName == TypeName)
      return &K;
  return nullptr;
}

const TField* FindField(const TKind& Kind, const std::string& Name) {
  for (const TField& F : Kind.Fields)
    if (Name == F.Name)
      return &F;
  return nullptr;
}

std::string FieldNames(const TKind& Kind) {
  std::string Names;
  for (const TField& F : Kind.Fields)
    Names += (Names.empty() ? "" : ", ") + std::string(F.Name);
  return Names;
}

std::string Lower(std::string S) {
  for (char& C : S)
    C = static_cast<char>(std::tolower(C & 0xFF));
  return S;
}

// Applies every member of Fields but Skip to Obj. Raises EFieldProblem naming the field.
void ApplyFields(const TKind& Kind, TCustomSysObject& Obj, const TJson& Fields,
                 const char* Skip = nullptr) {
  for (const auto& [Name, Value] : Fields.items()) {
    if (Skip != nullptr && Name == Skip)
      continue;
    const TField* F = FindField(Kind, Name);
    if (F == nullptr)
      throw EFieldProblem(Name, "unknown field; the fields of " + Lower(Kind.TypeName) +
                                    " objects are " + FieldNames(Kind));
    try {
      F->Apply(Obj, Value);
    } catch (EFieldProblem& E) {
      E.SetField(Name);
      throw;
    } catch (const Exception& E) {
      // A limit of the object's own setter.
      throw EFieldProblem(Name, E.Message());
    }
  }
}

void CheckRequired(const TKind& Kind, const TJson& Fields) {
  for (const std::string& Name : Kind.Required)
    if (!Fields.contains(Name))
      throw EFieldProblem("", "missing field \"" + Name + "\"");
}

// Raises EFieldProblem when Obj does not fit List: its ID is taken (unless it replaces the
// object of that ID), its account is missing, or its number is already used where numbers must
// be unique (account numbers in the installation, group and zone numbers in their account).
void CheckPlacement(const TSysObjectList& List, TCustomSysObject& Obj, bool Replaces) {
  TCustomSysObject* Other = nullptr;
  if (!Replaces && List.FindById(Obj.ID(), Other))
    throw EFieldProblem("id", "ID " + std::to_string(Obj.ID()) + " is already " + Describe(*Other));

  auto* Group = dynamic_cast<TCIDGroup*>(&Obj);
  auto* Zone = dynamic_cast<TCIDZone*>(&Obj);
  if (Group != nullptr || Zone != nullptr) {
    std::int32_t AccountID = Group != nullptr ? Group->AccountID() : Zone->AccountID();
    if (!List.FindById(AccountID, Other))
      throw EFieldProblem("account", "no account has the ID " + std::to_string(AccountID));
    if (dynamic_cast<TCIDAccount*>(Other) == nullptr)
      throw EFieldProblem("account", Describe(*Other) + " is not an account");
  }

  for (std::int32_t I = 0; I < List.Count(); ++I) {
    TCustomSysObject* O = List.Items(I);
    if (O->ID() == Obj.ID())
      continue;
    if (auto* G = dynamic_cast<TCIDGroup*>(O); G != nullptr && Group != nullptr &&
                                               G->AccountID() == Group->AccountID() &&
                                               G->GroupIdx() == Group->GroupIdx())
      throw EFieldProblem("number", "group " + HexDigits(G->GroupIdx(), 2) + " of account " +
                                        std::to_string(G->AccountID()) + " is already " +
                                        Describe(*G));
    if (auto* Z = dynamic_cast<TCIDZone*>(O); Z != nullptr && Zone != nullptr &&
                                              Z->AccountID() == Zone->AccountID() &&
                                              Z->ZoneIdx() == Zone->ZoneIdx())
      throw EFieldProblem("number", "zone " + HexDigits(Z->ZoneIdx(), 3) + " of account " +
                                        std::to_string(Z->AccountID()) + " is already " +
                                        Describe(*Z));
    auto* Account = dynamic_cast<TCIDAccount*>(&Obj);
    if (auto* A = dynamic_cast<TCIDAccount*>(O);
        A != nullptr && Account != nullptr && A->AccountIdx() == Account->AccountIdx())
      throw EFieldProblem("number", "account number " + HexDigits(A->AccountIdx(), 4) +
                                        " is already " + Describe(*A));
  }
}

std::string ProblemText(const EFieldProblem& E) {
  return E.Field().empty() ? E.Message() : E.Field() + ": " + E.Message();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TInstallation

TInstallation::TInstallation() {
  FObjects.OnCreateObject = [](TBufferProtocol& Buffer) { return CreateFromRecord(Buffer); };
}

TCustomSysObject* TInstallation::Find(std::int32_t ID) const {
  TCustomSysObject* Obj = nullptr;
  FObjects.FindById(ID, Obj);
  return Obj;
}

void TInstallation::LoadFromFile(const std::string& FileName) {
  std::ifstream In(FileName, std::ios::binary);
  if (!In)
    throw EInstallationError(FileName + ": cannot read the file: " + SysErrorMessage(errno));
  std::ostringstream Text;
  Text << In.rdbuf();
  LoadFromText(Text.str(), FileName);
}

void TInstallation::LoadFromText(const std::string& Text, const std::string& FileName) {
  FObjects.Clear();
  TParsed Doc = ParseLocated(Text, FileName);

  // "file:line: path: message", the line being that of the path or of the nearest enclosing
  // member or element the parser saw.
  auto Fail = [&](const std::string& Path, const std::string& Message) {
    std::string Where = FileName;
    for (std::string P = Path; !P.empty();) {
      auto It = Doc.Where.find(P);
      if (It != Doc.Where.end()) {
        Where += ":" + std::to_string(LineOf(Text, It->second));
        break;
      }
      std::size_t Cut = P.find_last_of(".[");
      P = Cut == std::string::npos ? std::string() : P.substr(0, Cut);
    }
    throw EInstallationError(Where + ": " + (Path.empty() ? "" : Path + ": ") + Message);
  };

  const TJson& Root = Doc.Root;
  if (!Root.is_object())
    Fail("", "the installation must be a JSON object, not " + KindOf(Root));
  for (const auto& [Name, Value] : Root.items()) {
    bool Known = Name == ServiceKind().ListName;
    for (const TKind& K : CIDKinds())
      Known = Known || Name == K.ListName;
    if (!Known)
      Fail(Name, "unknown field; an installation has service, channels, accounts, groups, zones");
  }

  auto Build = [&](const TKind& Kind, const TJson& Given, const std::string& Path,
                   std::unique_ptr<TCustomSysObject> Obj) {
    if (!Given.is_object())
      Fail(Path, "must be an object, not " + KindOf(Given));
    try {
      ApplyFields(Kind, *Obj, Given);
      CheckRequired(Kind, Given);
      CheckPlacement(FObjects, *Obj, false);
    } catch (const EFieldProblem& E) {
      Fail(E.Field().empty() ? Path : Path + "." + E.Field(), E.Message());
    }
    FObjects.Add(Obj.get());
    Obj.release();
  };

  auto Service = ServiceKind().MakeObject(false, nullptr);
  Service->SetID(ServiceNumber);
  Service->SetServiceID(ServiceNumber);
  Service->SetName("ContactID");
  Build(ServiceKind(), Root.value("service", TJson::object()), "service", std::move(Service));

  for (const TKind& Kind : CIDKinds()) {
    if (!Root.contains(Kind.ListName))
      continue;
    const TJson& List = Root[Kind.ListName];
    if (!List.is_array())
      Fail(Kind.ListName, "must be a list of objects, not " + KindOf(List));
    for (std::size_t I = 0; I < List.size(); ++I)
      Build(Kind, List[I], Kind.ListName + "[" + std::to_string(I) + "]",
            Kind.MakeObject(false, nullptr));
  }
}

std::unique_ptr<TCustomSysObject> TInstallation::NewObject(const TJson& Given) const {
  if (!Given.is_object())
    throw EInstallationError("the object must be a JSON object, not " + KindOf(Given));
  const TKind* Kind = nullptr;
  std::string Types;
  for (const TKind& K : CIDKinds()) {
    Types += (Types.empty() ? "" : ", ") + K.TypeName;
    if (Given.contains("type") && Given["type"].is_string() &&
        Lower(Given["type"].get<std::string>()) == Lower(K.TypeName))
      Kind = &K;
  }
  if (Kind == nullptr)
    throw EInstallationError("type: must be one of " + Types +
                             (Given.contains("type") ? ", not " + KindOf(Given["type"]) : ""));
  std::unique_ptr<TCustomSysObject> Obj = Kind->MakeObject(true, nullptr);
  try {
    ApplyFields(*Kind, *Obj, Given, "type");
    CheckRequired(*Kind, Given);
    CheckPlacement(FObjects, *Obj, false);
  } catch (const EFieldProblem& E) {
    throw EInstallationError(ProblemText(E));
  }
  return Obj;
}

std::unique_ptr<TCustomSysObject> TInstallation::ChangedObject(std::int32_t ID,
                                                               const TJson& Fields) const {
  TCustomSysObject* Source = Find(ID);
  if (Source == nullptr)
    throw EInstallationError("no object has the ID " + std::to_string(ID));
  const TKind* Kind = KindOfType(Source->TypeName());
  if (Kind == nullptr)
    throw EInstallationError(Describe(*Source) + " is of a type this tool does not change");
  if (Fields.contains("id"))
    throw EInstallationError("id: the ID of an object cannot be changed");
  std::unique_ptr<TCustomSysObject> Obj = Kind->MakeObject(true, Source);
  try {
    ApplyFields(*Kind, *Obj, Fields);
    CheckPlacement(FObjects, *Obj, true);
  } catch (const EFieldProblem& E) {
    throw EInstallationError(ProblemText(E));
  }
  return Obj;
}

TJson TInstallation::FieldValueFromText(const TCustomSysObject& Obj, const std::string& Field,
                                        const std::string& Text) const {
  const TKind* Kind = KindOfType(Obj.TypeName());
  const TField* F = Kind != nullptr ? FindField(*Kind, Field) : nullptr;
  if (F == nullptr)
    throw EInstallationError(Field + ": unknown field" +
                             (Kind != nullptr ? "; the fields of " + Lower(Kind->TypeName) +
                                                    " objects are " + FieldNames(*Kind)
                                              : ""));
  if (F->Form == TForm::Literal || (F->Nullable && Text == "null") ||
      (!Text.empty() && Text[0] == '"')) {
    if (!TJson::accept(Text))
      return Text;  // the field's converter names what it wants instead
    return TJson::parse(Text);
  }
  return Text;
}

std::unique_ptr<TCustomSysObject> TInstallation::CreateFromRecord(TBufferProtocol& Buffer) {
  auto Probe = TCustomSysObject::Create<TGeneralSysObject>();
  const std::int32_t At = Buffer.Position();
  Probe->LoadFromBuffer(Buffer);
  Buffer.SetPosition(At);
  const TKind* Kind = KindOfType(Probe->TypeName());
  std::unique_ptr<TCustomSysObject> Obj = Kind != nullptr
                                              ? Kind->MakeObject(false, nullptr)
                                              : TCustomSysObject::Create<TGeneralSysObject>();
  Obj->LoadFromBuffer(Buffer);
  return Obj;
}

// ---------------------------------------------------------------------------------------------
// Text

std::string HexText(const std::uint8_t* Data, std::size_t Count) {
  std::string S;
  for (std::size_t I = 0; I < Count; ++I)
    S += (I == 0 ? "" : " ") + HexDigits(Data[I], 2);
  return S;
}

namespace {

std::string Counted(std::int32_t N, const char* Thing) {
  return std::to_string(N) + " " + Thing + (N == 1 ? "" : "s");
}

}  // namespace

std::string Describe(const TCustomSysObject& Obj) {
  return std::to_string(Obj.ID()) + " \"" + Obj.Name() + "\" (" + Obj.TypeName() + ")";
}

std::string PropertiesText(TCustomSysObject& Obj) {
  std::string S = Obj.Enabled() ? "enabled" : "disabled";
  if (auto* Svc = dynamic_cast<TSysService*>(&Obj)) {
    S += ", version " + std::to_string(Svc->VersionMajor()) + "." +
         std::to_string(Svc->VersionMinor());
    TJson Built = DateTimeJson(Svc->BuildDate());
    if (!Built.is_null())
      S += ", built " + Built.get<std::string>();
    S += ", configuration " + std::to_string(Svc->Config().Size()) + " bytes";
  } else if (auto* C = dynamic_cast<TCIDChannel*>(&Obj)) {
    S += std::string(C->ComType() == 1   ? ", tcp "
                     : C->ComType() == 0 ? ", serial "
                                         : ", type ") +
         (C->ComType() > 1 ? std::to_string(C->ComType()) + " " : "") + C->ComAddress();
    S += C->AckEvents() ? ", acknowledges" : ", no acknowledgements";
    S += ", receiver timeout " + std::to_string(C->ReceiverTimeout()) + " s";
  } else if (auto* A = dynamic_cast<TCIDAccount*>(&Obj)) {
    S += ", number " + HexDigits(A->AccountIdx(), 4);
    S += A->TestReport().IsNull() ? ", no test report"
                                  : ", test report " + TimeText(A->TestReport().AsDouble());
    if (A->Maintenance())
      S += ", maintenance";
    S += ", " + Counted(A->GroupCount(), "group") + ", " + Counted(A->ZoneCount(), "zone");
  } else if (auto* G = dynamic_cast<TCIDGroup*>(&Obj)) {
    S += ", account " + std::to_string(G->AccountID()) + ", number " + HexDigits(G->GroupIdx(), 2);
  } else if (auto* Z = dynamic_cast<TCIDZone*>(&Obj)) {
    S += ", account " + std::to_string(Z->AccountID()) + ", number " + HexDigits(Z->ZoneIdx(), 3) +
         ", type " + std::to_string(Z->ZoneType());
  }
  if (auto* Cid = dynamic_cast<TCIDObject*>(&Obj); Cid != nullptr && !Cid->LinkObject().IsNull())
    S += ", linked to " + Cid->LinkObject().AsString();
  return S;
}

std::string StatusText(TCustomSysObject& Obj) {
  char Bits[48];
  if (auto* Svc = dynamic_cast<TSysService*>(&Obj)) {
    static const std::map<int, const char*> Codes = {
        {1, "offline"}, {2, "online"}, {3, "error"}, {5, "fault"}};
    auto Code = Codes.find(Svc->StatusCode());
    std::string S = Svc->Online() ? "online" : "offline";
    S += ", code " + std::to_string(Svc->StatusCode());
    if (Code != Codes.end())
      S += std::string(" (") + Code->second + ")";
    S += ", \"" + Svc->StatusText() + "\"";
    if (!Svc->StatusDetail().empty())
      S += ", detail \"" + Svc->StatusDetail() + "\"";
    return S;
  }
  if (auto* C = dynamic_cast<TCIDChannel*>(&Obj)) {
    static const char* const States[] = {"disabled",         "not connected",
                                         "connecting",       "waiting for the receiver",
                                         "receiver timeout", "receiver online"};
    std::string S = "state " + std::to_string(C->State());
    if (C->State() < std::size(States))
      S += std::string(" (") + States[C->State()] + ")";
    if (!C->StateText().empty())
      S += ", \"" + C->StateText() + "\"";
    return S;
  }
  if (auto* A = dynamic_cast<TCIDAccount*>(&Obj)) {
    std::snprintf(Bits, sizeof Bits, " (state 0x%02X)", A->State());
    return std::string(A->State() & 1 ? "test report overdue" : "normal") + Bits;
  }
  if (auto* G = dynamic_cast<TCIDGroup*>(&Obj)) {
    std::uint8_t St = G->State();
    std::string S = St & 1 ? "armed" : St & 16 ? "disarmed since armed" : "disarmed";
    if (St & 8)
      S += ", alarm";
    if (St & 2)
      S += ", trouble";
    if (St & 4)
      S += ", test";
    std::snprintf(Bits, sizeof Bits, " (state 0x%02X, flags 0x%02X)", St, G->Flags());
    return S + Bits;
  }
  if (auto* Z = dynamic_cast<TCIDZone*>(&Obj)) {
    std::snprintf(Bits, sizeof Bits, " (state 0x%04X)", Z->State());
    return std::string(Z->State() & 1 ? "alarm" : "normal") + Bits;
  }
  if (auto* G = dynamic_cast<TGeneralSysObject*>(&Obj)) {
    const TBufferProtocol& Data = G->StatusData();
    return Data.Size() == 0
               ? "no status"
               : "status " + HexText(Data.Data(), static_cast<std::size_t>(Data.Size()));
  }
  return "no status";
}

TJson ToJson(TCustomSysObject& Obj) {
  TJson J = TJson::object();
  J["type"] = Obj.TypeName();
  const TKind* Kind = KindOfType(Obj.TypeName());
  if (Kind == nullptr) {
    for (const TField* F : {&IdField, &NameField, &EnabledField, &DescriptionField})
      J[F->Name] = F->Get(Obj);
    return J;
  }
  for (const TField& F : Kind->Fields)
    J[F.Name] = F.Get(Obj);
  return J;
}

}  // namespace pelmar::coreservice
