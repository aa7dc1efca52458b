// The text console layer of the setup menu: coloured text placed by row and column inside a text
// window, line insertion and deletion, single key presses without echo, a tone, a clipboard.
//
// TConsole keeps the screen as a grid of characters and attributes and does every operation on
// that grid; a TConsoleDevice shows the grid and supplies the key bytes. TTerminalDevice is the
// Linux terminal (ANSI/VT100 output, termios raw input, alternate screen); TScriptedDevice is an
// in-memory screen with scripted keys for tests. Everything runs on the main thread, except
// RestoreTerminal, which the signal routing may call from its own thread.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace pelmar {

// The 16 console colours.
enum TConsoleColor : std::uint8_t {
  ccBlack = 0,
  ccBlue = 1,
  ccGreen = 2,
  ccCyan = 3,
  ccRed = 4,
  ccMagenta = 5,
  ccBrown = 6,
  ccLightGray = 7,
  ccDarkGray = 8,
  ccLightBlue = 9,
  ccLightGreen = 10,
  ccLightCyan = 11,
  ccLightRed = 12,
  ccLightMagenta = 13,
  ccYellow = 14,
  ccWhite = 15
};

// Extended key codes (the second half of a key without a character).
inline constexpr int kcHome = 71;
inline constexpr int kcUp = 72;
inline constexpr int kcPageUp = 73;
inline constexpr int kcLeft = 75;
inline constexpr int kcRight = 77;
inline constexpr int kcEnd = 79;
inline constexpr int kcDown = 80;
inline constexpr int kcPageDown = 81;
inline constexpr int kcInsert = 82;
inline constexpr int kcDelete = 83;
inline constexpr int kcF1 = 59;  // F1 to F10: 59 to 68

// One cell of the screen: a character and its attribute (foreground in the low four bits,
// background in the high four).
struct TScreenCell {
  char Ch = ' ';
  std::uint8_t Attr = 0;
  bool operator==(const TScreenCell&) const = default;
};

// A screen as the layer keeps it.
struct TScreenGrid {
  int Width = 0, Height = 0;
  std::vector<TScreenCell> Cells;  // row by row
  int CursorX = 0, CursorY = 0;    // 0-based buffer coordinates
  bool CursorVisible = true;

  TScreenCell& At(int X, int Y) { return Cells[static_cast<std::size_t>(Y * Width + X)]; }
  const TScreenCell& At(int X, int Y) const {
    return Cells[static_cast<std::size_t>(Y * Width + X)];
  }
  // The characters of row Y (0-based).
  std::string RowText(int Y) const;
};

// Where the layer's screen is shown and its key bytes come from.
class TConsoleDevice {
 public:
  virtual ~TConsoleDevice() = default;
  // Size of the visible window in cells.
  virtual void GetSize(int& Width, int& Height) = 0;
  // Shows the grid (and its cursor); called before the layer waits for a key.
  virtual void Present(const TScreenGrid& Screen) = 0;
  // The next input byte; -1 when none arrived within TimeoutMs (negative: wait without limit),
  // -2 at the end of input.
  virtual int ReadByte(int TimeoutMs) = 0;
  virtual void Tone(int Frequency, int Duration) = 0;
  virtual void SetTitle(const std::string& Title) = 0;
};

// The layer's operations, on the grid of one device.
class TConsole {
 public:
  explicit TConsole(TConsoleDevice& Device);
  TConsole(const TConsole&) = delete;
  TConsole& operator=(const TConsole&) = delete;

  // Takes the device's size as buffer and window size, the whole buffer as text window.
  void LoadScreenInfo();
  int ScreenWidth() const { return FScreenWidth; }
  int ScreenHeight() const { return FScreenHeight; }
  int BufferWidth() const { return FGrid.Width; }
  int BufferHeight() const { return FGrid.Height; }
  // Grows the buffer to at least Width x Height (new cells blank in attribute 0); never shrinks.
  void EnsureBufferSize(int Width, int Height);
  // A terminal's window cannot be resized by the program: the window grows only up to the buffer.
  void EnsureWindowSize(int Width, int Height);
  // 1-based buffer coordinates; an invalid rectangle selects the whole buffer.
  void SetWindow(int Left, int Top, int Right, int Bottom);
  // 1-based, relative to the text window; a position outside it is ignored.
  void MoveCursor(int X, int Y);
  // 1-based, relative to the text window.
  int CursorColumn() const { return FGrid.CursorX - FLeft + 1; }
  int CursorRow() const { return FGrid.CursorY - FTop + 1; }
  void ClearWindow();
  void ClearToLineEnd();
  void InsertLine();
  void DeleteLine();
  std::uint8_t CurrentAttr() const { return FAttr; }
  void SetForeground(int Color);
  void SetBackground(int Color);
  int Foreground() const { return FAttr & 0x0F; }
  int Background() const { return FAttr >> 4; }
  void ShowCursor() { FGrid.CursorVisible = true; }
  void HideCursor() { FGrid.CursorVisible = false; }
  // Writes at the cursor, clipped and wrapped to the text window: CR, LF (scrolling at the
  // window's bottom), TAB, BS and BEL are handled.
  void WriteText(const std::string& Text);
  // Writes at the cursor without window handling (wrapping at the buffer's edge); an empty text
  // writes CR LF.
  void WriteRaw(const std::string& Text);
  // A key: its character, or 0 and on the next call the extended code. 27 at the end of input.
  int ReadKeyCode();
  // A tone; frequencies below 37 Hz are silent.
  void SoundBeep(int Frequency, int Duration);
  void SetTitle(const std::string& Title);

  const TScreenGrid& Screen() const { return FGrid; }

 private:
  void PutChar(char Ch, bool Windowed);
  void ScrollWindowUp();
  void NewLine(bool Windowed);
  int TranslateEscape();

  TConsoleDevice& FDevice;
  TScreenGrid FGrid;
  std::uint8_t FAttr = 0;
  int FLeft = 0, FTop = 0, FRight = 0, FBottom = 0;  // 0-based, inclusive
  int FScreenWidth = 0, FScreenHeight = 0;
  int FPendingCode = -1;
  std::deque<int> FPendingBytes;
};

// Program text and console text: both UTF-8 on Linux.
inline std::string ToConsoleText(const std::string& Text) {
  return Text;
}
inline std::string FromConsoleText(const std::string& Text) {
  return Text;
}

// The process's clipboard (in-process). Putting an empty text does nothing.
std::string ClipboardGet();
void ClipboardPut(const std::string& Text);

// An in-memory device: the size given, key input as scripted chunks. Within a chunk the bytes
// follow each other at once; between chunks a read with a time-out times out (so a lone Esc is
// a chunk of its own). After the last chunk the input ends.
class TScriptedDevice : public TConsoleDevice {
 public:
  TScriptedDevice(int Width, int Height) : FWidth(Width), FHeight(Height) {}
  void AddKeys(const std::string& Chunk) { FChunks.push_back(Chunk); }

  void GetSize(int& Width, int& Height) override;
  void Present(const TScreenGrid& /*Screen*/) override {}
  int ReadByte(int TimeoutMs) override;
  void Tone(int Frequency, int Duration) override;
  void SetTitle(const std::string& Title) override { FTitle = Title; }

  int Beeps() const { return FBeeps; }
  const std::string& Title() const { return FTitle; }

 private:
  int FWidth, FHeight;
  std::deque<std::string> FChunks;
  std::size_t FOffset = 0;
  int FBeeps = 0;
  std::string FTitle;
};

// The terminal on standard input and output. Construction switches input to raw (no echo, no
// line editing, no signals from keys) and output to the alternate screen; destruction (or
// RestoreTerminal) brings back the saved input mode, the colours, the cursor and the main screen.
// One at a time. Raises Exception when standard input or output is not a terminal.
class TTerminalDevice : public TConsoleDevice {
 public:
  TTerminalDevice();
  ~TTerminalDevice() override;
  TTerminalDevice(const TTerminalDevice&) = delete;
  TTerminalDevice& operator=(const TTerminalDevice&) = delete;

  void GetSize(int& Width, int& Height) override;
  void Present(const TScreenGrid& Screen) override;
  int ReadByte(int TimeoutMs) override;
  void Tone(int Frequency, int Duration) override;
  void SetTitle(const std::string& Title) override;

 private:
  void Emit(const std::string& Bytes);

  TScreenGrid FShown;  // what the terminal shows
  bool FShownValid = false;
};

// Restores the terminal of the open TTerminalDevice once (nothing when none is open). Safe from
// any thread, for the signal routing's handlers before the process ends.
void RestoreTerminal();

}  // namespace pelmar
