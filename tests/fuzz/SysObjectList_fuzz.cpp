// List actions from the Core service applied to an object list that holds a service, channels,
// accounts, groups and zones. The input is a script: each step either sends a list action built
// from a well-formed record with a few bytes changed (so that the fuzzer reaches the deep parts
// of every record), or raw bytes as one or more actions, or a counted sequence, or a local
// change of a zone's or group's account. Errors of the system's own classes are expected; any
// other exception, a memory error, a broken invariant, or an object left registered is a crash.
//
// After every step: the list is sorted by ID and finds each object by it, every zone and group
// is linked to the account with its AccountID or to none, every account's members point back to
// it and belong to no other account, and every registered Contact ID object is in the list.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "BaseProtocol.h"
#include "CIDCommon.h"
#include "Common.h"
#include "Exception.h"
#include "Utilities.h"

namespace {

using namespace pelmar;

void Require(bool Condition, const char* What) {
  if (!Condition) {
    std::fprintf(stderr, "invariant broken: %s\n", What);
    std::abort();
  }
}

// The input, read byte by byte; 0 once it is used up.
class TScript {
 public:
  TScript(const std::uint8_t* Data, size_t Size) : FData(Data), FSize(Size) {}
  bool Done() const { return FAt >= FSize; }
  std::uint8_t Next() { return FAt < FSize ? FData[FAt++] : 0; }
  std::vector<std::uint8_t> Take(size_t Count) {
    const size_t N = Count < FSize - FAt ? Count : FSize - FAt;
    std::vector<std::uint8_t> Out(FData + FAt, FData + FAt + N);
    FAt += N;
    return Out;
  }

 private:
  const std::uint8_t* FData;
  size_t FSize;
  size_t FAt = 0;
};

// IDs the script picks from, so that actions meet the objects of the list.
const std::int32_t IDs[] = {5, 10, 11, 100, 101, 102, 103, 200, 201, 202, 300, 301, 0, -1};
constexpr int IDCount = sizeof(IDs) / sizeof(IDs[0]);

const char* const TypeNames[] = {"Zone", "Group", "Account", "Channel", "Service", "Other"};

// A record written field by field (not through the classes, so that no object is made).
void WriteRecord(TBufferProtocol& B, int Kind, std::int32_t ID, std::int32_t AccountID,
                 std::uint16_t Idx, std::uint8_t Flags) {
  B.WriteInteger(ID);
  const std::int32_t LengthAt = B.Position();
  B.WriteInteger(0);
  B.WriteString("object");
  B.WriteString(TypeNames[Kind]);
  B.WriteByte(5);
  B.WriteBoolean(Flags & 1);
  B.WriteBoolean(false);
  B.WriteVariant(TVariant::Null());
  B.WriteByte(1);
  B.WriteByte(4);
  B.WriteString("caption");
  const std::int32_t PropertiesAt = B.Position();
  B.WriteInteger(0);
  switch (Kind) {
    case 0:
      B.WriteInteger(AccountID);
      B.WriteWord(Idx);
      B.WriteInteger(3);
      B.WriteVariant(TVariant(std::int32_t{7}));
      break;
    case 1:
      B.WriteInteger(AccountID);
      B.WriteWord(Idx);
      B.WriteVariant(TVariant::Null());
      break;
    case 2:
      B.WriteWord(Idx);
      B.WriteVariant(TVariant::Null());
      B.WriteVariant(TVariant::DateTime(0.5));
      B.WriteBoolean(Flags & 2);
      break;
    case 3:
      B.WriteInteger(Flags & 1);
      B.WriteString("127.0.0.1:1025");
      B.WriteBoolean(true);
      B.WriteWord(30);
      break;
    case 4:
      B.WriteWord(1);
      B.WriteWord(0);
      B.WriteDateTime(45000);
      B.WriteString("info");
      B.WriteDateTime(0);
      B.WriteInteger(2);
      B.WriteWord(Idx);
      break;
    default:
      B.WriteInteger(AccountID);
      break;
  }
  B.WriteIntegerAt(B.Position() - PropertiesAt - 4, PropertiesAt);
  const std::int32_t StatusAt = B.Position();
  B.WriteInteger(0);
  switch (Kind) {
    case 0:
      B.WriteWord(Flags);
      break;
    case 1:
      B.WriteByte(Flags);
      B.WriteByte(0);
      break;
    case 2:
      B.WriteByte(Flags & 1);
      break;
    case 3:
      B.WriteByte(Flags % 6);
      B.WriteString("state");
      break;
    case 4:
      B.WriteBoolean(true);
      B.WriteByte(2);
      B.WriteString("online");
      B.WriteString("");
      break;
    default:
      break;
  }
  B.WriteIntegerAt(B.Position() - StatusAt - 4, StatusAt);
  B.WriteIntegerAt(B.Position() - LengthAt - 4, LengthAt);
}

std::unique_ptr<TCustomSysObject> CreateObject(TBufferProtocol& Buffer) {
  auto Probe = TCustomSysObject::Create<TGeneralSysObject>();
  const std::int32_t At = Buffer.Position();
  Probe->LoadFromBuffer(Buffer);
  Buffer.SetPosition(At);
  std::unique_ptr<TCustomSysObject> Obj;
  const std::string& Type = Probe->TypeName();
  if (Type == TCIDZone::ClassTypeName())
    Obj = TCustomSysObject::CreateOwn<TCIDZone>();
  else if (Type == TCIDGroup::ClassTypeName())
    Obj = TCustomSysObject::Create<TCIDGroup>();
  else if (Type == TCIDAccount::ClassTypeName())
    Obj = TCustomSysObject::CreateOwn<TCIDAccount>();
  else if (Type == TCIDChannel::ClassTypeName())
    Obj = TCustomSysObject::Create<TCIDChannel>();
  else if (Type == TSysService::ClassTypeName())
    Obj = TCustomSysObject::CreateOwn<TDefaultSysService>();
  if (Obj)
    Obj->LoadFromBuffer(Buffer);
  return Obj;
}

// Applies an action; errors of the system's classes are expected, and must leave the list sound.
template <class F>
void Expecting(F&& Step) {
  try {
    Step();
  } catch (const EBugCheckError& E) {
    std::fprintf(stderr, "bug check: %s\n", E.Message().c_str());
    std::abort();
  } catch (const pelmar::Exception&) {
  }
}

template <class T>
bool Contains(const std::vector<T*>& List, const T* Item) {
  int Count = 0;
  for (const T* I : List)
    Count += I == Item;
  return Count == 1;
}

void CheckList(TSysObjectList& L) {
  std::vector<TCIDAccount*> Accounts;
  std::vector<TCIDZone*> Zones;
  std::vector<TCIDGroup*> Groups;
  for (std::int32_t I = 0; I < L.Count(); ++I) {
    TCustomSysObject* Obj = L.Items(I);
    Require(Obj->OwnerList() == &L, "every object knows its list");
    Require(I == 0 || L.Items(I - 1)->ID() < Obj->ID(), "sorted by ID");
    TCustomSysObject* Found = nullptr;
    Require(L.FindById(Obj->ID(), Found) && Found == Obj, "found by its ID");
    Require(!Obj->Loading() && !Obj->Restoring(), "no load left open");
    if (auto* A = dynamic_cast<TCIDAccount*>(Obj))
      Accounts.push_back(A);
    else if (auto* Z = dynamic_cast<TCIDZone*>(Obj))
      Zones.push_back(Z);
    else if (auto* G = dynamic_cast<TCIDGroup*>(Obj))
      Groups.push_back(G);
  }
  Require(AllAccounts().size() == Accounts.size(), "every registered account is in the list");
  Require(AllZones().size() == Zones.size(), "every registered zone is in the list");
  Require(AllGroups().size() == Groups.size(), "every registered group is in the list");

  for (TCIDZone* Z : Zones)
    if (TCIDAccount* A = Z->Account()) {
      Require(A->ID() == Z->AccountID(), "a zone is linked to the account with its AccountID");
      Require(Contains(Accounts, A), "a zone's account is in the list");
    }
  for (TCIDGroup* G : Groups)
    if (TCIDAccount* A = G->Account()) {
      Require(A->ID() == G->AccountID(), "a group is linked to the account with its AccountID");
      Require(Contains(Accounts, A), "a group's account is in the list");
    }
  std::vector<TCIDZone*> Members;
  std::vector<TCIDGroup*> GroupMembers;
  for (TCIDAccount* A : Accounts) {
    for (std::int32_t I = 0; I < A->ZoneCount(); ++I) {
      TCIDZone* Z = A->Zones(I);
      Require(Z->Account() == A, "an account's zone points back to it");
      Require(Contains(Zones, Z), "an account's zone is in the list");
      Members.push_back(Z);
    }
    for (std::int32_t I = 0; I < A->GroupCount(); ++I) {
      TCIDGroup* G = A->Groups(I);
      Require(G->Account() == A, "an account's group points back to it");
      Require(Contains(Groups, G), "an account's group is in the list");
      GroupMembers.push_back(G);
    }
  }
  for (TCIDZone* Z : Members)
    Require(Contains(Members, Z), "a zone is in one account's list once");
  for (TCIDGroup* G : GroupMembers)
    Require(Contains(GroupMembers, G), "a group is in one account's list once");
  for (TCIDZone* Z : Zones)
    Require((Z->Account() != nullptr) == Contains(Members, Z),
            "a linked zone is in its account's list");
}

// The starting list: the service, two channels, two accounts with groups and zones, and a zone
// waiting for an account that is not there.
void Fill(TSysObjectList& L) {
  TBufferProtocol B(64);
  const struct {
    int Kind;
    std::int32_t ID, AccountID;
    std::uint16_t Idx;
  } Objects[] = {{4, 5, 0, 0},     {3, 10, 0, 0},    {3, 11, 0, 0},    {2, 100, 0, 1},
                 {1, 101, 100, 1}, {0, 102, 100, 1}, {0, 103, 100, 2}, {2, 200, 0, 2},
                 {1, 201, 200, 1}, {0, 202, 200, 1}, {0, 301, 300, 1}};
  B.WriteInteger(sizeof(Objects) / sizeof(Objects[0]));
  for (const auto& O : Objects) {
    B.WriteByte(olaAdded);
    WriteRecord(B, O.Kind, O.ID, O.AccountID, O.Idx, 1);
  }
  B.SetPosition(0);
  L.ObjectLoadMulti(B, true);
}

std::int32_t PickID(TScript& S) {
  return IDs[S.Next() % IDCount];
}

// One list action from a well-formed record, with a few bytes changed.
void StructuredAction(TScript& S, TBufferProtocol& B) {
  static const std::uint8_t Actions[] = {oaChanged, olaAdded, olaDeleted};
  const std::uint8_t Action = Actions[S.Next() % 3];
  const int Kind = S.Next() % 6;
  const std::int32_t ID = PickID(S);
  const std::int32_t AccountID = PickID(S);
  const std::uint16_t Idx = static_cast<std::uint16_t>(S.Next() | ((S.Next() & 0x1F) << 8));
  const std::uint8_t Flags = S.Next();
  B.WriteByte(Action);
  if (Action == olaDeleted)
    B.WriteInteger(ID);
  else
    WriteRecord(B, Kind, ID, AccountID, Idx, Flags);
  for (int Edits = S.Next() % 4; Edits > 0; --Edits) {
    const std::uint8_t At = S.Next();
    const std::uint8_t Value = S.Next();
    if (B.Size() > 0)
      B.Data()[At % B.Size()] = Value;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, size_t Size) {
  TScript S(Data, Size);
  {
    TSysObjectList L;
    int Notifications = 0;
    L.OnChange = [&](TCustomSysObject&, TObjectAction) { ++Notifications; };
    L.OnBeforeChange = [&](TCustomSysObject&, TObjectAction) { ++Notifications; };
    L.OnStatusChange = [&](TCustomSysObject&) { ++Notifications; };
    L.OnCreateObject = CreateObject;
    Fill(L);
    CheckList(L);

    for (int Steps = 0; !S.Done() && Steps < 64; ++Steps) {
      const std::uint8_t Op = S.Next() % 6;
      TBufferProtocol B(32);
      switch (Op) {
        case 0:
        case 1:
          StructuredAction(S, B);
          B.SetPosition(0);
          Expecting([&] { L.ObjectLoad(B); });
          break;
        case 2: {
          // A counted sequence of structured actions.
          const std::uint8_t N = S.Next() % 5;
          B.WriteInteger(N);
          for (int I = 0; I < N; ++I)
            StructuredAction(S, B);
          B.SetPosition(0);
          const bool ClearFirst = (S.Next() & 7) == 0;
          Expecting([&] { L.ObjectLoadMulti(B, ClearFirst); });
          break;
        }
        case 3: {
          // Raw bytes as actions, one after another until they are used up.
          const std::vector<std::uint8_t> Raw = S.Take(S.Next());
          B.WriteData(static_cast<std::int32_t>(Raw.size()), Raw.data());
          B.SetPosition(0);
          while (B.Position() < B.Size()) {
            const std::int32_t Before = B.Position();
            Expecting([&] { L.ObjectLoad(B); });
            if (B.Position() <= Before)
              break;
          }
          break;
        }
        case 4: {
          const std::vector<std::uint8_t> Raw = S.Take(S.Next());
          B.WriteData(static_cast<std::int32_t>(Raw.size()), Raw.data());
          B.SetPosition(0);
          Expecting([&] { L.ObjectLoadMulti(B, false); });
          break;
        }
        case 5: {
          // A local change: a zone or group moves to another account, or an object is deleted.
          if (L.Count() == 0)
            break;
          TCustomSysObject* Obj = L.Items(S.Next() % L.Count());
          const std::int32_t AccountID = PickID(S);
          const bool Delete = (S.Next() & 3) == 0;
          Expecting([&] {
            if (Delete)
              L.Delete(Obj);
            else if (auto* Z = dynamic_cast<TCIDZone*>(Obj))
              Z->SetAccountID(AccountID);
            else if (auto* G = dynamic_cast<TCIDGroup*>(Obj))
              G->SetAccountID(AccountID);
          });
          break;
        }
      }
      CheckList(L);
    }
    // Writing the whole list and reading it back after clearing gives the same objects.
    std::vector<std::pair<std::int32_t, const std::type_info*>> Before;
    for (std::int32_t I = 0; I < L.Count(); ++I) {
      TCustomSysObject* Obj = L.Items(I);
      Before.emplace_back(Obj->ID(), &typeid(*Obj));
    }
    TBufferProtocol All(64);
    L.ObjectsSaveToBufferFilter(All, [](TCustomSysObject&) { return true; });
    All.SetPosition(0);
    L.ObjectLoadMulti(All, true);
    Require(All.Position() == All.Size(), "a written list is read to its end");
    Require(static_cast<size_t>(L.Count()) == Before.size(), "a written list reads back whole");
    for (std::int32_t I = 0; I < L.Count(); ++I) {
      TCustomSysObject* Obj = L.Items(I);
      Require(Obj->ID() == Before[I].first && typeid(*Obj) == *Before[I].second,
              "a written list reads back in order");
    }
    CheckList(L);
    (void)Notifications;
  }
  Require(AllZones().empty() && AllGroups().empty() && AllAccounts().empty(),
          "freeing the list leaves no object registered");
  return 0;
}
