// Buffers written from and compared with hex text, for byte-exact object records.
#pragma once

#include <memory>
#include <string>

#include "BaseProtocol.h"
#include "Common.h"

namespace pelmar::test {

// All bytes of B as "03 00 00 00 61", whatever its position.
std::string HexOf(const TBufferProtocol& B);
// A buffer holding the bytes of Hex, positioned at its start.
std::unique_ptr<TBufferProtocol> BufferOf(const std::string& Hex);
// All bytes of B as a byte string, whatever its position.
std::string ContentOf(const TBufferProtocol& B);
// A buffer holding the bytes of Content, positioned at its start.
std::unique_ptr<TBufferProtocol> BufferOfContent(const std::string& Content);
// The record Obj writes, as hex.
std::string RecordOf(TCustomSysObject& Obj);

}  // namespace pelmar::test
