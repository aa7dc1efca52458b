// Databases for the benchmarks: made with db/create-database.sh on the private server
// (scripts/firebird-start.sh, PELMAR_FB_* as for the tests) for the life of the program, with or
// without forced writes, and dropped at exit.
#pragma once

#include <string>

#include "FbDatabase.h"

namespace pelmar::test {

class TBenchDatabase {
 public:
  explicit TBenchDatabase(bool ForcedWrites);
  ~TBenchDatabase();
  TBenchDatabase(const TBenchDatabase&) = delete;
  TBenchDatabase& operator=(const TBenchDatabase&) = delete;

  TDatabase& Database() { return FDatabase; }
  // Why the database could not be made; empty when it was.
  const std::string& Error() const { return FError; }

 private:
  TDatabase FDatabase;
  std::string FError;
};

// The program's database of that kind, made on first use.
TBenchDatabase& Bench(bool ForcedWrites);

}  // namespace pelmar::test
