// Recording one receiver report as the service does it: the cached PR_CID_EVENT statement
// executed on its write transaction, then a commit. Beside it the same report with the statement
// prepared anew for each report. Runs against the local server (scripts/firebird-start.sh) on a
// fresh database, with and without forced writes (arg 1 / 0).
//
//   build-rel/bench/db_bench
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "DBUtils.h"

namespace pelmar {
namespace {

const char* const CidEvent =
    "EXECUTE PROCEDURE PR_CID_EVENT(   :ACCOUNT_ID,   :OBJECT_ID,   :EVENT_CODE,   :ACCOUNT_IDX,  "
    " :GROUP_IDX,   :ZONE_IDX,   :ENABLE_ALARMS)";

std::string Env(const char* Name, const char* Default) {
  const char* V = std::getenv(Name);
  return V && *V ? V : Default;
}

// A database made with db/create-database.sh for the life of the program.
class TBenchDatabase {
 public:
  explicit TBenchDatabase(bool ForcedWrites) {
    const std::string Root = std::filesystem::path(__FILE__).parent_path().parent_path().string();
    const std::string File = "/tmp/pelmar_bench_" + std::to_string(getpid()) +
                             (ForcedWrites ? "_sync" : "_async") + ".fdb";
    const std::string Name =
        Env("PELMAR_FB_HOST", "127.0.0.1") + "/" + Env("PELMAR_FB_PORT", "3050") + ":" + File;
    const std::string Command = Root + "/db/create-database.sh " +
                                (ForcedWrites ? "" : "--no-forced-writes ") + "--server " + Name +
                                " >/dev/null 2>&1";
    if (std::system(Command.c_str()) != 0) {
      FError = "cannot create " + Name + " (is the server running? scripts/firebird-start.sh)";
      return;
    }
    FDatabase.SetDatabaseName(Name);
    FDatabase.SetUserName(Env("PELMAR_FB_USER", "SYSDBA"));
    FDatabase.SetPassword(Env("PELMAR_FB_PASSWORD", "masterkey"));
    FDatabase.Open();
  }
  ~TBenchDatabase() {
    if (!FError.empty())
      return;
    try {
      SetDefaultDatabase(nullptr);
      FDatabase.DropDatabase();
    } catch (const std::exception& E) {
      std::fprintf(stderr, "db_bench: %s\n", E.what());
    }
  }
  TDatabase& Database() { return FDatabase; }
  const std::string& Error() const { return FError; }

 private:
  TDatabase FDatabase;
  std::string FError;
};

TBenchDatabase& Bench(bool ForcedWrites) {
  // The helpers' own statics are made first, so that they outlive the databases at exit.
  (void)DatabaseLock();
  (void)DefaultDatabase();
  static std::map<bool, std::unique_ptr<TBenchDatabase>> Databases;
  auto& D = Databases[ForcedWrites];
  if (!D)
    D = std::make_unique<TBenchDatabase>(ForcedWrites);
  return *D;
}

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
