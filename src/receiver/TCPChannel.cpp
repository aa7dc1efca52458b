#include "TCPChannel.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <mutex>
#include <thread>

#include "Clock.h"
#include "Exception.h"
#include "Format.h"

namespace pelmar {

namespace {

const char* const InvalidKeyText =
    "Invalid encryption key! Valid format is: 01-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0F-10";
const char* const InvalidKeyLengthText =
    "Invalid key length! Supported sizes are: 128, 192 and 256 bits.";
const char* const InvalidKeySizeText = "Invalid key size";

constexpr std::int32_t MaxPendingConnects = 40;
constexpr std::uint32_t BusyRetryInterval = 3000;
constexpr int PurgeChunk = 1024;
constexpr int MaxPurgeChunks = 64;

// Key bytes that are wiped when they go out of scope.
struct TWipedKey {
  std::vector<std::uint8_t> Bytes;
  ~TWipedKey() { OPENSSL_cleanse(Bytes.data(), Bytes.size()); }
};

int HexDigit(char C) {
  if (C >= '0' && C <= '9')
    return C - '0';
  if (C >= 'a' && C <= 'f')
    return C - 'a' + 10;
  if (C >= 'A' && C <= 'F')
    return C - 'A' + 10;
  return -1;
}

}  // namespace

TAesCfb::~TAesCfb() {
  Wipe();
}

void TAesCfb::Init(const std::vector<std::uint8_t>& Key, const std::uint8_t (&IV)[16],
                   bool Encrypt) {
  const EVP_CIPHER* Cipher = nullptr;
  switch (Key.size()) {
    case 16:
      Cipher = EVP_aes_128_cfb128();
      break;
    case 24:
      Cipher = EVP_aes_192_cfb128();
      break;
    case 32:
      Cipher = EVP_aes_256_cfb128();
      break;
    default:
      throw Exception(InvalidKeySizeText);
  }
  Wipe();
  FContext = EVP_CIPHER_CTX_new();
  if (FContext == nullptr ||
      EVP_CipherInit_ex(FContext, Cipher, nullptr, Key.data(), IV, Encrypt ? 1 : 0) != 1) {
    Wipe();
    throw Exception("Failed to set up the AES cipher");
  }
}

void TAesCfb::Update(const void* In, void* Out, int Count) {
  int Length = 0;
  if (Count > 0 && EVP_CipherUpdate(FContext, static_cast<unsigned char*>(Out), &Length,
                                    static_cast<const unsigned char*>(In), Count) != 1)
    throw Exception("AES cipher failure");
}

void TAesCfb::Wipe() {
  // Freeing the context cleanses the key schedule and the register.
  EVP_CIPHER_CTX_free(FContext);
  FContext = nullptr;
}

TTCPChannel::TTCPChannel() {
  FReadTimeout = 5000;
  FConnectTimeout = 10000;
}

TTCPChannel::~TTCPChannel() {
  try {
    Close();
  } catch (...) {
    // Nothing can be reported from a destructor; the socket is freed below all the same.
  }
  std::lock_guard<std::recursive_mutex> Guard(FLock);
  FSocket.reset();
}

void TTCPChannel::SetAddress(const std::string& Value) {
  if (Value == FAddress)
    return;
  std::size_t Colon = Value.find(':');
  std::string Host = Colon == std::string::npos ? std::string() : Value.substr(0, Colon);
  std::string PortText =
      Colon == std::string::npos ? Value.substr(0, 10) : Value.substr(Colon + 1, 10);
  // Host and Port change together or not at all, so that a bad text never leaves the channel
  // pointing at a mix of the old and the new receiver.
  auto Port = static_cast<std::uint16_t>(StrToInt(PortText));
  FHost = Host;
  FPort = Port;
  FAddress = Value;
}

std::vector<std::uint8_t> TTCPChannel::ParseKey(const std::string& Text) {
  std::vector<std::uint8_t> Key;
  for (std::size_t I = 0; I + 1 < Text.size(); I += 3) {
    int High = HexDigit(Text[I]);
    int Low = HexDigit(Text[I + 1]);
    if (High < 0 || Low < 0)
      throw Exception(InvalidKeyText);
    Key.push_back(static_cast<std::uint8_t>(High * 16 + Low));
  }
  std::size_t N = Key.size();
  if (N != 0 && N != 16 && N != 24 && N != 32) {
    OPENSSL_cleanse(Key.data(), Key.size());
    throw Exception(InvalidKeyLengthText);
  }
  return Key;
}

void TTCPChannel::SetEncryptionKey(const std::string& Value) {
  if (Value == FEncryptionKey)
    return;
  // Only checked: the bytes are parsed again at every connect and none stay in memory.
  const TWipedKey Checked{ParseKey(Value)};
  FEncryptionKey = Value;
}

bool TTCPChannel::TooManyConnects() {
  return PendingConnects.load() >= MaxPendingConnects;
}

bool TTCPChannel::DoOpen() {
  {
    std::lock_guard<std::recursive_mutex> Guard(FLock);
    if (!FSocket)
      FSocket = std::make_unique<TCrtSocket>();
  }
  FSocket->SetWriteTimeout(FWriteTimeout);
  bool Result;
  if (FBlocking) {
    FSocket->SetConnectTimeout(FConnectTimeout);
    FSocket->Connect(FHost, FPort);
    Result = true;
  } else if (FSocket->Connecting()) {
    Result = FSocket->AsyncCheckConnected(0);
  } else if (TooManyConnects()) {
    Result = false;
  } else {
    FSocket->SetConnectTimeout(FConnectTimeout);
    FSocket->AsyncConnect(FHost, FPort);
    // Loopback and nearby receivers often answer within this one yield.
    std::this_thread::yield();
    Result = FSocket->AsyncCheckConnected(0);
  }
  if (Result)
    InitEncryption();
  return Result;
}

void TTCPChannel::InitEncryption() {
  FCipherReady = false;
  if (!FEncryption || FEncryptionKey.empty())
    return;
  const TWipedKey Key{ParseKey(FEncryptionKey)};
  std::uint8_t IV[16];
  // The initial vector comes from the system's cryptographic random source: a receiver sees the
  // same wire format, an eavesdropper cannot predict the vector.
  if (RAND_bytes(IV, sizeof IV) != 1)
    throw Exception("Failed to create the initial vector");
  FSendCipher.Init(Key.Bytes, IV, true);
  FRecvCipher.Init(Key.Bytes, IV, false);
  DoWrite(IV, sizeof IV);
  FCipherReady = true;
}

void TTCPChannel::DoWrite(const void* Buffer, int Count) {
  if (!FCipherReady) {
    FSocket->Write(Buffer, Count);
    return;
  }
  std::vector<std::uint8_t> Cipher(static_cast<std::size_t>(Count));
  FSendCipher.Update(Buffer, Cipher.data(), Count);
  FSocket->Write(Cipher.data(), Count);
}

int TTCPChannel::DoRead(void* Buffer, int Count) {
  int N = FSocket->Read(Buffer, Count);
  if (FCipherReady && N > 0)
    FRecvCipher.Update(Buffer, Buffer, N);
  return N;
}

void TTCPChannel::DoPurge(bool Input, bool /*Output*/) {
  if (!Input)
    return;
  std::uint8_t Chunk[PurgeChunk];
  for (int I = 0; I < MaxPurgeChunks; ++I)
    if (FSocket->Read(Chunk, PurgeChunk) == 0)
      break;
}

void TTCPChannel::DoClose() {
  {
    std::lock_guard<std::recursive_mutex> Guard(FLock);
    if (FSocket)
      FSocket->Close(!FError);
  }
  FSendCipher.Wipe();
  FRecvCipher.Wipe();
  FCipherReady = false;
}

bool TTCPChannel::CheckConnection(std::uint32_t Interval) {
  if (!FBlocking && FSocket && FSocket->Connecting()) {
    FLastConnectTick = GetTickCount();
    Open();
    return IsOpen();
  }
  bool Result = TCustomChannel::CheckConnection(Interval);
  // With an interval shorter than the back-off the tick would land in the future and, read
  // modulo 2^32, look long past: the normal interval is the sooner retry then.
  if (!Result && !FBlocking && TooManyConnects() && Interval > BusyRetryInterval)
    FLastConnectTick = GetTickCount() - Interval + BusyRetryInterval;
  return Result;
}

}  // namespace pelmar
