// The service client's own costs:
//   - the installation's event log: records queued by another thread and written through
//     PR_LOG_EVENT by the log buffer in batches (one transaction each), beside the same records
//     written one transaction per record;
//   - one idle cycle of the main loop with the service online (fake Core service, database
//     connected, nothing to do): CPU time of the worker thread per cycle.
// Runs against the private server (scripts/firebird-start.sh) with forced writes, as a station's
// database runs.
//
//   build-rel/bench/serviceclient_bench
#include <benchmark/benchmark.h>

#include <time.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "BenchDatabase.h"
#include "DBUtils.h"
#include "EventQueue.h"
#include "FakeCore.h"
#include "ServiceClient.h"

namespace pelmar {
namespace {

using test::Bench;
using test::TBenchDatabase;
using test::TFakeCore;

constexpr int RecordsPerRound = 1000;

double ThreadCpuSeconds() {
  timespec T{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &T);
  return static_cast<double>(T.tv_sec) + static_cast<double>(T.tv_nsec) * 1e-9;
}

// A client connected to the bench database, not running: the benchmark thread owns its log
// buffer and serves its event queue.
bool Connect(TServiceClient& C, benchmark::State& State) {
  TBenchDatabase& B = Bench(true);
  if (!B.Error().empty()) {
    State.SkipWithError(B.Error().c_str());
    return false;
  }
  SetDefaultDatabase(&B.Database());
  C.SetServiceID(5);
  C.SetDatabase(&B.Database());
  C.SetCheckDBVersion(false);
  C.LogBuffer().SetBatchTimeout(0);
  C.OnSvcLogError = [](const std::string& Text) { std::fprintf(stderr, "%s\n", Text.c_str()); };
  // The client makes the connection itself, which also puts its log buffer online.
  B.Database().Close();
  if (!C.ConnectDB(true)) {
    State.SkipWithError("the client did not connect");
    return false;
  }
  return true;
}

void EventLogBatched(benchmark::State& State) {
  TServiceClient C;
  if (!Connect(C, State))
    return;
  std::shared_ptr<TEventQueue> Queue = TEventQueue::Current();
  std::int64_t Batches = 0;
  C.OnLogBufferWriteStart = [&](TServiceClient&) { ++Batches; };
  for (auto _ : State) {
    std::atomic<bool> Queued{false};
    std::thread Producer([&] {
      for (int I = 0; I < RecordsPerRound; ++I)
        C.LogObjectEvent(9304, TVariant(std::int32_t{I}), "bench", "queued by another thread");
      Queued.store(true);
    });
    while (!Queued.load() || C.LogBuffer().Count() > 0) {
      Queue->WaitMessage(1);
      Queue->ProcessMessages();
    }
    Producer.join();
  }
  State.SetItemsProcessed(State.iterations() * RecordsPerRound);
  State.counters["records_per_batch"] =
      static_cast<double>(State.iterations() * RecordsPerRound) / static_cast<double>(Batches);
  State.SetLabel("records");
  C.DisconnectDB();
}

void EventLogOneTransactionPerRecord(benchmark::State& State) {
  TServiceClient C;
  if (!Connect(C, State))
    return;
  std::int32_t Handle = 0;
  for (auto _ : State) {
    for (int I = 0; I < RecordsPerRound; ++I) {
      TCriticalSectionGuard Guard(DatabaseLock());
      TQuery* Q = GetQuery(Handle, TServiceClient::LogEventSQL, "bench");
      const TVariant Values[] = {TVariant(std::uint8_t{5}), TVariant(std::int64_t{-1}),
                                 TVariant::Null(),          TVariant::Null(),
                                 TVariant::Null(),          TVariant(std::uint16_t{9304}),
                                 TVariant(std::int32_t{I}), TVariant::Null(),
                                 TVariant("bench"),         TVariant("one transaction each"),
                                 TVariant::Null(),          TVariant::Null(),
                                 TVariant::Null(),          TVariant(true)};
      for (int P = 0; P < 14; ++P)
        Q->Params(P).SetValue(Values[P]);
      Q->ExecQuery();
      CommitTransaction(Q->Transaction());
    }
  }
  State.SetItemsProcessed(State.iterations() * RecordsPerRound);
  State.SetLabel("records");
  FreeQueries("bench");
  C.DisconnectDB();
}

// Runs the client online against the fake Core service for a while and reports the worker's CPU
// time per loop cycle.
void IdleLoopCycle(benchmark::State& State) {
  TBenchDatabase& B = Bench(true);
  if (!B.Error().empty()) {
    State.SkipWithError(B.Error().c_str());
    return;
  }
  SetDefaultDatabase(&B.Database());
  TFakeCore Core;
  auto Own = TCustomSysObject::Create<TSysService>();
  Own->SetID(5);
  Own->SetServiceID(5);
  Own->SetName("ContactID");
  TBufferProtocol List(32);
  List.WriteInteger(1);
  List.WriteByte(olaAdded);
  Own->SaveToBuffer(List);
  const std::string Reply = std::string(1, '\x01') + TFakeCore::Int(List.Size()) +
                            std::string(reinterpret_cast<const char*>(List.Data()),
                                        static_cast<std::size_t>(List.Size()));
  Core.Serve([&](const test::TCoreMessage& M) { return M.Name == "GetSysObjects" ? Reply : ""; });

  for (auto _ : State) {
    std::atomic<std::int64_t> Cycles{0};
    double Cpu = 0;
    std::thread Worker([&] {
      TServiceClient C;
      C.SetServiceID(5);
      C.SetDatabase(&B.Database());
      C.SetCheckDBVersion(false);
      C.SetCorePort(Core.Port());
      double Start = 0;
      const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
      C.OnWork = [&](TServiceClient& Sender) {
        if (Cycles.fetch_add(1) == 0)
          Start = ThreadCpuSeconds();
        if (std::chrono::steady_clock::now() >= Until) {
          Cpu = ThreadCpuSeconds() - Start;
          Sender.Stop();
        }
      };
      C.Run();
    });
    Worker.join();
    State.SetIterationTime(3.0);
    State.counters["cycles"] = static_cast<double>(Cycles.load());
    State.counters["cpu_us_per_cycle"] = Cpu * 1e6 / static_cast<double>(Cycles.load() - 1);
  }
  Core.StopServing();
}

BENCHMARK(EventLogBatched)->Unit(benchmark::kMillisecond)->MinTime(3)->UseRealTime();
BENCHMARK(EventLogOneTransactionPerRecord)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3)
    ->UseRealTime();
BENCHMARK(IdleLoopCycle)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pelmar
