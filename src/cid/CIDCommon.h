// The Contact ID object model: receiver channels, accounts (one per alarm panel), groups (the
// panel's partitions) and zones (its detectors or user numbers), with their properties and
// limits, their serialised sections and status fields, and the links between an account and
// its groups and zones.
//
// Zones and groups find their account through registries of every zone, group and account
// (clones included), so that they are linked whatever the order in which account, groups and
// zones arrive. An account in a list owns the groups and zones linked to it: freeing the account
// frees them. A clone is never linked.
//
// Like all system objects these are changed by the thread that holds the object-list lock; the
// registries are not guarded and are touched only under that lock (or by the owner of objects
// not yet in a list). An account's zone and group lists have locks of their own.
#pragma once

#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "Common.h"

namespace pelmar {

class TCIDAccount;
class TCIDGroup;
class TCIDZone;

// Every zone, group and account in existence, in the order of creation. Not owning.
const std::list<TCIDZone*>& AllZones();
const std::list<TCIDGroup*>& AllGroups();
const std::list<TCIDAccount*>& AllAccounts();

// Where an object stands in its registry; kept by the registry. Key is what the object is
// looked up by: an account's ID, a zone's or group's AccountID.
template <class T>
struct TCIDRegistration {
  typename std::list<T*>::iterator Entry;
  std::uint64_t Order = 0;
  std::int32_t Key = 0;
};

// The service number of every Contact ID object.
inline constexpr std::uint8_t CIDServiceID = 5;

// Base of the Contact ID objects: ServiceID 5 and a link to the object that stands for this one
// in the rest of the installation.
class TCIDObject : public TCustomSysObject {
 public:
  explicit TCIDObject(TCreateKey Key);

  // The ID of another system object standing for this one; Null when none.
  const TVariant& LinkObject() const { return FLinkObject; }
  virtual void SetLinkObject(const TVariant& Value);

 private:
  TVariant FLinkObject = TVariant::Null();
};

// A zone as the panel reports it. Properties section: Integer AccountID, Word ZoneIdx, Integer
// ZoneType, Variant LinkObject. Status section: Word State.
class TCIDZone : public TCIDObject {
 public:
  static constexpr std::uint16_t MaxZoneIdx = 4095;

  explicit TCIDZone(TCreateKey Key);
  // Leaves the registry and its account's list, then the object list.
  ~TCIDZone() override;

  static std::string ClassTypeName() { return "Zone"; }
  std::string GetTypeName() const override { return ClassTypeName(); }
  bool IsConcreteClass() const override { return true; }

  // The account the zone belongs to. Setting it leaves the former account's list and joins the
  // first registered account with that ID (a clone joins none); without one the zone stays
  // unlinked until such an account appears. Raises EBugCheckError when that account is full.
  std::int32_t AccountID() const { return FAccountID; }
  virtual void SetAccountID(std::int32_t Value);
  // 1..4095. Raises EDisplayError "Попытка установить индекс зоны > 4095" or "Попробуй назначить
  // индекс зоны < 1" after the property bracket was opened; the old number stays.
  std::uint16_t ZoneIdx() const { return FZoneIdx; }
  virtual void SetZoneIdx(std::uint16_t Value);
  std::int32_t ZoneType() const { return FZoneType; }
  virtual void SetZoneType(std::int32_t Value);
  // Status bits; bit 0 = in alarm.
  std::uint16_t State() const { return FState; }
  // The linked account, or null. Not owned.
  TCIDAccount* Account() const { return FAccount; }

  void ClearStatus() override;
  void WriteStatus(TBufferProtocol& Buffer) override;
  void ReadStatus(TBufferProtocol& Buffer, std::int32_t Size) override;

 protected:
  void WriteProperties(TBufferProtocol& Buffer) override;
  void ReadProperties(TBufferProtocol& Buffer, std::int32_t Size) override;
  // Sets State inside the status bracket when it differs.
  void ChangeState(std::uint16_t Value);

 private:
  friend class TCIDAccount;

  std::int32_t FAccountID = 0;
  std::uint16_t FZoneIdx = 0;
  std::int32_t FZoneType = 0;
  std::uint16_t FState = 0;
  TCIDAccount* FAccount = nullptr;
  TCIDRegistration<TCIDZone> FRegistration;
};

// A group (partition) as the panel reports it. Properties section: Integer AccountID, Word
// GroupIdx, Variant LinkObject. Status section: Byte State, Byte Flags.
class TCIDGroup : public TCIDObject {
 public:
  static constexpr std::uint16_t MaxGroupIdx = 255;

  explicit TCIDGroup(TCreateKey Key);
  ~TCIDGroup() override;

  static std::string ClassTypeName() { return "Group"; }
  std::string GetTypeName() const override { return ClassTypeName(); }
  bool IsConcreteClass() const override { return true; }

  // As for zones.
  std::int32_t AccountID() const { return FAccountID; }
  virtual void SetAccountID(std::int32_t Value);
  // 1..255. Raises EDisplayError "Попытка установить индекс группы > 255" or "Попытка
  // установить индекс группы < 1" after the property bracket was opened.
  std::uint16_t GroupIdx() const { return FGroupIdx; }
  virtual void SetGroupIdx(std::uint16_t Value);
  // Status bits: 0 armed, 1 trouble, 2 test, 3 alarm, 4 disarmed since last armed.
  std::uint8_t State() const { return FState; }
  // Second status byte, carried with State.
  std::uint8_t Flags() const { return FFlags; }
  TCIDAccount* Account() const { return FAccount; }

  void ClearStatus() override;
  void WriteStatus(TBufferProtocol& Buffer) override;
  void ReadStatus(TBufferProtocol& Buffer, std::int32_t Size) override;

 protected:
  void WriteProperties(TBufferProtocol& Buffer) override;
  void ReadProperties(TBufferProtocol& Buffer, std::int32_t Size) override;
  // Sets State and Flags inside one status bracket when either differs.
  void ChangeState(std::uint8_t NewState, std::uint8_t NewFlags);

 private:
  friend class TCIDAccount;

  std::int32_t FAccountID = 0;
  std::uint16_t FGroupIdx = 0;
  std::uint8_t FState = 0;
  std::uint8_t FFlags = 0;
  TCIDAccount* FAccount = nullptr;
  TCIDRegistration<TCIDGroup> FRegistration;
};

// An account (alarm panel). A new account is disabled. Properties section: Word AccountIdx,
// Variant LinkObject, Variant TestReport, Boolean Maintenance. Status section: Byte State.
class TCIDAccount : public TCIDObject {
 public:
  static constexpr std::int32_t MaxZones = 4095;
  static constexpr std::int32_t MaxGroups = 255;

  explicit TCIDAccount(TCreateKey Key);
  // Frees its groups and zones (last to first), then leaves the registry and the object list.
  // An account that was never listed (its creation or its Add failed) only unlinks the members a
  // list holds: they belong to the list, and wait there for an account with their AccountID.
  ~TCIDAccount() override;

  static std::string ClassTypeName() { return "Account"; }
  std::string GetTypeName() const override { return ClassTypeName(); }
  bool IsConcreteClass() const override { return true; }

  // A new ID rebuilds the group and zone lists from the registries: every registered group and
  // zone (not a clone) with that AccountID joins, in registry order, leaving any other account;
  // former members are unlinked. No limit applies on this path. Not for a clone.
  void SetID(std::int32_t Value) override;

  // Account number as the receiver reports it; any value.
  std::uint16_t AccountIdx() const { return FAccountIdx; }
  virtual void SetAccountIdx(std::uint16_t Value);
  // Time of day the daily test report is due; Null when the account is not supervised.
  const TVariant& TestReport() const { return FTestReport; }
  virtual void SetTestReport(const TVariant& Value);
  bool Maintenance() const { return FMaintenance; }
  virtual void SetMaintenance(bool Value);
  // Status bits; bit 0 = test report overdue. Status bracket.
  std::uint8_t State() const { return FState; }
  virtual void SetState(std::uint8_t Value);

  // Links Zone, which must carry this account's ID (EBugCheckError "Attempt to add other account
  // zone!"); a full list raises EBugCheckError "Attempt to add > 4095 zones to an account!" and
  // changes nothing. A zone of another account leaves that one first.
  virtual void AddZone(TCIDZone* Zone);
  // Unlinks Zone; nothing when it is not in the list.
  virtual void RemoveZone(TCIDZone* Zone);
  // As for zones, with 255 and "Attempt to add other account group!" / "Attempt to add > 255
  // groups to an account!".
  virtual void AddGroup(TCIDGroup* Group);
  virtual void RemoveGroup(TCIDGroup* Group);

  // Each under the list's lock. Zones and Groups raise EListError for a bad index; the finders
  // answer the first member with the number (Zone / Group null when none).
  std::int32_t ZoneCount() const;
  TCIDZone* Zones(std::int32_t Index) const;
  std::int32_t GroupCount() const;
  TCIDGroup* Groups(std::int32_t Index) const;
  bool FindZone(std::uint16_t ZoneIdx, TCIDZone*& Zone) const;
  bool FindGroup(std::uint16_t GroupIdx, TCIDGroup*& Group) const;

  void WriteStatus(TBufferProtocol& Buffer) override;
  void ReadStatus(TBufferProtocol& Buffer, std::int32_t Size) override;

 protected:
  void WriteProperties(TBufferProtocol& Buffer) override;
  void ReadProperties(TBufferProtocol& Buffer, std::int32_t Size) override;

 private:
  void Relink();

  std::uint16_t FAccountIdx = 0;
  TVariant FTestReport = TVariant::Null();
  bool FMaintenance = false;
  std::uint8_t FState = 0;
  mutable std::recursive_mutex FZonesLock;
  std::vector<TCIDZone*> FZones;  // guarded by FZonesLock
  mutable std::recursive_mutex FGroupsLock;
  std::vector<TCIDGroup*> FGroups;  // guarded by FGroupsLock
  TCIDRegistration<TCIDAccount> FRegistration;
};

// A receiver channel. A new channel is disabled. Properties section: Integer ComType, String
// ComAddress, Boolean AckEvents, Word ReceiverTimeout. Status section: Byte State, String
// StateText.
class TCIDChannel : public TCIDObject {
 public:
  explicit TCIDChannel(TCreateKey Key);

  static std::string ClassTypeName() { return "Channel"; }
  std::string GetTypeName() const override { return ClassTypeName(); }
  bool IsConcreteClass() const override { return true; }

  // Send the receiver acknowledgement.
  bool AckEvents() const { return FAckEvents; }
  void SetAckEvents(bool Value);
  // 0 serial port, 1 TCP.
  std::uint8_t ComType() const { return FComType; }
  void SetComType(std::uint8_t Value);
  const std::string& ComAddress() const { return FComAddress; }
  void SetComAddress(const std::string& Value);
  // Seconds of silence after which the receiver counts as absent.
  std::int16_t ReceiverTimeout() const { return FReceiverTimeout; }
  void SetReceiverTimeout(std::int16_t Value);

  std::uint8_t State() const { return FState; }
  const std::string& StateText() const { return FStateText; }
  // Assigns both inside one status bracket when either differs.
  virtual void SetState(std::uint8_t State, const std::string& Text);

  void ClearStatus() override;
  void WriteStatus(TBufferProtocol& Buffer) override;
  void ReadStatus(TBufferProtocol& Buffer, std::int32_t Size) override;

 protected:
  void WriteProperties(TBufferProtocol& Buffer) override;
  void ReadProperties(TBufferProtocol& Buffer, std::int32_t Size) override;

 private:
  bool FAckEvents = false;
  std::uint8_t FComType = 0;
  std::string FComAddress = "1/9600-8-N-1";
  std::int16_t FReceiverTimeout = 30;
  std::uint8_t FState = 0;
  std::string FStateText;
};

}  // namespace pelmar
