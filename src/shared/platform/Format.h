// Printf-style formatting with the run-time library's rules, type-checked at run time: %d %u
// %x (upper-case hex digits) %s %f %g %e %c %%, with flags, width and precision. Integers of any
// width, floating values, characters and strings are accepted; a directive that does not fit its
// argument, or a missing argument, raises EConvertError instead of reading garbage.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace pelmar {

// One argument of Format, kept by value.
struct TFormatArg {
  enum TKind { fkSigned, fkUnsigned, fkFloat, fkString } Kind;
  std::int64_t Signed = 0;
  std::uint64_t Unsigned = 0;
  double Float = 0;
  std::string_view Text;

  template <typename T>
  TFormatArg(const T& Value) {  // NOLINT: implicit on purpose, Format(...) converts each argument
    if constexpr (std::is_same_v<T, bool>) {
      Kind = fkSigned;
      Signed = Value ? 1 : 0;
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
      Kind = fkSigned;
      Signed = Value;
    } else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
      Kind = fkUnsigned;
      Unsigned = static_cast<std::uint64_t>(Value);
    } else if constexpr (std::is_floating_point_v<T>) {
      Kind = fkFloat;
      Float = Value;
    } else {
      Kind = fkString;
      Text = std::string_view(Value);
    }
  }
};

std::string FormatArgs(std::string_view Fmt, const std::vector<TFormatArg>& Args);

template <typename... Args>
std::string Format(std::string_view Fmt, const Args&... Values) {
  return FormatArgs(Fmt, std::vector<TFormatArg>{TFormatArg(Values)...});
}

// Decimal text to integer: optional blanks and sign, then digits, or "$"/"0x" and hex digits.
// Raises EConvertError "'%s' is not a valid integer value" otherwise (also on overflow).
std::int32_t StrToInt(std::string_view Text);
std::int64_t StrToInt64(std::string_view Text);
// Whole text as hexadecimal digits of either case (no sign, no prefix, at least one digit).
// Raises EConvertError "'%s' is not a valid integer value" otherwise.
std::uint32_t HexToUInt(std::string_view Text);
// Whole text as decimal digits (no sign, at least one digit), same error.
std::uint32_t DecToUInt(std::string_view Text);

}  // namespace pelmar
