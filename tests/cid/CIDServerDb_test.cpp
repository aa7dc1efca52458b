// ctest-label: db
// Loading and saving the server objects through the VW_CID_* views of a real database.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CIDServer.h"
#include "DBUtils.h"
#include "Failure.h"
#include "FirebirdFixture.h"
#include "Hex.h"

namespace pelmar {
namespace {

const char* const AccountSelect =
    "SELECT   ID,   NAME,   ENABLED,   DESCRIPTION,   ACCOUNT_IDX,   LINK_OBJECT,   TEST_REPORT,  "
    " MAINTENANCE,   LAST_STATUS FROM   VW_CID_ACCOUNTS WHERE   ID = :ID";
const char* const GroupSelect =
    "SELECT   ID,   NAME,   ENABLED,   DESCRIPTION,   ACCOUNT_ID,   GROUP_IDX,   LINK_OBJECT,   "
    "LAST_STATUS FROM   VW_CID_ACCOUNT_GROUPS WHERE   ID = :ID";
const char* const ZoneSelect =
    "SELECT   ID,   NAME,   ENABLED,   DESCRIPTION,   ACCOUNT_ID,   ZONE_IDX,   ZONE_TYPE,   "
    "LINK_OBJECT,   LAST_STATUS FROM   VW_CID_ACCOUNT_ZONES WHERE   ID = :ID";
const char* const ChannelSelect =
    "SELECT   ID,   NAME,   ENABLED,   DESCRIPTION,   ACK_EVENTS,   COM_TYPE,   COM_ADDRESS,   "
    "RECEIVER_TIMEOUT FROM   VW_CID_CHANNELS WHERE   ID = :ID";

// Values as the checks compare them; a time of day as hh:mm:ss.
std::string Text(const TVariant& V) {
  if (V.IsNull())
    return "NULL";
  if (V.VarType() == TVarType::Date) {
    const std::string Full = DateTimeToStr(V.AsDouble());
    return Full.substr(11, 8);
  }
  return V.AsString();
}

std::vector<std::string> Texts(const std::vector<TVariant>& Row) {
  std::vector<std::string> Out;
  for (const TVariant& V : Row)
    Out.push_back(Text(V));
  return Out;
}

TVariant Int(std::int32_t V) {
  return TVariant(V);
}

class CIDServerDbTest : public test::TFirebirdTest {
 protected:
  // The row of the view for ID, all columns but LAST_STATUS, as texts; empty when none.
  std::vector<std::string> Row(const std::string& View, const std::string& Columns,
                               std::int32_t ID) {
    auto Rows = Select("SELECT " + Columns + " FROM " + View + " WHERE ID = " + std::to_string(ID));
    return Rows.empty() ? std::vector<std::string>{} : Texts(Rows[0]);
  }

  // Stores status bytes for an object as the service's status store does; nullptr stores NULL.
  void StoreStatus(std::int32_t ID, const char* Hex) {
    std::lock_guard Lock(DatabaseLock());
    auto Query = NewWriteQuerySQL(
        "UPDATE OR INSERT INTO SYS_OBJECT_STATUSES (OBJECT_ID, STATUS) VALUES (:OBJECT_ID, "
        ":STATUS) MATCHING (OBJECT_ID)");
    Query->ParamByName("OBJECT_ID").SetAsInteger(ID);
    if (Hex == nullptr)
      Query->ParamByName("STATUS").SetNull();
    else
      Query->ParamByName("STATUS").SetAsBlob(test::ByteString(Hex));
    Query->ExecQuery();
    CommitTransaction(Query->Transaction());
    FreeQuery(Query, true);
  }

  // Counts change notifications of Obj.
  void CountChanges(TCustomSysObject& Obj) {
    Obj.AddChangeHandler([this](TCustomSysObject&, TObjectAction Action) {
      if (Action == oaChanged)
        ++Changes;
    });
  }

  std::int32_t Handle = 0;
  int Changes = 0;
};

TEST_F(CIDServerDbTest, AccountLoadsInOneUpdateThroughTheSharedQuery) {
  Execute(
      "INSERT INTO VW_CID_ACCOUNTS (ID, NAME, ENABLED, DESCRIPTION, ACCOUNT_IDX, LINK_OBJECT, "
      "TEST_REPORT, MAINTENANCE) VALUES (101, 'Склад', TRUE, 'Описание', 65535, 7, '08:00:00', "
      "TRUE)");
  Execute(
      "INSERT INTO VW_CID_ACCOUNTS (ID, NAME, ENABLED, ACCOUNT_IDX, MAINTENANCE) VALUES (102, "
      "'Касса', FALSE, 0, FALSE)");
  StoreStatus(101, "01");

  auto Account = TCustomSysObject::CreateOwn<TServerAccount>();
  Account->SetID(101);
  CountChanges(*Account);
  ASSERT_TRUE(LoadAccount(*Account, Handle));
  EXPECT_EQ("Склад", Account->Name());
  EXPECT_TRUE(Account->Enabled());
  EXPECT_EQ(TVariant("Описание"), Account->Description());
  EXPECT_EQ(0xFFFF, Account->AccountIdx());
  EXPECT_EQ(Int(7), Account->LinkObject());
  EXPECT_EQ("08:00:00", Text(Account->TestReport()));
  EXPECT_TRUE(Account->Maintenance());
  EXPECT_EQ(1, Account->State());
  EXPECT_EQ(1, Changes) << "one notification for the whole load";

  ASSERT_NE(nullptr, FindCachedQuery(Handle));
  EXPECT_EQ(AccountSelect, FindCachedQuery(Handle)->SQL());
  const std::int32_t FirstHandle = Handle;
  const std::uint64_t Prepared = Database().PrepareCount();

  // The next account reuses the prepared query; NULL columns give Null values.
  Account->SetID(102);
  ASSERT_TRUE(LoadAccount(*Account, Handle));
  EXPECT_EQ(FirstHandle, Handle);
  EXPECT_EQ(Prepared, Database().PrepareCount());
  EXPECT_EQ("Касса", Account->Name());
  EXPECT_FALSE(Account->Enabled());
  EXPECT_TRUE(Account->Description().IsNull());
  EXPECT_EQ(0, Account->AccountIdx());
  EXPECT_TRUE(Account->LinkObject().IsNull());
  EXPECT_TRUE(Account->TestReport().IsNull());
  EXPECT_FALSE(Account->Maintenance());
  EXPECT_EQ(1, Account->State()) << "no stored status: the status stays";

  FreeQueries("grp_loadobj");
  EXPECT_EQ(0, Handle);
}

TEST_F(CIDServerDbTest, GroupZoneAndChannelLoad) {
  Execute(
      "INSERT INTO VW_CID_ACCOUNT_GROUPS (ID, NAME, ENABLED, DESCRIPTION, ACCOUNT_ID, GROUP_IDX, "
      "LINK_OBJECT) VALUES (201, 'Раздел 255', FALSE, 'd', 102, 255, 9)");
  Execute(
      "INSERT INTO VW_CID_ACCOUNT_ZONES (ID, NAME, ENABLED, ACCOUNT_ID, ZONE_IDX, ZONE_TYPE, "
      "LINK_OBJECT) VALUES (301, 'Окно', TRUE, 102, 4095, 5, 11)");
  Execute(
      "INSERT INTO VW_CID_CHANNELS (ID, NAME, ENABLED, ACK_EVENTS, COM_TYPE, COM_ADDRESS, "
      "RECEIVER_TIMEOUT) VALUES (401, 'Приёмник TCP', TRUE, TRUE, 1, '10.0.0.5:1025', 45)");
  StoreStatus(201, "09 00");
  StoreStatus(301, "01 00");

  auto Group = TCustomSysObject::CreateOwn<TServerGroup>();
  Group->SetID(201);
  ASSERT_TRUE(LoadGroup(*Group, Handle));
  EXPECT_EQ(GroupSelect, FindCachedQuery(Handle)->SQL());
  EXPECT_EQ("Раздел 255", Group->Name());
  EXPECT_FALSE(Group->Enabled());
  EXPECT_EQ(TVariant("d"), Group->Description());
  EXPECT_EQ(102, Group->AccountID());
  EXPECT_EQ(255, Group->GroupIdx());
  EXPECT_EQ(Int(9), Group->LinkObject());
  EXPECT_EQ(9, Group->State());
  EXPECT_EQ(0, Group->Flags());

  std::int32_t ZoneHandle = 0;
  auto Zone = TCustomSysObject::CreateOwn<TServerZone>();
  Zone->SetID(301);
  ASSERT_TRUE(LoadZone(*Zone, ZoneHandle));
  EXPECT_EQ(ZoneSelect, FindCachedQuery(ZoneHandle)->SQL());
  EXPECT_EQ("Окно", Zone->Name());
  EXPECT_TRUE(Zone->Description().IsNull());
  EXPECT_EQ(102, Zone->AccountID());
  EXPECT_EQ(4095, Zone->ZoneIdx());
  EXPECT_EQ(5, Zone->ZoneType());
  EXPECT_EQ(Int(11), Zone->LinkObject());
  EXPECT_EQ(1, Zone->State());

  std::int32_t ChannelHandle = 0;
  auto Channel = TCustomSysObject::CreateOwn<TServerChannel>();
  Channel->SetID(401);
  ASSERT_TRUE(LoadChannel(*Channel, ChannelHandle));
  EXPECT_EQ(ChannelSelect, FindCachedQuery(ChannelHandle)->SQL());
  EXPECT_EQ("Приёмник TCP", Channel->Name());
  EXPECT_TRUE(Channel->Enabled());
  EXPECT_TRUE(Channel->AckEvents());
  EXPECT_EQ(1, Channel->ComType());
  EXPECT_EQ("10.0.0.5:1025", Channel->ComAddress());
  EXPECT_EQ(45, Channel->ReceiverTimeout());
  EXPECT_EQ(1, Channel->State()) << "enabled by the load: waiting for the first poll";
}

TEST_F(CIDServerDbTest, LastStatusIsAppliedOnlyWithTheLengthOfTheKind) {
  struct {
    const char* Kind;
    const char* Stored;  // nullptr: NULL
    bool Applied;
  } Cases[] = {
      {"account", "01", true},      {"account", "01 00", false}, {"account", "", false},
      {"account", nullptr, false},  {"group", "09 03", true},    {"group", "09", false},
      {"group", "09 00 00", false}, {"group", "", false},        {"group", nullptr, false},
      {"zone", "05 01", true},      {"zone", "01", false},       {"zone", "01 00 00", false},
      {"zone", nullptr, false},
  };
  std::int32_t ID = 1000;
  for (const auto& C : Cases) {
    ++ID;
    const std::string Case = std::string(C.Kind) + " " + (C.Stored ? C.Stored : "NULL");
    StoreStatus(ID, C.Stored);
    const std::string Kind = C.Kind;
    if (Kind == "account") {
      Execute("INSERT INTO VW_CID_ACCOUNTS (ID, NAME, ENABLED, ACCOUNT_IDX, MAINTENANCE) VALUES (" +
              std::to_string(ID) + ", 'a', TRUE, 1, FALSE)");
      auto Account = TCustomSysObject::CreateOwn<TServerAccount>();
      Account->SetID(ID);
      Account->SetState(0x80);
      ASSERT_TRUE(LoadAccount(*Account, Handle)) << Case;
      EXPECT_EQ(C.Applied ? 0x01 : 0x80, Account->State()) << Case;
    } else if (Kind == "group") {
      Execute(
          "INSERT INTO VW_CID_ACCOUNT_GROUPS (ID, NAME, ENABLED, ACCOUNT_ID, GROUP_IDX) VALUES (" +
          std::to_string(ID) + ", 'g', TRUE, 1, 1)");
      auto Group = TCustomSysObject::CreateOwn<TServerGroup>();
      Group->SetID(ID);
      Group->SetState(0x04, 0);
      ASSERT_TRUE(LoadGroup(*Group, Handle)) << Case;
      EXPECT_EQ(C.Applied ? 0x09 : 0x04, Group->State()) << Case;
      EXPECT_EQ(C.Applied ? 0x03 : 0x00, Group->Flags()) << Case;
    } else {
      Execute(
          "INSERT INTO VW_CID_ACCOUNT_ZONES (ID, NAME, ENABLED, ACCOUNT_ID, ZONE_IDX, ZONE_TYPE) "
          "VALUES (" +
          std::to_string(ID) + ", 'z', TRUE, 1, 1, 0)");
      auto Zone = TCustomSysObject::CreateOwn<TServerZone>();
      Zone->SetID(ID);
      Zone->SetState(0x8000);
      ASSERT_TRUE(LoadZone(*Zone, Handle)) << Case;
      EXPECT_EQ(C.Applied ? 0x0105 : 0x8000, Zone->State()) << Case;
    }
    FreeQueries("grp_loadobj");
  }
}

TEST_F(CIDServerDbTest, MissingRowAnswersFalseAndLeavesTheObject) {
  auto Zone = TCustomSysObject::CreateOwn<TServerZone>();
  Zone->SetID(999);
  Zone->SetName("from the Core service");
  CountChanges(*Zone);
  EXPECT_FALSE(LoadZone(*Zone, Handle));
  EXPECT_EQ("from the Core service", Zone->Name());
  EXPECT_EQ(0, Changes);
}

TEST_F(CIDServerDbTest, RefusedValuesCancelTheLoad) {
  Execute(
      "INSERT INTO VW_CID_ACCOUNT_GROUPS (ID, NAME, ENABLED, ACCOUNT_ID, GROUP_IDX) VALUES (201, "
      "'bad', TRUE, 1, 256)");
  Execute(
      "INSERT INTO VW_CID_CHANNELS (ID, NAME, ENABLED, ACK_EVENTS, COM_TYPE, COM_ADDRESS, "
      "RECEIVER_TIMEOUT) VALUES (401, 'bad', TRUE, FALSE, 256, '1', 30)");
  Execute(
      "INSERT INTO VW_CID_CHANNELS (ID, NAME, ENABLED, ACK_EVENTS, COM_TYPE, COM_ADDRESS, "
      "RECEIVER_TIMEOUT) VALUES (402, 'bad', TRUE, FALSE, -1, '1', 30)");
  struct {
    std::int32_t ID;
    const char* Want;
  } Cases[] = {
      {201, "Попытка установить индекс группы > 255"},
      // A type that does not fit a byte is refused rather than taken as another type.
      {401, "Field \"COM_TYPE\": value 256 out of range"},
      {402, "Field \"COM_TYPE\": value -1 out of range"},
  };
  for (const auto& C : Cases) {
    Changes = 0;
    std::unique_ptr<TCustomSysObject> Obj;
    std::string Failed;
    if (C.ID == 201) {
      auto Group = TCustomSysObject::CreateOwn<TServerGroup>();
      Group->SetID(C.ID);
      CountChanges(*Group);
      Failed = test::Failure([&] { LoadGroup(*Group, Handle); });
      Obj = std::move(Group);
    } else {
      auto Channel = TCustomSysObject::CreateOwn<TServerChannel>();
      Channel->SetID(C.ID);
      CountChanges(*Channel);
      Failed = test::Failure([&] { LoadChannel(*Channel, Handle); });
      EXPECT_EQ(0, Channel->ComType()) << C.ID;
      Obj = std::move(Channel);
    }
    FreeQueries("grp_loadobj");
    EXPECT_EQ(C.Want, Failed) << C.ID;
    EXPECT_EQ(0, Changes) << C.ID << ": no notification for a cancelled load";
    Obj->SetName("next");
    EXPECT_EQ(1, Changes) << C.ID << ": the update was closed, the next change is announced";
  }
}

TEST_F(CIDServerDbTest, SavedObjectsRoundTripThroughTheViews) {
  auto Account = TCustomSysObject::CreateOwn<TServerAccount>();
  Account->SetID(101);
  Account->SetName("Касса №1");
  Account->SetEnabled(true);
  Account->SetDescription(TVariant::Null());
  Account->SetAccountIdx(0x1234);
  Account->SetTestReport(TVariant::DateTime(46000 + 8.5 / 24));  // a date part is dropped
  Account->SetState(1);
  SaveAccount(*Account, olaAdded);
  const std::string AccountColumns =
      "ID, NAME, ENABLED, DESCRIPTION, ACCOUNT_IDX, LINK_OBJECT, TEST_REPORT, MAINTENANCE";
  EXPECT_EQ((std::vector<std::string>{"101", "Касса №1", "True", "NULL", "4660", "NULL", "08:30:00",
                                      "False"}),
            Row("VW_CID_ACCOUNTS", AccountColumns, 101));
  EXPECT_TRUE(Select("SELECT * FROM SYS_OBJECT_STATUSES").empty()) << "no status saved";

  Account->SetName("Склад");
  Account->SetEnabled(false);
  Account->SetDescription("Описание");
  Account->SetAccountIdx(0xFFFF);
  Account->SetLinkObject(Int(7));
  Account->SetTestReport(TVariant::Null());
  Account->SetMaintenance(true);
  SaveAccount(*Account, oaChanged);
  EXPECT_EQ(
      (std::vector<std::string>{"101", "Склад", "False", "Описание", "65535", "7", "NULL", "True"}),
      Row("VW_CID_ACCOUNTS", AccountColumns, 101));
  auto Loaded = TCustomSysObject::CreateOwn<TServerAccount>();
  Loaded->SetID(101);
  ASSERT_TRUE(LoadAccount(*Loaded, Handle));
  EXPECT_EQ("Склад", Loaded->Name());
  EXPECT_FALSE(Loaded->Enabled());
  EXPECT_EQ(TVariant("Описание"), Loaded->Description());
  EXPECT_EQ(0xFFFF, Loaded->AccountIdx());
  EXPECT_EQ(Int(7), Loaded->LinkObject());
  EXPECT_TRUE(Loaded->TestReport().IsNull());
  EXPECT_TRUE(Loaded->Maintenance());

  auto Group = TCustomSysObject::CreateOwn<TServerGroup>();
  Group->SetID(201);
  Group->SetName("Раздел 1");
  Group->SetAccountID(102);  // an account not in memory: the group stays the test's
  Group->SetGroupIdx(255);
  Group->SetLinkObject(Int(9));
  SaveGroup(*Group, olaAdded);
  EXPECT_EQ((std::vector<std::string>{"201", "Раздел 1", "True", "NULL", "102", "255", "9"}),
            Row("VW_CID_ACCOUNT_GROUPS",
                "ID, NAME, ENABLED, DESCRIPTION, ACCOUNT_ID, GROUP_IDX, LINK_OBJECT", 201));

  auto Zone = TCustomSysObject::CreateOwn<TServerZone>();
  Zone->SetID(301);
  Zone->SetName("Дверь");
  Zone->SetEnabled(false);
  Zone->SetDescription("d");
  Zone->SetAccountID(102);
  Zone->SetZoneIdx(4095);
  Zone->SetZoneType(5);
  SaveZone(*Zone, olaAdded);
  EXPECT_EQ(
      (std::vector<std::string>{"301", "Дверь", "False", "d", "102", "4095", "5", "NULL"}),
      Row("VW_CID_ACCOUNT_ZONES",
          "ID, NAME, ENABLED, DESCRIPTION, ACCOUNT_ID, ZONE_IDX, ZONE_TYPE, LINK_OBJECT", 301));

  auto Channel = TCustomSysObject::CreateOwn<TServerChannel>();
  Channel->SetID(401);
  Channel->SetName("Приёмник");
  Channel->SetAckEvents(true);
  Channel->SetComType(1);
  Channel->SetComAddress("192.168.0.10:1025");
  Channel->SetReceiverTimeout(45);
  SaveChannel(*Channel, olaAdded);
  const std::string ChannelColumns =
      "ID, NAME, ENABLED, DESCRIPTION, ACK_EVENTS, COM_TYPE, COM_ADDRESS, RECEIVER_TIMEOUT";
  EXPECT_EQ((std::vector<std::string>{"401", "Приёмник", "False", "NULL", "True", "1",
                                      "192.168.0.10:1025", "45"}),
            Row("VW_CID_CHANNELS", ChannelColumns, 401));
  Channel->SetReceiverTimeout(-1);
  SaveChannel(*Channel, oaChanged);
  EXPECT_EQ("-1", Row("VW_CID_CHANNELS", ChannelColumns, 401).at(7));

  // Other actions write nothing; deleting removes the rows.
  Channel->SetName("not saved");
  SaveChannel(*Channel, oaBeforeChange);
  SaveChannel(*Channel, olaBeforeDelete);
  EXPECT_EQ("Приёмник", Row("VW_CID_CHANNELS", ChannelColumns, 401).at(1));
  SaveAccount(*Account, olaDeleted);
  SaveGroup(*Group, olaDeleted);
  SaveZone(*Zone, olaDeleted);
  SaveChannel(*Channel, olaDeleted);
  for (const char* View :
       {"VW_CID_ACCOUNTS", "VW_CID_ACCOUNT_GROUPS", "VW_CID_ACCOUNT_ZONES", "VW_CID_CHANNELS"})
    EXPECT_TRUE(Select(std::string("SELECT ID FROM ") + View).empty()) << View;
}

TEST_F(CIDServerDbTest, FailedSaveRaisesAndLeavesNoRow) {
  auto Account = TCustomSysObject::CreateOwn<TServerAccount>();
  Account->SetID(101);
  Account->SetName(std::string(1000, 'x'));  // longer than any NAME column
  EXPECT_THROW(SaveAccount(*Account, olaAdded), EDatabaseError);
  EXPECT_TRUE(Select("SELECT ID FROM VW_CID_ACCOUNTS").empty());

  Account->SetName("ok");
  SaveAccount(*Account, olaAdded);
  EXPECT_EQ(1u, Select("SELECT ID FROM VW_CID_ACCOUNTS").size());
}

}  // namespace
}  // namespace pelmar
