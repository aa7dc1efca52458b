// Recording one receiver report as the service does it: the cached PR_CID_EVENT statement
// executed on its write transaction, then a commit. Beside it the same report with the statement
// prepared anew for each report. Runs against the private server (scripts/firebird-start.sh) on a
// fresh database, with and without forced writes (arg 1 / 0).
//
//   build-rel/bench/db_bench
#include <benchmark/benchmark.h>

#include <string>

#include "BenchDatabase.h"
#include "DBUtils.h"

namespace pelmar {
namespace {

using test::Bench;
using test::TBenchDatabase;

const char* const CidEvent =
    "EXECUTE PROCEDURE PR_CID_EVENT(   :ACCOUNT_ID,   :OBJECT_ID,   :EVENT_CODE,   :ACCOUNT_IDX,  "
    " :GROUP_IDX,   :ZONE_IDX,   :ENABLE_ALARMS)";

void SetReport(TQuery& Q, std::int32_t Sequence) {
  Q.ParamByName("ACCOUNT_ID").SetAsInteger(17);
  Q.ParamByName("OBJECT_ID").SetAsInteger(21);
  Q.ParamByName("EVENT_CODE").SetAsInteger(1304 + (Sequence & 1) * 4200);
  Q.ParamByName("ACCOUNT_IDX").SetAsInteger(0x1234);
  Q.ParamByName("GROUP_IDX").SetValue(TVariant::OfInteger(TVarType::SmallInt, 1));
  Q.ParamByName("ZONE_IDX").SetAsInteger(3);
  Q.ParamByName("ENABLE_ALARMS").SetAsBoolean(true);
}

void RecordReportCached(benchmark::State& State) {
  TBenchDatabase& B = Bench(State.range(0) != 0);
  if (!B.Error().empty()) {
    State.SkipWithError(B.Error().c_str());
    return;
  }
  SetDefaultDatabase(&B.Database());
  std::int32_t Handle = 0;
  std::int32_t Sequence = 0;
  for (auto _ : State) {
    TQuery* Q = GetQuery(Handle, CidEvent);
    SetReport(*Q, ++Sequence);
    Q->ExecQuery();
    CommitTransaction(Q->Transaction());
  }
  FreeQueries();
  State.SetItemsProcessed(State.iterations());
  State.SetLabel("reports");
}

void RecordReportPreparedEachTime(benchmark::State& State) {
  TBenchDatabase& B = Bench(State.range(0) != 0);
  if (!B.Error().empty()) {
    State.SkipWithError(B.Error().c_str());
    return;
  }
  SetDefaultDatabase(&B.Database());
  std::int32_t Sequence = 0;
  for (auto _ : State) {
    std::unique_ptr<TQuery> Q = NewWriteQuerySQL(CidEvent);
    SetReport(*Q, ++Sequence);
    Q->ExecQuery();
    CommitTransaction(Q->Transaction());
    FreeQuery(Q, true);
  }
  State.SetItemsProcessed(State.iterations());
  State.SetLabel("reports");
}

BENCHMARK(RecordReportCached)->Arg(0)->Arg(1)->ArgName("forced_writes")->UseRealTime();
BENCHMARK(RecordReportPreparedEachTime)->Arg(0)->Arg(1)->ArgName("forced_writes")->UseRealTime();

}  // namespace
}  // namespace pelmar
