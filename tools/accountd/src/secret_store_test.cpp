#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "secret_store.hpp"

namespace accountd {
namespace {

using tavrin_account::Secret;

const common::Uuid ALICE = *common::parse_uuid("2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10");
const common::Uuid BOB = *common::parse_uuid("00000000-0000-0000-0000-000000000001");

TEST(SecretStore, SecretsPersistReplaceAndStayApart) {
  char dir_template[] = "/tmp/accountd-store-XXXXXX";
  ASSERT_NE(::mkdtemp(dir_template), nullptr);
  const std::string path = std::string(dir_template) + "/secrets.db";
  const Secret first{"n", {1, 2, 3}, {0x2}, 0, INT64_MAX};
  const Secret empty{std::string("with\0zero", 9), {}, {0xffffffff}, INT64_MIN, -1};
  {
    auto store = SecretStore::open(path);
    ASSERT_TRUE(store.has_value()) << store.error().text;
    EXPECT_EQ(store->get(ALICE, "n").value(), std::nullopt);
    ASSERT_TRUE(store->put(ALICE, first).has_value());
    ASSERT_TRUE(store->put(ALICE, empty).has_value());
    ASSERT_TRUE(store->put(BOB, Secret{"n", {9}, {}, 1, 2}).has_value());
  }
  auto store = SecretStore::open(path);
  ASSERT_TRUE(store.has_value()) << store.error().text;
  EXPECT_EQ(store->get(ALICE, "n").value(), first);
  EXPECT_EQ(store->get(ALICE, std::string("with\0zero", 9)).value(), empty);
  EXPECT_EQ(store->get(ALICE, "with").value(), std::nullopt);
  const Secret replaced{"n", {7}, {0x1}, 5, 6};
  ASSERT_TRUE(store->put(ALICE, replaced).has_value());
  EXPECT_EQ(store->get(ALICE, "n").value(), replaced);
  EXPECT_EQ(store->get(BOB, "n").value(), (Secret{"n", {9}, {}, 1, 2}));
  std::filesystem::remove_all(dir_template);
}

TEST(SecretStore, UnusablePathsAreReported) {
  const auto store = SecretStore::open("/nonexistent-dir-for-test/secrets.db");
  ASSERT_FALSE(store.has_value());
  EXPECT_NE(store.error().text.find("cannot open the store"), std::string::npos);
}

}  // namespace
}  // namespace accountd
