#include "common/uuid.hpp"

#include <gtest/gtest.h>

namespace common {
namespace {

constexpr std::string_view HYPHENATED = "67e55044-10b1-426f-9247-bb680e5fe0c8";

TEST(ParseUuid, AcceptsTheFourFormsInAnyCase) {
  const auto expected = parse_uuid(HYPHENATED);
  ASSERT_TRUE(expected);
  EXPECT_EQ(expected->bytes[0], 0x67);
  EXPECT_EQ(expected->bytes[15], 0xc8);
  EXPECT_EQ(expected->hyphenated(), HYPHENATED);
  for (const std::string_view text : {
           "67e5504410b1426f9247bb680e5fe0c8",
           "67E5504410B1426F9247BB680E5FE0C8",
           "{67e55044-10b1-426f-9247-bb680e5fe0c8}",
           "urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c8",
           "URN:UUID:67E55044-10b1-426f-9247-bb680e5fe0c8",
           "uRn:UuId:67e55044-10b1-426f-9247-bb680e5fe0c8",
       }) {
    const auto parsed = parse_uuid(text);
    ASSERT_TRUE(parsed) << text << ": " << parsed.error().debug();
    EXPECT_EQ(*parsed, *expected) << text;
  }
  const auto nil = parse_uuid("00000000-0000-0000-0000-000000000000");
  ASSERT_TRUE(nil);
  EXPECT_EQ(*nil, Uuid{});
}

TEST(ParseUuid, DiagnosesMalformedTexts) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", "Error(ParseLength { len: 0 })"},
      {"67e55", "Error(ParseLength { len: 5 })"},
      {"67e5504410b1426f9247bb680e5fe0c8a", "Error(ParseLength { len: 33 })"},
      {"67e5504x10b1426f9247bb680e5fe0c8", "Error(ParseChar { character: 'x', index: 7 })"},
      {"67e55044-10b1-426f-9247-bb680e5fe0cg", "Error(ParseChar { character: 'g', index: 35 })"},
      {"67e55044-10b1-426f-9247", "Error(ParseGroupCount { count: 4 })"},
      {"67e55044-10b1-426f-9247-bb68-0e5fe0c8", "Error(ParseGroupCount { count: 6 })"},
      {"67e55044-10b-1426f-9247-bb680e5fe0c8", "Error(ParseGroupLength { group: 1, len: 3, index: 9 })"},
      {"{67e55044-10b1-426f-9247-bb680e5fe0c8", "Error(ParseChar { character: '8', index: 36 })"},
      {"{67e55044-10b1-426f-9247-bb680e5fe0c}", "Error(ParseGroupLength { group: 4, len: 11, index: 25 })"},
      {"urn:uuid:67e5504410b1426f9247bb680e5fe0c8", "Error(ParseLength { len: 41 })"},
      {"urn:uuid 67e55044-10b1-426f-9247-bb680e5fe0c8", "Error(ParseChar { character: 'u', index: 0 })"},
      {"67e55044-10b1-426f-9247-bb680e5f\u00e9c8", "Error(ParseChar { character: '\u00e9', index: 32 })"},
      {"67e55044'10b1-426f-9247-bb680e5fe0c8", "Error(ParseChar { character: '\\'', index: 8 })"},
  };
  for (const auto& [text, debug] : cases) {
    const auto parsed = parse_uuid(text);
    ASSERT_FALSE(parsed) << text;
    EXPECT_EQ(parsed.error().debug(), debug) << text;
    EXPECT_FALSE(parsed.error().display().empty());
  }
}

}  // namespace
}  // namespace common
