#include "ConsoleMenu.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "Console.h"
#include "Registry.h"
#include "SetupWindow.h"
#include "TestSetup.h"
#include "ToolProcess.h"

namespace pelmar {
namespace {

const std::string Key = "Software\\PelMar\\ContactID";

const std::string Up = "\x1b[A", Down = "\x1b[B", Left = "\x1b[D", Right = "\x1b[C";
const std::string Home = "\x1b[H", End = "\x1b[F", PgUp = "\x1b[5~", PgDn = "\x1b[6~";
const std::string Del = "\x1b[3~", Tab = "\t", Enter = "\r", BackSpace = "\x7f";
const std::string CtrlBackSpace = "\x08", CtrlC = "\x03", CtrlV = "\x16";

// The scripted device, keeping what was shown last before the form waited for a key, and what
// the form had selected then.
class TCaptureDevice : public TScriptedDevice {
 public:
  TCaptureDevice() : TScriptedDevice(80, 25) {}
  int ReadByte(int TimeoutMs) override {
    const int B = TScriptedDevice::ReadByte(TimeoutMs);
    InputEnded = InputEnded || B == -2;
    return B;
  }
  bool InputEnded = false;
  void Present(const TScreenGrid& Screen) override {
    Shown = Screen;
    if (OnPresent)
      OnPresent();
  }
  TScreenGrid Shown;
  std::function<void()> OnPresent;
};

using test::TTestSetup;

class ConsoleMenuTest : public ::testing::Test {
 protected:
  // Shows the form with Strokes as its keys (the input ends after them, which leaves the form
  // like Esc). Keeps the last screen and selection.
  void Run(const std::vector<std::string>& Strokes) {
    TCaptureDevice Device;
    for (const std::string& S : Strokes)
      Device.AddKeys(S);
    Device.OnPresent = [&] {
      const TCMenuBaseItem* Item = Setup.Menu().Selected();
      Selected = Item != nullptr ? Item->Caption() : "";
      auto* Setting = dynamic_cast<const TCMenuSetting*>(Item);
      EditText = Setting != nullptr ? Setting->EditText() : "";
    };
    TConsole Console(Device);
    Setup.ShowSetup(Console);
    Screen = Device.Shown;
    Beeps = Device.Beeps();
    Closed = !Device.InputEnded;
  }
  // Row Y (1-based in the form) from the form's left edge.
  std::string Line(int Y) const {
    std::string Text = Screen.RowText(Y - 1).substr(2);
    return Text.substr(0, Text.find_last_not_of(' ') + 1);
  }

  test::TTempDir Temp;
  std::string Root = Temp.File("root");
  TTestSetup Setup{Root};
  TScreenGrid Screen;
  std::string Selected, EditText;
  int Beeps = 0;
  bool Closed = false;  // by a button, before the input ended
};

TEST_F(ConsoleMenuTest, FirstScreenShowsDefaultsInRows) {
  Run({});
  const std::vector<std::string> Want = {
      "",
      "General",
      " >Core service address:      127.0.0.1",
      "  Core service port:         4701",
      "  Core service password:",
      "",
      "Database",
      "  Server address:            127.0.0.1",
      "  Port number:               3050",
      "  Database name:             pelmar_serv",
      "  Username:                  SYSDBA",
      "  Password:                  quillstem",
      "",
      "",
      "Install service",
      "Restore defaults",
      "Save and exit",
      "Exit (ESC)",
  };
  for (std::size_t I = 0; I < Want.size(); ++I)
    EXPECT_EQ(Want[I], Line(static_cast<int>(I) + 1)) << "row " << I + 1;
  // Colours: category green on white, captions black on white, the edited value black on light
  // grey, buttons red on white.
  EXPECT_EQ(0xF2, Screen.At(2, 1).Attr);
  EXPECT_EQ(0xF0, Screen.At(4, 3).Attr);
  EXPECT_EQ(0x70, Screen.At(31, 2).Attr);
  EXPECT_EQ(0xF0, Screen.At(31, 3).Attr);
  EXPECT_EQ(0xF4, Screen.At(2, 14).Attr);
  EXPECT_TRUE(Screen.CursorVisible);
  EXPECT_EQ(31 + 9, Screen.CursorX);  // after the value
  EXPECT_EQ("Pelmar ContactID service settings", Setup.Menu().Title());
}

TEST_F(ConsoleMenuTest, ItemRows) {
  std::vector<int> Rows;
  for (TCMenuBaseItem* Item = Setup.Menu().FirstItem(); Item != nullptr; Item = Item->Next())
    Rows.push_back(Item->Row());
  EXPECT_THAT(Rows, ::testing::ElementsAre(1, 3, 4, 5, 6, 8, 9, 10, 11, 12, 15, 16, 17, 18));
  EXPECT_EQ(12, Setup.Menu().RowCount());
}

TEST_F(ConsoleMenuTest, Navigation) {
  struct TCase {
    std::vector<std::string> Strokes;
    std::string Want;
  };
  const TCase Cases[] = {
      {{}, "Core service address"},
      {{Up}, "Core service address"},
      {{Down, Down, Down}, "Server address"},  // over the category
      {{Down, Down, Down, Up}, "Core service password"},
      {{Tab, Tab}, "Core service password"},
      {{PgDn, Up, Up, Up, Up}, "Password"},  // from the first button to the last setting
      {{PgUp, Down, Down, Down, Down, Down, Down, Down, Down}, "Install service"},
      {{PgDn}, "Exit (ESC)"},
      {{PgDn, PgUp}, "Core service address"},
      {{PgDn, Tab}, "Exit (ESC)"},  // Tab from the last button
      {{PgDn, Up, Up, Up, Tab}, "Restore defaults"},
      {{Enter}, "Core service address"},  // Enter on a setting does nothing
      {{Down, Left, Right, Home, End}, "Core service port"},
  };
  for (const TCase& C : Cases) {
    Run(C.Strokes);
    EXPECT_EQ(C.Want, Selected) << ::testing::PrintToString(C.Strokes);
  }
}

TEST_F(ConsoleMenuTest, EditingKeys) {
  struct TCase {
    std::vector<std::string> Strokes;  // on the first setting (127.0.0.1, at most 32)
    std::string Want;                  // the edit buffer
  };
  const TCase Cases[] = {
      {{BackSpace, BackSpace, "2"}, "127.0.02"},
      {{Home, "x"}, "x127.0.0.1"},
      {{Left, Left, Del}, "127.0.01"},
      {{Home, Del, Right, "9"}, "297.0.0.1"},
      {{Home, BackSpace}, "127.0.0.1"},
      {{End, Del}, "127.0.0.1"},
      {{CtrlBackSpace, "a", "b"}, "ab"},
      {{"\x1b[2~", "\x1bOP"}, "127.0.0.1"},  // other extended keys: consumed, no change
      {{"\x01"}, "127.0.0.1"},               // a control character is no text
  };
  for (const TCase& C : Cases) {
    Run(C.Strokes);
    EXPECT_EQ("Core service address", Selected);
    EXPECT_EQ(C.Want, EditText) << ::testing::PrintToString(C.Strokes);
    EXPECT_EQ("127.0.0.1", Setup.CoreAddress) << "the input ended like Esc";
  }
}

TEST_F(ConsoleMenuTest, LeavingTakesAValidValueAndRefusesAnInvalidOne) {
  struct TCase {
    std::vector<std::string> Strokes;  // on "Core service port"
    std::int32_t WantPort;
    std::string WantSelected;
    int WantBeeps;
  };
  const TCase Cases[] = {
      {{CtrlBackSpace, "8", "0", Down}, 80, "Core service password", 0},
      {{CtrlBackSpace, "6", "5", "5", "3", "5", Down}, 65535, "Core service password", 0},
      {{CtrlBackSpace, "7", "0", "0", "0", "0", Down}, 4701, "Core service port", 1},
      {{CtrlBackSpace, "0", Up}, 4701, "Core service port", 1},
      {{CtrlBackSpace, Down}, 4701, "Core service port", 1},  // empty
      {{CtrlBackSpace, "x", "-", "4", "2", Tab}, 42, "Core service password", 0},
      {{CtrlBackSpace, "7", "0", "0", "0", "0", Down, BackSpace, Down},
       7000,
       "Core service password",
       1},
  };
  for (const TCase& C : Cases) {
    std::vector<std::string> Strokes{Down};
    Strokes.insert(Strokes.end(), C.Strokes.begin(), C.Strokes.end());
    Setup.CorePort = 4701;
    Run(Strokes);
    const std::string Shown = ::testing::PrintToString(C.Strokes);
    EXPECT_EQ(C.WantPort, Setup.CorePort) << Shown;
    EXPECT_EQ(C.WantSelected, Selected) << Shown;
    EXPECT_EQ(C.WantBeeps, Beeps) << Shown;
  }
}

TEST_F(ConsoleMenuTest, StringLimitsWhenTypingAndPasting) {
  // "Username" holds at most 16 characters.
  const std::vector<std::string> ToUser{PgDn, Up, Up, Up, Up, Up};
  std::vector<std::string> Typed = ToUser;
  Typed.push_back(CtrlBackSpace);
  for (char Ch : std::string("abcdefghijklmnopqrst"))
    Typed.push_back(std::string(1, Ch));
  Typed.push_back(Down);
  Run(Typed);
  EXPECT_EQ("abcdefghijklmnop", Setup.DBUser);

  ClipboardPut("ABCDEFGHIJKLMNOPQRST");
  std::vector<std::string> Pasted = ToUser;
  Pasted.push_back(CtrlV);
  Pasted.push_back(Down);
  Run(Pasted);
  EXPECT_EQ("ABCDEFGHIJKLMNO", Setup.DBUser);

  // Ctrl+C copies the edit buffer, not the stored value; a paste into a number keeps digits.
  Run({CtrlBackSpace, "8", "0", "a", CtrlC, Down, CtrlV, Down});
  EXPECT_EQ("80a", ClipboardGet());
  EXPECT_EQ("80a", Setup.CoreAddress);
  EXPECT_EQ(80, Setup.CorePort);
}

TEST_F(ConsoleMenuTest, EscLeavesWithoutTakingTheEditOrWriting) {
  Run({Down, CtrlBackSpace, "9", "9", "\x1b", Down});
  EXPECT_EQ(4701, Setup.CorePort);
  EXPECT_FALSE(TRegistry(Root).KeyExists(Key));
  EXPECT_EQ(0xF0, Screen.At(0, 0).Attr) << "the screen before the form ended";
}

TEST_F(ConsoleMenuTest, SaveAndExitWritesAllEightValues) {
  Run({Down, CtrlBackSpace, "8", "0", "8", "0", PgDn, Up, Enter, "never read"});
  EXPECT_TRUE(Closed);
  TRegistry Reg(Root);
  EXPECT_FALSE(Reg.OpenKeyReadOnly(Key) && Reg.ValueExists("Version"));
  ASSERT_TRUE(Reg.OpenKeyReadOnly(Key + "\\General"));
  EXPECT_EQ("127.0.0.1", Reg.ReadString("Core service address"));
  EXPECT_EQ(8080, Reg.ReadInteger("Core service port"));
  EXPECT_EQ("", Reg.ReadString("Core service password"));
  ASSERT_TRUE(Reg.OpenKeyReadOnly(Key + "\\Database"));
  EXPECT_EQ("127.0.0.1", Reg.ReadString("Server address"));
  EXPECT_EQ(3050, Reg.ReadInteger("Port number"));
  EXPECT_EQ("pelmar_serv", Reg.ReadString("Database name"));
  EXPECT_EQ("SYSDBA", Reg.ReadString("Username"));
  EXPECT_EQ("quillstem", Reg.ReadString("Password"));

  TTestSetup Again(Root);
  Again.LoadSettings();
  EXPECT_EQ(8080, Again.CorePort);
}

TEST_F(ConsoleMenuTest, ExitButtonAndRestoreDefaultsDoNotWrite) {
  Setup.CorePort = 1;
  Setup.DBName = "elsewhere";
  Setup.DBPassword = "";
  Run({PgDn, Up, Up, Enter});
  EXPECT_EQ("Restore defaults", Selected);
  EXPECT_FALSE(Closed);
  EXPECT_EQ(4701, Setup.CorePort);
  EXPECT_EQ("pelmar_serv", Setup.DBName);
  EXPECT_EQ("quillstem", Setup.DBPassword);
  EXPECT_EQ("Core service port:         4701", Line(4).substr(2));
  EXPECT_FALSE(TRegistry(Root).KeyExists(Key));

  Run({PgDn, Enter, "never read"});
  EXPECT_TRUE(Closed);
  EXPECT_FALSE(TRegistry(Root).KeyExists(Key));
}

TEST_F(ConsoleMenuTest, InstallButtonFlipsStateAndCaption) {
  std::vector<bool> Calls;
  bool Installed = false;
  Setup.InstalledQuery = [&] { return Installed; };
  Setup.InstallAction = [&](bool Install) { Calls.push_back(Install); };
  const std::vector<std::string> ToInstall{PgDn, Up, Up, Up};
  std::vector<std::string> Twice = ToInstall;
  Twice.insert(Twice.end(), {Enter, Enter});
  Run(Twice);
  EXPECT_THAT(Calls, ::testing::ElementsAre(true, false));
  EXPECT_EQ("Install service", Line(15));

  Calls.clear();
  Installed = true;
  std::vector<std::string> Once = ToInstall;
  Once.push_back(Enter);
  Run({});
  EXPECT_EQ("Uninstall service", Line(15));
  Run(Once);
  EXPECT_THAT(Calls, ::testing::ElementsAre(false));
  EXPECT_EQ("Install service", Line(15)) << "the longer caption is wiped";
  EXPECT_FALSE(Setup.Installed());
}

TEST_F(ConsoleMenuTest, LongValueGetsExtraLinesWhileEdited) {
  // 45 value columns on an 80-column console.
  Setup.DBName = std::string(50, 'n');
  Run({});
  EXPECT_EQ("  Database name:             " + std::string(45, 'n'), Line(10));
  EXPECT_EQ("  Username:                  SYSDBA", Line(11));

  Run({PgDn, Up, Up, Up, Up, Up, Up});  // "Database name" selected
  EXPECT_EQ("Database name", Selected);
  EXPECT_EQ(" >Database name:             " + std::string(45, 'n'), Line(10));
  EXPECT_EQ(std::string(29, ' ') + std::string(5, 'n'), Line(11));
  EXPECT_EQ("  Username:                  SYSDBA", Line(12));

  Run({PgDn, Up, Up, Up, Up, Up, Up, Down});  // and left again
  EXPECT_EQ("Username", Selected);
  EXPECT_EQ(" >Username:                  SYSDBA", Line(11));
  EXPECT_EQ("  Password:                  quillstem", Line(12));
  EXPECT_EQ("", Line(13));
}

}  // namespace
}  // namespace pelmar
