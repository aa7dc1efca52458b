// The Contact ID service working: the real main module and service client against the private
// Firebird server (forced writes, as a station runs) and a fake Core service, with receivers on
// loopback sockets that send Sur-Gard frames and wait for each acknowledgement.
//   - RawRecordRate: PR_CID_EVENT + commit as fast as the database takes them (the ceiling);
//   - SixteenReceiverBurst: 16 TCP receivers, 255 reports each, the next after the ACK;
//   - LightLoadLatency: one receiver, a report every 100 ms, frame-to-ACK latency;
//   - AccountLookup: 5000 accounts loaded, finding the account of a report (index and list scan);
//   - SilentChannelsCpu: 100 enabled channels connected to receivers that say nothing.
//
//   build-rel/bench/servicemain_bench
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchDatabase.h"
#include "DBUtils.h"
#include "FakeCore.h"
#include "LoopbackPeer.h"
#include "QuietHost.h"
#include "ServiceMain.h"

namespace pelmar {
namespace {

using namespace std::chrono_literals;
using TSteady = std::chrono::steady_clock;
using test::Bench;
using test::TBenchDatabase;
using test::TFakeCore;
using test::TLoopbackListener;
using test::TLoopbackPeer;

std::string Frame(std::uint16_t Account, int Zone) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "5011 18%04XE13001%03X", Account, Zone & 0xFFF);
  return std::string(Text) + '\x14';
}

// The service with Channels TCP channels (one listener each) and Accounts accounts numbered
// from 0x1000, running until the object is destroyed.
class TRunningService {
 public:
  TRunningService(TBenchDatabase& B, int Channels, int Accounts) {
    for (int I = 0; I < Channels; ++I)
      FListeners.push_back(std::make_unique<TLoopbackListener>());
    TBufferProtocol List(32);
    List.WriteInteger(1 + Channels + Accounts);
    auto Write = [&List](TCustomSysObject& O) {
      List.WriteByte(olaAdded);
      O.SaveToBuffer(List);
    };
    {
      auto Service = TCustomSysObject::Create<TSysService>();
      Service->SetID(5);
      Service->SetServiceID(5);
      Write(*Service);
    }
    for (int I = 0; I < Channels; ++I) {
      auto C = TCustomSysObject::Create<TCIDChannel>();
      C->SetID(1000 + I);
      C->SetEnabled(true);
      C->SetComType(1);
      C->SetComAddress(FListeners[I]->Address());
      C->SetAckEvents(true);
      C->SetReceiverTimeout(60);
      Write(*C);
    }
    for (int I = 0; I < Accounts; ++I) {
      auto A = TCustomSysObject::Create<TCIDAccount>();
      A->SetID(100000 + I);
      A->SetEnabled(true);
      A->SetAccountIdx(static_cast<std::uint16_t>(0x1000 + I));
      Write(*A);
    }
    const std::string Reply = std::string(1, '\x01') + TFakeCore::Int(List.Size()) +
                              std::string(reinterpret_cast<const char*>(List.Data()),
                                          static_cast<std::size_t>(List.Size()));
    FCore.Serve([Reply](const test::TCoreMessage& M) {
      return M.Name == "GetSysObjects" ? Reply : std::string();
    });
    const std::string Name = B.Database().DatabaseName();
    B.Database().Close();
    FSettings.CorePort = FCore.Port();
    FSettings.DBServer = Name.substr(0, Name.find('/'));
    FSettings.DBPort = static_cast<std::uint16_t>(
        std::stoi(Name.substr(Name.find('/') + 1, Name.find(':') - Name.find('/') - 1)));
    FSettings.DBName = Name.substr(Name.find(':') + 1);
    FSettings.DBUser = B.Database().UserName();
    FSettings.DBPassword = B.Database().Password();
    FWorker = std::thread([this] {
      TDataModule1 M(FHost, FSettings);
      FModule.store(&M);
      M.RunService();
      FModule.store(nullptr);
    });
    for (auto& L : FListeners)
      FPeers.push_back(L->Accept(30000));
  }
  ~TRunningService() {
    FHost.Stop = true;
    FWorker.join();
    FCore.StopServing();
  }

  TLoopbackPeer& Peer(int I) { return FPeers[I]; }
  TDataModule1* Module() { return FModule.load(); }

  // Sends a frame and waits for its acknowledgement; false when none came.
  bool Report(int Channel, const std::string& F) {
    FPeers[Channel].Send(F);
    return FPeers[Channel].Receive(1, 10000) == "\x06";
  }

 private:
  test::TQuietHost FHost;
  TServiceSettings FSettings;
  TFakeCore FCore;
  std::vector<std::unique_ptr<TLoopbackListener>> FListeners;
  std::vector<TLoopbackPeer> FPeers;
  std::atomic<TDataModule1*> FModule{nullptr};
  std::thread FWorker;
};

TBenchDatabase* Database(benchmark::State& State) {
  TBenchDatabase& B = Bench(true);
  if (!B.Error().empty()) {
    State.SkipWithError(B.Error().c_str());
    return nullptr;
  }
  return &B;
}

void RawRecordRate(benchmark::State& State) {
  TBenchDatabase* B = Database(State);
  if (!B)
    return;
  if (!B->Database().Connected())
    B->Database().Open();
  SetDefaultDatabase(&B->Database());
  std::int32_t Handle = 0;
  for (auto _ : State) {
    TCriticalSectionGuard Guard(DatabaseLock());
    TQuery* Q = GetQuery(Handle, TDataModule1::CidEventSQL);
    Q->ParamByName("ACCOUNT_ID").SetAsInteger(1);
    Q->ParamByName("OBJECT_ID").SetNull();
    Q->ParamByName("EVENT_CODE").SetAsInteger(1304);
    Q->ParamByName("ACCOUNT_IDX").SetAsInteger(0x1234);
    Q->ParamByName("GROUP_IDX").SetValue(TVariant::OfInteger(TVarType::SmallInt, 1));
    Q->ParamByName("ZONE_IDX").SetAsInteger(3);
    Q->ParamByName("ENABLE_ALARMS").SetAsBoolean(true);
    Q->ExecQuery();
    CommitTransaction(Q->Transaction());
  }
  FreeQueries();
  SetDefaultDatabase(nullptr);
  State.SetItemsProcessed(State.iterations());
  State.SetLabel("reports");
}

void SixteenReceiverBurst(benchmark::State& State) {
  TBenchDatabase* B = Database(State);
  if (!B)
    return;
  constexpr int Receivers = 16, Burst = 255;
  TRunningService S(*B, Receivers, 1);
  std::atomic<int> Failed{0};
  for (auto _ : State) {
    std::vector<std::thread> Senders;
    for (int R = 0; R < Receivers; ++R)
      Senders.emplace_back([&, R] {
        for (int I = 0; I < Burst; ++I)
          if (!S.Report(R, Frame(0x1000, I + 1)))
            ++Failed;
      });
    for (auto& T : Senders)
      T.join();
  }
  State.SetItemsProcessed(State.iterations() * Receivers * Burst);
  State.counters["failed"] = Failed.load();
  State.SetLabel("reports recorded and acknowledged");
}

void LightLoadLatency(benchmark::State& State) {
  TBenchDatabase* B = Database(State);
  if (!B)
    return;
  TRunningService S(*B, 1, 1);
  std::vector<double> Ms;
  for (auto _ : State) {
    for (int I = 0; I < 100; ++I) {
      const auto Start = TSteady::now();
      if (S.Report(0, Frame(0x1000, I + 1)))
        Ms.push_back(std::chrono::duration<double, std::milli>(TSteady::now() - Start).count());
      std::this_thread::sleep_for(100ms);
    }
  }
  std::sort(Ms.begin(), Ms.end());
  if (Ms.empty())
    return State.SkipWithError("no report was acknowledged");
  State.counters["p50_ms"] = Ms[Ms.size() / 2];
  State.counters["p99_ms"] = Ms[std::min(Ms.size() - 1, Ms.size() * 99 / 100)];
  State.counters["acknowledged"] = static_cast<double>(Ms.size());
}

void AccountLookup(benchmark::State& State) {
  TBenchDatabase* B = Database(State);
  if (!B)
    return;
  constexpr int Accounts = 5000;
  TRunningService S(*B, 1, Accounts);
  // The last account is loaded once the service reports an account of it.
  if (!S.Report(0, Frame(0x1000 + Accounts - 1, 1)))
    return State.SkipWithError("the service did not answer");
  TDataModule1* M = S.Module();
  std::mt19937 Random(7);
  std::uniform_int_distribution<int> Pick(0, Accounts - 1);
  const bool Scan = State.range(0) != 0;
  TSysObjectList* Objects = M->ServiceClient().Objects();
  for (auto _ : State) {
    const std::uint16_t Idx = static_cast<std::uint16_t>(0x1000 + Pick(Random));
    if (Scan) {
      TCustomSysObject* Found = nullptr;
      Objects->Find(
          [Idx](TCustomSysObject& O) {
            auto* A = dynamic_cast<TServerAccount*>(&O);
            return A && A->AccountIdx() == Idx;
          },
          Found);
      benchmark::DoNotOptimize(Found);
    } else {
      benchmark::DoNotOptimize(M->FindAccount(Idx));
    }
  }
  State.SetLabel(Scan ? "linear scan of the list" : "FindAccount (index)");
}

void SilentChannelsCpu(benchmark::State& State) {
  TBenchDatabase* B = Database(State);
  if (!B)
    return;
  TRunningService S(*B, 100, 1);
  // Every channel is connected and its receiver silent; let the loop settle.
  std::this_thread::sleep_for(1s);
  for (auto _ : State) {
    rusage Before{}, After{};
    getrusage(RUSAGE_SELF, &Before);
    const auto Start = TSteady::now();
    std::this_thread::sleep_for(5s);
    getrusage(RUSAGE_SELF, &After);
    auto Seconds = [](const timeval& T) { return T.tv_sec + T.tv_usec * 1e-6; };
    const double Cpu = Seconds(After.ru_utime) - Seconds(Before.ru_utime) +
                       Seconds(After.ru_stime) - Seconds(Before.ru_stime);
    const double Wall = std::chrono::duration<double>(TSteady::now() - Start).count();
    State.SetIterationTime(Wall);
    State.counters["cpu_percent_of_one_core"] = 100.0 * Cpu / Wall;
  }
}

BENCHMARK(RawRecordRate)->Unit(benchmark::kMillisecond)->MinTime(3)->UseRealTime();
BENCHMARK(SixteenReceiverBurst)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(LightLoadLatency)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(AccountLookup)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(SilentChannelsCpu)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pelmar
