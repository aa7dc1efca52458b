#include "Utilities.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <future>
#include <limits>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "FakeClock.h"
#include "Hex.h"
#include "Version.h"

namespace pelmar {
namespace {

using test::Bytes;
using test::TFakeClock;
using test::ToHex;

constexpr std::int32_t kMinInt = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMaxInt = std::numeric_limits<std::int32_t>::max();

// The message of the E that Fn raises, or a marker when it raises something else or nothing.
template <typename E, typename F>
std::string MessageOf(F&& Fn) {
  try {
    Fn();
  } catch (const E& Error) {
    return Error.Message();
  } catch (const std::exception& Error) {
    return std::string("<other exception: ") + Error.what() + ">";
  }
  return "<no exception>";
}

std::vector<std::int32_t> Values(const TIntegerList& List) {
  std::vector<std::int32_t> Result;
  for (std::int32_t I = 0; I < List.GetCount(); ++I)
    Result.push_back(List.Get(I));
  return Result;
}

std::vector<std::pair<std::int32_t, void*>> Pairs(const TIndexedObjectList& List) {
  std::vector<std::pair<std::int32_t, void*>> Result;
  for (std::int32_t I = 0; I < List.GetCount(); ++I)
    Result.emplace_back(List.Get(I), List.GetObject(I));
  return Result;
}

std::string Show(const std::vector<std::int32_t>& Values) {
  std::string Result = "[";
  for (std::size_t I = 0; I < Values.size(); ++I)
    Result += (I ? "," : "") + std::to_string(Values[I]);
  return Result + "]";
}

// ---------------------------------------------------------------------------------------------
// Error classes, tick helpers and small helpers

TEST(UtilitiesTest, BugCheckPrefixesAPlainMessageOnly) {
  EBugCheckError Plain("Attempt to add other account zone!");
  EXPECT_EQ("BUGCHECK: Attempt to add other account zone!", Plain.Message());
  EXPECT_STREQ("EBugCheckError", Plain.ClassName());

  EBugCheckError Formatted = EBugCheckError::Fmt("Zone %d of account %s", 17, "1234");
  EXPECT_EQ("Zone 17 of account 1234", Formatted.Message());

  try {
    throw EBugCheckError("x");
  } catch (const Exception& Error) {
    EXPECT_STREQ("EBugCheckError", Error.ClassName());
  }
}

TEST(UtilitiesTest, CompareIntIsSignedAndDoesNotOverflow) {
  struct {
    std::int32_t A, B;
    int Want;
  } const Cases[] = {
      {1, 2, -1},
      {2, 1, 1},
      {5, 5, 0},
      {-1, 1, -1},
      {kMinInt, kMaxInt, -1},
      {kMaxInt, kMinInt, 1},
      {kMinInt, 1, -1},
      {kMaxInt, -1, 1},
      {kMinInt, kMinInt, 0},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(C.Want, CompareInt(C.A, C.B)) << C.A << " vs " << C.B;
}

TEST(UtilitiesTest, TickHelpersSurviveACounterWrap) {
  TFakeClock Clock(0x10);
  EXPECT_EQ(32u, TicksSince(0xFFFFFFF0u));
  EXPECT_TRUE(TimeElapsed(0xFFFFFFF0u, 31));
  EXPECT_FALSE(TimeElapsed(0xFFFFFFF0u, 32));  // strictly more than the interval
  EXPECT_EQ(0u, TicksSince(0x10));
  Clock.Advance(5);
  EXPECT_EQ(5u, TicksSince(0x10));
}

TEST(UtilitiesTest, FileVersionIsTheProjectVersion) {
  std::uint16_t Parts[4] = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
  GetFileVersion(Parts[0], Parts[1], Parts[2], Parts[3]);
  const std::vector<std::string> Text = SplitString(".", PELMAR_VERSION_TEXT);
  for (std::size_t I = 0; I < 4; ++I) {
    const std::uint16_t Want = I < Text.size() ? static_cast<std::uint16_t>(StrToInt(Text[I])) : 0;
    EXPECT_EQ(Want, Parts[I]) << "part " << I << " of " << PELMAR_VERSION_TEXT;
  }
}

TEST(UtilitiesTest, SetThreadNameKeepsWholeCharactersWithin15Bytes) {
  struct {
    std::string Name, Want;
  } const Cases[] = {
      {"Worker", "Worker"},
      {"Core polling thread", "Core polling th"},
      {"abcdefghijklmn\xC3\xA9x", "abcdefghijklmn"},  // é would straddle byte 15
      {"abcdefghijklm\xC3\xA9x", "abcdefghijklm\xC3\xA9"},
  };
  for (const auto& C : Cases) {
    std::string Got;
    std::thread T([&] {
      SetThreadName(C.Name);
      char Buffer[64] = {};
      pthread_getname_np(pthread_self(), Buffer, sizeof Buffer);
      Got = Buffer;
    });
    T.join();
    EXPECT_EQ(C.Want, Got) << C.Name;
  }
}

TEST(UtilitiesTest, SplitString) {
  struct {
    std::string Separator, Text;
    std::vector<std::string> Want;
  } const Cases[] = {
      {"ab", "xabyab", {"x", "y", ""}},
      {",", "a,,b", {"a", "", "b"}},
      {",", "", {}},
      {"", "abc", {"abc"}},
      {",", "abc", {"abc"}},
      {",", ",", {"", ""}},
      {",", ",a", {"", "a"}},
      {"abcd", "abc", {"abc"}},  // separator longer than the text
      {"aa", "aaa", {"", "a"}},  // scanning goes on after a separator, not inside it
      {"--", "1--2--3", {"1", "2", "3"}},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(C.Want, SplitString(C.Separator, C.Text))
        << "'" << C.Text << "' at '" << C.Separator << "'";
}

TEST(UtilitiesTest, SetIfChangedSetsOnlyOnADifferenceAndNeverResets) {
  const double NaN = std::nan("");
  struct {
    double Target, NewValue;
    bool WantChanged;
  } const Doubles[] = {
      {1.5, 1.5, false}, {1.5, 2.5, true},  {0.0, -0.0, false},
      {NaN, 1.0, false}, {1.0, NaN, false}, {NaN, NaN, false},
  };
  for (const auto& C : Doubles) {
    double Target = C.Target;
    bool Changed = false;
    SetIfChanged(Changed, Target, C.NewValue);
    EXPECT_EQ(C.WantChanged, Changed) << C.Target << " -> " << C.NewValue;
    const double Want = C.WantChanged ? C.NewValue : C.Target;
    EXPECT_TRUE(Target == Want || (std::isnan(Target) && std::isnan(Want)))
        << C.Target << " -> " << C.NewValue << " gave " << Target;
  }

  bool Changed = true;
  std::int32_t I = 7;
  SetIfChanged(Changed, I, 7);
  EXPECT_TRUE(Changed);  // never reset
  Changed = false;
  SetIfChanged(Changed, I, -7);
  EXPECT_TRUE(Changed);
  EXPECT_EQ(-7, I);

  std::uint8_t B = 200;
  Changed = false;
  SetIfChanged(Changed, B, 200);
  EXPECT_FALSE(Changed);
  SetIfChanged(Changed, B, 255);
  EXPECT_TRUE(Changed);
  EXPECT_EQ(255, B);
}

TEST(UtilitiesTest, StrToVarLimitedKeepsWholeUtf8Characters) {
  const std::string Russian = "\xD0\x9F\xD1\x80\xD0\xB8";  // "При", 2 bytes a letter
  struct {
    std::string Text;
    int MaxLength;
    TVariant Want;
  } const Cases[] = {
      {"", 200, TVariant::Null()},
      {"abc", 200, TVariant("abc")},
      {"abcdef", 3, TVariant("abc")},
      {"abc", 3, TVariant("abc")},
      {"abc", 0, TVariant("")},
      {"abc", -1, TVariant("")},
      {Russian, 2, TVariant(Russian.substr(0, 4))},  // characters, not bytes
      {Russian, 3, TVariant(Russian)},
      {"a\xE2\x82\xAC"
       "b",
       2, TVariant("a\xE2\x82\xAC")},  // 3-byte euro sign
      {"\xF0\x9F\x98\x80"
       "z",
       1, TVariant("\xF0\x9F\x98\x80")},                          // 4-byte character
      {"ab\x80\x80\x80\x80", 2, TVariant("ab\x80\x80\x80\x80")},  // stray continuation bytes
  };
  for (const auto& C : Cases) {
    const TVariant Got = StrToVarLimited(C.Text, C.MaxLength);
    EXPECT_TRUE(C.Want == Got) << ToHex(C.Text) << " limit " << C.MaxLength << " gave "
                               << (Got.IsNull() ? "null" : ToHex(Got.AsString()));
  }
}

TEST(UtilitiesTest, SerialLineNames) {
  EXPECT_EQ((std::vector<std::string>{"5", "6", "7", "8"}),
            std::vector<std::string>(DataBitsNames.begin(), DataBitsNames.end()));
  EXPECT_EQ((std::vector<std::string>{"N", "O", "E", "M", "S"}),
            std::vector<std::string>(ParityNames.begin(), ParityNames.end()));
  EXPECT_EQ((std::vector<std::string>{"1", "1.5", "2"}),
            std::vector<std::string>(StopBitsNames.begin(), StopBitsNames.end()));
}

// ---------------------------------------------------------------------------------------------
// TIntegerList

TEST(IntegerListTest, SortedAddFollowsTheDuplicatePolicy) {
  struct {
    const char* Name;
    TDuplicates Policy;
    std::vector<std::int32_t> Adds, WantIndexes, WantList;
  } const Cases[] = {
      {"ignore", dupIgnore, {5, 3, 5}, {0, 0, 1}, {3, 5}},
      {"accept", dupAccept, {5, 3, 5, 7, 5}, {0, 0, 1, 3, 1}, {3, 5, 5, 5, 7}},
      {"error, no duplicates", dupError, {9, -4, 0, 12}, {0, 0, 1, 3}, {-4, 0, 9, 12}},
      {"unsorted appends", dupIgnore, {5, 3, 5}, {0, 1, 2}, {5, 3, 5}},
  };
  for (const auto& C : Cases) {
    TIntegerList List(std::string(C.Name) != "unsorted appends", C.Policy);
    std::vector<std::int32_t> Indexes;
    for (std::int32_t V : C.Adds)
      Indexes.push_back(List.Add(V));
    EXPECT_EQ(C.WantIndexes, Indexes) << C.Name;
    EXPECT_EQ(C.WantList, Values(List)) << C.Name;
  }
}

TEST(IntegerListTest, DuplicateErrorNamesTheValueAndLeavesTheList) {
  struct {
    std::int32_t Value;
    std::string Want;
  } const Cases[] = {
      {255, "List does not allow duplicates ($0FF)"},
      {5, "List does not allow duplicates ($05)"},
      {-1, "List does not allow duplicates ($0FFFFFFFF)"},
  };
  for (const auto& C : Cases) {
    TIntegerList List(true, dupError);
    List.Add(C.Value);
    List.Add(1000);
    const std::vector<std::int32_t> Before = Values(List);
    EXPECT_EQ(C.Want, MessageOf<EListError>([&] { List.Add(C.Value); })) << C.Value;
    EXPECT_EQ(Before, Values(List)) << C.Value;
  }
}

TEST(IntegerListTest, FindPositions) {
  struct {
    TDuplicates Policy;
    std::vector<std::int32_t> List;
    std::int32_t Value;
    bool WantFound;
    std::int32_t WantIndex;
  } const Cases[] = {
      {dupAccept, {}, 1, false, 0},
      {dupAccept, {5, 5}, 5, true, 0},
      {dupAccept, {10, 20, 20, 20, 30}, 20, true, 1},
      {dupAccept, {20, 20, 20, 20, 20, 20, 20}, 20, true, 0},
      {dupAccept, {10, 20, 20, 20, 30}, 5, false, 0},
      {dupAccept, {10, 20, 20, 20, 30}, 25, false, 4},
      {dupAccept, {10, 20, 20, 20, 30}, 35, false, 5},
      {dupIgnore, {10, 20, 30}, 10, true, 0},
      {dupIgnore, {10, 20, 30}, 30, true, 2},
      {dupIgnore, {10, 20, 30}, 15, false, 1},
      {dupError, {kMinInt, 0, kMaxInt}, kMaxInt, true, 2},
      {dupError, {kMinInt, 0, kMaxInt}, kMinInt, true, 0},
      {dupError, {kMinInt, 0, kMaxInt}, -1, false, 1},
  };
  for (const auto& C : Cases) {
    TIntegerList List(false, C.Policy);
    for (std::int32_t V : C.List)
      List.Add(V);
    List.SetSorted(true);
    std::int32_t Index = -99;
    EXPECT_EQ(C.WantFound, List.Find(C.Value, Index)) << C.Value << " in " << Show(C.List);
    EXPECT_EQ(C.WantIndex, Index) << C.Value << " in " << Show(C.List);
  }
}

TEST(IntegerListTest, FindWithoutAcceptLandsOnSomeEqualValue) {
  // Duplicates can be present under dupIgnore when a list with them is switched to sorted.
  TIntegerList List;
  for (std::int32_t V : {4, 1, 4, 4, 9, 4, 1})
    List.Add(V);
  List.SetSorted(true);
  for (std::int32_t V : {1, 4, 9}) {
    std::int32_t Index = -1;
    ASSERT_TRUE(List.Find(V, Index)) << V;
    EXPECT_EQ(V, List.Get(Index)) << V;
  }
}

TEST(IntegerListTest, FindOnAnUnsortedListFailsAnAssertion) {
  TIntegerList List;
  List.Add(1);
  std::int32_t Index;
  const std::string Message = MessageOf<EAssertionFailed>([&] { List.Find(1, Index); });
  EXPECT_EQ(0u, Message.find("Find only works on sorted lists! (Utilities.cpp, line ")) << Message;
  EXPECT_EQ(')', Message.back()) << Message;
}

TEST(IntegerListTest, IndexErrors) {
  TIntegerList List;
  List.Add(10);
  List.Add(20);
  TIntegerList Empty;
  struct {
    const char* Name;
    std::function<void()> Call;
    const char* Want;
  } const Cases[] = {
      {"Get(-1)", [&] { List.Get(-1); }, "List index out of bounds (-1)"},
      {"Get(2)", [&] { List.Get(2); }, "List index out of bounds (2)"},
      {"Put(2)", [&] { List.Put(2, 0); }, "List index out of bounds (2)"},
      {"Delete(5)", [&] { List.Delete(5); }, "List index out of bounds (5)"},
      {"Exchange(0, 2)", [&] { List.Exchange(0, 2); }, "List index out of bounds (2)"},
      {"Move(0, 3)", [&] { List.Move(0, 3); }, "List index out of bounds (3)"},
      {"Insert(3)", [&] { List.Insert(3, 0); }, "List index out of bounds (3)"},
      {"Insert(-1)", [&] { List.Insert(-1, 0); }, "List index out of bounds (-1)"},
      {"First on empty", [&] { Empty.First(); }, "List index out of bounds (0)"},
      {"Last on empty", [&] { Empty.Last(); }, "List index out of bounds (-1)"},
      {"SetCapacity(1)", [&] { List.SetCapacity(1); }, "List capacity out of bounds (1)"},
      {"SetCount(-1)", [&] { List.SetCount(-1); }, "List count out of bounds (-1)"},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(C.Want, MessageOf<EListError>(C.Call)) << C.Name;
  EXPECT_EQ((std::vector<std::int32_t>{10, 20}), Values(List));
}

TEST(IntegerListTest, SortedListsRefuseInsertAndMove) {
  TIntegerList List(true);
  List.Add(1);
  List.Add(2);
  EXPECT_EQ("Cannot insert element in sorted list.",
            MessageOf<EListError>([&] { List.Insert(0, 3); }));
  EXPECT_EQ("Cannot move elements in sorted list.",
            MessageOf<EListError>([&] { List.Move(0, 1); }));
  TIndexedObjectList Objects(true);
  EXPECT_EQ("Cannot insert element in sorted list.",
            MessageOf<EListError>([&] { Objects.InsertObject(0, 3, nullptr); }));
}

TEST(IntegerListTest, EditingAnUnsortedList) {
  struct {
    const char* Name;
    std::function<void(TIntegerList&)> Edit;
    std::vector<std::int32_t> Want;
  } const Cases[] = {
      {"Move forward", [](TIntegerList& L) { L.Move(1, 3); }, {0, 2, 3, 1, 4}},
      {"Move back", [](TIntegerList& L) { L.Move(3, 0); }, {3, 0, 1, 2, 4}},
      {"Move to itself", [](TIntegerList& L) { L.Move(2, 2); }, {0, 1, 2, 3, 4}},
      {"Exchange", [](TIntegerList& L) { L.Exchange(0, 4); }, {4, 1, 2, 3, 0}},
      {"Insert at end", [](TIntegerList& L) { L.Insert(5, 9); }, {0, 1, 2, 3, 4, 9}},
      {"Insert at 1", [](TIntegerList& L) { L.Insert(1, 9); }, {0, 9, 1, 2, 3, 4}},
      {"Delete", [](TIntegerList& L) { L.Delete(0); }, {1, 2, 3, 4}},
      {"Put", [](TIntegerList& L) { L.Put(2, -2); }, {0, 1, -2, 3, 4}},
      {"Remove present", [](TIntegerList& L) { EXPECT_EQ(3, L.Remove(3)); }, {0, 1, 2, 4}},
      {"Remove absent", [](TIntegerList& L) { EXPECT_EQ(-1, L.Remove(7)); }, {0, 1, 2, 3, 4}},
      {"AddUnique present", [](TIntegerList& L) { EXPECT_EQ(2, L.AddUnique(2)); }, {0, 1, 2, 3, 4}},
      {"AddUnique absent",
       [](TIntegerList& L) { EXPECT_EQ(5, L.AddUnique(-1)); },
       {0, 1, 2, 3, 4, -1}},
      {"SetCount grows with zeros", [](TIntegerList& L) { L.SetCount(7); }, {0, 1, 2, 3, 4, 0, 0}},
      {"SetCount shrinks", [](TIntegerList& L) { L.SetCount(2); }, {0, 1}},
      {"Clear", [](TIntegerList& L) { L.Clear(); }, {}},
      {"Sort keeps the list unsorted",
       [](TIntegerList& L) {
         L.Put(0, 9);
         L.Sort();
         EXPECT_FALSE(L.GetSorted());
       },
       {1, 2, 3, 4, 9}},
  };
  for (const auto& C : Cases) {
    TIntegerList List;
    for (std::int32_t V = 0; V < 5; ++V)
      List.Add(V);
    C.Edit(List);
    EXPECT_EQ(C.Want, Values(List)) << C.Name;
  }
}

TEST(IntegerListTest, IndexOfAndLookupsOnBothKinds) {
  TIntegerList Unsorted;
  TIntegerList Sorted(true);
  for (std::int32_t V : {30, 10, 20}) {
    Unsorted.Add(V);
    Sorted.Add(V);
  }
  EXPECT_EQ(0, Unsorted.IndexOf(30));
  EXPECT_EQ(-1, Unsorted.IndexOf(15));
  EXPECT_EQ(2, Sorted.IndexOf(30));
  EXPECT_EQ(-1, Sorted.IndexOf(15));
  EXPECT_EQ(10, Sorted.First());
  EXPECT_EQ(30, Sorted.Last());
  EXPECT_EQ(1, Sorted.Remove(20));
  EXPECT_EQ((std::vector<std::int32_t>{10, 30}), Values(Sorted));
}

TEST(IntegerListTest, SwitchingToSortedSortsFirst) {
  TIntegerList List;
  for (std::int32_t V : {3, -1, 2})
    List.Add(V);
  List.SetSorted(true);
  EXPECT_TRUE(List.GetSorted());
  EXPECT_EQ((std::vector<std::int32_t>{-1, 2, 3}), Values(List));
  EXPECT_EQ(1, List.Add(0));
  List.SetSorted(false);
  List.Add(-5);
  EXPECT_EQ((std::vector<std::int32_t>{-1, 0, 2, 3, -5}), Values(List));
}

TEST(IntegerListTest, ConstructorSetsFlagsWithoutSorting) {
  TIntegerList List(true, dupError);
  EXPECT_TRUE(List.GetSorted());
  EXPECT_EQ(dupError, List.GetDuplicates());
  List.SetDuplicates(dupAccept);
  List.Add(1);
  List.Add(1);
  EXPECT_EQ(2, List.GetCount());
}

TEST(IntegerListTest, CapacityNeverDropsBelowTheCount) {
  TIntegerList List;
  List.SetCapacity(100);
  EXPECT_GE(List.GetCapacity(), 100);
  for (std::int32_t V = 0; V < 10; ++V)
    List.Add(V);
  List.SetCapacity(10);
  EXPECT_GE(List.GetCapacity(), 10);
  EXPECT_EQ(10, List.GetCount());
  EXPECT_EQ(9, List.Last());
}

TEST(IntegerListTest, AssignAndAddIntegers) {
  TIntegerList Source;
  for (std::int32_t V : {5, 1, 5, 3})
    Source.Add(V);

  TIntegerList Sorted(true, dupIgnore);
  Sorted.Add(100);
  Sorted.Assign(Source);
  EXPECT_EQ((std::vector<std::int32_t>{1, 3, 5}), Values(Sorted));

  Sorted.AddIntegers(Source);
  EXPECT_EQ((std::vector<std::int32_t>{1, 3, 5}), Values(Sorted));

  TIntegerList Copy;
  Copy.Assign(Source);
  Copy.AddIntegers(Copy);  // adds the contents once, not endlessly
  EXPECT_EQ((std::vector<std::int32_t>{5, 1, 5, 3, 5, 1, 5, 3}), Values(Copy));

  Source.Assign(Source);  // a list assigned to itself keeps its contents
  EXPECT_EQ((std::vector<std::int32_t>{5, 1, 5, 3}), Values(Source));
}

TEST(IntegerListTest, DelimitedTextAndText) {
  struct {
    std::vector<std::int32_t> List;
    std::string Delimiter;
    bool Trailing;
    std::string Want;
  } const Cases[] = {
      {{1, -20, 300}, ",", false, "1,-20,300"},
      {{1, -20, 300}, ",", true, "1,-20,300,"},
      {{}, ",", false, ""},
      {{}, ",", true, ""},
      {{0}, "; ", false, "0"},
      {{kMinInt, kMaxInt, 9, 10, -9, -10}, "; ", true, "-2147483648; 2147483647; 9; 10; -9; -10; "},
      {{7, 8}, "", false, "78"},
  };
  for (const auto& C : Cases) {
    TIntegerList List;
    for (std::int32_t V : C.List)
      List.Add(V);
    EXPECT_EQ(C.Want, List.GetDelimitedText(C.Delimiter, C.Trailing)) << Show(C.List);
  }

  TIntegerList List;
  for (std::int32_t V : {1, -2})
    List.Add(V);
  EXPECT_EQ("1\r\n-2\r\n", List.GetText());
}

TEST(IntegerListTest, SetText) {
  struct {
    std::string Text;
    std::vector<std::int32_t> Want;
  } const Cases[] = {
      {"1\r\n2\n3\r4", {1, 2, 3, 4}},
      {"1\r\n-2\r\n", {1, -2}},
      {"", {}},
      {"$FF\n", {255}},
  };
  for (const auto& C : Cases) {
    TIntegerList List;
    List.Add(99);  // cleared first
    List.SetText(C.Text);
    EXPECT_EQ(C.Want, Values(List)) << ToHex(C.Text);
    TIntegerList Again;
    Again.SetText(List.GetText());
    EXPECT_EQ(C.Want, Values(Again)) << "round trip of " << ToHex(C.Text);
  }

  for (const std::string Bad : {"1\r\n\r\n2", "x", "1\n\n", "99999999999"}) {
    TIntegerList List;
    EXPECT_THROW(List.SetText(Bad), EConvertError) << ToHex(Bad);
  }

  TIntegerList Sorted(true, dupIgnore);
  Sorted.SetText("3\n1\n3\n2");
  EXPECT_EQ((std::vector<std::int32_t>{1, 2, 3}), Values(Sorted));
}

TEST(IntegerListTest, SaveToBufferAndLoadFromBuffer) {
  TIntegerList List;
  for (std::int32_t V : {1, -2, 0x01020304})
    List.Add(V);
  ASSERT_EQ(16u, List.BufferSize());
  std::vector<std::uint8_t> Buffer(List.BufferSize() + 2, 0xAA);
  EXPECT_EQ(Buffer.data() + 16, List.SaveToBuffer(Buffer.data()));
  EXPECT_EQ("03 00 00 00 01 00 00 00 FE FF FF FF 04 03 02 01 AA AA", ToHex(Buffer));

  // Reading stops after the counted values; a sorted list stays sorted and obeys its policy.
  TIntegerList Sorted(true, dupIgnore);
  Sorted.Add(1);
  const std::uint8_t* After = Sorted.LoadFromBuffer(Buffer.data(), Buffer.data() + Buffer.size());
  EXPECT_EQ(Buffer.data() + 16, After);
  EXPECT_EQ((std::vector<std::int32_t>{-2, 1, 0x01020304}), Values(Sorted));

  TIntegerList Empty;
  const auto Zero = Bytes("00 00 00 00");
  EXPECT_EQ(Zero.data() + 4, Empty.LoadFromBuffer(Zero.data(), Zero.data() + Zero.size()));
  EXPECT_EQ(0, Empty.GetCount());
}

TEST(IntegerListTest, LoadFromBufferRefusesCountsTheBytesDoNotHold) {
  struct {
    const char* Hex;
    const char* WantInMessage;
  } const Cases[] = {
      {"", "(0 bytes)"},
      {"02 00 00", "(3 bytes)"},
      {"02 00 00 00 01 00 00 00", "(2)"},
      {"02 00 00 00 01 00 00 00 02 00 00", "(2)"},
      {"FF FF FF 7F 01 00 00 00", "(2147483647)"},
      {"FF FF FF FF 01 00 00 00", "(-1)"},
      {"00 00 00 80", "(-2147483648)"},
  };
  for (const auto& C : Cases) {
    const std::vector<std::uint8_t> Data = Bytes(C.Hex);
    TIndexedObjectList List;
    List.Add(7);
    const std::string Message =
        MessageOf<EListError>([&] { List.LoadFromBuffer(Data.data(), Data.data() + Data.size()); });
    EXPECT_NE(std::string::npos, Message.find(C.WantInMessage)) << C.Hex << ": " << Message;
    EXPECT_EQ((std::vector<std::int32_t>{7}), Values(List)) << C.Hex;
  }
}

TEST(IntegerListTest, Streams) {
  TIntegerList List;
  for (std::int32_t V : {1, -2})
    List.Add(V);
  std::ostringstream Out;
  List.SaveToStream(Out);
  EXPECT_EQ("01 00 00 00 FE FF FF FF", ToHex(Out.str()));

  struct {
    const char* Hex;
    bool WantResult;
    std::vector<std::int32_t> WantList;
  } const Cases[] = {
      {"", true, {}},
      {"01 00 00 00 FE FF FF FF", true, {1, -2}},
      {"01 00 00 00 FE", false, {1}},
      {"01 00 00 00 FE FF FF", false, {1}},
      {"FE FF", false, {}},
  };
  for (const auto& C : Cases) {
    std::istringstream In(test::ByteString(C.Hex));
    TIntegerList Loaded;
    Loaded.Add(99);  // cleared first
    EXPECT_EQ(C.WantResult, Loaded.LoadFromStream(In)) << C.Hex;
    EXPECT_EQ(C.WantList, Values(Loaded)) << C.Hex;
  }
}

// Random lists, many duplicates among them, sorted by the list and by std::sort; each object
// points at the integer it was stored with, so it must follow that integer.
TEST(IntegerListTest, SortAgreesWithStdSortAndCarriesObjects) {
  std::mt19937 Random(20240611);
  struct {
    int Count;
    std::int32_t Range;  // values drawn from [-Range, Range]
  } const Shapes[] = {{0, 5},    {1, 5},      {2, 1},          {3, 1},  {17, 3},
                      {100, 10}, {1000, 100}, {1000, kMaxInt}, {513, 0}};
  for (const auto& Shape : Shapes) {
    std::uniform_int_distribution<std::int32_t> Draw(-Shape.Range, Shape.Range);
    std::vector<std::int32_t> Data(Shape.Count);
    for (auto& V : Data)
      V = Draw(Random);

    TIndexedObjectList List;
    for (auto& V : Data)
      List.AddObject(V, &V);
    List.Sort();

    std::vector<std::int32_t> Want = Data;
    std::sort(Want.begin(), Want.end());
    ASSERT_EQ(Want, Values(List)) << Shape.Count << " values in +-" << Shape.Range;

    std::vector<bool> Seen(Data.size());
    for (std::int32_t I = 0; I < List.GetCount(); ++I) {
      const std::int32_t* Obj = List.GetObjectAs<std::int32_t>(I);
      ASSERT_EQ(List.Get(I), *Obj) << "entry " << I;
      const std::size_t Slot = static_cast<std::size_t>(Obj - Data.data());
      ASSERT_FALSE(Seen[Slot]) << "object of entry " << I << " appears twice";
      Seen[Slot] = true;
    }

    // Already sorted and reversed input too.
    std::vector<std::int32_t> Reversed(Want.rbegin(), Want.rend());
    for (const auto* Input : {&Want, &Reversed}) {
      TIntegerList Plain;
      for (std::int32_t V : *Input)
        Plain.Add(V);
      Plain.Sort();
      EXPECT_EQ(Want, Values(Plain)) << Shape.Count << " values in +-" << Shape.Range;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// TIndexedObjectList

struct TThing {
  int Id;
};

TEST(IndexedObjectListTest, ObjectsStayWithTheirIntegers) {
  TThing A{1}, B{2};
  TIndexedObjectList List(true, dupError);
  EXPECT_EQ(0, List.AddObject(7, &A));
  EXPECT_EQ(0, List.AddObject(3, &B));
  EXPECT_EQ(&B, List.GetObjectAs<TThing>(0));
  EXPECT_EQ(&A, List.GetObjectAs<TThing>(1));

  void* Found = nullptr;
  EXPECT_TRUE(List.FindObject(7, Found));
  EXPECT_EQ(&A, Found);
  EXPECT_FALSE(List.FindObject(5, Found));
  EXPECT_EQ(nullptr, Found);

  TThing C{3};
  EXPECT_THROW(List.AddObject(3, &C), EListError);
  EXPECT_EQ((std::vector<std::pair<std::int32_t, void*>>{{3, &B}, {7, &A}}), Pairs(List));

  List.Delete(0);
  EXPECT_EQ((std::vector<std::pair<std::int32_t, void*>>{{7, &A}}), Pairs(List));
}

TEST(IndexedObjectListTest, IgnoredDuplicateKeepsTheStoredObject) {
  TThing A{1}, B{2};
  TIndexedObjectList List(true, dupIgnore);
  List.AddObject(4, &A);
  EXPECT_EQ(0, List.AddObject(4, &B));
  EXPECT_EQ((std::vector<std::pair<std::int32_t, void*>>{{4, &A}}), Pairs(List));
}

TEST(IndexedObjectListTest, EveryChangeKeepsObjectsInStep) {
  TThing T0{0}, T1{1}, T2{2}, T3{3}, TX{9};
  using TPairs = std::vector<std::pair<std::int32_t, void*>>;
  struct {
    const char* Name;
    std::function<void(TIndexedObjectList&)> Edit;
    TPairs Want;
  } const Cases[] = {
      {"Exchange",
       [](TIndexedObjectList& L) { L.Exchange(0, 3); },
       {{3, &T3}, {1, &T1}, {2, &T2}, {0, &T0}}},
      {"Move forward",
       [](TIndexedObjectList& L) { L.Move(0, 2); },
       {{1, &T1}, {2, &T2}, {0, &T0}, {3, &T3}}},
      {"Move back",
       [](TIndexedObjectList& L) { L.Move(3, 1); },
       {{0, &T0}, {3, &T3}, {1, &T1}, {2, &T2}}},
      {"Delete", [](TIndexedObjectList& L) { L.Delete(1); }, {{0, &T0}, {2, &T2}, {3, &T3}}},
      {"Remove", [](TIndexedObjectList& L) { L.Remove(2); }, {{0, &T0}, {1, &T1}, {3, &T3}}},
      {"Insert",
       [](TIndexedObjectList& L) { L.Insert(1, 9); },
       {{0, &T0}, {9, nullptr}, {1, &T1}, {2, &T2}, {3, &T3}}},
      {"InsertObject",
       [&](TIndexedObjectList& L) { L.InsertObject(4, 9, &TX); },
       {{0, &T0}, {1, &T1}, {2, &T2}, {3, &T3}, {9, &TX}}},
      {"Add",
       [](TIndexedObjectList& L) { EXPECT_EQ(4, L.Add(9)); },
       {{0, &T0}, {1, &T1}, {2, &T2}, {3, &T3}, {9, nullptr}}},
      {"SetCount grows",
       [](TIndexedObjectList& L) { L.SetCount(5); },
       {{0, &T0}, {1, &T1}, {2, &T2}, {3, &T3}, {0, nullptr}}},
      {"SetCount shrinks", [](TIndexedObjectList& L) { L.SetCount(1); }, {{0, &T0}}},
      {"SetCapacity",
       [](TIndexedObjectList& L) { L.SetCapacity(50); },
       {{0, &T0}, {1, &T1}, {2, &T2}, {3, &T3}}},
      {"Clear", [](TIndexedObjectList& L) { L.Clear(); }, {}},
      {"Put keeps the object",
       [](TIndexedObjectList& L) { L.Put(0, 5); },
       {{5, &T0}, {1, &T1}, {2, &T2}, {3, &T3}}},
      {"SetSorted sorts pairs",
       [](TIndexedObjectList& L) {
         L.Put(0, 5);
         L.SetSorted(true);
       },
       {{1, &T1}, {2, &T2}, {3, &T3}, {5, &T0}}},
      {"SetText", [](TIndexedObjectList& L) { L.SetText("8\n6"); }, {{8, nullptr}, {6, nullptr}}},
      {"LoadFromBuffer appends",
       [](TIndexedObjectList& L) {
         const auto Data = Bytes("01 00 00 00 08 00 00 00");
         L.LoadFromBuffer(Data.data(), Data.data() + Data.size());
       },
       {{0, &T0}, {1, &T1}, {2, &T2}, {3, &T3}, {8, nullptr}}},
  };
  for (const auto& C : Cases) {
    TIndexedObjectList List;
    List.AddObject(0, &T0);
    List.AddObject(1, &T1);
    List.AddObject(2, &T2);
    List.AddObject(3, &T3);
    C.Edit(List);
    EXPECT_EQ(C.Want, Pairs(List)) << C.Name;
  }
}

TEST(IndexedObjectListTest, AssignCopiesIntegersWithoutObjects) {
  TThing A{1};
  TIndexedObjectList Source;
  Source.AddObject(2, &A);
  Source.AddObject(1, &A);
  TIndexedObjectList Target(true);
  Target.Assign(Source);
  EXPECT_EQ((std::vector<std::pair<std::int32_t, void*>>{{1, nullptr}, {2, nullptr}}),
            Pairs(Target));
  EXPECT_EQ("List index out of bounds (2)", MessageOf<EListError>([&] { Target.GetObject(2); }));
}

// ---------------------------------------------------------------------------------------------
// TDebugCriticalSection

// A clock that moves 100 ms on every reading, so that each tick the lock takes is distinct and
// known from the order of the readings.
class TSteppingClock : public TFakeClock {
 public:
  TSteppingClock() : TFakeClock(0) {}
  std::uint32_t Ticks() override {
    Advance(100);
    return TFakeClock::Ticks();
  }
};

struct TDebugRecord {
  int Phase;
  std::string Name;
  std::int32_t Waiting;
  std::uint32_t Tick;
  bool operator==(const TDebugRecord&) const = default;
};

std::ostream& operator<<(std::ostream& Out, const TDebugRecord& R) {
  return Out << "{" << R.Phase << ", " << R.Name << ", " << R.Waiting << ", " << R.Tick << "}";
}

// Records every report; a test can have a promise fulfilled when a named thread is about to wait.
class TDebugRecorder {
 public:
  explicit TDebugRecorder(TDebugCriticalSection& Lock) {
    Lock.OnDebug = [this](int Phase, const std::string& Name, std::int32_t Waiting,
                          std::uint32_t Tick) {
      std::lock_guard<std::mutex> Guard(FMutex);
      FRecords.push_back({Phase, Name, Waiting, Tick});
      if (Phase == 0) {
        for (auto& [WaiterName, Promise] : FAboutToWait)
          if (WaiterName == Name)
            Promise.set_value();
      }
    };
  }
  std::future<void> AboutToWait(const std::string& Name) {
    std::lock_guard<std::mutex> Guard(FMutex);
    FAboutToWait.emplace_back(Name, std::promise<void>());
    return FAboutToWait.back().second.get_future();
  }
  std::vector<TDebugRecord> Records() {
    std::lock_guard<std::mutex> Guard(FMutex);
    return FRecords;
  }

 private:
  std::mutex FMutex;
  std::vector<TDebugRecord> FRecords;
  std::vector<std::pair<std::string, std::promise<void>>> FAboutToWait;
};

bool TryLockFromAnotherThread(TDebugCriticalSection& Lock) {
  bool Got = false;
  std::thread T([&] {
    Got = Lock.try_lock();
    if (Got)
      Lock.unlock();
  });
  T.join();
  return Got;
}

TEST(DebugCriticalSectionTest, WithoutHandlerItIsAPlainReentrantLock) {
  TDebugCriticalSection Lock;
  Lock.Acquire("outer");
  Lock.Enter();
  EXPECT_FALSE(TryLockFromAnotherThread(Lock));
  Lock.Leave();
  EXPECT_FALSE(TryLockFromAnotherThread(Lock));
  Lock.Release("outer");
  EXPECT_TRUE(TryLockFromAnotherThread(Lock));
  {
    std::lock_guard<TDebugCriticalSection> Guard(Lock);
    EXPECT_FALSE(TryLockFromAnotherThread(Lock));
  }
  EXPECT_TRUE(TryLockFromAnotherThread(Lock));
  EXPECT_EQ(0, Lock.Waiting());
}

TEST(DebugCriticalSectionTest, ReportsPhasesWithNamesAndTicks) {
  TSteppingClock Clock;
  TDebugCriticalSection Lock;
  TDebugRecorder Recorder(Lock);
  Lock.Acquire("FreeQueries");  // wait begins at 100, lock got at 200
  Lock.Acquire("inner");        // re-entrant: 300, 400
  Lock.Release("inner");
  Lock.Release("FreeQueries");
  {
    std::lock_guard<TDebugCriticalSection> Guard(Lock);  // 500, 600
  }
  const std::vector<TDebugRecord> Want = {
      {0, "FreeQueries", 1, 0},
      {1, "FreeQueries", 0, 100},
      {0, "inner", 1, 0},
      {1, "inner", 0, 300},
      {2, "inner", 0, 400},
      {2, "FreeQueries", 0, 400},
      {0, "", 1, 0},
      {1, "", 0, 500},
      {2, "", 0, 600},
  };
  EXPECT_EQ(Want, Recorder.Records());
}

TEST(DebugCriticalSectionTest, WaiterReportsWhenItsWaitBegan) {
  TSteppingClock Clock;
  TDebugCriticalSection Lock;
  TDebugRecorder Recorder(Lock);
  std::future<void> WaiterIsWaiting = Recorder.AboutToWait("Waiter");

  Lock.Acquire("Holder");  // 100, 200
  std::thread Waiter([&] {
    Lock.Acquire("Waiter");  // 300 after its phase 0, 400 once it has the lock
    Lock.Release("Waiter");
  });
  WaiterIsWaiting.wait();
  Lock.Release("Holder");
  Waiter.join();

  const std::vector<TDebugRecord> Want = {
      {0, "Holder", 1, 0},   {1, "Holder", 0, 100}, {0, "Waiter", 1, 0},
      {2, "Holder", 1, 200}, {1, "Waiter", 0, 300}, {2, "Waiter", 0, 400},
  };
  EXPECT_EQ(Want, Recorder.Records());
  EXPECT_EQ(0, Lock.Waiting());
}

TEST(DebugCriticalSectionTest, WaitingCountsEveryThreadNotYetInside) {
  TFakeClock Clock;
  TDebugCriticalSection Lock;
  TDebugRecorder Recorder(Lock);
  std::future<void> FirstWaiting = Recorder.AboutToWait("first");
  std::future<void> SecondWaiting = Recorder.AboutToWait("second");

  Lock.Acquire("holder");
  std::thread First([&] {
    Lock.Acquire("first");
    Lock.Release("first");
  });
  FirstWaiting.wait();
  std::thread Second([&] {
    Lock.Acquire("second");
    Lock.Release("second");
  });
  SecondWaiting.wait();
  Lock.Release("holder");
  First.join();
  Second.join();

  // Each phase with the waiting count it reported, in the order they happened.
  std::vector<std::pair<int, std::int32_t>> Got;
  for (const auto& R : Recorder.Records())
    Got.emplace_back(R.Phase, R.Waiting);
  const std::vector<std::pair<int, std::int32_t>> Want = {
      {0, 1}, {1, 0},  // holder
      {0, 1}, {0, 2},  // first, second about to wait
      {2, 2},          // holder releases while both wait
      {1, 1}, {2, 1},  // whichever got it; the other still waits
      {1, 0}, {2, 0},
  };
  EXPECT_EQ(Want, Got);
}

TEST(DebugCriticalSectionTest, HandlerFailureLeavesTheLockFree) {
  TFakeClock Clock;
  TDebugCriticalSection Lock;
  Lock.OnDebug = [](int Phase, const std::string&, std::int32_t, std::uint32_t) {
    if (Phase == 1)
      throw EBugCheckError("handler failed");
  };
  EXPECT_THROW(Lock.Acquire("x"), EBugCheckError);
  EXPECT_EQ(0, Lock.Waiting());
  Lock.OnDebug = nullptr;
  EXPECT_TRUE(TryLockFromAnotherThread(Lock));
}

// ---------------------------------------------------------------------------------------------
// TCriticalSectionGuard

// Phase and name of every report, in order.
std::vector<std::pair<int, std::string>> PhasesAndNames(TDebugRecorder& Recorder) {
  std::vector<std::pair<int, std::string>> Result;
  for (const auto& R : Recorder.Records())
    Result.emplace_back(R.Phase, R.Name);
  return Result;
}

// The name is held by reference: a temporary would be gone before the release.
static_assert(
    std::is_constructible_v<TCriticalSectionGuard, TDebugCriticalSection&, const std::string&>);
static_assert(!std::is_constructible_v<TCriticalSectionGuard, TDebugCriticalSection&, std::string>);
static_assert(!std::is_constructible_v<TCriticalSectionGuard, TDebugCriticalSection&, const char*>);
static_assert(!std::is_copy_constructible_v<TCriticalSectionGuard>);

TEST(CriticalSectionGuardTest, HoldsForItsScopeUnderItsName) {
  TFakeClock Clock;
  TDebugCriticalSection Lock;
  TDebugRecorder Recorder(Lock);
  const std::string Name = "Scope";
  {
    TCriticalSectionGuard Guard(Lock, Name);
    EXPECT_FALSE(TryLockFromAnotherThread(Lock));
  }
  EXPECT_TRUE(TryLockFromAnotherThread(Lock));
  { TCriticalSectionGuard Unnamed(Lock); }
  // A failed try_lock reports nothing; a successful one and its unlock report phases 1 and 2.
  const std::vector<std::pair<int, std::string>> Want = {
      {0, "Scope"}, {1, "Scope"}, {2, "Scope"}, {1, ""}, {2, ""}, {0, ""}, {1, ""}, {2, ""},
  };
  EXPECT_EQ(Want, PhasesAndNames(Recorder));
}

TEST(CriticalSectionGuardTest, ReleasedWhenTheScopeIsLeftByAnException) {
  TFakeClock Clock;
  TDebugCriticalSection Lock;
  TDebugRecorder Recorder(Lock);
  const std::string Name = "Failing";
  EXPECT_THROW(
      {
        TCriticalSectionGuard Guard(Lock, Name);
        throw EBugCheckError("inside");
      },
      EBugCheckError);
  EXPECT_TRUE(TryLockFromAnotherThread(Lock));
  const std::vector<std::pair<int, std::string>> Want = {
      {0, "Failing"}, {1, "Failing"}, {2, "Failing"}, {1, ""}, {2, ""}};
  EXPECT_EQ(Want, PhasesAndNames(Recorder));
}

TEST(CriticalSectionGuardTest, NestedGuardsOnOneThreadHoldUntilTheOuterEnds) {
  TDebugCriticalSection Lock;
  const std::string Outer = "outer";
  const std::string Inner = "inner";
  {
    TCriticalSectionGuard First(Lock, Outer);
    {
      TCriticalSectionGuard Second(Lock, Inner);
      EXPECT_FALSE(TryLockFromAnotherThread(Lock));
    }
    EXPECT_FALSE(TryLockFromAnotherThread(Lock)) << "the outer guard still holds it";
  }
  EXPECT_TRUE(TryLockFromAnotherThread(Lock));
}

TEST(CriticalSectionGuardTest, EarlyReleaseIsTracedUnderItsOwnNameAndOnlyOnce) {
  TFakeClock Clock;
  TDebugCriticalSection Lock;
  TDebugRecorder Recorder(Lock);
  const std::string Name = "Region";
  {
    TCriticalSectionGuard Guard(Lock, Name);
    Guard.Release("Region/Early");
    EXPECT_TRUE(TryLockFromAnotherThread(Lock));
    EXPECT_EQ("BUGCHECK: TCriticalSectionGuard released twice",
              MessageOf<EBugCheckError>([&] { Guard.Release("again"); }));
  }
  EXPECT_TRUE(TryLockFromAnotherThread(Lock));
  const std::vector<std::pair<int, std::string>> Want = {
      {0, "Region"}, {1, "Region"}, {2, "Region/Early"}, {1, ""}, {2, ""}, {1, ""}, {2, ""}};
  EXPECT_EQ(Want, PhasesAndNames(Recorder));
}

TEST(CriticalSectionGuardTest, FailingReleaseTraceRaisesOnlyWhenNothingElseIsInFlight) {
  TFakeClock Clock;
  TDebugCriticalSection Lock;
  Lock.OnDebug = [](int Phase, const std::string& Name, std::int32_t, std::uint32_t) {
    if (Phase == 2 && Name == "x")
      throw EBugCheckError("trace failed");
  };
  const std::string Name = "x";
  EXPECT_EQ("BUGCHECK: trace failed",
            MessageOf<EBugCheckError>([&] { TCriticalSectionGuard Guard(Lock, Name); }));
  EXPECT_TRUE(TryLockFromAnotherThread(Lock));
  EXPECT_EQ("first", MessageOf<EDisplayError>([&] {
              TCriticalSectionGuard Guard(Lock, Name);
              throw EDisplayError("first");
            }));
  EXPECT_TRUE(TryLockFromAnotherThread(Lock));
  Lock.OnDebug = nullptr;
}

}  // namespace
}  // namespace pelmar
