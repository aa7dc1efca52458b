#include "LogBuffer.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "FakeClock.h"
#include "Utilities.h"

namespace pelmar {
namespace {

using test::TFakeClock;

class LogBufferTest : public ::testing::Test {
 protected:
  LogBufferTest() {
    Buffer.OnWrite = [this](const TLogBufferRecord& R) {
      if (FailOn == R.Values.at(0).AsString())
        throw EDatabaseLikeError("write failed");
      Written.push_back(R.Values.at(0).AsString());
      WriteTicks.push_back(GetTickCount() - Start);
    };
    Buffer.OnStartWrite = [this](TLogBuffer&) {
      ++Batches;
      return std::make_unique<THold>(Held);
    };
    Buffer.OnFinishWrite = [this](TLogBuffer&) { ++Finished; };
    Buffer.OnWriteError = [this](const std::string& Msg) { Errors.push_back(Msg); };
  }
  ~LogBufferTest() override {
    try {
      Process();
    } catch (const std::exception&) {
      // The test has failed already.
    }
  }

  PELMAR_EXCEPTION_CLASS(EDatabaseLikeError, Exception);

  // What the owner holds for a batch: counts the batches that hold it now.
  struct THold : TLogBatchHold {
    explicit THold(int& Count) : FCount(Count) { ++FCount; }
    ~THold() override { --FCount; }
    int& FCount;
  };

  void Add(const std::string& Text) { Buffer.AddRecord(0, {TVariant(Text)}); }
  int Process() { return TEventQueue::Current()->ProcessMessages(); }
  void Advance(std::uint32_t Ms) {
    Clock.Advance(Ms);
    Process();
  }

  TFakeClock Clock;
  const std::uint32_t Start = Clock.Ticks();
  TLogBuffer Buffer;
  std::string FailOn;
  std::vector<std::string> Written;
  std::vector<std::uint32_t> WriteTicks;
  std::vector<std::string> Errors;
  int Batches = 0;
  int Finished = 0;
  int Held = 0;
};

TEST_F(LogBufferTest, BurstIsWrittenAsOneBatchOneTimeoutAfterItsFirstRecord) {
  Buffer.SetOnline(true);
  Process();
  Add("a");
  Advance(100);
  Add("b");
  Advance(100);
  Add("c");
  Advance(799);  // 999 ms after the first record
  EXPECT_TRUE(Written.empty());
  Advance(1);
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), Written);
  EXPECT_EQ((std::vector<std::uint32_t>{1000, 1000, 1000}), WriteTicks);
  EXPECT_EQ(1, Batches);
  EXPECT_EQ(1, Finished);
  EXPECT_EQ(0u, Buffer.Count());
  EXPECT_FALSE(Buffer.TimerRunning());
}

TEST_F(LogBufferTest, RecordsAddedOfflineAreWrittenAfterGoingOnlineAndTheBatchDelay) {
  Add("a");
  Add("b");
  Advance(5000);
  EXPECT_TRUE(Written.empty());
  EXPECT_FALSE(Buffer.TimerRunning());
  Buffer.SetOnline(true);
  Advance(0);
  EXPECT_TRUE(Buffer.TimerRunning());
  Advance(999);
  EXPECT_TRUE(Written.empty());
  Advance(1);
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), Written);
}

TEST_F(LogBufferTest, ZeroTimeoutWritesEachRecordWhenItsMessageIsServed) {
  Buffer.SetBatchTimeout(0);
  Buffer.SetOnline(true);
  Process();
  Add("a");
  EXPECT_TRUE(Written.empty());  // nothing happens before the owner serves its queue
  Process();
  EXPECT_EQ((std::vector<std::string>{"a"}), Written);
  Add("b");
  Process();
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), Written);
  EXPECT_EQ(2, Batches);
}

TEST_F(LogBufferTest, FailedRecordIsReportedWithItsValuesAndDroppedAndTheBatchStops) {
  Buffer.SetBatchTimeout(0);
  Buffer.SetOnline(true);
  Process();
  FailOn = "second";
  Buffer.AddRecord(0, {TVariant("first")});
  Buffer.AddRecord(
      7, {TVariant("second"), TVariant::Null(), TVariant(std::int32_t{42}), TVariant(true),
          TVariant::DateTime(EncodeDateTime(2015, 1, 4, 13, 5, 0, 0))});
  Buffer.AddRecord(0, {TVariant("third")});
  Buffer.DoWrite();
  EXPECT_EQ((std::vector<std::string>{"first"}), Written);
  EXPECT_EQ(1u, Buffer.Count());
  ASSERT_EQ(1u, Errors.size());
  EXPECT_EQ(
      "Log buffer failed to write a record: \r\n"
      "  Exception class: EDatabaseLikeError\r\n"
      "  Exception message: write failed\r\n"
      "\r\n"
      "Log record data:\r\n"
      "  second\r\n"
      "  \r\n"
      "  42\r\n"
      "  True\r\n"
      "  2015-01-04 13:05:00.000\r\n",
      Errors[0]);
  EXPECT_EQ(1, Finished);
  // The third waits for the next trigger: the record-added messages still queued.
  Process();
  EXPECT_EQ((std::vector<std::string>{"first", "third"}), Written);
  EXPECT_EQ(0u, Buffer.Count());
}

TEST_F(LogBufferTest, FailingErrorHandlerDoesNotKeepTheRecord) {
  Buffer.OnWriteError = [](const std::string&) { throw std::runtime_error("report failed"); };
  FailOn = "bad";
  Add("bad");
  EXPECT_THROW(Buffer.DoWrite(), std::runtime_error);
  EXPECT_EQ(0u, Buffer.Count());
}

TEST_F(LogBufferTest, StartFailureKeepsEveryRecordAndFinishFailureIsIgnored) {
  bool Refuse = true;
  Buffer.OnStartWrite = [&](TLogBuffer&) -> std::unique_ptr<TLogBatchHold> {
    if (Refuse)
      throw Exception("Нет соединения с базой данных");
    return nullptr;
  };
  Buffer.OnFinishWrite = [](TLogBuffer&) { throw Exception("commit failed"); };
  Add("a");
  Add("b");
  EXPECT_NO_THROW(Buffer.DoWrite());
  EXPECT_EQ(2u, Buffer.Count());
  EXPECT_TRUE(Written.empty());
  Refuse = false;
  EXPECT_NO_THROW(Buffer.DoWrite());
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), Written);
}

// What the owner holds for a batch is freed however the batch ends, also by an exception that
// is not one of the service's own, and the records of such a batch stay queued.
TEST_F(LogBufferTest, HoldOfTheBatchIsFreedHoweverTheBatchEnds) {
  struct {
    const char* Name;
    std::function<void()> Write, Finish;
  } Cases[] = {
      {"written", [] {}, [] {}},
      {"write fails", [] { throw EDatabaseLikeError("bad value"); }, [] {}},
      {"batch lost", [] { throw ELogBatchLost("connection lost"); }, [] {}},
      {"commit fails", [] {}, [] { throw Exception("commit failed"); }},
      {"other exception", [] { throw std::runtime_error("out of memory"); }, [] {}},
  };
  for (const auto& Case : Cases) {
    Buffer.Clear();
    Buffer.OnWrite = [&](const TLogBufferRecord&) {
      EXPECT_EQ(1, Held) << Case.Name;
      Case.Write();
    };
    Buffer.OnFinishWrite = [&](TLogBuffer&) { Case.Finish(); };
    Add("a");
    Add("b");
    try {
      Buffer.DoWrite();
    } catch (const std::runtime_error&) {
      EXPECT_EQ(2u, Buffer.Count()) << Case.Name << ": a failed batch keeps its records";
    }
    EXPECT_EQ(0, Held) << Case.Name;
  }
}

// A batch whose transaction went away (a lost database connection) stored nothing: every record
// of it is written again by the next batch, wherever the loss showed.
TEST_F(LogBufferTest, LostBatchKeepsEveryRecordForTheNext) {
  struct {
    const char* Where;
    bool LoseOnWrite;
  } Cases[] = {{"write", true}, {"commit", false}};
  for (const auto& Case : Cases) {
    bool Lose = true;
    std::vector<std::string> Committed;
    std::vector<std::string> Pending;
    Buffer.OnWrite = [&](const TLogBufferRecord& R) {
      if (Lose && Case.LoseOnWrite && R.Values.at(0).AsString() == "b")
        throw ELogBatchLost("connection lost");
      Pending.push_back(R.Values.at(0).AsString());
    };
    Buffer.OnFinishWrite = [&](TLogBuffer&) {
      if (Lose && !Case.LoseOnWrite)
        throw ELogBatchLost("connection lost");
      if (!Lose)
        Committed.insert(Committed.end(), Pending.begin(), Pending.end());
      Pending.clear();
    };
    Add("a");
    Add("b");
    Add("c");
    Buffer.DoWrite();
    EXPECT_EQ(3u, Buffer.Count()) << Case.Where;
    EXPECT_TRUE(Errors.empty()) << Case.Where;
    Pending.clear();
    Lose = false;
    Buffer.DoWrite();
    EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), Committed) << Case.Where;
    EXPECT_EQ(0u, Buffer.Count()) << Case.Where;
  }
}

TEST_F(LogBufferTest, MissingWriteHandlerIsABugCheck) {
  Buffer.OnWrite = nullptr;
  try {
    Buffer.DoWrite();
    FAIL() << "no exception";
  } catch (const EBugCheckError& E) {
    EXPECT_EQ("BUGCHECK: TLogBuffer.DoWrite: OnWrite not assigned", E.Message());
  }
  // Also through the owner's loop, with nothing queued.
  Buffer.SetBatchTimeout(0);
  Buffer.SetOnline(true);
  EXPECT_THROW(Process(), EBugCheckError);
}

TEST_F(LogBufferTest, GoingOnlineTwicePostsOneMessage) {
  auto& Queue = *TEventQueue::Current();
  Buffer.SetOnline(true);
  Buffer.SetOnline(true);
  EXPECT_EQ(1u, Queue.PendingMessages());
  Process();
}

TEST_F(LogBufferTest, GoingOfflineStopsWritingAndKeepsTheQueue) {
  Buffer.SetOnline(true);
  Add("a");
  Advance(0);
  EXPECT_TRUE(Buffer.TimerRunning());
  Buffer.SetOnline(false);
  Advance(1000);  // the timer fires offline and writes nothing
  EXPECT_TRUE(Written.empty());
  EXPECT_EQ(1u, Buffer.Count());
  EXPECT_FALSE(Buffer.TimerRunning());
  Buffer.SetOnline(true);
  Advance(0);
  Advance(1000);
  EXPECT_EQ((std::vector<std::string>{"a"}), Written);
}

TEST_F(LogBufferTest, ClearDropsTheQueue) {
  Add("a");
  Add("b");
  Buffer.Clear();
  EXPECT_EQ(0u, Buffer.Count());
  Buffer.SetOnline(true);
  Advance(1000);
  EXPECT_TRUE(Written.empty());
  EXPECT_EQ(0, Batches);  // an empty queue starts no batch
}

TEST_F(LogBufferTest, RecordsFromOtherThreadsAreWrittenOnTheOwningThreadInOrder) {
  Buffer.SetOnline(true);
  const std::thread::id Owner = std::this_thread::get_id();
  std::vector<std::thread::id> Threads;
  Buffer.OnWrite = [&](const TLogBufferRecord& R) {
    Threads.push_back(std::this_thread::get_id());
    Written.push_back(R.Values.at(0).AsString() + "/" + R.Values.at(1).AsString());
  };
  std::vector<std::thread> Producers;
  for (int P = 0; P < 4; ++P)
    Producers.emplace_back([this, P] {
      for (int I = 0; I < 50; ++I)
        Buffer.AddRecord(0, {TVariant(std::int32_t{P}), TVariant(std::int32_t{I})});
    });
  for (auto& T : Producers)
    T.join();
  Advance(0);
  Advance(1000);
  ASSERT_EQ(200u, Written.size());
  EXPECT_EQ(1, Batches);
  for (auto Id : Threads)
    EXPECT_EQ(Owner, Id);
  // Each producer's records keep their order.
  std::vector<int> Next(4, 0);
  for (const std::string& W : Written) {
    int P = std::stoi(W.substr(0, W.find('/')));
    int I = std::stoi(W.substr(W.find('/') + 1));
    EXPECT_EQ(Next[static_cast<std::size_t>(P)]++, I) << W;
  }
}

TEST_F(LogBufferTest, DestroyedBufferDropsItsRecordsAndMessages) {
  {
    TLogBuffer Other;
    bool Wrote = false;
    Other.OnWrite = [&](const TLogBufferRecord&) { Wrote = true; };
    Other.SetOnline(true);
    Other.AddRecord(0, {TVariant("lost")});
    EXPECT_EQ(1u, Other.Count());
    EXPECT_FALSE(Wrote);
  }
  EXPECT_EQ(0, Process());
}

}  // namespace
}  // namespace pelmar
