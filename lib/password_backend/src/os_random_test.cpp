#include "password_backend/os_random.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace password_backend {
namespace {

TEST(OsRandom, FillsEveryByteAfreshEachCall) {
  std::vector<std::uint8_t> a(64), b(64);
  ASSERT_TRUE(fill_from_os_random(a));
  ASSERT_TRUE(fill_from_os_random(b));
  EXPECT_NE(a, std::vector<std::uint8_t>(64));
  EXPECT_NE(b, std::vector<std::uint8_t>(64));
  EXPECT_NE(a, b);
  // The last bytes are filled too, not just a prefix.
  std::vector<std::uint8_t> tail(300);
  ASSERT_TRUE(fill_from_os_random(tail));
  EXPECT_NE(std::vector<std::uint8_t>(tail.end() - 32, tail.end()), std::vector<std::uint8_t>(32));
  EXPECT_TRUE(fill_from_os_random({}));
}

}  // namespace
}  // namespace password_backend
