#include "Common.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BaseProtocol.h"
#include "Exception.h"
#include "Hex.h"
#include "LogCapture.h"
#include "Records.h"
#include "Utilities.h"

namespace pelmar {
namespace {

using test::Bytes;
using test::ToHex;

const char* ActionName(TObjectAction Action) {
  switch (Action) {
    case oaBeforeChange:
      return "oaBeforeChange";
    case oaChanged:
      return "oaChanged";
    case oaDestroy:
      return "oaDestroy";
    case olaBeforeAdd:
      return "olaBeforeAdd";
    case olaAdded:
      return "olaAdded";
    case olaBeforeDelete:
      return "olaBeforeDelete";
    case olaDeleted:
      return "olaDeleted";
  }
  return "?";
}

// An object with one property (Value, Integer) and one status value (Level, Byte). Its reader
// can be made to fail after applying the value.
class TTestObject : public TCustomSysObject {
 public:
  explicit TTestObject(TCreateKey Key) : TCustomSysObject(Key) {}
  static std::string ClassTypeName() { return "TestObject"; }
  std::string GetTypeName() const override { return ClassTypeName(); }
  bool IsConcreteClass() const override { return true; }

  std::int32_t Value() const { return FValue; }
  void SetValue(std::int32_t V) {
    if (V == FValue)
      return;
    BeginChange();
    FValue = V;
    EndChange();
  }
  std::uint8_t Level() const { return FLevel; }
  void SetLevel(std::uint8_t V) {
    if (V == FLevel)
      return;
    BeginStatusChange();
    FLevel = V;
    EndStatusChange();
  }

  void ClearStatus() override {
    ++ClearStatusCalls;
    SetLevel(0);
  }
  void WriteStatus(TBufferProtocol& B) override { B.WriteByte(FLevel); }
  void ReadStatus(TBufferProtocol& B, std::int32_t) override { SetLevel(B.ReadByte()); }

  int ClearStatusCalls = 0;
  bool FailRead = false;

 protected:
  void WriteProperties(TBufferProtocol& B) override { B.WriteInteger(FValue); }
  void ReadProperties(TBufferProtocol& B, std::int32_t) override {
    SetValue(B.ReadInteger());
    if (FailRead)
      throw Exception("read failed");
  }

 private:
  std::int32_t FValue = 0;
  std::uint8_t FLevel = 0;
};

class TTestDerived : public TTestObject {
 public:
  explicit TTestDerived(TCreateKey Key) : TTestObject(Key) {}
};

// A class with empty properties and status sections and no caption of its own.
class TEmptyObject : public TCustomSysObject {
 public:
  explicit TEmptyObject(TCreateKey Key) : TCustomSysObject(Key) {}
  std::string GetTypeName() const override { return "Empty"; }

 protected:
  void WriteProperties(TBufferProtocol&) override {}
  void ReadProperties(TBufferProtocol&, std::int32_t) override {}
};
using test::BufferOf;
using test::HexOf;
using test::RecordOf;

std::unique_ptr<TBufferProtocol> RecordBuffer(TCustomSysObject& Obj) {
  auto B = std::make_unique<TBufferProtocol>(64);
  Obj.SaveToBuffer(*B);
  B->SetPosition(0);
  return B;
}

// Records the notifications of objects and of a list, in order. The handlers share the log, so
// that objects may outlive the recorder.
class TRecorder {
  std::shared_ptr<std::vector<std::string>> FLog = std::make_shared<std::vector<std::string>>();

 public:
  std::vector<std::string>& Events = *FLog;

  void Watch(TCustomSysObject& Obj, const std::string& Tag = "obj") {
    Obj.AddChangeHandler([Log = FLog, Tag](TCustomSysObject&, TObjectAction A) {
      Log->push_back(Tag + ":" + ActionName(A));
    });
    Obj.AddStatusHandler([Log = FLog, Tag](TCustomSysObject&, TObjectAction A) {
      Log->push_back(Tag + ":status:" + ActionName(A));
    });
  }
  void Watch(TSysObjectList& List) {
    auto Action = [Log = FLog](TCustomSysObject& O, TObjectAction A) {
      Log->push_back("list:" + std::string(ActionName(A)) + ":" + std::to_string(O.ID()));
    };
    List.OnBeforeChange = Action;
    List.OnChange = Action;
    List.OnBeforeStatusChange = [Log = FLog](TCustomSysObject& O) {
      Log->push_back("list:beforestatus:" + std::to_string(O.ID()));
    };
    List.OnStatusChange = [Log = FLog](TCustomSysObject& O) {
      Log->push_back("list:status:" + std::to_string(O.ID()));
    };
  }
  std::vector<std::string> Take() { return std::exchange(*FLog, {}); }
};

using TStrings = std::vector<std::string>;

template <class T>
T* AddNew(TSysObjectList& List, std::int32_t ID) {
  std::unique_ptr<T> Obj = TCustomSysObject::Create<T>();
  Obj->SetID(ID);
  List.Add(Obj.get());
  return Obj.release();
}

// ---------------------------------------------------------------------------------------------
// The object base

TEST(CustomSysObjectTest, NewObjectHasTheDefaultsAndAnEmptyRecord) {
  auto Obj = TCustomSysObject::Create<TEmptyObject>();
  EXPECT_EQ("Empty", Obj->TypeName());
  EXPECT_TRUE(Obj->Enabled());
  EXPECT_EQ(1, Obj->AttrByte1());
  EXPECT_EQ(4, Obj->AttrByte2());
  EXPECT_EQ(4, Obj->AttrByte3());
  EXPECT_EQ(UnknownObjectCaption, Obj->Caption());
  EXPECT_EQ("Empty", Obj->KindText()) << "no caption of its own: the type name";
  EXPECT_TRUE(Obj->Description().IsEmpty());
  EXPECT_FALSE(Obj->Loaded());

  Obj->SetID(258);
  Obj->SetCaption("Ignored");
  EXPECT_EQ(UnknownObjectCaption, Obj->Caption()) << "the base caption setter does nothing";
  // ID, record length 67, name, type name "Empty", service 0, enabled, flag, empty variant,
  // attribute bytes 1 and 4, caption (35 bytes), properties length 0, status length 0.
  const std::string Want =
      "02 01 00 00  43 00 00 00  00 00 00 00  05 00 00 00 45 6D 70 74 79  00  01  00  00 00  01  "
      "04  23 00 00 00 D0 9D D0 B5 D0 B8 D0 B7 D0 B2 D0 B5 D1 81 D1 82 D0 BD D1 8B D0 B9 20 D0 "
      "BE D0 B1 D1 8A D0 B5 D0 BA D1 82  00 00 00 00  00 00 00 00";
  const std::string Got = RecordOf(*Obj);
  EXPECT_EQ(ToHex(Bytes(Want)), Got);
  EXPECT_EQ(Bytes(Want).size() - 8, 0x43u) << "the record length counts the bytes after it";
}

TEST(CustomSysObjectTest, FactoriesSetTheirModeBeforeClearStatus) {
  auto Plain = TCustomSysObject::Create<TTestObject>();
  EXPECT_EQ(1, Plain->ClearStatusCalls);
  EXPECT_FALSE(Plain->OwnStatus());
  EXPECT_FALSE(Plain->ReadOnly());
  EXPECT_FALSE(Plain->IsClone());
  EXPECT_TRUE(TCustomSysObject::CreateOwn<TTestObject>()->OwnStatus());
  EXPECT_TRUE(TCustomSysObject::CreateReadOnly<TTestObject>()->ReadOnly());

  Plain->SetID(9);
  Plain->SetName("source");
  Plain->SetValue(77);
  auto Clone = TCustomSysObject::CreateClone<TTestObject>(Plain.get());
  EXPECT_TRUE(Clone->IsClone());
  EXPECT_EQ(9, Clone->ID());
  EXPECT_EQ("source", Clone->Name());
  EXPECT_EQ(77, Clone->Value());
}

TEST(CustomSysObjectTest, UpdateBatchesChangesIntoOneNotification) {
  auto Obj = TCustomSysObject::Create<TTestObject>();
  TRecorder R;
  R.Watch(*Obj);

  Obj->BeginUpdate();
  Obj->SetName("a");
  EXPECT_EQ(TStrings{"obj:oaBeforeChange"}, R.Take()) << "sent at the first change";
  Obj->SetValue(5);
  Obj->SetEnabled(false);
  EXPECT_TRUE(R.Take().empty());
  EXPECT_EQ(3, Obj->EndUpdate());
  EXPECT_EQ(TStrings{"obj:oaChanged"}, R.Take());

  Obj->BeginUpdate();
  Obj->SetName("b");
  Obj->CancelUpdate();
  EXPECT_EQ(TStrings{"obj:oaBeforeChange"}, R.Take()) << "no oaChanged after CancelUpdate";

  Obj->SetName("b");
  EXPECT_TRUE(R.Take().empty()) << "an unchanged value sends nothing";
  Obj->SetName("c");
  EXPECT_EQ((TStrings{"obj:oaBeforeChange", "obj:oaChanged"}), R.Take()) << "outside an update";

  Obj->BeginUpdate();
  Obj->BeginUpdate();
  Obj->SetValue(6);
  EXPECT_EQ(1, Obj->EndUpdate());
  EXPECT_EQ(TStrings{"obj:oaBeforeChange"}, R.Take()) << "the inner EndUpdate announces nothing";
  EXPECT_EQ(1, Obj->EndUpdate());
  EXPECT_EQ(TStrings{"obj:oaChanged"}, R.Take());
  EXPECT_THROW(Obj->EndUpdate(), EBugCheckError);
}

TEST(CustomSysObjectTest, StatusChangesBatchAndDeferToPropertyChanges) {
  TSysObjectList List;
  TRecorder R;
  R.Watch(List);
  TTestObject* Obj = AddNew<TTestObject>(List, 1);
  R.Watch(*Obj);
  R.Take();

  Obj->SetLevel(1);
  EXPECT_EQ((TStrings{"list:beforestatus:1", "obj:status:oaChanged", "list:status:1"}), R.Take());

  Obj->BeginStatusUpdate();
  Obj->SetLevel(2);
  Obj->SetLevel(3);
  EXPECT_EQ(TStrings{"list:beforestatus:1"}, R.Take());
  EXPECT_EQ(2, Obj->EndStatusUpdate());
  EXPECT_EQ((TStrings{"obj:status:oaChanged", "list:status:1"}), R.Take());

  // Inside a property update that already changed a property, the status change is announced
  // by the property change only.
  Obj->BeginUpdate();
  Obj->SetValue(10);
  Obj->BeginStatusUpdate();
  Obj->SetLevel(4);
  EXPECT_EQ(1, Obj->EndStatusUpdate());
  Obj->EndUpdate();
  EXPECT_EQ((TStrings{"obj:oaBeforeChange", "list:oaBeforeChange:1", "obj:oaChanged",
                      "list:oaChanged:1"}),
            R.Take());
  EXPECT_EQ(4, Obj->Level());
}

TEST(CustomSysObjectTest, HandlersRunLastRegisteredFirst) {
  auto Obj = TCustomSysObject::Create<TTestObject>();
  std::vector<std::string> Calls;
  Obj->AddChangeHandler([&](TCustomSysObject&, TObjectAction A) {
    if (A == oaChanged)
      Calls.push_back("A");
  });
  Obj->AddChangeHandler([&](TCustomSysObject&, TObjectAction A) {
    if (A == oaChanged)
      Calls.push_back("B");
  });
  Obj->SetValue(1);
  EXPECT_EQ((TStrings{"B", "A"}), Calls);
}

TEST(CustomSysObjectTest, HandlerFailurePropagatesWithTheValueStored) {
  auto Obj = TCustomSysObject::Create<TTestObject>();
  Obj->AddChangeHandler([](TCustomSysObject&, TObjectAction A) {
    if (A == oaChanged)
      throw Exception("handler");
  });
  EXPECT_THROW(Obj->SetValue(3), Exception);
  EXPECT_EQ(3, Obj->Value());
}

TEST(CustomSysObjectTest, ReadOnlyObjectRefusesWritesUnlessLoadingOrCloned) {
  auto Source = TCustomSysObject::Create<TTestObject>();
  Source->SetName("loaded");
  Source->SetValue(8);
  auto Record = RecordBuffer(*Source);

  auto Obj = TCustomSysObject::CreateReadOnly<TTestObject>();
  try {
    Obj->SetName("x");
    FAIL() << "a read-only object accepted a write";
  } catch (const EBugCheckError& E) {
    EXPECT_EQ("BUGCHECK: Object is readonly! Use clone for update!", E.Message());
  }
  EXPECT_EQ("", Obj->Name());

  Obj->LoadFromBuffer(*Record);
  EXPECT_EQ("loaded", Obj->Name()) << "loading may write";
  EXPECT_FALSE(Obj->Loading());
  EXPECT_THROW(Obj->SetValue(1), EBugCheckError) << "the load ended";

  auto Clone = TCustomSysObject::CreateClone<TTestObject>(Obj.get());
  Clone->SetValue(1);
  EXPECT_EQ(1, Clone->Value());
}

TEST(CustomSysObjectTest, LoadingTheSameRecordTwiceAnnouncesOnlyTheFirst) {
  auto Source = TCustomSysObject::Create<TTestObject>();
  Source->SetID(3);
  Source->SetName("three");
  Source->SetDescription(TVariant::Null());
  Source->SetValue(33);
  Source->SetLevel(2);

  TSysObjectList List;
  TRecorder R;
  R.Watch(List);
  TTestObject* Obj = AddNew<TTestObject>(List, 3);
  R.Watch(*Obj);
  R.Take();

  Obj->LoadFromBuffer(*RecordBuffer(*Source));
  EXPECT_EQ((TStrings{"obj:oaBeforeChange", "list:oaBeforeChange:3", "obj:oaChanged",
                      "list:oaChanged:3"}),
            R.Take())
      << "one notification pair for the whole load; the status change rides on it";
  EXPECT_EQ(RecordOf(*Source), RecordOf(*Obj));
  EXPECT_TRUE(Obj->Loaded());
  EXPECT_FALSE(Obj->Loading());

  Obj->LoadFromBuffer(*RecordBuffer(*Source));
  EXPECT_TRUE(R.Take().empty());

  // Only the status differs: a status notification alone.
  Source->SetLevel(5);
  Obj->LoadFromBuffer(*RecordBuffer(*Source));
  EXPECT_EQ((TStrings{"list:beforestatus:3", "obj:status:oaChanged", "list:status:3"}), R.Take());
}

TEST(CustomSysObjectTest, SectionsAreLeftAtTheOffsetTheirLengthGives) {
  // Value 7 followed by three bytes the reader does not know; the status byte 9 is still found.
  // A record with trailing bytes after the status section is read to its end.
  const std::string Common =
      "04 00 00 00  {LEN} 00 00 00  00 00 00 00  0A 00 00 00 54 65 73 74 4F 62 6A 65 63 74  00 01 "
      "00 01 00 01 04 00 00 00 00";
  auto Fill = [](std::string S, const std::string& Len) {
    return S.replace(S.find("{LEN}"), 5, Len);
  };
  const std::string Record =
      Fill(Common, "2F") + " 07 00 00 00 07 00 00 00 AA BB CC  01 00 00 00 09  EE EE";
  auto B = BufferOf(Record + " 55");
  auto Obj = TCustomSysObject::Create<TTestObject>();
  Obj->LoadFromBuffer(*B);
  EXPECT_EQ(7, Obj->Value());
  EXPECT_EQ(9, Obj->Level());
  EXPECT_EQ(B->Size() - 1, B->Position()) << "the position is after the record";
}

TEST(CustomSysObjectTest, EmptyStatusSectionClearsAndOwnStatusSkipsIt) {
  auto Source = TCustomSysObject::Create<TEmptyObject>();  // writes an empty status section
  Source->SetID(1);
  auto Obj = TCustomSysObject::Create<TTestObject>();
  Obj->SetLevel(6);
  const int Before = Obj->ClearStatusCalls;
  Obj->LoadFromBuffer(*RecordBuffer(*Source));
  EXPECT_EQ(Before + 1, Obj->ClearStatusCalls);
  EXPECT_EQ(0, Obj->Level());

  auto WithStatus = TCustomSysObject::Create<TTestObject>();
  WithStatus->SetLevel(7);
  auto Own = TCustomSysObject::CreateOwn<TTestObject>();
  Own->SetLevel(3);
  const int OwnBefore = Own->ClearStatusCalls;
  Own->LoadFromBuffer(*RecordBuffer(*WithStatus));
  EXPECT_EQ(3, Own->Level()) << "the status section is skipped";
  Own->LoadFromBuffer(*RecordBuffer(*Source));
  EXPECT_EQ(OwnBefore, Own->ClearStatusCalls);
  EXPECT_EQ(3, Own->Level());
}

TEST(CustomSysObjectTest, FailedLoadOfALoadedObjectRestoresIt) {
  auto Source = TCustomSysObject::Create<TTestObject>();
  Source->SetID(4);
  Source->SetName("first");
  Source->SetValue(1);
  Source->SetLevel(1);
  auto Obj = TCustomSysObject::Create<TTestObject>();
  Obj->LoadFromBuffer(*RecordBuffer(*Source));
  const std::string Before = RecordOf(*Obj);

  Source->SetName("second");
  Source->SetValue(2);
  Source->SetLevel(2);
  TRecorder R;
  R.Watch(*Obj);
  Obj->FailRead = true;
  EXPECT_THROW(Obj->LoadFromBuffer(*RecordBuffer(*Source)), Exception);
  EXPECT_EQ(Before, RecordOf(*Obj));
  EXPECT_FALSE(Obj->Loading());
  EXPECT_FALSE(Obj->Restoring());

  Obj->FailRead = false;
  R.Take();
  Obj->LoadFromBuffer(*RecordBuffer(*Source));
  EXPECT_EQ("second", Obj->Name());
  EXPECT_EQ((TStrings{"obj:oaBeforeChange", "obj:oaChanged"}), R.Take())
      << "the update level is balanced";
}

TEST(CustomSysObjectTest, FailedFirstLoadKeepsWhatWasReadAndClosesTheUpdate) {
  auto Source = TCustomSysObject::Create<TTestObject>();
  Source->SetName("partial");
  Source->SetValue(5);
  auto Obj = TCustomSysObject::Create<TTestObject>();
  Obj->FailRead = true;
  EXPECT_THROW(Obj->LoadFromBuffer(*RecordBuffer(*Source)), Exception);
  EXPECT_EQ("partial", Obj->Name());
  EXPECT_FALSE(Obj->Loaded());
  EXPECT_FALSE(Obj->Loading());
  TRecorder R;
  R.Watch(*Obj);
  Obj->SetValue(6);
  EXPECT_EQ((TStrings{"obj:oaBeforeChange", "obj:oaChanged"}), R.Take());
}

// Records cut or mislabelled by their sender. Each fails with its message, and an object that was
// loaded before keeps its state.
TEST(CustomSysObjectTest, MalformedRecordsFailAndLeaveALoadedObjectUnchanged) {
  // A valid record of a TTestObject (ID 4, value 7, level 9) has the record length 42:
  // 04 00 00 00 | 2A 00 00 00 | 00 00 00 00 | 0A 00 00 00 "TestObject" | 00 01 00 01 00 01 04 |
  // 00 00 00 00 | 04 00 00 00 07 00 00 00 | 01 00 00 00 09
  const std::string Head = "04 00 00 00 ";
  const std::string Fields =
      " 00 00 00 00 0A 00 00 00 54 65 73 74 4F 62 6A 65 63 74 00 01 00 01 00 01 04 00 00 00 00 ";
  struct TCase {
    const char* Name;
    std::string Hex;
    const char* Message;
  };
  const TCase Cases[] = {
      {"record length past the buffer",
       Head + "2B 00 00 00" + Fields + "04 00 00 00 07 00 00 00 01 00 00 00 09",
       "Invalid object record length 43 (42 bytes available)"},
      {"negative record length", Head + "FF FF FF FF" + Fields,
       "Invalid object record length -1 (29 bytes available)"},
      {"record cut before its length", "04 00 00", "Attempt to read beyond end of buffer!"},
      {"record length shorter than its content",
       Head + "29 00 00 00" + Fields + "04 00 00 00 07 00 00 00 01 00 00 00 09",
       "Invalid status section length 1 (0 bytes available)"},
      {"negative properties length",
       Head + "2A 00 00 00" + Fields + "FC FF FF FF 07 00 00 00 01 00 00 00 09",
       "Invalid properties section length -4 (9 bytes available)"},
      {"properties length past the record",
       Head + "2A 00 00 00" + Fields + "0A 00 00 00 07 00 00 00 01 00 00 00 09",
       "Invalid properties section length 10 (9 bytes available)"},
      {"properties section shorter than its reader",
       Head + "2A 00 00 00" + Fields + "02 00 00 00 07 00 00 00 01 00 00 00 09",
       "Invalid properties section: 2 bytes read beyond its end"},
      {"status length past the record",
       Head + "2A 00 00 00" + Fields + "04 00 00 00 07 00 00 00 02 00 00 00 09",
       "Invalid status section length 2 (1 bytes available)"},
      {"negative status length",
       Head + "2A 00 00 00" + Fields + "04 00 00 00 07 00 00 00 FF FF FF FF 09",
       "Invalid status section length -1 (1 bytes available)"},
      {"record cut after its name length", Head + "2A 00 00 00 FF 00 00 00",
       "Invalid object record length 42 (4 bytes available)"},
  };
  for (const TCase& C : Cases) {
    TSysObjectList List;
    TRecorder R;
    R.Watch(List);
    TTestObject* Obj = AddNew<TTestObject>(List, 4);
    Obj->SetName("kept");
    Obj->SetDescription(TVariant::Null());  // an empty description reads back as null
    Obj->SetValue(3);
    Obj->SetLevel(2);
    const std::string Before = RecordOf(*Obj);
    R.Take();
    auto B = BufferOf(C.Hex);
    try {
      Obj->LoadFromBuffer(*B);
      ADD_FAILURE() << C.Name << ": no error";
    } catch (const Exception& E) {
      EXPECT_EQ(C.Message, E.Message()) << C.Name;
    }
    EXPECT_EQ(Before, RecordOf(*Obj)) << C.Name;
    for (const std::string& Event : R.Events)
      EXPECT_EQ(std::string::npos, Event.find("oaChanged")) << C.Name << ": " << Event;
    EXPECT_FALSE(Obj->Loading()) << C.Name;
  }
}

TEST(CustomSysObjectTest, AssignCopiesThroughTheRecord) {
  auto Source = TCustomSysObject::Create<TTestObject>();
  Source->SetID(12);
  Source->SetName("n");
  Source->SetAttrFlag(true);
  Source->SetDescription(TVariant(std::string("d")));
  Source->SetAttrByte1(9);
  Source->SetValue(44);
  Source->SetLevel(3);
  auto Target = TCustomSysObject::Create<TTestObject>();
  TRecorder R;
  R.Watch(*Target);
  Target->Assign(*Source);
  EXPECT_EQ(RecordOf(*Source), RecordOf(*Target));
  EXPECT_EQ((TStrings{"obj:oaBeforeChange", "obj:oaChanged"}), R.Take());
}

TEST(CustomSysObjectTest, DestroyingAnObjectInAListNotifiesAndLeavesIt) {
  TSysObjectList List;
  TRecorder R;
  R.Watch(List);
  TTestObject* Obj = AddNew<TTestObject>(List, 8);
  AddNew<TTestObject>(List, 9);
  R.Watch(*Obj);
  R.Take();
  delete Obj;
  EXPECT_EQ((TStrings{"obj:olaBeforeDelete", "list:olaBeforeDelete:8", "obj:olaDeleted",
                      "list:olaDeleted:8", "obj:oaDestroy"}),
            R.Take());
  ASSERT_EQ(1, List.Count());
  EXPECT_EQ(9, List.Items(0)->ID());
}

TEST(CustomSysObjectTest, HandlerFailureWhileDestroyingIsLoggedAndTheObjectStillLeaves) {
  test::TLogCapture Log;
  TSysObjectList List;
  TTestObject* Obj = AddNew<TTestObject>(List, 8);
  Obj->AddChangeHandler([](TCustomSysObject&, TObjectAction A) {
    if (A == olaBeforeDelete)
      throw Exception("no");
  });
  delete Obj;
  EXPECT_EQ(0, List.Count());
  EXPECT_TRUE(
      Log.Contains("Object 8: olaBeforeDelete handler failed while destroying: Exception: no"));
}

TEST(CustomSysObjectTest, CloneSharesTheListOfItsSourceButIsNotInIt) {
  TSysObjectList List;
  TRecorder R;
  R.Watch(List);
  TTestObject* Source = AddNew<TTestObject>(List, 5);
  auto Clone = TCustomSysObject::CreateClone<TTestObject>(Source);
  EXPECT_EQ(&List, Clone->OwnerList());
  R.Watch(*Clone, "clone");
  R.Take();

  Clone->SetLevel(4);
  EXPECT_EQ(TStrings{"list:beforestatus:5"}, R.Take()) << "no status notification for a clone";
  try {
    List.Add(Clone.get());
    FAIL() << "a clone was added";
  } catch (const EBugCheckError& E) {
    EXPECT_EQ("BUGCHECK: Can not add clone to list!", E.Message());
  }
  Clone.reset();
  EXPECT_EQ((TStrings{"clone:olaBeforeDelete", "list:olaBeforeDelete:5", "clone:olaDeleted",
                      "clone:oaDestroy"}),
            R.Take())
      << "the list does not hear that the original was deleted";
  ASSERT_EQ(1, List.Count());
  EXPECT_EQ(Source, List.Items(0));
}

// ---------------------------------------------------------------------------------------------
// The object list

TEST(SysObjectListTest, KeepsObjectsSortedByIdAndRefusesDuplicates) {
  TSysObjectList List;
  for (std::int32_t ID : {7, 3, 5})
    AddNew<TTestObject>(List, ID);
  ASSERT_EQ(3, List.Count());
  EXPECT_EQ(3, List.Items(0)->ID());
  EXPECT_EQ(5, List.Items(1)->ID());
  EXPECT_EQ(7, List.Items(2)->ID());

  auto Dup = TCustomSysObject::Create<TTestObject>();
  Dup->SetID(5);
  EXPECT_THROW(List.Add(Dup.get()), EListError);
  EXPECT_EQ(nullptr, Dup->OwnerList());
  EXPECT_EQ(3, List.Count());

  TCustomSysObject* Found = nullptr;
  EXPECT_TRUE(List.FindById(7, Found));
  EXPECT_EQ(List.Items(2), Found);
  EXPECT_FALSE(List.FindById(6, Found));
  EXPECT_EQ(nullptr, Found);
}

TEST(SysObjectListTest, AddAndDeleteNotifyObjectThenList) {
  TSysObjectList List;
  TRecorder R;
  R.Watch(List);
  auto Obj = TCustomSysObject::Create<TTestObject>();
  Obj->SetID(2);
  R.Watch(*Obj);
  EXPECT_EQ(0, List.Add(Obj.get()));
  TTestObject* Held = Obj.release();
  EXPECT_EQ(
      (TStrings{"obj:olaBeforeAdd", "list:olaBeforeAdd:2", "obj:olaAdded", "list:olaAdded:2"}),
      R.Take());
  EXPECT_EQ(&List, Held->OwnerList());

  EXPECT_EQ(0, List.Delete(Held));
  EXPECT_EQ((TStrings{"obj:olaBeforeDelete", "list:olaBeforeDelete:2", "obj:olaDeleted",
                      "list:olaDeleted:2", "obj:oaDestroy"}),
            R.Take());
  EXPECT_EQ(0, List.Count());
}

TEST(SysObjectListTest, FailingHandlersUndoAddAndDelete) {
  TSysObjectList List;
  bool FailAdded = true;
  bool FailDeleted = false;
  List.OnChange = [&](TCustomSysObject&, TObjectAction A) {
    if ((A == olaAdded && FailAdded) || (A == olaDeleted && FailDeleted))
      throw Exception("handler");
  };
  auto Obj = TCustomSysObject::Create<TTestObject>();
  Obj->SetID(3);
  EXPECT_THROW(List.Add(Obj.get()), Exception);
  EXPECT_EQ(0, List.Count());
  EXPECT_EQ(nullptr, Obj->OwnerList());

  FailAdded = false;
  List.Add(Obj.get());
  TTestObject* Held = Obj.release();
  FailDeleted = true;
  EXPECT_THROW(List.Delete(Held), Exception);
  ASSERT_EQ(1, List.Count());
  EXPECT_EQ(Held, List.Items(0));
  EXPECT_EQ(&List, Held->OwnerList());
  FailDeleted = false;
  List.Delete(Held);
  EXPECT_EQ(0, List.Count());
}

TEST(SysObjectListTest, DeleteOfAnObjectInNoListFreesItAndRemoveDoesNot) {
  TSysObjectList List;
  TRecorder R;
  R.Watch(List);
  auto Loose = TCustomSysObject::Create<TTestObject>();
  Loose->SetID(1);
  R.Watch(*Loose);
  EXPECT_EQ(-1, List.Delete(Loose.release()));
  EXPECT_EQ((TStrings{"obj:olaBeforeDelete", "list:olaBeforeDelete:1", "obj:olaDeleted",
                      "list:olaDeleted:1", "obj:oaDestroy"}),
            R.Take());

  TTestObject* Held = AddNew<TTestObject>(List, 4);
  R.Take();
  EXPECT_EQ(0, List.Remove(Held));
  EXPECT_TRUE(R.Take().empty());
  EXPECT_EQ(nullptr, Held->OwnerList());
  EXPECT_EQ(-1, List.Remove(Held));
  delete Held;
}

TEST(SysObjectListTest, ClearFreesEverythingWithoutListNotifications) {
  TSysObjectList List;
  TRecorder R;
  R.Watch(List);
  for (std::int32_t ID : {1, 2, 3})
    R.Watch(*AddNew<TTestObject>(List, ID), "obj" + std::to_string(ID));
  R.Take();
  List.Clear();
  EXPECT_EQ(0, List.Count());
  EXPECT_FALSE(List.Clearing());
  for (const std::string& Event : R.Events)
    EXPECT_EQ(0u, Event.find("obj")) << "list handler called: " << Event;
  EXPECT_EQ(9u, R.Events.size()) << "three notifications per object for its own handlers";
}

TEST(SysObjectListTest, LoadSuppressesNotificationsAndThenCallsOnLoaded) {
  TSysObjectList List;
  TRecorder R;
  R.Watch(List);
  std::vector<std::string> Steps;
  bool Fail = false;
  List.OnLoad = [&] {
    EXPECT_TRUE(List.Loading());
    TTestObject* Obj = AddNew<TTestObject>(List, 1);
    Obj->SetValue(3);
    Obj->SetLevel(2);
    Steps.push_back("load");
    if (Fail)
      throw Exception("load failed");
  };
  List.OnLoaded = [&] {
    EXPECT_FALSE(List.Loading());
    Steps.push_back("loaded");
  };
  List.Load();
  EXPECT_EQ((TStrings{"load", "loaded"}), Steps);
  EXPECT_TRUE(R.Take().empty());

  List.Clear();
  Steps.clear();
  Fail = true;
  EXPECT_THROW(List.Load(), Exception);
  EXPECT_EQ(TStrings{"load"}, Steps);
  EXPECT_FALSE(List.Loading());
  bool Locked = false;
  std::thread Other([&] {
    Locked = List.CriticalSection().try_lock();
    if (Locked)
      List.CriticalSection().unlock();
  });
  Other.join();
  EXPECT_TRUE(Locked) << "the lock was left";
}

TEST(SysObjectListTest, CountFindAndFindNextByClass) {
  TSysObjectList List;
  AddNew<TTestObject>(List, 1);
  AddNew<TTestDerived>(List, 2);
  AddNew<TEmptyObject>(List, 3);
  AddNew<TTestDerived>(List, 4);

  EXPECT_EQ(1, List.Count<TTestObject>(true));
  EXPECT_EQ(3, List.Count<TTestObject>(false));
  EXPECT_EQ(2, List.Count<TTestDerived>(true));
  EXPECT_EQ(4, List.Count<TCustomSysObject>(false));

  std::vector<std::int32_t> Seen;
  std::int32_t Index = 0;
  TTestDerived* Obj = nullptr;
  List.Lock();
  while (List.FindNext<TTestDerived>(Index, true, Obj))
    Seen.push_back(Obj->ID());
  List.Unlock();
  EXPECT_EQ((std::vector<std::int32_t>{2, 4}), Seen);
  EXPECT_EQ(nullptr, Obj);
  EXPECT_EQ(4, Index);

  TCustomSysObject* Found = List.Items(0);
  EXPECT_TRUE(List.Find([](TCustomSysObject& O) { return O.ID() > 2; }, Found));
  EXPECT_EQ(3, Found->ID());
  EXPECT_FALSE(List.Find([](TCustomSysObject& O) { return O.ID() > 9; }, Found));
  EXPECT_EQ(3, Found->ID()) << "left unchanged";
}

TEST(SysObjectListTest, OperationsReportTheirLockNames) {
  std::vector<std::string> Names;
  TSysObjectList List;
  List.CriticalSection().OnDebug = [&](int Phase, const std::string& Name, std::int32_t,
                                       std::uint32_t) {
    if (Phase == 1)
      Names.push_back("enter " + Name);
    else if (Phase == 2)
      Names.push_back("leave " + Name);
  };
  TTestObject* A = AddNew<TTestObject>(List, 1);
  EXPECT_EQ((TStrings{"enter TSysObjectList.Add", "leave TSysObjectList.Add"}),
            std::exchange(Names, {}));
  List.Count<TTestObject>(true);
  EXPECT_EQ((TStrings{"enter TSysObjectList.Count", "leave TSysObjectList.Count"}),
            std::exchange(Names, {}));
  TCustomSysObject* Found;
  List.FindById(1, Found);
  EXPECT_EQ((TStrings{"enter TSysObjectList.FindById", "leave TSysObjectList.FindById"}),
            std::exchange(Names, {}));
  List.Find([](TCustomSysObject&) { return false; }, Found);
  EXPECT_EQ((TStrings{"enter TSysObjectList.Find", "leave TSysObjectList.Find"}),
            std::exchange(Names, {}));
  List.Remove(A);
  EXPECT_EQ((TStrings{"enter TSysObjectList.Remove", "leave TSysObjectList.Remove"}),
            std::exchange(Names, {}));
  List.Remove(A);
  EXPECT_EQ((TStrings{"enter TSysObjectList.Remove", "leave TSysObjectList.Remove/NotFound"}),
            std::exchange(Names, {}));
  delete A;
  TTestObject* B = AddNew<TTestObject>(List, 2);
  Names.clear();
  List.Delete(B);
  EXPECT_EQ((TStrings{"enter TSysObjectList.Delete", "leave TSysObjectList.Delete/Notify",
                      "enter TSysObjectList.Delete/Delete", "leave TSysObjectList.Delete/Notify2"}),
            std::exchange(Names, {}));
  TTestObject* C = AddNew<TTestObject>(List, 3);
  TSysObjectList Other;
  auto Foreign = TCustomSysObject::Create<TTestObject>();
  Foreign->SetID(3);
  Other.Add(Foreign.get());
  Names.clear();
  EXPECT_EQ(-1, List.Delete(Foreign.get()));
  EXPECT_EQ((TStrings{"enter TSysObjectList.Delete", "leave TSysObjectList.Delete/NotFound"}),
            std::exchange(Names, {}));
  Other.Remove(Foreign.get());
  List.OnChange = [](TCustomSysObject&, TObjectAction) { throw Exception("x"); };
  EXPECT_THROW(List.Delete(C), Exception);
  EXPECT_EQ((TStrings{"enter TSysObjectList.Delete", "leave TSysObjectList.Delete/Notify",
                      "enter TSysObjectList.Delete/Delete", "leave TSysObjectList.Delete/Notify2",
                      "enter TSysObjectList.Delete/Except", "leave TSysObjectList.Delete/Except"}),
            std::exchange(Names, {}));
  auto D = TCustomSysObject::Create<TTestObject>();
  D->SetID(4);
  EXPECT_THROW(List.Add(D.get()), Exception);
  EXPECT_EQ((TStrings{"enter TSysObjectList.Add", "leave TSysObjectList.Add",
                      "enter TSysObjectList.Add/Except", "leave TSysObjectList.Add/Except"}),
            std::exchange(Names, {}));
  List.OnChange = nullptr;
  TBufferProtocol Buffer(32);
  List.ObjectsSaveToBufferFilter(Buffer, [](TCustomSysObject&) { return true; });
  EXPECT_EQ((TStrings{"enter TSysObjectList.ObjectsSaveToBufferFilter",
                      "leave TSysObjectList.ObjectsSaveToBufferFilter"}),
            std::exchange(Names, {}));
  Buffer.SetPosition(0);
  List.OnCreateObject = nullptr;
  List.ObjectLoadMulti(Buffer, false);  // an add of a known object
  EXPECT_EQ((TStrings{"enter TSysObjectList.ObjectLoadMulti", "enter TSysObjectList.FindById",
                      "leave TSysObjectList.FindById", "leave TSysObjectList.ObjectLoadMulti"}),
            std::exchange(Names, {}));
  List.Load();
  EXPECT_EQ((TStrings{"enter TSysObjectList.Load", "leave TSysObjectList.Load"}),
            std::exchange(Names, {}));
  List.Clear();
  EXPECT_EQ((TStrings{"enter TSysObjectList.Clear", "enter TSysObjectList.Remove",
                      "leave TSysObjectList.Remove", "leave TSysObjectList.Clear"}),
            std::exchange(Names, {}));
}

TEST(SysObjectListTest, WritesListActionsAndCountedSequences) {
  TSysObjectList List;
  TBufferProtocol Empty(32);
  List.ObjectsSaveToBufferFilter(Empty, [](TCustomSysObject&) { return true; });
  EXPECT_EQ("00 00 00 00", HexOf(Empty));

  TTestObject* A = AddNew<TTestObject>(List, 30);
  TTestObject* B = AddNew<TTestObject>(List, 10);
  AddNew<TTestObject>(List, 20);
  B->SetValue(1);
  A->SetValue(1);

  TBufferProtocol Want(64);
  Want.WriteInteger(2);
  Want.WriteByte(4);
  B->SaveToBuffer(Want);
  Want.WriteByte(4);
  A->SaveToBuffer(Want);
  TBufferProtocol Got(64);
  List.ObjectsSaveToBufferFilter(
      Got, [](TCustomSysObject& O) { return static_cast<TTestObject&>(O).Value() == 1; });
  EXPECT_EQ(HexOf(Want), HexOf(Got));

  struct TCase {
    TObjectAction Action;
    std::string Want;
  } Cases[] = {
      {oaChanged, "01 " + RecordOf(*A)},
      {olaAdded, "04 " + RecordOf(*A)},
      {olaDeleted, "06 1E 00 00 00"},
      {oaDestroy, "02"},
  };
  for (const TCase& C : Cases) {
    TBufferProtocol Action(32);
    List.WriteListAction(*A, C.Action, Action);
    EXPECT_EQ(C.Want, HexOf(Action)) << ActionName(C.Action);
  }
}

// A list whose OnCreateObject makes TTestObjects, recording which objects it made and freed.
class ListActionTest : public ::testing::Test {
 protected:
  ListActionTest() {
    R.Watch(List);
    List.OnCreateObject = [this](TBufferProtocol& Buffer) -> std::unique_ptr<TCustomSysObject> {
      if (!Create)
        return nullptr;
      auto Obj = TCustomSysObject::Create<TTestObject>();
      Obj->LoadFromBuffer(Buffer);
      if (ForceID != 0)
        Obj->SetID(ForceID);
      Obj->AddChangeHandler([this](TCustomSysObject& O, TObjectAction A) {
        if (A == oaDestroy)
          Destroyed.push_back(O.ID());
      });
      ++Created;
      return Obj;
    };
    List.OnChange = [this](TCustomSysObject& O, TObjectAction A) {
      R.Events.push_back("list:" + std::string(ActionName(A)) + ":" + std::to_string(O.ID()) +
                         (O.RemoteChange() ? ":remote" : ""));
    };
  }

  std::unique_ptr<TTestObject> Record(std::int32_t ID, std::int32_t Value) {
    auto Obj = TCustomSysObject::Create<TTestObject>();
    Obj->SetID(ID);
    Obj->SetValue(Value);
    return Obj;
  }
  // One list action for an object of the given ID and value.
  std::unique_ptr<TBufferProtocol> Action(TObjectAction A, std::int32_t ID,
                                          std::int32_t Value = 0) {
    auto B = std::make_unique<TBufferProtocol>(64);
    List.WriteListAction(*Record(ID, Value), A, *B);
    B->SetPosition(0);
    return B;
  }
  std::int32_t ValueOf(std::int32_t ID) {
    TCustomSysObject* Obj = nullptr;
    return List.FindById(ID, Obj) ? static_cast<TTestObject*>(Obj)->Value() : -1;
  }

  TRecorder R;
  bool Create = true;
  std::int32_t ForceID = 0;
  int Created = 0;
  std::vector<std::int32_t> Destroyed;
  TSysObjectList List;  // last: its objects report to the members above while it is freed
};

TEST_F(ListActionTest, AddChangeAndDeleteFromTheCoreService) {
  auto Add = Action(olaAdded, 5, 50);
  EXPECT_EQ(nullptr, List.ObjectLoad(*Add));
  EXPECT_EQ(Add->Size(), Add->Position());
  EXPECT_EQ(50, ValueOf(5));
  EXPECT_EQ((TStrings{"list:olaBeforeAdd:5", "list:olaAdded:5:remote"}), R.Take());
  EXPECT_FALSE(List.Items(0)->RemoteChange());

  auto Change = Action(oaChanged, 5, 51);
  EXPECT_EQ(List.Items(0), List.ObjectLoad(*Change));
  EXPECT_EQ(51, ValueOf(5));
  EXPECT_EQ((TStrings{"list:oaBeforeChange:5", "list:oaChanged:5:remote"}), R.Take());

  auto AddKnown = Action(olaAdded, 5, 52);
  EXPECT_EQ(List.Items(0), List.ObjectLoad(*AddKnown)) << "an add of a known object updates it";
  EXPECT_EQ(52, ValueOf(5));
  EXPECT_EQ(1, Created);
  R.Take();

  auto Delete = Action(olaDeleted, 5);
  EXPECT_EQ(nullptr, List.ObjectLoad(*Delete));
  EXPECT_EQ(0, List.Count());
  EXPECT_EQ((TStrings{"list:olaBeforeDelete:5", "list:olaDeleted:5:remote"}), R.Take());
  EXPECT_EQ(std::vector<std::int32_t>{5}, Destroyed);
}

TEST_F(ListActionTest, ActionsForUnknownObjectsConsumeTheirBytes) {
  struct TCase {
    const char* Name;
    TObjectAction Action;
    bool Create;
  } Cases[] = {
      {"change of an unknown object", oaChanged, true},
      {"delete of an unknown object", olaDeleted, true},
      {"add that the creator declines", olaAdded, false},
  };
  for (const TCase& C : Cases) {
    Create = C.Create;
    auto B = Action(C.Action, 9, 1);
    B->SetPosition(B->Size());
    B->WriteInteger(0x55AA);  // what follows the action
    B->SetPosition(0);
    EXPECT_EQ(nullptr, List.ObjectLoad(*B)) << C.Name;
    EXPECT_EQ(0x55AA, B->ReadInteger()) << C.Name;
    EXPECT_EQ(0, List.Count()) << C.Name;
  }
  EXPECT_TRUE(R.Take().empty());
}

TEST_F(ListActionTest, ObjectLoadMultiAppliesACountedSequence) {
  List.ObjectLoad(*Action(olaAdded, 99, 1));
  auto B = std::make_unique<TBufferProtocol>(64);
  B->WriteInteger(3);
  for (std::int32_t ID : {3, 1, 2}) {
    B->WriteByte(olaAdded);
    Record(ID, ID * 10)->SaveToBuffer(*B);
  }
  B->SetPosition(0);
  R.Take();
  List.ObjectLoadMulti(*B, true);
  ASSERT_EQ(3, List.Count());
  EXPECT_EQ(10, ValueOf(1));
  EXPECT_EQ(30, ValueOf(3));
  EXPECT_EQ(-1, ValueOf(99)) << "cleared first";
  EXPECT_EQ((TStrings{"list:olaBeforeAdd:3", "list:olaAdded:3", "list:olaBeforeAdd:1",
                      "list:olaAdded:1", "list:olaBeforeAdd:2", "list:olaAdded:2"}),
            R.Take())
      << "not remote";
}

// Bad input from the Core service: each action fails with its error, changes nothing, leaks
// nothing, and a following valid action still applies.
TEST_F(ListActionTest, BadActionsFailAndChangeNothing) {
  List.ObjectLoad(*Action(olaAdded, 5, 50));
  List.ObjectLoad(*Action(olaAdded, 6, 60));
  auto Valid = RecordOf(*Record(7, 70));
  auto Known = RecordOf(*Record(5, 55));
  auto OtherType = TCustomSysObject::Create<TEmptyObject>();
  OtherType->SetID(5);
  const std::string KnownAsOtherType = RecordOf(*OtherType);
  struct TCase {
    const char* Name;
    std::string Hex;
    std::string Message;
    std::int32_t ForceID;
  } Cases[] = {
      {"action byte 0", "00 " + Valid, "Invalid list action", 0},
      {"action byte 2", "02 " + Valid, "Invalid list action", 0},
      {"action byte 3", "03 " + Valid, "Invalid list action", 0},
      {"action byte 5", "05 " + Valid, "Invalid list action", 0},
      {"action byte 255", "FF " + Valid, "Invalid list action", 0},
      {"empty action", "", "Attempt to read beyond end of buffer!", 0},
      {"add cut short", "04 " + Valid.substr(0, 60), "Invalid object record length", 0},
      {"change of a known object cut short", "01 " + Known.substr(0, Known.size() - 3),
       "Invalid object record length", 0},
      {"change of an unknown object past the buffer", "01 09 00 00 00 FF 00 00 00",
       "Attempt to move beyond end of buffer!", 0},
      // Found by the fuzzer: the skipped length was added to the position before it was
      // checked, and overflowed.
      {"change of an unknown object with the largest length", "01 09 00 00 00 FF FF FF 7F",
       "Attempt to move beyond end of buffer!", 0},
      {"change of an unknown object with a negative length", "01 09 00 00 00 F0 FF FF FF",
       "Invalid object record length -16", 0},
      {"delete cut short", "06 05 00", "Attempt to read beyond end of buffer!", 0},
      // Found by the fuzzer: a group took a zone's record and then wrote zone records that no
      // zone could read.
      {"change of a known object by a record of another type", "01 " + KnownAsOtherType,
       "Object 5 is of type TestObject, the record is of type Empty", 0},
      {"add of a known object by a record of another type", "04 " + KnownAsOtherType,
       "Object 5 is of type TestObject, the record is of type Empty", 0},
      {"created object with a duplicate ID", "04 " + Valid, "List does not allow duplicates ($06)",
       6},
  };
  for (const TCase& C : Cases) {
    ForceID = C.ForceID;
    const int CreatedBefore = Created;
    const size_t DestroyedBefore = Destroyed.size();
    R.Take();
    auto B = BufferOf(C.Hex);
    try {
      List.ObjectLoad(*B);
      ADD_FAILURE() << C.Name << ": no error";
    } catch (const Exception& E) {
      EXPECT_EQ(0u, E.Message().find(C.Message)) << C.Name << ": " << E.Message();
    }
    EXPECT_EQ(2, List.Count()) << C.Name;
    EXPECT_EQ(50, ValueOf(5)) << C.Name;
    EXPECT_EQ(60, ValueOf(6)) << C.Name;
    EXPECT_EQ(Created - CreatedBefore, static_cast<int>(Destroyed.size() - DestroyedBefore))
        << C.Name << ": every object made was freed";
    for (const std::string& Event : R.Events)
      EXPECT_EQ(std::string::npos, Event.find("Added")) << C.Name << ": " << Event;
  }
  ForceID = 0;
  List.ObjectLoad(*Action(olaAdded, 7, 70));
  EXPECT_EQ(70, ValueOf(7)) << "a valid action still applies";
}

TEST_F(ListActionTest, InvalidActionNamesWhereItFailed) {
  auto B = BufferOf("02");
  try {
    List.ObjectLoad(*B);
    FAIL();
  } catch (const EAssertionFailed& E) {
    EXPECT_EQ(0u, E.Message().find("Invalid list action (Common.cpp, line ")) << E.Message();
  }
}

// ---------------------------------------------------------------------------------------------
// General objects and the service object

// PelCID, service 5, version 1.2 built 45000.5, info "ok", configuration AA BB, online.
const std::string ServiceRecord =
    "05 00 00 00  69 00 00 00"
    "  06 00 00 00 50 65 6C 43 49 44"                    // name
    "  07 00 00 00 53 65 72 76 69 63 65"                 // type name
    "  05  01  00  01 00  01  04"                        // service, enabled, flag, null, bytes
    "  0C 00 00 00 D0 A3 D1 81 D0 BB D1 83 D0 B3 D0 B0"  // caption
    "  20 00 00 00  01 00  02 00  00 00 00 00 10 F9 E5 40  02 00 00 00 6F 6B"
    "  00 00 00 00 00 00 00 00  02 00 00 00 AA BB"  // properties
    "  15 00 00 00  01  02  0B 00 00 00 D0 B2 20 D1 81 D0 B5 D1 82 D0 B8  00 00 00 00";  // status

TEST(SysServiceTest, ServiceRecordBothWays) {
  auto Service = TCustomSysObject::CreateOwn<TDefaultSysService>();
  Service->SetID(5);
  Service->SetName("PelCID");
  Service->SetServiceID(5);
  Service->SetDescription(TVariant::Null());
  Service->SetVersionMajor(1);
  Service->SetVersionMinor(2);
  Service->SetBuildDate(45000.5);
  Service->SetInfoText("ok");
  Service->Config().WriteByte(0xAA);
  Service->Config().WriteByte(0xBB);
  EXPECT_EQ(ToHex(Bytes(ServiceRecord)), RecordOf(*Service));
  EXPECT_EQ(2, Service->Config().Size()) << "the default service keeps its configuration";

  auto Read = TCustomSysObject::Create<TDefaultSysService>();
  EXPECT_FALSE(Read->Online());
  Read->LoadFromBuffer(*BufferOf(ServiceRecord));
  EXPECT_EQ(5, Read->ID());
  EXPECT_EQ("PelCID", Read->Name());
  EXPECT_EQ("Service", Read->TypeName());
  EXPECT_EQ(5, Read->ServiceID());
  EXPECT_EQ(1, Read->VersionMajor());
  EXPECT_EQ(2, Read->VersionMinor());
  EXPECT_EQ(45000.5, Read->BuildDate());
  EXPECT_EQ("ok", Read->InfoText());
  EXPECT_EQ(0.0, Read->InfoDate());
  EXPECT_EQ("AA BB", HexOf(Read->Config()));
  EXPECT_TRUE(Read->Online());
  EXPECT_EQ(2, Read->StatusCode());
  EXPECT_EQ("в сети", Read->StatusText());
  EXPECT_EQ("", Read->StatusDetail());
  EXPECT_EQ(ToHex(Bytes(ServiceRecord)), RecordOf(*Read));
}

TEST(SysServiceTest, GeneralObjectCarriesAnyRecordByteForByte) {
  auto General = TCustomSysObject::Create<TGeneralSysObject>();
  EXPECT_EQ("SysObject", General->TypeName());
  General->LoadFromBuffer(*BufferOf(ServiceRecord));
  EXPECT_EQ("Service", General->TypeName());
  EXPECT_EQ("Услуга", General->Caption()) << "the caption comes from the record";
  EXPECT_EQ(0x20, General->Data().Size());
  EXPECT_EQ(0x15, General->StatusData().Size());
  EXPECT_EQ(ToHex(Bytes(ServiceRecord)), RecordOf(*General));

  TRecorder R;
  R.Watch(*General);
  General->LoadFromBuffer(*BufferOf(ServiceRecord));
  EXPECT_TRUE(R.Take().empty());
  General->ClearStatus();
  EXPECT_EQ(0, General->StatusData().Size());
  EXPECT_EQ(TStrings{"obj:status:oaChanged"}, R.Take());
}

TEST(SysServiceTest, StatusDefaultsAndSetters) {
  auto Own = TCustomSysObject::CreateOwn<TSysService>();
  EXPECT_EQ("Услуга", Own->Caption());
  EXPECT_TRUE(Own->Online());
  EXPECT_EQ(2, Own->StatusCode());
  EXPECT_EQ("в сети", Own->StatusText());
  EXPECT_TRUE(Own->IsOnline());

  auto Other = TCustomSysObject::Create<TSysService>();
  EXPECT_FALSE(Other->Online());
  EXPECT_EQ(1, Other->StatusCode());
  EXPECT_EQ("не в сети", Other->StatusText());
  EXPECT_TRUE(Other->IsOnline()) << "an object without ID counts as online";
  Other->SetID(3);
  EXPECT_FALSE(Other->IsOnline());

  TRecorder R;
  R.Watch(*Own);
  Own->SetStatusDetail("detail");
  R.Take();
  Own->SetOnline(false);
  EXPECT_EQ(1, Own->StatusCode());
  EXPECT_EQ("не в сети", Own->StatusText());
  EXPECT_EQ("", Own->StatusDetail());
  EXPECT_EQ(TStrings{"obj:status:oaChanged"}, R.Take());

  Own->SetStatus("не в сети", 1, "");
  EXPECT_TRUE(R.Take().empty()) << "the values already stored";
  Own->SetStatus("повреждение", 3, "no channel");
  EXPECT_EQ(TStrings{"obj:status:oaChanged"}, R.Take()) << "three values, one notification";
  EXPECT_EQ(3, Own->StatusCode());

  Own->SetInfoText("info");
  Own->SetInfoDate(1.0);
  EXPECT_EQ((TStrings{"obj:status:oaChanged", "obj:status:oaChanged"}), R.Take());
  Own->SetBuildDate(std::numeric_limits<double>::quiet_NaN());
  EXPECT_TRUE(R.Take().empty()) << "a NaN compares as equal";
  Own->SetVersionMajor(3);
  EXPECT_EQ((TStrings{"obj:oaBeforeChange", "obj:oaChanged"}), R.Take());
}

// A service that keeps its configuration block when written and counts ConfigChanged calls.
class TCountingService : public TDefaultSysService {
 public:
  explicit TCountingService(TCreateKey Key) : TDefaultSysService(Key) {}
  int ConfigChanges = 0;

 protected:
  void ConfigChanged() override { ++ConfigChanges; }
};

TEST(SysServiceTest, ConfigurationBlockChanges) {
  auto WithConfig = [](const std::string& ConfigHex) {
    auto Source = TCustomSysObject::Create<TDefaultSysService>();
    const auto Data = test::Bytes(ConfigHex);
    if (!Data.empty())
      Source->Config().WriteData(static_cast<std::int32_t>(Data.size()), Data.data());
    return RecordBuffer(*Source);
  };
  auto Service = TCustomSysObject::Create<TCountingService>();
  TRecorder R;
  R.Watch(*Service);
  Service->LoadFromBuffer(*WithConfig("01 02"));
  EXPECT_EQ(1, Service->ConfigChanges);
  EXPECT_EQ("01 02", HexOf(Service->Config()));
  R.Take();

  Service->LoadFromBuffer(*WithConfig("01 02"));
  EXPECT_EQ(1, Service->ConfigChanges) << "an equal block";
  EXPECT_TRUE(R.Take().empty()) << "an equal block changes nothing";

  Service->LoadFromBuffer(*WithConfig(""));
  EXPECT_EQ(0, Service->Config().Size());
  EXPECT_EQ(1, Service->ConfigChanges) << "an empty block replaces without ConfigChanged";
  EXPECT_EQ((TStrings{"obj:oaBeforeChange", "obj:oaChanged"}), R.Take());

  Service->LoadFromBuffer(*WithConfig("03"));
  EXPECT_EQ(2, Service->ConfigChanges);

  // A plain service empties its block whenever it is written, unless BuildConfig fills it.
  auto Plain = TCustomSysObject::Create<TSysService>();
  Plain->Config().WriteByte(0x07);
  auto Written = RecordBuffer(*Plain);
  EXPECT_EQ(0, Plain->Config().Size());
  auto General = TCustomSysObject::Create<TGeneralSysObject>();
  General->LoadFromBuffer(*Written);
  const TBufferProtocol& Properties = General->Data();
  ASSERT_GE(Properties.Size(), 4);
  EXPECT_EQ("00 00 00 00", ToHex(Properties.Data() + Properties.Size() - 4, 4));
}

}  // namespace
}  // namespace pelmar
