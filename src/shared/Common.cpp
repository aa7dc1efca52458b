#include "Common.h"

#include <cmath>
#include <exception>

#include "Debug.h"
#include "Exception.h"
#include "Format.h"

namespace pelmar {

namespace {

const char* const OnlineText = "в сети";
const char* const OfflineText = "не в сети";

// Raises unless 0 <= Length <= Available: a length read from a record must lie inside what
// holds it.
void CheckLength(const char* What, std::int32_t Length, std::int32_t Available) {
  if (Length < 0 || Length > Available)
    throw Exception(Format("Invalid %s length %d (%d bytes available)", What, Length,
                           Available < 0 ? 0 : Available));
}

// Raises when a reader went past the end of what it was given.
void CheckConsumed(const char* What, const TBufferProtocol& Buffer, std::int32_t End) {
  if (Buffer.Position() > End)
    throw Exception(
        Format("Invalid %s: %d bytes read beyond its end", What, Buffer.Position() - End));
}

// The text of a caught exception for the debug log.
std::string DescribeCurrentException() {
  try {
    throw;
  } catch (const Exception& E) {
    return std::string(E.ClassName()) + ": " + E.Message();
  } catch (const std::exception& E) {
    return E.what();
  } catch (...) {
    return "unknown exception";
  }
}

bool SameDate(TDateTime A, TDateTime B) {
  return std::isnan(A) || std::isnan(B) || A == B;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TCustomSysObject

TCustomSysObject::TCustomSysObject(TCreateKey) {}

void TCustomSysObject::AfterConstruction(TCreateMode Mode, TCustomSysObject* Source) {
  FIsClone = Mode == TCreateMode::Clone;
  if (Mode == TCreateMode::Own)
    FOwnStatus = true;
  FTypeName = GetTypeName();
  ClearStatus();
  if (Mode == TCreateMode::ReadOnly)
    FReadOnly = true;
  if (FIsClone && Source != nullptr) {
    Assign(*Source);
    FOwnerList = Source->FOwnerList;
  }
}

TCustomSysObject::~TCustomSysObject() {
  if (TSysObjectList* List = FOwnerList) {
    try {
      NotifyChange(olaBeforeDelete);
      List->Notify(*this, olaBeforeDelete);
    } catch (...) {
      DebugLogFmt("Object %d: olaBeforeDelete handler failed while destroying: %s", FID,
                  DescribeCurrentException());
    }
    // The clone's list does not hold it, and must not hear that the original was deleted.
    if (FIsClone) {
      FOwnerList = nullptr;
      List = nullptr;
    } else {
      try {
        List->Remove(this);
      } catch (...) {
        DebugLogFmt("Object %d: could not leave its list while destroying: %s", FID,
                    DescribeCurrentException());
      }
    }
    try {
      NotifyChange(olaDeleted);
      if (List != nullptr)
        List->Notify(*this, olaDeleted);
    } catch (...) {
      DebugLogFmt("Object %d: olaDeleted handler failed while destroying: %s", FID,
                  DescribeCurrentException());
    }
  }
  try {
    NotifyChange(oaDestroy);
  } catch (...) {
    DebugLogFmt("Object %d: oaDestroy handler failed: %s", FID, DescribeCurrentException());
  }
}

void TCustomSysObject::SetID(std::int32_t Value) {
  if (Value == FID)
    return;
  BeginChange();
  FID = Value;
  EndChange();
}

void TCustomSysObject::SetName(const std::string& Value) {
  if (Value == FName)
    return;
  BeginChange();
  FName = Value;
  EndChange();
}

void TCustomSysObject::SetEnabled(bool Value) {
  if (Value == FEnabled)
    return;
  BeginChange();
  FEnabled = Value;
  EndChange();
}

void TCustomSysObject::SetAttrFlag(bool Value) {
  if (Value == FAttrFlag)
    return;
  BeginChange();
  FAttrFlag = Value;
  EndChange();
}

void TCustomSysObject::SetDescription(const TVariant& Value) {
  if (Value == FDescription)
    return;
  BeginChange();
  FDescription = Value;
  EndChange();
}

void TCustomSysObject::SetAttrByte1(std::uint8_t Value) {
  if (Value == FAttrByte1)
    return;
  BeginChange();
  FAttrByte1 = Value;
  EndChange();
}

void TCustomSysObject::SetAttrByte2(std::uint8_t Value) {
  if (Value == FAttrByte2)
    return;
  BeginChange();
  FAttrByte2 = Value;
  EndChange();
}

void TCustomSysObject::SetAttrByte3(std::uint8_t Value) {
  if (Value == FAttrByte3)
    return;
  BeginChange();
  FAttrByte3 = Value;
  EndChange();
}

void TCustomSysObject::SetTypeName(const std::string& Value) {
  if (Value == FTypeName)
    return;
  BeginChange();
  FTypeName = Value;
  EndChange();
}

void TCustomSysObject::SetCaption(const std::string&) {}

void TCustomSysObject::SetServiceID(std::uint8_t Value) {
  if (Value == FServiceID)
    return;
  BeginChange();
  FServiceID = Value;
  EndChange();
}

void TCustomSysObject::CheckWritable() {
  if (FReadOnly && !FIsClone && !FLoading)
    throw EBugCheckError("Object is readonly! Use clone for update!");
}

void TCustomSysObject::BeginChange() {
  CheckWritable();
  if (!(FUpdateCount > 0 && FChangePending))
    DoBeforeChange();
}

void TCustomSysObject::EndChange() {
  if (FUpdateCount <= 0)
    DoChanged();
  else
    ++FChangeCount;
}

void TCustomSysObject::DoBeforeChange() {
  if (FUpdateCount > 0)
    FChangePending = true;
  NotifyChange(oaBeforeChange);
  if (FOwnerList != nullptr)
    FOwnerList->Notify(*this, oaBeforeChange);
}

void TCustomSysObject::DoChanged() {
  NotifyChange(oaChanged);
  if (FOwnerList != nullptr)
    FOwnerList->Notify(*this, oaChanged);
}

void TCustomSysObject::BeginUpdate() {
  if (FUpdateCount == 0)
    FChangeCount = 0;
  ++FUpdateCount;
}

std::int32_t TCustomSysObject::EndUpdate() {
  if (FUpdateCount <= 0)
    throw EBugCheckError("EndUpdate without BeginUpdate!");
  const std::int32_t Count = FChangeCount;
  if (--FUpdateCount == 0) {
    FLoading = false;
    const bool Changed = FChangePending || Count > 0;
    FChangePending = false;
    if (Changed)
      DoChanged();
  }
  return Count;
}

void TCustomSysObject::CancelUpdate() {
  if (FUpdateCount <= 0)
    return;
  if (--FUpdateCount == 0) {
    FLoading = false;
    FChangePending = false;
  }
}

void TCustomSysObject::BeginStatusChange() {
  if ((FUpdateCount > 0 && FChangeCount > 0) || (FStatusUpdateCount > 0 && FStatusPending))
    return;
  DoBeforeStatusChange();
}

void TCustomSysObject::EndStatusChange() {
  if (FStatusUpdateCount <= 0)
    DoStatusChanged();
  else
    ++FStatusChangeCount;
}

void TCustomSysObject::BeginStatusUpdate() {
  if (FStatusUpdateCount == 0)
    FStatusChangeCount = 0;
  ++FStatusUpdateCount;
}

std::int32_t TCustomSysObject::EndStatusUpdate() {
  if (FStatusUpdateCount <= 0)
    throw EBugCheckError("EndStatusUpdate without BeginStatusUpdate!");
  const std::int32_t Count = FStatusChangeCount;
  if (--FStatusUpdateCount == 0) {
    const bool Announce = FStatusPending || (Count > 0 && !(FUpdateCount > 0 && FChangeCount > 0));
    FStatusPending = false;
    if (Announce)
      DoStatusChanged();
  }
  return Count;
}

void TCustomSysObject::DoBeforeStatusChange() {
  if (FStatusUpdateCount > 0)
    FStatusPending = true;
  if (FOwnerList != nullptr)
    FOwnerList->NotifyBeforeStatusChange(*this);
}

void TCustomSysObject::DoStatusChanged() {
  if (FIsClone)
    return;
  NotifyStatus(oaChanged);
  if (FOwnerList != nullptr)
    FOwnerList->NotifyStatusChange(*this);
}

void TCustomSysObject::AddChangeHandler(TSOActionEvent Handler) {
  FChangeHandlers.push_back(std::move(Handler));
}

void TCustomSysObject::AddStatusHandler(TSOActionEvent Handler) {
  FStatusHandlers.push_back(std::move(Handler));
}

void TCustomSysObject::NotifyHandlers(const std::vector<TSOActionEvent>& Handlers,
                                      TObjectAction Action) {
  // By index and on a copy: a handler may register further handlers while it runs.
  for (std::size_t I = Handlers.size(); I-- > 0;) {
    if (I >= Handlers.size())
      continue;
    const TSOActionEvent Handler = Handlers[I];
    if (Handler)
      Handler(*this, Action);
  }
}

void TCustomSysObject::NotifyChange(TObjectAction Action) {
  NotifyHandlers(FChangeHandlers, Action);
}

void TCustomSysObject::NotifyStatus(TObjectAction Action) {
  NotifyHandlers(FStatusHandlers, Action);
}

void TCustomSysObject::WriteStatus(TBufferProtocol&) {}

void TCustomSysObject::ReadStatus(TBufferProtocol&, std::int32_t) {}

void TCustomSysObject::SaveToBuffer(TBufferProtocol& Buffer) {
  Buffer.WriteInteger(FID);
  const std::int32_t RecordAt = Buffer.Position();
  Buffer.WriteInteger(0);
  Buffer.WriteString(FName);
  Buffer.WriteString(FTypeName);
  Buffer.WriteByte(FServiceID);
  Buffer.WriteBoolean(FEnabled);
  Buffer.WriteBoolean(FAttrFlag);
  Buffer.WriteVariant(FDescription);
  Buffer.WriteByte(FAttrByte1);
  Buffer.WriteByte(FAttrByte2);
  Buffer.WriteString(FCaption);

  const std::int32_t PropertiesAt = Buffer.Position();
  Buffer.WriteInteger(0);
  WriteProperties(Buffer);
  Buffer.WriteIntegerAt(Buffer.Position() - PropertiesAt - 4, PropertiesAt);

  const std::int32_t StatusAt = Buffer.Position();
  Buffer.WriteInteger(0);
  WriteStatus(Buffer);
  Buffer.WriteIntegerAt(Buffer.Position() - StatusAt - 4, StatusAt);

  Buffer.WriteIntegerAt(Buffer.Position() - RecordAt - 4, RecordAt);
}

void TCustomSysObject::ReadRecord(TBufferProtocol& Buffer) {
  // The record's extent is checked before any value is applied, so that a record cut short by
  // its sender changes nothing.
  const std::int32_t NewID = Buffer.ReadInteger();
  const std::int32_t RecordLength = Buffer.ReadInteger();
  CheckLength("object record", RecordLength, Buffer.Size() - Buffer.Position());
  const std::int32_t RecordEnd = Buffer.Position() + RecordLength;

  SetID(NewID);
  SetName(Buffer.ReadString());
  SetTypeName(Buffer.ReadString());
  SetServiceID(Buffer.ReadByte());
  SetEnabled(Buffer.ReadBoolean());
  SetAttrFlag(Buffer.ReadBoolean());
  TVariant Description;
  Buffer.ReadVariant(Description);
  SetDescription(Description);
  SetAttrByte1(Buffer.ReadByte());
  SetAttrByte2(Buffer.ReadByte());
  SetCaption(Buffer.ReadString());

  // Each section is left at the offset its length gives, however much of it the reader used.
  const std::int32_t PropertiesLength = Buffer.ReadInteger();
  const std::int32_t PropertiesAt = Buffer.Position();
  CheckLength("properties section", PropertiesLength, RecordEnd - PropertiesAt);
  if (PropertiesLength > 0) {
    ReadProperties(Buffer, PropertiesLength);
    CheckConsumed("properties section", Buffer, PropertiesAt + PropertiesLength);
  }
  Buffer.SetPosition(PropertiesAt + PropertiesLength);

  const std::int32_t StatusLength = Buffer.ReadInteger();
  const std::int32_t StatusAt = Buffer.Position();
  CheckLength("status section", StatusLength, RecordEnd - StatusAt);
  if (!FOwnStatus) {
    BeginStatusUpdate();
    try {
      if (StatusLength < 1)
        ClearStatus();
      else
        ReadStatus(Buffer, StatusLength);
      CheckConsumed("status section", Buffer, StatusAt + StatusLength);
    } catch (...) {
      EndStatusUpdate();
      throw;
    }
    EndStatusUpdate();
  }
  // Whatever a newer sender appended after the status section belongs to the record too.
  Buffer.SetPosition(RecordEnd);
}

void TCustomSysObject::LoadFromBuffer(TBufferProtocol& Buffer) {
  const bool WasLoading = FLoading;
  FLoading = true;
  std::unique_ptr<TBufferProtocol> Backup;
  const std::int32_t SavedUpdateCount = FUpdateCount;
  try {
    // An object in a list is backed up too, so that a bad record never leaves a half-loaded
    // object in the list.
    if (FOwnStatus || FLoaded || FOwnerList != nullptr) {
      Backup = std::make_unique<TBufferProtocol>(64);
      SaveToBuffer(*Backup);
    }
  } catch (...) {
    FLoading = WasLoading;
    throw;
  }
  BeginUpdate();
  try {
    ReadRecord(Buffer);
    FLoaded = true;
    EndUpdate();
  } catch (...) {
    RollBack(Backup.get(), SavedUpdateCount);
    throw;
  }
  FRestoring = false;
}

void TCustomSysObject::RollBack(TBufferProtocol* Backup, std::int32_t SavedUpdateCount) noexcept {
  if (Backup != nullptr) {
    try {
      if (FUpdateCount == SavedUpdateCount)
        BeginUpdate();
      FRestoring = true;
      FLoading = true;
      Backup->SetPosition(0);
      ReadRecord(*Backup);
      EndUpdate();
    } catch (...) {
      DebugLogFmt("Object %d: restoring the previous state failed: %s", FID,
                  DescribeCurrentException());
    }
  }
  // Close what the load opened without a notification; an outer update keeps its level.
  while (FUpdateCount > SavedUpdateCount)
    CancelUpdate();
  FRestoring = false;
}

void TCustomSysObject::Assign(TCustomSysObject& Source) {
  BeginUpdate();
  try {
    TBufferProtocol Buffer(64);
    Source.SaveToBuffer(Buffer);
    Buffer.SetPosition(0);
    LoadFromBuffer(Buffer);
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

std::string TCustomSysObject::KindText() const {
  return FCaption == UnknownObjectCaption ? FTypeName : FCaption;
}

// ---------------------------------------------------------------------------------------------
// TSysObjectList

namespace {

const std::string LockAdd = "TSysObjectList.Add";
const std::string LockAddExcept = "TSysObjectList.Add/Except";
const std::string LockDelete = "TSysObjectList.Delete";
const std::string LockDeleteNotFound = "TSysObjectList.Delete/NotFound";
const std::string LockDeleteNotify = "TSysObjectList.Delete/Notify";
const std::string LockDeleteDelete = "TSysObjectList.Delete/Delete";
const std::string LockDeleteNotify2 = "TSysObjectList.Delete/Notify2";
const std::string LockDeleteExcept = "TSysObjectList.Delete/Except";
const std::string LockRemove = "TSysObjectList.Remove";
const std::string LockRemoveNotFound = "TSysObjectList.Remove/NotFound";
const std::string LockClear = "TSysObjectList.Clear";
const std::string LockLoad = "TSysObjectList.Load";
const std::string LockSave = "TSysObjectList.ObjectsSaveToBufferFilter";
const std::string LockLoadMulti = "TSysObjectList.ObjectLoadMulti";
const std::string LockObjectLoad = "TSysObjectList.ObjectLoad";
const std::string LockFind = "TSysObjectList.Find";
const std::string LockFindById = "TSysObjectList.FindById";

}  // namespace

TSysObjectList::TSysObjectList() : FIndex(true, dupError) {}

TSysObjectList::~TSysObjectList() {
  try {
    Clear();
  } catch (...) {
    DebugLogFmt("TSysObjectList: clearing the list on destruction failed: %s",
                DescribeCurrentException());
  }
}

std::int32_t TSysObjectList::IndexOfObject(const TCustomSysObject* Obj) const {
  std::int32_t Index;
  if (FIndex.Find(Obj->ID(), Index) && FIndex.GetObject(Index) == Obj)
    return Index;
  // The object's ID changed while it was held: find the object itself.
  for (std::int32_t I = 0; I < FIndex.GetCount(); ++I)
    if (FIndex.GetObject(I) == Obj)
      return I;
  return -1;
}

bool TSysObjectList::FindById(std::int32_t ID, TCustomSysObject*& Obj) const {
  TCriticalSectionGuard Guard(FLock, LockFindById);
  void* Found = nullptr;
  const bool Result = FIndex.FindObject(ID, Found);
  Obj = static_cast<TCustomSysObject*>(Found);
  return Result;
}

bool TSysObjectList::Find(const TObjectFilter& Predicate, TCustomSysObject*& Obj) const {
  TCriticalSectionGuard Guard(FLock, LockFind);
  for (std::int32_t I = 0; I < FIndex.GetCount(); ++I) {
    TCustomSysObject* Candidate = Items(I);
    if (Predicate(*Candidate)) {
      Obj = Candidate;
      return true;
    }
  }
  return false;
}

std::int32_t TSysObjectList::Add(TCustomSysObject* Obj) {
  if (Obj->IsClone())
    throw EBugCheckError("Can not add clone to list!");
  if (Obj->FOwnerList != nullptr)
    throw EBugCheckError(Format("Object %d is already in a list!", Obj->ID()));
  Obj->NotifyChange(olaBeforeAdd);
  Notify(*Obj, olaBeforeAdd);

  std::int32_t Index;
  {
    TCriticalSectionGuard Guard(FLock, LockAdd);
    Index = FIndex.AddObject(Obj->ID(), Obj);
    Obj->FOwnerList = this;
  }

  // The handlers run outside the lock.
  try {
    Obj->NotifyChange(olaAdded);
    Notify(*Obj, olaAdded);
  } catch (...) {
    TCriticalSectionGuard Guard(FLock, LockAddExcept);
    const std::int32_t At = IndexOfObject(Obj);
    if (At >= 0)
      FIndex.Delete(At);
    Obj->FOwnerList = nullptr;
    throw;
  }
  Obj->FListed = true;
  return Index;
}

std::int32_t TSysObjectList::Delete(TCustomSysObject* Obj) {
  if (Obj->FOwnerList == nullptr) {
    std::unique_ptr<TCustomSysObject> Owned(Obj);
    Obj->NotifyChange(olaBeforeDelete);
    Notify(*Obj, olaBeforeDelete);
    Obj->NotifyChange(olaDeleted);
    Notify(*Obj, olaDeleted);
    return -1;
  }

  // The handlers run outside the lock, so it is taken twice; each release is traced under a name
  // that tells which way the region ended.
  std::int32_t Index;
  {
    TCriticalSectionGuard Guard(FLock, LockDelete);
    Index = Obj->FOwnerList == this ? IndexOfObject(Obj) : -1;
    if (Index < 0) {
      Guard.Release(LockDeleteNotFound);
      return -1;
    }
    Guard.Release(LockDeleteNotify);
  }

  Obj->NotifyChange(olaBeforeDelete);
  Notify(*Obj, olaBeforeDelete);

  {
    TCriticalSectionGuard Guard(FLock, LockDeleteDelete);
    const std::int32_t At = IndexOfObject(Obj);
    if (At >= 0)
      FIndex.Delete(At);
    Obj->FOwnerList = nullptr;
    Guard.Release(LockDeleteNotify2);
  }

  try {
    Obj->NotifyChange(olaDeleted);
    Notify(*Obj, olaDeleted);
  } catch (...) {
    TCriticalSectionGuard Guard(FLock, LockDeleteExcept);
    try {
      FIndex.AddObject(Obj->ID(), Obj);
      Obj->FOwnerList = this;
    } catch (...) {
      // The ID was taken meanwhile: Obj cannot go back, so it is freed with the error reported,
      // outside the lock.
      Guard.Release(LockDeleteExcept);
      DebugLogFmt("TSysObjectList.Delete: object %d could not be put back: %s", Obj->ID(),
                  DescribeCurrentException());
      delete Obj;
      throw;
    }
    throw;
  }
  delete Obj;
  return Index;
}

std::int32_t TSysObjectList::Remove(TCustomSysObject* Obj) {
  TCriticalSectionGuard Guard(FLock, LockRemove);
  const std::int32_t Index = Obj->FOwnerList == this ? IndexOfObject(Obj) : -1;
  if (Index < 0) {
    Guard.Release(LockRemoveNotFound);
    return -1;
  }
  FIndex.Delete(Index);
  Obj->FOwnerList = nullptr;
  return Index;
}

void TSysObjectList::Clear() {
  TCriticalSectionGuard Guard(FLock, LockClear);
  FClearing = true;
  try {
    // From the end: each destructor takes its object out of the index, and removing the last
    // entry moves nothing.
    while (FIndex.GetCount() > 0) {
      const std::int32_t Last = FIndex.GetCount() - 1;
      TCustomSysObject* Obj = Items(Last);
      delete Obj;
      if (FIndex.GetCount() > Last && FIndex.GetObject(Last) == Obj)
        FIndex.Delete(Last);
    }
  } catch (...) {
    FClearing = false;
    throw;
  }
  FClearing = false;
}

void TSysObjectList::Load() {
  TCriticalSectionGuard Guard(FLock, LockLoad);
  FLoading = true;
  try {
    if (OnLoad)
      OnLoad();
  } catch (...) {
    FLoading = false;
    throw;
  }
  FLoading = false;
  if (OnLoaded)
    OnLoaded();
}

void TSysObjectList::Notify(TCustomSysObject& Obj, TObjectAction Action) {
  if (FLoading || FClearing || Obj.Restoring())
    return;
  if (Action == oaBeforeChange || Action == olaBeforeAdd || Action == olaBeforeDelete) {
    if (OnBeforeChange)
      OnBeforeChange(Obj, Action);
  } else if (OnChange) {
    OnChange(Obj, Action);
  }
}

void TSysObjectList::NotifyBeforeStatusChange(TCustomSysObject& Obj) {
  if (FLoading || FClearing)
    return;
  if (OnBeforeStatusChange)
    OnBeforeStatusChange(Obj);
}

void TSysObjectList::NotifyStatusChange(TCustomSysObject& Obj) {
  if (FLoading || FClearing)
    return;
  if (OnStatusChange)
    OnStatusChange(Obj);
}

void TSysObjectList::WriteListAction(TCustomSysObject& Obj, TObjectAction Action,
                                     TBufferProtocol& Buffer) {
  Buffer.WriteByte(Action);
  if (Action == oaChanged || Action == olaAdded)
    Obj.SaveToBuffer(Buffer);
  else if (Action == olaDeleted)
    Buffer.WriteInteger(Obj.ID());
}

void TSysObjectList::ObjectsSaveToBufferFilter(TBufferProtocol& Buffer,
                                               const TObjectFilter& Filter) {
  const std::int32_t CountAt = Buffer.Position();
  Buffer.WriteInteger(0);
  if (Count() == 0)
    return;
  std::int32_t Written = 0;
  TCriticalSectionGuard Guard(FLock, LockSave);
  for (std::int32_t I = 0; I < FIndex.GetCount(); ++I) {
    TCustomSysObject* Obj = Items(I);
    if (Filter(*Obj)) {
      Buffer.WriteByte(olaAdded);
      Obj->SaveToBuffer(Buffer);
      ++Written;
    }
  }
  Buffer.WriteIntegerAt(Written, CountAt);
}

void TSysObjectList::SkipObject(TBufferProtocol& Buffer) {
  Buffer.ReadInteger();  // ID
  const std::int32_t Length = Buffer.ReadInteger();
  if (Length < 0)
    throw Exception(Format("Invalid object record length %d", Length));
  // Compared before adding: a length near 2^31 must not wrap the position.
  if (Length > Buffer.Size() - Buffer.Position())
    throw Exception("Attempt to move beyond end of buffer!");
  Buffer.SetPosition(Buffer.Position() + Length);
}

namespace {

// The type name of the record at the buffer's position; the position is left where it was.
std::string PeekTypeName(TBufferProtocol& Buffer) {
  const std::int32_t At = Buffer.Position();
  std::string Result;
  try {
    Buffer.ReadInteger();  // ID
    Buffer.ReadInteger();  // record length
    Buffer.ReadString();   // name
    Result = Buffer.ReadString();
  } catch (...) {
    Buffer.SetPosition(At);
    throw;
  }
  Buffer.SetPosition(At);
  return Result;
}

}  // namespace

TCustomSysObject* TSysObjectList::ApplyListAction(TBufferProtocol& Buffer, bool Remote) {
  const std::uint8_t Action = Buffer.ReadByte();
  if (Action != oaChanged && Action != olaAdded && Action != olaDeleted)
    throw EAssertionFailed(Format("Invalid list action (%s, line %d)", "Common.cpp", __LINE__));

  const std::int32_t RecordAt = Buffer.Position();
  const std::int32_t ID = Action == olaDeleted ? Buffer.ReadInteger() : Buffer.PeekInteger();
  TCustomSysObject* Obj = nullptr;
  const bool Found = FindById(ID, Obj);

  if (!Found) {
    if (Action == oaChanged)
      SkipObject(Buffer);
    if (Action != olaAdded)
      return nullptr;
    std::unique_ptr<TCustomSysObject> Created;
    if (OnCreateObject)
      Created = OnCreateObject(Buffer);
    if (!Created) {
      Buffer.SetPosition(RecordAt);
      SkipObject(Buffer);
      return nullptr;
    }
    Created->FRemoteChange = Remote;
    const std::int32_t AddedID = Created->ID();
    Add(Created.get());  // on failure the object is freed with Created
    TCustomSysObject* Added = Created.release();
    // A handler may have deleted the new object already.
    if (FindById(AddedID, Obj) && Obj == Added)
      Added->FRemoteChange = false;
    return nullptr;
  }

  if (Action == olaDeleted) {
    Obj->FRemoteChange = Remote;
    try {
      Delete(Obj);
    } catch (...) {
      // Delete normally puts the object back; only then may it be touched.
      TCustomSysObject* Back = nullptr;
      if (FindById(ID, Back) && Back == Obj)
        Obj->FRemoteChange = false;
      throw;
    }
    return nullptr;
  }

  // A change, or an add of a known object, which updates it. A record of another type would
  // be read by the wrong class and give the object a type name its own record cannot match.
  const std::string RecordType = PeekTypeName(Buffer);
  if (RecordType != Obj->TypeName())
    throw Exception(Format("Object %d is of type %s, the record is of type %s", ID, Obj->TypeName(),
                           RecordType));
  Obj->FRemoteChange = Remote;
  try {
    Obj->LoadFromBuffer(Buffer);
  } catch (...) {
    Obj->FRemoteChange = false;
    throw;
  }
  Obj->FRemoteChange = false;
  return Obj;
}

TCustomSysObject* TSysObjectList::ObjectLoad(TBufferProtocol& Buffer) {
  TCriticalSectionGuard Guard(FLock, LockObjectLoad);
  return ApplyListAction(Buffer, true);
}

void TSysObjectList::ObjectLoadMulti(TBufferProtocol& Buffer, bool ClearFirst) {
  TCriticalSectionGuard Guard(FLock, LockLoadMulti);
  if (ClearFirst)
    Clear();
  const std::int32_t N = Buffer.ReadInteger();
  for (std::int32_t I = 0; I < N; ++I)
    ApplyListAction(Buffer, false);
}

// ---------------------------------------------------------------------------------------------
// TGeneralSysObject

TGeneralSysObject::TGeneralSysObject(TCreateKey Key)
    : TCustomSysObject(Key),
      FData(std::make_unique<TBufferProtocol>(64)),
      FStatusData(std::make_unique<TBufferProtocol>(32)) {}

void TGeneralSysObject::SetCaption(const std::string& Value) {
  if (Value == FCaption)
    return;
  BeginChange();
  FCaption = Value;
  EndChange();
}

void TGeneralSysObject::WriteProperties(TBufferProtocol& Buffer) {
  Buffer.WriteBlock(*FData, false);
}

void TGeneralSysObject::WriteStatus(TBufferProtocol& Buffer) {
  Buffer.WriteBlock(*FStatusData, false);
}

namespace {

// Size bytes of Buffer at its position, as a buffer of their own.
std::unique_ptr<TBufferProtocol> ReadBytes(TBufferProtocol& Buffer, std::int32_t Size) {
  auto Result = std::make_unique<TBufferProtocol>(32);
  if (Size > 0) {
    if (Buffer.Size() - Buffer.Position() < Size)
      throw Exception("Attempt to read beyond end of buffer!");
    Result->SetSize(Size);
    Buffer.ReadData(Size, Result->Data());
  }
  return Result;
}

}  // namespace

void TGeneralSysObject::ReadProperties(TBufferProtocol& Buffer, std::int32_t Size) {
  std::unique_ptr<TBufferProtocol> NewData = ReadBytes(Buffer, Size);
  if (!NewData->Differs(*FData))
    return;
  BeginChange();
  FData = std::move(NewData);
  EndChange();
}

void TGeneralSysObject::ReadStatus(TBufferProtocol& Buffer, std::int32_t Size) {
  std::unique_ptr<TBufferProtocol> NewData = ReadBytes(Buffer, Size);
  if (!NewData->Differs(*FStatusData))
    return;
  BeginStatusChange();
  FStatusData = std::move(NewData);
  EndStatusChange();
}

void TGeneralSysObject::ClearStatus() {
  if (FStatusData->Size() == 0)
    return;
  BeginStatusChange();
  FStatusData->SetSize(0);
  EndStatusChange();
}

// ---------------------------------------------------------------------------------------------
// TSysService

TSysService::TSysService(TCreateKey Key)
    : TCustomSysObject(Key), FConfig(std::make_unique<TBufferProtocol>(64)) {
  FCaption = "Услуга";
}

void TSysService::SetVersionMajor(std::uint16_t Value) {
  if (Value == FVersionMajor)
    return;
  BeginChange();
  FVersionMajor = Value;
  EndChange();
}

void TSysService::SetVersionMinor(std::uint16_t Value) {
  if (Value == FVersionMinor)
    return;
  BeginChange();
  FVersionMinor = Value;
  EndChange();
}

void TSysService::SetBuildDate(TDateTime Value) {
  if (SameDate(Value, FBuildDate))
    return;
  BeginChange();
  FBuildDate = Value;
  EndChange();
}

void TSysService::SetInfoDate(TDateTime Value) {
  if (SameDate(Value, FInfoDate))
    return;
  BeginStatusChange();
  FInfoDate = Value;
  EndStatusChange();
}

void TSysService::SetInfoText(const std::string& Value) {
  if (Value == FInfoText)
    return;
  BeginStatusChange();
  FInfoText = Value;
  EndStatusChange();
}

void TSysService::SetStatusCode(std::uint8_t Value) {
  if (Value == FStatusCode)
    return;
  BeginStatusChange();
  FStatusCode = Value;
  EndStatusChange();
}

void TSysService::SetStatusText(const std::string& Value) {
  if (Value == FStatusText)
    return;
  BeginStatusChange();
  FStatusText = Value;
  EndStatusChange();
}

void TSysService::SetStatusDetail(const std::string& Value) {
  if (Value == FStatusDetail)
    return;
  BeginStatusChange();
  FStatusDetail = Value;
  EndStatusChange();
}

void TSysService::SetOnline(bool Value) {
  if (Value == FOnline)
    return;
  BeginStatusChange();
  FOnline = Value;
  if (!Value) {
    FStatusCode = 1;
    FStatusText = OfflineText;
    FStatusDetail.clear();
  }
  EndStatusChange();
}

void TSysService::SetStatus(const std::string& Text, std::uint8_t Code, const std::string& Detail) {
  if (Text == FStatusText && Code == FStatusCode && Detail == FStatusDetail)
    return;
  BeginStatusUpdate();
  try {
    SetStatusText(Text);
    SetStatusCode(Code);
    SetStatusDetail(Detail);
  } catch (...) {
    EndStatusUpdate();
    throw;
  }
  EndStatusUpdate();
}

bool TSysService::IsOnline() const {
  return ID() != 0 ? FOnline : true;
}

void TSysService::ClearStatus() {
  const bool Online = OwnStatus();
  const std::uint8_t Code = Online ? 2 : 1;
  const char* Text = Online ? OnlineText : OfflineText;
  if (FOnline == Online && FStatusCode == Code && FStatusText == Text && FStatusDetail.empty())
    return;
  BeginStatusChange();
  FOnline = Online;
  FStatusCode = Code;
  FStatusText = Text;
  FStatusDetail.clear();
  EndStatusChange();
}

void TSysService::WriteStatus(TBufferProtocol& Buffer) {
  Buffer.WriteBoolean(FOnline);
  Buffer.WriteByte(FStatusCode);
  Buffer.WriteString(FStatusText);
  Buffer.WriteString(FStatusDetail);
}

void TSysService::ReadStatus(TBufferProtocol& Buffer, std::int32_t) {
  if (OwnStatus())
    return;
  SetOnline(Buffer.ReadBoolean());
  SetStatusCode(Buffer.ReadByte());
  SetStatusText(Buffer.ReadString());
  SetStatusDetail(Buffer.ReadString());
}

void TSysService::WriteProperties(TBufferProtocol& Buffer) {
  Buffer.WriteWord(FVersionMajor);
  Buffer.WriteWord(FVersionMinor);
  Buffer.WriteDateTime(FBuildDate);
  Buffer.WriteString(FInfoText);
  Buffer.WriteDateTime(FInfoDate);
  ResetConfig();
  BuildConfig();
  Buffer.WriteBlock(*FConfig, true);
}

void TSysService::ReadProperties(TBufferProtocol& Buffer, std::int32_t Size) {
  SetVersionMajor(Buffer.ReadWord());
  SetVersionMinor(Buffer.ReadWord());
  SetBuildDate(Buffer.ReadDateTime());
  SetInfoText(Buffer.ReadString());
  SetInfoDate(Buffer.ReadDateTime());
  if (ReadConfig(Buffer, Size))
    ConfigChanged();
}

bool TSysService::ReadConfig(TBufferProtocol& Buffer, std::int32_t) {
  auto NewConfig = std::make_unique<TBufferProtocol>(64);
  Buffer.ReadBlock(*NewConfig);
  if (!NewConfig->Differs(*FConfig))
    return false;
  BeginChange();
  FConfig = std::move(NewConfig);
  EndChange();
  return FConfig->Size() > 0;
}

void TSysService::ResetConfig() {
  FConfig->SetSize(0);
}

}  // namespace pelmar
