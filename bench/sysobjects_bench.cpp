// The object list at the size of a large installation: loading a "GetSysObjects" reply (the
// service, 50 channels, 5000 accounts with 8 groups and 32 zones each) into an empty list with
// ObjectLoadMulti, the objects made as the service makes them (a general probe reads each
// record's type, then the class is created with own status and loads the record); and finding
// an account by its number as the report handling does, with a linear Find over the list.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>

#include "BaseProtocol.h"
#include "CIDCommon.h"
#include "Common.h"

namespace {

using namespace pelmar;

constexpr int Channels = 50;
constexpr int GroupsPerAccount = 8;
constexpr int ZonesPerAccount = 32;

// IDs: the service 5, channels from 10, account i at 1000 + 64 i with its groups and zones
// right after it, so that the reply comes in ID order as the list writes it.
std::int32_t AccountID(int I) {
  return 1000 + 64 * I;
}

std::unique_ptr<TBufferProtocol> MakeReply(int Accounts) {
  auto Reply = std::make_unique<TBufferProtocol>(64);
  Reply->WriteInteger(1 + Channels + Accounts * (1 + GroupsPerAccount + ZonesPerAccount));
  {
    auto Service = TCustomSysObject::CreateOwn<TDefaultSysService>();
    Service->SetID(5);
    Service->SetName("PelCID");
    Service->SetServiceID(5);
    Reply->WriteByte(olaAdded);
    Service->SaveToBuffer(*Reply);
  }
  auto Channel = TCustomSysObject::Create<TCIDChannel>();
  for (int I = 0; I < Channels; ++I) {
    Channel->SetID(10 + I);
    Channel->SetName("Receiver " + std::to_string(I));
    Channel->SetComAddress(std::to_string(I + 1) + "/9600-8-N-1");
    Reply->WriteByte(olaAdded);
    Channel->SaveToBuffer(*Reply);
  }
  // One object per class serves for all records; members are unlinked before they are written
  // so that the template account never owns them.
  auto Account = TCustomSysObject::Create<TCIDAccount>();
  auto Group = TCustomSysObject::Create<TCIDGroup>();
  auto Zone = TCustomSysObject::Create<TCIDZone>();
  for (int I = 0; I < Accounts; ++I) {
    const std::int32_t ID = AccountID(I);
    Account->SetID(ID);
    Account->SetName("Account " + std::to_string(I));
    Account->SetAccountIdx(static_cast<std::uint16_t>(I + 1));
    Reply->WriteByte(olaAdded);
    Account->SaveToBuffer(*Reply);
    Group->SetAccountID(ID);
    Zone->SetAccountID(ID);
    Account->RemoveGroup(Group.get());
    Account->RemoveZone(Zone.get());
    for (int G = 0; G < GroupsPerAccount; ++G) {
      Group->SetID(ID + 1 + G);
      Group->SetGroupIdx(static_cast<std::uint16_t>(G + 1));
      Group->SetName("Group " + std::to_string(G + 1));
      Reply->WriteByte(olaAdded);
      Group->SaveToBuffer(*Reply);
    }
    for (int Z = 0; Z < ZonesPerAccount; ++Z) {
      Zone->SetID(ID + 1 + GroupsPerAccount + Z);
      Zone->SetZoneIdx(static_cast<std::uint16_t>(Z + 1));
      Zone->SetName("Zone " + std::to_string(Z + 1));
      Reply->WriteByte(olaAdded);
      Zone->SaveToBuffer(*Reply);
    }
  }
  return Reply;
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
    Obj = TCustomSysObject::CreateOwn<TCIDGroup>();
  else if (Type == TCIDAccount::ClassTypeName())
    Obj = TCustomSysObject::CreateOwn<TCIDAccount>();
  else if (Type == TCIDChannel::ClassTypeName())
    Obj = TCustomSysObject::CreateOwn<TCIDChannel>();
  else if (Type == TSysService::ClassTypeName())
    Obj = TCustomSysObject::CreateOwn<TDefaultSysService>();
  if (Obj)
    Obj->LoadFromBuffer(Buffer);
  return Obj;
}

void BM_LoadGetSysObjects(benchmark::State& State) {
  const int Accounts = static_cast<int>(State.range(0));
  const std::unique_ptr<TBufferProtocol> Reply = MakeReply(Accounts);
  std::int64_t Objects = 0;
  for (auto _ : State) {
    auto List = std::make_unique<TSysObjectList>();
    List->OnCreateObject = CreateObject;
    Reply->SetPosition(0);
    List->ObjectLoadMulti(*Reply, true);
    Objects += List->Count();
    State.PauseTiming();
    List.reset();
    State.ResumeTiming();
  }
  State.SetItemsProcessed(Objects);
  State.counters["reply_bytes"] = Reply->Size();
}
BENCHMARK(BM_LoadGetSysObjects)
    ->Arg(500)
    ->Arg(1000)
    ->Arg(2000)
    ->Arg(5000)
    ->Unit(benchmark::kMillisecond);

// Freeing the loaded list (every Clear on a reconnection, and the end of a run).
void BM_FreeLoadedList(benchmark::State& State) {
  const std::unique_ptr<TBufferProtocol> Reply = MakeReply(static_cast<int>(State.range(0)));
  for (auto _ : State) {
    State.PauseTiming();
    auto List = std::make_unique<TSysObjectList>();
    List->OnCreateObject = CreateObject;
    Reply->SetPosition(0);
    List->ObjectLoadMulti(*Reply, true);
    State.ResumeTiming();
    List.reset();
  }
}
BENCHMARK(BM_FreeLoadedList)->Arg(5000)->Unit(benchmark::kMillisecond);

// The account search of the report handling: the first TCIDAccount in ID order whose
// AccountIdx is the reported number. Arg 1 is where the account stands: 0 first, 1 middle,
// 2 last, 3 not there (an unknown account, the whole list is searched).
void BM_FindAccountByIdx(benchmark::State& State) {
  const int Accounts = static_cast<int>(State.range(0));
  const std::unique_ptr<TBufferProtocol> Reply = MakeReply(Accounts);
  TSysObjectList List;
  List.OnCreateObject = CreateObject;
  Reply->SetPosition(0);
  List.ObjectLoadMulti(*Reply, true);
  const std::uint16_t Wanted[] = {1, static_cast<std::uint16_t>(Accounts / 2),
                                  static_cast<std::uint16_t>(Accounts), 65535};
  const std::uint16_t AccountIdx = Wanted[State.range(1)];
  for (auto _ : State) {
    TCustomSysObject* Found = nullptr;
    const bool Ok = List.Find(
        [AccountIdx](TCustomSysObject& Obj) {
          auto* Account = dynamic_cast<TCIDAccount*>(&Obj);
          return Account != nullptr && Account->AccountIdx() == AccountIdx;
        },
        Found);
    benchmark::DoNotOptimize(Ok);
    benchmark::DoNotOptimize(Found);
  }
  State.counters["objects"] = List.Count();
}
BENCHMARK(BM_FindAccountByIdx)
    ->Args({500, 2})
    ->Args({5000, 0})
    ->Args({5000, 1})
    ->Args({5000, 2})
    ->Args({5000, 3})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
