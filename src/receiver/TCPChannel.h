// The receiver channel over TCP: a client connection to host:port that is started without
// blocking the polling thread and looked at again on every connection check, reads whatever has
// arrived and writes acknowledgements. Optionally the stream is encrypted in both directions with
// AES in 128-bit cipher feedback (CFB-128): right after connecting the channel sends a random
// 16-byte initial vector in clear, then every byte each way is CFB-128 from that vector.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CustomChannel.h"
#include "uCrtSock.h"

struct evp_cipher_ctx_st;

namespace pelmar {

// AES-CFB-128 (NIST SP 800-38A) in one direction, with a key of 16, 24 or 32 bytes. The
// feedback register runs byte by byte, so the output depends only on the sequence of bytes fed
// in, never on how it was cut into calls. Not thread-safe.
class TAesCfb {
 public:
  TAesCfb() = default;
  ~TAesCfb();
  TAesCfb(const TAesCfb&) = delete;
  TAesCfb& operator=(const TAesCfb&) = delete;

  // Starts a stream from IV. Raises Exception "Invalid key size" for a key of another length.
  void Init(const std::vector<std::uint8_t>& Key, const std::uint8_t (&IV)[16], bool Encrypt);
  // Encrypts or decrypts Count bytes from In to Out (In may be Out). REQUIRES: Ready().
  void Update(const void* In, void* Out, int Count);
  // Forgets key schedule and register.
  void Wipe();
  bool Ready() const { return FContext != nullptr; }

 private:
  evp_cipher_ctx_st* FContext = nullptr;
};

class TTCPChannel : public TCustomChannel {
 public:
  // Port 10001, ReadTimeout 5000 (unused), ConnectTimeout 10000; non-blocking, unencrypted.
  TTCPChannel();
  // Closes (status 0, OnStatus fires), then frees the socket.
  ~TTCPChannel() override;

  // "host:port": Host takes the text before the first colon, Port the low 16 bits of the decimal
  // number after it (at most 10 characters; without a colon the whole text is the number and
  // Host is empty). A port text that is not a number raises EConvertError and changes nothing.
  void SetAddress(const std::string& Value) override;
  // Non-blocking: a pending connect is looked at on every call, whatever Interval; otherwise the
  // base class's paced reconnect. While 40 or more connects are pending in the process the next
  // attempt comes 3000 ms later instead of Interval later. Raises EChannelError when a connect
  // fails.
  bool CheckConnection(std::uint32_t Interval) override;

  const std::string& Host() const { return FHost; }
  void SetHost(const std::string& Value) { FHost = Value; }
  std::uint16_t Port() const { return FPort; }
  void SetPort(std::uint16_t Value) { FPort = Value; }
  // True: DoOpen waits for the connect up to ConnectTimeout. Default False.
  bool Blocking() const { return FBlocking; }
  void SetBlocking(bool Value) { FBlocking = Value; }
  // Encrypt the stream when EncryptionKey is not empty. Takes effect at the next connect.
  bool Encryption() const { return FEncryption; }
  void SetEncryption(bool Value) { FEncryption = Value; }
  // Key text, checked with ParseKey when assigned (an exception keeps the old text).
  const std::string& EncryptionKey() const { return FEncryptionKey; }
  void SetEncryptionKey(const std::string& Value);
  // A write the receiver takes nothing of for this many ms closes the channel. Default 500.
  std::uint32_t WriteTimeout() const { return FWriteTimeout; }
  void SetWriteTimeout(std::uint32_t Value) { FWriteTimeout = Value; }

  // The socket, for inspection; null before the first open.
  const TCrtSocket* Socket() const { return FSocket.get(); }
  int WaitHandle() const override { return IsOpen() && FSocket ? FSocket->Handle() : -1; }

  // Key text to key bytes: two hexadecimal digits (either case) per byte, pairs separated by any
  // one character ("01-02-...-10"); a single character left at the end is ignored. Raises
  // Exception "Invalid encryption key! Valid format is:
  // 01-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0F-10" for a pair that is not hexadecimal and
  // "Invalid key length! Supported sizes are: 128, 192 and 256 bits." unless the result has 0,
  // 16, 24 or 32 bytes.
  static std::vector<std::uint8_t> ParseKey(const std::string& Text);
  // True when 40 or more connects are pending in the process.
  static bool TooManyConnects();

 protected:
  void DoWrite(const void* Buffer, int Count) override;
  int DoRead(void* Buffer, int Count) override;
  // Discards waiting input without decrypting it, at most 64 KiB per call so that a receiver
  // that floods the line cannot hold the polling thread. Output is not touched.
  void DoPurge(bool Input, bool Output) override;
  bool DoOpen() override;
  // A close after a failed read, write or purge skips the graceful shutdown.
  void DoClose() override;

 private:
  // Starts encryption on a fresh connection when it is asked for: sends the initial vector in
  // clear and keys both directions. Raises on a bad key text or a key of 0 bytes.
  void InitEncryption();

  std::string FHost;
  std::uint16_t FPort = 10001;
  bool FBlocking = false;
  bool FEncryption = false;
  std::string FEncryptionKey;
  std::uint32_t FWriteTimeout = 500;
  std::unique_ptr<TCrtSocket> FSocket;  // created on the first open; created and freed under FLock
  TAesCfb FSendCipher;
  TAesCfb FRecvCipher;
  bool FCipherReady = false;  // the current connection is encrypted
};

}  // namespace pelmar
