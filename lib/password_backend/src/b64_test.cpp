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
    EXPECT_FALSE(b64_decode(bad, 64)) << bad;
  }
  EXPECT_TRUE(b64_decode("AAAA", 3));
  EXPECT_FALSE(b64_decode("AAAA", 2));
}

}  // namespace
}  // namespace password_backend
