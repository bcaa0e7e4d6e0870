#include "common/secret_bytes.hpp"

#include <gtest/gtest.h>

namespace common {
namespace {

TEST(SecretBytes, HoldsCopiesAndComparesByContent) {
  auto secret = SecretBytes::copy_of("hunter2");
  EXPECT_EQ(secret.text(), "hunter2");
  auto twin = secret.clone();
  EXPECT_TRUE(twin.equals(secret.bytes()));
  twin.push_back('!');
  EXPECT_FALSE(twin.equals(secret.bytes()));
  EXPECT_TRUE(SecretBytes().equals(SecretBytes(0).bytes()));

  auto moved = std::move(secret);
  EXPECT_EQ(moved.text(), "hunter2");
}

TEST(SecretBytes, ClearAndShrinkWipeTheBytesGiven) {
  auto secret = SecretBytes::copy_of("correct horse battery staple");
  const std::uint8_t* storage = secret.data();
  secret.resize(7);
  EXPECT_EQ(secret.text(), "correct");
  for (std::size_t i = 7; i < 28; ++i) EXPECT_EQ(storage[i], 0) << i;  // capacity is still ours
  secret.clear();
  EXPECT_TRUE(secret.empty());
  for (std::size_t i = 0; i < 7; ++i) EXPECT_EQ(storage[i], 0) << i;

  SecretBytes zeros(32);
  for (const auto byte : zeros.bytes()) EXPECT_EQ(byte, 0);
}

TEST(SecretBytes, GrowsAcrossReallocationsKeepingContent) {
  SecretBytes secret;
  for (int i = 0; i < 5000; ++i) secret.push_back(static_cast<std::uint8_t>(i));
  ASSERT_EQ(secret.size(), 5000U);
  for (std::size_t i = 0; i < secret.size(); ++i) ASSERT_EQ(secret.bytes()[i], static_cast<std::uint8_t>(i));
}

}  // namespace
}  // namespace common
