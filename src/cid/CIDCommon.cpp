#include "CIDCommon.h"

#include <map>
#include <unordered_map>

#include "Exception.h"
#include "Utilities.h"

namespace pelmar {

namespace {

// Every object of a class in creation order, and an index from a key (an account's ID, a
// member's AccountID) to the objects with that key in creation order, so that linking finds
// the first registered object with an ID without walking the whole registry.
template <class T>
class TRegistry {
 public:
  void Enter(T* Obj, TCIDRegistration<T>& R, std::int32_t Key) {
    R.Entry = FAll.insert(FAll.end(), Obj);
    R.Order = FNextOrder++;
    R.Key = Key;
    FByKey[Key].emplace(R.Order, Obj);
  }
  void Leave(TCIDRegistration<T>& R) {
    Unkey(R);
    FAll.erase(R.Entry);
  }
  void Rekey(T* Obj, TCIDRegistration<T>& R, std::int32_t Key) {
    if (Key == R.Key)
      return;
    Unkey(R);
    R.Key = Key;
    FByKey[Key].emplace(R.Order, Obj);
  }
  // The objects with the key in creation order (an empty map when none).
  const std::map<std::uint64_t, T*>& WithKey(std::int32_t Key) const {
    static const std::map<std::uint64_t, T*> None;
    const auto It = FByKey.find(Key);
    return It == FByKey.end() ? None : It->second;
  }
  const std::list<T*>& All() const { return FAll; }

 private:
  void Unkey(const TCIDRegistration<T>& R) {
    const auto It = FByKey.find(R.Key);
    if (It == FByKey.end())
      return;
    It->second.erase(R.Order);
    if (It->second.empty())
      FByKey.erase(It);
  }

  std::list<T*> FAll;
  std::unordered_map<std::int32_t, std::map<std::uint64_t, T*>> FByKey;
  std::uint64_t FNextOrder = 0;
};

// The registries live as long as the process, so that objects freed during static destruction
// can still leave them.
TRegistry<TCIDZone>& ZoneRegistry() {
  static auto* Registry = new TRegistry<TCIDZone>;
  return *Registry;
}

TRegistry<TCIDGroup>& GroupRegistry() {
  static auto* Registry = new TRegistry<TCIDGroup>;
  return *Registry;
}

TRegistry<TCIDAccount>& AccountRegistry() {
  static auto* Registry = new TRegistry<TCIDAccount>;
  return *Registry;
}

// The first registered account with the ID, skipping clones, which are never linked.
TCIDAccount* FindAccount(std::int32_t ID) {
  for (const auto& [Order, Account] : AccountRegistry().WithKey(ID))
    if (!Account->IsClone())
      return Account;
  return nullptr;
}

[[noreturn]] void IndexOutOfBounds(std::int32_t Index) {
  throw EListError(Format("List index out of bounds (%d)", Index));
}

}  // namespace

const std::list<TCIDZone*>& AllZones() {
  return ZoneRegistry().All();
}

const std::list<TCIDGroup*>& AllGroups() {
  return GroupRegistry().All();
}

const std::list<TCIDAccount*>& AllAccounts() {
  return AccountRegistry().All();
}

// ---------------------------------------------------------------------------------------------
// TCIDObject

TCIDObject::TCIDObject(TCreateKey Key) : TCustomSysObject(Key) {
  FServiceID = CIDServiceID;
}

void TCIDObject::SetLinkObject(const TVariant& Value) {
  if (Value == FLinkObject)
    return;
  BeginChange();
  FLinkObject = Value;
  EndChange();
}

// ---------------------------------------------------------------------------------------------
// TCIDZone

TCIDZone::TCIDZone(TCreateKey Key) : TCIDObject(Key) {
  FCaption = "Зона";
  ZoneRegistry().Enter(this, FRegistration, FAccountID);
}

TCIDZone::~TCIDZone() {
  ZoneRegistry().Leave(FRegistration);
  if (FAccount != nullptr)
    FAccount->RemoveZone(this);
}

void TCIDZone::SetAccountID(std::int32_t Value) {
  if (Value == FAccountID)
    return;
  BeginChange();
  FAccountID = Value;
  ZoneRegistry().Rekey(this, FRegistration, Value);
  if (FAccount != nullptr)
    FAccount->RemoveZone(this);
  if (!IsClone())
    if (TCIDAccount* NewAccount = FindAccount(Value))
      NewAccount->AddZone(this);
  EndChange();
}

void TCIDZone::SetZoneIdx(std::uint16_t Value) {
  if (Value == FZoneIdx)
    return;
  BeginChange();
  // A rolled-back load puts back the number the zone had, whatever it was.
  if (!Restoring()) {
    if (Value > MaxZoneIdx)
      throw EDisplayError("Попытка установить индекс зоны > 4095");
    if (Value == 0)
      throw EDisplayError("Попробуй назначить индекс зоны < 1");
  }
  FZoneIdx = Value;
  EndChange();
}

void TCIDZone::SetZoneType(std::int32_t Value) {
  if (Value == FZoneType)
    return;
  BeginChange();
  FZoneType = Value;
  EndChange();
}

void TCIDZone::ChangeState(std::uint16_t Value) {
  if (Value == FState)
    return;
  BeginStatusChange();
  FState = Value;
  EndStatusChange();
}

void TCIDZone::WriteProperties(TBufferProtocol& Buffer) {
  Buffer.WriteInteger(FAccountID);
  Buffer.WriteWord(FZoneIdx);
  Buffer.WriteInteger(FZoneType);
  Buffer.WriteVariant(LinkObject());
}

void TCIDZone::ReadProperties(TBufferProtocol& Buffer, std::int32_t) {
  SetAccountID(Buffer.ReadInteger());
  SetZoneIdx(Buffer.ReadWord());
  SetZoneType(Buffer.ReadInteger());
  TVariant Link;
  Buffer.ReadVariant(Link);
  SetLinkObject(Link);
}

void TCIDZone::ClearStatus() {
  ChangeState(0);
}

void TCIDZone::WriteStatus(TBufferProtocol& Buffer) {
  Buffer.WriteWord(FState);
}

void TCIDZone::ReadStatus(TBufferProtocol& Buffer, std::int32_t) {
  ChangeState(Buffer.ReadWord());
}

// ---------------------------------------------------------------------------------------------
// TCIDGroup

TCIDGroup::TCIDGroup(TCreateKey Key) : TCIDObject(Key) {
  FCaption = "Группа";
  GroupRegistry().Enter(this, FRegistration, FAccountID);
}

TCIDGroup::~TCIDGroup() {
  GroupRegistry().Leave(FRegistration);
  if (FAccount != nullptr)
    FAccount->RemoveGroup(this);
}

void TCIDGroup::SetAccountID(std::int32_t Value) {
  if (Value == FAccountID)
    return;
  BeginChange();
  FAccountID = Value;
  GroupRegistry().Rekey(this, FRegistration, Value);
  if (FAccount != nullptr)
    FAccount->RemoveGroup(this);
  if (!IsClone())
    if (TCIDAccount* NewAccount = FindAccount(Value))
      NewAccount->AddGroup(this);
  EndChange();
}

void TCIDGroup::SetGroupIdx(std::uint16_t Value) {
  if (Value == FGroupIdx)
    return;
  BeginChange();
  if (!Restoring()) {
    if (Value > MaxGroupIdx)
      throw EDisplayError("Попытка установить индекс группы > 255");
    if (Value == 0)
      throw EDisplayError("Попытка установить индекс группы < 1");
  }
  FGroupIdx = Value;
  EndChange();
}

void TCIDGroup::ChangeState(std::uint8_t NewState, std::uint8_t NewFlags) {
  if (NewState == FState && NewFlags == FFlags)
    return;
  BeginStatusChange();
  FState = NewState;
  FFlags = NewFlags;
  EndStatusChange();
}

void TCIDGroup::WriteProperties(TBufferProtocol& Buffer) {
  Buffer.WriteInteger(FAccountID);
  Buffer.WriteWord(FGroupIdx);
  Buffer.WriteVariant(LinkObject());
}

void TCIDGroup::ReadProperties(TBufferProtocol& Buffer, std::int32_t) {
  SetAccountID(Buffer.ReadInteger());
  SetGroupIdx(Buffer.ReadWord());
  TVariant Link;
  Buffer.ReadVariant(Link);
  SetLinkObject(Link);
}

void TCIDGroup::ClearStatus() {
  ChangeState(0, 0);
}

void TCIDGroup::WriteStatus(TBufferProtocol& Buffer) {
  Buffer.WriteByte(FState);
  Buffer.WriteByte(FFlags);
}

void TCIDGroup::ReadStatus(TBufferProtocol& Buffer, std::int32_t) {
  const std::uint8_t NewState = Buffer.ReadByte();
  const std::uint8_t NewFlags = Buffer.ReadByte();
  ChangeState(NewState, NewFlags);
}

// ---------------------------------------------------------------------------------------------
// TCIDAccount

TCIDAccount::TCIDAccount(TCreateKey Key) : TCIDObject(Key) {
  FCaption = "Учетная запись";
  FEnabled = false;
  AccountRegistry().Enter(this, FRegistration, ID());
}

TCIDAccount::~TCIDAccount() {
  // An account that never made it into a list (its load failed, or its Add was undone) may have
  // adopted members that a list holds: those belong to the list, and wait there, linked to
  // nothing, for an account with their AccountID.
  const bool FreeListed = Listed();
  // Each member is unlinked before it is freed, so that its destructor does not come back to
  // this half-destroyed account.
  for (;;) {
    TCIDGroup* Group;
    {
      std::lock_guard<std::recursive_mutex> Guard(FGroupsLock);
      if (FGroups.empty())
        break;
      Group = FGroups.back();
      FGroups.pop_back();
    }
    Group->FAccount = nullptr;
    if (FreeListed || Group->OwnerList() == nullptr)
      delete Group;
  }
  for (;;) {
    TCIDZone* Zone;
    {
      std::lock_guard<std::recursive_mutex> Guard(FZonesLock);
      if (FZones.empty())
        break;
      Zone = FZones.back();
      FZones.pop_back();
    }
    Zone->FAccount = nullptr;
    if (FreeListed || Zone->OwnerList() == nullptr)
      delete Zone;
  }
  AccountRegistry().Leave(FRegistration);
}

void TCIDAccount::SetID(std::int32_t Value) {
  const std::int32_t OldID = ID();
  TCIDObject::SetID(Value);
  if (ID() == OldID)
    return;
  AccountRegistry().Rekey(this, FRegistration, ID());
  if (!IsClone())
    Relink();
}

void TCIDAccount::Relink() {
  // Members that carry the new ID leave any other account first: a member is never in the
  // lists of two accounts.
  std::vector<TCIDGroup*> NewGroups;
  for (const auto& [Order, Group] : GroupRegistry().WithKey(ID()))
    if (!Group->IsClone()) {
      if (Group->FAccount != nullptr && Group->FAccount != this)
        Group->FAccount->RemoveGroup(Group);
      NewGroups.push_back(Group);
    }
  std::vector<TCIDZone*> NewZones;
  for (const auto& [Order, Zone] : ZoneRegistry().WithKey(ID()))
    if (!Zone->IsClone()) {
      if (Zone->FAccount != nullptr && Zone->FAccount != this)
        Zone->FAccount->RemoveZone(Zone);
      NewZones.push_back(Zone);
    }

  {
    std::lock_guard<std::recursive_mutex> Guard(FGroupsLock);
    for (TCIDGroup* Group : FGroups)
      Group->FAccount = nullptr;
    FGroups = std::move(NewGroups);
    for (TCIDGroup* Group : FGroups)
      Group->FAccount = this;
  }
  {
    std::lock_guard<std::recursive_mutex> Guard(FZonesLock);
    for (TCIDZone* Zone : FZones)
      Zone->FAccount = nullptr;
    FZones = std::move(NewZones);
    for (TCIDZone* Zone : FZones)
      Zone->FAccount = this;
  }
}

void TCIDAccount::SetAccountIdx(std::uint16_t Value) {
  if (Value == FAccountIdx)
    return;
  BeginChange();
  FAccountIdx = Value;
  EndChange();
}

void TCIDAccount::SetTestReport(const TVariant& Value) {
  if (Value == FTestReport)
    return;
  BeginChange();
  FTestReport = Value;
  EndChange();
}

void TCIDAccount::SetMaintenance(bool Value) {
  if (Value == FMaintenance)
    return;
  BeginChange();
  FMaintenance = Value;
  EndChange();
}

void TCIDAccount::SetState(std::uint8_t Value) {
  if (Value == FState)
    return;
  BeginStatusChange();
  FState = Value;
  EndStatusChange();
}

void TCIDAccount::AddZone(TCIDZone* Zone) {
  if (Zone->AccountID() != ID())
    throw EBugCheckError("Attempt to add other account zone!");
  if (Zone->FAccount == this)
    return;
  {
    std::lock_guard<std::recursive_mutex> Guard(FZonesLock);
    if (static_cast<std::int32_t>(FZones.size()) >= MaxZones)
      throw EBugCheckError("Attempt to add > 4095 zones to an account!");
  }
  if (Zone->FAccount != nullptr)
    Zone->FAccount->RemoveZone(Zone);
  {
    std::lock_guard<std::recursive_mutex> Guard(FZonesLock);
    FZones.push_back(Zone);
  }
  Zone->FAccount = this;
}

void TCIDAccount::RemoveZone(TCIDZone* Zone) {
  std::lock_guard<std::recursive_mutex> Guard(FZonesLock);
  for (auto It = FZones.begin(); It != FZones.end(); ++It)
    if (*It == Zone) {
      FZones.erase(It);
      break;
    }
  if (Zone->FAccount == this)
    Zone->FAccount = nullptr;
}

void TCIDAccount::AddGroup(TCIDGroup* Group) {
  if (Group->AccountID() != ID())
    throw EBugCheckError("Attempt to add other account group!");
  if (Group->FAccount == this)
    return;
  {
    std::lock_guard<std::recursive_mutex> Guard(FGroupsLock);
    if (static_cast<std::int32_t>(FGroups.size()) >= MaxGroups)
      throw EBugCheckError("Attempt to add > 255 groups to an account!");
  }
  if (Group->FAccount != nullptr)
    Group->FAccount->RemoveGroup(Group);
  {
    std::lock_guard<std::recursive_mutex> Guard(FGroupsLock);
    FGroups.push_back(Group);
  }
  Group->FAccount = this;
}

void TCIDAccount::RemoveGroup(TCIDGroup* Group) {
  std::lock_guard<std::recursive_mutex> Guard(FGroupsLock);
  for (auto It = FGroups.begin(); It != FGroups.end(); ++It)
    if (*It == Group) {
      FGroups.erase(It);
      break;
    }
  if (Group->FAccount == this)
    Group->FAccount = nullptr;
}

std::int32_t TCIDAccount::ZoneCount() const {
  std::lock_guard<std::recursive_mutex> Guard(FZonesLock);
  return static_cast<std::int32_t>(FZones.size());
}

TCIDZone* TCIDAccount::Zones(std::int32_t Index) const {
  std::lock_guard<std::recursive_mutex> Guard(FZonesLock);
  if (Index < 0 || Index >= static_cast<std::int32_t>(FZones.size()))
    IndexOutOfBounds(Index);
  return FZones[Index];
}

std::int32_t TCIDAccount::GroupCount() const {
  std::lock_guard<std::recursive_mutex> Guard(FGroupsLock);
  return static_cast<std::int32_t>(FGroups.size());
}

TCIDGroup* TCIDAccount::Groups(std::int32_t Index) const {
  std::lock_guard<std::recursive_mutex> Guard(FGroupsLock);
  if (Index < 0 || Index >= static_cast<std::int32_t>(FGroups.size()))
    IndexOutOfBounds(Index);
  return FGroups[Index];
}

bool TCIDAccount::FindZone(std::uint16_t ZoneIdx, TCIDZone*& Zone) const {
  std::lock_guard<std::recursive_mutex> Guard(FZonesLock);
  for (TCIDZone* Candidate : FZones)
    if (Candidate->ZoneIdx() == ZoneIdx) {
      Zone = Candidate;
      return true;
    }
  Zone = nullptr;
  return false;
}

bool TCIDAccount::FindGroup(std::uint16_t GroupIdx, TCIDGroup*& Group) const {
  std::lock_guard<std::recursive_mutex> Guard(FGroupsLock);
  for (TCIDGroup* Candidate : FGroups)
    if (Candidate->GroupIdx() == GroupIdx) {
      Group = Candidate;
      return true;
    }
  Group = nullptr;
  return false;
}

void TCIDAccount::WriteProperties(TBufferProtocol& Buffer) {
  Buffer.WriteWord(FAccountIdx);
  Buffer.WriteVariant(LinkObject());
  Buffer.WriteVariant(FTestReport);
  Buffer.WriteBoolean(FMaintenance);
}

void TCIDAccount::ReadProperties(TBufferProtocol& Buffer, std::int32_t) {
  SetAccountIdx(Buffer.ReadWord());
  TVariant Link;
  Buffer.ReadVariant(Link);
  SetLinkObject(Link);
  TVariant TestReport;
  Buffer.ReadVariant(TestReport);
  SetTestReport(TestReport);
  SetMaintenance(Buffer.ReadBoolean());
}

void TCIDAccount::WriteStatus(TBufferProtocol& Buffer) {
  Buffer.WriteByte(FState);
}

void TCIDAccount::ReadStatus(TBufferProtocol& Buffer, std::int32_t) {
  SetState(Buffer.ReadByte());
}

// ---------------------------------------------------------------------------------------------
// TCIDChannel

TCIDChannel::TCIDChannel(TCreateKey Key) : TCIDObject(Key) {
  FCaption = "Канал";
  FEnabled = false;
}

void TCIDChannel::SetAckEvents(bool Value) {
  if (Value == FAckEvents)
    return;
  BeginChange();
  FAckEvents = Value;
  EndChange();
}

void TCIDChannel::SetComType(std::uint8_t Value) {
  if (Value == FComType)
    return;
  BeginChange();
  FComType = Value;
  EndChange();
}

void TCIDChannel::SetComAddress(const std::string& Value) {
  if (Value == FComAddress)
    return;
  BeginChange();
  FComAddress = Value;
  EndChange();
}

void TCIDChannel::SetReceiverTimeout(std::int16_t Value) {
  if (Value == FReceiverTimeout)
    return;
  BeginChange();
  FReceiverTimeout = Value;
  EndChange();
}

void TCIDChannel::SetState(std::uint8_t State, const std::string& Text) {
  if (State == FState && Text == FStateText)
    return;
  BeginStatusChange();
  FState = State;
  FStateText = Text;
  EndStatusChange();
}

void TCIDChannel::WriteProperties(TBufferProtocol& Buffer) {
  Buffer.WriteInteger(FComType);
  Buffer.WriteString(FComAddress);
  Buffer.WriteBoolean(FAckEvents);
  Buffer.WriteWord(static_cast<std::uint16_t>(FReceiverTimeout));
}

void TCIDChannel::ReadProperties(TBufferProtocol& Buffer, std::int32_t) {
  SetComType(static_cast<std::uint8_t>(Buffer.ReadInteger()));
  SetComAddress(Buffer.ReadString());
  SetAckEvents(Buffer.ReadBoolean());
  SetReceiverTimeout(static_cast<std::int16_t>(Buffer.ReadWord()));
}

void TCIDChannel::ClearStatus() {
  if (FState == 0 && FStateText.empty())
    return;
  BeginStatusChange();
  FState = 0;
  FStateText.clear();
  EndStatusChange();
}

void TCIDChannel::WriteStatus(TBufferProtocol& Buffer) {
  Buffer.WriteByte(FState);
  Buffer.WriteString(FStateText);
}

void TCIDChannel::ReadStatus(TBufferProtocol& Buffer, std::int32_t) {
  const std::uint8_t NewState = Buffer.ReadByte();
  const std::string NewText = Buffer.ReadString();
  SetState(NewState, NewText);
}

}  // namespace pelmar
