#include "SerialChannel.h"

#include <mutex>
#include <optional>
#include <vector>

#include "Exception.h"
#include "Format.h"
#include "Utilities.h"

namespace pelmar {

namespace {

const char* const BadAddressText = "Неверный адрес канала:%s";
const char* const OpenFailedText = "Ошибка при открытии порта %d: %s";

}  // namespace

struct TSerialChannel::TLineParams {
  std::uint32_t Baud;
  TDataBits DataBits;
  TParity Parity;
  TStopBits StopBits;

  // "baud-databits-parity-stopbits"; raises with Params in the bad-address text.
  static TLineParams Parse(const std::string& Params) {
    std::vector<std::string> Pieces = SplitString("-", Params);
    if (Pieces.size() != 4)
      throw Exception(Format(BadAddressText, Params));
    std::int32_t Baud = StrToInt(Pieces[0]);
    // A zero rate would hang the line up and a negative one is no rate at all.
    if (Baud <= 0)
      throw Exception(Format(BadAddressText, Params));
    return TLineParams{static_cast<std::uint32_t>(Baud), DataBitsFromName(Pieces[1]),
                       ParityFromName(Pieces[2]), StopBitsFromName(Pieces[3])};
  }

  void ApplyTo(TCommPortDriver& Driver) const {
    Driver.SetBaudRateValue(Baud);
    Driver.SetDataBits(DataBits);
    Driver.SetParity(Parity);
    Driver.SetStopBits(StopBits);
  }
};

TSerialChannel::TSerialChannel() {
  FReadTimeout = 5000;
  std::lock_guard<std::recursive_mutex> Guard(FLock);
  FDriver = std::make_unique<TCommPortDriver>();
  FDriver->SetEnableDTROnOpen(true);
  FDriver->SetHwFlow(hfNONERTSON);
}

TSerialChannel::~TSerialChannel() {
  std::lock_guard<std::recursive_mutex> Guard(FLock);
  FDriver.reset();
}

void TSerialChannel::ParseAddress(const std::string& Address) {
  if (Address.empty()) {
    TLineParams::Parse(FDefaultParams).ApplyTo(*FDriver);
    return;
  }
  std::vector<std::string> Pieces = SplitString("/", Address);
  if (Pieces.size() > 2)
    throw Exception(Format(BadAddressText, Address));
  std::int32_t Port = StrToInt(Pieces[0]);
  // A number that does not fit the port byte would silently name another port.
  if (Port < 0 || Port > 255)
    throw Exception(Format(BadAddressText, Address));
  std::optional<TLineParams> Params;
  if (Pieces.size() == 2)
    Params = TLineParams::Parse(Pieces[1]);
  else if (!FDefaultParams.empty())
    Params = TLineParams::Parse(FDefaultParams);
  FPortNumber = static_cast<std::uint8_t>(Port);
  if (Params)
    Params->ApplyTo(*FDriver);
}

void TSerialChannel::SetAddress(const std::string& Value) {
  if (Value == FAddress)
    return;
  ParseAddress(Value);
  FAddress = Value;
}

bool TSerialChannel::DoOpen() {
  if (FDriver->Connected())
    FDriver->Disconnect();
  ParseAddress(FAddress);
  FDriver->SetPort(FPortNumber);
  FDriver->SetHwFlow(FHwFlow);
  if (!FDriver->Connect())
    throw EChannelError(
        Format(OpenFailedText, FDriver->Port(), SysErrorMessage(FDriver->LastError())));
  return true;
}

void TSerialChannel::DoClose() {
  FDriver->Disconnect();
}

int TSerialChannel::DoRead(void* Buffer, int Count) {
  return FDriver->ReadAvailable(Buffer, Count);
}

void TSerialChannel::DoWrite(const void* Buffer, int Count) {
  FDriver->SendData(Buffer, Count);
}

void TSerialChannel::DoPurge(bool Input, bool Output) {
  FDriver->FlushBuffers(Input, Output);
}

}  // namespace pelmar
