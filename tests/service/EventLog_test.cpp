// The event log's journal fields and the replaceable sink.
#include "EventLog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "EventLogRecorder.h"

namespace pelmar {
namespace {

TEST(EventLogTest, JournalFieldsCarryTextPrioritySourceCategoryAndId) {
  struct TCase {
    TLogEventType Type;
    const char* Priority;
  } Cases[] = {
      {letError, "PRIORITY=3"},        {letWarning, "PRIORITY=4"},
      {letInformation, "PRIORITY=6"},  {letAuditSuccess, "PRIORITY=5"},
      {letAuditFailure, "PRIORITY=4"},
  };
  for (const TCase& C : Cases) {
    TEventLogEntry Entry{"PelCID", C.Type, 2, 17, "Channel 3 offline"};
    EXPECT_EQ((std::vector<std::string>{"MESSAGE=Channel 3 offline", C.Priority,
                                        "SYSLOG_IDENTIFIER=PelCID", "PELMAR_CATEGORY=2",
                                        "PELMAR_EVENT_ID=17"}),
              JournalFields(Entry))
        << "type " << C.Type;
  }
}

TEST(EventLogTest, MessagesKeepTheirLineBreaks) {
  TEventLogEntry Entry{"PelCIDSvc", letError, 1, 0, "Unhandled exception!\r\nClass: E"};
  EXPECT_EQ("MESSAGE=Unhandled exception!\r\nClass: E", JournalFields(Entry).front());
}

TEST(EventLogTest, AnInstalledSinkTakesTheEntriesUntilItGoes) {
  TEventLogSink* System = &EventLogSink();
  {
    test::TEventLogRecorder Recorder;
    EXPECT_EQ(&Recorder, &EventLogSink());
    EventLogSink().Write(TEventLogEntry{"Src", letWarning, 2, 0, "careful"});
    ASSERT_EQ(1u, Recorder.Entries().size());
    EXPECT_EQ("Src", Recorder.Entries()[0].Source);
    EXPECT_EQ(letWarning, Recorder.Entries()[0].EventType);
  }
  EXPECT_EQ(System, &EventLogSink());
}

}  // namespace
}  // namespace pelmar
