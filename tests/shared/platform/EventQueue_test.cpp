#include "EventQueue.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include "FakeClock.h"

namespace pelmar {
namespace {

using test::TFakeClock;

// Records what an endpoint receives as "name:msg/wparam".
struct TRecorder {
  std::vector<std::string>* Log;
  std::string Name;
  void operator()(const TQueuedMessage& M) const {
    Log->push_back(Name + ":" + std::to_string(M.Msg) + "/" + std::to_string(M.WParam));
  }
};

class EventQueueTest : public ::testing::Test {
 protected:
  TEventQueue& Queue() { return *TEventQueue::Current(); }
  void TearDown() override {
    // Nothing may stay behind for the next test on this thread.
    EXPECT_EQ(0u, Queue().PendingMessages());
    EXPECT_EQ(0u, Queue().PendingTimers());
  }
  TFakeClock Clock;
  std::vector<std::string> Log;
};

TEST_F(EventQueueTest, PostedMessagesArriveInOrderAcrossEndpoints) {
  TMessageEndpoint A(TRecorder{&Log, "A"});
  TMessageEndpoint B(TRecorder{&Log, "B"});
  A.Post(1025, 1);
  B.Post(1025, 2);
  A.Post(1026, 3);
  EXPECT_EQ(3, Queue().ProcessMessages());
  EXPECT_EQ((std::vector<std::string>{"A:1025/1", "B:1025/2", "A:1026/3"}), Log);
  EXPECT_EQ(0, Queue().ProcessMessages());
}

TEST_F(EventQueueTest, TimerFiresOnceWhenItsIntervalHasPassed) {
  TMessageEndpoint A(TRecorder{&Log, "A"});
  A.SetTimer(1, 1000);
  Clock.Advance(999);
  EXPECT_EQ(0, Queue().ProcessMessages());
  EXPECT_TRUE(A.TimerRunning(1));
  Clock.Advance(1);
  EXPECT_EQ(1, Queue().ProcessMessages());
  EXPECT_EQ((std::vector<std::string>{"A:" + std::to_string(WM_TIMER) + "/1"}), Log);
  EXPECT_FALSE(A.TimerRunning(1));
  Clock.Advance(5000);
  EXPECT_EQ(0, Queue().ProcessMessages());
}

TEST_F(EventQueueTest, SettingARunningTimerStartsItAgain) {
  TMessageEndpoint A(TRecorder{&Log, "A"});
  A.SetTimer(1, 1000);
  Clock.Advance(600);
  A.SetTimer(1, 1000);
  Clock.Advance(600);
  EXPECT_EQ(0, Queue().ProcessMessages());
  Clock.Advance(400);
  EXPECT_EQ(1, Queue().ProcessMessages());
}

TEST_F(EventQueueTest, KilledTimerNeverFires) {
  TMessageEndpoint A(TRecorder{&Log, "A"});
  A.SetTimer(7, 10);
  EXPECT_TRUE(A.KillTimer(7));
  EXPECT_FALSE(A.KillTimer(7));
  Clock.Advance(100);
  EXPECT_EQ(0, Queue().ProcessMessages());
  EXPECT_TRUE(Log.empty());
}

TEST_F(EventQueueTest, TimersComeAfterPostedMessagesEarliestDueFirst) {
  TMessageEndpoint A(TRecorder{&Log, "A"});
  TMessageEndpoint B(TRecorder{&Log, "B"});
  A.SetTimer(1, 300);
  B.SetTimer(2, 100);
  Clock.Advance(500);
  A.Post(1025);
  Queue().ProcessMessages();
  const std::string T = std::to_string(WM_TIMER);
  EXPECT_EQ((std::vector<std::string>{"A:1025/0", "B:" + T + "/2", "A:" + T + "/1"}), Log);
}

TEST_F(EventQueueTest, TimerSurvivesAWrapOfTheTickCounter) {
  Clock.SetTicks(0xFFFFFF00u);
  TMessageEndpoint A(TRecorder{&Log, "A"});
  A.SetTimer(1, 1000);
  Clock.Advance(0x100);  // the counter wraps to 0
  EXPECT_EQ(0, Queue().ProcessMessages());
  Clock.Advance(1000 - 0x100);
  EXPECT_EQ(1, Queue().ProcessMessages());
}

TEST_F(EventQueueTest, DestroyedEndpointLosesItsMessagesAndTimers) {
  TMessageEndpoint Keep(TRecorder{&Log, "K"});
  {
    TMessageEndpoint Gone(TRecorder{&Log, "G"});
    Gone.Post(1025);
    Gone.SetTimer(1, 10);
    Keep.Post(1025);
  }
  Clock.Advance(100);
  EXPECT_EQ(1, Queue().ProcessMessages());
  EXPECT_EQ((std::vector<std::string>{"K:1025/0"}), Log);
}

TEST_F(EventQueueTest, MessagePostedByAHandlerIsServedByTheNextCall) {
  TMessageEndpoint* Self = nullptr;
  int Calls = 0;
  TMessageEndpoint A([&](const TQueuedMessage&) {
    if (++Calls == 1)
      Self->Post(1025);
  });
  Self = &A;
  A.Post(1025);
  EXPECT_EQ(1, Queue().ProcessMessages());
  EXPECT_EQ(1, Queue().ProcessMessages());
  EXPECT_EQ(2, Calls);
}

TEST_F(EventQueueTest, HandlerExceptionLeavesTheRestQueued) {
  TMessageEndpoint A([&](const TQueuedMessage& M) {
    Log.push_back(std::to_string(M.WParam));
    if (M.WParam == 1)
      throw std::runtime_error("handler failed");
  });
  A.Post(1025, 1);
  A.Post(1025, 2);
  EXPECT_THROW(Queue().ProcessMessages(), std::runtime_error);
  EXPECT_EQ(1u, Queue().PendingMessages());
  Queue().ProcessMessages();
  EXPECT_EQ((std::vector<std::string>{"1", "2"}), Log);
}

TEST_F(EventQueueTest, HandlerMayDestroyItsOwnEndpoint) {
  std::unique_ptr<TMessageEndpoint> A;
  A = std::make_unique<TMessageEndpoint>([&](const TQueuedMessage&) { A.reset(); });
  A->Post(1025);
  A->Post(1026);
  EXPECT_EQ(1, Queue().ProcessMessages());
  EXPECT_EQ(nullptr, A);
}

TEST_F(EventQueueTest, PostsFromOtherThreadsReachTheOwner) {
  TMessageEndpoint A(TRecorder{&Log, "A"});
  const std::thread::id Owner = std::this_thread::get_id();
  std::vector<std::thread::id> Seen;
  TMessageEndpoint B([&](const TQueuedMessage&) { Seen.push_back(std::this_thread::get_id()); });
  std::thread Producer([&] {
    for (int I = 0; I < 100; ++I)
      B.Post(1025, static_cast<std::uintptr_t>(I));
  });
  Producer.join();
  EXPECT_TRUE(Queue().WaitMessage(0));
  EXPECT_EQ(100, Queue().ProcessMessages());
  ASSERT_EQ(100u, Seen.size());
  for (auto Id : Seen)
    EXPECT_EQ(Owner, Id);
  EXPECT_EQ(Owner, Queue().OwnerThread());
}

TEST_F(EventQueueTest, WaitMessageWakesForAPostFromAnotherThread) {
  TMessageEndpoint A(TRecorder{&Log, "A"});
  EXPECT_FALSE(Queue().WaitMessage(0));
  std::thread Producer([&] { A.Post(1025); });
  // Bounded by the real-time limit only if the post were lost.
  EXPECT_TRUE(Queue().WaitMessage(60000));
  Producer.join();
  Queue().ProcessMessages();
}

// A connected pair of stream sockets, closed at the end.
struct TSocketPair {
  int Fd[2] = {-1, -1};
  TSocketPair() { EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, Fd)); }
  ~TSocketPair() {
    for (int F : Fd)
      if (F >= 0)
        close(F);
  }
};

TEST_F(EventQueueTest, DescriptorWaitEndsOnInputOrOnAPostFromAnotherThread) {
  TMessageEndpoint A(TRecorder{&Log, "A"});
  TSocketPair Pair;
  pollfd Watch[1] = {{Pair.Fd[0], POLLIN, 0}};
  // Nothing ready: the wait runs out and reports nothing.
  EXPECT_FALSE(Queue().WaitMessage(1, Watch));
  EXPECT_EQ(0, Watch[0].revents);

  // Input on the descriptor ends the wait and is reported in revents. The limits are only
  // reached if the wake-up were lost.
  std::thread Writer([&] { EXPECT_EQ(1, write(Pair.Fd[1], "x", 1)); });
  EXPECT_TRUE(Queue().WaitMessage(60000, Watch));
  Writer.join();
  EXPECT_NE(0, Watch[0].revents & POLLIN);
  char Byte;
  EXPECT_EQ(1, read(Pair.Fd[0], &Byte, 1));

  // A post from another thread ends a descriptor wait as it ends the plain one.
  std::thread Producer([&] { A.Post(1025); });
  EXPECT_TRUE(Queue().WaitMessage(60000, Watch));
  Producer.join();
  EXPECT_EQ(1, Queue().ProcessMessages());

  // Wake from another thread ends both kinds of wait without a message, once.
  std::thread Waker([&] { Queue().Wake(); });
  Queue().WaitMessage(60000, Watch);
  Waker.join();
  Queue().Wake();
  EXPECT_FALSE(Queue().WaitMessage(60000));
  EXPECT_FALSE(Queue().WaitMessage(0));

  // A message already queued returns at once without polling.
  A.Post(1026);
  EXPECT_TRUE(Queue().WaitMessage(60000, Watch));
  EXPECT_EQ(0, Watch[0].revents);
  Queue().ProcessMessages();
}

TEST_F(EventQueueTest, WaitMessageReportsADueTimer) {
  TMessageEndpoint A(TRecorder{&Log, "A"});
  A.SetTimer(1, 50);
  Clock.Advance(50);
  EXPECT_TRUE(Queue().WaitMessage(0));
  Queue().ProcessMessages();
}

TEST_F(EventQueueTest, EachThreadHasItsOwnQueue) {
  auto Mine = TEventQueue::Current();
  std::shared_ptr<TEventQueue> Theirs;
  std::thread Other([&] { Theirs = TEventQueue::Current(); });
  Other.join();
  EXPECT_NE(Mine.get(), Theirs.get());
  EXPECT_EQ(Mine.get(), TEventQueue::Current().get());
}

}  // namespace
}  // namespace pelmar
