#include "common/utf8.hpp"

#include <gtest/gtest.h>

namespace common {
namespace {

TEST(CheckUtf8, AcceptsTextAndLocatesBrokenSequences) {
  EXPECT_TRUE(check_utf8(""));
  EXPECT_TRUE(check_utf8("plain \u00e9\u65e5\U0001F600"));

  const auto stray = check_utf8(
      "ab\xff"
      "cd");
  ASSERT_FALSE(stray);
  EXPECT_EQ(stray.error().valid_up_to, 2U);
  EXPECT_EQ(stray.error().display(), "invalid utf-8 sequence of 1 bytes from index 2");

  const auto cut = check_utf8("ab\xe6\x97");
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error().display(), "incomplete utf-8 byte sequence from index 2");

  EXPECT_FALSE(check_utf8("\xed\xa0\x80"));  // a surrogate is not text
  EXPECT_FALSE(check_utf8("\xc0\xaf"));      // nor an overlong form
}

}  // namespace
}  // namespace common
