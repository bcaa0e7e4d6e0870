#include "common/secret_bytes.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <array>
#include <cstddef>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace common {
namespace {

TEST(SecretBytes, HoldsCopiesAndComparesByContent) {
  auto secret = SecretBytes::copy_of("hunter2");
  EXPECT_EQ(secret.text(), "hunter2");
  auto twin = SecretBytes::copy_of(secret.bytes());
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

namespace common {
namespace {

// The VmFlags line of the mapping that holds `address`.
std::string mapping_flags(const void* address) {
  std::ifstream smaps("/proc/self/smaps");
  const auto where = reinterpret_cast<std::uintptr_t>(address);
  bool inside = false;
  for (std::string line; std::getline(smaps, line);) {
    std::uintptr_t from = 0;
    std::uintptr_t to = 0;
    // Mapping headers start "from-to perms ..."; the lines after them are "Name: value".
    if (std::sscanf(line.c_str(), "%lx-%lx", &from, &to) == 2) {
      inside = from <= where && where < to;
    } else if (inside && line.rfind("VmFlags:", 0) == 0) {
      return line;
    }
  }
  return {};
}

// Whether this process can lock a page: RLIMIT_MEMLOCK or the privilege to
// exceed it, and a real mlock (the address sanitizer's does nothing).
bool locking_works() {
  static std::array<std::byte, 4096> page{};
  if (::mlock(page.data(), page.size()) != 0) return false;
  const bool locked = mapping_flags(page.data()).find(" lo") != std::string::npos;
  (void)::munlock(page.data(), page.size());
  return locked;
}

TEST(SecretMemory, KeepsSecretsApartAndOutOfCoreDumpsAndSwap) {
  const bool locked = locking_works();
  std::vector<SecretBytes> secrets;
  for (std::size_t size : {1U, 31U, 32U, 33U, 200U, 256U, 4096U, 5000U}) {
    auto secret = SecretBytes(size);
    for (auto& byte : secret.bytes()) byte = static_cast<std::uint8_t>(size);
    secrets.push_back(std::move(secret));
  }
  for (const auto& secret : secrets) {
    for (const auto byte : secret.bytes()) ASSERT_EQ(byte, static_cast<std::uint8_t>(secret.size()));
    const std::string flags = mapping_flags(secret.data());
    EXPECT_NE(flags.find(" dd"), std::string::npos) << secret.size() << ": " << flags;
    // Kept out of swap too, where the limits allow.
    if (locked) {
      EXPECT_NE(flags.find(" lo"), std::string::npos) << secret.size() << ": " << flags;
    }
  }
}

// Each secret sits at the end of its own mapping, against a guard page, and
// behind a canary: a write one byte past either end ends the process instead
// of reaching another secret.
TEST(SecretMemoryDeathTest, OverrunsAndUnderrunsEndTheProcess) {
  for (const std::ptrdiff_t offset : {32, -1}) {
    EXPECT_DEATH(
        {
          SecretBytes secret(32);
          volatile std::uint8_t* byte = secret.data() + offset;
          *byte = 1;
        },
        "")
        << offset;
  }
}

}  // namespace
}  // namespace common
