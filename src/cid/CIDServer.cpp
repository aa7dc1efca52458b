#include "CIDServer.h"

#include <cxxabi.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <typeinfo>

#include "Debug.h"
#include "FbDatabase.h"
#include "SerialChannel.h"
#include "TCPChannel.h"
#include "Utilities.h"

namespace pelmar {

namespace {

// ---------------------------------------------------------------------------------------------
// Statuses

enum : std::uint8_t {
  gsArmed = 0x01,
  gsTrouble = 0x02,
  gsTest = 0x04,
  gsAlarm = 0x08,
  gsDisarmed = 0x10,
};
constexpr std::uint16_t zsAlarm = 0x01;
constexpr std::uint8_t asTestReportOverdue = 0x01;

constexpr std::int64_t MsPerMinute = 60000;
constexpr std::int64_t MsPerDay = 86400000;

// The class name of an object as its declaration spells it ("TCIDZone").
std::string ClassNameOf(const TCustomSysObject& Obj) {
  const char* Mangled = typeid(Obj).name();
  int Status = 0;
  char* Demangled = abi::__cxa_demangle(Mangled, nullptr, nullptr, &Status);
  std::string Name = Status == 0 && Demangled != nullptr ? Demangled : Mangled;
  std::free(Demangled);
  const std::size_t Scope = Name.rfind("::");
  return Scope == std::string::npos ? Name : Name.substr(Scope + 2);
}

// A date-time in whole milliseconds, so that the supervision limits compare exactly.
std::int64_t ToMs(TDateTime Value) {
  return std::llround(Value * static_cast<double>(MsPerDay));
}

// ---------------------------------------------------------------------------------------------
// Channel objects

const char* const WaitingForReceiverText = "Ожидание приемника...";
const char* const ReceiverTimeoutText = "Таймаут приемника";
const char* const ReceiveErrorText = "Ошибка получения события";

constexpr std::uint16_t ReceiverOnlineEvent = 9300;
constexpr std::uint16_t ReceiverLostEvent = 9301;
constexpr std::uint16_t TextEvent = 11;

enum : std::uint8_t {
  chDisabled = 0,
  chNotConnected = 1,
  chConnecting = 2,
  chWaitingForReceiver = 3,
  chReceiverTimeout = 4,
  chReceiverOnline = 5,
};

std::string MessageOf(const std::exception& E) {
  if (const auto* Own = dynamic_cast<const Exception*>(&E))
    return Own->Message();
  return E.what();
}

// The receiver's time-out field holds 16-bit milliseconds: longer settings are cut to the longest
// time-out it can hold rather than wrapped to a short one, and negative ones mean none.
std::uint16_t ReceiverTimeoutMs(std::int16_t Seconds) {
  const std::int32_t Ms = std::int32_t{Seconds} * 1000;
  return static_cast<std::uint16_t>(std::clamp<std::int32_t>(Ms, 0, 0xFFFF));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TServerZone

TServerZone::TServerZone(TCreateKey Key) : TCIDZone(Key) {
  FOwnStatus = true;
}

void TServerZone::SetState(std::uint16_t Value) {
  ChangeState(Value);
}

// ---------------------------------------------------------------------------------------------
// TServerGroup

TServerGroup::TServerGroup(TCreateKey Key) : TCIDGroup(Key) {
  FOwnStatus = true;
}

void TServerGroup::SetState(std::uint8_t NewState, std::uint8_t NewFlags) {
  if (NewState == State() && NewFlags == Flags())
    return;
  if ((State() ^ NewState) == gsArmed) {
    DebugLogFmt("Group %d arming status changed", ID());
    if ((NewState & gsArmed) == 0) {
      // An alarm ends with the disarming; bit 4 remembers it until the next arming.
      NewState = static_cast<std::uint8_t>((NewState & ~gsAlarm) | gsDisarmed);
      DebugLogFmt("Group %d now disarmed", ID());
    } else {
      NewState = static_cast<std::uint8_t>(NewState & ~gsDisarmed);
      DebugLogFmt("Group %d now armed", ID());
    }
  }
  ChangeState(NewState, NewFlags);
}

// ---------------------------------------------------------------------------------------------
// TServerAccount

TServerAccount::TServerAccount(TCreateKey Key)
    : TCIDAccount(Key), FMaintenanceTick(GetTickCount()) {
  FOwnStatus = true;
}

void TServerAccount::SetMaintenance(bool Value) {
  if (Value == Maintenance())
    return;
  TCIDAccount::SetMaintenance(Value);
  FMaintenanceTick = GetTickCount();
}

void TServerAccount::AddZone(TCIDZone* Zone) {
  if (dynamic_cast<TServerZone*>(Zone) == nullptr)
    throw EBugCheckError("Attempt to add " + (Zone ? ClassNameOf(*Zone) : std::string("nil")) +
                         " to TServerPanel!");
  TCIDAccount::AddZone(Zone);
}

void TServerAccount::AddGroup(TCIDGroup* Group) {
  if (dynamic_cast<TServerGroup*>(Group) == nullptr)
    throw EBugCheckError("Attempt to add " + (Group ? ClassNameOf(*Group) : std::string("nil")) +
                         " to TServerPanel!");
  TCIDAccount::AddGroup(Group);
}

void TServerAccount::ProcessEvent(const TciMessage& Msg, TDateTime Now) {
  if (CodeInSet(TestReportCodes, Msg.Code))
    FLastTestReport = TVariant::DateTime(Now);
  // Any report shows that the panel is alive.
  SetState(static_cast<std::uint8_t>(State() & ~asTestReportOverdue));
  if (Msg.Group == 0 && Msg.Zone == 0)
    return;

  // Members joined by relinking bypass AddZone/AddGroup; only server members are driven.
  TServerGroup* Group = nullptr;
  TServerZone* Zone = nullptr;
  if (Msg.Group > 0) {
    TCIDGroup* Found;
    if (FindGroup(Msg.Group, Found))
      Group = dynamic_cast<TServerGroup*>(Found);
  }
  if (Msg.Zone > 0) {
    TCIDZone* Found;
    if (FindZone(static_cast<std::uint16_t>(Msg.Zone & 0xFFFF), Found))
      Zone = dynamic_cast<TServerZone*>(Found);
  }

  const bool Opening = Msg.Qualifier == 1;
  auto SetGroupBit = [&](std::uint8_t Bit, bool On) {
    const std::uint8_t Old = Group->State();
    Group->SetState(static_cast<std::uint8_t>(On ? Old | Bit : Old & ~Bit), Group->Flags());
  };
  if (CodeInSet(AlarmCodes, Msg.Code)) {
    if (Group)
      SetGroupBit(gsAlarm, Opening);
    if (Zone)
      Zone->SetState(
          static_cast<std::uint16_t>(Opening ? Zone->State() | zsAlarm : Zone->State() & ~zsAlarm));
  }
  if (!Group)
    return;
  // An opening is a disarming; the arming rule of the group adjusts the alarm and disarmed bits.
  if (CodeInSet(OpenCloseCodes, Msg.Code))
    SetGroupBit(gsArmed, !Opening);
  if (CodeInSet(TroubleCodes, Msg.Code))
    SetGroupBit(gsTrouble, Opening);
  if (CodeInSet(TestCodes, Msg.Code))
    SetGroupBit(gsTest, Opening);
}

bool TServerAccount::CheckTestReport(std::uint16_t Tolerance, std::uint16_t Window, TDateTime Now) {
  if (!Enabled() || Maintenance() || TestReport().IsNull())
    return true;
  const std::int64_t NowMs = ToMs(Now);
  const std::int64_t TimeOfDay = std::llabs(ToMs(TestReport().AsDouble())) % MsPerDay;
  const std::int64_t ToleranceMs = Tolerance * MsPerMinute;
  const std::int64_t WindowMs = Window * MsPerMinute;
  const std::int64_t Today = NowMs - NowMs % MsPerDay;
  // The report of a day is judged once, in the Window after its limit. A limit that falls past
  // midnight (a due time late in the day) is found from the day before, so that such accounts
  // are judged as well.
  for (const std::int64_t Day : {Today, Today - MsPerDay}) {
    const std::int64_t Due = Day + TimeOfDay;
    const std::int64_t Limit = Due + ToleranceMs;
    if (NowMs <= Limit || NowMs - WindowMs >= Limit)
      continue;
    if (FLastTestReport.IsNull() || ToMs(FLastTestReport.AsDouble()) < Due - ToleranceMs) {
      SetState(static_cast<std::uint8_t>(State() | asTestReportOverdue));
      return false;
    }
    return true;
  }
  return true;
}

bool TServerAccount::CheckMaintenance(std::uint16_t Interval) {
  if (!Enabled() || !Maintenance() ||
      !TimeElapsed(FMaintenanceTick, static_cast<std::uint32_t>(Interval) * 60000u))
    return false;
  FMaintenanceTick = GetTickCount();
  return true;
}

void TServerAccount::ForceRestore() {
  SetState(static_cast<std::uint8_t>(State() & ~asTestReportOverdue));
  for (std::int32_t I = 0; I < GroupCount(); ++I)
    if (auto* Group = dynamic_cast<TServerGroup*>(Groups(I)))
      Group->SetState(gsDisarmed, 0);
  for (std::int32_t I = 0; I < ZoneCount(); ++I)
    if (auto* Zone = dynamic_cast<TServerZone*>(Zones(I)))
      Zone->SetState(0);
}

// ---------------------------------------------------------------------------------------------
// TServerChannel

TServerChannel::TServerChannel(TCreateKey Key) : TCIDChannel(Key) {
  FOwnStatus = true;
}

TServerChannel::~TServerChannel() {
  FreeComponent();
}

void TServerChannel::FreeComponent() {
  FReceiver.reset();
  // An open component closes as it goes and reports that to ChannelStatus.
  FChannel.reset();
  FChannelKind = -1;
  FReceiverHeard = false;
  FReceiverOnline = false;
}

void TServerChannel::LogEvent(std::uint8_t Priority, std::uint16_t Code, const std::string& TextA,
                              const std::string& TextB) {
  if (FOnLogEvent)
    FOnLogEvent(Priority, Code, TVariant(ID()), TextA, TextB);
}

void TServerChannel::SetState(std::uint8_t NewState, const std::string& Text) {
  if (NewState == State() && Text == StateText())
    return;
  if (NewState != State()) {
    if (NewState == chReceiverOnline)
      LogEvent(0, ReceiverOnlineEvent, "", "");
    else if (State() == chReceiverOnline)
      LogEvent(0, ReceiverLostEvent, "", "");
  }
  TCIDChannel::SetState(NewState, Text);
}

void TServerChannel::SetEnabled(bool Value) {
  if (Value == Enabled())
    return;
  TCIDChannel::SetEnabled(Value);
  if (Value) {
    SetState(chNotConnected, "");
  } else {
    FreeComponent();
    SetState(chDisabled, "");
  }
}

bool TServerChannel::CheckChannel() {
  if (ChannelKind() != ComType() || FChannel->Address() != ComAddress()) {
    FreeComponent();
    if (ComType() > 1)
      throw EBugCheckError(Format("Invalid channel type: %d", static_cast<int>(ComType())));
    if (FChannelFactory)
      FChannel = FChannelFactory(ComType());
    else if (ComType() == 0)
      FChannel = std::make_unique<TSerialChannel>();
    else
      FChannel = std::make_unique<TTCPChannel>();
    if (!FChannel)
      throw EBugCheckError(Format("No channel made for type %d", static_cast<int>(ComType())));
    FChannelKind = ComType();
    // A bad address leaves the component without one, so the next call tries again.
    FChannel->SetAddress(ComAddress());
    FChannel->SetOnStatus([this](TCustomChannel& Sender) { ChannelStatus(Sender); });
  }
  try {
    return FChannel->CheckConnection(ReconnectInterval);
  } catch (const EDatabaseError&) {
    // From an event written on a state change, not from the link.
    throw;
  } catch (const std::exception& E) {
    SetState(chNotConnected, MessageOf(E));
    return false;
  }
}

bool TServerChannel::EnsureReceiver() {
  if (FReceiver)
    return true;
  auto Receiver = std::make_unique<TReceiver>(TcspSurGardCID::Create, *FChannel);
  Receiver->SetTimeout(ReceiverTimeoutMs(ReceiverTimeout()));
  Receiver->SetAckEvents(AckEvents());
  Receiver->SetOnMessage([this](TciMessage& Msg) { ReceiverMessage(Msg); });
  // Every decoded message, link tests included, shows that a receiver is on the line.
  TciMessageEvent Decoded = Receiver->Protocol().OnMessage();
  Receiver->Protocol().SetOnMessage([this, Decoded](TciMessage& Msg) {
    FReceiverHeard = true;
    if (Decoded)
      Decoded(Msg);
  });
  FReceiver = std::move(Receiver);
  FReceiverHeard = false;
  FReceiverOnline = false;
  return true;
}

void TServerChannel::ChannelStatus(TCustomChannel& Sender) {
  switch (Sender.Status()) {
    case csClosed:
      DebugLogFmt("Disconnected \"%s\"", Name());
      break;
    case csOpening:
      DebugLogFmt("Trying to connect \"%s\"", Name());
      SetState(chConnecting, Sender.Address());
      break;
    case csOpen:
      DebugLogFmt("Channel connected \"%s\"", Name());
      SetState(chWaitingForReceiver, WaitingForReceiverText);
      // A new connection waits for the receiver's first message, with a whole time-out.
      FReceiverHeard = false;
      FReceiverOnline = false;
      if (FReceiver)
        FReceiver->SetLastMessageTick(GetTickCount());
      break;
    default:
      break;
  }
}

void TServerChannel::ReceiverMessage(TciMessage& Msg) {
  if (FOnCIDEvent)
    FOnCIDEvent(Msg);
}

bool TServerChannel::Poll() {
  if (!Enabled())
    return false;
  if (!CheckChannel())
    return false;
  EnsureReceiver();
  try {
    FReceiver->Poll();
    const bool Online = FReceiverHeard && FReceiver->Online();
    if (Online != FReceiverOnline) {
      if (Online) {
        DebugLog("Receiver online");
        SetState(chReceiverOnline, "");
      } else {
        DebugLog("Receiver offline");
        SetState(chReceiverTimeout, ReceiverTimeoutText);
      }
      // Only after the state took it: a failed event write is tried again at the next poll.
      FReceiverOnline = Online;
    }
    return Online;
  } catch (const EDatabaseError&) {
    throw;
  } catch (const std::exception& E) {
    const std::string Message = MessageOf(E);
    FReceiverOnline = false;
    if (State() != chNotConnected || StateText() != Message) {
      SetState(chNotConnected, Message);
      LogEvent(2, TextEvent, ReceiveErrorText, Message);
    }
    return false;
  }
}

}  // namespace pelmar
