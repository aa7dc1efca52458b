#include "EventLogRecorder.h"

#include <unistd.h>

#include "ToolProcess.h"

namespace pelmar::test {

TEventLogRecorder::TEventLogRecorder() {
  SetEventLogSink(this);
}

TEventLogRecorder::~TEventLogRecorder() {
  SetEventLogSink(nullptr);
}

void TEventLogRecorder::Write(const TEventLogEntry& Entry) {
  std::lock_guard Guard(FLock);
  FEntries.push_back(Entry);
  FChanged.notify_all();
}

std::vector<TEventLogEntry> TEventLogRecorder::Entries() const {
  std::lock_guard Guard(FLock);
  return FEntries;
}

std::vector<std::string> TEventLogRecorder::Messages() const {
  std::lock_guard Guard(FLock);
  std::vector<std::string> Result;
  for (const TEventLogEntry& E : FEntries)
    Result.push_back(E.Message);
  return Result;
}

bool TEventLogRecorder::WaitMessage(const std::string& Message) {
  std::unique_lock Lock(FLock);
  return FChanged.wait_for(Lock, Patience, [&] {
    for (const TEventLogEntry& E : FEntries)
      if (E.Message == Message)
        return true;
    return false;
  });
}

void TEventLogRecorder::Clear() {
  std::lock_guard Guard(FLock);
  FEntries.clear();
}

void TStderrEventLog::Write(const TEventLogEntry& Entry) {
  std::string Message;
  for (char C : Entry.Message) {
    if (C == '\r')
      Message += "\\r";
    else if (C == '\n')
      Message += "\\n";
    else
      Message += C;
  }
  std::string Line = "EVENT|" + Entry.Source + "|" + std::to_string(Entry.EventType) + "|" +
                     std::to_string(Entry.Category) + "|" + std::to_string(Entry.ID) + "|" +
                     Message + "\n";
  // One write per entry, so that entries of several threads do not mix.
  if (write(STDERR_FILENO, Line.data(), Line.size()) < 0) {
    // Nothing to do: the test sees the entry missing.
  }
}

}  // namespace pelmar::test
