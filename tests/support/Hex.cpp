#include "Hex.h"

#include <gtest/gtest.h>

namespace pelmar::test {

std::vector<std::uint8_t> Bytes(std::string_view Hex) {
  std::vector<std::uint8_t> Out;
  int High = -1;
  for (char C : Hex) {
    int D;
    if (C >= '0' && C <= '9')
      D = C - '0';
    else if (C >= 'a' && C <= 'f')
      D = C - 'a' + 10;
    else if (C >= 'A' && C <= 'F')
      D = C - 'A' + 10;
    else if (C == ' ' || C == '\n')
      continue;
    else {
      ADD_FAILURE() << "bad hex text: " << Hex;
      return Out;
    }
    if (High < 0) {
      High = D;
    } else {
      Out.push_back(static_cast<std::uint8_t>(High * 16 + D));
      High = -1;
    }
  }
  if (High >= 0)
    ADD_FAILURE() << "odd number of hex digits: " << Hex;
  return Out;
}

std::string ByteString(std::string_view Hex) {
  auto B = Bytes(Hex);
  return std::string(B.begin(), B.end());
}

std::string ToHex(const void* Data, size_t Count) {
  static const char Digits[] = "0123456789ABCDEF";
  std::string Out;
  auto* P = static_cast<const std::uint8_t*>(Data);
  for (size_t I = 0; I < Count; ++I) {
    if (I)
      Out += ' ';
    Out += Digits[P[I] >> 4];
    Out += Digits[P[I] & 15];
  }
  return Out;
}

std::string ToHex(const std::vector<std::uint8_t>& Data) {
  return ToHex(Data.data(), Data.size());
}
std::string ToHex(std::string_view Data) {
  return ToHex(Data.data(), Data.size());
}

}  // namespace pelmar::test
