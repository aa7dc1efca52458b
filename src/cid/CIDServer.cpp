#include "CIDServer.h"

#include <cxxabi.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <typeinfo>
#include <vector>

#include "BaseProtocol.h"
#include "DBUtils.h"
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

// ---------------------------------------------------------------------------------------------
// Database rows

const char* const LoadQueryGroup = "grp_loadobj";
const std::string LockLoadObject = "LoadObject";
const std::string LockSaveObject = "SaveObject";

const char* const AccountSelectSQL =
    "SELECT   ID,   NAME,   ENABLED,   DESCRIPTION,   ACCOUNT_IDX,   LINK_OBJECT,   TEST_REPORT,  "
    " MAINTENANCE,   LAST_STATUS FROM   VW_CID_ACCOUNTS WHERE   ID = :ID";
const char* const GroupSelectSQL =
    "SELECT   ID,   NAME,   ENABLED,   DESCRIPTION,   ACCOUNT_ID,   GROUP_IDX,   LINK_OBJECT,   "
    "LAST_STATUS FROM   VW_CID_ACCOUNT_GROUPS WHERE   ID = :ID";
const char* const ZoneSelectSQL =
    "SELECT   ID,   NAME,   ENABLED,   DESCRIPTION,   ACCOUNT_ID,   ZONE_IDX,   ZONE_TYPE,   "
    "LINK_OBJECT,   LAST_STATUS FROM   VW_CID_ACCOUNT_ZONES WHERE   ID = :ID";
const char* const ChannelSelectSQL =
    "SELECT   ID,   NAME,   ENABLED,   DESCRIPTION,   ACK_EVENTS,   COM_TYPE,   COM_ADDRESS,   "
    "RECEIVER_TIMEOUT FROM   VW_CID_CHANNELS WHERE   ID = :ID";

const char* const AccountSaveSQL =
    "UPDATE OR INSERT INTO   VW_CID_ACCOUNTS (ID, NAME, ENABLED, DESCRIPTION, ACCOUNT_IDX, "
    "LINK_OBJECT, TEST_REPORT, MAINTENANCE) VALUES   (:ID, :NAME, :ENABLED, :DESCRIPTION, "
    ":ACCOUNT_IDX, :LINK_OBJECT, :TEST_REPORT, :MAINTENANCE) MATCHING   (ID)";
const char* const GroupSaveSQL =
    "UPDATE OR INSERT INTO   VW_CID_ACCOUNT_GROUPS (ID, NAME, ENABLED, DESCRIPTION, ACCOUNT_ID, "
    "GROUP_IDX, LINK_OBJECT) VALUES   (:ID, :NAME, :ENABLED, :DESCRIPTION, :ACCOUNT_ID, "
    ":GROUP_IDX, :LINK_OBJECT) MATCHING   (ID)";
const char* const ZoneSaveSQL =
    "UPDATE OR INSERT INTO   VW_CID_ACCOUNT_ZONES (ID, NAME, ENABLED, DESCRIPTION, ACCOUNT_ID, "
    "ZONE_IDX, ZONE_TYPE, LINK_OBJECT) VALUES   (:ID, :NAME, :ENABLED, :DESCRIPTION, "
    ":ACCOUNT_ID, :ZONE_IDX, :ZONE_TYPE, :LINK_OBJECT) MATCHING   (ID)";
const char* const ChannelSaveSQL =
    "UPDATE OR INSERT INTO VW_CID_CHANNELS (   ID, NAME, ENABLED, DESCRIPTION, ACK_EVENTS, "
    "COM_TYPE, COM_ADDRESS, RECEIVER_TIMEOUT) VALUES (   :ID, :NAME, :ENABLED, :DESCRIPTION, "
    ":ACK_EVENTS, :COM_TYPE, :COM_ADDRESS, :RECEIVER_TIMEOUT) MATCHING   (ID)";

const char* const AccountDeleteSQL = "DELETE FROM VW_CID_ACCOUNTS WHERE ID = :ID";
const char* const GroupDeleteSQL = "DELETE FROM VW_CID_ACCOUNT_GROUPS WHERE ID = :ID";
const char* const ZoneDeleteSQL = "DELETE FROM VW_CID_ACCOUNT_ZONES WHERE ID = :ID";
const char* const ChannelDeleteSQL = "DELETE FROM VW_CID_CHANNELS WHERE ID = :ID";

// The columns of one fetched row, kept after the query is closed.
class TRow {
 public:
  explicit TRow(TQuery& Query) {
    for (int I = 0; I < Query.FieldCount(); ++I)
      FFields.push_back(Query.Fields(I));
  }
  // Raises EDatabaseError "Field \"NAME\" not found" for a column the row lacks.
  const TField& operator[](const std::string& Name) const {
    for (const TField& Field : FFields)
      if (Field.Name() == Name)
        return Field;
    throw EDatabaseError("Field \"" + Name + "\" not found");
  }

 private:
  std::vector<TField> FFields;
};

// The view row of ID through the cached query of Handle, or false when there is none. The read
// transaction ends before the row is applied, so that no object code runs inside it.
bool ReadRow(std::int32_t& Handle, const char* SQL, std::int32_t ID, std::unique_ptr<TRow>& Row) {
  TCriticalSectionGuard Guard(DatabaseLock(), LockLoadObject);
  TQuery* Query = CachedQuery(Handle, SQL, LoadQueryGroup);
  try {
    Query->ParamByName("ID").SetAsInteger(ID);
    Query->ExecQuery();
    if (!Query->Eof())
      Row = std::make_unique<TRow>(*Query);
  } catch (...) {
    try {
      Query->Close();
      CommitTransaction(Query->Transaction());
    } catch (...) {
      // The failure of the read is the one to report.
    }
    throw;
  }
  Query->Close();
  CommitTransaction(Query->Transaction());
  return Row != nullptr;
}

// Loads a row into Obj in one update: the common columns, then Apply for the kind's own.
template <class TApply>
bool LoadObject(TCustomSysObject& Obj, std::int32_t& Handle, const char* SQL, TApply Apply) {
  std::unique_ptr<TRow> Row;
  if (!ReadRow(Handle, SQL, Obj.ID(), Row))
    return false;
  Obj.BeginUpdate();
  try {
    // A name is a label: a missing one costs the label, not the object.
    const TField& Name = (*Row)["NAME"];
    Obj.SetName(Name.IsNull() ? std::string() : Name.AsString());
    Obj.SetEnabled((*Row)["ENABLED"].AsBoolean());
    Obj.SetDescription((*Row)["DESCRIPTION"].Value());
    Apply(*Row);
  } catch (...) {
    Obj.CancelUpdate();
    throw;
  }
  Obj.EndUpdate();
  return true;
}

// Applies LAST_STATUS when it holds exactly a status section of StatusSize bytes; anything else
// (NULL, empty, a section of another kind) leaves the status as it is.
void ApplyLastStatus(TCustomSysObject& Obj, const TRow& Row, std::int32_t StatusSize) {
  TBufferProtocol Buffer(32);
  BlobToBuffer(Buffer, Row["LAST_STATUS"]);
  if (Buffer.Size() == StatusSize)
    Obj.ReadStatus(Buffer, StatusSize);
}

// The column's value in the narrower type of the property. A value that does not fit raises
// EDatabaseError instead of wrapping: a wrapped account number would take another panel's reports.
template <class T>
T Narrow(const TField& Field) {
  const std::int32_t Value = Field.AsInteger();
  if (Value < std::numeric_limits<T>::min() || Value > std::numeric_limits<T>::max())
    throw EDatabaseError(Format("Field \"%s\": value %d out of range", Field.Name(), Value));
  return static_cast<T>(Value);
}

// Writes or deletes the row of Obj on a write transaction of its own. SetParams fills the
// parameters after ID, NAME, ENABLED and DESCRIPTION.
template <class TSetParams>
void SaveObject(TCustomSysObject& Obj, TObjectAction Action, const char* SaveSQL,
                const char* DeleteSQL, TSetParams SetParams) {
  TCriticalSectionGuard Guard(DatabaseLock(), LockSaveObject);
  const bool Write = Action == oaChanged || Action == olaAdded;
  if (!Write && Action != olaDeleted)
    return;
  std::unique_ptr<TQuery> Query = NewWriteQuerySQL(Write ? SaveSQL : DeleteSQL);
  try {
    Query->ParamByName("ID").SetAsInteger(Obj.ID());
    if (Write) {
      Query->ParamByName("NAME").SetAsString(Obj.Name());
      Query->ParamByName("ENABLED").SetAsBoolean(Obj.Enabled());
      Query->ParamByName("DESCRIPTION").SetValue(Obj.Description());
      SetParams(*Query);
    }
    Query->ExecQuery();
    CommitTransaction(Query->Transaction());
  } catch (...) {
    try {
      FreeQuery(Query, true);
    } catch (...) {
      // The failure of the statement is the one to report.
    }
    throw;
  }
  FreeQuery(Query, true);
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
  FReceiver = std::move(Receiver);
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
      FReceiverOnline = false;
      if (FReceiver)
        FReceiver->ConnectionStarted();
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
    // Every decoded message, link tests included, shows that a receiver is on the line.
    const bool Online = FReceiver->Heard() && FReceiver->Online();
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

// ---------------------------------------------------------------------------------------------
// Loading and saving

bool LoadAccount(TServerAccount& Account, std::int32_t& QueryHandle) {
  return LoadObject(Account, QueryHandle, AccountSelectSQL, [&](const TRow& Row) {
    Account.SetAccountIdx(Narrow<std::uint16_t>(Row["ACCOUNT_IDX"]));
    Account.SetTestReport(Row["TEST_REPORT"].Value());
    Account.SetMaintenance(Row["MAINTENANCE"].AsBoolean());
    Account.SetLinkObject(Row["LINK_OBJECT"].Value());
    ApplyLastStatus(Account, Row, 1);
  });
}

bool LoadGroup(TServerGroup& Group, std::int32_t& QueryHandle) {
  return LoadObject(Group, QueryHandle, GroupSelectSQL, [&](const TRow& Row) {
    Group.SetAccountID(Row["ACCOUNT_ID"].AsInteger());
    Group.SetGroupIdx(Narrow<std::uint16_t>(Row["GROUP_IDX"]));
    Group.SetLinkObject(Row["LINK_OBJECT"].Value());
    ApplyLastStatus(Group, Row, 2);
  });
}

bool LoadZone(TServerZone& Zone, std::int32_t& QueryHandle) {
  return LoadObject(Zone, QueryHandle, ZoneSelectSQL, [&](const TRow& Row) {
    Zone.SetAccountID(Row["ACCOUNT_ID"].AsInteger());
    Zone.SetZoneIdx(Narrow<std::uint16_t>(Row["ZONE_IDX"]));
    Zone.SetZoneType(Row["ZONE_TYPE"].AsInteger());
    Zone.SetLinkObject(Row["LINK_OBJECT"].Value());
    ApplyLastStatus(Zone, Row, 2);
  });
}

bool LoadChannel(TServerChannel& Channel, std::int32_t& QueryHandle) {
  return LoadObject(Channel, QueryHandle, ChannelSelectSQL, [&](const TRow& Row) {
    Channel.SetAckEvents(Row["ACK_EVENTS"].AsBoolean());
    Channel.SetComType(Narrow<std::uint8_t>(Row["COM_TYPE"]));
    Channel.SetComAddress(Row["COM_ADDRESS"].AsString());
    Channel.SetReceiverTimeout(Narrow<std::int16_t>(Row["RECEIVER_TIMEOUT"]));
  });
}

void SaveAccount(TServerAccount& Account, TObjectAction Action) {
  SaveObject(Account, Action, AccountSaveSQL, AccountDeleteSQL, [&](TQuery& Query) {
    Query.ParamByName("ACCOUNT_IDX").SetAsInteger(Account.AccountIdx());
    Query.ParamByName("LINK_OBJECT").SetValue(Account.LinkObject());
    Query.ParamByName("TEST_REPORT").SetValue(Account.TestReport());
    Query.ParamByName("MAINTENANCE").SetAsBoolean(Account.Maintenance());
  });
}

void SaveGroup(TServerGroup& Group, TObjectAction Action) {
  SaveObject(Group, Action, GroupSaveSQL, GroupDeleteSQL, [&](TQuery& Query) {
    Query.ParamByName("ACCOUNT_ID").SetAsInteger(Group.AccountID());
    Query.ParamByName("GROUP_IDX").SetAsInteger(Group.GroupIdx());
    Query.ParamByName("LINK_OBJECT").SetValue(Group.LinkObject());
  });
}

void SaveZone(TServerZone& Zone, TObjectAction Action) {
  SaveObject(Zone, Action, ZoneSaveSQL, ZoneDeleteSQL, [&](TQuery& Query) {
    Query.ParamByName("ACCOUNT_ID").SetAsInteger(Zone.AccountID());
    Query.ParamByName("ZONE_IDX").SetAsInteger(Zone.ZoneIdx());
    Query.ParamByName("ZONE_TYPE").SetAsInteger(Zone.ZoneType());
    Query.ParamByName("LINK_OBJECT").SetValue(Zone.LinkObject());
  });
}

void SaveChannel(TServerChannel& Channel, TObjectAction Action) {
  SaveObject(Channel, Action, ChannelSaveSQL, ChannelDeleteSQL, [&](TQuery& Query) {
    Query.ParamByName("ACK_EVENTS").SetAsBoolean(Channel.AckEvents());
    Query.ParamByName("COM_TYPE").SetAsInteger(Channel.ComType());
    Query.ParamByName("COM_ADDRESS").SetAsString(Channel.ComAddress());
    Query.ParamByName("RECEIVER_TIMEOUT").SetAsInteger(Channel.ReceiverTimeout());
  });
}

}  // namespace pelmar
