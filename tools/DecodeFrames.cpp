// Decodes Sur-Gard receiver bytes the way a receiver channel does and prints every report, every
// link test and every acknowledgement. Reads the bytes of the files named on the command line,
// or standard input with "-", or a built-in sample of frames without arguments. With --debug the
// decoder's lines go to the debug pipe (watch them with DebugViewer DecodeFrames).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "CustomChannel.h"
#include "Debug.h"
#include "cidProtocol.h"
#include "cidReceiver.h"

using namespace pelmar;

namespace {

// A channel over bytes already in memory; what is written back is counted as acknowledgements.
class TTextChannel : public TCustomChannel {
 public:
  explicit TTextChannel(std::string Bytes) : FBytes(std::move(Bytes)) {}
  void SetAddress(const std::string& Value) override { FAddress = Value; }
  bool Drained() const { return FPos >= FBytes.size(); }
  int Acks = 0;

 protected:
  void DoWrite(const void* Buffer, int Count) override {
    for (int I = 0; I < Count; ++I)
      if (static_cast<const char*>(Buffer)[I] == ACK)
        ++Acks;
    std::printf("  -> ACK\n");
  }
  // Like a receiver, hands out one message at a time (up to its DC4) and waits for the answer.
  int DoRead(void* Buffer, int Count) override {
    size_t End = FBytes.find(DC4, FPos);
    End = End == std::string::npos ? FBytes.size() : End + 1;
    size_t N = std::min(static_cast<size_t>(Count), End - FPos);
    std::memcpy(Buffer, FBytes.data() + FPos, N);
    FPos += N;
    return static_cast<int>(N);
  }
  void DoPurge(bool, bool) override {}
  bool DoOpen() override { return true; }
  void DoClose() override {}

 private:
  std::string FBytes;
  size_t FPos = 0;
};

std::string SampleFrames() {
  const char* Frames[] = {
      "5011 181234E13001003",  // burglary (130), account 1234, group 1, zone 3
      "1              @    ",  // link test
      "5011 181234R13001003",  // its restore
      "5011 1812B4E60200000",  // periodic test report (602) of account 12B4
      "5011 181234P13001003",  // bad qualifier: dropped, not acknowledged
      "garbage",               // wrong length: dropped
  };
  std::string S;
  for (const char* F : Frames)
    S += std::string(F) + DC4;
  return S;
}

}  // namespace

int main(int argc, char** argv) {
  std::string Bytes;
  bool Any = false;
  for (int I = 1; I < argc; ++I) {
    std::string Arg = argv[I];
    if (Arg == "--debug") {
      EnableDebugLog();
      continue;
    }
    Any = true;
    if (Arg == "-") {
      Bytes.append(std::istreambuf_iterator<char>(std::cin), {});
    } else {
      std::ifstream In(Arg, std::ios::binary);
      if (!In) {
        std::fprintf(stderr, "DecodeFrames: cannot read %s\n", Arg.c_str());
        return 1;
      }
      Bytes.append(std::istreambuf_iterator<char>(In), {});
    }
  }
  if (!Any)
    Bytes = SampleFrames();

  TTextChannel Channel(Bytes);
  Channel.SetAddress("memory");
  Channel.Open();
  TReceiver Receiver(TcspSurGardCID::Create, Channel);
  Receiver.SetAckEvents(true);
  // The receiver passes only reports on; link tests (type 0, which carry no numbers) are shown
  // as the protocol hands them to it, before the acknowledgement they are owed.
  int LinkTests = 0;
  TciMessageEvent ToReceiver = Receiver.Protocol().OnMessage();
  Receiver.Protocol().SetOnMessage([&LinkTests, ToReceiver](TciMessage& Msg) {
    if (Msg.MessageType == 0) {
      ++LinkTests;
      std::printf("link test\n");
    }
    ToReceiver(Msg);
  });
  int Reports = 0;
  Receiver.SetOnMessage([&](TciMessage& Msg) {
    ++Reports;
    std::printf("report: account %04X qualifier %u code %03X group %02X zone %03X\n", Msg.Account,
                Msg.Qualifier, Msg.Code, Msg.Group, Msg.Zone);
    Msg.Ack = true;  // recorded (printed): acknowledge
  });
  while (!Channel.Drained())
    Receiver.Poll();
  std::printf("%zu bytes, %d reports, %d link tests, %d acknowledgements\n", Bytes.size(), Reports,
              LinkTests, Channel.Acks);
  return 0;
}
