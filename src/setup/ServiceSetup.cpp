#include "ServiceSetup.h"

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace pelmar {

TCustomSetup* CurrentSetup = nullptr;

namespace {

// Length in characters of a UTF-8 text: its bytes that do not continue a character.
std::size_t CharacterCount(const std::string& Text) {
  return static_cast<std::size_t>(std::count_if(Text.begin(), Text.end(), [](char C) {
    return (static_cast<unsigned char>(C) & 0xC0) != 0x80;
  }));
}

bool IsSecret(const std::string& Caption) {
  std::string Lower = Caption;
  std::transform(Lower.begin(), Lower.end(), Lower.begin(),
                 [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
  return Lower.find("password") != std::string::npos;
}

// "KEY (FILE)" of the open key, for messages.
std::string Where(const TRegistry& Registry) {
  return Registry.CurrentPath() + " (" + Registry.ValuesFileName() + ")";
}

// The value as a message shows it: its type and data; a password's text is not shown.
std::string Describe(TRegistry& Registry, const std::string& Name, bool Secret) {
  auto Text = [&](const std::string& S) {
    return Secret ? std::to_string(CharacterCount(S)) + " characters" : "\"" + S + "\"";
  };
  switch (Registry.GetDataType(Name)) {
    case TRegDataType::rdString:
    case TRegDataType::rdExpandString:
      return "a string (" + Text(Registry.ReadString(Name)) + ")";
    case TRegDataType::rdInteger:
      return "a 32-bit number (" + std::to_string(Registry.ReadInteger(Name)) + ")";
    case TRegDataType::rdMultiSz: {
      std::string List;
      for (const std::string& S : Registry.ReadMultiSz(Name))
        List += (List.empty() ? "" : " ") + Text(S);
      return "a string list (" + List + ")";
    }
    case TRegDataType::rdUnknown:
      break;
  }
  return "a value of unknown type";
}

}  // namespace

TCustomSetup::TCustomSetup(bool General, bool Database, std::string Title)
    : FTitle(std::move(Title)), FMenu(std::make_unique<TConsoleMenu>()) {
  CurrentSetup = this;
  FMenu->SetTitle(FTitle);
  BuildMenu(General, Database);
}

TCustomSetup::~TCustomSetup() {
  if (CurrentSetup == this)
    CurrentSetup = nullptr;
}

std::string TCustomSetup::RegistryRoot() const {
  return TRegistry::DefaultRoot();
}

void TCustomSetup::BuildMenu(bool General, bool Database) {
  if (General) {
    AddCategory("General");
    AddString(CoreAddress, "Core service address", "127.0.0.1", 32);
    AddInteger(CorePort, "Core service port", 4701, 1, 65535);
    AddString(CorePassword, "Core service password", "", 32);
  }
  if (Database) {
    AddCategory("Database");
    AddString(DBServer, "Server address", "127.0.0.1", 32);
    AddInteger(DBPort, "Port number", 3050, 1, 65535);
    AddString(DBName, "Database name", "pelmar_serv", 32);
    AddString(DBUser, "Username", "SYSDBA", 16);
    AddString(DBPassword, "Password", "quillstem", 16);
  }
  FInstallButton =
      &FMenu->AddButton("Install service", [this](TConsoleMenu&) { return InstallClick(); });
  FMenu->AddDefaultsButton("Restore defaults");
  FMenu->AddSaveButton("Save and exit");
  FMenu->AddExitButton("Exit (ESC)");
}

// The state and caption flip whatever the outcome: the service manager is asked again only when
// the form is opened the next time.
bool TCustomSetup::InstallClick() {
  if (InstallAction)
    InstallAction(!FInstalled);
  FInstalled = !FInstalled;
  FInstallButton->SetCaption(FInstalled ? "Uninstall service" : "Install service");
  return false;
}

void TCustomSetup::ShowSetup() {
  TTerminalDevice Terminal;
  TConsole Console(Terminal);
  ShowSetup(Console);
}

void TCustomSetup::ShowSetup(TConsole& Console) {
  FInstalled = InstalledQuery ? InstalledQuery() : false;
  FInstallButton->SetCaption(FInstalled ? "Uninstall service" : "Install service");
  FMenu->UseRegistry(RegistryRoot(), RegistryPath());
  FMenu->Execute(Console);
}

void TCustomSetup::AddCategory(const std::string& Name) {
  FCategories.push_back(Name);
  FMenu->AddCategory(Name);
}

void TCustomSetup::AddString(std::string& Field, const std::string& Caption,
                             const std::string& Default, int MaxLength) {
  TSettingItem Item;
  Item.Category = FCategories.empty() ? std::string() : FCategories.back();
  Item.Caption = Caption;
  Item.Kind = TSettingKind::skString;
  Item.MaxLength = MaxLength;
  Item.DefaultString = Default;
  Item.StringField = &Field;
  FItems.push_back(std::move(Item));
  Field = Default;
  if (FMenu->FirstCategory() != nullptr)
    LastCategory().AddString(Field, Caption, Default, MaxLength);
}

void TCustomSetup::AddInteger(std::int32_t& Field, const std::string& Caption, std::int32_t Default,
                              std::int32_t MinValue, std::int32_t MaxValue) {
  TSettingItem Item;
  Item.Category = FCategories.empty() ? std::string() : FCategories.back();
  Item.Caption = Caption;
  Item.Kind = TSettingKind::skInteger;
  Item.MinValue = MinValue;
  Item.MaxValue = MaxValue;
  Item.DefaultInteger = Default;
  Item.IntegerField = &Field;
  FItems.push_back(std::move(Item));
  Field = Default;
  if (FMenu->FirstCategory() != nullptr)
    LastCategory().AddInteger(Field, Caption, Default, MinValue, MaxValue);
}

TCMenuCategory& TCustomSetup::LastCategory() {
  TCMenuCategory* Category = FMenu->FirstCategory();
  while (Category->NextCategory() != nullptr)
    Category = Category->NextCategory();
  return *Category;
}

void TCustomSetup::RenameValue(TRegistry& Registry, const std::string& Old,
                               const std::string& New) {
  if (!Registry.ValueExists(Old) || Registry.ValueExists(New))
    return;
  // New is written before Old is deleted: a crash in between leaves both, which the next load
  // treats like any key that has both names, instead of losing the data.
  switch (Registry.GetDataType(Old)) {
    case TRegDataType::rdString:
    case TRegDataType::rdExpandString: {
      bool Expand = Registry.GetDataType(Old) == TRegDataType::rdExpandString;
      std::string Data = Registry.ReadString(Old);
      if (Data.empty())
        return;
      if (Expand)
        Registry.WriteExpandString(New, Data);
      else
        Registry.WriteString(New, Data);
      break;
    }
    case TRegDataType::rdInteger:
      Registry.WriteInteger(New, Registry.ReadInteger(Old));
      break;
    case TRegDataType::rdMultiSz: {
      std::vector<std::string> Data = Registry.ReadMultiSz(Old);
      if (Data.empty())
        return;
      Registry.WriteMultiSz(New, Data);
      break;
    }
    case TRegDataType::rdUnknown:
      return;
  }
  Registry.DeleteValue(Old);
}

void TCustomSetup::LoadSettings() {
  const std::string Path = RegistryPath();
  TRegistry Registry(RegistryRoot());
  if (Registry.OpenKey(Path, false)) {
    if (!Registry.ValueExists("Version")) {
      // A store the program may only read (a read-only file system, files of another owner)
      // keeps its layout: the values are loaded all the same, without the renaming.
      try {
        Registry.CloseKey();
        if (Registry.OpenKey(Path + "\\General", false)) {
          RenameValue(Registry, "Core service server", "Core service address");
          Registry.CloseKey();
        }
        if (Registry.OpenKey(Path + "\\Database", false)) {
          RenameValue(Registry, "Server", "Server address");
          RenameValue(Registry, "Port", "Port number");
          RenameValue(Registry, "Alias", "Database name");
          Registry.CloseKey();
        }
        if (Registry.OpenKey(Path, false))
          Registry.WriteInteger("Version", 1);
      } catch (const ERegistryException& E) {
        if (E.ErrorCode() != EACCES && E.ErrorCode() != EPERM && E.ErrorCode() != EROFS)
          throw;
      }
    }
    Registry.CloseKey();
  }

  // Every value is checked before any field changes, so a bad one leaves the defaults whole.
  struct TLoaded {
    const TSettingItem* Item;
    std::string Text;
    std::int32_t Number;
  };
  std::vector<TLoaded> Loaded;
  for (const TSettingItem& Item : FItems) {
    if (!Registry.OpenKeyReadOnly(Path + "\\" + Item.Category))
      continue;
    const std::string& Name = Item.Caption;
    TRegDataType Type = Registry.GetDataType(Name);
    if (Type == TRegDataType::rdUnknown)
      continue;
    bool Secret = IsSecret(Name);
    if (Item.Kind == TSettingKind::skString) {
      if (Type != TRegDataType::rdString && Type != TRegDataType::rdExpandString)
        throw ERegistryException("Invalid data type for \"" + Name + "\" in " + Where(Registry) +
                                 ": " + Describe(Registry, Name, Secret) +
                                 " where a string is expected");
      // The length limits are the setup form's, for typing; a longer value written by hand (a
      // database file's path, say) is taken as it is.
      std::string Text = Registry.ReadString(Name);
      Loaded.push_back({&Item, std::move(Text), 0});
    } else {
      if (Type != TRegDataType::rdInteger)
        throw ERegistryException("Invalid data type for \"" + Name + "\" in " + Where(Registry) +
                                 ": " + Describe(Registry, Name, Secret) +
                                 " where a 32-bit number is expected");
      std::int32_t Number = Registry.ReadInteger(Name);
      if (Number < Item.MinValue || Number > Item.MaxValue)
        throw ERegistryException("Invalid value for \"" + Name + "\" in " + Where(Registry) + ": " +
                                 std::to_string(Number) + " is outside " +
                                 std::to_string(Item.MinValue) + " to " +
                                 std::to_string(Item.MaxValue));
      Loaded.push_back({&Item, {}, Number});
    }
  }
  for (TLoaded& L : Loaded) {
    if (L.Item->Kind == TSettingKind::skString)
      *L.Item->StringField = std::move(L.Text);
    else
      *L.Item->IntegerField = L.Number;
  }
}

void TCustomSetup::SaveSettings() {
  const std::string Path = RegistryPath();
  TRegistry Registry(RegistryRoot());
  for (const std::string& Category : FCategories) {
    const std::string Key = Path + "\\" + Category;
    if (!Registry.OpenKey(Key, true)) {
      int Err = Registry.LastError();
      throw ERegistryException("Cannot create the key " + Key + " in " + Registry.RootDirectory() +
                                   ": " + SysErrorMessage(Err),
                               Err);
    }
    for (const TSettingItem& Item : FItems) {
      if (Item.Category != Category)
        continue;
      if (Item.Kind == TSettingKind::skString)
        Registry.WriteString(Item.Caption, *Item.StringField);
      else
        Registry.WriteInteger(Item.Caption, *Item.IntegerField);
    }
    Registry.CloseKey();
  }
}

TServiceSettings TCustomSetup::ServiceSettings() const {
  for (const TSettingItem& Item : FItems)
    if (Item.Kind == TSettingKind::skInteger &&
        (*Item.IntegerField < Item.MinValue || *Item.IntegerField > Item.MaxValue))
      throw ERegistryException(
          "Invalid value for \"" + Item.Caption + "\": " + std::to_string(*Item.IntegerField) +
          " is outside " + std::to_string(Item.MinValue) + " to " + std::to_string(Item.MaxValue));
  TServiceSettings Result;
  Result.CoreAddress = CoreAddress;
  Result.CorePort = static_cast<std::uint16_t>(CorePort);
  Result.CorePassword = CorePassword;
  Result.DBServer = DBServer;
  Result.DBPort = static_cast<std::uint16_t>(DBPort);
  Result.DBName = DBName;
  Result.DBUser = DBUser;
  Result.DBPassword = DBPassword;
  return Result;
}

}  // namespace pelmar
