#include "CIDCommon.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "BaseProtocol.h"
#include "Common.h"
#include "Exception.h"
#include "Hex.h"
#include "Records.h"
#include "Utilities.h"

namespace pelmar {
namespace {

using test::BufferOf;
using test::Bytes;
using test::HexOf;
using test::RecordOf;
using test::ToHex;

// Zones and groups whose status the tests set directly.
class TTestZone : public TCIDZone {
 public:
  using TCIDZone::ChangeState;
  using TCIDZone::TCIDZone;
};

class TTestGroup : public TCIDGroup {
 public:
  using TCIDGroup::ChangeState;
  using TCIDGroup::TCIDGroup;
};

// Makes the Contact ID object a record names, loaded from the record, as the service does for
// records from the Core service.
std::unique_ptr<TCustomSysObject> CreateCIDObject(TBufferProtocol& Buffer) {
  auto Probe = TCustomSysObject::Create<TGeneralSysObject>();
  const std::int32_t At = Buffer.Position();
  Probe->LoadFromBuffer(Buffer);
  Buffer.SetPosition(At);
  std::unique_ptr<TCustomSysObject> Obj;
  if (Probe->TypeName() == TCIDZone::ClassTypeName())
    Obj = TCustomSysObject::Create<TCIDZone>();
  else if (Probe->TypeName() == TCIDGroup::ClassTypeName())
    Obj = TCustomSysObject::Create<TCIDGroup>();
  else if (Probe->TypeName() == TCIDAccount::ClassTypeName())
    Obj = TCustomSysObject::Create<TCIDAccount>();
  else if (Probe->TypeName() == TCIDChannel::ClassTypeName())
    Obj = TCustomSysObject::Create<TCIDChannel>();
  if (Obj)
    Obj->LoadFromBuffer(Buffer);
  return Obj;
}

// Every test leaves the registries as it found them.
class CIDTest : public ::testing::Test {
 protected:
  CIDTest()
      : FZones(AllZones().size()), FGroups(AllGroups().size()), FAccounts(AllAccounts().size()) {}
  ~CIDTest() override {
    List.Clear();
    EXPECT_EQ(FZones, AllZones().size()) << "zones left registered";
    EXPECT_EQ(FGroups, AllGroups().size()) << "groups left registered";
    EXPECT_EQ(FAccounts, AllAccounts().size()) << "accounts left registered";
  }

  template <class T>
  T* Add(std::int32_t ID, std::int32_t AccountID = 0) {
    auto Obj = TCustomSysObject::Create<T>();
    Obj->SetID(ID);
    Obj->SetDescription(TVariant::Null());  // as read from any record
    if constexpr (std::is_base_of_v<TCIDZone, T> || std::is_base_of_v<TCIDGroup, T>)
      if (AccountID != 0)
        Obj->SetAccountID(AccountID);
    List.Add(Obj.get());
    return Obj.release();
  }

  TSysObjectList List;

 private:
  size_t FZones, FGroups, FAccounts;
};

// ---------------------------------------------------------------------------------------------
// Records

// Zone 300 "Z1" of account 200: zone 3, type 9, linked object 77, state 1.
const std::string ZoneRecord =
    "2C 01 00 00  3B 00 00 00"
    "  02 00 00 00 5A 31  04 00 00 00 5A 6F 6E 65"  // name, type name
    "  05  01  00  01 00  01  04"                   // service 5, enabled, flag, null, bytes
    "  08 00 00 00 D0 97 D0 BE D0 BD D0 B0"         // caption
    "  10 00 00 00  C8 00 00 00  03 00  09 00 00 00  03 00 4D 00 00 00"  // properties
    "  02 00 00 00  01 00";                                              // status

// Channel 10 "COM1", enabled, described "rx": TCP to 10.0.0.5:1025, acknowledging, 45 s,
// state 2 "open".
const std::string ChannelRecord =
    "0A 00 00 00  57 00 00 00"
    "  04 00 00 00 43 4F 4D 31  07 00 00 00 43 68 61 6E 6E 65 6C"
    "  05  01  00  00 01 02 00 00 00 72 78  01  04"
    "  0A 00 00 00 D0 9A D0 B0 D0 BD D0 B0 D0 BB"
    "  18 00 00 00  01 00 00 00  0D 00 00 00 31 30 2E 30 2E 30 2E 35 3A 31 30 32 35  01  2D 00"
    "  09 00 00 00  02  04 00 00 00 6F 70 65 6E";

TEST_F(CIDTest, ZoneRecordBothWays) {
  auto Zone = TCustomSysObject::Create<TTestZone>();
  Zone->SetID(300);
  Zone->SetName("Z1");
  Zone->SetDescription(TVariant::Null());
  Zone->SetAccountID(200);
  Zone->SetZoneIdx(3);
  Zone->SetZoneType(9);
  Zone->SetLinkObject(TVariant(std::int32_t{77}));
  Zone->ChangeState(1);
  EXPECT_EQ(ToHex(Bytes(ZoneRecord)), RecordOf(*Zone));

  auto Read = TCustomSysObject::Create<TCIDZone>();
  auto B = BufferOf(ZoneRecord);
  Read->LoadFromBuffer(*B);
  EXPECT_EQ(B->Size(), B->Position());
  EXPECT_EQ(300, Read->ID());
  EXPECT_EQ("Z1", Read->Name());
  EXPECT_EQ(200, Read->AccountID());
  EXPECT_EQ(3, Read->ZoneIdx());
  EXPECT_EQ(9, Read->ZoneType());
  EXPECT_EQ(TVariant(std::int32_t{77}), Read->LinkObject());
  EXPECT_EQ(1, Read->State());
  EXPECT_EQ(ToHex(Bytes(ZoneRecord)), RecordOf(*Read));
}

TEST_F(CIDTest, ChannelRecordBothWays) {
  auto Channel = TCustomSysObject::Create<TCIDChannel>();
  Channel->SetID(10);
  Channel->SetName("COM1");
  Channel->SetEnabled(true);
  Channel->SetDescription(TVariant("rx"));
  Channel->SetComType(1);
  Channel->SetComAddress("10.0.0.5:1025");
  Channel->SetAckEvents(true);
  Channel->SetReceiverTimeout(45);
  Channel->SetState(2, "open");
  EXPECT_EQ(ToHex(Bytes(ChannelRecord)), RecordOf(*Channel));

  auto Read = TCustomSysObject::Create<TCIDChannel>();
  Read->LoadFromBuffer(*BufferOf(ChannelRecord));
  EXPECT_EQ("COM1", Read->Name());
  EXPECT_TRUE(Read->Enabled());
  EXPECT_EQ(TVariant("rx"), Read->Description());
  EXPECT_EQ(1, Read->ComType());
  EXPECT_EQ("10.0.0.5:1025", Read->ComAddress());
  EXPECT_TRUE(Read->AckEvents());
  EXPECT_EQ(45, Read->ReceiverTimeout());
  EXPECT_EQ(2, Read->State());
  EXPECT_EQ("open", Read->StateText());
  EXPECT_EQ(ToHex(Bytes(ChannelRecord)), RecordOf(*Read));
}

TEST_F(CIDTest, ChannelNarrowsItsTypeAndCarriesANegativeTimeout) {
  // ComType travels as an Integer and is narrowed to a byte; the 16-bit signed timeout travels
  // as a Word.
  std::string Hex = ChannelRecord;
  Hex.replace(Hex.find("01 00 00 00  0D"), 11, "01 01 00 00");
  Hex.replace(Hex.find("2D 00"), 5, "FE FF");
  auto Read = TCustomSysObject::Create<TCIDChannel>();
  Read->LoadFromBuffer(*BufferOf(Hex));
  EXPECT_EQ(1, Read->ComType());
  EXPECT_EQ(-2, Read->ReceiverTimeout());
}

TEST_F(CIDTest, GroupAndAccountRecordsRoundTrip) {
  auto Group = TCustomSysObject::Create<TTestGroup>();
  Group->SetID(21);
  Group->SetDescription(TVariant::Null());  // an empty description reads back as null
  Group->SetAccountID(20);
  Group->SetGroupIdx(2);
  Group->SetLinkObject(TVariant(std::int32_t{5}));
  Group->ChangeState(0x11, 0x02);
  auto Account = TCustomSysObject::Create<TCIDAccount>();
  Account->SetID(20);
  Account->SetAccountIdx(0x1234);
  Account->SetTestReport(TVariant::DateTime(0.25));
  Account->SetMaintenance(true);
  Account->SetState(1);
  Account->SetLinkObject(TVariant(std::int32_t{6}));
  ASSERT_EQ(Account.get(), Group->Account()) << "the account took its group when it got its ID";

  // Properties and status sections as laid out, read through a general object.
  auto General = TCustomSysObject::Create<TGeneralSysObject>();
  General->LoadFromBuffer(*BufferOf(RecordOf(*Group)));
  EXPECT_EQ("14 00 00 00 02 00 03 00 05 00 00 00", HexOf(General->Data()));
  EXPECT_EQ("11 02", HexOf(General->StatusData()));
  General->LoadFromBuffer(*BufferOf(RecordOf(*Account)));
  EXPECT_EQ("34 12 03 00 06 00 00 00 07 00 00 00 00 00 00 00 D0 3F 01", HexOf(General->Data()));
  EXPECT_EQ("01", HexOf(General->StatusData()));

  auto ReadGroup = TCustomSysObject::Create<TCIDGroup>();
  ReadGroup->LoadFromBuffer(*BufferOf(RecordOf(*Group)));
  EXPECT_EQ(2, ReadGroup->GroupIdx());
  EXPECT_EQ(0x11, ReadGroup->State());
  EXPECT_EQ(0x02, ReadGroup->Flags());
  EXPECT_EQ(RecordOf(*Group), RecordOf(*ReadGroup));
  ReadGroup.reset();  // linked to Account as well
  Account.reset();    // frees its linked group
  (void)Group.release();

  auto Source = TCustomSysObject::Create<TCIDAccount>();
  Source->SetID(20);
  Source->SetDescription(TVariant::Null());
  Source->SetAccountIdx(0x1234);
  Source->SetTestReport(TVariant::DateTime(0.25));
  Source->SetMaintenance(true);
  Source->SetState(1);
  auto ReadAccount = TCustomSysObject::Create<TCIDAccount>();
  ReadAccount->LoadFromBuffer(*BufferOf(RecordOf(*Source)));
  EXPECT_EQ(0x1234, ReadAccount->AccountIdx());
  EXPECT_EQ(TVariant::DateTime(0.25), ReadAccount->TestReport());
  EXPECT_TRUE(ReadAccount->Maintenance());
  EXPECT_EQ(1, ReadAccount->State());
  EXPECT_EQ(RecordOf(*Source), RecordOf(*ReadAccount));
}

TEST_F(CIDTest, NewObjectsHaveTheirClassDefaults) {
  struct TCase {
    std::unique_ptr<TCIDObject> Obj;
    const char* TypeName;
    const char* Caption;
    bool Enabled;
  };
  TCase Cases[] = {
      {TCustomSysObject::Create<TCIDZone>(), "Zone", "Зона", true},
      {TCustomSysObject::Create<TCIDGroup>(), "Group", "Группа", true},
      {TCustomSysObject::Create<TCIDAccount>(), "Account", "Учетная запись", false},
      {TCustomSysObject::Create<TCIDChannel>(), "Channel", "Канал", false},
  };
  for (const TCase& C : Cases) {
    EXPECT_EQ(C.TypeName, C.Obj->TypeName());
    EXPECT_EQ(C.Caption, C.Obj->Caption()) << C.TypeName;
    EXPECT_EQ(C.Caption, C.Obj->KindText()) << C.TypeName;
    EXPECT_EQ(C.Enabled, C.Obj->Enabled()) << C.TypeName;
    EXPECT_EQ(5, C.Obj->ServiceID()) << C.TypeName;
    EXPECT_TRUE(C.Obj->LinkObject().IsNull()) << C.TypeName;
    EXPECT_TRUE(C.Obj->IsConcreteClass()) << C.TypeName;
  }
  auto* Account = static_cast<TCIDAccount*>(Cases[2].Obj.get());
  EXPECT_TRUE(Account->TestReport().IsNull());
  EXPECT_FALSE(Account->Maintenance());
  auto* Channel = static_cast<TCIDChannel*>(Cases[3].Obj.get());
  EXPECT_EQ("1/9600-8-N-1", Channel->ComAddress());
  EXPECT_EQ(30, Channel->ReceiverTimeout());
  EXPECT_EQ(0, Channel->ComType());
  EXPECT_FALSE(Channel->AckEvents());
}

// ---------------------------------------------------------------------------------------------
// Limits

TEST_F(CIDTest, ZoneAndGroupNumbersAreChecked) {
  struct TCase {
    bool Group;
    std::uint16_t Value;
    const char* Message;  // null: accepted
  } Cases[] = {
      {false, 1, nullptr},
      {false, 4095, nullptr},
      {false, 4096, "Попытка установить индекс зоны > 4095"},
      {false, 65535, "Попытка установить индекс зоны > 4095"},
      {false, 0, "Попробуй назначить индекс зоны < 1"},
      {true, 1, nullptr},
      {true, 255, nullptr},
      {true, 256, "Попытка установить индекс группы > 255"},
      {true, 0, "Попытка установить индекс группы < 1"},
  };
  for (const TCase& C : Cases) {
    std::vector<TObjectAction> Seen;
    auto Zone = TCustomSysObject::Create<TCIDZone>();
    auto Group = TCustomSysObject::Create<TCIDGroup>();
    Zone->SetZoneIdx(7);
    Group->SetGroupIdx(7);
    TCustomSysObject& Obj = C.Group ? static_cast<TCustomSysObject&>(*Group) : *Zone;
    Obj.AddChangeHandler([&](TCustomSysObject&, TObjectAction A) { Seen.push_back(A); });
    const std::string What = std::string(C.Group ? "group " : "zone ") + std::to_string(C.Value);
    try {
      if (C.Group)
        Group->SetGroupIdx(C.Value);
      else
        Zone->SetZoneIdx(C.Value);
      EXPECT_EQ(nullptr, C.Message) << What << " accepted";
      EXPECT_EQ(C.Value, C.Group ? Group->GroupIdx() : Zone->ZoneIdx()) << What;
    } catch (const EDisplayError& E) {
      ASSERT_NE(nullptr, C.Message) << What << ": " << E.Message();
      EXPECT_EQ(C.Message, E.Message()) << What;
      EXPECT_EQ(7, C.Group ? Group->GroupIdx() : Zone->ZoneIdx()) << What << ": old number stays";
      EXPECT_EQ(std::vector<TObjectAction>{oaBeforeChange}, Seen) << What << ": bracket left open";
    }
  }
}

TEST_F(CIDTest, AccountTakesAtMost4095ZonesAnd255Groups) {
  TCIDAccount* Account = Add<TCIDAccount>(1);
  for (int I = 0; I < TCIDAccount::MaxZones; ++I)
    Add<TCIDZone>(1000 + I, 1);
  for (int I = 0; I < TCIDAccount::MaxGroups; ++I)
    Add<TCIDGroup>(10000 + I, 1);
  ASSERT_EQ(4095, Account->ZoneCount());
  ASSERT_EQ(255, Account->GroupCount());

  auto Zone = TCustomSysObject::Create<TCIDZone>();
  try {
    Zone->SetAccountID(1);
    FAIL() << "the 4096th zone was added";
  } catch (const EBugCheckError& E) {
    EXPECT_EQ("BUGCHECK: Attempt to add > 4095 zones to an account!", E.Message());
  }
  EXPECT_EQ(nullptr, Zone->Account());
  EXPECT_EQ(4095, Account->ZoneCount());

  auto Group = TCustomSysObject::Create<TCIDGroup>();
  try {
    Group->SetAccountID(1);
    FAIL() << "the 256th group was added";
  } catch (const EBugCheckError& E) {
    EXPECT_EQ("BUGCHECK: Attempt to add > 255 groups to an account!", E.Message());
  }
  EXPECT_EQ(nullptr, Group->Account());
  EXPECT_EQ(255, Account->GroupCount());
}

TEST_F(CIDTest, AccountRefusesMembersOfOtherAccounts) {
  TCIDAccount* Account = Add<TCIDAccount>(1);
  auto Zone = TCustomSysObject::Create<TCIDZone>();
  Zone->SetAccountID(2);
  auto Group = TCustomSysObject::Create<TCIDGroup>();
  Group->SetAccountID(2);
  try {
    Account->AddZone(Zone.get());
    FAIL();
  } catch (const EBugCheckError& E) {
    EXPECT_EQ("BUGCHECK: Attempt to add other account zone!", E.Message());
  }
  try {
    Account->AddGroup(Group.get());
    FAIL();
  } catch (const EBugCheckError& E) {
    EXPECT_EQ("BUGCHECK: Attempt to add other account group!", E.Message());
  }
  EXPECT_EQ(0, Account->ZoneCount());
  EXPECT_EQ(0, Account->GroupCount());
  EXPECT_THROW(Account->Zones(0), EListError);
}

// ---------------------------------------------------------------------------------------------
// Links

// Account 100 with group 101 and zone 102, delivered in every order as add actions.
TEST_F(CIDTest, LinksInEveryOrderOfArrival) {
  auto Record = [](std::unique_ptr<TCustomSysObject> Obj) {
    TBufferProtocol B(64);
    B.WriteByte(olaAdded);
    Obj->SaveToBuffer(B);
    return HexOf(B);
  };
  auto A = TCustomSysObject::Create<TCIDAccount>();
  A->SetAccountIdx(1234);
  A->SetID(100);
  auto G = TCustomSysObject::Create<TCIDGroup>();
  G->SetID(101);
  G->SetGroupIdx(1);
  G->SetAccountID(100);
  auto Z = TCustomSysObject::Create<TCIDZone>();
  Z->SetID(102);
  Z->SetZoneIdx(3);
  Z->SetAccountID(100);
  // The objects serve only to write the records.
  std::vector<std::string> Records;
  Records.push_back(Record(std::move(G)));
  Records.push_back(Record(std::move(Z)));
  Records.push_back(Record(std::move(A)));

  std::vector<int> Order = {0, 1, 2};
  List.OnCreateObject = CreateCIDObject;
  do {
    List.Clear();
    std::string Hex = "03 00 00 00";
    std::string Names;
    for (int I : Order) {
      Hex += " " + Records[I];
      Names += "GZA"[I];
    }
    List.ObjectLoadMulti(*BufferOf(Hex), true);
    ASSERT_EQ(3, List.Count()) << Names;
    auto* Account = dynamic_cast<TCIDAccount*>(List.Items(0));
    auto* Group = dynamic_cast<TCIDGroup*>(List.Items(1));
    auto* Zone = dynamic_cast<TCIDZone*>(List.Items(2));
    ASSERT_TRUE(Account && Group && Zone) << Names;
    EXPECT_EQ(Account, Group->Account()) << Names;
    EXPECT_EQ(Account, Zone->Account()) << Names;
    TCIDZone* Found = nullptr;
    EXPECT_TRUE(Account->FindZone(3, Found)) << Names;
    EXPECT_EQ(Zone, Found) << Names;
    TCIDGroup* FoundGroup = nullptr;
    EXPECT_TRUE(Account->FindGroup(1, FoundGroup)) << Names;
    EXPECT_EQ(Group, FoundGroup) << Names;
    EXPECT_EQ(1, Account->ZoneCount()) << Names;
    EXPECT_EQ(1, Account->GroupCount()) << Names;
  } while (std::next_permutation(Order.begin(), Order.end()));
}

TEST_F(CIDTest, AccountThatTakesTheIdLaterLinksWaitingMembers) {
  TCIDZone* Zone = Add<TCIDZone>(11, 7);
  TCIDGroup* Group = Add<TCIDGroup>(12, 7);
  TCIDZone* Other = Add<TCIDZone>(13, 8);
  EXPECT_EQ(nullptr, Zone->Account());
  TCIDAccount* Account = Add<TCIDAccount>(6);
  EXPECT_EQ(nullptr, Zone->Account());

  Account->SetID(7);
  EXPECT_EQ(Account, Zone->Account());
  EXPECT_EQ(Account, Group->Account());
  EXPECT_EQ(nullptr, Other->Account());

  // A new ID unlinks the former members and takes the new ones.
  Account->SetID(8);
  EXPECT_EQ(nullptr, Zone->Account());
  EXPECT_EQ(nullptr, Group->Account());
  EXPECT_EQ(Account, Other->Account());
  EXPECT_EQ(1, Account->ZoneCount());
  EXPECT_EQ(0, Account->GroupCount());
}

TEST_F(CIDTest, MemberIsNeverInTwoAccounts) {
  TCIDAccount* First = Add<TCIDAccount>(1);
  TCIDZone* Zone = Add<TCIDZone>(10, 1);
  TCIDAccount* Second = Add<TCIDAccount>(2);
  ASSERT_EQ(First, Zone->Account());

  Zone->SetAccountID(2);
  TCIDZone* Found = nullptr;
  EXPECT_FALSE(First->FindZone(Zone->ZoneIdx(), Found));
  EXPECT_EQ(0, First->ZoneCount());
  EXPECT_EQ(Second, Zone->Account());
  EXPECT_EQ(1, Second->ZoneCount());

  // An account that takes an ID another account holds takes its members over.
  auto Third = TCustomSysObject::Create<TCIDAccount>();
  Third->SetID(2);
  EXPECT_EQ(Third.get(), Zone->Account());
  EXPECT_EQ(0, Second->ZoneCount());
  EXPECT_EQ(1, Third->ZoneCount());
  Third->RemoveZone(Zone);  // Third is not in the list; keep it from freeing the zone
  EXPECT_EQ(nullptr, Zone->Account());
}

// An account that adopts members already in the list and then fails to enter it (its load or
// a handler of its Add failed) lets them go instead of freeing them: they stay in the list, are
// not announced as deleted, and join the account that later comes with their AccountID.
TEST_F(CIDTest, AccountThatNeverEntersTheListLeavesItsAdoptedMembersThere) {
  TCIDZone* Zone = Add<TCIDZone>(22, 20);
  TCIDGroup* Group = Add<TCIDGroup>(21, 20);
  std::vector<std::int32_t> Deleted;
  bool FailAdd = true;
  List.OnChange = [&](TCustomSysObject& Obj, TObjectAction Action) {
    if (Action == olaDeleted)
      Deleted.push_back(Obj.ID());
    if (Action == olaAdded && FailAdd && dynamic_cast<TCIDAccount*>(&Obj))
      throw EDisplayError("the account's row could not be stored");
  };
  List.OnCreateObject = [](TBufferProtocol& Buffer) { return CreateCIDObject(Buffer); };
  auto Source = TCustomSysObject::Create<TCIDAccount>();
  Source->SetID(20);
  TBufferProtocol Action(32);
  Action.WriteByte(olaAdded);
  Source->SaveToBuffer(Action);
  Source.reset();

  {
    // Its creation failed: the account is freed before it reached the list.
    auto Failed = TCustomSysObject::Create<TCIDAccount>();
    Failed->SetID(20);
    ASSERT_EQ(Failed.get(), Zone->Account());
  }
  EXPECT_EQ(nullptr, Zone->Account());
  EXPECT_EQ(nullptr, Group->Account());

  // Its Add was undone by a handler.
  Action.SetPosition(0);
  EXPECT_THROW(List.ObjectLoad(Action), EDisplayError);
  TCustomSysObject* Found = nullptr;
  EXPECT_TRUE(List.FindById(22, Found));
  EXPECT_TRUE(List.FindById(21, Found));
  EXPECT_FALSE(List.FindById(20, Found));
  EXPECT_EQ(nullptr, Zone->Account());
  EXPECT_TRUE(Deleted.empty()) << testing::PrintToString(Deleted);

  FailAdd = false;
  Action.SetPosition(0);
  List.ObjectLoad(Action);
  ASSERT_TRUE(List.FindById(20, Found));
  EXPECT_EQ(Found, Zone->Account());
  EXPECT_EQ(Found, Group->Account());
  // A listed account deleted from the installation takes its members along, announced.
  List.Delete(Found);
  EXPECT_FALSE(List.FindById(22, Found));
  EXPECT_FALSE(List.FindById(21, Found));
  std::sort(Deleted.begin(), Deleted.end());
  EXPECT_EQ((std::vector<std::int32_t>{20, 21, 22}), Deleted);
}

TEST_F(CIDTest, ClonesAreNeverLinked) {
  TCIDAccount* Account = Add<TCIDAccount>(1);
  TCIDZone* Zone = Add<TCIDZone>(10, 1);
  auto ZoneClone = TCustomSysObject::CreateClone<TCIDZone>(Zone);
  EXPECT_EQ(1, ZoneClone->AccountID());
  EXPECT_EQ(nullptr, ZoneClone->Account());
  EXPECT_EQ(1, Account->ZoneCount());

  auto AccountClone = TCustomSysObject::CreateClone<TCIDAccount>(Account);
  EXPECT_EQ(0, AccountClone->ZoneCount());

  // A clone registered before the account with the same ID is passed over.
  auto Source = TCustomSysObject::Create<TCIDAccount>();
  Source->SetID(50);
  auto EarlyClone = TCustomSysObject::CreateClone<TCIDAccount>(Source.get());
  Source.reset();
  TCIDAccount* Real = Add<TCIDAccount>(50);
  TCIDGroup* Group = Add<TCIDGroup>(51, 50);
  EXPECT_EQ(Real, Group->Account());
  EXPECT_EQ(0, EarlyClone->GroupCount());

  // A clone taking an ID does not relink.
  Group->SetAccountID(60);
  EXPECT_EQ(nullptr, Group->Account());
  EarlyClone->SetID(60);
  EXPECT_EQ(nullptr, Group->Account());
}

TEST_F(CIDTest, FreeingAnAccountFreesItsMembers) {
  TCIDAccount* Account = Add<TCIDAccount>(1);
  Add<TCIDGroup>(2, 1);
  TCIDZone* First = Add<TCIDZone>(3, 1);
  Add<TCIDZone>(4, 1);
  Add<TCIDChannel>(5);
  const size_t Zones = AllZones().size();

  List.Delete(First);
  EXPECT_EQ(1, Account->ZoneCount()) << "a zone freed first leaves the account's list";
  EXPECT_EQ(Zones - 1, AllZones().size());

  std::vector<std::int32_t> Deleted;
  List.OnChange = [&](TCustomSysObject& O, TObjectAction A) {
    if (A == olaDeleted)
      Deleted.push_back(O.ID());
  };
  List.Delete(Account);
  ASSERT_EQ(1, List.Count());
  EXPECT_EQ(5, List.Items(0)->ID());
  EXPECT_EQ((std::vector<std::int32_t>{1, 2, 4}), Deleted)
      << "the account, then its group and zone";
}

// ---------------------------------------------------------------------------------------------
// Loading

TEST_F(CIDTest, GroupStatusIsReadInOneStatusChange) {
  TCIDGroup* Group = Add<TCIDGroup>(2);
  auto Source = TCustomSysObject::Create<TTestGroup>();
  Source->SetID(2);
  Source->ChangeState(1, 1);
  Group->LoadFromBuffer(*BufferOf(RecordOf(*Source)));
  std::vector<std::string> Events;
  List.OnStatusChange = [&](TCustomSysObject&) { Events.push_back("status"); };
  List.OnChange = [&](TCustomSysObject&, TObjectAction A) {
    Events.push_back(A == oaChanged ? "changed" : "?");
  };
  Source->ChangeState(9, 3);
  Group->LoadFromBuffer(*BufferOf(RecordOf(*Source)));
  EXPECT_EQ(std::vector<std::string>{"status"}, Events);
  EXPECT_EQ(9, Group->State());
  EXPECT_EQ(3, Group->Flags());
}

// Bad records for Contact ID objects: the error, and nothing changed.
TEST_F(CIDTest, BadRecordsChangeNothing) {
  List.OnCreateObject = CreateCIDObject;
  TCIDAccount* Account = Add<TCIDAccount>(1);
  TTestGroup* Group = Add<TTestGroup>(2, 1);
  Group->SetGroupIdx(4);
  Group->ChangeState(1, 0);
  TCIDZone* Zone = Add<TCIDZone>(3, 1);

  auto Action = [](TObjectAction A, TCustomSysObject& Obj,
                   const std::function<void(std::string&)>& Edit) {
    TBufferProtocol B(64);
    B.WriteByte(A);
    Obj.SaveToBuffer(B);
    std::string Hex = HexOf(B);
    Edit(Hex);
    return Hex;
  };
  auto NewZone = TCustomSysObject::Create<TCIDZone>();
  NewZone->SetID(9);
  NewZone->SetZoneIdx(1);
  NewZone->SetAccountID(1);
  const std::string GroupRecord = RecordOf(*Group);
  const std::string ZoneBefore = RecordOf(*Zone);
  // Offset (in hex text) of the group's status length, followed by State and Flags.
  const size_t GroupStatusLength = GroupRecord.size() + 1 - 6 * 3;
  const std::string ZoneRecordText = RecordOf(*NewZone);
  // ZoneIdx is followed by ZoneType (4), a null LinkObject (2), the status length (4) and State
  // (2).
  const size_t ZoneIdxAt = ZoneRecordText.size() + 1 - 14 * 3;
  struct TCase {
    const char* Name;
    std::string Hex;
    std::string Message;
  } Cases[] = {
      {"group status section shorter than its reader",
       Action(oaChanged, *Group,
              [&](std::string& H) {
                H.replace(3 + GroupStatusLength, 11, "01 00 00 00");
                H.replace(H.size() - 5, 5, "05 05");
              }),
       "Invalid status section: 1 bytes read beyond its end"},
      {"new zone number out of range",
       Action(olaAdded, *NewZone, [&](std::string& H) { H.replace(3 + ZoneIdxAt, 5, "00 10"); }),
       "Попытка установить индекс зоны > 4095"},
      {"zone moved to a number out of range",
       Action(oaChanged, *Zone,
              [&](std::string& H) {
                H.replace(3 + ZoneIdxAt, 5, "00 20");
                H.replace(3 + ZoneIdxAt - 12, 11, "07 00 00 00");  // and to account 7
              }),
       "Попытка установить индекс зоны > 4095"},
  };
  NewZone.reset();
  for (const TCase& C : Cases) {
    const std::string GroupBefore = RecordOf(*Group);
    try {
      List.ObjectLoad(*BufferOf(C.Hex));
      ADD_FAILURE() << C.Name << ": no error";
    } catch (const Exception& E) {
      EXPECT_EQ(C.Message, E.Message()) << C.Name;
    }
    EXPECT_EQ(3, List.Count()) << C.Name;
    EXPECT_EQ(GroupBefore, RecordOf(*Group)) << C.Name;
    EXPECT_EQ(ZoneBefore, RecordOf(*Zone)) << C.Name;
    EXPECT_EQ(Account, Zone->Account()) << C.Name;
    EXPECT_EQ(1, Account->ZoneCount()) << C.Name;
    EXPECT_EQ(Account, Group->Account()) << C.Name;
  }
}

TEST_F(CIDTest, FailedLoadRestoresANumberTheSetterWouldRefuse) {
  // A zone that never had a number (0) gets one from a record whose status section is cut: the
  // roll-back puts the 0 back.
  TCIDZone* Zone = Add<TCIDZone>(3);
  auto Source = TCustomSysObject::Create<TCIDZone>();
  Source->SetID(3);
  Source->SetZoneIdx(12);
  std::string Hex = RecordOf(*Source);
  Hex.replace(Hex.size() - 17, 11, "01 00 00 00");  // status length 1 for a Word
  EXPECT_THROW(Zone->LoadFromBuffer(*BufferOf(Hex)), Exception);
  EXPECT_EQ(0, Zone->ZoneIdx());
  Zone->SetZoneIdx(12);
  EXPECT_EQ(12, Zone->ZoneIdx());
}

}  // namespace
}  // namespace pelmar
