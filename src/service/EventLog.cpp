#include "EventLog.h"

#include <sys/uio.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace pelmar {
namespace {

constexpr const char* JournalSocket = "/run/systemd/journal/socket";

std::atomic<TEventLogSink*> InstalledSink{nullptr};

TSystemEventLog& SystemSink() {
  static TSystemEventLog Sink;
  return Sink;
}

// syslog has one identifier per process; each entry sets its own under this lock.
std::mutex SyslogLock;

}  // namespace

int JournalPriority(TLogEventType EventType) {
  switch (EventType) {
    case letError:
      return LOG_ERR;
    case letWarning:
      return LOG_WARNING;
    case letAuditSuccess:
      return LOG_NOTICE;
    case letAuditFailure:
      return LOG_WARNING;
    case letInformation:
      break;
  }
  return LOG_INFO;
}

std::vector<std::string> JournalFields(const TEventLogEntry& Entry) {
  return {
      "MESSAGE=" + Entry.Message,
      "PRIORITY=" + std::to_string(JournalPriority(Entry.EventType)),
      "SYSLOG_IDENTIFIER=" + Entry.Source,
      "PELMAR_CATEGORY=" + std::to_string(Entry.Category),
      "PELMAR_EVENT_ID=" + std::to_string(Entry.ID),
  };
}

void TSystemEventLog::Write(const TEventLogEntry& Entry) {
  if (access(JournalSocket, F_OK) == 0) {
    std::vector<std::string> Fields = JournalFields(Entry);
    std::vector<iovec> Parts;
    for (std::string& F : Fields)
      Parts.push_back(iovec{F.data(), F.size()});
    sd_journal_sendv(Parts.data(), static_cast<int>(Parts.size()));
    return;
  }
  std::lock_guard Guard(SyslogLock);
  openlog(Entry.Source.c_str(), LOG_PID, LOG_DAEMON);
  syslog(JournalPriority(Entry.EventType), "%s", Entry.Message.c_str());
  closelog();
}

TEventLogSink& EventLogSink() {
  TEventLogSink* Sink = InstalledSink.load();
  return Sink != nullptr ? *Sink : SystemSink();
}

void SetEventLogSink(TEventLogSink* Value) {
  InstalledSink.store(Value);
}

}  // namespace pelmar
