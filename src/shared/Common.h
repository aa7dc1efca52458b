// System objects: the common base of everything the installation manages (services, channels,
// accounts, groups, zones ...), the list that holds a service's objects, and the general and
// service objects.
//
// An object carries common fields, change and status notifications with batching, and a
// serialised record by which it travels between the services and the Core service. The list
// keeps its objects sorted by ID under one re-entrant lock, tells its owner of every change and
// applies the list actions (add, change, delete) that arrive from the Core service.
//
// Objects have no lock of their own: they are changed by the thread that holds the list's lock,
// or by the thread that owns an object not yet in a list. Notifications run on the changing
// thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "BaseProtocol.h"
#include "DateTime.h"
#include "Utilities.h"
#include "Variant.h"

namespace pelmar {

// What happened to an object. One byte; 1, 4 and 6 are also the list-action codes on the wire.
enum TObjectAction : std::uint8_t {
  oaBeforeChange = 0,   // a property is about to change
  oaChanged = 1,        // properties have changed; as a list action: change the object
  oaDestroy = 2,        // the object is being destroyed (object handlers only)
  olaBeforeAdd = 3,     // the object is about to be added to a list
  olaAdded = 4,         // the object was added; as a list action: add the object
  olaBeforeDelete = 5,  // the object is about to leave its list
  olaDeleted = 6,       // the object left its list; as a list action: delete the object
};

class TCustomSysObject;
class TSysObjectList;

using TSOActionEvent = std::function<void(TCustomSysObject& AObject, TObjectAction Action)>;

// The caption of an object whose class set none.
inline constexpr const char* UnknownObjectCaption = "Неизвестный объект";

// The abstract base of every system object.
//
// Objects are made only by the factories Create, CreateOwn, CreateReadOnly and CreateClone,
// which run ClearStatus once the whole object is built. A derived class declares a public
// constructor taking the TCreateKey that the factories pass in, sets its defaults and caption
// there, and implements GetTypeName, WriteProperties and ReadProperties.
//
// Every property setter (here and in derived classes) compares first and does nothing for an
// unchanged value; otherwise it runs BeginChange, stores the value and runs EndChange. Status
// setters use BeginStatusChange / EndStatusChange instead and are never refused.
//
// Handlers that raise propagate their exception to the code that made the change (the value is
// already stored). The destructor cannot propagate: a handler failure while an object is being
// destroyed is written to the debug log and the destruction completes. Handlers called from the
// destructor see the object as a TCustomSysObject only.
class TCustomSysObject {
 protected:
  // Only the factories make a key, so only they can construct objects.
  class TCreateKey {
    friend class TCustomSysObject;
    TCreateKey() = default;
  };

 public:
  explicit TCustomSysObject(TCreateKey Key);
  // If the object is in a list: olaBeforeDelete (object handlers, then the list), leaves the
  // list, olaDeleted (object handlers, then the list); then oaDestroy to the object handlers.
  // A clone only forgets the list of its source, which does not hold it.
  virtual ~TCustomSysObject();
  TCustomSysObject(const TCustomSysObject&) = delete;
  TCustomSysObject& operator=(const TCustomSysObject&) = delete;

  // A new object with TypeName = GetTypeName, Enabled True, AttrByte1 1, AttrByte2 4,
  // AttrByte3 4, the class's caption, and the status ClearStatus gives.
  template <class T>
  static std::unique_ptr<T> Create() {
    return Construct<T>(TCreateMode::Plain, nullptr);
  }
  // An object whose status this service produces: OwnStatus is set before ClearStatus runs,
  // and status sections of incoming records are skipped.
  template <class T>
  static std::unique_ptr<T> CreateOwn() {
    return Construct<T>(TCreateMode::Own, nullptr);
  }
  // An object whose property setters raise EBugCheckError unless it is loading.
  template <class T>
  static std::unique_ptr<T> CreateReadOnly() {
    return Construct<T>(TCreateMode::ReadOnly, nullptr);
  }
  // A copy of Source made through its record, sharing Source's owner list as OwnerList (the
  // list does not hold the clone). Source may be null for an empty clone.
  template <class T>
  static std::unique_ptr<T> CreateClone(TCustomSysObject* Source) {
    return Construct<T>(TCreateMode::Clone, Source);
  }

  // Properties. The setters follow the setter pattern above.
  std::int32_t ID() const { return FID; }
  virtual void SetID(std::int32_t Value);
  const std::string& Name() const { return FName; }
  virtual void SetName(const std::string& Value);
  bool Enabled() const { return FEnabled; }
  virtual void SetEnabled(bool Value);
  bool AttrFlag() const { return FAttrFlag; }
  virtual void SetAttrFlag(bool Value);
  // Compared as variants (kind and value).
  const TVariant& Description() const { return FDescription; }
  virtual void SetDescription(const TVariant& Value);
  std::uint8_t AttrByte1() const { return FAttrByte1; }
  virtual void SetAttrByte1(std::uint8_t Value);
  std::uint8_t AttrByte2() const { return FAttrByte2; }
  virtual void SetAttrByte2(std::uint8_t Value);
  // Local only: not part of the record.
  std::uint8_t AttrByte3() const { return FAttrByte3; }
  virtual void SetAttrByte3(std::uint8_t Value);
  const std::string& TypeName() const { return FTypeName; }
  virtual void SetTypeName(const std::string& Value);
  // The localised name of the kind of object. The base setter does nothing: the caption stays
  // the class's own.
  const std::string& Caption() const { return FCaption; }
  virtual void SetCaption(const std::string& Value);
  std::uint8_t ServiceID() const { return FServiceID; }
  virtual void SetServiceID(std::uint8_t Value);

  bool ReadOnly() const { return FReadOnly; }
  bool IsClone() const { return FIsClone; }
  bool Loading() const { return FLoading; }
  // Set by the list while it applies a change that came from the Core service.
  bool RemoteChange() const { return FRemoteChange; }
  bool OwnStatus() const { return FOwnStatus; }
  // Set while a failed load is being rolled back.
  bool Restoring() const { return FRestoring; }
  // The object was loaded from a record at least once.
  bool Loaded() const { return FLoaded; }
  TSysObjectList* OwnerList() const { return FOwnerList; }
  // A list has taken the object in: its Add completed. An object whose creation or Add failed
  // never was, and owns nothing the list holds.
  bool Listed() const { return FListed; }

  // The bracket every property setter runs in. BeginChange raises EBugCheckError "Object is
  // readonly! Use clone for update!" for a read-only object that is neither a clone nor loading,
  // and otherwise announces oaBeforeChange (once per update). EndChange announces oaChanged, or
  // inside an update counts the change.
  void BeginChange();
  void EndChange();

  // Batch property changes: one oaBeforeChange at the first change, one oaChanged at the
  // outermost EndUpdate, which returns the number of changes of the batch. CancelUpdate closes
  // one level without any notification.
  void BeginUpdate();
  std::int32_t EndUpdate();
  void CancelUpdate();
  // Batch status changes into one status notification; EndStatusUpdate returns their number.
  // A status change inside a property update that already changed properties is announced only
  // by the property change.
  void BeginStatusUpdate();
  std::int32_t EndStatusUpdate();

  // Handlers are called last registered first.
  void AddChangeHandler(TSOActionEvent Handler);
  void AddStatusHandler(TSOActionEvent Handler);

  // Appends the object's record at the buffer's position: ID, record length, the common
  // fields, the properties section and the status section, each section with its length.
  void SaveToBuffer(TBufferProtocol& Buffer);
  // Reads a record at the buffer's position into the object, sending at most one
  // oaBeforeChange and one oaChanged. Lengths are checked against the buffer and the record
  // before anything is applied; a section read beyond its length, or a record field beyond the
  // record, raises Exception. On failure an object that was loaded before, produces its own
  // status or is in a list gets its previous state back from a backup record; a fresh object
  // keeps what was read (its creator discards it). The error propagates in every case. The
  // buffer's position is then after the record (or undefined after a failure).
  void LoadFromBuffer(TBufferProtocol& Buffer);
  // Copies Source by serialising it, in one update.
  virtual void Assign(TCustomSysObject& Source);

  // Caption, or TypeName while the caption is the unknown-object text. Used in log texts.
  std::string KindText() const;

  // The TypeName that new objects of the class get ("Service", "Zone" ...).
  virtual std::string GetTypeName() const = 0;
  virtual bool IsConcreteClass() const { return false; }

  // Status section. ClearStatus puts the status into the state it has before any status was
  // received; WriteStatus writes the section; ReadStatus reads one of Size bytes. The base class
  // has no status.
  virtual void ClearStatus() {}
  virtual void WriteStatus(TBufferProtocol& Buffer);
  virtual void ReadStatus(TBufferProtocol& Buffer, std::int32_t Size);

 protected:
  virtual void CheckWritable();
  virtual void DoBeforeChange();
  virtual void DoChanged();
  virtual void BeginStatusChange();
  virtual void EndStatusChange();
  virtual void DoBeforeStatusChange();
  virtual void DoStatusChanged();
  // Properties section: written and read by the class (Size bytes were written for it).
  virtual void WriteProperties(TBufferProtocol& Buffer) = 0;
  virtual void ReadProperties(TBufferProtocol& Buffer, std::int32_t Size) = 0;
  virtual void NotifyChange(TObjectAction Action);
  virtual void NotifyStatus(TObjectAction Action);

  // For constructors: their defaults and the class's caption.
  std::string FCaption = UnknownObjectCaption;
  std::uint8_t FServiceID = 0;
  bool FEnabled = true;
  bool FOwnStatus = false;

 private:
  friend class TSysObjectList;
  enum class TCreateMode { Plain, Own, ReadOnly, Clone };

  template <class T>
  static std::unique_ptr<T> Construct(TCreateMode Mode, TCustomSysObject* Source) {
    static_assert(std::is_base_of_v<TCustomSysObject, T>,
                  "system objects derive from TCustomSysObject");
    std::unique_ptr<T> Obj = std::make_unique<T>(TCreateKey{});
    Obj->AfterConstruction(Mode, Source);
    return Obj;
  }
  // The part of construction that needs the complete object: flags of the mode, the type name,
  // ClearStatus, and for a clone the copy of Source.
  void AfterConstruction(TCreateMode Mode, TCustomSysObject* Source);
  // Reads one record through the setters (the inner step of LoadFromBuffer).
  void ReadRecord(TBufferProtocol& Buffer);
  // After a failed read: restores Backup if there is one, and closes the update levels the
  // load opened. Never raises; a failure of the restore itself goes to the debug log.
  void RollBack(TBufferProtocol* Backup, std::int32_t SavedUpdateCount) noexcept;
  void NotifyHandlers(const std::vector<TSOActionEvent>& Handlers, TObjectAction Action);

  std::int32_t FID = 0;
  std::string FName;
  std::string FTypeName;
  bool FAttrFlag = false;
  TVariant FDescription;
  std::uint8_t FAttrByte1 = 1;
  std::uint8_t FAttrByte2 = 4;
  std::uint8_t FAttrByte3 = 4;
  std::vector<TSOActionEvent> FChangeHandlers;
  std::vector<TSOActionEvent> FStatusHandlers;
  bool FReadOnly = false;
  bool FIsClone = false;
  bool FLoading = false;
  bool FRemoteChange = false;
  bool FRestoring = false;
  bool FLoaded = false;
  bool FListed = false;
  bool FChangePending = false;
  std::int32_t FUpdateCount = 0;
  std::int32_t FChangeCount = 0;
  bool FStatusPending = false;
  std::int32_t FStatusUpdateCount = 0;
  std::int32_t FStatusChangeCount = 0;
  TSysObjectList* FOwnerList = nullptr;  // not owned; for a clone the list of its source
};

// The service's list of system objects, sorted by ID (duplicate IDs refused), guarded by one
// re-entrant lock. It owns its objects: Delete, Clear and the destructor free them; an object
// freed by someone else leaves the list by itself.
//
// The list is used from the Core polling thread (loads) and the work thread. Operations that
// say so take the lock; Count(), Items and FindNext do not, so callers that iterate hold
// Lock/Unlock around the loop. Handlers run on the thread that made the change, those of Clear,
// Load, ObjectLoad and ObjectLoadMulti while the lock is held.
class TSysObjectList {
 public:
  using TNotifyEvent = std::function<void()>;
  using TObjectEvent = std::function<void(TCustomSysObject& AObject)>;
  // Creates an object from the record at the buffer's position and loads it (consuming the
  // record), or answers null to have the record skipped.
  using TCreateObjectEvent =
      std::function<std::unique_ptr<TCustomSysObject>(TBufferProtocol& Buffer)>;
  using TObjectFilter = std::function<bool(TCustomSysObject& Obj)>;

  TSysObjectList();
  // Clears the list, freeing every object.
  ~TSysObjectList();
  TSysObjectList(const TSysObjectList&) = delete;
  TSysObjectList& operator=(const TSysObjectList&) = delete;

  // Number of objects (no lock).
  std::int32_t Count() const { return FIndex.GetCount(); }
  // Number of objects of class T: exactly T when ExactClass, T or a class derived from it
  // otherwise (under the lock).
  template <class T>
  std::int32_t Count(bool ExactClass) const;
  // The object at Index in ID order (no lock). Raises EListError for a bad index.
  TCustomSysObject* Items(std::int32_t Index) const {
    return FIndex.GetObjectAs<TCustomSysObject>(Index);
  }
  // Bisection search by ID (under the lock); Obj is null when not found.
  bool FindById(std::int32_t ID, TCustomSysObject*& Obj) const;
  // The first object in ID order for which Predicate answers true (under the lock); Obj is left
  // unchanged when there is none. Linear in the number of objects.
  bool Find(const TObjectFilter& Predicate, TCustomSysObject*& Obj) const;
  // From position Index on, the next object of class T (exact or derived as for Count); Index
  // ends after the object found, or at Count() with Obj null. No lock: REQUIRES Lock held.
  template <class T>
  bool FindNext(std::int32_t& Index, bool ExactClass, T*& Obj) const;

  // Enter and leave the lock; Name goes to the lock's trace handler.
  void Lock(const std::string& Name = "") const { FLock.Acquire(Name); }
  void Unlock(const std::string& Name = "") const { FLock.Release(Name); }
  // The lock itself, for installing a trace handler.
  TDebugCriticalSection& CriticalSection() const { return FLock; }

  // Adds Obj and returns its index; from then on the list owns it. Raises EBugCheckError "Can
  // not add clone to list!" for a clone, EBugCheckError for an object already in a list, and
  // the index's duplicate error for a known ID. When a handler of olaAdded raises, the addition
  // is undone and the error propagates. After any failure the caller still owns Obj.
  std::int32_t Add(TCustomSysObject* Obj);
  // Takes Obj out with olaBeforeDelete / olaDeleted notifications and frees it; returns its
  // former index. An object in no list is notified about and freed (-1), also when a handler
  // raises; an object of another list is left alone (-1). When a handler of olaDeleted raises,
  // Obj is put back and not freed.
  std::int32_t Delete(TCustomSysObject* Obj);
  // Takes Obj out without notifications and without freeing it; -1 when it is not here.
  std::int32_t Remove(TCustomSysObject* Obj);
  // Frees every object, without list notifications (object handlers still hear of it).
  void Clear();
  // Runs OnLoad with list notifications off, then OnLoaded (not when OnLoad raised), under the
  // lock.
  void Load();
  bool Loading() const { return FLoading; }
  bool Clearing() const { return FClearing; }

  // Writes the objects Filter accepts, in ID order, as a counted sequence of add actions: an
  // Integer count, then per object the byte 4 and its record.
  void ObjectsSaveToBufferFilter(TBufferProtocol& Buffer, const TObjectFilter& Filter);
  // Applies a counted sequence of list actions (Integer n, n actions), after clearing the list
  // when ClearFirst, all under the lock.
  void ObjectLoadMulti(TBufferProtocol& Buffer, bool ClearFirst);
  // Applies one list action sent by the Core service (RemoteChange is set on the object while
  // it is applied), under the lock. Returns the object for a change, null otherwise. An action
  // byte other than 1, 4, 6 raises EAssertionFailed "Invalid list action"; a change (or add) of
  // a known object by a record of another type name raises Exception and changes nothing.
  TCustomSysObject* ObjectLoad(TBufferProtocol& Buffer);
  // Writes one list action: the action byte, then the record for 1 and 4, the ID for 6.
  void WriteListAction(TCustomSysObject& Obj, TObjectAction Action, TBufferProtocol& Buffer);
  // Skips one object record (ID, record length and that many bytes). Raises Exception for a
  // negative length and "Attempt to move beyond end of buffer!" for one past the buffer.
  static void SkipObject(TBufferProtocol& Buffer);

  // Called by the objects. Nothing while the list loads or clears; Notify also nothing for an
  // object that is restoring.
  void Notify(TCustomSysObject& Obj, TObjectAction Action);
  void NotifyBeforeStatusChange(TCustomSysObject& Obj);
  void NotifyStatusChange(TCustomSysObject& Obj);

  // Events; each runs on the thread that made the change.
  TNotifyEvent OnLoad;                // fills the list
  TNotifyEvent OnLoaded;              // after OnLoad
  TSOActionEvent OnBeforeChange;      // oaBeforeChange, olaBeforeAdd, olaBeforeDelete
  TSOActionEvent OnChange;            // oaChanged, olaAdded, olaDeleted
  TObjectEvent OnBeforeStatusChange;  // before an object's status changes
  TObjectEvent OnStatusChange;        // after an object's status changed
  TCreateObjectEvent OnCreateObject;  // makes objects for add actions

 private:
  template <class T>
  static bool IsOfClass(TCustomSysObject* Obj, bool ExactClass) {
    return ExactClass ? typeid(*Obj) == typeid(T) : dynamic_cast<T*>(Obj) != nullptr;
  }
  // Index of Obj itself (found by its ID, or by a scan when its ID no longer matches), or -1.
  // REQUIRES: the lock is held.
  std::int32_t IndexOfObject(const TCustomSysObject* Obj) const;
  TCustomSysObject* ApplyListAction(TBufferProtocol& Buffer, bool Remote);

  TIndexedObjectList FIndex;  // ID -> object; guarded by FLock
  mutable TDebugCriticalSection FLock;
  bool FLoading = false;
  bool FClearing = false;
};

template <class T>
std::int32_t TSysObjectList::Count(bool ExactClass) const {
  static const std::string LockName = "TSysObjectList.Count";
  TCriticalSectionGuard Guard(FLock, LockName);
  std::int32_t Result = 0;
  for (std::int32_t I = 0; I < FIndex.GetCount(); ++I)
    if (IsOfClass<T>(Items(I), ExactClass))
      ++Result;
  return Result;
}

template <class T>
bool TSysObjectList::FindNext(std::int32_t& Index, bool ExactClass, T*& Obj) const {
  Obj = nullptr;
  if (Index < 0)
    Index = 0;
  while (Index < FIndex.GetCount()) {
    TCustomSysObject* Candidate = Items(Index++);
    if (IsOfClass<T>(Candidate, ExactClass)) {
      Obj = static_cast<T*>(Candidate);
      return true;
    }
  }
  return false;
}

// A system object of any class, holding its class-specific sections as opaque bytes. Used to
// read a record's type, service and ID before deciding which class to create. Unlike other
// classes it takes its caption from the record.
class TGeneralSysObject : public TCustomSysObject {
 public:
  explicit TGeneralSysObject(TCreateKey Key);

  static std::string ClassTypeName() { return "SysObject"; }
  std::string GetTypeName() const override { return ClassTypeName(); }
  bool IsConcreteClass() const override { return true; }
  void SetCaption(const std::string& Value) override;

  // The properties and status sections, byte for byte.
  const TBufferProtocol& Data() const { return *FData; }
  const TBufferProtocol& StatusData() const { return *FStatusData; }

  void ClearStatus() override;
  void WriteStatus(TBufferProtocol& Buffer) override;
  void ReadStatus(TBufferProtocol& Buffer, std::int32_t Size) override;

 protected:
  void WriteProperties(TBufferProtocol& Buffer) override;
  void ReadProperties(TBufferProtocol& Buffer, std::int32_t Size) override;

 private:
  std::unique_ptr<TBufferProtocol> FData;
  std::unique_ptr<TBufferProtocol> FStatusData;
};

// The system object of a service: its version, online state and status text, and an opaque
// configuration block whose content the owning service defines.
//
// Properties section: Word VersionMajor, Word VersionMinor, DateTime BuildDate, String
// InfoText, DateTime InfoDate, Integer n and n bytes of Config. Status section: Boolean Online,
// Byte StatusCode, String StatusText, String StatusDetail.
class TSysService : public TCustomSysObject {
 public:
  explicit TSysService(TCreateKey Key);

  static std::string ClassTypeName() { return "Service"; }
  std::string GetTypeName() const override { return ClassTypeName(); }
  bool IsConcreteClass() const override { return true; }

  // Property bracket. Dates are compared as doubles; a NaN on either side counts as equal.
  std::uint16_t VersionMajor() const { return FVersionMajor; }
  void SetVersionMajor(std::uint16_t Value);
  std::uint16_t VersionMinor() const { return FVersionMinor; }
  void SetVersionMinor(std::uint16_t Value);
  TDateTime BuildDate() const { return FBuildDate; }
  void SetBuildDate(TDateTime Value);
  // Status bracket.
  TDateTime InfoDate() const { return FInfoDate; }
  void SetInfoDate(TDateTime Value);
  const std::string& InfoText() const { return FInfoText; }
  void SetInfoText(const std::string& Value);
  std::uint8_t StatusCode() const { return FStatusCode; }
  void SetStatusCode(std::uint8_t Value);
  const std::string& StatusText() const { return FStatusText; }
  void SetStatusText(const std::string& Value);
  const std::string& StatusDetail() const { return FStatusDetail; }
  void SetStatusDetail(const std::string& Value);
  bool Online() const { return FOnline; }
  // Going offline also sets code 1, "не в сети" and an empty detail; one status change.
  virtual void SetOnline(bool Value);
  // The configuration block.
  TBufferProtocol& Config() { return *FConfig; }
  // Sets the three status values as one status change (none when all are as stored).
  void SetStatus(const std::string& Text, std::uint8_t Code, const std::string& Detail);

  // Online for an object with an ID; true for one without.
  virtual bool IsOnline() const;

  // Own status: online, 2, "в сети"; otherwise offline, 1, "не в сети"; the detail empty.
  void ClearStatus() override;
  void WriteStatus(TBufferProtocol& Buffer) override;
  // Nothing for an object with own status.
  void ReadStatus(TBufferProtocol& Buffer, std::int32_t Size) override;

 protected:
  void WriteProperties(TBufferProtocol& Buffer) override;
  void ReadProperties(TBufferProtocol& Buffer, std::int32_t Size) override;
  // Reads a configuration block; when it differs from Config, replaces Config (property
  // bracket) and answers whether the new block is not empty.
  virtual bool ReadConfig(TBufferProtocol& Buffer, std::int32_t Size);
  // Empties Config before the properties section is written.
  virtual void ResetConfig();
  // Called after a non-empty configuration block different from the previous one was read.
  virtual void ConfigChanged() {}
  // Called after ResetConfig when the properties section is written: a derived class writes its
  // configuration into Config here.
  virtual void BuildConfig() {}

 private:
  std::uint16_t FVersionMajor = 0;
  std::uint16_t FVersionMinor = 0;
  TDateTime FBuildDate = 0;
  TDateTime FInfoDate = 0;
  std::string FInfoText;
  bool FOnline = false;
  std::uint8_t FStatusCode = 0;
  std::string FStatusText;
  std::string FStatusDetail;
  std::unique_ptr<TBufferProtocol> FConfig;
};

// The service object the service client keeps for its own service: its configuration block
// keeps what was put into it when the object is written.
class TDefaultSysService : public TSysService {
 public:
  explicit TDefaultSysService(TCreateKey Key) : TSysService(Key) {}

 protected:
  void ResetConfig() override {}
};

}  // namespace pelmar
