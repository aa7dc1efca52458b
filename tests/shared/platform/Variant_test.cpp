#include "Variant.h"

#include <gtest/gtest.h>

#include "Exception.h"

namespace pelmar {
namespace {

TEST(Variant, KindsAndConversions) {
  EXPECT_TRUE(TVariant().IsEmpty());
  EXPECT_TRUE(TVariant::Null().IsNull());
  EXPECT_EQ(TVarType::Integer, TVariant(5).VarType());
  EXPECT_EQ(TVarType::Int64, TVariant(std::int64_t{5}).VarType());
  EXPECT_EQ(TVarType::String, TVariant("x").VarType());
  EXPECT_EQ(TVarType::Date, TVariant::DateTime(1.5).VarType());
  EXPECT_EQ(4464, TVariant::OfInteger(TVarType::Word, 70000).AsInteger());
  EXPECT_EQ(-1, TVariant::OfInteger(TVarType::ShortInt, 255).AsInteger());
  EXPECT_EQ(42, TVariant("42").AsInteger());
  EXPECT_EQ("7", TVariant(7).AsString());
  EXPECT_EQ(0, TVariant::Null().AsInteger());
  EXPECT_EQ("", TVariant::Null().AsString());
  EXPECT_TRUE(TVariant(1).AsBoolean());
  EXPECT_EQ(2.0, TVariant(std::int64_t{2}).AsDouble());
  EXPECT_EQ(3, TVariant(2.6).AsInteger());
}

TEST(Variant, ImpossibleConversionsRaise) {
  EXPECT_THROW(TVariant("abc").AsInteger(), EVariantError);
  EXPECT_THROW(TVariant(std::int64_t{1} << 40).AsInteger(), EVariantError);
  EXPECT_THROW(TVariant::OfKind(TVarType::Dispatch).AsString(), EVariantError);
  EXPECT_THROW(TVariant("maybe").AsBoolean(), EVariantError);
}

TEST(Variant, TypeNames) {
  EXPECT_EQ("Dispatch", VarTypeName(TVarType::Dispatch));
  EXPECT_EQ("Any", VarTypeName(TVarType::Any));
  EXPECT_EQ("$0048", VarTypeName(TVarType::StrArg));
  EXPECT_EQ("14", VarTypeName(static_cast<TVarType>(14)));
}

}  // namespace
}  // namespace pelmar
