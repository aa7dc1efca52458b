// ctest-label: os
//
// String lists in the registry as the event-log registration reads and writes them, in a
// registry of a temporary directory.
#include "DDRegistryEx.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Failure.h"
#include "ToolProcess.h"

namespace pelmar {
namespace {

using test::Failure;

TEST(DDRegistryExTest, ErrorTextsNameTheCodeAndTheSystemsText) {
  EXPECT_EQ("Error 2 : No such file or directory", RegistryErrorText(2));
  EXPECT_EQ("Error 99999", RegistryErrorText(99999));
  EExRegistryException E(13, "Unable to write MULTI_SZ value");
  EXPECT_EQ("Error 13 : Permission denied: Unable to write MULTI_SZ value", E.Message());
  EXPECT_EQ(13, E.ErrorCode());
  EXPECT_STREQ("EExRegistryException", E.ClassName());
}

class RegistryExTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(FRegistry.OpenKey("Log", true)); }

  test::TTempDir FDir;
  TRegistryEx FRegistry{FDir.File("")};
};

TEST_F(RegistryExTest, ListsRoundTripAndReadingClearsTheListFirst) {
  struct TCase {
    std::vector<std::string> List;
  } Cases[] = {{{"PelCID"}}, {{"PelCID", "Other", "with space"}}, {{}}};
  for (const TCase& C : Cases) {
    FRegistry.WriteMultiSz("Sources", C.List);
    std::vector<std::string> Read = {"left over"};
    FRegistry.ReadMultiSz("Sources", Read);
    EXPECT_EQ(C.List, Read) << C.List.size();
  }
}

TEST_F(RegistryExTest, AMissingListAndAListOfAnotherTypeFailDifferently) {
  std::vector<std::string> Read = {"left over"};
  try {
    FRegistry.ReadMultiSz("Sources", Read);
    FAIL() << "read a missing value";
  } catch (const EExRegistryException& E) {
    EXPECT_EQ("Error 2 : No such file or directory: Unable read MULTI_SZ value", E.Message());
  }
  EXPECT_TRUE(Read.empty());

  FRegistry.WriteString("Sources", "PelCID");
  try {
    FRegistry.ReadMultiSz("Sources", Read);
    FAIL() << "read a string as a list";
  } catch (const EExRegistryException& E) {
    FAIL() << "the plain registry exception was expected: " << E.Message();
  } catch (const ERegistryException& E) {
    EXPECT_EQ("String list expected", E.Message());
    EXPECT_STREQ("ERegistryException", E.ClassName());
  }
}

TEST_F(RegistryExTest, AFailedWriteIsAnExtendedRegistryException) {
  FRegistry.CloseKey();
  EXPECT_EQ("Error 5 : Input/output error: Unable to write MULTI_SZ value",
            Failure([&] { FRegistry.WriteMultiSz("Sources", {"PelCID"}); }));
}

}  // namespace
}  // namespace pelmar
