// ctest-label: os
#include "DebugPipe.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

#include "FakeClock.h"
#include "Process.h"

namespace pelmar {
namespace {

// A viewer: binds the pipe name and reads records without waiting.
class TTestViewer {
 public:
  explicit TTestViewer(const std::string& Name) {
    FFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un Addr{};
    socklen_t Length = DebugPipeAddress(Name, Addr);
    EXPECT_EQ(0, bind(FFd, reinterpret_cast<sockaddr*>(&Addr), Length)) << Name;
  }
  ~TTestViewer() { close(FFd); }

  // The next waiting datagram, if any.
  std::optional<std::vector<char>> Next() {
    std::vector<char> Buffer(65536);
    ssize_t N = recv(FFd, Buffer.data(), Buffer.size(), MSG_DONTWAIT);
    if (N < 0)
      return std::nullopt;
    Buffer.resize(static_cast<size_t>(N));
    return Buffer;
  }

 private:
  int FFd = -1;
};

class DebugPipeTest : public ::testing::Test {
 protected:
  // A name of its own per test, so that test processes running side by side never meet.
  std::string Module = "DebugPipe_test." + std::to_string(GetCurrentProcessId()) + "." +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name();
  std::string Name = DebugPipePrefix + Module;
  test::TFakeClock Clock{1, 46000.25};
  TDebugPipe Pipe{Module};
};

TEST_F(DebugPipeTest, DisabledPipeSendsNothing) {
  TTestViewer Viewer(Name);
  Pipe.Send("hello");
  EXPECT_FALSE(Viewer.Next());
  EXPECT_EQ("", Pipe.PipeName());
}

TEST_F(DebugPipeTest, RecordLayout) {
  TTestViewer Viewer(Name);
  Pipe.SetEnabled(true);
  EXPECT_EQ(Name, Pipe.PipeName());
  Pipe.Send("abc");
  auto Record = Viewer.Next();
  ASSERT_TRUE(Record);
  ASSERT_EQ(27u, Record->size());
  TDebugRecordHeader Header;
  std::string Text;
  ASSERT_TRUE(DecodeDebugRecord(Record->data(), Record->size(), Header, Text));
  EXPECT_EQ(46000.25, Header.Time);
  EXPECT_EQ(GetCurrentProcessId(), Header.ProcessId);
  EXPECT_EQ(GetCurrentThreadId(), Header.ThreadId);
  EXPECT_EQ(3, Header.TextLength);
  EXPECT_EQ("abc", Text);
}

TEST_F(DebugPipeTest, RecordSizes) {
  TTestViewer Viewer(Name);
  Pipe.SetEnabled(true);
  for (size_t Length : {0u, 1000u}) {
    Pipe.Send(std::string(Length, 'x'));
    auto Record = Viewer.Next();
    ASSERT_TRUE(Record) << Length;
    EXPECT_EQ(24 + Length, Record->size()) << "one message per record";
    EXPECT_FALSE(Viewer.Next());
  }
}

TEST_F(DebugPipeTest, RecordsAreDroppedWhileNobodyListens) {
  Pipe.SetEnabled(true);
  Pipe.Send("lost");
  TTestViewer Viewer(Name);
  Pipe.Send("seen");
  auto Record = Viewer.Next();
  ASSERT_TRUE(Record);
  EXPECT_EQ("seen", std::string(Record->begin() + 24, Record->end()));
}

TEST_F(DebugPipeTest, ViewerRestartCostsOneRecord) {
  Pipe.SetEnabled(true);
  {
    TTestViewer First(Name);
    Pipe.Send("one");
    EXPECT_TRUE(First.Next());
  }
  TTestViewer Second(Name);
  Pipe.Send("two");  // still aimed at the viewer that went away
  Pipe.Send("three");
  auto Record = Second.Next();
  ASSERT_TRUE(Record);
  EXPECT_EQ("three", std::string(Record->begin() + 24, Record->end()));
  EXPECT_FALSE(Second.Next());
}

TEST_F(DebugPipeTest, DisableClosesAndEnableReopens) {
  TTestViewer Viewer(Name);
  Pipe.SetEnabled(true);
  Pipe.SetEnabled(true);
  Pipe.Send("a");
  Pipe.SetEnabled(false);
  Pipe.Send("b");
  Pipe.SetEnabled(true);
  Pipe.Send("c");
  std::vector<std::string> Texts;
  while (auto R = Viewer.Next())
    Texts.emplace_back(R->begin() + 24, R->end());
  EXPECT_EQ((std::vector<std::string>{"a", "c"}), Texts);
}

TEST(DecodeDebugRecord, RejectsInconsistentLengths) {
  TDebugRecordHeader Header{};
  Header.TextLength = 5;
  std::vector<char> Bytes(sizeof Header + 4);
  std::memcpy(Bytes.data(), &Header, sizeof Header);
  std::string Text;
  EXPECT_FALSE(DecodeDebugRecord(Bytes.data(), Bytes.size(), Header, Text));
  EXPECT_FALSE(DecodeDebugRecord(Bytes.data(), 10, Header, Text));
}

}  // namespace
}  // namespace pelmar
