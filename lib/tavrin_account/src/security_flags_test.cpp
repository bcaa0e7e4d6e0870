#include "tavrin_account/security_flags.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tavrin_account {
namespace {

TEST(SecurityFlags, TextFormsRoundTrip) {
  struct Case {
    std::string text;
    std::uint32_t bits;
    std::string formatted;
  };
  const std::vector<Case> cases = {
      {"ENCRYPTED|WRITE_PROTECTED", 0x3, "ENCRYPTED | WRITE_PROTECTED"},
      {"  WRITE_PROTECTED |\tENCRYPTED \n", 0x3, "ENCRYPTED | WRITE_PROTECTED"},
      {"\xE3\x80\x80WRITE_PROTECTED\xC2\xA0|\xE2\x80\xA8"
       "0x10",
       0x12, "WRITE_PROTECTED | 0x10"},
      {"WRITE_PROTECTED", 0x2, "WRITE_PROTECTED"},
      {"", 0, ""},
      {" \t ", 0, ""},
      {"0x10", 0x10, "0x10"},
      {"0x+0000000000ff", 0xff, "ENCRYPTED | WRITE_PROTECTED | 0xfc"},
      {"0xFFFFFFFF", 0xffffffff, "ENCRYPTED | WRITE_PROTECTED | 0xfffffffc"},
      {"0x1|ENCRYPTED", 0x1, "ENCRYPTED"},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_security_flags(c.text);
    ASSERT_TRUE(parsed.has_value()) << c.text << ": " << parsed.error().display();
    EXPECT_EQ(parsed->bits, c.bits) << c.text;
    EXPECT_EQ(format_security_flags(*parsed), c.formatted);
  }
}

TEST(SecurityFlags, BadTextsNameTheirFirstBadPiece) {
  struct Case {
    std::string text;
    std::string display;
  };
  const std::vector<Case> cases = {
      {"WRITE_PROTECTED|", "encountered empty flag"},
      {"|WRITE_PROTECTED", "encountered empty flag"},
      {"ENCRYPTED| |bogus", "encountered empty flag"},
      {"write_protected", "unrecognized named flag `write_protected`"},
      {"0X10", "unrecognized named flag `0X10`"},
      {" ENCRYPTED | Foo Bar ", "unrecognized named flag `Foo Bar`"},
      {"0x", "invalid hex flag ``"},
      {"0x+", "invalid hex flag `+`"},
      {"0x-1", "invalid hex flag `-1`"},
      {"0x100000000", "invalid hex flag `100000000`"},
      {"0x1g", "invalid hex flag `1g`"},
      {"0x 1", "invalid hex flag ` 1`"},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_security_flags(c.text);
    ASSERT_FALSE(parsed.has_value()) << c.text;
    EXPECT_EQ(parsed.error().display(), c.display) << c.text;
  }
}

}  // namespace
}  // namespace tavrin_account
