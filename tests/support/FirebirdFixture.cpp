#include "FirebirdFixture.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "DBUtils.h"
#include "Format.h"

namespace pelmar::test {

namespace {

std::string Env(const char* Name, const std::string& Default) {
  const char* Value = std::getenv(Name);
  return Value && *Value ? Value : Default;
}

bool UnderCI() {
  return Env("CI", "") == "true";
}

// Unique across the test processes that ctest runs side by side.
std::string UniqueName(const char* Prefix) {
  static std::atomic<int> Counter{0};
  static const unsigned Salt = std::random_device{}();
  return Format("%s_%d_%u_%d", Prefix, static_cast<int>(getpid()), Salt, ++Counter);
}

std::string ShellQuote(const std::string& S) {
  std::string Out = "'";
  for (char C : S) {
    if (C == '\'')
      Out += "'\\''";
    else
      Out += C;
  }
  return Out + "'";
}

// The client library and the embedded engine stop their threads before the process ends.
class TFirebirdEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { ShutdownDatabaseClient(); }
};

const bool EnvironmentRegistered =
    (::testing::AddGlobalTestEnvironment(new TFirebirdEnvironment), true);

}  // namespace

std::string SourceRoot() {
  std::string FromEnv = Env("PELMAR_SOURCE_DIR", "");
  if (!FromEnv.empty())
    return FromEnv;
  return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path().string();
}

std::string TFirebirdLogin::ServerName(const std::string& Path) const {
  return Host + "/" + std::to_string(Port) + ":" + Path;
}

TFirebirdLogin TFirebirdLogin::FromEnvironment() {
  TFirebirdLogin L;
  L.Host = Env("PELMAR_FB_HOST", "127.0.0.1");
  L.Port = std::atoi(Env("PELMAR_FB_PORT", "3051").c_str());
  L.User = Env("PELMAR_FB_USER", "SYSDBA");
  L.Password = Env("PELMAR_FB_PASSWORD", "masterkey");
  return L;
}

TServerLock::TServerLock(bool Exclusive) {
  const char* Path = "/tmp/pelmar-firebird-tests.lock";
  FFd = open(Path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (FFd < 0)
    return;
  fchmod(FFd, 0666);
  while (flock(FFd, Exclusive ? LOCK_EX : LOCK_SH) != 0 && errno == EINTR) {
  }
}

TServerLock::~TServerLock() {
  if (FFd >= 0)
    close(FFd);  // releases the lock
}

int RunScript(const std::string& Command, std::string& Output) {
  FILE* Pipe = popen((Command + " 2>&1").c_str(), "r");
  if (!Pipe) {
    Output += "cannot start: " + Command;
    return -1;
  }
  char Buffer[4096];
  std::size_t Got;
  while ((Got = fread(Buffer, 1, sizeof Buffer, Pipe)) > 0)
    Output.append(Buffer, Got);
  int Status = pclose(Pipe);
  return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}

void TFirebirdTest::SetUp() {
  FLogin = TFirebirdLogin::FromEnvironment();
  if (Embedded()) {
    FFile = "/tmp/" + UniqueName("pelmar_embedded") + ".fdb";
    FName = FFile;
  } else {
    FLock = std::make_unique<TServerLock>(ExclusiveServer());
    // A file the server (user firebird) can create; the server drops it at the end.
    FFile = "/tmp/" + UniqueName("pelmar_test") + ".fdb";
    FName = FLogin.ServerName(FFile);
  }
  FDatabase = std::make_unique<TDatabase>();
  FDatabase->SetDatabaseName(FName);
  FDatabase->SetUserName(FLogin.User);
  if (!Embedded())
    FDatabase->SetPassword(FLogin.Password);
  try {
    FDatabase->CreateDatabase(false);
  } catch (const EDatabaseError& E) {
    bool Unreachable = E.ConnectionLost();
    if (Unreachable && !UnderCI())
      GTEST_SKIP() << "No Firebird server at " << FLogin.Host << ":" << FLogin.Port
                   << " (start the private one with scripts/firebird-start.sh): " << E.Message();
    FAIL() << "Cannot create the test database " << FName << ": " << E.Message();
  }
  FCreated = true;
  FDatabase->Close();

  std::string Output;
  std::string Command =
      "/usr/bin/isql-fb -q -b -ch UTF8 -user " + ShellQuote(FLogin.User) +
      (Embedded() ? "" : " -password " + ShellQuote(FLogin.Password)) + " -i " +
      ShellQuote(SourceRoot() + "/" + Env("PELMAR_TEST_SCHEMA", "db/schema.sql")) + " " +
      ShellQuote(FName);
  int Code = RunScript(Command, Output);
  ASSERT_EQ(0, Code) << Env("PELMAR_TEST_SCHEMA", "db/schema.sql") << " failed on " << FName
                     << ":\n"
                     << Output;

  FDatabase->Open();
  SetDefaultDatabase(FDatabase.get());
}

void TFirebirdTest::TearDown() {
  if (!FDatabase)
    return;
  try {
    FreeQueries();
  } catch (const std::exception& E) {
    ADD_FAILURE() << "FreeQueries at the end of the test: " << E.what();
  }
  SetDefaultDatabase(nullptr);
  for (auto& C : FConnections) {
    try {
      C->Close();
    } catch (const std::exception&) {
      // A connection the test broke on purpose.
    }
  }
  FConnections.clear();
  FInspector = nullptr;
  if (FCreated) {
    try {
      FDatabase->Close();
    } catch (const std::exception&) {
    }
    try {
      FDatabase->Open();
      FDatabase->DropDatabase();
    } catch (const std::exception& E) {
      ADD_FAILURE() << "Cannot drop the test database " << FName << ": " << E.what();
    }
  }
  FDatabase.reset();
  if (Embedded())
    std::filesystem::remove(FFile);
  FLock.reset();
}

TDatabase& TFirebirdTest::NewConnection() {
  auto D = std::make_unique<TDatabase>();
  D->SetDatabaseName(FName);
  D->SetUserName(FLogin.User);
  if (!Embedded())
    D->SetPassword(FLogin.Password);
  FConnections.push_back(std::move(D));
  return *FConnections.back();
}

TDatabase& TFirebirdTest::Inspector() {
  if (!FInspector) {
    FInspector = &NewConnection();
  }
  FInspector->Open();
  return *FInspector;
}

std::vector<std::vector<TVariant>> TFirebirdTest::Select(const std::string& Sql) {
  TDatabase& D = Inspector();
  TTransaction T(D, TTransactionKind::tkRead);
  TQuery Q(&T);
  Q.SetSQL(Sql);
  Q.ExecQuery();
  std::vector<std::vector<TVariant>> Rows;
  for (; !Q.Eof(); Q.Next()) {
    std::vector<TVariant> Row;
    for (int I = 0; I < Q.FieldCount(); ++I)
      Row.push_back(Q.Fields(I).Value());
    Rows.push_back(std::move(Row));
  }
  Q.Close();
  T.Commit();
  return Rows;
}

void TFirebirdTest::Execute(const std::string& Sql) {
  TDatabase& D = Inspector();
  TTransaction T(D, TTransactionKind::tkWrite);
  TQuery Q(&T);
  Q.SetSQL(Sql);
  Q.ExecQuery();
  Q.Close();
  T.Commit();
}

void TFirebirdTest::SetViewColumn(const std::string& View, std::int32_t ID,
                                  const std::string& Column, const std::string& ValueSql) {
  // The table and column a view column reads, from the view's own definition.
  auto Base = [&](const std::string& Name) {
    auto Rows = Select(
        "SELECT TRIM(R.RDB$RELATION_NAME), TRIM(F.RDB$BASE_FIELD) FROM RDB$RELATION_FIELDS F "
        "JOIN RDB$VIEW_RELATIONS R ON R.RDB$VIEW_NAME = F.RDB$RELATION_NAME AND "
        "R.RDB$VIEW_CONTEXT = F.RDB$VIEW_CONTEXT WHERE F.RDB$RELATION_NAME = '" +
        View + "' AND F.RDB$FIELD_NAME = '" + Name + "'");
    if (Rows.size() != 1 || Rows[0][1].IsNull())
      throw std::runtime_error(View + "." + Name + " is not a plain table column");
    return std::make_pair(Rows[0][0].AsString(), Rows[0][1].AsString());
  };
  const auto [Table, Field] = Base(Column);
  const auto [IDTable, IDField] = Base("ID");
  if (IDTable != Table)
    throw std::runtime_error(View + ": ID and " + Column + " come from different tables");
  auto NotNull =
      Select("SELECT RDB$NULL_FLAG FROM RDB$RELATION_FIELDS WHERE RDB$RELATION_NAME = '" + Table +
             "' AND RDB$FIELD_NAME = '" + Field + "'");
  if (!NotNull.empty() && !NotNull[0][0].IsNull() && NotNull[0][0].AsInteger() == 1)
    Execute("ALTER TABLE " + Table + " ALTER " + Field + " DROP NOT NULL");
  for (auto& Check : Select("SELECT TRIM(RDB$CONSTRAINT_NAME) FROM RDB$RELATION_CONSTRAINTS "
                            "WHERE RDB$CONSTRAINT_TYPE = 'CHECK' AND RDB$RELATION_NAME = '" +
                            Table + "'"))
    Execute("ALTER TABLE " + Table + " DROP CONSTRAINT " + Check[0].AsString());
  Execute("UPDATE " + Table + " SET " + Field + " = " + ValueSql + " WHERE " + IDField + " = " +
          std::to_string(ID));
}

}  // namespace pelmar::test
