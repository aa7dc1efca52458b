// A full-screen form on the text console: named categories of settings (a caption and an
// editable value each) and a row of buttons below them. The cursor keys and Tab move between the
// items, values are edited in place and checked when the setting is left, Enter presses a button.
// The values can be loaded from and saved to the settings store: one key per category, one value
// per setting, named by its caption.
//
// The items form one doubly linked list in display order (categories, each followed by its
// settings, then the buttons); the form owns them. The settings edit variables of the caller
// (not owned), which must outlive the form. Everything runs on the main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Console.h"
#include "Registry.h"

namespace pelmar {

class TConsoleMenu;
class TCMenuCategory;

// Colours of the form.
inline constexpr int MenuBackground = ccWhite;
inline constexpr int MenuText = ccBlack;
inline constexpr int CategoryColor = ccGreen;
inline constexpr int ButtonColor = ccRed;
inline constexpr int EditForeground = ccBlack;
inline constexpr int EditBackground = ccLightGray;

class TCMenuBaseItem {
 public:
  // Links the item in right after After (at the list's start when After is nullptr and the form
  // has no items yet).
  TCMenuBaseItem(TConsoleMenu& Menu, TCMenuBaseItem* After);
  virtual ~TCMenuBaseItem();
  TCMenuBaseItem(const TCMenuBaseItem&) = delete;
  TCMenuBaseItem& operator=(const TCMenuBaseItem&) = delete;

  virtual void SetCaption(const std::string& Text) { FCaption = Text; }
  // Writes Text at column X of row Y in the colours given, then returns to the form's colours.
  virtual void WriteAt(const std::string& Text, int X, int Background, int Foreground, int Y);
  virtual void Draw() = 0;
  virtual void Enter() {}
  // False keeps the selection on the item.
  virtual bool Leave() { return true; }
  // True when the item consumed the key.
  virtual bool HandleKey(int Key, bool Extended) = 0;

  // 1-based row within the form's window.
  virtual int Row() const;
  const std::string& Caption() const { return FCaption; }
  TCMenuBaseItem* Next() const { return FNext; }
  TCMenuBaseItem* Prev() const { return FPrev; }
  TConsoleMenu& Menu() const { return FMenu; }

 protected:
  // The console while the form is shown; nullptr otherwise (nothing is drawn then).
  TConsole* Con() const;

  std::string FCaption;
  TConsoleMenu& FMenu;
  TCMenuBaseItem* FNext = nullptr;
  TCMenuBaseItem* FPrev = nullptr;
};

class TCMenuSetting : public TCMenuBaseItem {
 public:
  TCMenuSetting(TCMenuCategory& Category, const std::string& Caption);
  ~TCMenuSetting() override;

  void Draw() override;
  void Enter() override;
  bool Leave() override;
  bool HandleKey(int Key, bool Extended) override;

  virtual void SetCursor(int Pos);
  // The value as console text.
  virtual std::string GetText() const = 0;
  virtual void SetText(const std::string& Text) = 0;
  virtual bool IsValidChar(int Key) const = 0;
  virtual void SaveTo(TRegistry& Registry) = 0;
  virtual void LoadFrom(TRegistry& Registry) = 0;
  virtual void ResetToDefault() = 0;
  virtual bool IsValidText(const std::string& Text) const = 0;

  TCMenuSetting* NextSetting() const { return FNextSetting; }
  TCMenuCategory& Category() const { return FCategory; }
  const std::string& EditText() const { return FEditText; }
  int Cursor() const { return FCursor; }

 protected:
  TCMenuSetting* FNextSetting = nullptr;
  TCMenuSetting* FPrevSetting = nullptr;
  TCMenuCategory& FCategory;
  std::string FEditText;
  int FCursor = 0;
  bool FShowColon = true;

 private:
  bool Selected() const;
};

class TCMenuSettingStr : public TCMenuSetting {
 public:
  TCMenuSettingStr(TCMenuCategory& Category, std::string& Target, const std::string& Caption,
                   const std::string& Default, int MaxLength);
  std::string GetText() const override { return ToConsoleText(FTarget); }
  void SetText(const std::string& Text) override;
  bool IsValidChar(int Key) const override;
  void SaveTo(TRegistry& Registry) override;
  void LoadFrom(TRegistry& Registry) override;
  void ResetToDefault() override { FTarget = FDefault; }
  bool IsValidText(const std::string& Text) const override;

 private:
  std::string& FTarget;
  std::string FDefault;
  int FMaxLength;
};

class TCMenuSettingInt : public TCMenuSetting {
 public:
  TCMenuSettingInt(TCMenuCategory& Category, std::int32_t& Target, const std::string& Caption,
                   std::int32_t Default, std::int32_t Min, std::int32_t Max);
  std::string GetText() const override { return std::to_string(FTarget); }
  void SetText(const std::string& Text) override;
  bool IsValidChar(int Key) const override { return Key >= '0' && Key <= '9'; }
  void SaveTo(TRegistry& Registry) override;
  void LoadFrom(TRegistry& Registry) override;
  void ResetToDefault() override { FTarget = FDefault; }
  bool IsValidText(const std::string& Text) const override;

 private:
  std::int32_t& FTarget;
  std::int32_t FDefault, FMax, FMin;
};

class TCMenuCategory : public TCMenuBaseItem {
 public:
  TCMenuCategory(TConsoleMenu& Menu, const std::string& Caption);
  ~TCMenuCategory() override;

  void Draw() override;
  bool HandleKey(int /*Key*/, bool /*Extended*/) override { return false; }

  // A setting at the end of the category; Target is set to Default. The form owns the setting.
  TCMenuSettingStr& AddString(std::string& Target, const std::string& Caption,
                              const std::string& Default, int MaxLength);
  TCMenuSettingInt& AddInteger(std::int32_t& Target, const std::string& Caption,
                               std::int32_t Default, std::int32_t Min, std::int32_t Max);

  TCMenuCategory* NextCategory() const { return FNextCategory; }
  TCMenuSetting* FirstSetting() const { return FFirstSetting; }
  TCMenuSetting* LastSetting() const { return FLastSetting; }

 private:
  friend class TCMenuSetting;
  friend class TConsoleMenu;
  TCMenuCategory* FNextCategory = nullptr;
  TCMenuCategory* FPrevCategory = nullptr;
  TCMenuSetting* FFirstSetting = nullptr;
  TCMenuSetting* FLastSetting = nullptr;
};

// A button's handler; true closes the form.
using TCMenuButtonClick = std::function<bool(TConsoleMenu& Menu)>;

class TCMenuButton : public TCMenuBaseItem {
 public:
  TCMenuButton(TConsoleMenu& Menu, TCMenuBaseItem* After, int Index, TCMenuButtonClick OnClick);

  void SetCaption(const std::string& Text) override;
  void Draw() override;
  void Enter() override;
  bool HandleKey(int Key, bool Extended) override;
  int Row() const override;

 private:
  int FIndex;
  TCMenuButtonClick FOnClick;
};

class TConsoleMenu {
 public:
  TConsoleMenu();
  ~TConsoleMenu();
  TConsoleMenu(const TConsoleMenu&) = delete;
  TConsoleMenu& operator=(const TConsoleMenu&) = delete;

  // Stores the title; Execute sets it as the terminal's title.
  void SetTitle(const std::string& Title) { FTitle = ToConsoleText(Title); }
  const std::string& Title() const { return FTitle; }

  TCMenuCategory& AddCategory(const std::string& Caption);
  TCMenuButton& AddButton(const std::string& Caption, TCMenuButtonClick OnClick);
  // Closes the form without saving.
  TCMenuButton& AddExitButton(const std::string& Caption);
  // Saves to the store, then closes the form.
  TCMenuButton& AddSaveButton(const std::string& Caption);
  // Sets every value to its default; the form stays open.
  TCMenuButton& AddDefaultsButton(const std::string& Caption);

  void UseRegistry(const std::string& Root, const std::string& Path);
  // With the store in use: every value that exists replaces its variable. A value of the wrong
  // type raises ERegistryException.
  void LoadFromRegistry();
  // With the store in use: writes every value. Raises ERegistryException when a key cannot be
  // created or a value cannot be written, so a failed save is never taken for a saved one.
  void SaveToRegistry();
  void RestoreDefaults();

  // Shows the form on Console and runs it until Esc or a button that closes it. The console's
  // window and colours are restored at the end (not when a handler raises).
  void Execute(TConsole& Console);

  void SelectItem(TCMenuBaseItem* Item);
  void SelectNext();
  void SelectPrevious();
  void SelectFirst();
  void SelectLastButton();
  void RestoreMenuWindow();
  void DrawFrom(TCMenuBaseItem* Item);

  TCMenuBaseItem* Selected() const { return FSelected; }
  TCMenuCategory* FirstCategory() const { return FFirstCategory; }
  TCMenuBaseItem* FirstItem() const { return FFirstItem; }
  int RowCount() const { return FRowCount; }
  int LabelWidth() const { return FLabelWidth; }
  int ValueWidth() const { return FValueWidth; }
  TConsole* Console() const { return FConsole; }

 private:
  friend class TCMenuBaseItem;
  friend class TCMenuSetting;
  friend class TCMenuCategory;
  friend class TCMenuButton;
  template <typename T>
  T& Own(std::unique_ptr<T> Item);

  TCMenuBaseItem* FSelected = nullptr;
  std::string FTitle;
  int FRowCount = 0;
  int FButtonCount = 0;
  int FCategoryCount = 0;
  std::string FRootKey, FRegistryPath;
  bool FUseRegistry = false;
  bool FDone = false;
  int FSavedForeground = 0, FSavedBackground = 0;
  int FLabelWidth = 30;
  int FValueWidth = 45;
  int FWidth = 80, FHeight = 25;
  TCMenuCategory* FFirstCategory = nullptr;
  TCMenuCategory* FLastCategory = nullptr;
  TCMenuButton* FFirstButton = nullptr;
  TCMenuButton* FLastButton = nullptr;
  TCMenuBaseItem* FFirstItem = nullptr;
  TConsole* FConsole = nullptr;
  std::vector<std::unique_ptr<TCMenuBaseItem>> FItems;  // ownership only; order is the list's
};

}  // namespace pelmar
