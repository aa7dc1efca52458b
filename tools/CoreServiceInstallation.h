// The installation that the development Core service serves: the ContactID service's own service
// object and its channels, accounts, groups and zones, held as the real system objects in a
// TSysObjectList. It is read from a human-readable JSON file, changed by the list actions the
// service sends, and turned into records and readable text.
//
// File format (every field but the marked ones may be left out; the defaults are the classes'):
//   { "service":  { "name", "description", "enabled", "versionMajor", "versionMinor",
//                   "buildDate", "infoText", "infoDate", "config", ... },
//     "channels": [ { "id"*, "name", "comType": "serial"|"tcp", "comAddress", "ackEvents",
//                     "receiverTimeout", "link", ... } ],
//     "accounts": [ { "id"*, "number"*: "1234", "testReport": "08:00"|null, "maintenance",
//                     "link", ... } ],
//     "groups":   [ { "id"*, "account"*: <account ID>, "number"*: "01", "link", ... } ],
//     "zones":    [ { "id"*, "account"*: <account ID>, "number"*: "003", "zoneType", "link",
//                     ... } ] }
// Every object also takes "name", "enabled", "description", "attrFlag", "attrByte1" and
// "attrByte2". Account, group and zone numbers are the hexadecimal digits the panel reports.
//
// Single-threaded: the tool's event loop owns the installation.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Common.h"
#include "Exception.h"

namespace pelmar::coreservice {

using TJson = nlohmann::ordered_json;

// The service number of the ContactID service, which is also the ID of its service object.
inline constexpr std::int32_t ServiceNumber = 5;

// A bad installation file, or a bad object given by the operator. The message names the file,
// the line and the field where there is one ("demo.json:12: zones[1].number: ...").
PELMAR_EXCEPTION_CLASS(EInstallationError, Exception);

class TInstallation {
 public:
  TInstallation();
  TInstallation(const TInstallation&) = delete;
  TInstallation& operator=(const TInstallation&) = delete;

  // Replaces the objects by those of the file. Raises EInstallationError (the objects are then
  // those of the file up to the error).
  void LoadFromFile(const std::string& FileName);
  void LoadFromText(const std::string& Text, const std::string& FileName);

  TSysObjectList& Objects() { return FObjects; }
  // Null when there is none.
  TCustomSysObject* Find(std::int32_t ID) const;

  // A new object from Given, a JSON object of the file's form with "type" ("Channel", "Account",
  // "Group", "Zone"), checked against the installation. The object is a clone: it belongs to no
  // list and joins no account. Raises EInstallationError.
  std::unique_ptr<TCustomSysObject> NewObject(const TJson& Given) const;
  // A copy of object ID with Fields (field name to value) applied, checked against the
  // installation; a clone as above. Raises EInstallationError.
  std::unique_ptr<TCustomSysObject> ChangedObject(std::int32_t ID, const TJson& Fields) const;
  // Turns the text of a field given on a command line ("Back door", "true", "003", "null") into
  // the value the field takes. Raises EInstallationError for an unknown field.
  TJson FieldValueFromText(const TCustomSysObject& Obj, const std::string& Field,
                           const std::string& Text) const;

  // Creates an object for a record at the buffer's position and loads it (the class chosen by
  // the record's type name; unknown types are kept as general objects). For the list's
  // OnCreateObject.
  static std::unique_ptr<TCustomSysObject> CreateFromRecord(TBufferProtocol& Buffer);

 private:
  TSysObjectList FObjects;
};

// 220 "Front door" (Zone)
std::string Describe(const TCustomSysObject& Obj);
// The properties in a few words: "enabled, tcp 127.0.0.1:10001, ack, receiver timeout 30 s".
std::string PropertiesText(TCustomSysObject& Obj);
// The status in words: "online, code 2 (online), "в сети"", "disarmed, alarm (state 0x08,
// flags 0x00)", "alarm (state 0x0001)".
std::string StatusText(TCustomSysObject& Obj);
// The object in the file's form, with its "type".
TJson ToJson(TCustomSysObject& Obj);
// "01 02 AB"
std::string HexText(const std::uint8_t* Data, std::size_t Count);

}  // namespace pelmar::coreservice
