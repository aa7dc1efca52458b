// The check of the database structure version. TDBUpdateDate holds the version this service was
// built for as a date and compares it with the version the database reports about itself
// (OnCheckVersion); any other day means the database does not fit the service. The component
// also carries a list of update scripts in its stored form; this service stores an empty list
// and applies no scripts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "DateTime.h"

namespace pelmar {

class TDatabase;

// Kinds of a version value.
inline constexpr std::uint8_t vkDate = 0;
inline constexpr std::uint8_t vkNumber = 1;
inline constexpr std::uint8_t vkText = 2;

struct TVersion {
  std::string Text;         // the text kind; empty otherwise
  std::int32_t Number = 0;  // the number kind; 0 otherwise
  TDateTime Date = 0;       // the date kind: days since 1899-12-30 plus the fraction of the day
  std::uint8_t Kind = vkDate;

  bool operator==(const TVersion&) const = default;
};

struct TUpdateScript {
  TVersion FromVersion;
  TVersion ToVersion;
  std::vector<std::string> Script;  // lines of SQL text
};

using TUpdateScriptList = std::vector<TUpdateScript>;

// The stored form of an empty script list: marker -1 and a count of 0.
inline constexpr std::array<std::uint8_t, 8> EmptyScriptList = {0xFF, 0xFF, 0xFF, 0xFF,
                                                                0x00, 0x00, 0x00, 0x00};

class TCustomDBUpdate {
 public:
  struct TShutdownOptions {
    std::string UserName;
    std::string ServerName;
  };

  TCustomDBUpdate() = default;
  virtual ~TCustomDBUpdate() = default;
  TCustomDBUpdate(const TCustomDBUpdate&) = delete;
  TCustomDBUpdate& operator=(const TCustomDBUpdate&) = delete;

  // -1 when A is older than B, 0 when they are the same version, 1 when A is newer. Dates
  // compare by whole days (the time of day is ignored). Raises Exception for versions of
  // different kinds.
  virtual std::int8_t CompareVersions(const TVersion& A, const TVersion& B);
  // Fills CurrentVersion with the version the database reports.
  virtual void GetCurrentVersion() = 0;

  // GetCurrentVersion, then CompareVersions(expected version, CurrentVersion): 0 when the
  // database has the expected version. Exceptions of GetCurrentVersion propagate.
  std::int8_t CompareWithDatabase();

  const TVersion& CurrentVersion() const { return FCurrentVersion; }
  const TVersion& LastKnownVersion() const { return FLastKnownVersion; }

  // Reads the stored form of the script list, replacing the current list. Little-endian: marker
  // -1 (4 bytes), count (4), and per script FromVersion, ToVersion (each text as a 4-byte length
  // and its bytes, number (4), date (8-byte float)) and the script text (4-byte length and its
  // bytes, lines separated by CR LF). Malformed bytes raise EStreamError and leave the list as it
  // was.
  void ReadScripts(const std::uint8_t* Data, std::size_t Size);
  const TUpdateScriptList& UpdateScripts() const { return FUpdateScripts; }

  // Settings of the update machinery, kept for the owner; this service applies no scripts.
  TDatabase* Database = nullptr;
  std::string Terminator = ";";
  std::string AllowedUser;
  bool ShutdownForUpdate = false;
  TShutdownOptions ShutdownOptions;

 protected:
  // The kind the versions of stored scripts take.
  virtual std::uint8_t ScriptVersionKind() const { return vkDate; }

  TVersion FCurrentVersion;
  TVersion FLastKnownVersion;
  TUpdateScriptList FUpdateScripts;
};

class TDBUpdateDate : public TCustomDBUpdate {
 public:
  using TCheckVersionEvent = std::function<void(TDateTime& CurrentVersion)>;

  TDateTime LastKnownDBVersion() const { return FLastKnownVersion.Date; }
  // Stores the date and makes the expected version a date.
  void SetLastKnownDBVersion(TDateTime Value);

  // Sets CurrentVersion to date 0, then asks OnCheckVersion. Raises Exception
  // "OnGetVersion event not assigned!" without a handler and "CurrentVersion not assigned!"
  // when the handler leaves the date at 0.
  void GetCurrentVersion() override;

  // Supplies the database's version; runs on the thread that calls CompareWithDatabase.
  TCheckVersionEvent OnCheckVersion;
};

}  // namespace pelmar
