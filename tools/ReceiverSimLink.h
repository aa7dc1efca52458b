// The receiver simulator's end of the line to the ContactID service: a TCP listener that the
// service's TCP channel connects to, or a pseudo-terminal that the service opens as its serial
// port. A link is "up" while the service is there to talk to; what is sent while it is down is
// the owner's affair (it waits). Everything runs on the simulator's one thread: the owner polls
// the descriptors the link names and hands the results back.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ReceiverSimLog.h"

struct evp_cipher_ctx_st;

namespace pelmar::receiversim {

using TSteady = std::chrono::steady_clock;

// Key text to key bytes: 16, 24 or 32 bytes as hex digits, either run together
// ("000102...0F") or in pairs with one character between them, the form of the service's
// setting ("01-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0F-10"). Raises std::invalid_argument.
std::vector<std::uint8_t> ParseKeyText(const std::string& Text);
// The key in the service's form, "01-02-...".
std::string KeyText(const std::vector<std::uint8_t>& Key);

// AES in 128-bit cipher feedback, one direction, running byte by byte so that the result does
// not depend on how the stream is cut into calls.
class TCfbStream {
 public:
  TCfbStream() = default;
  ~TCfbStream();
  TCfbStream(const TCfbStream&) = delete;
  TCfbStream& operator=(const TCfbStream&) = delete;

  // Starts from IV (16 bytes). Raises std::runtime_error when the cipher cannot be set up.
  void Start(const std::vector<std::uint8_t>& Key, const std::string& IV, bool Encrypt);
  // Encrypts or decrypts Bytes in place. REQUIRES: Started().
  void Apply(std::string& Bytes);
  void Stop();
  bool Started() const { return FContext != nullptr; }

 private:
  evp_cipher_ctx_st* FContext = nullptr;
};

class TLink {
 public:
  virtual ~TLink() = default;

  // Called from Handle and Drop, on the simulator's thread. The handlers must not call Send
  // or Drop.
  std::function<void()> OnUp;
  std::function<void(const std::string& Why)> OnDown;
  std::function<void(const std::string& Bytes)> OnReceived;

  bool Up() const { return FUp; }
  // Stops reading what the service sends (a receiver that no longer reads its line). Going
  // away is still noticed.
  void SetNoRead(bool Value) { FNoRead = Value; }

  // Appends the descriptors to wait on and what for.
  virtual void AddPollFds(std::vector<pollfd>& Fds) = 0;
  // Acts on what poll reported in Fds (entries of other owners are ignored); also called when
  // the wait timed out.
  virtual void Handle(const std::vector<pollfd>& Fds) = 0;
  // The time by which Handle wants to be called even when nothing happens; max() for none.
  virtual TSteady::time_point WakeUp() const { return TSteady::time_point::max(); }
  // Queues Bytes to the service; sent as soon as the line takes them. REQUIRES: Up().
  virtual void Send(const std::string& Bytes) = 0;
  // Breaks the connection as a failing line would. False when this kind of link cannot.
  virtual bool Drop() = 0;

 protected:
  void SetUp(bool Value, const std::string& Why);

  bool FUp = false;
  bool FNoRead = false;
};

// TCP: listens; the service connects as a client. One connection at a time: a newer one
// replaces the older (the service reconnecting after it lost the old one). With a key, the
// service's first 16 bytes on a connection are the initial vector in clear, and every byte
// after them, both ways, is AES-CFB-128 from that vector; the link is up once the vector came.
class TTcpLink : public TLink {
 public:
  // An empty key: the stream is plain. A connection whose initial vector has not come within
  // VectorWait is logged once as WAITING, a hint that the service's channel may be plain.
  TTcpLink(TEventLog& Log, std::vector<std::uint8_t> Key,
           std::chrono::milliseconds VectorWait = std::chrono::seconds(4));
  ~TTcpLink() override;

  // Listens on Bind:Port (0: a free port). Raises std::runtime_error with the system's reason.
  void Listen(const std::string& Bind, std::uint16_t Port);
  std::uint16_t Port() const { return FPort; }

  void AddPollFds(std::vector<pollfd>& Fds) override;
  void Handle(const std::vector<pollfd>& Fds) override;
  TSteady::time_point WakeUp() const override;
  void Send(const std::string& Bytes) override;
  // Closes the connection; the next one the service makes is taken.
  bool Drop() override;

 private:
  void Accept();
  void Read();
  void Flush();
  void CloseConnection(const std::string& Why);

  TEventLog& FLog;
  std::vector<std::uint8_t> FKey;
  int FListen = -1;
  std::uint16_t FPort = 0;
  int FConnection = -1;
  std::string FPeer;
  std::chrono::milliseconds FVectorWait;
  TSteady::time_point FVectorDue;  // max() once the vector came or the hint was given
  std::string FIV;                 // the initial vector as far as it came
  std::string FOut;                // bytes the socket has not taken yet, already encrypted
  TCfbStream FEncrypt;
  TCfbStream FDecrypt;
};

// Serial: a pseudo-terminal whose slave side the service opens as its serial port. The link is
// up while the service has the port open. The service marks the port exclusive when it opens it;
// the simulator watches for that on a descriptor of its own, then clears the mark (it would
// outlive the service's descriptor, since the pseudo-terminal lives as long as its master side,
// and keep a restarted service out) and lets go of its descriptor, so that the service closing
// the port shows as a hang-up on the master side.
class TPtyLink : public TLink {
 public:
  explicit TPtyLink(TEventLog& Log);
  ~TPtyLink() override;

  // Creates the pseudo-terminal. Raises std::runtime_error with the system's reason.
  void Open();
  const std::string& DeviceName() const { return FDeviceName; }

  void AddPollFds(std::vector<pollfd>& Fds) override;
  void Handle(const std::vector<pollfd>& Fds) override;
  TSteady::time_point WakeUp() const override;
  void Send(const std::string& Bytes) override;
  // A serial line cannot be taken away from the service: false.
  bool Drop() override { return false; }

 private:
  enum TState { Waiting, Settling, Talking };

  // Holds a descriptor of the slave side again, waiting for the service to open it.
  void Wait(const std::string& Why);
  bool Read();
  void Flush();

  TEventLog& FLog;
  int FMaster = -1;
  int FSlave = -1;  // the simulator's own descriptor while it waits for the service
  std::string FDeviceName;
  TState FState = Waiting;
  TSteady::time_point FNextLook;
  std::string FOut;
};

}  // namespace pelmar::receiversim
