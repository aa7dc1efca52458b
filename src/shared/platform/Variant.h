// A variant value: null, integers of each width, floating values, date-time, string or Boolean,
// tagged with the OLE Automation type code that the buffer protocol writes. Used by the buffer
// protocol, the database layer and the log buffer alike.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "DateTime.h"

namespace pelmar {

// OLE Automation variant type codes (and the run-time library's own 256, 257 and 72).
enum class TVarType : std::uint16_t {
  Empty = 0,
  Null = 1,
  SmallInt = 2,
  Integer = 3,
  Single = 4,
  Double = 5,
  Currency = 6,
  Date = 7,
  OleStr = 8,
  Dispatch = 9,
  Error = 10,
  Boolean = 11,
  Variant = 12,
  Unknown = 13,
  ShortInt = 16,
  Byte = 17,
  Word = 18,
  LongWord = 19,
  Int64 = 20,
  StrArg = 72,
  String = 256,
  Any = 257,
};

class TVariant {
 public:
  TVariant() = default;  // empty
  TVariant(std::int32_t Value) : FType(TVarType::Integer), FValue(std::int64_t{Value}) {}
  TVariant(std::int64_t Value) : FType(TVarType::Int64), FValue(Value) {}
  TVariant(std::uint8_t Value) : FType(TVarType::Byte), FValue(std::int64_t{Value}) {}
  TVariant(std::uint16_t Value) : FType(TVarType::Word), FValue(std::int64_t{Value}) {}
  TVariant(std::uint32_t Value) : FType(TVarType::LongWord), FValue(std::int64_t{Value}) {}
  TVariant(double Value) : FType(TVarType::Double), FValue(Value) {}
  TVariant(bool Value) : FType(TVarType::Boolean), FValue(Value) {}
  TVariant(std::string Value) : FType(TVarType::String), FValue(std::move(Value)) {}
  TVariant(const char* Value) : TVariant(std::string(Value)) {}

  static TVariant Null() { return Of(TVarType::Null, std::monostate{}); }
  static TVariant DateTime(TDateTime Value) { return Of(TVarType::Date, Value); }
  // A value of the given kind: integers for the integer kinds (narrowed to the kind's width),
  // doubles for the float kinds and Date, text for the string kinds. Kinds that carry no value
  // of ours (Dispatch, Error, Variant, Unknown, StrArg, Any) hold nothing.
  static TVariant OfInteger(TVarType Type, std::int64_t Value);
  static TVariant OfFloat(TVarType Type, double Value);
  static TVariant OfString(TVarType Type, std::string Value);
  static TVariant OfKind(TVarType Type) { return Of(Type, std::monostate{}); }

  TVarType VarType() const { return FType; }
  bool IsNull() const { return FType == TVarType::Null || FType == TVarType::Empty; }
  bool IsEmpty() const { return FType == TVarType::Empty; }

  // Conversions in the run-time library's manner; a value that cannot be converted raises
  // EVariantError naming both kinds. Null and empty convert to 0, 0.0, "" and False.
  std::int32_t AsInteger() const;
  std::int64_t AsInt64() const;
  double AsDouble() const;
  bool AsBoolean() const;
  std::string AsString() const;

  bool operator==(const TVariant& Other) const = default;

 private:
  using TValue = std::variant<std::monostate, std::int64_t, double, bool, std::string>;
  template <typename T>
  static TVariant Of(TVarType Type, T Value) {
    TVariant V;
    V.FType = Type;
    V.FValue = std::move(Value);
    return V;
  }
  [[noreturn]] void CannotConvert(const char* Target) const;

  TVarType FType = TVarType::Empty;
  TValue FValue;
};

// The run-time library's name of a kind: "Dispatch", "Error", ..., or "$" and four hex digits for
// a code without a name (72 gives "$0048"), or the decimal code for one outside the table.
std::string VarTypeName(TVarType Type);

}  // namespace pelmar
