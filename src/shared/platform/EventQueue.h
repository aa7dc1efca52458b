// A per-thread event queue: messages posted from any thread and one-shot timers, both delivered
// to message endpoints (the equivalent of hidden windows) by the owning thread's loop when it
// calls ProcessMessages. Timers run on the process clock (Clock.h), so tests advance a fake clock
// instead of waiting.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include <poll.h>

namespace pelmar {

// Message numbers with the meaning the system's handlers expect.
inline constexpr std::uint32_t WM_TIMER = 0x0113;  // WParam: the timer's identifier
inline constexpr std::uint32_t WM_USER = 0x0400;   // first number free for private messages

struct TQueuedMessage {
  std::uint32_t Msg = 0;
  std::uintptr_t WParam = 0;
  std::intptr_t LParam = 0;
};

class TMessageEndpoint;

// The queue of one thread. Made on first use by the thread (Current) and kept alive by the
// endpoints bound to it, so a post after the thread ended is harmless (it is never served).
class TEventQueue {
 public:
  TEventQueue(const TEventQueue&) = delete;
  TEventQueue& operator=(const TEventQueue&) = delete;
  ~TEventQueue();

  // The calling thread's queue.
  static std::shared_ptr<TEventQueue> Current();

  // Serves the messages posted before the call, oldest first, then every timer that is due,
  // earliest first. Returns the number of messages and timers served. An exception from a
  // handler propagates; what was not yet served stays queued.
  // REQUIRES: called on the owning thread.
  int ProcessMessages();
  // Blocks until a message is posted or a timer is due, at most TimeoutMs ms. Returns true when
  // something is ready to be served. REQUIRES: called on the owning thread.
  bool WaitMessage(std::uint32_t TimeoutMs);
  // The same wait, which also ends when one of Watch's descriptors is ready (poll(2) events);
  // their revents are filled in. Returns true when a message or timer is ready or a descriptor
  // reported an event. REQUIRES: called on the owning thread.
  bool WaitMessage(std::uint32_t TimeoutMs, std::span<pollfd> Watch);

  // Ends the owner's current or next wait at once, without a message. Any thread.
  void Wake();

  std::thread::id OwnerThread() const { return FOwner; }
  // Posted messages not served yet.
  std::size_t PendingMessages() const;
  // Timers set and not yet fired or killed.
  std::size_t PendingTimers() const;

 private:
  friend class TMessageEndpoint;
  struct TPosted {
    std::uint64_t Endpoint;
    TQueuedMessage Message;
  };
  struct TTimer {
    std::uint32_t Start;     // tick when set
    std::uint32_t Interval;  // ms
    std::uint64_t Sequence;  // order of setting, for equal due times
  };
  using TTimerKey = std::pair<std::uint64_t, std::uint32_t>;  // endpoint, timer identifier

  explicit TEventQueue(std::thread::id Owner) : FOwner(Owner) {}

  std::uint64_t Register(TMessageEndpoint* Endpoint);
  void Unregister(std::uint64_t Endpoint);
  void Post(std::uint64_t Endpoint, const TQueuedMessage& Message);
  void SetTimer(std::uint64_t Endpoint, std::uint32_t Id, std::uint32_t Interval);
  bool KillTimer(std::uint64_t Endpoint, std::uint32_t Id);
  bool TimerRunning(std::uint64_t Endpoint, std::uint32_t Id) const;
  // REQUIRES: FLock held. The earliest due timer, if any is due now.
  bool TakeDueTimer(TTimerKey& Key);
  // REQUIRES: FLock held. Ms until the earliest timer is due; false when no timer runs.
  bool NextTimerDelay(std::uint32_t& Delay) const;
  void Deliver(std::uint64_t Endpoint, const TQueuedMessage& Message);

  // Wakes a descriptor wait when a message is posted. REQUIRES: FLock held.
  void WakePoller();

  const std::thread::id FOwner;
  mutable std::mutex FLock;
  std::condition_variable FPosted;
  std::deque<TPosted> FMessages;                          // guarded by FLock
  std::map<TTimerKey, TTimer> FTimers;                    // guarded by FLock
  std::map<std::uint64_t, TMessageEndpoint*> FEndpoints;  // guarded by FLock
  std::uint64_t FNextEndpoint = 1;                        // guarded by FLock
  std::uint64_t FTimerSequence = 0;                       // guarded by FLock
  int FWakeFd = -1;       // eventfd, made by the first descriptor wait; owning thread
  bool FPolling = false;  // a descriptor wait is in progress; guarded by FLock
  bool FWoken = false;    // Wake was called since the last wait; guarded by FLock
};

// A receiver of messages and timers on the thread that created it. The handler runs on that
// thread, inside its ProcessMessages. Posting is allowed from any thread; setting and killing
// timers, and destruction, belong to the owning thread.
class TMessageEndpoint {
 public:
  using THandler = std::function<void(const TQueuedMessage& Message)>;

  explicit TMessageEndpoint(THandler Handler);
  // Drops the messages still queued for this endpoint and its timers.
  ~TMessageEndpoint();
  TMessageEndpoint(const TMessageEndpoint&) = delete;
  TMessageEndpoint& operator=(const TMessageEndpoint&) = delete;

  void Post(std::uint32_t Msg, std::uintptr_t WParam = 0, std::intptr_t LParam = 0);
  // Starts timer Id: after IntervalMs ms the handler receives WM_TIMER with WParam = Id, once.
  // Setting a running timer starts it again from now.
  void SetTimer(std::uint32_t Id, std::uint32_t IntervalMs);
  // Returns true iff timer Id was running.
  bool KillTimer(std::uint32_t Id);
  bool TimerRunning(std::uint32_t Id) const;

  TEventQueue& Queue() const { return *FQueue; }

 private:
  friend class TEventQueue;
  std::shared_ptr<TEventQueue> FQueue;
  THandler FHandler;
  std::uint64_t FId;
};

}  // namespace pelmar
