// The operating system's event log: the systemd journal, or syslog when no journal runs. Every
// entry carries its type, category, event id and text; the journal keeps them as the fields
// MESSAGE, PRIORITY, SYSLOG_IDENTIFIER (the event source), PELMAR_CATEGORY and PELMAR_EVENT_ID.
// The sink in force can be replaced, so that tests record the entries instead.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pelmar {

// Entry types of the event log.
enum TLogEventType : std::uint16_t {
  letError = 1,
  letWarning = 2,
  letInformation = 4,
  letAuditSuccess = 8,
  letAuditFailure = 16,
};

struct TEventLogEntry {
  std::string Source;
  TLogEventType EventType = letInformation;
  std::uint16_t Category = 0;
  std::uint32_t ID = 0;
  std::string Message;
};

// Where entries go. Write is called from any thread and reports no failure.
class TEventLogSink {
 public:
  virtual ~TEventLogSink() = default;
  virtual void Write(const TEventLogEntry& Entry) = 0;
};

// The journal when its socket exists, otherwise syslog(3).
class TSystemEventLog : public TEventLogSink {
 public:
  void Write(const TEventLogEntry& Entry) override;
};

// The sink in force: the system's unless a test installed another.
TEventLogSink& EventLogSink();
// Installs Value (not owned; nullptr restores the system's). Tests only, before logging starts.
void SetEventLogSink(TEventLogSink* Value);

// Syslog priority of an entry type: 3 error, 4 warning, 6 information; audit success 5 (notice),
// audit failure 4.
int JournalPriority(TLogEventType EventType);
// The journal fields ("NAME=value") written for Entry, in order.
std::vector<std::string> JournalFields(const TEventLogEntry& Entry);

}  // namespace pelmar
