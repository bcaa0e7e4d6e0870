#include "password_backend/os_random.hpp"
#include "password_backend/os_random_seams.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace password_backend {
namespace {

TEST(OsRandom, FillsFromTheKernelOrADevice) {
  std::vector<std::uint8_t> a(64), b(64);
  ASSERT_TRUE(fill_from_os_random(a));
  ASSERT_TRUE(fill_from_random_device("/dev/urandom", b));
  EXPECT_NE(a, std::vector<std::uint8_t>(64));
  EXPECT_NE(b, std::vector<std::uint8_t>(64));
  EXPECT_NE(a, b);
  EXPECT_TRUE(fill_from_os_random({}));
  const auto missing = fill_from_random_device("/nonexistent/urandom", a);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), common::ErrorKind::NotFound);
  const auto empty = fill_from_random_device("/dev/null", a);
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().kind(), common::ErrorKind::UnexpectedEof);
}

}  // namespace
}  // namespace password_backend
