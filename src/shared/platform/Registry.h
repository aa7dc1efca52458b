// The registry: a small file-backed store of keys and typed values for the service's settings
// and its event-log registration.
//
// A key is a path of names separated by '\' ("Software\PelMar\ContactID\General"), always taken
// from the root directory (a leading '\' is allowed). Each key is a directory under the root; its
// values are in the file "values.conf" inside it. Key and value names are looked up without
// regard to ASCII letter case, and the spelling they were created with is kept. A key name may
// not contain '/', be "." or "..", or be "values.conf" or begin with "values.conf.".
//
// The values file is text an administrator can edit, one value per line:
//
//   # Comments start with '#' or ';'; blank lines and comments are kept when the file is written.
//   Core service address = string "127.0.0.1"
//   Core service port = dword 4701
//   DisplayNameFile = expand "/usr/local/bin/PelMarMessages"
//   Sources = multi "PelCID" "Other"
//   "Name with = sign" = string "line 1\nline 2 with \"quotes\" and a \\ backslash"
//
// Types: string (text), expand (text with variables left unexpanded), dword (32-bit number:
// decimal from -2147483648 to 4294967295, or hexadecimal 0x0 to 0xFFFFFFFF), multi (zero or more
// quoted texts). Texts are quoted; inside quotes \\ \" \n \r \t and \xHH (two hexadecimal digits)
// stand for their characters. A name is written bare when it has no '=', '"', '\', control
// characters or leading and trailing blanks and does not start with '#' or ';', quoted otherwise.
//
// Every write goes to disk at once and atomically: the whole file is written to a temporary file
// in the key's directory, flushed, renamed over the old one, and the directory is flushed, so a
// reader or a crash sees either the old file or the new one. Writers of one key are serialised by
// an advisory lock on its directory. A file that holds a value whose name contains "password"
// (any letter case) gets mode 0600; other new files 0644, existing ones keep their mode.
//
// One TRegistry object belongs to one thread; any number of objects may work on the same root.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Exception.h"

namespace pelmar {

enum class TRegDataType { rdUnknown, rdString, rdExpandString, rdInteger, rdMultiSz };

// A registry failure. ErrorCode is the errno value behind it, 0 when the system was not involved
// (a missing value, a value of another type, a malformed file).
class ERegistryException : public Exception {
 public:
  explicit ERegistryException(std::string Message, int ErrorCode = 0)
      : Exception(std::move(Message)), FErrorCode(ErrorCode) {}
  const char* ClassName() const override { return "ERegistryException"; }
  int ErrorCode() const { return FErrorCode; }

 private:
  int FErrorCode;
};

// One value of a key.
struct TRegValue {
  std::string Name;
  TRegDataType DataType = TRegDataType::rdUnknown;
  std::string Text;               // rdString, rdExpandString
  std::int32_t Number = 0;        // rdInteger
  std::vector<std::string> List;  // rdMultiSz

  bool operator==(const TRegValue&) const = default;
};

// The content of one values file, line by line. Comments, blank lines and values nobody changed
// keep their text; a changed value's line is written anew.
class TRegistryFile {
 public:
  // Reads Text; FileName only names the file in messages. Raises ERegistryException
  // "FILE:LINE: REASON: LINE-TEXT" for the first line that is not a comment, a blank line or a
  // well-formed value, and for a value name that occurs twice.
  static TRegistryFile Parse(const std::string& Text, const std::string& FileName);
  // The file's text, each line ended by a line feed.
  std::string Format() const;

  // The value called Name (any letter case), or nullptr.
  const TRegValue* Find(const std::string& Name) const;
  // Replaces the value of that name, keeping its line and the spelling of its name, or appends it.
  void Set(const TRegValue& Value);
  // Removes the value and its line; false when there was none.
  bool Remove(const std::string& Name);
  // The names of the values in file order.
  std::vector<std::string> Names() const;
  // True when a value's name contains "password" in any letter case.
  bool HoldsPassword() const;

  // The line that Set writes for Value.
  static std::string FormatValue(const TRegValue& Value);

 private:
  struct TLine {
    std::string Text;
    int Value = -1;  // index into FValues, or -1 for a comment or blank line
  };
  std::vector<TLine> FLines;
  std::vector<TRegValue> FValues;
};

class TRegistry {
 public:
  TRegistry();  // root from PELMAR_SETTINGS_DIR or /etc/pelmar
  explicit TRegistry(std::string RootDirectory);

  // PELMAR_SETTINGS_DIR when it is set and not empty, else "/etc/pelmar".
  static std::string DefaultRoot();
  const std::string& RootDirectory() const { return FRoot; }

  // Opens Key for reading and writing, creating it (and the root) when CanCreate. Returns false
  // when it is missing and !CanCreate, when its name is not allowed, or when it cannot be
  // created; LastError() (and errno) then tell why, and a key that was open stays open. On
  // success the new key replaces the one that was open.
  bool OpenKey(const std::string& Key, bool CanCreate);
  // Opens an existing Key; writes to it raise.
  bool OpenKeyReadOnly(const std::string& Key);
  void CloseKey();
  bool KeyExists(const std::string& Key);
  // Deletes Key with all its subkeys; false when it does not exist or could not be removed. The
  // root cannot be deleted. The open key is closed when it lies inside Key.
  bool DeleteKey(const std::string& Key);

  // Value operations on the open key. With no key open, ValueExists and DeleteValue answer
  // false, the lists are empty, GetDataType answers rdUnknown, and reads and writes raise.
  // Anything that reads the values file raises when the file is malformed or unreadable.
  bool ValueExists(const std::string& Name);
  bool DeleteValue(const std::string& Name);
  TRegDataType GetDataType(const std::string& Name);
  std::vector<std::string> GetValueNames();
  // The open key's subkeys, sorted without regard to letter case.
  std::vector<std::string> GetKeyNames();

  // Reads raise ERegistryException when the value is missing or of another type.
  std::string ReadString(const std::string& Name);  // string or expandable string, unexpanded
  std::int32_t ReadInteger(const std::string& Name);
  std::vector<std::string> ReadMultiSz(const std::string& Name);
  // Writes replace a value of the name whatever its type; they raise ERegistryException with
  // the file and the system's error text when the file cannot be written.
  void WriteString(const std::string& Name, const std::string& Value);
  void WriteExpandString(const std::string& Name, const std::string& Value);
  void WriteInteger(const std::string& Name, std::int32_t Value);
  void WriteMultiSz(const std::string& Name, const std::vector<std::string>& Value);

  // The open key's path as stored ("Software\PelMar\ContactID"); "" when none is open (or the
  // root itself is open).
  std::string CurrentPath() const;
  // The file that holds the open key's values; "" when none is open.
  std::string ValuesFileName() const;
  // The errno value of the last OpenKey, OpenKeyReadOnly, KeyExists or DeleteKey that failed.
  int LastError() const { return FLastError; }

 private:
  bool Open(const std::string& Key, bool CanCreate, bool ReadOnly);
  bool Resolve(const std::string& Key, bool CanCreate, std::string& Directory, std::string& Path);
  // "KEY (FILE)" for messages.
  std::string Where() const;
  // The open key's values, read afresh.
  TRegistryFile Load() const;
  const TRegValue& Get(const TRegistryFile& File, const std::string& Name) const;
  // Under the key's lock: reads the values file, lets Change alter it and, when Change answers
  // true, writes it back atomically. Failure starts the messages ("Failed to set data for").
  template <typename F>
  bool Modify(const std::string& Name, const char* Failure, F&& Change);

  std::string FRoot;
  bool FOpen = false;
  bool FReadOnly = false;
  std::string FDirectory;  // the open key's directory
  std::string FPath;       // the open key's path as stored
  int FLastError = 0;
};

}  // namespace pelmar
