#include "password_backend/b64.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace password_backend {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(B64, EncodesWithoutPaddingAndDecodesOnlyCanonicalText) {
  const std::pair<Bytes, std::string_view> pairs[] = {
      {{}, ""}, {{0xff}, "/w"}, {{0xfb, 0xef}, "++8"}, {{'s', 'o', 'm', 'e', 's', 'a', 'l', 't'}, "c29tZXNhbHQ"}};
  for (const auto& [bytes, text] : pairs) {
    EXPECT_EQ(b64_encode(bytes), text);
    EXPECT_EQ(b64_decode(text, 64), bytes) << text;
  }
  for (const std::string_view bad : {"/x", "A", "AAAAA", "/w==", "_w", "-w", "c29t\nZXNh"}) {
    const auto decoded = b64_decode(bad, 64);
    ASSERT_FALSE(decoded) << bad;
    EXPECT_EQ(decoded.error(), B64Error::Malformed) << bad;
  }
}

// The bound is on the text, before anything is decoded: one character over
// the encoding of max_bytes is too long, whatever the characters are.
TEST(B64, TextLongerThanTheBoundAllowsIsTooLong) {
  EXPECT_TRUE(b64_decode("AAAA", 3));
  EXPECT_TRUE(b64_decode("AAA", 2));
  for (const auto& [text, max_bytes] :
       {std::pair<std::string_view, std::size_t>{"AAAA", 2}, {"AAA", 1}, {"!!!!!", 3}}) {
    const auto decoded = b64_decode(text, max_bytes);
    ASSERT_FALSE(decoded) << text;
    EXPECT_EQ(decoded.error(), B64Error::TooLong) << text;
  }
}

}  // namespace
}  // namespace password_backend
