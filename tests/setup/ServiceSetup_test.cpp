// ctest-label: os
#include "ServiceSetup.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "Failure.h"
#include "SetupWindow.h"
#include "TestSetup.h"
#include "ToolProcess.h"

namespace pelmar {
namespace {

using test::Failure;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAre;

const std::string Key = "Software\\PelMar\\ContactID";

using test::TTestSetup;

class ServiceSetupTest : public ::testing::Test {
 protected:
  test::TTempDir Temp;
  std::string Root = Temp.File("root");

  // Opens Path (created when missing) on the test's root.
  TRegistry& Open(const std::string& Path) {
    EXPECT_TRUE(Reg.OpenKey(Path, true)) << Path;
    return Reg;
  }

  TRegistry Reg{Root};
};

TEST_F(ServiceSetupTest, ConstructionGivesTheTableAndItsDefaults) {
  {
    TTestSetup Setup(Root);
    EXPECT_EQ(&Setup, CurrentSetup);
    EXPECT_EQ("Pelmar ContactID service settings", Setup.Title());
    EXPECT_EQ("Software\\PelMar\\ContactID", Setup.RegistryPath());
    EXPECT_THAT(Setup.Categories(), ElementsAre("General", "Database"));
    std::vector<std::string> Rows;
    for (const TSettingItem& I : Setup.Items())
      Rows.push_back(I.Category + "/" + I.Caption + "/" +
                     (I.Kind == TSettingKind::skString
                          ? "<=" + std::to_string(I.MaxLength) + "/\"" + I.DefaultString + "\""
                          : std::to_string(I.MinValue) + ".." + std::to_string(I.MaxValue) + "/" +
                                std::to_string(I.DefaultInteger)));
    EXPECT_THAT(Rows, ElementsAre("General/Core service address/<=32/\"127.0.0.1\"",
                                  "General/Core service port/1..65535/4701",
                                  "General/Core service password/<=32/\"\"",
                                  "Database/Server address/<=32/\"127.0.0.1\"",
                                  "Database/Port number/1..65535/3050",
                                  "Database/Database name/<=32/\"pelmar_serv\"",
                                  "Database/Username/<=16/\"SYSDBA\"",
                                  "Database/Password/<=16/\"quillstem\""));
    EXPECT_EQ("127.0.0.1", Setup.CoreAddress);
    EXPECT_EQ(4701, Setup.CorePort);
    EXPECT_EQ("", Setup.CorePassword);
    EXPECT_EQ("127.0.0.1", Setup.DBServer);
    EXPECT_EQ(3050, Setup.DBPort);
    EXPECT_EQ("pelmar_serv", Setup.DBName);
    EXPECT_EQ("SYSDBA", Setup.DBUser);
    EXPECT_EQ("quillstem", Setup.DBPassword);

    TTestSetup Later(Root);
    EXPECT_EQ(&Later, CurrentSetup);
  }
  EXPECT_EQ(nullptr, CurrentSetup);

  TSetup Partial(true, false, "T");
  EXPECT_THAT(Partial.Categories(), ElementsAre("General"));
  EXPECT_EQ(3u, Partial.Items().size());
}

TEST_F(ServiceSetupTest, FreshMachineKeepsDefaultsThenSaveWritesAllEightWithoutVersion) {
  TTestSetup First(Root);
  First.LoadSettings();
  EXPECT_EQ(4701, First.CorePort);
  EXPECT_EQ("quillstem", First.DBPassword);
  EXPECT_FALSE(Reg.KeyExists(Key)) << "loading alone creates nothing";

  First.SaveSettings();
  ASSERT_TRUE(Reg.OpenKey(Key, false));
  EXPECT_FALSE(Reg.ValueExists("Version"));
  EXPECT_THAT(Reg.GetKeyNames(), ElementsAre("Database", "General"));
  ASSERT_TRUE(Reg.OpenKey(Key + "\\General", false));
  EXPECT_THAT(Reg.GetValueNames(),
              ElementsAre("Core service address", "Core service port", "Core service password"));
  EXPECT_EQ(TRegDataType::rdInteger, Reg.GetDataType("Core service port"));
  EXPECT_EQ(TRegDataType::rdString, Reg.GetDataType("Core service password"));
  struct stat St;
  ASSERT_EQ(0, stat(Reg.ValuesFileName().c_str(), &St));
  EXPECT_EQ(0600u, St.st_mode & 0777);
  ASSERT_TRUE(Reg.OpenKey(Key + "\\Database", false));
  EXPECT_THAT(Reg.GetValueNames(), ElementsAre("Server address", "Port number", "Database name",
                                               "Username", "Password"));
  EXPECT_EQ(3050, Reg.ReadInteger("Port number"));

  // The next start marks the layout as current.
  TTestSetup Second(Root);
  Second.LoadSettings();
  ASSERT_TRUE(Reg.OpenKey(Key, false));
  EXPECT_EQ(1, Reg.ReadInteger("Version"));
  EXPECT_EQ("pelmar_serv", Second.DBName);
}

TEST_F(ServiceSetupTest, SavedValuesReplaceDefaultsOnLoad) {
  TTestSetup Saved(Root);
  Saved.CoreAddress = "core.station";
  Saved.CorePort = 4800;
  Saved.CorePassword = "пароль-ядра";
  Saved.DBServer = "";
  Saved.DBName = "/var/lib/pelmar/pelmar.fdb";
  Saved.DBPort = 3051;
  Saved.DBUser = "PELMAR";
  Saved.DBPassword = "secret \"x\"";
  Saved.SaveSettings();

  TTestSetup Loaded(Root);
  Loaded.LoadSettings();
  EXPECT_EQ("core.station", Loaded.CoreAddress);
  EXPECT_EQ(4800, Loaded.CorePort);
  EXPECT_EQ("пароль-ядра", Loaded.CorePassword);
  EXPECT_EQ("", Loaded.DBServer);
  EXPECT_EQ("/var/lib/pelmar/pelmar.fdb", Loaded.DBName);
  EXPECT_EQ(3051, Loaded.DBPort);
  EXPECT_EQ("PELMAR", Loaded.DBUser);
  EXPECT_EQ("secret \"x\"", Loaded.DBPassword);

  // A value that is not there keeps its default.
  Open(Key + "\\Database").DeleteValue("Username");
  TTestSetup Partial(Root);
  Partial.LoadSettings();
  EXPECT_EQ("SYSDBA", Partial.DBUser);
  EXPECT_EQ(3051, Partial.DBPort);
}

TEST_F(ServiceSetupTest, OldValueNamesAreRenamedOnceWithTheirType) {
  Open(Key + "\\General").WriteString("Core service server", "core1");
  TRegistry& Database = Open(Key + "\\Database");
  Database.WriteString("Server", "db1");
  Database.WriteInteger("Port", 3052);
  Database.WriteExpandString("Alias", "$HOME/pelmar.fdb");
  Database.WriteString("Username", "KEPT");

  TTestSetup Setup(Root);
  Setup.LoadSettings();
  EXPECT_EQ("core1", Setup.CoreAddress);
  EXPECT_EQ("db1", Setup.DBServer);
  EXPECT_EQ(3052, Setup.DBPort);
  EXPECT_EQ("$HOME/pelmar.fdb", Setup.DBName);
  EXPECT_EQ("KEPT", Setup.DBUser);

  ASSERT_TRUE(Reg.OpenKey(Key + "\\Database", false));
  EXPECT_THAT(Reg.GetValueNames(),
              UnorderedElementsAre("Username", "Server address", "Port number", "Database name"));
  EXPECT_EQ(TRegDataType::rdInteger, Reg.GetDataType("Port number"));
  EXPECT_EQ(TRegDataType::rdExpandString, Reg.GetDataType("Database name"));
  ASSERT_TRUE(Reg.OpenKey(Key + "\\General", false));
  EXPECT_THAT(Reg.GetValueNames(), ElementsAre("Core service address"));
  ASSERT_TRUE(Reg.OpenKey(Key, false));
  EXPECT_EQ(1, Reg.ReadInteger("Version"));

  // With "Version" present, old names are no longer looked at.
  Open(Key + "\\Database").DeleteValue("Server address");
  Reg.WriteString("Server", "db2");
  TTestSetup Again(Root);
  Again.LoadSettings();
  EXPECT_EQ("127.0.0.1", Again.DBServer);
  EXPECT_THAT(Open(Key + "\\Database").GetValueNames(),
              UnorderedElementsAre("Username", "Server", "Port number", "Database name"));
}

TEST_F(ServiceSetupTest, RenameLeavesOldNameWhenNewExistsOrOldIsEmpty) {
  TRegistry& Database = Open(Key + "\\Database");
  Database.WriteInteger("Port", 3052);
  Database.WriteInteger("Port number", 3053);
  Database.WriteString("Server", "");
  Open(Key);  // the key without "Version"

  TTestSetup Setup(Root);
  Setup.LoadSettings();
  EXPECT_EQ(3053, Setup.DBPort);
  EXPECT_EQ("127.0.0.1", Setup.DBServer);
  ASSERT_TRUE(Reg.OpenKey(Key + "\\Database", false));
  EXPECT_THAT(Reg.GetValueNames(), ElementsAre("Port", "Port number", "Server"));
  EXPECT_EQ(3052, Reg.ReadInteger("Port"));
  ASSERT_TRUE(Reg.OpenKey(Key, false));
  EXPECT_EQ(1, Reg.ReadInteger("Version"));
}

TEST_F(ServiceSetupTest, BadValuesRefuseTheLoadAndChangeNoField) {
  struct Case {
    std::string Subkey;
    std::function<void(TRegistry&)> Write;
    std::string Message;  // after "... in KEY (FILE): "
  } Cases[] = {
      {"General", [](TRegistry& R) { R.WriteInteger("Core service port", 70000); },
       "Invalid value for \"Core service port\" in %: 70000 is outside 1 to 65535"},
      {"Database", [](TRegistry& R) { R.WriteInteger("Port number", 0); },
       "Invalid value for \"Port number\" in %: 0 is outside 1 to 65535"},
      {"General", [](TRegistry& R) { R.WriteString("Core service port", "4701"); },
       "Invalid data type for \"Core service port\" in %: a string (\"4701\") where a 32-bit "
       "number is expected"},
      {"Database", [](TRegistry& R) { R.WriteInteger("Server address", 1); },
       "Invalid data type for \"Server address\" in %: a 32-bit number (1) where a string is "
       "expected"},
      {"Database",
       [](TRegistry& R) {
         R.WriteMultiSz("Database name", {"a", "b"});
       },
       "Invalid data type for \"Database name\" in %: a string list (\"a\" \"b\") where a string "
       "is expected"},
      {"General", [](TRegistry& R) { R.WriteInteger("Core service password", 5); },
       "Invalid data type for \"Core service password\" in %: a 32-bit number (5) where a string "
       "is expected"},
  };
  for (const Case& C : Cases) {
    Reg.DeleteKey(Key);
    Open(Key).WriteInteger("Version", 1);
    // A good value before the bad one must not be taken over either.
    Open(Key + "\\General").WriteString("Core service address", "changed");
    TRegistry& R = Open(Key + "\\" + C.Subkey);
    C.Write(R);
    std::string Expected = C.Message;
    Expected.replace(Expected.find('%'), 1,
                     Key + "\\" + C.Subkey + " (" + R.ValuesFileName() + ")");

    TTestSetup Setup(Root);
    try {
      Setup.LoadSettings();
      ADD_FAILURE() << "loaded " << C.Message;
    } catch (const ERegistryException& E) {
      EXPECT_EQ(Expected, E.Message());
    }
    EXPECT_EQ("127.0.0.1", Setup.CoreAddress) << C.Message;
    EXPECT_EQ(4701, Setup.CorePort) << C.Message;
    EXPECT_EQ(3050, Setup.DBPort) << C.Message;
  }
}

TEST_F(ServiceSetupTest, ValuesLongerThanTheFormsLimitsLoadAsWritten) {
  // The embedded engine's database is a file path, often longer than the form's 32 characters.
  const std::string Path = "/var/lib/pelmar/monitoring-station/database.fdb";
  Open(Key + "\\Database").WriteString("Database name", Path);
  TTestSetup Setup(Root);
  Setup.LoadSettings();
  EXPECT_EQ(Path, Setup.DBName);
}

TEST_F(ServiceSetupTest, SaveRaisesWhenTheKeyCannotBeCreated) {
  // Root may write anywhere; a regular file where a directory should be stops it too.
  std::string Blocker = Temp.File("blocker", "a file");
  TTestSetup Setup(Blocker + "/root");
  EXPECT_EQ("Cannot create the key Software\\PelMar\\ContactID\\General in " + Blocker +
                "/root: Not a directory",
            Failure([&] { Setup.SaveSettings(); }));
  Setup.LoadSettings();
  EXPECT_EQ(4701, Setup.CorePort);
}

TEST_F(ServiceSetupTest, ServiceSettingsCarryTheFields) {
  TTestSetup Setup(Root);
  Setup.CoreAddress = "10.0.0.5";
  Setup.CorePort = 65535;
  Setup.CorePassword = "core";
  Setup.DBServer = "db.local";
  Setup.DBPort = 1;
  Setup.DBName = "station";
  Setup.DBUser = "PELMAR";
  Setup.DBPassword = "pw";
  TServiceSettings S = Setup.ServiceSettings();
  EXPECT_EQ("10.0.0.5", S.CoreAddress);
  EXPECT_EQ(65535, S.CorePort);
  EXPECT_EQ("core", S.CorePassword);
  EXPECT_EQ("db.local", S.DBServer);
  EXPECT_EQ(1, S.DBPort);
  EXPECT_EQ("station", S.DBName);
  EXPECT_EQ("PELMAR", S.DBUser);
  EXPECT_EQ("pw", S.DBPassword);

  Setup.DBPort = 65536;
  EXPECT_EQ("Invalid value for \"Port number\": 65536 is outside 1 to 65535",
            Failure([&] { Setup.ServiceSettings(); }));
}

TEST_F(ServiceSetupTest, SetupFindsItsRootInTheEnvironment) {
  setenv("PELMAR_SETTINGS_DIR", Root.c_str(), 1);
  Open(Key + "\\General").WriteInteger("Core service port", 4999);
  TSetup Setup;
  EXPECT_EQ(Root, Setup.RegistryRoot());
  Setup.LoadSettings();
  unsetenv("PELMAR_SETTINGS_DIR");
  EXPECT_EQ(4999, Setup.CorePort);
}

}  // namespace
}  // namespace pelmar
