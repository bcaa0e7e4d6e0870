#include "auth_password/backend/password_hash.hpp"

#include <gtest/gtest.h>

#include <chrono>

#include "auth_password/backend/b64.hpp"
#include "auth_password/backend/os_random.hpp"
#include "test_vectors.hpp"

namespace auth_password::backend {
namespace {

using testing::bytes_of;
using testing::from_hex;

constexpr std::string_view kPrefix = "$argon2id$v=19$m=19456,t=2,p=1$";

bool matches(std::string_view stored, std::string_view password) {
  const auto result = password_matches(bytes_of(stored), bytes_of(password));
  if (!result) ADD_FAILURE() << stored << ": " << result.error().debug();
  return result.value_or(false);
}

TEST(MakePasswordHash, WritesTheFixedFormWithAFreshSalt) {
  const std::string long_a = std::string(32, 'k') + "first";
  const std::string long_b = std::string(32, 'k') + "second";
  for (const std::string_view password : {std::string_view("correct horse"), std::string_view(""),
                                          std::string_view("p\xc3\xa4ss \xf0\x9f\x94\x91"), std::string_view(long_a)}) {
    const auto first = make_password_hash(bytes_of(password));
    const auto second = make_password_hash(bytes_of(password));
    ASSERT_TRUE(first && second);
    for (const auto& text : {*first, *second}) {
      ASSERT_EQ(text.size(), 97U) << text;
      EXPECT_TRUE(text.starts_with(kPrefix)) << text;
      EXPECT_EQ(text[kPrefix.size() + 22], '$') << text;
      EXPECT_EQ(b64_decode(text.substr(kPrefix.size(), 22), 16)->size(), 16U) << text;
      EXPECT_EQ(b64_decode(text.substr(kPrefix.size() + 23), 32)->size(), 32U) << text;
      EXPECT_TRUE(matches(text, password)) << text;
    }
    EXPECT_NE(*first, *second);
  }
  // The whole password counts, not just its first 32 bytes.
  const auto hash_a = make_password_hash(bytes_of(long_a));
  ASSERT_TRUE(hash_a);
  EXPECT_FALSE(matches(*hash_a, long_b));
  EXPECT_FALSE(matches(*hash_a, long_a.substr(0, 32)));
}

TEST(MakePasswordHash, AFailingRandomSourceIsRngFailure) {
  const auto failing = [](std::span<std::uint8_t>) -> std::expected<void, common::IoError> {
    return std::unexpected(common::IoError::from_os_code(EIO));
  };
  const auto made = make_password_hash_using(failing, bytes_of("pw"));
  ASSERT_FALSE(made);
  EXPECT_EQ(made.error().display(), "rng failure");
  EXPECT_EQ(made.error().debug(), "PasswordHash(\"rng failure\")");
  const auto fixed = [](std::span<std::uint8_t> out) -> std::expected<void, common::IoError> {
    std::ranges::fill(out, std::uint8_t{0x5a});
    return {};
  };
  EXPECT_EQ(make_password_hash_using(fixed, bytes_of("pw")).value().substr(kPrefix.size(), 22),
            b64_encode(std::vector<std::uint8_t>(16, 0x5a)));
}

// Hashes made by python3-argon2, the argon2 tool and libsodium's
// crypto_pwhash_str (scripts/make-hash-vectors), with right and wrong passwords.
TEST(PasswordMatches, AgreesWithIndependentImplementations) {
  const auto rows = testing::read_vectors("hash_vectors.txt");
  ASSERT_GE(rows.size(), 90U);
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), 4U);
    const auto password = from_hex(row[2]);
    const auto result = password_matches(bytes_of(row[3]), password);
    ASSERT_TRUE(result) << row[0] << " " << row[3] << ": " << result.error().debug();
    EXPECT_EQ(*result, row[1] == "match") << row[0] << " " << row[3];
  }
}

TEST(PasswordMatches, UnusableStoredDataIsAnError) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"$argon2id$v=19$m=19456\xff", "Utf8Error { valid_up_to: 22, error_len: Some(1) }"},
      {"$argon2id$v=19$m=19456\xe2\x82", "Utf8Error { valid_up_to: 22, error_len: None }"},
      {"", "PhcParseError { reason: \"does not start with '$'\", position: 0 }"},
      {"argon2id", "PhcParseError { reason: \"does not start with '$'\", position: 0 }"},
      {"$argon2id$v=19$m=19456,t=2,p=1$c29tZXNhbHQ$AAAAAA$", "PhcParseError { reason: \"empty field\", position: 50 }"},
      {"$argon2id$v=19$m=19456,m=2", "PhcParseError { reason: \"duplicate parameter\", position: 23 }"},
      {"$scrypt$ln=15,r=8,p=1$c29tZXNhbHQ$AAAAAA", "\"Unsupported algorithm\""},
      {"$argon2$v=19$c29tZXNhbHQ$AAAAAA", "\"Unsupported algorithm\""},
      {"$argon2ID$v=19", "PhcParseError { reason: \"invalid algorithm identifier\", position: 1 }"},
  };
  for (const auto& [stored, debug] : cases) {
    const auto result = password_matches(bytes_of(stored), bytes_of("pw"));
    ASSERT_FALSE(result) << stored;
    EXPECT_EQ(result.error().debug(), debug) << stored;
  }
}

TEST(PasswordMatches, StoredHashesThatCannotBeRecomputedMatchNothing) {
  // Each case would match "pw" with the parameters shown if it were computable.
  const std::string_view salt = "c29tZXNhbHQ";
  const std::string hash = "$" + b64_encode(std::vector<std::uint8_t>(32, 1));
  const std::string cases[] = {
      "$argon2id",
      "$argon2id$v=19$m=64,t=1,p=1",
      "$argon2id$v=19$m=64,t=1,p=1$" + std::string(salt),
      "$argon2id$v=18$m=64,t=1,p=1$" + std::string(salt) + hash,
      "$argon2id$v=20$m=64,t=1,p=1$" + std::string(salt) + hash,
      "$argon2id$v=19$m=64,t=1,p=1,x=1$" + std::string(salt) + hash,
      "$argon2id$v=19$m=4,t=1,p=1$" + std::string(salt) + hash,        // memory below 8 blocks
      "$argon2id$v=19$m=64,t=0,p=1$" + std::string(salt) + hash,       // no pass
      "$argon2id$v=19$m=64,t=1,p=0$" + std::string(salt) + hash,       // no lane
      "$argon2id$v=19$m=64,t=1,p=1$" + std::string(salt) + "$AAAAAA",  // 4-byte output
      // Above the caps: refused before any memory is taken or time spent.
      "$argon2id$v=19$m=4194305,t=1,p=1$" + std::string(salt) + hash,
      "$argon2id$v=19$m=4294967295,t=4294967295,p=16777215$" + std::string(salt) + hash,
      "$argon2id$v=19$m=64,t=65,p=1$" + std::string(salt) + hash,
      "$argon2id$v=19$m=4096,t=1,p=257$" + std::string(salt) + hash,
  };
  const auto start = std::chrono::steady_clock::now();
  for (const auto& stored : cases) {
    const auto result = password_matches(bytes_of(stored), bytes_of("pw"));
    ASSERT_TRUE(result) << stored << ": " << result.error().debug();
    EXPECT_FALSE(*result) << stored;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(PasswordMatches, MissingVersionAndParametersTakeTheDefaults) {
  const auto made = make_password_hash(bytes_of("pw"));
  ASSERT_TRUE(made);
  const std::string tail = made->substr(kPrefix.size() - 1);  // "$salt$hash"
  for (const std::string head : {"$argon2id", "$argon2id$v=19", "$argon2id$m=19456", "$argon2id$v=19$t=2,p=1",
                                 "$argon2id$v=19$p=1,t=2,m=19456"}) {
    EXPECT_TRUE(matches(head + tail, "pw")) << head;
    EXPECT_FALSE(matches(head + tail, "pW")) << head;
  }
  for (const std::string head : {"$argon2id$v=16", "$argon2i$v=19$m=19456,t=2,p=1", "$argon2id$v=19$m=19457"}) {
    EXPECT_FALSE(matches(head + tail, "pw")) << head;
  }
}

TEST(PasswordMatches, CapsBoundTheStoredParameters) {
  const std::string stored = "$argon2d$v=19$m=64,t=3,p=2$c29tZXNhbHQ$ssPrKp/2f6i3Y64BFMA8PusGj6aLmIWIezPER4s4LPE";
  const std::pair<StoredHashCaps, bool> cases[] = {
      {{64, 3, 2}, true}, {{63, 3, 2}, false}, {{64, 2, 2}, false}, {{64, 3, 1}, false}, {{}, true}};
  for (const auto& [caps, expected] : cases) {
    const auto result = password_matches_within(caps, bytes_of(stored), bytes_of("pw"));
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, expected) << caps.max_memory_kib << " " << caps.max_passes << " " << caps.max_lanes;
  }
}

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
}  // namespace auth_password::backend
