// The Core connection against the fake Core service on the loopback interface: round trips of a
// command with a small reply as a work thread sees them (queueing, the polling thread's wake-up,
// the exchange and the hand-back), and events sent per second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "PelMarIndy.h"
#include "uCoreConnection.h"

// The fake Core service comes from the shared test support library.
#include "FakeCore.h"

namespace {

using namespace pelmar;
using pelmar::test::TFakeCore;

// One connected Core connection for the whole program.
struct TSetup {
  TFakeCore Core;
  TPelMarTCPClient Client;
  std::unique_ptr<TCoreConnection> Conn;

  TSetup() {
    Core.Serve([](const pelmar::test::TCoreMessage&) {
      std::string Answer = TFakeCore::Str("pong");
      Answer.insert(Answer.begin(), '\x01');
      return Answer;
    });
    Client.SetConnectTimeout(5000);
    Conn = std::make_unique<TCoreConnection>(Client);
    Conn->SetPort(Core.Port());
    Conn->OnLogin = [this] { return pelmar::test::CoreLogin(Client, 5, "bench"); };
    Conn->Start();
    for (int I = 0; I < 1000 && !Conn->IsConnected(); ++I)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!Conn->IsConnected())
      throw std::runtime_error("no connection to the fake Core");
  }
  ~TSetup() {
    Conn->Stop();
    Conn.reset();
    Core.StopServing();
  }
};

TSetup& Setup() {
  static TSetup S;
  return S;
}

void BM_CommandRoundTrip(benchmark::State& State) {
  Setup();
  std::vector<double> Latencies;
  Latencies.reserve(1 << 20);
  std::int32_t N = 0;
  for (auto _ : State) {
    auto Start = std::chrono::steady_clock::now();
    auto Command = ServiceCommander().StartCommand("Ping");
    Command->WriteInteger(++N);
    TBufferProtocol& Reply = Command->Execute();
    benchmark::DoNotOptimize(Reply.Size());
    Command->Finish();
    Latencies.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - Start)
            .count());
  }
  State.SetItemsProcessed(State.iterations());
  if (!Latencies.empty()) {
    std::sort(Latencies.begin(), Latencies.end());
    auto At = [&](double Q) {
      return Latencies[static_cast<std::size_t>(Q * (Latencies.size() - 1))];
    };
    State.counters["p50_us"] = At(0.50);
    State.counters["p99_us"] = At(0.99);
    State.counters["max_us"] = Latencies.back();
  }
}
BENCHMARK(BM_CommandRoundTrip)->UseRealTime()->MinTime(2.0);

// Each iteration queues a batch of events and waits until the Core service has read them all.
void BM_EventsSent(benchmark::State& State) {
  TSetup& S = Setup();
  const int Batch = static_cast<int>(State.range(0));
  for (auto _ : State) {
    std::uint64_t Target = S.Core.EventsServed() + static_cast<std::uint64_t>(Batch);
    for (int I = 0; I < Batch; ++I) {
      auto Event = ServiceCommander().StartEvent("SysObjectStatus");
      Event->WriteInteger(I);
      Event->WriteInteger(8);
      Event->WriteInt64(0x0102030405060708);
      TServiceEvent::SendEvent(std::move(Event));
    }
    while (S.Core.EventsServed() < Target)
      std::this_thread::yield();
  }
  State.SetItemsProcessed(State.iterations() * Batch);
}
BENCHMARK(BM_EventsSent)->Arg(1)->Arg(100)->Arg(1000)->UseRealTime()->MinTime(2.0);

}  // namespace
