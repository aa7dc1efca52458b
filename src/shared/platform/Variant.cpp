#include "Variant.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "Exception.h"
#include "Format.h"

namespace pelmar {

TVariant TVariant::OfInteger(TVarType Type, std::int64_t Value) {
  switch (Type) {
    case TVarType::SmallInt:
      return Of(Type, std::int64_t{static_cast<std::int16_t>(Value)});
    case TVarType::Integer:
      return Of(Type, std::int64_t{static_cast<std::int32_t>(Value)});
    case TVarType::ShortInt:
      return Of(Type, std::int64_t{static_cast<std::int8_t>(Value)});
    case TVarType::Byte:
      return Of(Type, std::int64_t{static_cast<std::uint8_t>(Value)});
    case TVarType::Word:
      return Of(Type, std::int64_t{static_cast<std::uint16_t>(Value)});
    case TVarType::LongWord:
      return Of(Type, std::int64_t{static_cast<std::uint32_t>(Value)});
    case TVarType::Int64:
      return Of(Type, Value);
    case TVarType::Boolean:
      return Of(Type, Value != 0);
    default:
      return OfFloat(Type, static_cast<double>(Value));
  }
}

TVariant TVariant::OfFloat(TVarType Type, double Value) {
  switch (Type) {
    case TVarType::Single:
      return Of(Type, static_cast<double>(static_cast<float>(Value)));
    case TVarType::Double:
    case TVarType::Currency:
    case TVarType::Date:
      return Of(Type, Value);
    default:
      return OfKind(Type);
  }
}

TVariant TVariant::OfString(TVarType Type, std::string Value) {
  if (Type == TVarType::OleStr || Type == TVarType::String)
    return Of(Type, std::move(Value));
  return OfKind(Type);
}

void TVariant::CannotConvert(const char* Target) const {
  throw EVariantError("Could not convert variant of type (" + VarTypeName(FType) + ") into type (" +
                      Target + ")");
}

std::int64_t TVariant::AsInt64() const {
  if (IsNull())
    return 0;
  if (auto* I = std::get_if<std::int64_t>(&FValue))
    return *I;
  if (auto* B = std::get_if<bool>(&FValue))
    return *B ? -1 : 0;
  if (auto* D = std::get_if<double>(&FValue)) {
    double R = std::nearbyint(*D);
    if (std::isfinite(R) && R >= -9.2e18 && R <= 9.2e18)
      return static_cast<std::int64_t>(R);
  }
  if (auto* S = std::get_if<std::string>(&FValue)) {
    try {
      return StrToInt64(*S);
    } catch (const EConvertError&) {
    }
  }
  CannotConvert("Int64");
}

std::int32_t TVariant::AsInteger() const {
  std::int64_t V = AsInt64();
  if (V < std::numeric_limits<std::int32_t>::min() || V > std::numeric_limits<std::int32_t>::max())
    CannotConvert("Integer");
  return static_cast<std::int32_t>(V);
}

double TVariant::AsDouble() const {
  if (IsNull())
    return 0.0;
  if (auto* D = std::get_if<double>(&FValue))
    return *D;
  if (auto* I = std::get_if<std::int64_t>(&FValue))
    return static_cast<double>(*I);
  if (auto* B = std::get_if<bool>(&FValue))
    return *B ? -1.0 : 0.0;
  if (auto* S = std::get_if<std::string>(&FValue)) {
    char* End = nullptr;
    double V = std::strtod(S->c_str(), &End);
    if (!S->empty() && End && *End == '\0')
      return V;
  }
  CannotConvert("Double");
}

bool TVariant::AsBoolean() const {
  if (IsNull())
    return false;
  if (auto* B = std::get_if<bool>(&FValue))
    return *B;
  if (auto* I = std::get_if<std::int64_t>(&FValue))
    return *I != 0;
  if (auto* D = std::get_if<double>(&FValue))
    return *D != 0.0;
  if (auto* S = std::get_if<std::string>(&FValue)) {
    if (*S == "True" || *S == "true" || *S == "TRUE")
      return true;
    if (*S == "False" || *S == "false" || *S == "FALSE")
      return false;
    try {
      return StrToInt64(*S) != 0;
    } catch (const EConvertError&) {
    }
  }
  CannotConvert("Boolean");
}

std::string TVariant::AsString() const {
  if (IsNull())
    return {};
  if (auto* S = std::get_if<std::string>(&FValue))
    return *S;
  if (auto* I = std::get_if<std::int64_t>(&FValue))
    return std::to_string(*I);
  if (auto* B = std::get_if<bool>(&FValue))
    return *B ? "True" : "False";
  if (auto* D = std::get_if<double>(&FValue)) {
    if (FType == TVarType::Date)
      return DateTimeToStr(*D);
    char Text[32];
    std::snprintf(Text, sizeof Text, "%.15g", *D);
    return Text;
  }
  CannotConvert("String");
}

std::string VarTypeName(TVarType Type) {
  switch (Type) {
    case TVarType::Empty:
      return "Empty";
    case TVarType::Null:
      return "Null";
    case TVarType::SmallInt:
      return "SmallInt";
    case TVarType::Integer:
      return "Integer";
    case TVarType::Single:
      return "Single";
    case TVarType::Double:
      return "Double";
    case TVarType::Currency:
      return "Currency";
    case TVarType::Date:
      return "Date";
    case TVarType::OleStr:
      return "OleStr";
    case TVarType::Dispatch:
      return "Dispatch";
    case TVarType::Error:
      return "Error";
    case TVarType::Boolean:
      return "Boolean";
    case TVarType::Variant:
      return "Variant";
    case TVarType::Unknown:
      return "Unknown";
    case TVarType::ShortInt:
      return "ShortInt";
    case TVarType::Byte:
      return "Byte";
    case TVarType::Word:
      return "Word";
    case TVarType::LongWord:
      return "LongWord";
    case TVarType::Int64:
      return "Int64";
    case TVarType::String:
      return "String";
    case TVarType::Any:
      return "Any";
    case TVarType::StrArg:
      break;
  }
  auto Code = static_cast<unsigned>(Type);
  if (Type == TVarType::StrArg)
    return Format("$%.4x", Code);
  return std::to_string(Code);
}

}  // namespace pelmar
