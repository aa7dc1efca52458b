// The service's settings: the Core service and database addresses with their logins, their
// defaults and limits, loading them from the registry (after renaming the value names of an
// older layout) and saving them.
//
// The settings are described by an item table (category = registry subkey, caption = value name,
// kind, limits, default, field) that BuildMenu fills at construction; the setup menu shows and
// edits the same table. Everything runs on the main thread; the service's worker reads the fields
// only after LoadSettings has finished.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Console.h"
#include "ConsoleMenu.h"
#include "Registry.h"
#include "ServiceMain.h"

namespace pelmar {

enum class TSettingKind { skString, skInteger };

// One setting of the item table.
struct TSettingItem {
  std::string Category;  // registry subkey, e.g. "General"
  std::string Caption;   // shown in the menu; also the registry value name
  TSettingKind Kind = TSettingKind::skString;
  int MaxLength = 0;  // strings: at most this many characters (UTF-8 code points)
  std::int32_t MinValue = 0, MaxValue = 0;  // integers: the allowed range
  std::string DefaultString;
  std::int32_t DefaultInteger = 0;
  std::string* StringField = nullptr;  // the field the setting edits (not owned)
  std::int32_t* IntegerField = nullptr;
};

class TCustomSetup {
 public:
  // Builds the item table (General: the Core service's settings, Database: the database's) and
  // sets every field to its default. The new object becomes CurrentSetup.
  TCustomSetup(bool General = true, bool Database = true,
               std::string Title = "Pelmar ContactID service settings");
  virtual ~TCustomSetup();
  TCustomSetup(const TCustomSetup&) = delete;
  TCustomSetup& operator=(const TCustomSetup&) = delete;

  std::string CoreAddress;
  std::int32_t CorePort = 0;
  std::string CorePassword;
  std::string DBServer;
  std::string DBName;
  std::int32_t DBPort = 0;
  std::string DBUser;
  std::string DBPassword;

  // The key under the registry root that holds the settings ("Software\PelMar\ContactID").
  virtual std::string RegistryPath() const = 0;
  // The registry's root directory: TRegistry::DefaultRoot().
  virtual std::string RegistryRoot() const;

  // Brings an older registry layout up to date (renamed value names, "Version" = 1) and loads
  // every value that exists over its field's default. A value of the wrong type or outside its
  // limits raises ERegistryException naming the file, the value and the bad data; no field is
  // changed then. A missing key or value leaves the default.
  void LoadSettings();
  // Writes every setting of the table, one subkey per category. Raises ERegistryException when a
  // key cannot be created or a value cannot be written.
  void SaveSettings();

  // The connection settings the main module works with. Raises ERegistryException when a port is
  // outside 1 to 65535.
  TServiceSettings ServiceSettings() const;

  // The configuration handler: reads the install state through InstalledQuery and runs the setup
  // form on the terminal (raises Exception when standard input or output is not a terminal).
  // The terminal is restored however the form ends. "Save and exit" writes all settings.
  void ShowSetup();
  // The same on a console of the caller's (tests).
  void ShowSetup(TConsole& Console);

  // The service manager, as the program entry binds it: whether the service is installed, and
  // installing (true) or uninstalling (false) it. Unset: not installed, and the button does
  // nothing but flip its caption.
  std::function<bool()> InstalledQuery;
  std::function<void(bool Install)> InstallAction;

  bool Installed() const { return FInstalled; }
  TConsoleMenu& Menu() { return *FMenu; }

  const std::string& Title() const { return FTitle; }
  const std::vector<TSettingItem>& Items() const { return FItems; }
  // The categories in the order of the form.
  const std::vector<std::string>& Categories() const { return FCategories; }

 protected:
  // Fills the item table. Called by the constructor, so an override in a derived class is not
  // used there.
  virtual void BuildMenu(bool General, bool Database);
  void AddCategory(const std::string& Name);
  void AddString(std::string& Field, const std::string& Caption, const std::string& Default,
                 int MaxLength);
  void AddInteger(std::int32_t& Field, const std::string& Caption, std::int32_t Default,
                  std::int32_t MinValue, std::int32_t MaxValue);

 private:
  // On the open key: moves Old's data to New with its type, when Old exists, New does not and
  // Old's data is not empty.
  static void RenameValue(TRegistry& Registry, const std::string& Old, const std::string& New);

  bool InstallClick();
  TCMenuCategory& LastCategory();

  std::string FTitle;
  std::unique_ptr<TConsoleMenu> FMenu;
  TCMenuButton* FInstallButton = nullptr;
  bool FInstalled = false;
  std::vector<std::string> FCategories;
  std::vector<TSettingItem> FItems;
};

// The setup object created last; cleared when it is destroyed.
extern TCustomSetup* CurrentSetup;

}  // namespace pelmar
