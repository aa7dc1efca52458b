// A recording event log: while it exists, every entry the service host writes is kept here
// instead of reaching the journal. Entries can be waited for, with the usual bounded patience.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "EventLog.h"

namespace pelmar::test {

class TEventLogRecorder : public TEventLogSink {
 public:
  TEventLogRecorder();
  ~TEventLogRecorder() override;
  TEventLogRecorder(const TEventLogRecorder&) = delete;
  TEventLogRecorder& operator=(const TEventLogRecorder&) = delete;

  void Write(const TEventLogEntry& Entry) override;

  std::vector<TEventLogEntry> Entries() const;
  // The messages in order.
  std::vector<std::string> Messages() const;
  // Waits until an entry with this exact message was written; false when none came in time.
  bool WaitMessage(const std::string& Message);
  void Clear();

 private:
  mutable std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<TEventLogEntry> FEntries;  // guarded by FLock
};

// An event log for forked children: every entry becomes one line on standard error,
// "EVENT|source|type|category|id|message" with CR and LF in the message written as \r and \n.
class TStderrEventLog : public TEventLogSink {
 public:
  void Write(const TEventLogEntry& Entry) override;
};

}  // namespace pelmar::test
