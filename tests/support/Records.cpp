#include "Records.h"

#include <vector>

#include "Hex.h"

namespace pelmar::test {

std::string HexOf(const TBufferProtocol& B) {
  return ToHex(B.Data(), static_cast<size_t>(B.Size()));
}

std::unique_ptr<TBufferProtocol> BufferOf(const std::string& Hex) {
  auto B = std::make_unique<TBufferProtocol>(32);
  const std::vector<std::uint8_t> Data = Bytes(Hex);
  B->WriteData(static_cast<std::int32_t>(Data.size()), Data.data());
  B->SetPosition(0);
  return B;
}

std::string ContentOf(const TBufferProtocol& B) {
  return B.Size() == 0 ? std::string()
                       : std::string(reinterpret_cast<const char*>(B.Data()),
                                     static_cast<std::size_t>(B.Size()));
}

std::unique_ptr<TBufferProtocol> BufferOfContent(const std::string& Content) {
  auto B = std::make_unique<TBufferProtocol>(32);
  B->WriteData(static_cast<std::int32_t>(Content.size()), Content.data());
  B->SetPosition(0);
  return B;
}

std::string RecordOf(TCustomSysObject& Obj) {
  TBufferProtocol B(64);
  Obj.SaveToBuffer(B);
  return HexOf(B);
}

}  // namespace pelmar::test
