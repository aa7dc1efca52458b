#include "Console.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>

#include "Exception.h"
#include "WriteAll.h"

namespace pelmar {

namespace {

// How long the bytes of one escape sequence may lag behind its ESC.
constexpr int EscapeTimeoutMs = 50;

// Extended codes of a key: plain, with Shift, with Ctrl, with Alt (0: the key has none).
struct TKeyCodes {
  int Plain, Shift, Ctrl, Alt;
};

constexpr TKeyCodes HomeCodes{71, 71, 119, 151};
constexpr TKeyCodes UpCodes{72, 72, 141, 152};
constexpr TKeyCodes PageUpCodes{73, 73, 132, 153};
constexpr TKeyCodes LeftCodes{75, 75, 115, 155};
constexpr TKeyCodes RightCodes{77, 77, 116, 157};
constexpr TKeyCodes EndCodes{79, 79, 117, 159};
constexpr TKeyCodes DownCodes{80, 80, 145, 160};
constexpr TKeyCodes PageDownCodes{81, 81, 118, 161};
constexpr TKeyCodes InsertCodes{82, 82, 146, 162};
constexpr TKeyCodes DeleteCodes{83, 83, 147, 163};

// F1 to F10: plain 59 to 68, Shift 84 to 93, Ctrl 94 to 103, Alt 104 to 113.
TKeyCodes FunctionKey(int N) {
  return {58 + N, 83 + N, 93 + N, 103 + N};
}

// The code for the modifiers of an xterm parameter (1 + Shift 1 + Alt 2 + Ctrl 4); Alt wins over
// Ctrl, Ctrl over Shift.
int CodeFor(const TKeyCodes& Key, int Modifier) {
  const int Bits = Modifier > 1 ? Modifier - 1 : 0;
  if (Bits & 2)
    return Key.Alt;
  if (Bits & 4)
    return Key.Ctrl;
  if (Bits & 1)
    return Key.Shift;
  return Key.Plain;
}

// The key of a CSI sequence ending in '~' with first parameter N.
const TKeyCodes* TildeKey(int N, TKeyCodes& Function) {
  switch (N) {
    case 1:
    case 7:
      return &HomeCodes;
    case 2:
      return &InsertCodes;
    case 3:
      return &DeleteCodes;
    case 4:
    case 8:
      return &EndCodes;
    case 5:
      return &PageUpCodes;
    case 6:
      return &PageDownCodes;
    default:
      break;
  }
  static constexpr int FunctionNumbers[] = {11, 12, 13, 14, 15, 17, 18, 19, 20, 21};
  for (int I = 0; I < 10; ++I)
    if (FunctionNumbers[I] == N) {
      Function = FunctionKey(I + 1);
      return &Function;
    }
  return nullptr;
}

// The key of a sequence's final letter (CSI or SS3).
const TKeyCodes* LetterKey(char Final, TKeyCodes& Function) {
  switch (Final) {
    case 'A':
      return &UpCodes;
    case 'B':
      return &DownCodes;
    case 'C':
      return &RightCodes;
    case 'D':
      return &LeftCodes;
    case 'H':
      return &HomeCodes;
    case 'F':
      return &EndCodes;
    case 'P':
    case 'Q':
    case 'R':
    case 'S':
      Function = FunctionKey(Final - 'P' + 1);
      return &Function;
    default:
      return nullptr;
  }
}

std::string Clipboard;
std::mutex ClipboardLock;

// The open terminal's saved state, for RestoreTerminal from another thread.
std::atomic<bool> TerminalActive{false};
termios SavedTermios;

// Colours, cursor, wrapping, main screen, and the window title saved at the start (xterm's title
// stack; terminals without one ignore it).
const char RestoreSequence[] = "\x1b[0m\x1b[?25h\x1b[?7h\x1b[?1049l\x1b[23;0t";

// ANSI colour number of a console colour (the console numbers blue 1 and red 4, ANSI the other
// way round); the bright half adds 60.
int AnsiColor(int Color) {
  static constexpr int Map[8] = {0, 4, 2, 6, 1, 5, 3, 7};
  return Map[Color & 7] + ((Color & 8) ? 60 : 0);
}

std::string AttrSequence(std::uint8_t Attr) {
  return "\x1b[0;" + std::to_string(30 + AnsiColor(Attr & 0x0F)) + ";" +
         std::to_string(40 + AnsiColor(Attr >> 4)) + "m";
}

}  // namespace

std::string TScreenGrid::RowText(int Y) const {
  std::string Text;
  for (int X = 0; X < Width; ++X)
    Text += At(X, Y).Ch;
  return Text;
}

TConsole::TConsole(TConsoleDevice& Device) : FDevice(Device) {
  LoadScreenInfo();
}

void TConsole::LoadScreenInfo() {
  int Width = 80, Height = 25;
  FDevice.GetSize(Width, Height);
  FScreenWidth = std::max(Width, 1);
  FScreenHeight = std::max(Height, 1);
  if (FGrid.Width == 0)
    EnsureBufferSize(FScreenWidth, FScreenHeight);
  SetWindow(0, 0, 0, 0);
}

void TConsole::EnsureBufferSize(int Width, int Height) {
  const int NewWidth = std::max(Width, FGrid.Width);
  const int NewHeight = std::max(Height, FGrid.Height);
  if (NewWidth == FGrid.Width && NewHeight == FGrid.Height)
    return;
  TScreenGrid Grown = FGrid;
  Grown.Width = NewWidth;
  Grown.Height = NewHeight;
  Grown.Cells.assign(static_cast<std::size_t>(NewWidth * NewHeight), TScreenCell{});
  for (int Y = 0; Y < FGrid.Height; ++Y)
    for (int X = 0; X < FGrid.Width; ++X)
      Grown.At(X, Y) = FGrid.At(X, Y);
  FGrid = std::move(Grown);
}

void TConsole::EnsureWindowSize(int Width, int Height) {
  FScreenWidth = std::min(std::max(FScreenWidth, Width), FGrid.Width);
  FScreenHeight = std::min(std::max(FScreenHeight, Height), FGrid.Height);
}

void TConsole::SetWindow(int Left, int Top, int Right, int Bottom) {
  if (Left >= 1 && Top >= 1 && Left < Right && Top <= Bottom && Right <= FGrid.Width &&
      Bottom <= FGrid.Height) {
    FLeft = Left - 1;
    FTop = Top - 1;
    FRight = Right - 1;
    FBottom = Bottom - 1;
  } else {
    FLeft = 0;
    FTop = 0;
    FRight = FGrid.Width - 1;
    FBottom = FGrid.Height - 1;
  }
}

void TConsole::MoveCursor(int X, int Y) {
  const int AbsX = FLeft + X - 1, AbsY = FTop + Y - 1;
  if (X < 1 || Y < 1 || AbsX > FRight || AbsY > FBottom)
    return;
  FGrid.CursorX = AbsX;
  FGrid.CursorY = AbsY;
}

void TConsole::ClearWindow() {
  for (int Y = FTop; Y <= FBottom; ++Y)
    for (int X = FLeft; X <= FRight; ++X)
      FGrid.At(X, Y) = {' ', FAttr};
  FGrid.CursorX = FLeft;
  FGrid.CursorY = FTop;
}

void TConsole::ClearToLineEnd() {
  if (FGrid.CursorY < FTop || FGrid.CursorY > FBottom)
    return;
  for (int X = std::max(FGrid.CursorX, FLeft); X <= FRight; ++X)
    FGrid.At(X, FGrid.CursorY) = {' ', FAttr};
}

void TConsole::InsertLine() {
  const int Row = FGrid.CursorY;
  if (Row < FTop || Row > FBottom)
    return;
  for (int Y = FBottom; Y > Row; --Y)
    for (int X = FLeft; X <= FRight; ++X)
      FGrid.At(X, Y) = FGrid.At(X, Y - 1);
  for (int X = FLeft; X <= FRight; ++X)
    FGrid.At(X, Row) = {' ', FAttr};
}

void TConsole::DeleteLine() {
  const int Row = FGrid.CursorY;
  if (Row < FTop || Row > FBottom)
    return;
  for (int Y = Row; Y < FBottom; ++Y)
    for (int X = FLeft; X <= FRight; ++X)
      FGrid.At(X, Y) = FGrid.At(X, Y + 1);
  for (int X = FLeft; X <= FRight; ++X)
    FGrid.At(X, FBottom) = {' ', FAttr};
}

void TConsole::SetForeground(int Color) {
  FAttr = static_cast<std::uint8_t>((FAttr & 0xF0) | (Color & 0x0F));
}

void TConsole::SetBackground(int Color) {
  FAttr = static_cast<std::uint8_t>((FAttr & 0x0F) | ((Color & 0x0F) << 4));
}

void TConsole::ScrollWindowUp() {
  for (int Y = FTop; Y < FBottom; ++Y)
    for (int X = FLeft; X <= FRight; ++X)
      FGrid.At(X, Y) = FGrid.At(X, Y + 1);
  for (int X = FLeft; X <= FRight; ++X)
    FGrid.At(X, FBottom) = {' ', FAttr};
}

void TConsole::NewLine(bool Windowed) {
  const int Left = Windowed ? FLeft : 0;
  const int Bottom = Windowed ? FBottom : FGrid.Height - 1;
  FGrid.CursorX = Left;
  if (FGrid.CursorY < Bottom) {
    ++FGrid.CursorY;
  } else if (Windowed) {
    ScrollWindowUp();
  }
}

// The cursor may stand one past the right edge after the last column was written; the wrap
// happens only when another character follows, so a text that fills a row exactly does not
// scroll the window.
void TConsole::PutChar(char Ch, bool Windowed) {
  const int Right = Windowed ? FRight : FGrid.Width - 1;
  if (FGrid.CursorX > Right)
    NewLine(Windowed);
  if (Windowed && (FGrid.CursorY < FTop || FGrid.CursorY > FBottom || FGrid.CursorX < FLeft))
    return;
  FGrid.At(FGrid.CursorX, FGrid.CursorY) = {Ch, FAttr};
  ++FGrid.CursorX;
}

void TConsole::WriteText(const std::string& Text) {
  for (char Ch : Text) {
    switch (Ch) {
      case '\r':
        FGrid.CursorX = FLeft;
        break;
      case '\n':
        NewLine(true);
        break;
      case '\t': {
        int Next = FLeft + ((FGrid.CursorX - FLeft) / 8 + 1) * 8;
        FGrid.CursorX = std::min(Next, FRight + 1);
        break;
      }
      case '\b':
        if (FGrid.CursorX > FLeft)
          --FGrid.CursorX;
        break;
      case '\a':
        SoundBeep(800, 200);
        break;
      default:
        PutChar(Ch, true);
        break;
    }
  }
}

void TConsole::WriteRaw(const std::string& Text) {
  if (Text.empty()) {
    NewLine(false);
    return;
  }
  for (char Ch : Text)
    PutChar(Ch, false);
}

void TConsole::SoundBeep(int Frequency, int Duration) {
  if (Frequency >= 37)
    FDevice.Tone(Frequency, Duration);
}

void TConsole::SetTitle(const std::string& Title) {
  FDevice.SetTitle(Title);
}

// After an ESC: the extended code of the sequence, 0 for a sequence to ignore, -1 for the Esc key
// itself (nothing or no sequence followed in time).
int TConsole::TranslateEscape() {
  auto Next = [this](int Timeout) {
    if (!FPendingBytes.empty()) {
      int B = FPendingBytes.front();
      FPendingBytes.pop_front();
      return B;
    }
    return FDevice.ReadByte(Timeout);
  };
  const int Intro = Next(EscapeTimeoutMs);
  if (Intro != '[' && Intro != 'O') {
    if (Intro >= 0)
      FPendingBytes.push_front(Intro);
    return -1;
  }
  std::vector<int> Params{0};
  int Final = -1;
  for (int Count = 0; Count < 16; ++Count) {
    int B = Next(EscapeTimeoutMs);
    if (B < 0)
      return 0;
    if (B >= '0' && B <= '9') {
      Params.back() = std::min(Params.back() * 10 + (B - '0'), 1000);
    } else if (B == ';') {
      Params.push_back(0);
    } else if (B >= 0x40 && B <= 0x7E) {
      Final = B;
      break;
    }
  }
  if (Final < 0)
    return 0;
  TKeyCodes Function{};
  const TKeyCodes* Key = nullptr;
  int Modifier = 1;
  if (Final == '~') {
    Key = TildeKey(Params[0], Function);
    if (Params.size() > 1)
      Modifier = Params[1];
  } else {
    Key = LetterKey(static_cast<char>(Final), Function);
    if (Params.size() > 1)
      Modifier = Params[1];
    else if (Intro == 'O' && Params[0] > 0)
      Modifier = Params[0];
  }
  return Key == nullptr ? 0 : CodeFor(*Key, Modifier);
}

int TConsole::ReadKeyCode() {
  if (FPendingCode >= 0) {
    int Code = FPendingCode;
    FPendingCode = -1;
    return Code;
  }
  FDevice.Present(FGrid);
  for (;;) {
    int B;
    if (!FPendingBytes.empty()) {
      B = FPendingBytes.front();
      FPendingBytes.pop_front();
    } else {
      B = FDevice.ReadByte(-1);
    }
    if (B == -2)
      return 27;
    if (B < 0)
      continue;
    switch (B) {
      case 0x1B: {
        int Code = TranslateEscape();
        if (Code < 0)
          return 27;
        if (Code == 0)
          continue;
        FPendingCode = Code;
        return 0;
      }
      // Terminals send DEL for Backspace and BS for Ctrl+Backspace.
      case 0x7F:
        return 8;
      case 0x08:
        return 127;
      case '\n':
        return 13;
      default:
        return B;
    }
  }
}

std::string ClipboardGet() {
  std::lock_guard Guard(ClipboardLock);
  return Clipboard;
}

void ClipboardPut(const std::string& Text) {
  if (Text.empty())
    return;
  std::lock_guard Guard(ClipboardLock);
  Clipboard = Text;
}

void TScriptedDevice::GetSize(int& Width, int& Height) {
  Width = FWidth;
  Height = FHeight;
}

int TScriptedDevice::ReadByte(int TimeoutMs) {
  while (!FChunks.empty() && FOffset >= FChunks.front().size()) {
    // The end of a chunk is a pause: a read with a time-out sees it once.
    FChunks.pop_front();
    FOffset = 0;
    if (TimeoutMs >= 0)
      return -1;
  }
  if (FChunks.empty())
    return TimeoutMs >= 0 ? -1 : -2;
  return static_cast<unsigned char>(FChunks.front()[FOffset++]);
}

void TScriptedDevice::Tone(int /*Frequency*/, int /*Duration*/) {
  ++FBeeps;
}

TTerminalDevice::TTerminalDevice() {
  if (!::isatty(STDIN_FILENO) || !::isatty(STDOUT_FILENO))
    throw Exception("standard input or output is not a terminal");
  if (TerminalActive.load())
    throw Exception("the terminal is in use already");
  termios Raw;
  if (::tcgetattr(STDIN_FILENO, &SavedTermios) != 0)
    throw Exception("cannot read the terminal's mode");
  Raw = SavedTermios;
  // Keys arrive one by one and unprocessed: Ctrl+C and Ctrl+V are the menu's, not the line
  // discipline's.
  Raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR | BRKINT | ISTRIP);
  Raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | ISIG | IEXTEN);
  Raw.c_cc[VMIN] = 1;
  Raw.c_cc[VTIME] = 0;
  if (::tcsetattr(STDIN_FILENO, TCSANOW, &Raw) != 0)
    throw Exception("cannot switch the terminal to raw input");
  TerminalActive = true;
  // Alternate screen, no automatic wrap (the last cell of the screen must not scroll it).
  Emit("\x1b[22;0t\x1b[?1049h\x1b[?7l\x1b[0m\x1b[2J");
}

TTerminalDevice::~TTerminalDevice() {
  RestoreTerminal();
}

void RestoreTerminal() {
  if (!TerminalActive.exchange(false))
    return;
  WriteAll(STDOUT_FILENO, RestoreSequence, sizeof(RestoreSequence) - 1);
  ::tcsetattr(STDIN_FILENO, TCSANOW, &SavedTermios);
}

void TTerminalDevice::Emit(const std::string& Bytes) {
  WriteAll(STDOUT_FILENO, Bytes.data(), Bytes.size());
}

void TTerminalDevice::GetSize(int& Width, int& Height) {
  winsize Size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &Size) == 0 && Size.ws_col > 0 && Size.ws_row > 0) {
    Width = Size.ws_col;
    Height = Size.ws_row;
  } else {
    Width = 80;
    Height = 25;
  }
}

void TTerminalDevice::Present(const TScreenGrid& Screen) {
  int Width = 0, Height = 0;
  GetSize(Width, Height);
  std::string Out;
  const bool Full = !FShownValid || FShown.Width != Screen.Width ||
                    FShown.Height != Screen.Height || FShown.Cells.size() != Screen.Cells.size();
  if (Full)
    Out += "\x1b[0m\x1b[2J";
  int LastAttr = -1, AtX = -1, AtY = -1;
  for (int Y = 0; Y < std::min(Height, Screen.Height); ++Y)
    for (int X = 0; X < std::min(Width, Screen.Width); ++X) {
      const TScreenCell& Cell = Screen.At(X, Y);
      if (!Full && FShown.At(X, Y) == Cell)
        continue;
      if (AtX != X || AtY != Y)
        Out += "\x1b[" + std::to_string(Y + 1) + ";" + std::to_string(X + 1) + "H";
      if (LastAttr != Cell.Attr) {
        Out += AttrSequence(Cell.Attr);
        LastAttr = Cell.Attr;
      }
      const unsigned char Ch = static_cast<unsigned char>(Cell.Ch);
      Out += Ch < 32 || Ch == 127 ? ' ' : Cell.Ch;
      AtX = X + 1;
      AtY = Y;
    }
  const int CursorX = std::min(Screen.CursorX, std::max(Width, 1) - 1);
  const int CursorY = std::min(Screen.CursorY, std::max(Height, 1) - 1);
  Out += "\x1b[" + std::to_string(CursorY + 1) + ";" + std::to_string(CursorX + 1) + "H";
  Out += Screen.CursorVisible ? "\x1b[?25h" : "\x1b[?25l";
  Emit(Out);
  FShown = Screen;
  FShownValid = true;
}

int TTerminalDevice::ReadByte(int TimeoutMs) {
  for (;;) {
    pollfd Fd{STDIN_FILENO, POLLIN, 0};
    int Ready = ::poll(&Fd, 1, TimeoutMs);
    if (Ready < 0) {
      if (errno == EINTR)
        continue;
      return -2;
    }
    if (Ready == 0)
      return -1;
    unsigned char B = 0;
    ssize_t N = ::read(STDIN_FILENO, &B, 1);
    if (N == 1)
      return B;
    if (N < 0 && (errno == EINTR || errno == EAGAIN))
      continue;
    return -2;
  }
}

void TTerminalDevice::Tone(int /*Frequency*/, int /*Duration*/) {
  Emit("\a");
}

void TTerminalDevice::SetTitle(const std::string& Title) {
  std::string Clean;
  for (char Ch : Title)
    if (static_cast<unsigned char>(Ch) >= 32 && Ch != 127)
      Clean += Ch;
  Emit("\x1b]0;" + Clean + "\a");
}

}  // namespace pelmar
