#include "ConsoleMenu.h"

#include <algorithm>
#include <charconv>

namespace pelmar {

namespace {

// Text is a decimal integer (an optional sign and at least one digit) within Min to Max.
bool ParseInRange(const std::string& Text, std::int32_t Min, std::int32_t Max,
                  std::int32_t& Value) {
  if (Text.empty() || Text.size() > 12)
    return false;
  const char* Begin = Text.data();
  if (*Begin == '+')
    ++Begin;
  std::int64_t Number = 0;
  auto [End, Error] = std::from_chars(Begin, Text.data() + Text.size(), Number);
  if (Error != std::errc() || End != Text.data() + Text.size() || Begin == End)
    return false;
  if (Number < Min || Number > Max)
    return false;
  Value = static_cast<std::int32_t>(Number);
  return true;
}

}  // namespace

// ---- TCMenuBaseItem ----

TCMenuBaseItem::TCMenuBaseItem(TConsoleMenu& Menu, TCMenuBaseItem* After) : FMenu(Menu) {
  if (After != nullptr) {
    FPrev = After;
    FNext = After->FNext;
    if (FNext != nullptr)
      FNext->FPrev = this;
    After->FNext = this;
  } else {
    FNext = Menu.FFirstItem;
    if (FNext != nullptr)
      FNext->FPrev = this;
    Menu.FFirstItem = this;
  }
}

TCMenuBaseItem::~TCMenuBaseItem() {
  if (FPrev != nullptr)
    FPrev->FNext = FNext;
  else if (FMenu.FFirstItem == this)
    FMenu.FFirstItem = FNext;
  if (FNext != nullptr)
    FNext->FPrev = FPrev;
  if (FMenu.FSelected == this)
    FMenu.FSelected = nullptr;
}

TConsole* TCMenuBaseItem::Con() const {
  return FMenu.FConsole;
}

int TCMenuBaseItem::Row() const {
  int Result = 1;
  for (const TCMenuBaseItem* Item = FMenu.FFirstItem; Item != nullptr && Item != this;
       Item = Item->FNext)
    Result += dynamic_cast<const TCMenuCategory*>(Item) != nullptr ? 2 : 1;
  return Result;
}

void TCMenuBaseItem::WriteAt(const std::string& Text, int X, int Background, int Foreground,
                             int Y) {
  TConsole* C = Con();
  if (C == nullptr)
    return;
  C->SetForeground(Foreground);
  C->SetBackground(Background);
  C->MoveCursor(X, Y);
  C->WriteText(Text);
  C->SetForeground(MenuText);
  C->SetBackground(MenuBackground);
}

// ---- TCMenuSetting ----

TCMenuSetting::TCMenuSetting(TCMenuCategory& Category, const std::string& Caption)
    : TCMenuBaseItem(Category.Menu(), Category.FLastSetting != nullptr
                                          ? static_cast<TCMenuBaseItem*>(Category.FLastSetting)
                                          : &Category),
      FCategory(Category) {
  FCaption = Caption;
  FPrevSetting = Category.FLastSetting;
  if (FPrevSetting != nullptr)
    FPrevSetting->FNextSetting = this;
  else
    Category.FFirstSetting = this;
  Category.FLastSetting = this;
  ++FMenu.FRowCount;
}

TCMenuSetting::~TCMenuSetting() {
  if (FPrevSetting != nullptr)
    FPrevSetting->FNextSetting = FNextSetting;
  else
    FCategory.FFirstSetting = FNextSetting;
  if (FNextSetting != nullptr)
    FNextSetting->FPrevSetting = FPrevSetting;
  else
    FCategory.FLastSetting = FPrevSetting;
}

bool TCMenuSetting::Selected() const {
  return FMenu.Selected() == this;
}

void TCMenuSetting::SetCursor(int Pos) {
  FCursor = Pos;
}

void TCMenuSetting::Draw() {
  TConsole* C = Con();
  if (C == nullptr)
    return;
  const int Width = FMenu.ValueWidth();
  if (!Selected()) {
    C->SetForeground(MenuText);
    C->SetBackground(MenuBackground);
    C->MoveCursor(1, Row());
    C->WriteText("  " + ToConsoleText(FCaption) + (FShowColon ? ":" : ""));
    C->MoveCursor(FMenu.LabelWidth(), Row());
    const std::string Text = GetText();
    C->WriteText(Text.substr(0, static_cast<std::size_t>(Width)));
    if (static_cast<int>(Text.size()) < Width)
      C->ClearToLineEnd();
    return;
  }
  // Selected: the text window is the edit window.
  C->MoveCursor(1, 1);
  C->SetForeground(EditForeground);
  C->SetBackground(EditBackground);
  C->ClearWindow();
  C->WriteText(FEditText);
  C->SetForeground(MenuText);
  C->SetBackground(MenuBackground);
  C->MoveCursor(FCursor % Width + 1, FCursor / Width + 1);
}

void TCMenuSetting::Enter() {
  TConsole* C = Con();
  const int Width = FMenu.ValueWidth();
  const int Extra = static_cast<int>(GetText().size()) / Width;
  FEditText = GetText();
  FCursor = static_cast<int>(FEditText.size());
  if (C == nullptr)
    return;
  // Room below the setting for a value longer than one line.
  for (int I = 0; I < Extra; ++I) {
    C->MoveCursor(1, Row() + 1);
    C->InsertLine();
  }
  C->SetWindow(0, 0, 0, 0);
  C->SetWindow(FMenu.LabelWidth() + 2, Row(), C->BufferWidth() - 4, Row() + Extra);
  C->ShowCursor();
}

bool TCMenuSetting::Leave() {
  const int Length = static_cast<int>(GetText().size());
  bool OK = true;
  if (FEditText != GetText()) {
    if (IsValidText(FEditText)) {
      SetText(FEditText);
    } else {
      if (TConsole* C = Con())
        C->SoundBeep(6000, 200);
      OK = false;
    }
  }
  if (OK) {
    if (TConsole* C = Con()) {
      FMenu.RestoreMenuWindow();
      const int Extra = Length / FMenu.ValueWidth();
      for (int I = 0; I < Extra; ++I) {
        C->MoveCursor(1, Row() + 1);
        C->DeleteLine();
      }
      if (Extra > 0)
        FMenu.DrawFrom(FNext);
    }
  }
  return OK;
}

bool TCMenuSetting::HandleKey(int Key, bool Extended) {
  const int Length = static_cast<int>(FEditText.size());
  if (Extended) {
    switch (Key) {
      case kcUp:
      case kcPageUp:
      case kcDown:
      case kcPageDown:
        return false;
      case kcHome:
        FCursor = 0;
        break;
      case kcLeft:
        if (FCursor > 0)
          --FCursor;
        break;
      case kcRight:
        if (FCursor < Length)
          ++FCursor;
        break;
      case kcEnd:
        FCursor = Length;
        break;
      case kcDelete:
        if (FCursor < Length)
          FEditText.erase(static_cast<std::size_t>(FCursor), 1);
        break;
      default:
        break;
    }
    Draw();
    return true;
  }
  switch (Key) {
    case 9:
      return false;
    case 3:
      ClipboardPut(FEditText);
      break;
    case 8:
      if (FCursor > 0) {
        FEditText.erase(static_cast<std::size_t>(FCursor - 1), 1);
        --FCursor;
      }
      break;
    case 22:
      FEditText = ClipboardGet();
      for (int I = static_cast<int>(FEditText.size()) - 1; I >= 0; --I)
        if (!IsValidChar(static_cast<unsigned char>(FEditText[static_cast<std::size_t>(I)])))
          FEditText.erase(static_cast<std::size_t>(I), 1);
      FCursor = static_cast<int>(FEditText.size());
      break;
    case 127:
      FEditText.clear();
      FCursor = 0;
      break;
    default:
      if (!IsValidChar(Key))
        return true;
      FEditText.insert(static_cast<std::size_t>(FCursor), 1, static_cast<char>(Key));
      ++FCursor;
      break;
  }
  Draw();
  return true;
}

// ---- TCMenuSettingStr ----

TCMenuSettingStr::TCMenuSettingStr(TCMenuCategory& Category, std::string& Target,
                                   const std::string& Caption, const std::string& Default,
                                   int MaxLength)
    : TCMenuSetting(Category, Caption), FTarget(Target), FDefault(Default), FMaxLength(MaxLength) {
  FTarget = FDefault;
}

void TCMenuSettingStr::SetText(const std::string& Text) {
  FTarget = FromConsoleText(Text.substr(0, static_cast<std::size_t>(FMaxLength)));
}

bool TCMenuSettingStr::IsValidChar(int Key) const {
  return static_cast<int>(FEditText.size()) < FMaxLength &&
         ((Key >= 32 && Key <= 126) || (Key >= 128 && Key <= 254));
}

bool TCMenuSettingStr::IsValidText(const std::string& Text) const {
  return static_cast<int>(Text.size()) <= FMaxLength;
}

void TCMenuSettingStr::SaveTo(TRegistry& Registry) {
  Registry.WriteString(FCaption, FTarget);
}

void TCMenuSettingStr::LoadFrom(TRegistry& Registry) {
  FTarget = Registry.ReadString(FCaption);
}

// ---- TCMenuSettingInt ----

TCMenuSettingInt::TCMenuSettingInt(TCMenuCategory& Category, std::int32_t& Target,
                                   const std::string& Caption, std::int32_t Default,
                                   std::int32_t Min, std::int32_t Max)
    : TCMenuSetting(Category, Caption), FTarget(Target), FDefault(Default), FMax(Max), FMin(Min) {
  FTarget = FDefault;
}

void TCMenuSettingInt::SetText(const std::string& Text) {
  std::int32_t Value = 0;
  if (ParseInRange(Text, FMin, FMax, Value))
    FTarget = Value;
}

bool TCMenuSettingInt::IsValidText(const std::string& Text) const {
  std::int32_t Value = 0;
  return ParseInRange(Text, FMin, FMax, Value);
}

void TCMenuSettingInt::SaveTo(TRegistry& Registry) {
  Registry.WriteInteger(FCaption, FTarget);
}

void TCMenuSettingInt::LoadFrom(TRegistry& Registry) {
  FTarget = Registry.ReadInteger(FCaption);
}

// ---- TCMenuCategory ----

TCMenuCategory::TCMenuCategory(TConsoleMenu& Menu, const std::string& Caption)
    : TCMenuBaseItem(Menu, Menu.FLastCategory == nullptr ? nullptr
                           : Menu.FLastCategory->FLastSetting != nullptr
                               ? static_cast<TCMenuBaseItem*>(Menu.FLastCategory->FLastSetting)
                               : Menu.FLastCategory) {
  FCaption = Caption;
}

TCMenuCategory::~TCMenuCategory() {
  if (FPrevCategory != nullptr)
    FPrevCategory->FNextCategory = FNextCategory;
  else if (FMenu.FFirstCategory == this)
    FMenu.FFirstCategory = FNextCategory;
  if (FNextCategory != nullptr)
    FNextCategory->FPrevCategory = FPrevCategory;
  else if (FMenu.FLastCategory == this)
    FMenu.FLastCategory = FPrevCategory;
}

void TCMenuCategory::Draw() {
  TConsole* C = Con();
  if (C == nullptr)
    return;
  C->SetForeground(CategoryColor);
  C->MoveCursor(1, Row() + 1);
  C->WriteText(ToConsoleText(FCaption));
  C->SetForeground(MenuText);
  C->SetBackground(MenuBackground);
  for (TCMenuSetting* S = FFirstSetting; S != nullptr; S = S->NextSetting())
    S->Draw();
}

TCMenuSettingStr& TCMenuCategory::AddString(std::string& Target, const std::string& Caption,
                                            const std::string& Default, int MaxLength) {
  return FMenu.Own(std::make_unique<TCMenuSettingStr>(*this, Target, Caption, Default, MaxLength));
}

TCMenuSettingInt& TCMenuCategory::AddInteger(std::int32_t& Target, const std::string& Caption,
                                             std::int32_t Default, std::int32_t Min,
                                             std::int32_t Max) {
  return FMenu.Own(std::make_unique<TCMenuSettingInt>(*this, Target, Caption, Default, Min, Max));
}

// ---- TCMenuButton ----

TCMenuButton::TCMenuButton(TConsoleMenu& Menu, TCMenuBaseItem* After, int Index,
                           TCMenuButtonClick OnClick)
    : TCMenuBaseItem(Menu, After), FIndex(Index), FOnClick(std::move(OnClick)) {}

int TCMenuButton::Row() const {
  return FMenu.FRowCount + FIndex + 3;
}

void TCMenuButton::SetCaption(const std::string& Text) {
  if (Text == FCaption)
    return;
  if (!FCaption.empty()) {
    WriteAt(std::string(ToConsoleText(FCaption).size(), ' '), 1, MenuBackground, MenuBackground,
            Row());
    FCaption = Text;
    Draw();
  } else {
    FCaption = Text;
  }
}

void TCMenuButton::Draw() {
  TConsole* C = Con();
  if (C == nullptr)
    return;
  const bool Selected = FMenu.Selected() == this;
  C->SetForeground(Selected ? MenuBackground : ButtonColor);
  C->SetBackground(Selected ? ButtonColor : MenuBackground);
  C->MoveCursor(1, Row());
  C->WriteText(ToConsoleText(FCaption));
  C->SetForeground(MenuText);
  if (Selected)
    C->SetBackground(MenuBackground);
}

void TCMenuButton::Enter() {
  if (TConsole* C = Con())
    C->HideCursor();
}

bool TCMenuButton::HandleKey(int Key, bool Extended) {
  if (Extended || Key != 13)
    return false;
  FMenu.FDone = FOnClick ? FOnClick(FMenu) : false;
  return true;
}

// ---- TConsoleMenu ----

TConsoleMenu::TConsoleMenu() = default;

TConsoleMenu::~TConsoleMenu() {
  // Latest first: a category's settings go before the category.
  while (!FItems.empty())
    FItems.pop_back();
}

template <typename T>
T& TConsoleMenu::Own(std::unique_ptr<T> Item) {
  T& Result = *Item;
  FItems.push_back(std::move(Item));
  return Result;
}

TCMenuCategory& TConsoleMenu::AddCategory(const std::string& Caption) {
  TCMenuCategory& Category = Own(std::make_unique<TCMenuCategory>(*this, Caption));
  Category.FPrevCategory = FLastCategory;
  if (FLastCategory != nullptr)
    FLastCategory->FNextCategory = &Category;
  else
    FFirstCategory = &Category;
  FLastCategory = &Category;
  FRowCount += 2;
  ++FCategoryCount;
  return Category;
}

TCMenuButton& TConsoleMenu::AddButton(const std::string& Caption, TCMenuButtonClick OnClick) {
  TCMenuBaseItem* After = FLastButton;
  if (After == nullptr && FLastCategory != nullptr)
    After = FLastCategory->FLastSetting != nullptr
                ? static_cast<TCMenuBaseItem*>(FLastCategory->FLastSetting)
                : FLastCategory;
  if (After == nullptr)
    for (After = FFirstItem; After != nullptr && After->Next() != nullptr; After = After->Next()) {
    }
  const int Index = FLastButton == nullptr ? 0 : FButtonCount;
  TCMenuButton& Button =
      Own(std::make_unique<TCMenuButton>(*this, After, Index, std::move(OnClick)));
  Button.SetCaption(Caption);
  if (FFirstButton == nullptr)
    FFirstButton = &Button;
  FLastButton = &Button;
  ++FButtonCount;
  return Button;
}

TCMenuButton& TConsoleMenu::AddExitButton(const std::string& Caption) {
  return AddButton(Caption, [](TConsoleMenu&) { return true; });
}

TCMenuButton& TConsoleMenu::AddSaveButton(const std::string& Caption) {
  return AddButton(Caption, [](TConsoleMenu& Menu) {
    Menu.SaveToRegistry();
    return true;
  });
}

TCMenuButton& TConsoleMenu::AddDefaultsButton(const std::string& Caption) {
  return AddButton(Caption, [](TConsoleMenu& Menu) {
    Menu.RestoreDefaults();
    return false;
  });
}

void TConsoleMenu::UseRegistry(const std::string& Root, const std::string& Path) {
  FRootKey = Root;
  FRegistryPath = Path;
  FUseRegistry = true;
}

void TConsoleMenu::LoadFromRegistry() {
  if (!FUseRegistry)
    return;
  TRegistry Registry(FRootKey);
  if (!Registry.KeyExists(FRegistryPath))
    return;
  for (TCMenuCategory* Category = FFirstCategory; Category != nullptr;
       Category = Category->NextCategory()) {
    if (!Registry.OpenKeyReadOnly(FRegistryPath + "\\" + Category->Caption()))
      continue;
    for (TCMenuSetting* S = Category->FirstSetting(); S != nullptr; S = S->NextSetting())
      if (Registry.ValueExists(S->Caption()))
        S->LoadFrom(Registry);
    Registry.CloseKey();
  }
}

void TConsoleMenu::SaveToRegistry() {
  if (!FUseRegistry)
    return;
  TRegistry Registry(FRootKey);
  for (TCMenuCategory* Category = FFirstCategory; Category != nullptr;
       Category = Category->NextCategory()) {
    const std::string Key = FRegistryPath + "\\" + Category->Caption();
    if (!Registry.OpenKey(Key, true)) {
      const int Err = Registry.LastError();
      throw ERegistryException("Cannot create the key " + Key + " in " + Registry.RootDirectory() +
                                   ": " + SysErrorMessage(Err),
                               Err);
    }
    for (TCMenuSetting* S = Category->FirstSetting(); S != nullptr; S = S->NextSetting())
      S->SaveTo(Registry);
    Registry.CloseKey();
  }
}

void TConsoleMenu::RestoreDefaults() {
  TCMenuBaseItem* Item = FFirstCategory != nullptr ? FFirstCategory->FirstSetting() : nullptr;
  for (; Item != nullptr; Item = Item->Next()) {
    if (dynamic_cast<TCMenuCategory*>(Item) != nullptr)
      continue;
    auto* Setting = dynamic_cast<TCMenuSetting*>(Item);
    if (Setting == nullptr)
      break;
    Setting->ResetToDefault();
    Setting->Draw();
  }
}

void TConsoleMenu::RestoreMenuWindow() {
  FConsole->SetWindow(3, 1, FConsole->BufferWidth() - 4, FConsole->BufferHeight() - 1);
}

void TConsoleMenu::DrawFrom(TCMenuBaseItem* Item) {
  for (; Item != nullptr; Item = Item->Next())
    Item->Draw();
}

void TConsoleMenu::Execute(TConsole& Console) {
  FConsole = &Console;
  Console.LoadScreenInfo();
  Console.SetTitle(FTitle);
  FSavedForeground = Console.Foreground();
  FSavedBackground = Console.Background();
  FWidth = Console.ScreenWidth();
  FHeight = Console.ScreenHeight();
  FValueWidth = std::max(FWidth - FLabelWidth - 5, 1);
  Console.EnsureBufferSize(FLabelWidth + FValueWidth + 5, FRowCount + FButtonCount + 4);
  FHeight = std::min(FHeight, FRowCount + FButtonCount + 4);
  FWidth = std::min(FWidth, FLabelWidth + FValueWidth + 5);
  Console.EnsureWindowSize(FWidth, FHeight);
  Console.SetBackground(MenuBackground);
  Console.SetWindow(0, 0, 0, 0);
  Console.ClearWindow();
  RestoreMenuWindow();
  FSelected = nullptr;
  FDone = false;
  DrawFrom(FFirstCategory);
  Console.MoveCursor(1, 1);
  if (FFirstCategory != nullptr && FFirstCategory->FirstSetting() != nullptr)
    SelectItem(FFirstCategory->FirstSetting());
  else
    SelectItem(FFirstButton);
  for (;;) {
    int Key = Console.ReadKeyCode();
    if (Key == 0) {
      Key = Console.ReadKeyCode();
      if (FSelected != nullptr && !FSelected->HandleKey(Key, true)) {
        switch (Key) {
          case kcUp:
            SelectPrevious();
            break;
          case kcPageUp:
            SelectFirst();
            break;
          case kcDown:
            SelectNext();
            break;
          case kcPageDown:
            SelectLastButton();
            break;
          default:
            break;
        }
      }
    } else if (Key == 9) {
      if (FSelected != nullptr && !FSelected->HandleKey(9, false))
        SelectNext();
    } else if (Key == 3 || Key == 8 || Key == 13 || Key == 22 || (Key >= 32 && Key <= 254)) {
      if (FSelected != nullptr)
        FSelected->HandleKey(Key, false);
    }
    if (Key == 27 || FDone)
      break;
  }
  Console.SetWindow(0, 0, 0, 0);
  Console.SetForeground(FSavedForeground);
  Console.SetBackground(FSavedBackground);
  Console.ClearWindow();
  FSelected = nullptr;
  FConsole = nullptr;
}

void TConsoleMenu::SelectItem(TCMenuBaseItem* Item) {
  if (Item == nullptr || Item == FSelected)
    return;
  TConsole& C = *FConsole;
  // Scroll the item into the console's view.
  const int Row = Item->Row();
  if (Row < C.ScreenHeight() - 3)
    C.MoveCursor(C.CursorColumn(), Row - 2);
  else
    C.MoveCursor(C.CursorColumn(), Row + 2);
  if (FSelected != nullptr) {
    if (!FSelected->Leave())
      return;
    TCMenuBaseItem* Old = FSelected;
    FSelected = nullptr;
    Old->Draw();
  }
  C.MoveCursor(1, Row);
  if (dynamic_cast<TCMenuSetting*>(Item) != nullptr)
    C.WriteText(" >");
  FSelected = Item;
  Item->Enter();
  Item->Draw();
}

void TConsoleMenu::SelectNext() {
  if (FSelected == nullptr)
    return;
  TCMenuBaseItem* Item = FSelected->Next();
  if (auto* Category = dynamic_cast<TCMenuCategory*>(Item))
    Item = Category->FirstSetting();
  if (Item != nullptr)
    SelectItem(Item);
}

void TConsoleMenu::SelectPrevious() {
  if (FSelected == nullptr)
    return;
  TCMenuBaseItem* Item = FSelected->Prev();
  if (Item == nullptr || Item == FFirstCategory)
    return;
  if (dynamic_cast<TCMenuCategory*>(Item) != nullptr)
    Item = Item->Prev();
  if (Item != nullptr)
    SelectItem(Item);
}

void TConsoleMenu::SelectFirst() {
  if (FFirstCategory != nullptr)
    SelectItem(FFirstCategory->FirstSetting());
}

void TConsoleMenu::SelectLastButton() {
  SelectItem(FLastButton);
}

}  // namespace pelmar
