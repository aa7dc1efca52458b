#include "LogBuffer.h"

#include <exception>

#include "Exception.h"
#include "Utilities.h"

namespace pelmar {

TLogBuffer::TLogBuffer()
    : FWindow(std::make_unique<TMessageEndpoint>(
          [this](const TQueuedMessage& Message) { HandleMessage(Message); })) {}

TLogBuffer::~TLogBuffer() {
  FBatchTimeout.store(0);
  FWindow.reset();
  Clear();
}

void TLogBuffer::AddRecord(std::int32_t Kind, std::vector<TVariant> Values) {
  auto Record = std::make_unique<TLogBufferRecord>();
  Record->Kind = Kind;
  Record->Values = std::move(Values);
  {
    std::lock_guard L(FRecordsLock);
    FRecords.push_back(std::move(Record));
  }
  FWindow->Post(WM_RECORD_ADDED);
}

void TLogBuffer::SetOnline(bool Value) {
  if (FOnline.exchange(Value) == Value)
    return;
  if (Value)
    FWindow->Post(WM_RECORD_ADDED);
}

std::size_t TLogBuffer::Count() const {
  std::lock_guard L(FRecordsLock);
  return FRecords.size();
}

void TLogBuffer::Clear() {
  std::lock_guard L(FRecordsLock);
  while (!FRecords.empty())
    FRecords.pop_front();
}

void TLogBuffer::HandleMessage(const TQueuedMessage& Message) {
  if (Message.Msg == WM_RECORD_ADDED) {
    if (!Online())
      return;
    if (BatchTimeout() == 0) {
      DoWrite();
    } else if (FTimer == 0) {
      // A running timer is not restarted: a burst ends in one batch, BatchTimeout after its
      // first record.
      FWindow->SetTimer(BatchTimerId, BatchTimeout());
      FTimer = BatchTimerId;
    }
  } else if (Message.Msg == WM_TIMER && Message.WParam == BatchTimerId) {
    FWindow->KillTimer(BatchTimerId);
    FTimer = 0;
    if (Online())
      DoWrite();
  }
}

std::string TLogBuffer::ErrorReport(const char* ClassName, const std::string& Message,
                                    const TLogBufferRecord* Record) {
  std::string Data;
  if (Record) {
    Data = "Log record data:\r\n";
    for (const TVariant& Value : Record->Values) {
      std::string Text;
      try {
        Text = Value.AsString();
      } catch (const Exception&) {
        // A kind without a text form must not keep the record from being reported and dropped.
        Text = "<" + VarTypeName(Value.VarType()) + ">";
      }
      Data += "  " + Text + "\r\n";
    }
  }
  return std::string("Log buffer failed to write a record: \r\n  Exception class: ") + ClassName +
         "\r\n" + "  Exception message: " + Message + "\r\n" + "\r\n" + Data;
}

void TLogBuffer::DoWrite() {
  if (!OnWrite)
    throw EBugCheckError("TLogBuffer.DoWrite: OnWrite not assigned");
  {
    std::lock_guard L(FRecordsLock);
    if (FRecords.empty())
      return;
  }
  // Freed last, whichever way the batch ends.
  std::unique_ptr<TLogBatchHold> Hold;
  if (OnStartWrite) {
    try {
      Hold = OnStartWrite(*this);
    } catch (const Exception&) {
      // The owner could not get ready (no database): every record waits for the next trigger.
      return;
    }
  }
  std::size_t Written = 0;
  bool Lost = false;
  std::exception_ptr ReportFailure;
  {
    std::lock_guard L(FRecordsLock);
    while (Written < FRecords.size()) {
      auto At = FRecords.begin() + static_cast<std::ptrdiff_t>(Written);
      try {
        OnWrite(**At);
      } catch (const ELogBatchLost&) {
        Lost = true;
        break;
      } catch (const Exception& E) {
        // Taken off the list before the report goes out, so that a failing error handler
        // cannot leave it there to fail every later batch.
        std::unique_ptr<TLogBufferRecord> Failed = std::move(*At);
        FRecords.erase(At);
        // A failing report still lets the batch finish (the owner releases what it holds).
        try {
          if (OnWriteError)
            OnWriteError(ErrorReport(E.ClassName(), E.Message(), Failed.get()));
        } catch (...) {
          ReportFailure = std::current_exception();
        }
        break;
      }
      ++Written;
    }
  }
  if (OnFinishWrite) {
    try {
      OnFinishWrite(*this);
    } catch (const ELogBatchLost&) {
      Lost = true;
    } catch (const Exception&) {
      // The batch is over either way; the owner reports its own commit failures.
    }
  }
  if (!Lost) {
    // Records added meanwhile went to the back: the written ones are still the first.
    std::lock_guard L(FRecordsLock);
    for (; Written > 0 && !FRecords.empty(); --Written)
      FRecords.pop_front();
  }
  if (ReportFailure)
    std::rethrow_exception(ReportFailure);
}

}  // namespace pelmar
