// Test databases on a real Firebird: every test gets a fresh database with the installation
// schema (db/schema.sql) on the project's private server started by scripts/firebird-start.sh,
// or as a file of the embedded engine, and the database is dropped afterwards.
//
// The schema is db/schema.sql, or the file PELMAR_TEST_SCHEMA names (relative to the source
// root): tests/db/foreign-schema.sql is an installation database of another make.
//
// The server and login come from PELMAR_FB_HOST (127.0.0.1), PELMAR_FB_PORT (3051),
// PELMAR_FB_USER (SYSDBA) and PELMAR_FB_PASSWORD (masterkey). When no server answers, the test
// is skipped with a message, except under CI (CI=true), where that is a failure.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "FbDatabase.h"

namespace pelmar::test {

// The repository's root directory ($PELMAR_SOURCE_DIR or where this file was compiled from).
std::string SourceRoot();

struct TFirebirdLogin {
  std::string Host;
  int Port = 3051;
  std::string User;
  std::string Password;
  // "host/port:" + Path.
  std::string ServerName(const std::string& Path) const;
  static TFirebirdLogin FromEnvironment();
};

// Serialises tests that stop the server against the tests that use it: every database test
// holds the shared lock; a test that restarts the server holds the exclusive one.
class TServerLock {
 public:
  explicit TServerLock(bool Exclusive);
  ~TServerLock();
  TServerLock(const TServerLock&) = delete;
  TServerLock& operator=(const TServerLock&) = delete;

 private:
  int FFd;
};

// Runs a script of the repository (scripts/..., db/...) with arguments; returns its exit code
// and appends its output to Output.
int RunScript(const std::string& Command, std::string& Output);

class TFirebirdTest : public ::testing::Test {
 protected:
  // Creates the database and connects Database() to it; makes it the default database.
  void SetUp() override;
  // Frees the query cache, closes every connection and drops the database.
  void TearDown() override;

  // The embedded engine instead of the server.
  virtual bool Embedded() const { return false; }
  // The test stops or restarts the server: no other database test runs meanwhile.
  virtual bool ExclusiveServer() const { return false; }

  TDatabase& Database() { return *FDatabase; }
  const std::string& DatabaseName() const { return FName; }
  const TFirebirdLogin& Login() const { return FLogin; }
  // A new connection to the test database, configured like Database() and not yet open. The
  // fixture closes it before the database is dropped.
  TDatabase& NewConnection();

  // Runs Sql on a connection of its own, in its own committed transaction, and returns every
  // row of its result.
  std::vector<std::vector<TVariant>> Select(const std::string& Sql);
  // Runs Sql on that connection and commits.
  void Execute(const std::string& Sql);
  // Writes ValueSql ("NULL", "-5") into the table column behind View.Column in the row of ID,
  // having lifted that column's NOT NULL and the table's CHECK constraints first: a row that an
  // installation database of another make may hold, made on either test schema.
  void SetViewColumn(const std::string& View, std::int32_t ID, const std::string& Column,
                     const std::string& ValueSql);

 private:
  TDatabase& Inspector();

  TFirebirdLogin FLogin;
  std::string FName;
  std::string FFile;
  std::unique_ptr<TServerLock> FLock;
  std::unique_ptr<TDatabase> FDatabase;
  std::vector<std::unique_ptr<TDatabase>> FConnections;
  TDatabase* FInspector = nullptr;
  bool FCreated = false;
};

class TFirebirdEmbeddedTest : public TFirebirdTest {
 protected:
  bool Embedded() const override { return true; }
};

}  // namespace pelmar::test
