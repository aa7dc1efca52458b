#include "CIDServer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "BaseProtocol.h"
#include "Common.h"
#include "DateTime.h"
#include "Failure.h"
#include "FakeClock.h"
#include "FbDatabase.h"
#include "LogCapture.h"
#include "MemoryChannel.h"
#include "Utilities.h"

namespace pelmar {
namespace {

using test::Failure;
using test::TFakeClock;
using test::TLogCapture;
using test::TMemoryChannel;

const std::string LinkTest = std::string("1              @    ") + DC4;
const std::string Report = std::string("5011 181234E13001003") + DC4;

// A report of account 0x1234.
TciMessage Msg(std::uint16_t Code, std::uint8_t Qualifier, std::uint16_t Group,
               std::uint32_t Zone) {
  TciMessage M;
  M.Account = 0x1234;
  M.MessageType = 18;
  M.Qualifier = Qualifier;
  M.Code = Code;
  M.Group = Group;
  M.Zone = Zone;
  return M;
}

std::string Describe(const TciMessage& M) {
  return Format("code %x Q%d group %d zone %d", M.Code, int{M.Qualifier}, int{M.Group},
                static_cast<std::int64_t>(M.Zone));
}

// Status sections applied as a load applies them: without the arming rule.
void LoadGroupStatus(TCIDGroup& Group, std::uint8_t State, std::uint8_t Flags) {
  TBufferProtocol Buffer;
  Buffer.WriteByte(State);
  Buffer.WriteByte(Flags);
  Buffer.SetPosition(0);
  Group.ReadStatus(Buffer, 2);
}

void LoadZoneStatus(TCIDZone& Zone, std::uint16_t State) {
  TBufferProtocol Buffer;
  Buffer.WriteWord(State);
  Buffer.SetPosition(0);
  Zone.ReadStatus(Buffer, 2);
}

// ---------------------------------------------------------------------------------------------
// Code sets

// The sets as ranges of report digits, each range every decimal writing between its ends.
struct TRange {
  int From, To;
};
struct TSetCase {
  const char* Name;
  std::span<const std::uint16_t> Set;
  std::vector<TRange> Ranges;
};

// Report digits 130 -> 0x130.
std::uint16_t HexOfDigits(int Digits) {
  return static_cast<std::uint16_t>((Digits / 100) * 0x100 + (Digits / 10 % 10) * 0x10 +
                                    Digits % 10);
}

TEST(CIDServerCodeSetTest, MembersAreTheReportDigitsOfTheRangesReadAsHex) {
  const TSetCase Cases[] = {
      {"TestReportCodes", TestReportCodes, {{602, 602}, {608, 608}}},
      {"AlarmCodes",
       AlarmCodes,
       {{100, 102}, {110, 118}, {120, 125}, {130, 139}, {140, 147}, {150, 159}, {161, 163}}},
      {"OpenCloseCodes", OpenCloseCodes, {{400, 409}}},
      {"TroubleCodes",
       TroubleCodes,
       {{200, 206},
        {300, 313},
        {320, 327},
        {330, 339},
        {341, 344},
        {350, 357},
        {370, 378},
        {380, 389},
        {391, 393},
        {622, 624},
        {626, 626}}},
      {"TestCodes", TestCodes, {{601, 608}, {611, 615}}},
  };
  for (const TSetCase& C : Cases) {
    std::size_t Expected = 0;
    for (int Digits = 0; Digits <= 999; ++Digits) {
      bool In = false;
      for (const TRange& R : C.Ranges)
        In = In || (Digits >= R.From && Digits <= R.To);
      Expected += In ? 1 : 0;
      EXPECT_EQ(In, CodeInSet(C.Set, HexOfDigits(Digits))) << C.Name << " " << Digits;
    }
    EXPECT_EQ(Expected, C.Set.size()) << C.Name << ": no member twice, none extra";
    // Codes that are no decimal writing (0x30A lies between 0x309 and 0x310) are in no set.
    for (std::uint16_t Code : {0x10A, 0x30A, 0x30F, 0x40A, 0x60A})
      EXPECT_FALSE(CodeInSet(C.Set, Code)) << C.Name << " " << Code;
  }
  EXPECT_EQ(49u, AlarmCodes.size());
  EXPECT_EQ(77u, TroubleCodes.size());
  EXPECT_EQ(13u, TestCodes.size());
  EXPECT_EQ(10u, OpenCloseCodes.size());
}

// ---------------------------------------------------------------------------------------------
// Zones, groups and accounts

// Account 101 (number 0x1234) with group 1 (ID 201) and zone 3 (ID 301).
class CIDServerAccountTest : public ::testing::Test {
 protected:
  CIDServerAccountTest() {
    Account->SetID(101);
    Account->SetAccountIdx(0x1234);
    Account->SetEnabled(true);
    auto NewGroup = TCustomSysObject::CreateOwn<TServerGroup>();
    NewGroup->SetID(201);
    NewGroup->SetGroupIdx(1);
    NewGroup->SetAccountID(101);
    Group = NewGroup.release();  // the account owns its members
    auto NewZone = TCustomSysObject::CreateOwn<TServerZone>();
    NewZone->SetID(301);
    NewZone->SetZoneIdx(3);
    NewZone->SetAccountID(101);
    Zone = NewZone.release();
    Log.Clear();
  }

  TFakeClock Clock;
  TLogCapture Log;
  std::unique_ptr<TServerAccount> Account = TCustomSysObject::CreateOwn<TServerAccount>();
  TServerGroup* Group = nullptr;
  TServerZone* Zone = nullptr;
};

TEST_F(CIDServerAccountTest, ServerObjectsProduceTheirOwnStatus) {
  auto PlainZone = TCustomSysObject::Create<TServerZone>();
  auto PlainGroup = TCustomSysObject::Create<TServerGroup>();
  auto PlainAccount = TCustomSysObject::Create<TServerAccount>();
  auto PlainChannel = TCustomSysObject::Create<TServerChannel>();
  EXPECT_TRUE(PlainZone->OwnStatus());
  EXPECT_TRUE(PlainGroup->OwnStatus());
  EXPECT_TRUE(PlainAccount->OwnStatus());
  EXPECT_TRUE(PlainChannel->OwnStatus());
  ASSERT_EQ(Account.get(), Group->Account());
  ASSERT_EQ(Account.get(), Zone->Account());
}

TEST_F(CIDServerAccountTest, ReportsDriveGroupAndZoneBits) {
  struct {
    std::uint8_t GroupBefore;
    std::uint16_t ZoneBefore;
    TciMessage In;
    std::uint8_t GroupAfter;
    std::uint16_t ZoneAfter;
  } Cases[] = {
      // Alarm codes: qualifier 1 sets, any other clears.
      {0, 0, Msg(0x130, 1, 1, 3), 0x08, 1},
      {0x08, 1, Msg(0x130, 3, 1, 3), 0, 0},
      {0x08, 1, Msg(0x130, 6, 1, 3), 0, 0},
      {0x01, 0, Msg(0x100, 1, 1, 0), 0x09, 0},
      {0, 0, Msg(0x163, 1, 0, 3), 0, 1},
      {0, 0, Msg(0x164, 1, 1, 3), 0, 0},
      // Open/close: qualifier 1 disarms (the arming rule clears the alarm and sets bit 4).
      {0x01, 0, Msg(0x401, 1, 1, 0), 0x10, 0},
      {0x09, 1, Msg(0x401, 1, 1, 3), 0x10, 1},
      {0x10, 0, Msg(0x401, 3, 1, 0), 0x01, 0},
      {0x10, 0, Msg(0x409, 6, 1, 0), 0x01, 0},
      {0x10, 0, Msg(0x400, 1, 0, 3), 0x10, 0},
      // Trouble and test.
      {0, 0, Msg(0x300, 1, 1, 3), 0x02, 0},
      {0x02, 0, Msg(0x313, 3, 1, 3), 0, 0},
      {0, 0, Msg(0x626, 1, 1, 0), 0x02, 0},
      {0, 0, Msg(0x611, 1, 1, 0), 0x04, 0},
      {0x04, 0, Msg(0x601, 3, 1, 0), 0, 0},
      {0, 0, Msg(0x602, 1, 1, 0), 0x04, 0},
      // Numbers the account lacks change only what was found.
      {0, 0, Msg(0x130, 1, 2, 3), 0, 1},
      {0, 0, Msg(0x130, 1, 1, 9), 0x08, 0},
      {0, 0, Msg(0x130, 1, 9, 9), 0, 0},
      // The zone is found by the low 16 bits of the reported number.
      {0, 0, Msg(0x130, 1, 0, 0x10003), 0, 1},
      // Codes in no set change nothing.
      {0x05, 1, Msg(0x570, 1, 1, 3), 0x05, 1},
  };
  for (const auto& C : Cases) {
    LoadGroupStatus(*Group, C.GroupBefore, 0);
    LoadZoneStatus(*Zone, C.ZoneBefore);
    Account->SetState(1);
    Account->ProcessEvent(C.In, 46000.5);
    EXPECT_EQ(C.GroupAfter, Group->State()) << Describe(C.In);
    EXPECT_EQ(0, Group->Flags()) << Describe(C.In);
    EXPECT_EQ(C.ZoneAfter, Zone->State()) << Describe(C.In);
    EXPECT_EQ(0, Account->State()) << Describe(C.In) << ": any report ends the overdue condition";
  }
}

TEST_F(CIDServerAccountTest, FlagsAreCarriedThroughReports) {
  LoadGroupStatus(*Group, 0x01, 0x5A);
  Account->ProcessEvent(Msg(0x401, 1, 1, 0), 46000.5);
  EXPECT_EQ(0x10, Group->State());
  EXPECT_EQ(0x5A, Group->Flags());
}

TEST_F(CIDServerAccountTest, TestReportWithoutGroupAndZoneTouchesOnlyTheAccount) {
  LoadGroupStatus(*Group, 0x01, 0);
  LoadZoneStatus(*Zone, 1);
  Account->SetState(1);
  int GroupChanges = 0, ZoneChanges = 0;
  Group->AddStatusHandler([&](TCustomSysObject&, TObjectAction) { ++GroupChanges; });
  Zone->AddStatusHandler([&](TCustomSysObject&, TObjectAction) { ++ZoneChanges; });
  EXPECT_TRUE(Account->LastTestReport().IsEmpty());

  Account->ProcessEvent(Msg(0x602, 1, 0, 0), 46000.25);
  EXPECT_EQ(TVariant::DateTime(46000.25), Account->LastTestReport());
  EXPECT_EQ(0, Account->State());
  EXPECT_EQ(0x01, Group->State());
  EXPECT_EQ(1, Zone->State());
  EXPECT_EQ(0, GroupChanges);
  EXPECT_EQ(0, ZoneChanges);

  // 608 is a test report as well; other codes do not count as one.
  Account->ProcessEvent(Msg(0x608, 1, 0, 0), 46000.5);
  EXPECT_EQ(TVariant::DateTime(46000.5), Account->LastTestReport());
  Account->ProcessEvent(Msg(0x601, 1, 0, 0), 46000.75);
  EXPECT_EQ(TVariant::DateTime(46000.5), Account->LastTestReport());
}

TEST_F(CIDServerAccountTest, ArmingRuleAndItsLogLines) {
  LoadGroupStatus(*Group, 0x09, 0);
  Account->ProcessEvent(Msg(0x401, 1, 1, 0), 46000.5);
  EXPECT_EQ(0x10, Group->State()) << "bit 0 and bit 3 cleared, bit 4 set";
  EXPECT_EQ((std::vector<std::string>{"Group 201 arming status changed", "Group 201 now disarmed"}),
            Log.Lines());

  Log.Clear();
  Account->ProcessEvent(Msg(0x401, 3, 1, 0), 46000.5);
  EXPECT_EQ(0x01, Group->State()) << "bit 0 set, bit 4 cleared";
  EXPECT_EQ((std::vector<std::string>{"Group 201 arming status changed", "Group 201 now armed"}),
            Log.Lines());

  Log.Clear();
  Account->ProcessEvent(Msg(0x401, 3, 1, 0), 46000.5);
  EXPECT_TRUE(Log.Lines().empty()) << "already armed: no change, no lines";
}

TEST_F(CIDServerAccountTest, GroupSetStateAppliesTheArmingRuleOnlyWhenBitZeroAloneChanges) {
  struct {
    std::uint8_t Before, NewState, NewFlags, After;
    bool Logged;
  } Cases[] = {
      {0x00, 0x01, 0, 0x01, true},   // armed
      {0x18, 0x19, 0, 0x09, true},   // armed: bit 4 cleared, bit 3 kept
      {0x09, 0x08, 0, 0x10, true},   // disarmed: bit 3 cleared, bit 4 set
      {0x00, 0x1B, 0, 0x1B, false},  // bits 0 and 1 together: as passed
      {0x09, 0x0A, 0, 0x0A, false},  // bits 0 and 1 together: bit 3 stays, bit 4 not set
      {0x01, 0x01, 7, 0x01, false},  // only the flags change
      {0x04, 0x04, 0, 0x04, false},  // nothing changes
  };
  int Changes = 0;
  Group->AddStatusHandler([&](TCustomSysObject&, TObjectAction) { ++Changes; });
  for (const auto& C : Cases) {
    LoadGroupStatus(*Group, C.Before, 0);
    Changes = 0;
    Log.Clear();
    Group->SetState(C.NewState, C.NewFlags);
    const std::string Case = Format("%x -> %x", C.Before, C.NewState);
    EXPECT_EQ(C.After, Group->State()) << Case;
    EXPECT_EQ(C.NewFlags, Group->Flags()) << Case;
    EXPECT_EQ(C.Logged, !Log.Lines().empty()) << Case;
    const bool Changed = C.Before != C.After || C.NewFlags != 0;
    EXPECT_EQ(Changed ? 1 : 0, Changes) << Case << ": one status change, or none";
  }
}

TEST_F(CIDServerAccountTest, ZoneSetStateAnnouncesOnlyChanges) {
  int Changes = 0;
  Zone->AddStatusHandler([&](TCustomSysObject&, TObjectAction) { ++Changes; });
  Zone->SetState(0);
  EXPECT_EQ(0, Changes);
  Zone->SetState(0x8001);
  EXPECT_EQ(0x8001, Zone->State());
  EXPECT_EQ(1, Changes);
}

TEST_F(CIDServerAccountTest, OnlyServerMembersJoin) {
  auto PlainZone = TCustomSysObject::Create<TCIDZone>();
  PlainZone->SetID(302);
  auto PlainGroup = TCustomSysObject::Create<TCIDGroup>();
  PlainGroup->SetID(202);
  EXPECT_EQ("BUGCHECK: Attempt to add TCIDZone to TServerPanel!",
            Failure([&] { Account->AddZone(PlainZone.get()); }));
  EXPECT_EQ("BUGCHECK: Attempt to add TCIDGroup to TServerPanel!",
            Failure([&] { Account->AddGroup(PlainGroup.get()); }));
  EXPECT_EQ(1, Account->ZoneCount());
  EXPECT_EQ(1, Account->GroupCount());
  EXPECT_EQ(nullptr, PlainZone->Account());

  // Server members still pass the account's own checks.
  auto Foreign = TCustomSysObject::CreateOwn<TServerZone>();
  Foreign->SetID(303);
  Foreign->SetAccountID(999);
  EXPECT_EQ("BUGCHECK: Attempt to add other account zone!",
            Failure([&] { Account->AddZone(Foreign.get()); }));
}

TEST_F(CIDServerAccountTest, ForceRestoreResetsAccountGroupsAndZones) {
  auto Second = TCustomSysObject::CreateOwn<TServerGroup>();
  Second->SetID(202);
  Second->SetGroupIdx(2);
  Second->SetAccountID(101);
  TServerGroup* Group2 = Second.release();
  LoadGroupStatus(*Group, 0x09, 3);
  LoadGroupStatus(*Group2, 0x02, 0);
  LoadZoneStatus(*Zone, 1);
  Account->SetState(1);
  Account->ForceRestore();
  EXPECT_EQ(0, Account->State());
  EXPECT_EQ(0x10, Group->State());
  EXPECT_EQ(0, Group->Flags());
  EXPECT_EQ(0x10, Group2->State());
  EXPECT_EQ(0, Zone->State());
}

// Due 08:00 on 10 March 2025, unless a case says otherwise.
TDateTime At(int Day, int Hour, int Minute, int Second = 0) {
  return EncodeDateTime(2025, 3, Day, Hour, Minute, Second, 0);
}
TVariant TimeOfDay(int Hour, int Minute) {
  return TVariant::DateTime((Hour * 60 + Minute) / 1440.0);
}

TEST_F(CIDServerAccountTest, TestReportLatenessIsJudgedOnceInTheWindowAfterTheLimit) {
  struct {
    const char* Name;
    TVariant Due;
    std::optional<TDateTime> LastReport;
    TDateTime Check;
    bool Want;
  } Cases[] = {
      {"before the limit", TimeOfDay(8, 0), std::nullopt, At(10, 8, 4, 50), true},
      {"at the limit", TimeOfDay(8, 0), std::nullopt, At(10, 8, 5, 0), true},
      {"first minute after, none", TimeOfDay(8, 0), std::nullopt, At(10, 8, 5, 40), false},
      {"second minute after, none", TimeOfDay(8, 0), std::nullopt, At(10, 8, 6, 40), true},
      {"report at 07:56", TimeOfDay(8, 0), At(10, 7, 56), At(10, 8, 5, 40), true},
      {"report at 08:03", TimeOfDay(8, 0), At(10, 8, 3), At(10, 8, 5, 40), true},
      {"report at 07:55 exactly", TimeOfDay(8, 0), At(10, 7, 55), At(10, 8, 5, 40), true},
      {"report at 07:54", TimeOfDay(8, 0), At(10, 7, 54), At(10, 8, 5, 40), false},
      {"yesterday's report", TimeOfDay(8, 0), At(9, 8, 0), At(10, 8, 5, 40), false},
      {"due time with a date part", TVariant::DateTime(At(1, 8, 0)), std::nullopt, At(10, 8, 5, 40),
       false},
      // A limit past midnight is judged in the first minute after it, on the next day.
      {"limit past midnight, none", TimeOfDay(23, 58), std::nullopt, At(11, 0, 3, 30), false},
      {"limit past midnight, report in time", TimeOfDay(23, 58), At(10, 23, 54), At(11, 0, 3, 30),
       true},
      {"limit past midnight, before it", TimeOfDay(23, 58), std::nullopt, At(11, 0, 2, 30), true},
  };
  for (const auto& C : Cases) {
    auto Fresh = TCustomSysObject::CreateOwn<TServerAccount>();
    Fresh->SetEnabled(true);
    Fresh->SetTestReport(C.Due);
    if (C.LastReport)
      Fresh->ProcessEvent(Msg(0x602, 1, 0, 0), *C.LastReport);
    EXPECT_EQ(C.Want, Fresh->CheckTestReport(5, 1, C.Check)) << C.Name;
    EXPECT_EQ(C.Want ? 0 : 1, Fresh->State()) << C.Name;
  }
}

TEST_F(CIDServerAccountTest, UnsupervisedAccountsAreNeverLate) {
  struct {
    const char* Name;
    bool Enabled, Maintenance;
    TVariant Due;
  } Cases[] = {
      {"disabled", false, false, TimeOfDay(8, 0)},
      {"in maintenance", true, true, TimeOfDay(8, 0)},
      {"no due time", true, false, TVariant::Null()},
  };
  for (const auto& C : Cases) {
    auto Fresh = TCustomSysObject::CreateOwn<TServerAccount>();
    Fresh->SetEnabled(C.Enabled);
    Fresh->SetMaintenance(C.Maintenance);
    Fresh->SetTestReport(C.Due);
    EXPECT_TRUE(Fresh->CheckTestReport(5, 1, At(10, 8, 5, 40))) << C.Name;
    EXPECT_EQ(0, Fresh->State()) << C.Name;
  }
}

TEST_F(CIDServerAccountTest, MinuteChecksJudgeEachDayOnce) {
  Account->SetTestReport(TimeOfDay(8, 0));
  std::vector<std::string> Late;
  for (int Day = 10; Day <= 11; ++Day)
    for (int Minute = 7 * 60 + 50; Minute <= 8 * 60 + 20; ++Minute) {
      const TDateTime Now = At(Day, Minute / 60, Minute % 60, 30);
      if (!Account->CheckTestReport(5, 1, Now))
        Late.push_back(DateTimeToStr(Now));
    }
  EXPECT_EQ((std::vector<std::string>{"2025-03-10 08:05:30.000", "2025-03-11 08:05:30.000"}), Late);
}

TEST_F(CIDServerAccountTest, MaintenanceRemindersEveryIntervalWhileEnabled) {
  auto Reminders = [&](int Minutes) {
    std::vector<int> At;
    for (int Minute = 1; Minute <= Minutes; ++Minute) {
      Clock.Advance(60000);
      if (Account->CheckMaintenance(30))
        At.push_back(Minute);
    }
    return At;
  };
  EXPECT_TRUE(Reminders(40).empty()) << "not in maintenance";

  Account->SetMaintenance(true);
  EXPECT_EQ(Clock.Ticks(), Account->MaintenanceTick());
  EXPECT_EQ((std::vector<int>{31, 62, 93}), Reminders(100))
      << "the first check more than 30 minutes after the switch, then after each reminder";

  Account->SetMaintenance(true);  // unchanged: the interval runs on
  Account->SetEnabled(false);
  EXPECT_TRUE(Reminders(100).empty()) << "disabled";
  Account->SetEnabled(true);
  EXPECT_EQ((std::vector<int>{1, 32}), Reminders(40)) << "overdue as soon as enabled again";

  Account->SetMaintenance(false);
  Account->SetMaintenance(true);
  EXPECT_EQ((std::vector<int>{31}), Reminders(40)) << "a new maintenance period starts anew";
}

TEST_F(CIDServerAccountTest, MaintenanceIntervalAcrossTickWrap) {
  Clock.SetTicks(0xFFFFF000u);
  Account->SetMaintenance(true);
  Clock.Advance(30 * 60000);
  EXPECT_FALSE(Account->CheckMaintenance(30));
  Clock.Advance(1);
  EXPECT_TRUE(Account->CheckMaintenance(30));
}

// ---------------------------------------------------------------------------------------------
// Channel objects

// A memory channel that counts its destruction.
class TTrackedChannel : public TMemoryChannel {
 public:
  explicit TTrackedChannel(int& Destroyed) : FDestroyed(Destroyed) {}
  ~TTrackedChannel() override { ++FDestroyed; }

 private:
  int& FDestroyed;
};

struct TLogged {
  std::uint8_t Priority;
  std::uint16_t Code;
  TVariant ObjectID;
  std::string TextA, TextB;
  bool operator==(const TLogged&) const = default;
};

void PrintTo(const TLogged& L, std::ostream* Out) {
  *Out << "{" << int{L.Priority} << ", " << L.Code << ", " << L.ObjectID.AsString() << ", \""
       << L.TextA << "\", \"" << L.TextB << "\"}";
}

TLogged Online() {
  return {0, 9300, TVariant(std::int32_t{401}), "", ""};
}
TLogged Lost() {
  return {0, 9301, TVariant(std::int32_t{401}), "", ""};
}
TLogged ReceiveError(const std::string& Message) {
  return {2, 11, TVariant(std::int32_t{401}), "Ошибка получения события", Message};
}

using TState = std::pair<int, std::string>;

const std::string Waiting = "Ожидание приемника...";
const std::string Timeout = "Таймаут приемника";

// Channel object 401 "Приемник 1" on memory channels made by the test.
class CIDServerChannelTest : public ::testing::Test {
 protected:
  CIDServerChannelTest() {
    Channel->SetID(401);
    Channel->SetName("Приемник 1");
    Channel->SetComAddress("mem");
    Channel->SetChannelFactory([this](std::uint8_t Kind) {
      auto Made = std::make_unique<TTrackedChannel>(Destroyed);
      Kinds.push_back(Kind);
      Components.push_back(Made.get());
      return Made;
    });
    Channel->SetOnLogEvent([this](std::uint8_t Priority, std::uint16_t Code, const TVariant& ID,
                                  const std::string& A, const std::string& B) {
      Events.push_back({Priority, Code, ID, A, B});
    });
    Channel->SetOnCIDEvent([this](TciMessage& M) {
      Reports.push_back(M);
      M.Ack = true;
    });
    Channel->AddStatusHandler([this](TCustomSysObject&, TObjectAction) {
      States.emplace_back(Channel->State(), Channel->StateText());
    });
  }

  // The component made last.
  TMemoryChannel& Mem() { return *Components.back(); }

  // Enabled, connected and heard from: state 5.
  void BringOnline() {
    Channel->SetEnabled(true);
    Channel->Poll();
    Mem().Input += LinkTest;
    ASSERT_TRUE(Channel->Poll());
    ASSERT_EQ(5, Channel->State());
    Events.clear();
    States.clear();
    Log.Clear();
  }

  TFakeClock Clock;
  TLogCapture Log;
  int Destroyed = 0;
  std::vector<std::uint8_t> Kinds;
  std::vector<TMemoryChannel*> Components;
  std::vector<TLogged> Events;
  std::vector<TciMessage> Reports;
  std::vector<TState> States;
  std::unique_ptr<TServerChannel> Channel = TCustomSysObject::CreateOwn<TServerChannel>();
};

TEST_F(CIDServerChannelTest, EnablingAndTheFirstPollConnectAndWaitForTheReceiver) {
  EXPECT_FALSE(Channel->Poll()) << "disabled";
  EXPECT_TRUE(Components.empty());

  Channel->SetEnabled(true);
  EXPECT_EQ((std::vector<TState>{{1, ""}}), States);
  EXPECT_TRUE(Components.empty()) << "made by the next poll";

  EXPECT_FALSE(Channel->Poll());
  ASSERT_EQ(1u, Components.size());
  EXPECT_EQ(std::vector<std::uint8_t>{0}, Kinds);
  EXPECT_EQ("mem", Mem().Address());
  EXPECT_TRUE(Mem().IsOpen());
  ASSERT_NE(nullptr, Channel->Receiver());
  EXPECT_EQ(&Mem(), &Channel->Receiver()->Channel());
  EXPECT_EQ((std::vector<TState>{{1, ""}, {2, "mem"}, {3, Waiting}}), States);
  EXPECT_TRUE(Log.Contains("Trying to connect \"Приемник 1\""));
  EXPECT_TRUE(Log.Contains("Channel connected \"Приемник 1\""));
  EXPECT_TRUE(Events.empty());
}

TEST_F(CIDServerChannelTest, ReceiverThatNeverSpeaksLeavesTheStateAtThree) {
  Channel->SetEnabled(true);
  for (int I = 0; I < 100; ++I) {
    EXPECT_FALSE(Channel->Poll());
    Clock.Advance(1000);
  }
  EXPECT_EQ(3, Channel->State());
  EXPECT_EQ(Waiting, Channel->StateText());
  EXPECT_TRUE(Events.empty());
}

TEST_F(CIDServerChannelTest, ReceiverPresenceFollowsItsMessagesAndTimeout) {
  Channel->SetEnabled(true);
  Channel->Poll();
  Mem().Input += LinkTest;
  EXPECT_TRUE(Channel->Poll());
  EXPECT_EQ(TState(5, ""), TState(Channel->State(), Channel->StateText()));
  EXPECT_EQ(std::vector<TLogged>{Online()}, Events);
  EXPECT_TRUE(Log.Contains("Receiver online"));
  EXPECT_TRUE(Reports.empty()) << "a link test is no report";

  Clock.Advance(20000);
  Mem().Input += LinkTest;
  EXPECT_TRUE(Channel->Poll());
  Clock.Advance(29999);
  EXPECT_TRUE(Channel->Poll());
  EXPECT_EQ(std::vector<TLogged>{Online()}, Events) << "9300 once";

  Clock.Advance(1);
  EXPECT_FALSE(Channel->Poll()) << "30 s of silence";
  EXPECT_EQ(TState(4, Timeout), TState(Channel->State(), Channel->StateText()));
  EXPECT_EQ((std::vector<TLogged>{Online(), Lost()}), Events);
  EXPECT_TRUE(Log.Contains("Receiver offline"));
  Clock.Advance(60000);
  EXPECT_FALSE(Channel->Poll());
  EXPECT_EQ(2u, Events.size());

  Mem().Input += LinkTest;
  EXPECT_TRUE(Channel->Poll());
  EXPECT_EQ(5, Channel->State());
  EXPECT_EQ((std::vector<TLogged>{Online(), Lost(), Online()}), Events);
}

TEST_F(CIDServerChannelTest, ReportsReachTheHandlerAndAreAcknowledged) {
  Channel->SetAckEvents(true);
  Channel->SetEnabled(true);
  Channel->Poll();
  ASSERT_TRUE(Channel->Receiver()->AckEvents());
  Mem().Input += Report;
  EXPECT_TRUE(Channel->Poll()) << "a report shows the receiver as well";
  ASSERT_EQ(1u, Reports.size());
  EXPECT_EQ(0x1234u, Reports[0].Account);
  EXPECT_EQ(0x130, Reports[0].Code);
  EXPECT_EQ(std::string(1, ACK), Mem().Output);
}

TEST_F(CIDServerChannelTest, ReceiverTimeoutInMilliseconds) {
  struct {
    std::int16_t Seconds;
    std::uint16_t Ms;
  } Cases[] = {{30, 30000}, {45, 45000}, {65, 65000}, {66, 65535}, {600, 65535}, {0, 0}, {-5, 0}};
  for (const auto& C : Cases) {
    Channel->SetReceiverTimeout(C.Seconds);
    Channel->SetEnabled(true);
    Channel->Poll();
    ASSERT_NE(nullptr, Channel->Receiver());
    EXPECT_EQ(C.Ms, Channel->Receiver()->Timeout()) << C.Seconds;
    Channel->SetEnabled(false);
  }
}

TEST_F(CIDServerChannelTest, TimeoutAndAckAreTakenWhenTheReceiverIsMade) {
  Channel->SetEnabled(true);
  Channel->Poll();
  Channel->SetReceiverTimeout(10);
  Channel->SetAckEvents(true);
  Channel->Poll();
  EXPECT_EQ(30000, Channel->Receiver()->Timeout());
  EXPECT_FALSE(Channel->Receiver()->AckEvents());
  Channel->SetEnabled(false);
  Channel->SetEnabled(true);
  Channel->Poll();
  EXPECT_EQ(10000, Channel->Receiver()->Timeout());
  EXPECT_TRUE(Channel->Receiver()->AckEvents());
}

TEST_F(CIDServerChannelTest, ReadFailureSetsStateOneWithOneEventAndReconnectsAfterTheInterval) {
  Channel->SetEnabled(true);
  Channel->Poll();
  ASSERT_EQ(3, Channel->State());
  Mem().FailRead = "line dropped";
  EXPECT_FALSE(Channel->Poll());
  EXPECT_EQ(TState(1, "line dropped"), TState(Channel->State(), Channel->StateText()));
  EXPECT_EQ(std::vector<TLogged>{ReceiveError("line dropped")}, Events);
  EXPECT_FALSE(Mem().IsOpen());
  EXPECT_TRUE(Log.Contains("Disconnected \"Приемник 1\""));

  // The next attempt comes 30 s after the last one.
  Clock.Advance(29000);
  EXPECT_FALSE(Channel->Poll());
  EXPECT_EQ(1, Mem().Opens);
  EXPECT_EQ(1u, Events.size());
  Clock.Advance(1001);
  States.clear();
  EXPECT_FALSE(Channel->Poll());
  EXPECT_EQ(2, Mem().Opens);
  EXPECT_EQ(1u, Components.size()) << "the component is reused";
  EXPECT_EQ((std::vector<TState>{{2, "mem"}, {3, Waiting}}), States);
}

TEST_F(CIDServerChannelTest, ReadFailureOfAnOnlineReceiverWaitsForItAgainAfterReconnecting) {
  BringOnline();
  Mem().FailRead = "line dropped";
  EXPECT_FALSE(Channel->Poll());
  EXPECT_EQ((std::vector<TLogged>{Lost(), ReceiveError("line dropped")}), Events);

  Clock.Advance(30001);
  Events.clear();
  for (int I = 0; I < 5; ++I)
    EXPECT_FALSE(Channel->Poll());
  EXPECT_EQ(TState(3, Waiting), TState(Channel->State(), Channel->StateText()))
      << "a new connection waits for the receiver to speak";
  EXPECT_TRUE(Events.empty());
  Mem().Input += LinkTest;
  EXPECT_TRUE(Channel->Poll());
  EXPECT_EQ(std::vector<TLogged>{Online()}, Events);
}

TEST_F(CIDServerChannelTest, OpenFailureSetsStateOneWithoutEventAndRetriesAfterTheInterval) {
  Channel->SetEnabled(true);
  Channel->SetChannelFactory([this](std::uint8_t) {
    auto Made = std::make_unique<TTrackedChannel>(Destroyed);
    Made->FailOpen = "port busy";
    Components.push_back(Made.get());
    return Made;
  });
  EXPECT_FALSE(Channel->Poll());
  EXPECT_EQ(TState(1, "port busy"), TState(Channel->State(), Channel->StateText()));
  EXPECT_TRUE(Events.empty());
  EXPECT_EQ(nullptr, Channel->Receiver());

  Clock.Advance(30000);
  EXPECT_FALSE(Channel->Poll());
  EXPECT_EQ(1, Mem().Opens);
  Clock.Advance(1);
  EXPECT_FALSE(Channel->Poll());
  EXPECT_EQ(2, Mem().Opens);
  EXPECT_EQ(3, Channel->State());
}

TEST_F(CIDServerChannelTest, InvalidTypeOrAddressLeavesEveryPoll) {
  Channel->SetEnabled(true);
  Channel->SetComType(2);
  for (int I = 0; I < 3; ++I)
    EXPECT_EQ("BUGCHECK: Invalid channel type: 2", Failure([&] { Channel->Poll(); }));
  EXPECT_TRUE(Components.empty());

  Channel->SetComType(1);
  Channel->SetComAddress("bad");
  for (int I = 0; I < 3; ++I)
    EXPECT_EQ("Bad address", Failure([&] { Channel->Poll(); }));
  EXPECT_EQ(3u, Components.size()) << "each poll tries a new component";
  EXPECT_EQ(1, Channel->State());

  Channel->SetComAddress("good");
  EXPECT_FALSE(Channel->Poll());
  EXPECT_EQ(3, Channel->State());
  EXPECT_EQ("good", Mem().Address());
  EXPECT_EQ(1, Kinds.back());
}

TEST_F(CIDServerChannelTest, ChangedAddressOrTypeReplacesComponentAndReceiver) {
  BringOnline();
  Channel->SetComAddress("mem2");
  EXPECT_FALSE(Channel->Poll());
  ASSERT_EQ(2u, Components.size());
  EXPECT_EQ(1, Destroyed) << "the old component is freed";
  EXPECT_EQ("mem2", Mem().Address());
  ASSERT_NE(nullptr, Channel->Receiver());
  EXPECT_EQ(&Mem(), &Channel->Receiver()->Channel()) << "the receiver reads the new component";
  EXPECT_EQ((std::vector<TState>{{2, "mem2"}, {3, Waiting}}), States);
  EXPECT_EQ(std::vector<TLogged>{Lost()}, Events);

  Mem().Input += LinkTest;
  EXPECT_TRUE(Channel->Poll());

  Channel->SetComType(1);
  Channel->Poll();
  EXPECT_EQ(2, Destroyed);
  EXPECT_EQ((std::vector<std::uint8_t>{0, 0, 1}), Kinds);
  EXPECT_EQ(&Mem(), &Channel->Receiver()->Channel());
}

TEST_F(CIDServerChannelTest, DisablingAnOnlineChannelWritesLostAndFreesEverything) {
  BringOnline();
  Channel->SetEnabled(false);
  EXPECT_EQ(std::vector<TLogged>{Lost()}, Events);
  EXPECT_EQ((std::vector<TState>{{0, ""}}), States);
  EXPECT_EQ(nullptr, Channel->Channel());
  EXPECT_EQ(nullptr, Channel->Receiver());
  EXPECT_EQ(1, Destroyed);
  EXPECT_FALSE(Channel->Poll());
  EXPECT_EQ(1u, Components.size()) << "nothing made while disabled";

  // Enabled again, the object starts over.
  Channel->SetEnabled(true);
  EXPECT_EQ(1, Channel->State());
  Channel->Poll();
  EXPECT_EQ(2u, Components.size());
  EXPECT_EQ(3, Channel->State());
}

TEST_F(CIDServerChannelTest, DatabaseErrorOfTheEventLogPropagatesAndTheChangeIsMadeAgain) {
  BringOnline();
  bool Fail = true;
  Channel->SetOnLogEvent([&](std::uint8_t Priority, std::uint16_t Code, const TVariant& ID,
                             const std::string& A, const std::string& B) {
    if (Fail)
      throw EDatabaseError("connection lost");
    Events.push_back({Priority, Code, ID, A, B});
  });
  Clock.Advance(30000);
  EXPECT_THROW(Channel->Poll(), EDatabaseError);
  EXPECT_EQ(5, Channel->State()) << "nothing recorded, nothing changed";
  Fail = false;
  EXPECT_FALSE(Channel->Poll());
  EXPECT_EQ(TState(4, Timeout), TState(Channel->State(), Channel->StateText()));
  EXPECT_EQ(std::vector<TLogged>{Lost()}, Events);
}

TEST_F(CIDServerChannelTest, StateChangesWithoutLogHandlerAreSafe) {
  Channel->SetOnLogEvent(nullptr);
  BringOnline();
  Channel->SetEnabled(false);
  EXPECT_EQ(0, Channel->State());
}

TEST_F(CIDServerChannelTest, SetStateWritesPresenceEventsOnlyOnStateChanges) {
  struct {
    std::uint8_t From, To;
    std::vector<TLogged> Want;
  } Cases[] = {
      {3, 5, {Online()}}, {5, 4, {Lost()}}, {5, 1, {Lost()}}, {5, 5, {}}, {4, 1, {}}, {0, 3, {}},
  };
  for (const auto& C : Cases) {
    Channel->TCIDChannel::SetState(C.From, "");
    Events.clear();
    Channel->SetState(C.To, "text");
    EXPECT_EQ(C.Want, Events) << int{C.From} << " -> " << int{C.To};
    EXPECT_EQ(TState(C.To, "text"), TState(Channel->State(), Channel->StateText()));
  }
}

}  // namespace
}  // namespace pelmar
