// Hex helpers so that expected wire bytes read like the tables they come from.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pelmar::test {

// "03 00 00 00 61" -> the bytes; blanks are ignored. A malformed text fails the test.
std::vector<std::uint8_t> Bytes(std::string_view Hex);
// Same bytes as a byte string.
std::string ByteString(std::string_view Hex);
// The bytes as "03 00 00 00 61".
std::string ToHex(const void* Data, size_t Count);
std::string ToHex(const std::vector<std::uint8_t>& Data);
std::string ToHex(std::string_view Data);

}  // namespace pelmar::test
