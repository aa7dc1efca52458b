// ctest-label: e2e
// ctest-foreign-schema
//
// The built PelCIDSvc against an installation database of which one row of the Contact ID
// objects is bad. The Core service serves channels 10 and 11, accounts 20 (1234) and 30 (5678)
// and zone 22 of account 20; one of their rows holds a value the service cannot take. The bad
// object is left out with a warning and an entry in the event log, everything else loads, the
// service goes online, and every report is recorded and acknowledged; once the row is mended the
// next list load takes the object in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ServiceE2E.h"

namespace pelmar {
namespace {

struct TBadRow {
  const char* Name;
  const char* View;
  std::int32_t ID;
  const char* Column;
  const char* Value;
  const char* Mended;  // "B": receiver B's address
  // The warning's naming of the object and the reason; no warning when Reason is empty.
  const char* Object;
  const char* Reason;
  // What the report of account 1234 is recorded as.
  std::int32_t Code1234;
};

void PrintTo(const TBadRow& Row, std::ostream* Out) {
  *Out << Row.Name;
}

const TBadRow BadRows[] = {
    {"AccountNumberNull", "VW_CID_ACCOUNTS", 20, "ACCOUNT_IDX", "NULL", "4660",
     "Object 20 (Account \"Shop\")", "Field \"ACCOUNT_IDX\" is null", 9305},
    {"AccountNumberTooLarge", "VW_CID_ACCOUNTS", 20, "ACCOUNT_IDX", "70000", "4660",
     "Object 20 (Account \"Shop\")", "Field \"ACCOUNT_IDX\": value 70000 out of range", 9305},
    {"ZoneNumberNegative", "VW_CID_ACCOUNT_ZONES", 22, "ZONE_IDX", "-5", "1",
     "Object 22 (Zone \"Door\")", "Field \"ZONE_IDX\": value -5 out of range", 1304},
    {"ChannelAddressNull", "VW_CID_CHANNELS", 11, "COM_ADDRESS", "NULL", "B",
     "Object 11 (Channel \"Receiver B\")", "Field \"COM_ADDRESS\" is null", 1304},
    // A name is only a label: the account loads with an empty one.
    {"AccountNameNull", "VW_CID_ACCOUNTS", 20, "NAME", "NULL", "'Shop'", "", "", 1304},
};

class BadRowsTest : public test::TServiceE2ETest, public testing::WithParamInterface<TBadRow> {
 protected:
  void StartPeers() {
    const std::uint16_t PortA = StartReceiver(
        "a", {"--tcp", "0", "--report", "1234:E130:01:001", "--report", "5678:E130:01:002"});
    const std::uint16_t PortB = StartReceiver("b", {"--tcp", "0", "--report", "5678:E131:01:003"});
    ASSERT_NE(0, PortA);
    ASSERT_NE(0, PortB);
    AddressB = "127.0.0.1:" + std::to_string(PortB);
    const std::string AddressA = "127.0.0.1:" + std::to_string(PortA);
    StartCore(R"({ "service": { "name": "ContactID" }, "channels": [
        { "id": 10, "name": "Receiver A", "enabled": true, "comType": "tcp",
          "comAddress": ")" +
              AddressA + R"(", "ackEvents": true, "receiverTimeout": 60 },
        { "id": 11, "name": "Receiver B", "enabled": true, "comType": "tcp",
          "comAddress": ")" +
              AddressB + R"(", "ackEvents": true, "receiverTimeout": 60 } ],
      "accounts": [ { "id": 20, "name": "Shop", "enabled": true, "number": "1234" },
                    { "id": 30, "name": "Depot", "enabled": true, "number": "5678" } ],
      "zones": [ { "id": 22, "name": "Door", "account": 20, "number": "001" } ] })");
    ASSERT_FALSE(HasFatalFailure());
    // The installation's rows agree with the Core service's records.
    Execute(
        "INSERT INTO VW_CID_CHANNELS (ID, NAME, ENABLED, ACK_EVENTS, COM_TYPE, COM_ADDRESS, "
        "RECEIVER_TIMEOUT) VALUES (10, 'Receiver A', TRUE, TRUE, 1, '" +
        AddressA + "', 60)");
    Execute(
        "INSERT INTO VW_CID_CHANNELS (ID, NAME, ENABLED, ACK_EVENTS, COM_TYPE, COM_ADDRESS, "
        "RECEIVER_TIMEOUT) VALUES (11, 'Receiver B', TRUE, TRUE, 1, '" +
        AddressB + "', 60)");
    Execute(
        "INSERT INTO VW_CID_ACCOUNTS (ID, NAME, ENABLED, ACCOUNT_IDX, MAINTENANCE) VALUES "
        "(20, 'Shop', TRUE, 4660, FALSE)");
    Execute(
        "INSERT INTO VW_CID_ACCOUNTS (ID, NAME, ENABLED, ACCOUNT_IDX, MAINTENANCE) VALUES "
        "(30, 'Depot', TRUE, 22136, FALSE)");
    Execute(
        "INSERT INTO VW_CID_ACCOUNT_ZONES (ID, NAME, ENABLED, ACCOUNT_ID, ZONE_IDX, ZONE_TYPE) "
        "VALUES (22, 'Door', TRUE, 20, 1, 0)");
    WriteProgramSettings();
  }

  // The codes recorded for account number Idx, lowest first (the receivers send at once).
  std::vector<std::int32_t> Codes(std::int32_t Idx) {
    std::vector<std::int32_t> Result;
    for (auto& Row : Select("SELECT EVENT_CODE FROM CID_EVENTS WHERE ACCOUNT_IDX = " +
                            std::to_string(Idx) + " ORDER BY EVENT_CODE"))
      Result.push_back(Row[0].AsInteger());
    return Result;
  }

  std::string AddressB;
};

TEST_P(BadRowsTest, TheBadObjectIsLeftOutAndEveryReportIsRecorded) {
  const TBadRow& Bad = GetParam();
  const bool LeftOut = Bad.Reason[0] != '\0';
  StartPeers();
  ASSERT_FALSE(HasFatalFailure());
  SetViewColumn(Bad.View, Bad.ID, Bad.Column, Bad.Value);
  test::TToolProcess& Service = StartProgram();
  ASSERT_NE("", Service.WaitLine("is now online!")) << testing::PrintToString(Service.Lines());

  // Receiver A's reports: the left-out account's as an unknown account's, acknowledged.
  EXPECT_EQ(0, Receiver("a").WaitExit()) << testing::PrintToString(Service.Lines());
  EXPECT_EQ(2u, ReceiverFrames("a", "ACK").size());
  EXPECT_EQ(std::vector<std::int32_t>{Bad.Code1234}, Codes(0x1234));
  const bool ChannelLeftOut = Bad.ID == 11 && LeftOut;
  if (ChannelLeftOut) {
    // Receiver B waits: its channel is not read.
    EXPECT_TRUE(ReceiverFrames("b", "ACK").empty());
    EXPECT_EQ((std::vector<std::int32_t>{1304}), Codes(0x5678));
  } else {
    EXPECT_EQ(0, Receiver("b").WaitExit());
    EXPECT_EQ((std::vector<std::int32_t>{1304, 1305}), Codes(0x5678));
  }

  const std::string Warning =
      std::string(Bad.Object) + " was left out of the object list: " + Bad.Reason + ".";
  auto Warnings = [&] {
    int N = 0;
    for (const std::string& Line : Service.Lines())
      N += Line.find("was left out of the object list") != std::string::npos;
    return N;
  };
  if (LeftOut) {
    EXPECT_NE("", Service.WaitLine(Warning)) << testing::PrintToString(Service.Lines());
    EXPECT_EQ(1, Warnings());
    std::vector<std::vector<TVariant>> Log;
    WaitUntil([&] { return !(Log = EventLog(Bad.ID)).empty(); });
    ASSERT_EQ(1u, Log.size());
    EXPECT_EQ(11, Log[0][0].AsInteger());
    EXPECT_EQ(Bad.Reason, Log[0][4].AsString());
    const std::string Detail = "Не загружено объектов: 1";
    EXPECT_NE(std::string::npos, WaitCoreStatus(5, Detail).find(Detail));
  } else {
    EXPECT_EQ(0, Warnings());
  }

  // Mended, the object comes in with the next list load.
  const std::string Mended = std::string(Bad.Mended) == "B" ? "'" + AddressB + "'" : Bad.Mended;
  Execute(std::string("UPDATE ") + Bad.View + " SET " + Bad.Column + " = " + Mended +
          " WHERE ID = " + std::to_string(Bad.ID));
  CoreCommand("drop");
  std::string Status;
  EXPECT_TRUE(WaitUntil([&] {
    Status = CoreStatus(5);
    return Status.find("online, code") != std::string::npos &&
           Status.find("Не загружено") == std::string::npos;
  })) << Status;
  if (ChannelLeftOut) {
    EXPECT_EQ(0, Receiver("b").WaitExit());
    EXPECT_EQ((std::vector<std::int32_t>{1304, 1305}), Codes(0x5678));
  }
  EXPECT_EQ(LeftOut ? 1 : 0, Warnings()) << "a left-out object is warned of once";
  for (const std::string& Line : Core().Lines())
    EXPECT_EQ(std::string::npos, Line.find("SysObjectConfig: deleted")) << Line;
}

INSTANTIATE_TEST_SUITE_P(OneBadRow, BadRowsTest, testing::ValuesIn(BadRows),
                         [](const testing::TestParamInfo<TBadRow>& Info) {
                           return std::string(Info.param.Name);
                         });

}  // namespace
}  // namespace pelmar
