#include "Console.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pelmar {
namespace {

TEST(ConsoleTest, KeyBytesBecomePcKeyCodes) {
  struct TCase {
    std::vector<std::string> Input;
    std::vector<int> Want;  // ends with the 27 of the input's end
  };
  const TCase Cases[] = {
      {{"a"}, {'a', 27}},
      {{"\r"}, {13, 27}},
      {{"\t"}, {9, 27}},
      {{"\x7f"}, {8, 27}},    // Backspace
      {{"\x08"}, {127, 27}},  // Ctrl+Backspace
      {{"\x03"}, {3, 27}},
      {{"\x16"}, {22, 27}},
      {{"\x1b[A"}, {0, 72, 27}},
      {{"\x1b[B"}, {0, 80, 27}},
      {{"\x1b[C"}, {0, 77, 27}},
      {{"\x1b[D"}, {0, 75, 27}},
      {{"\x1bOA"}, {0, 72, 27}},
      {{"\x1b[H"}, {0, 71, 27}},
      {{"\x1b[1~"}, {0, 71, 27}},
      {{"\x1bOF"}, {0, 79, 27}},
      {{"\x1b[4~"}, {0, 79, 27}},
      {{"\x1b[5~"}, {0, 73, 27}},
      {{"\x1b[6~"}, {0, 81, 27}},
      {{"\x1b[2~"}, {0, 82, 27}},
      {{"\x1b[3~"}, {0, 83, 27}},
      {{"\x1bOP"}, {0, 59, 27}},
      {{"\x1b[15~"}, {0, 63, 27}},
      {{"\x1b[21~"}, {0, 68, 27}},
      {{"\x1b[1;5A"}, {0, 141, 27}},   // Ctrl+Up
      {{"\x1b[1;3A"}, {0, 152, 27}},   // Alt+Up
      {{"\x1b[1;7A"}, {0, 152, 27}},   // Alt wins over Ctrl
      {{"\x1b[1;2A"}, {0, 72, 27}},    // Shift+Up is Up
      {{"\x1b[99~b"}, {'b', 27}},      // an unknown key is skipped
      {{"\x1b", "x"}, {27, 'x', 27}},  // a lone Esc, then a key
      {{"\x1bx"}, {27, 'x', 27}},      // Esc followed by a character is not a sequence
  };
  for (const TCase& C : Cases) {
    TScriptedDevice Device(80, 25);
    for (const std::string& Chunk : C.Input)
      Device.AddKeys(Chunk);
    TConsole Console(Device);
    std::vector<int> Got;
    for (std::size_t I = 0; I < C.Want.size(); ++I)
      Got.push_back(Console.ReadKeyCode());
    std::string Shown;
    for (const std::string& Chunk : C.Input)
      for (char Ch : Chunk)
        Shown += Ch == 0x1b ? std::string("ESC") : std::string(1, Ch);
    EXPECT_EQ(C.Want, Got) << Shown;
  }
}

TEST(ConsoleTest, WindowCursorAndLines) {
  TScriptedDevice Device(20, 6);
  TConsole Console(Device);
  EXPECT_EQ(20, Console.BufferWidth());
  EXPECT_EQ(6, Console.BufferHeight());
  Console.SetWindow(3, 2, 10, 4);  // columns 3..10, rows 2..4
  Console.SetBackground(ccWhite);
  Console.ClearWindow();
  EXPECT_EQ(1, Console.CursorColumn());
  Console.MoveCursor(9, 1);  // beyond the window: ignored
  EXPECT_EQ(1, Console.CursorColumn());
  Console.WriteText("abcdefghij");  // wraps after 8 columns
  EXPECT_EQ("  abcdefgh          ", Console.Screen().RowText(1));
  EXPECT_EQ("  ij                ", Console.Screen().RowText(2));
  EXPECT_EQ(0xF0, Console.Screen().At(2, 1).Attr);
  EXPECT_EQ(0x00, Console.Screen().At(1, 1).Attr);  // outside the window: untouched
  Console.MoveCursor(1, 1);
  Console.InsertLine();
  EXPECT_EQ("                    ", Console.Screen().RowText(1));
  EXPECT_EQ("  abcdefgh          ", Console.Screen().RowText(2));
  EXPECT_EQ("  ij                ", Console.Screen().RowText(3));
  Console.MoveCursor(1, 3);  // the window's last row
  Console.InsertLine();
  EXPECT_EQ("                    ", Console.Screen().RowText(3));
  Console.MoveCursor(1, 1);
  Console.DeleteLine();
  EXPECT_EQ("  abcdefgh          ", Console.Screen().RowText(1));
  Console.MoveCursor(1, 3);
  Console.WriteText("one\ntwo");  // LF on the window's last row scrolls the window
  EXPECT_EQ("  one               ", Console.Screen().RowText(2));
  EXPECT_EQ("  two               ", Console.Screen().RowText(3));
  Console.SetWindow(0, 0, 0, 0);  // the whole buffer
  Console.MoveCursor(20, 6);
  EXPECT_EQ(20, Console.CursorColumn());
  EXPECT_EQ(6, Console.CursorRow());
  Console.SetForeground(ccRed);
  EXPECT_EQ(0xF4, Console.CurrentAttr());
  Console.SoundBeep(30, 100);  // below 37 Hz: silent
  Console.WriteText("\a");
  EXPECT_EQ(1, Device.Beeps());
}

TEST(ConsoleTest, ClipboardKeepsTheLastNonEmptyText) {
  ClipboardPut("one");
  ClipboardPut("");
  EXPECT_EQ("one", ClipboardGet());
}

}  // namespace
}  // namespace pelmar
