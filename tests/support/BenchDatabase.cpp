#include "BenchDatabase.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

#include "DBUtils.h"
#include "FirebirdFixture.h"

namespace pelmar::test {

namespace {

std::string Env(const char* Name, const char* Default) {
  const char* V = std::getenv(Name);
  return V && *V ? V : Default;
}

}  // namespace

TBenchDatabase::TBenchDatabase(bool ForcedWrites) {
  const std::string File = "/tmp/pelmar_bench_" + std::to_string(getpid()) +
                           (ForcedWrites ? "_sync" : "_async") + ".fdb";
  const std::string Name =
      Env("PELMAR_FB_HOST", "127.0.0.1") + "/" + Env("PELMAR_FB_PORT", "3051") + ":" + File;
  const std::string Command = SourceRoot() + "/db/create-database.sh " +
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

TBenchDatabase::~TBenchDatabase() {
  if (!FError.empty())
    return;
  try {
    SetDefaultDatabase(nullptr);
    if (!FDatabase.Connected())
      FDatabase.Open();
    FDatabase.DropDatabase();
  } catch (const std::exception& E) {
    std::fprintf(stderr, "bench database: %s\n", E.what());
  }
}

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

}  // namespace pelmar::test
