#include "EventQueue.h"

#include <chrono>

#include <sys/eventfd.h>
#include <unistd.h>

#include "Clock.h"

namespace pelmar {

namespace {
thread_local std::shared_ptr<TEventQueue> ThreadQueue;
}

TEventQueue::~TEventQueue() {
  if (FWakeFd >= 0)
    close(FWakeFd);
}

std::shared_ptr<TEventQueue> TEventQueue::Current() {
  if (!ThreadQueue)
    ThreadQueue.reset(new TEventQueue(std::this_thread::get_id()));
  return ThreadQueue;
}

std::uint64_t TEventQueue::Register(TMessageEndpoint* Endpoint) {
  std::lock_guard L(FLock);
  std::uint64_t Id = FNextEndpoint++;
  FEndpoints[Id] = Endpoint;
  return Id;
}

void TEventQueue::Unregister(std::uint64_t Endpoint) {
  std::lock_guard L(FLock);
  FEndpoints.erase(Endpoint);
  std::erase_if(FMessages, [Endpoint](const TPosted& P) { return P.Endpoint == Endpoint; });
  std::erase_if(FTimers, [Endpoint](const auto& T) { return T.first.first == Endpoint; });
}

void TEventQueue::Post(std::uint64_t Endpoint, const TQueuedMessage& Message) {
  {
    std::lock_guard L(FLock);
    FMessages.push_back({Endpoint, Message});
    WakePoller();
  }
  FPosted.notify_all();
}

void TEventQueue::SetTimer(std::uint64_t Endpoint, std::uint32_t Id, std::uint32_t Interval) {
  {
    std::lock_guard L(FLock);
    FTimers[{Endpoint, Id}] = TTimer{GetTickCount(), Interval, FTimerSequence++};
  }
  FPosted.notify_all();
}

bool TEventQueue::KillTimer(std::uint64_t Endpoint, std::uint32_t Id) {
  std::lock_guard L(FLock);
  return FTimers.erase({Endpoint, Id}) > 0;
}

bool TEventQueue::TimerRunning(std::uint64_t Endpoint, std::uint32_t Id) const {
  std::lock_guard L(FLock);
  return FTimers.count({Endpoint, Id}) > 0;
}

std::size_t TEventQueue::PendingMessages() const {
  std::lock_guard L(FLock);
  return FMessages.size();
}

std::size_t TEventQueue::PendingTimers() const {
  std::lock_guard L(FLock);
  return FTimers.size();
}

bool TEventQueue::TakeDueTimer(TTimerKey& Key) {
  const std::uint32_t NowTick = GetTickCount();
  auto Best = FTimers.end();
  std::uint32_t BestOverdue = 0;
  for (auto It = FTimers.begin(); It != FTimers.end(); ++It) {
    // Differences modulo 2^32, so a wrap of the tick counter does not look like a long wait.
    std::uint32_t Elapsed = NowTick - It->second.Start;
    if (Elapsed < It->second.Interval)
      continue;
    std::uint32_t Overdue = Elapsed - It->second.Interval;
    if (Best == FTimers.end() || Overdue > BestOverdue ||
        (Overdue == BestOverdue && It->second.Sequence < Best->second.Sequence)) {
      Best = It;
      BestOverdue = Overdue;
    }
  }
  if (Best == FTimers.end())
    return false;
  Key = Best->first;
  FTimers.erase(Best);
  return true;
}

bool TEventQueue::NextTimerDelay(std::uint32_t& Delay) const {
  if (FTimers.empty())
    return false;
  const std::uint32_t NowTick = GetTickCount();
  Delay = UINT32_MAX;
  for (const auto& [Key, Timer] : FTimers) {
    std::uint32_t Elapsed = NowTick - Timer.Start;
    std::uint32_t Left = Elapsed >= Timer.Interval ? 0 : Timer.Interval - Elapsed;
    if (Left < Delay)
      Delay = Left;
  }
  return true;
}

void TEventQueue::Deliver(std::uint64_t Endpoint, const TQueuedMessage& Message) {
  TMessageEndpoint::THandler Handler;
  {
    std::lock_guard L(FLock);
    auto It = FEndpoints.find(Endpoint);
    if (It == FEndpoints.end())
      return;
    // A copy, because the handler may destroy its own endpoint.
    Handler = It->second->FHandler;
  }
  if (Handler)
    Handler(Message);
}

int TEventQueue::ProcessMessages() {
  int Served = 0;
  std::size_t Count;
  {
    std::lock_guard L(FLock);
    Count = FMessages.size();
  }
  // Only what was posted before the call: a handler that posts again cannot keep us here.
  for (; Count > 0; --Count) {
    TPosted Next;
    {
      std::lock_guard L(FLock);
      if (FMessages.empty())
        break;
      Next = FMessages.front();
      FMessages.pop_front();
    }
    ++Served;
    Deliver(Next.Endpoint, Next.Message);
  }
  for (;;) {
    TTimerKey Key;
    {
      std::lock_guard L(FLock);
      if (!TakeDueTimer(Key))
        break;
    }
    ++Served;
    Deliver(Key.first, TQueuedMessage{WM_TIMER, Key.second, 0});
  }
  return Served;
}

bool TEventQueue::WaitMessage(std::uint32_t TimeoutMs) {
  std::unique_lock L(FLock);
  std::uint32_t Wait = TimeoutMs;
  std::uint32_t TimerDelay;
  if (NextTimerDelay(TimerDelay) && TimerDelay < Wait)
    Wait = TimerDelay;
  if (!FMessages.empty() || Wait == 0 || FWoken) {
    FWoken = false;
    return !FMessages.empty() || (NextTimerDelay(TimerDelay) && TimerDelay == 0);
  }
  FPosted.wait_for(L, std::chrono::milliseconds(Wait),
                   [this] { return !FMessages.empty() || FWoken; });
  FWoken = false;
  return !FMessages.empty() || (NextTimerDelay(TimerDelay) && TimerDelay == 0);
}

void TEventQueue::Wake() {
  {
    std::lock_guard L(FLock);
    FWoken = true;
    WakePoller();
  }
  FPosted.notify_all();
}

void TEventQueue::WakePoller() {
  if (!FPolling)
    return;
  const std::uint64_t One = 1;
  // A full counter still leaves the descriptor readable, so a failed write loses no wake-up.
  [[maybe_unused]] ssize_t N = write(FWakeFd, &One, sizeof One);
}

bool TEventQueue::WaitMessage(std::uint32_t TimeoutMs, std::span<pollfd> Watch) {
  if (Watch.empty())
    return WaitMessage(TimeoutMs);
  if (FWakeFd < 0) {
    FWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (FWakeFd < 0)
      return WaitMessage(TimeoutMs);
  }
  std::uint32_t Wait = TimeoutMs;
  {
    std::lock_guard L(FLock);
    std::uint32_t TimerDelay;
    if (NextTimerDelay(TimerDelay) && TimerDelay < Wait)
      Wait = TimerDelay;
    if (!FMessages.empty() || Wait == 0 || FWoken) {
      FWoken = false;
      for (pollfd& P : Watch)
        P.revents = 0;
      return !FMessages.empty() || (NextTimerDelay(TimerDelay) && TimerDelay == 0);
    }
    FPolling = true;
  }
  std::vector<pollfd> Set(Watch.begin(), Watch.end());
  Set.push_back(pollfd{FWakeFd, POLLIN, 0});
  int Ready = poll(Set.data(), Set.size(), static_cast<int>(Wait));
  bool FdEvent = false;
  for (std::size_t I = 0; I < Watch.size(); ++I) {
    Watch[I].revents = Ready > 0 ? Set[I].revents : 0;
    FdEvent = FdEvent || Watch[I].revents != 0;
  }
  std::lock_guard L(FLock);
  FPolling = false;
  FWoken = false;
  std::uint64_t Count;
  while (read(FWakeFd, &Count, sizeof Count) > 0) {
  }
  std::uint32_t TimerDelay;
  return FdEvent || !FMessages.empty() || (NextTimerDelay(TimerDelay) && TimerDelay == 0);
}

TMessageEndpoint::TMessageEndpoint(THandler Handler)
    : FQueue(TEventQueue::Current()), FHandler(std::move(Handler)) {
  FId = FQueue->Register(this);
}

TMessageEndpoint::~TMessageEndpoint() {
  FQueue->Unregister(FId);
}

void TMessageEndpoint::Post(std::uint32_t Msg, std::uintptr_t WParam, std::intptr_t LParam) {
  FQueue->Post(FId, TQueuedMessage{Msg, WParam, LParam});
}

void TMessageEndpoint::SetTimer(std::uint32_t Id, std::uint32_t IntervalMs) {
  FQueue->SetTimer(FId, Id, IntervalMs);
}

bool TMessageEndpoint::KillTimer(std::uint32_t Id) {
  return FQueue->KillTimer(FId, Id);
}

bool TMessageEndpoint::TimerRunning(std::uint32_t Id) const {
  return FQueue->TimerRunning(FId, Id);
}

}  // namespace pelmar
