// ctest-label: os
#include "Registry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Failure.h"
#include "ToolProcess.h"

namespace pelmar {
namespace {

using test::Failure;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string ReadText(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  std::stringstream S;
  S << In.rdbuf();
  return S.str();
}

void WriteText(const std::string& Path, const std::string& Text) {
  std::ofstream(Path, std::ios::binary) << Text;
}

mode_t Mode(const std::string& Path) {
  struct stat St;
  return stat(Path.c_str(), &St) == 0 ? St.st_mode & 07777 : 0;
}

class RegistryTest : public ::testing::Test {
 protected:
  test::TTempDir Temp;
  // A registry on a root of its own that does not exist yet.
  std::string Root = Temp.File("root");
  TRegistry Reg{Root};

  // The values file of Key, made by opening the key.
  std::string KeyFile(const std::string& Key) {
    TRegistry R(Root);
    EXPECT_TRUE(R.OpenKey(Key, true)) << Key;
    return R.ValuesFileName();
  }
};

TEST_F(RegistryTest, EveryTypeComesBackFromDiskAsWritten) {
  const std::string Binary("nul\0 soh\x01 del\x7F end", 18);
  struct Case {
    std::string Name;
    TRegValue Value;
  } Cases[] = {
      {"plain", {"Core service address", TRegDataType::rdString, "127.0.0.1", 0, {}}},
      {"empty text", {"Core service password", TRegDataType::rdString, "", 0, {}}},
      {"escapes", {"Quotes", TRegDataType::rdString, "say \"hi\" \\ C:\\dir\\ \n\r\t end", 0, {}}},
      {"control bytes", {"Binary", TRegDataType::rdString, Binary, 0, {}}},
      {"utf-8", {"Имя", TRegDataType::rdString, "Пароль № 1", 0, {}}},
      {"name with =", {"a = b", TRegDataType::rdString, "x", 0, {}}},
      {"name with blanks", {"  padded\t", TRegDataType::rdString, "x", 0, {}}},
      {"name like a comment", {"# not a comment", TRegDataType::rdString, "x", 0, {}}},
      {"name with quote and backslash", {"\"q\"\\", TRegDataType::rdString, "x", 0, {}}},
      {"default value", {"", TRegDataType::rdString, "default", 0, {}}},
      {"expand", {"File", TRegDataType::rdExpandString, "%SystemRoot%\\PelMar.evt", 0, {}}},
      {"dword", {"Core service port", TRegDataType::rdInteger, "", 4701, {}}},
      {"dword min", {"Min", TRegDataType::rdInteger, "", INT32_MIN, {}}},
      {"dword max", {"Max", TRegDataType::rdInteger, "", INT32_MAX, {}}},
      {"multi", {"Sources", TRegDataType::rdMultiSz, "", 0, {"PelCID", "Other"}}},
      {"multi empty", {"Empty", TRegDataType::rdMultiSz, "", 0, {}}},
      {"multi specials",
       {"Specials", TRegDataType::rdMultiSz, "", 0, {"", "a \"b\"", "line\nbreak", "\\"}}},
  };
  ASSERT_TRUE(Reg.OpenKey("Software\\PelMar\\Test", true));
  for (const Case& C : Cases) {
    switch (C.Value.DataType) {
      case TRegDataType::rdString:
        Reg.WriteString(C.Value.Name, C.Value.Text);
        break;
      case TRegDataType::rdExpandString:
        Reg.WriteExpandString(C.Value.Name, C.Value.Text);
        break;
      case TRegDataType::rdInteger:
        Reg.WriteInteger(C.Value.Name, C.Value.Number);
        break;
      default:
        Reg.WriteMultiSz(C.Value.Name, C.Value.List);
    }
  }

  TRegistry Other(Root);
  ASSERT_TRUE(Other.OpenKeyReadOnly("Software\\PelMar\\Test"));
  std::vector<std::string> Names;
  for (const Case& C : Cases) {
    Names.push_back(C.Value.Name);
    EXPECT_EQ(C.Value.DataType, Other.GetDataType(C.Value.Name)) << C.Name;
    switch (C.Value.DataType) {
      case TRegDataType::rdString:
      case TRegDataType::rdExpandString:
        EXPECT_EQ(C.Value.Text, Other.ReadString(C.Value.Name)) << C.Name;
        break;
      case TRegDataType::rdInteger:
        EXPECT_EQ(C.Value.Number, Other.ReadInteger(C.Value.Name)) << C.Name;
        break;
      default:
        EXPECT_EQ(C.Value.List, Other.ReadMultiSz(C.Value.Name)) << C.Name;
    }
  }
  EXPECT_EQ(Names, Other.GetValueNames());
}

TEST_F(RegistryTest, FileIsTextAnAdministratorCanRead) {
  ASSERT_TRUE(Reg.OpenKey("Software\\PelMar\\ContactID\\General", true));
  Reg.WriteString("Core service address", "127.0.0.1");
  Reg.WriteInteger("Core service port", 4701);
  Reg.WriteExpandString("Log", "$HOME/log");
  Reg.WriteMultiSz("Sources", {"PelCID", "Other"});
  Reg.WriteString("a=b", "two\nlines");
  EXPECT_EQ(Root + "/Software/PelMar/ContactID/General/values.conf", Reg.ValuesFileName());
  EXPECT_EQ(
      "Core service address = string \"127.0.0.1\"\n"
      "Core service port = dword 4701\n"
      "Log = expand \"$HOME/log\"\n"
      "Sources = multi \"PelCID\" \"Other\"\n"
      "\"a=b\" = string \"two\\nlines\"\n",
      ReadText(Reg.ValuesFileName()));
}

TEST_F(RegistryTest, HandWrittenFileIsReadAndItsOtherLinesSurviveAWrite) {
  std::string File = KeyFile("Software\\PelMar");
  const std::string Text =
      "# Settings of the station\r\n"
      "\r\n"
      "  Port   =   DWORD   0x1F  \r\n"
      "; old notes\n"
      "Wide\t=\tdword 4294967295\n"
      "\"Quoted\"=string\"x\"\n"
      "Tabbed = string \"a\tb\"\n"
      "List = multi\n"
      "Name = string \"old\"";
  WriteText(File, Text);
  ASSERT_TRUE(Reg.OpenKey("Software\\PelMar", false));
  EXPECT_EQ(31, Reg.ReadInteger("port"));
  EXPECT_EQ(-1, Reg.ReadInteger("Wide"));
  EXPECT_EQ("x", Reg.ReadString("Quoted"));
  EXPECT_EQ("a\tb", Reg.ReadString("Tabbed"));
  EXPECT_EQ(std::vector<std::string>{}, Reg.ReadMultiSz("List"));

  Reg.WriteString("NAME", "new");
  EXPECT_EQ(
      "# Settings of the station\n"
      "\n"
      "  Port   =   DWORD   0x1F  \n"
      "; old notes\n"
      "Wide\t=\tdword 4294967295\n"
      "\"Quoted\"=string\"x\"\n"
      "Tabbed = string \"a\tb\"\n"
      "List = multi\n"
      "Name = string \"new\"\n",
      ReadText(File));
}

TEST_F(RegistryTest, KeysAndValuesAreFoundInAnyLetterCaseAndKeepTheirSpelling) {
  ASSERT_TRUE(Reg.OpenKey("\\Software\\PelMar\\ContactID\\", true));
  EXPECT_EQ("Software\\PelMar\\ContactID", Reg.CurrentPath());
  Reg.WriteInteger("Version", 1);
  ASSERT_TRUE(Reg.OpenKey("SOFTWARE\\pelmar\\contactid\\General", true));
  EXPECT_EQ("Software\\PelMar\\ContactID\\General", Reg.CurrentPath());
  Reg.WriteString("Server", "db1");
  Reg.WriteString("SERVER", "db2");
  EXPECT_THAT(Reg.GetValueNames(), ElementsAre("Server"));
  EXPECT_EQ("db2", Reg.ReadString("server"));
  EXPECT_TRUE(Reg.ValueExists("sErVeR"));

  EXPECT_TRUE(Reg.KeyExists("software\\PELMAR"));
  ASSERT_TRUE(Reg.OpenKeyReadOnly("software\\pelmar\\CONTACTID"));
  EXPECT_EQ(1, Reg.ReadInteger("VERSION"));
  EXPECT_THAT(Reg.GetKeyNames(), ElementsAre("General"));
  EXPECT_TRUE(std::filesystem::is_directory(Root + "/Software/PelMar/ContactID/General"));
}

TEST_F(RegistryTest, KeysAreOpenedCreatedListedAndDeleted) {
  EXPECT_FALSE(Reg.OpenKey("Software", false));
  EXPECT_EQ(ENOENT, Reg.LastError());
  EXPECT_FALSE(Reg.KeyExists("Software"));
  EXPECT_EQ("", Reg.CurrentPath());

  ASSERT_TRUE(Reg.OpenKey("SYSTEM\\EventLog\\PelMar\\PelCID", true));
  Reg.WriteInteger("TypesSupported", 7);
  for (const char* Key : {"SYSTEM\\EventLog\\PelMar\\beta", "SYSTEM\\EventLog\\PelMar\\Alpha"})
    ASSERT_TRUE(Reg.OpenKey(Key, true)) << Key;
  ASSERT_TRUE(Reg.OpenKey("SYSTEM\\EventLog\\PelMar", false));
  EXPECT_THAT(Reg.GetKeyNames(), ElementsAre("Alpha", "beta", "PelCID"));

  // A failed open leaves the key that was open.
  EXPECT_FALSE(Reg.OpenKey("SYSTEM\\Missing", false));
  EXPECT_EQ("SYSTEM\\EventLog\\PelMar", Reg.CurrentPath());

  ASSERT_TRUE(Reg.OpenKey("SYSTEM\\EventLog\\PelMar\\PelCID", false));
  EXPECT_TRUE(Reg.DeleteKey("system\\eventlog\\pelmar"));
  EXPECT_EQ("", Reg.CurrentPath()) << "the deleted key was open";
  EXPECT_FALSE(Reg.ValueExists("TypesSupported"));
  EXPECT_FALSE(Reg.KeyExists("SYSTEM\\EventLog\\PelMar"));
  EXPECT_TRUE(Reg.KeyExists("SYSTEM\\EventLog"));
  EXPECT_FALSE(Reg.DeleteKey("SYSTEM\\EventLog\\PelMar"));
  EXPECT_FALSE(Reg.DeleteKey(""));
  EXPECT_TRUE(std::filesystem::is_empty(Root + "/SYSTEM/EventLog"))
      << "nothing of the deleted key stays behind";
  Reg.CloseKey();
  Reg.CloseKey();
}

TEST_F(RegistryTest, KeyNamesThatCannotBeDirectoriesAreRefused) {
  for (const char* Key :
       {"a/b", "Software\\..", ".", "values.conf", "x\\VALUES.CONF", "Values.conf.tmp"}) {
    EXPECT_FALSE(Reg.OpenKey(Key, true)) << Key;
    EXPECT_EQ(EINVAL, Reg.LastError()) << Key;
  }
  ASSERT_TRUE(Reg.OpenKey("values.confx", true));
}

TEST_F(RegistryTest, MissingValuesAndOtherTypesRaiseNamingKeyAndValue) {
  ASSERT_TRUE(Reg.OpenKey("Software\\PelMar\\ContactID\\General", true));
  Reg.WriteString("Core service port", "4701");
  Reg.WriteInteger("Number", 1);
  const std::string Where = "Software\\PelMar\\ContactID\\General (" + Reg.ValuesFileName() + ")";
  struct Case {
    std::string Message;
    std::function<void()> Call;
  } Cases[] = {
      {"Invalid data type for \"Core service port\" in " + Where,
       [&] { Reg.ReadInteger("Core service port"); }},
      {"String list expected for \"Core service port\" in " + Where,
       [&] { Reg.ReadMultiSz("Core service port"); }},
      {"Invalid data type for \"Number\" in " + Where, [&] { Reg.ReadString("Number"); }},
      {"Failed to get data for \"Missing\" in " + Where, [&] { Reg.ReadString("Missing"); }},
      {"Failed to get data for \"Missing\" in " + Where, [&] { Reg.ReadInteger("Missing"); }},
      {"Unable read MULTI_SZ value \"Missing\" in " + Where, [&] { Reg.ReadMultiSz("Missing"); }},
  };
  for (const Case& C : Cases)
    EXPECT_EQ(C.Message, Failure(C.Call));
  EXPECT_EQ(TRegDataType::rdUnknown, Reg.GetDataType("Missing"));
  EXPECT_FALSE(Reg.DeleteValue("Missing"));
  EXPECT_TRUE(Reg.DeleteValue("number"));
  EXPECT_THAT(Reg.GetValueNames(), ElementsAre("Core service port"));

  Reg.CloseKey();
  EXPECT_EQ("Failed to get data for \"X\": no key is open", Failure([&] { Reg.ReadString("X"); }));
  EXPECT_EQ("Failed to set data for \"X\": no key is open",
            Failure([&] { Reg.WriteInteger("X", 1); }));
  EXPECT_FALSE(Reg.ValueExists("Core service port"));

  ASSERT_TRUE(Reg.OpenKeyReadOnly("Software\\PelMar\\ContactID\\General"));
  EXPECT_EQ("Failed to set data for \"X\" in " + Where + ": the key is open read-only",
            Failure([&] { Reg.WriteInteger("X", 1); }));
}

TEST_F(RegistryTest, HandBrokenFileNamesFileLineAndText) {
  struct Case {
    std::string Line;
    std::string Reason;
  } Cases[] = {
      {"Name string \"x\"", "'=' expected after the value name"},
      {"\"Name\" string \"x\"", "'=' expected after the value name"},
      {" = string \"x\"", "value name expected before '='"},
      {"Na\"me = string \"x\"", "a name with '\"' must be quoted as a whole"},
      {"Name =", "type expected after '=' (string, expand, dword or multi)"},
      {"Name = strng \"x\"", "unknown type \"strng\" (string, expand, dword or multi expected)"},
      {"Name = string x", "quoted text expected after \"string\""},
      {"Name = expand", "quoted text expected after \"expand\""},
      {"Name = string \"x", "quoted text without its closing '\"'"},
      {"Name = string \"x\\", "quoted text without its closing '\"'"},
      {"Name = string \"a\\qb\"", "unknown escape \"\\q\""},
      {"Name = string \"\\x4\"", "\\x must be followed by two hexadecimal digits"},
      {"Name = string \"x\" trailing", "unexpected text after the value: \"trailing\""},
      {"Name = string \"x\" # note", "unexpected text after the value: \"# note\""},
      {"Name = dword", "number expected after \"dword\""},
      {"Name = dword 12a", "invalid number \"12a\""},
      {"Name = dword -", "invalid number \"-\""},
      {"Name = dword 0xG", "invalid number \"0xG\""},
      {"Name = dword 4294967296", "number \"4294967296\" out of the range of a 32-bit number"},
      {"Name = dword -2147483649", "number \"-2147483649\" out of the range of a 32-bit number"},
      {"Name = dword 0x100000000", "number \"0x100000000\" out of the range of a 32-bit number"},
      {"Name = dword 1 2", "unexpected text after the value: \"2\""},
      {"Name = multi \"a\" b", "quoted text expected in the list, not \"b\""},
      {"Name = multi \"a\",\"b\"", "quoted text expected in the list, not \",\"b\"\""},
      {"Good = dword 2", "value \"Good\" already given on line 2"},
      {"GOOD = dword 2", "value \"GOOD\" already given on line 2"},
  };
  std::string File = KeyFile("Software\\PelMar");
  ASSERT_TRUE(Reg.OpenKey("Software\\PelMar", false));
  for (const Case& C : Cases) {
    const std::string Text = "# comment\nGood = dword 1\n" + C.Line + "\nLast = dword 3\n";
    WriteText(File, Text);
    EXPECT_EQ(File + ":3: " + C.Reason + ": " + C.Line, Failure([&] { Reg.ReadInteger("Good"); }))
        << C.Line;
    // A write never replaces a file it could not read.
    EXPECT_THAT(Failure([&] { Reg.WriteInteger("Good", 5); }), HasSubstr(File + ":3: "));
    EXPECT_EQ(Text, ReadText(File));
  }

  WriteText(File, "A = string \"x\x01\"\n");
  EXPECT_EQ(File + ":1: control character 0x01: A = string \"x\\x01\"",
            Failure([&] { Reg.ValueExists("A"); }));
  WriteText(File, "A = dword 1\n" + std::string("\0", 1));
  EXPECT_EQ(File + ":2: control character 0x00: \\x00", Failure([&] { Reg.GetValueNames(); }));
  WriteText(File, "A = string \"" + std::string(300, 'x'));
  EXPECT_EQ(File + ":1: quoted text without its closing '\"': A = string \"" +
                std::string(188, 'x') + "...",
            Failure([&] { Reg.GetDataType("A"); }));
}

TEST_F(RegistryTest, UnreadableAndUnwritablePlacesRaiseWithPathAndSystemText) {
  // Tests run as root, which may write anywhere; a regular file where a directory should be
  // stops root as well.
  std::string Blocker = Temp.File("blocker", "not a directory");
  TRegistry Blocked(Blocker + "/root");
  EXPECT_FALSE(Blocked.OpenKey("Software", true));
  EXPECT_EQ(ENOTDIR, Blocked.LastError());
  EXPECT_FALSE(Blocked.KeyExists("Software"));

  ASSERT_TRUE(Reg.OpenKey("Software\\Gone", true));
  std::string Directory = Root + "/Software/Gone";
  std::filesystem::remove(Directory);
  WriteText(Directory, "now a file");
  try {
    Reg.WriteString("Name", "x");
    ADD_FAILURE() << "wrote into a file";
  } catch (const ERegistryException& E) {
    EXPECT_EQ(ENOTDIR, E.ErrorCode());
    EXPECT_EQ("Failed to set data for \"Name\" in Software\\Gone (" + Directory +
                  "/values.conf): " + Directory + ": Not a directory",
              E.Message());
  }

  ASSERT_TRUE(Reg.OpenKey("Software\\Odd", true));
  std::filesystem::create_directory(Reg.ValuesFileName());
  EXPECT_EQ("Cannot read " + Reg.ValuesFileName() + ": Is a directory",
            Failure([&] { Reg.ReadString("Name"); }));
  EXPECT_THAT(Failure([&] { Reg.WriteString("Name", "x"); }), HasSubstr("Is a directory"));
}

TEST_F(RegistryTest, FileWithAPasswordIsOnlyForItsOwner) {
  ASSERT_TRUE(Reg.OpenKey("Software\\PelMar\\ContactID\\Database", true));
  std::string Database = Reg.ValuesFileName();
  Reg.WriteString("Server address", "127.0.0.1");
  EXPECT_EQ(0644, Mode(Database));
  Reg.WriteString("Password", "quillstem");
  EXPECT_EQ(0600, Mode(Database));
  // Without the password the file keeps the mode it has.
  Reg.DeleteValue("PASSWORD");
  EXPECT_EQ(0600, Mode(Database));

  ASSERT_TRUE(Reg.OpenKey("Software\\PelMar\\ContactID\\General", true));
  std::string General = Reg.ValuesFileName();
  Reg.WriteInteger("Core service port", 4701);
  chmod(General.c_str(), 0664);
  Reg.WriteInteger("Core service port", 4702);
  EXPECT_EQ(0664, Mode(General)) << "an administrator's mode is kept";
  Reg.WriteString("Core service PassWord", "");
  EXPECT_EQ(0600, Mode(General));
}

TEST_F(RegistryTest, WritesLeaveNoTemporaryFiles) {
  ASSERT_TRUE(Reg.OpenKey("Software", true));
  for (int I = 0; I < 5; ++I)
    Reg.WriteInteger("N" + std::to_string(I), I);
  Reg.DeleteValue("N0");
  std::vector<std::string> Entries;
  for (const auto& E : std::filesystem::directory_iterator(Root + "/Software"))
    Entries.push_back(E.path().filename().string());
  EXPECT_THAT(Entries, ElementsAre("values.conf"));
}

TEST_F(RegistryTest, ReaderNeverSeesAHalfWrittenFile) {
  const std::vector<std::string> A(2000, std::string(40, 'a'));
  const std::vector<std::string> B(1000, std::string(90, 'b'));
  ASSERT_TRUE(Reg.OpenKey("Software", true));
  Reg.WriteMultiSz("List", A);
  std::atomic<bool> Done{false};
  std::thread Writer([&] {
    TRegistry W(Root);
    W.OpenKey("Software", false);
    for (int I = 0; I < 60; ++I)
      W.WriteMultiSz("List", I % 2 == 0 ? B : A);
    Done = true;
  });
  int Reads = 0;
  std::string Problem;
  TRegistry R(Root);
  R.OpenKeyReadOnly("Software");
  while (!Done || Reads == 0) {
    try {
      std::vector<std::string> Got = R.ReadMultiSz("List");
      if (Got != A && Got != B)
        Problem = "a list of " + std::to_string(Got.size()) + " entries";
    } catch (const ERegistryException& E) {
      Problem = E.Message();
    }
    ++Reads;
  }
  Writer.join();
  EXPECT_EQ("", Problem) << "after " << Reads << " reads";
}

TEST_F(RegistryTest, ConcurrentWritersOfOneKeyLoseNoValue) {
  ASSERT_TRUE(Reg.OpenKey("Software", true));
  auto Write = [&](const std::string& Prefix) {
    TRegistry W(Root);
    W.OpenKey("Software", false);
    for (int I = 0; I < 40; ++I)
      W.WriteInteger(Prefix + std::to_string(I), I);
  };
  std::thread First(Write, "a"), Second(Write, "b");
  First.join();
  Second.join();
  EXPECT_EQ(80u, Reg.GetValueNames().size());
}

TEST(RegistryRoot, ComesFromTheEnvironment) {
  const char* Saved = std::getenv("PELMAR_SETTINGS_DIR");
  std::string Before = Saved != nullptr ? Saved : "";
  setenv("PELMAR_SETTINGS_DIR", "/tmp/elsewhere", 1);
  EXPECT_EQ("/tmp/elsewhere", TRegistry().RootDirectory());
  setenv("PELMAR_SETTINGS_DIR", "", 1);
  EXPECT_EQ("/etc/pelmar", TRegistry::DefaultRoot());
  unsetenv("PELMAR_SETTINGS_DIR");
  EXPECT_EQ("/etc/pelmar", TRegistry::DefaultRoot());
  EXPECT_EQ("/srv/x", TRegistry("/srv/x").RootDirectory());
  if (Saved != nullptr)
    setenv("PELMAR_SETTINGS_DIR", Before.c_str(), 1);
}

}  // namespace
}  // namespace pelmar
