#include "Format.h"

#include <cstdio>
#include <limits>

#include "Exception.h"

namespace pelmar {

namespace {

[[noreturn]] void BadFormat(std::string_view Fmt) {
  throw EConvertError("Format '" + std::string(Fmt) + "' invalid or incompatible with argument");
}

// Formats one value with a C directive built from flags, width, precision and the conversion.
template <typename T>
void Append(std::string& Out, const std::string& Spec, T Value) {
  char Small[128];
  int N = std::snprintf(Small, sizeof Small, Spec.c_str(), Value);
  if (N < 0)
    return;
  if (static_cast<size_t>(N) < sizeof Small) {
    Out.append(Small, N);
    return;
  }
  std::string Big(static_cast<size_t>(N) + 1, '\0');
  std::snprintf(Big.data(), Big.size(), Spec.c_str(), Value);
  Out.append(Big.data(), N);
}

}  // namespace

std::string FormatArgs(std::string_view Fmt, const std::vector<TFormatArg>& Args) {
  std::string Out;
  Out.reserve(Fmt.size() + 16);
  size_t ArgIndex = 0;
  size_t I = 0;
  while (I < Fmt.size()) {
    char C = Fmt[I++];
    if (C != '%') {
      Out += C;
      continue;
    }
    if (I < Fmt.size() && Fmt[I] == '%') {
      Out += '%';
      ++I;
      continue;
    }
    std::string Spec = "%";
    while (I < Fmt.size() && (Fmt[I] == '-' || Fmt[I] == '+' || Fmt[I] == ' ' || Fmt[I] == '0'))
      Spec += Fmt[I++];
    while (I < Fmt.size() && Fmt[I] >= '0' && Fmt[I] <= '9')
      Spec += Fmt[I++];
    if (I < Fmt.size() && Fmt[I] == '.') {
      Spec += Fmt[I++];
      while (I < Fmt.size() && Fmt[I] >= '0' && Fmt[I] <= '9')
        Spec += Fmt[I++];
    }
    if (I >= Fmt.size() || ArgIndex >= Args.size())
      BadFormat(Fmt);
    char Conv = Fmt[I++];
    const TFormatArg& A = Args[ArgIndex++];
    switch (Conv) {
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X': {
        if (A.Kind != TFormatArg::fkSigned && A.Kind != TFormatArg::fkUnsigned)
          BadFormat(Fmt);
        bool Hex = Conv == 'x' || Conv == 'X';
        if (A.Kind == TFormatArg::fkSigned && !Hex)
          Append(Out, Spec + "lld", static_cast<long long>(A.Signed));
        else
          Append(Out, Spec + (Hex ? "llX" : "llu"),
                 static_cast<unsigned long long>(A.Kind == TFormatArg::fkSigned
                                                     ? static_cast<std::uint64_t>(A.Signed)
                                                     : A.Unsigned));
        break;
      }
      case 'f':
      case 'g':
      case 'e':
      case 'n': {
        double V = A.Kind == TFormatArg::fkFloat      ? A.Float
                   : A.Kind == TFormatArg::fkSigned   ? static_cast<double>(A.Signed)
                   : A.Kind == TFormatArg::fkUnsigned ? static_cast<double>(A.Unsigned)
                                                      : (BadFormat(Fmt), 0.0);
        Append(Out, Spec + (Conv == 'n' ? 'f' : Conv), V);
        break;
      }
      case 'c':
        if (A.Kind != TFormatArg::fkSigned && A.Kind != TFormatArg::fkUnsigned)
          BadFormat(Fmt);
        Append(Out, Spec + "c",
               static_cast<int>(A.Kind == TFormatArg::fkSigned
                                    ? A.Signed
                                    : static_cast<std::int64_t>(A.Unsigned)));
        break;
      case 's': {
        if (A.Kind != TFormatArg::fkString)
          BadFormat(Fmt);
        std::string Text(A.Text);
        Append(Out, Spec + "s", Text.c_str());
        break;
      }
      default:
        BadFormat(Fmt);
    }
  }
  return Out;
}

namespace {

[[noreturn]] void NotAnInteger(std::string_view Text) {
  throw EConvertError("'" + std::string(Text) + "' is not a valid integer value");
}

int HexDigit(char C) {
  if (C >= '0' && C <= '9')
    return C - '0';
  if (C >= 'A' && C <= 'F')
    return C - 'A' + 10;
  if (C >= 'a' && C <= 'f')
    return C - 'a' + 10;
  return -1;
}

}  // namespace

std::int64_t StrToInt64(std::string_view Text) {
  size_t I = 0;
  while (I < Text.size() && Text[I] == ' ')
    ++I;
  bool Negative = false;
  if (I < Text.size() && (Text[I] == '-' || Text[I] == '+'))
    Negative = Text[I++] == '-';
  int Base = 10;
  if (I < Text.size() && Text[I] == '$') {
    Base = 16;
    ++I;
  } else if (I + 1 < Text.size() && Text[I] == '0' && (Text[I + 1] == 'x' || Text[I + 1] == 'X')) {
    Base = 16;
    I += 2;
  }
  if (I >= Text.size())
    NotAnInteger(Text);
  // Accumulate as a negative number so that the minimum value fits.
  constexpr std::int64_t Min = std::numeric_limits<std::int64_t>::min();
  std::int64_t Value = 0;
  for (; I < Text.size(); ++I) {
    int D = HexDigit(Text[I]);
    if (D < 0 || D >= Base)
      NotAnInteger(Text);
    if (Value < (Min + D) / Base)
      NotAnInteger(Text);
    Value = Value * Base - D;
  }
  if (!Negative) {
    if (Value == Min)
      NotAnInteger(Text);
    Value = -Value;
  }
  return Value;
}

std::int32_t StrToInt(std::string_view Text) {
  std::int64_t Value = StrToInt64(Text);
  if (Value < std::numeric_limits<std::int32_t>::min() ||
      Value > std::numeric_limits<std::int32_t>::max())
    NotAnInteger(Text);
  return static_cast<std::int32_t>(Value);
}

namespace {

std::uint32_t DigitsToUInt(std::string_view Text, unsigned Base) {
  if (Text.empty() || Text.size() > 8)
    NotAnInteger(Text);
  std::uint32_t Value = 0;
  for (char C : Text) {
    int D = HexDigit(C);
    if (D < 0 || static_cast<unsigned>(D) >= Base)
      NotAnInteger(Text);
    Value = Value * Base + static_cast<unsigned>(D);
  }
  return Value;
}

}  // namespace

std::uint32_t HexToUInt(std::string_view Text) {
  return DigitsToUInt(Text, 16);
}
std::uint32_t DecToUInt(std::string_view Text) {
  return DigitsToUInt(Text, 10);
}

}  // namespace pelmar
