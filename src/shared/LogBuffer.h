// A queue of event-log records between the threads that produce them and the database that
// stores them. Any thread adds records; the thread that created the buffer writes them in
// batches through OnWrite while the owner reports the database as Online, when that thread
// serves its event queue (TEventQueue::ProcessMessages).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "EventQueue.h"
#include "Exception.h"
#include "Variant.h"

namespace pelmar {

// Raised by OnWrite or OnFinishWrite when the work of the batch was lost with its transaction
// (the database connection went away): every record of the batch stays queued for a later one.
PELMAR_EXCEPTION_CLASS(ELogBatchLost, Exception);

// What the owner holds for the length of one batch (a lock, a transaction), answered by
// OnStartWrite. It is freed when the batch is over, however it ends: after OnFinishWrite, or as
// any exception leaves DoWrite.
class TLogBatchHold {
 public:
  virtual ~TLogBatchHold() = default;
};

struct TLogBufferRecord {
  std::int32_t Kind = 0;         // chosen by the producer
  std::vector<TVariant> Values;  // copies of the values given to AddRecord, in order
};

class TLogBuffer {
 public:
  using TWriteEvent = std::function<void(const TLogBufferRecord& ALogRecord)>;
  using TWriteErrorEvent = std::function<void(const std::string& AMsg)>;
  using TNotifyEvent = std::function<void(TLogBuffer& Sender)>;
  using TStartWriteEvent = std::function<std::unique_ptr<TLogBatchHold>(TLogBuffer& Sender)>;

  // Posted when a record was added or the buffer went online.
  static constexpr std::uint32_t WM_RECORD_ADDED = WM_USER + 1;
  static constexpr std::uint32_t BatchTimerId = 1;

  // Offline, BatchTimeout 1000 ms, bound to the calling thread's event queue.
  TLogBuffer();
  // Drops the queued records without writing them. REQUIRES: called on the owning thread.
  ~TLogBuffer();
  TLogBuffer(const TLogBuffer&) = delete;
  TLogBuffer& operator=(const TLogBuffer&) = delete;

  // Any thread: queues a copy of Values and wakes the owning thread. Blocks while a batch is
  // being written.
  void AddRecord(std::int32_t Kind, std::vector<TVariant> Values);

  bool Online() const { return FOnline.load(); }
  // Any thread. A change to true wakes the owning thread, which then writes after the batch
  // delay; a change to false stops writing and keeps the queue.
  void SetOnline(bool Value);
  // Delay between the first queued record and the batch write, in ms; 0 writes at once.
  std::uint32_t BatchTimeout() const { return FBatchTimeout.load(); }
  void SetBatchTimeout(std::uint32_t Value) { FBatchTimeout.store(Value); }

  // Writes every queued record, oldest first, holding the list lock throughout. Raises
  // EBugCheckError when OnWrite is not assigned. A record whose OnWrite raises a pelmar::Exception
  // is reported through OnWriteError and dropped, and the batch stops there; an exception from
  // OnStartWrite abandons the batch with every record kept; one from OnFinishWrite is ignored.
  // The written records leave the queue only when the batch is over; ELogBatchLost from OnWrite
  // or OnFinishWrite keeps them all (the record that raised it too), and so does any other
  // exception, which goes on to the caller. The hold OnStartWrite answered is freed whichever way
  // the batch ends. Owning thread only.
  void DoWrite();
  // Drops every queued record without writing it.
  void Clear();
  // Records queued now.
  std::size_t Count() const;
  // True while the batch timer runs.
  bool TimerRunning() const { return FTimer != 0; }

  // All run on the owning thread, inside DoWrite.
  TWriteEvent OnWrite;            // required
  TWriteErrorEvent OnWriteError;  // the report of a record whose writing failed
  TStartWriteEvent OnStartWrite;  // before a batch; its answer is held until the batch is over
  TNotifyEvent OnFinishWrite;     // after a batch

 private:
  void HandleMessage(const TQueuedMessage& Message);
  static std::string ErrorReport(const char* ClassName, const std::string& Message,
                                 const TLogBufferRecord* Record);

  mutable std::recursive_mutex FRecordsLock;
  std::deque<std::unique_ptr<TLogBufferRecord>> FRecords;  // guarded by FRecordsLock
  std::atomic<bool> FOnline{false};
  std::atomic<std::uint32_t> FBatchTimeout{1000};
  std::uint32_t FTimer = 0;  // owning thread only: the running timer's identifier, 0 when none
  std::unique_ptr<TMessageEndpoint> FWindow;
};

}  // namespace pelmar
