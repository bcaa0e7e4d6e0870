#include "password_backend/phc_string.hpp"

#include <gtest/gtest.h>

#include "password_backend/b64.hpp"

namespace password_backend {
namespace {

using Reason = PhcParseError::Reason;
using Bytes = std::vector<std::uint8_t>;

constexpr std::string_view SALT = "c29tZXNhbHQ";  // "somesalt"
constexpr std::string_view HASH = "PL01amPyeUuxG7H0vIr5X+qHkZvWnHmGBGXFYvh8z2E";

std::string with(std::string_view head, std::string_view tail = "") { return std::string(head) + std::string(tail); }

TEST(PhcString, ParsesFieldsInAnyOrderAndWritesThemBack) {
  const auto full = parse_phc_string(with("$argon2id$v=19$p=4,keyid=AAECAw,t=3,data=BAUG,m=65536$", "c29tZXNhbHQ$") +
                                     std::string(HASH));
  ASSERT_TRUE(full) << full.error().debug();
  EXPECT_EQ(full->algorithm, "argon2id");
  EXPECT_EQ(full->version, 19U);
  EXPECT_EQ(full->memory_kib, 65536U);
  EXPECT_EQ(full->passes, 3U);
  EXPECT_EQ(full->lanes, 4U);
  EXPECT_EQ(full->key_id, (Bytes{0, 1, 2, 3}));
  EXPECT_EQ(full->associated_data, (Bytes{4, 5, 6}));
  EXPECT_EQ(full->salt, (Bytes{'s', 'o', 'm', 'e', 's', 'a', 'l', 't'}));
  EXPECT_EQ(full->hash->size(), 32U);
  EXPECT_EQ(format_phc_string(*full), with("$argon2id$v=19$m=65536,t=3,p=4,keyid=AAECAw,data=BAUG$c29tZXNhbHQ$", HASH));

  // Every optional field may be missing; canonical texts come back unchanged.
  const std::string canonical[] = {
      "$argon2id",
      "$argon2id$v=19",
      "$argon2id$m=1",
      with("$argon2id$", SALT),
      with("$argon2id$v=16$", SALT),
      with("$argon2id$v=0$m=0,t=0,p=4294967295$", SALT) + "$" + std::string(HASH),
      with("$argon2i$m=1$c29tZXNhbHQ$", HASH),
      "$scrypt$ln=15,r=8$c29tZXNhbHQ$AAAAAA",
      "$pbkdf2-sha256$i=1000,x=a.Y/z+-9$c29tZXNhbHQ$AAAAAA",
  };
  for (const auto& text : canonical) {
    const auto parsed = parse_phc_string(text);
    ASSERT_TRUE(parsed) << text << ": " << parsed.error().debug();
    EXPECT_EQ(format_phc_string(*parsed), text);
  }
  const auto bare = parse_phc_string(with("$argon2d$", SALT));
  ASSERT_TRUE(bare);
  EXPECT_FALSE(bare->version || bare->memory_kib || bare->passes || bare->lanes || bare->hash);
  const auto other = parse_phc_string("$x$ln=15,r=8");
  ASSERT_TRUE(other);
  EXPECT_EQ(other->other_parameters, (std::vector<PhcParameter>{{"ln", "15"}, {"r", "8"}}));
}

TEST(PhcString, RejectsMalformedTextsWithTheFaultAndItsPosition) {
  const std::string long_name(PHC_MAX_IDENTIFIER_LENGTH + 1, 'a');
  const std::string long_value(PHC_MAX_PARAMETER_VALUE_LENGTH + 1, '1');
  std::string many = "$a$";
  for (std::size_t i = 0; i <= PHC_MAX_PARAMETERS; ++i) many.append("k").append(std::to_string(i)).append("=1,");
  many.pop_back();
  const std::string big_salt(b64_encoded_length(PHC_MAX_SALT_BYTES + 1), 'A');
  const std::string big_hash(b64_encoded_length(PHC_MAX_HASH_BYTES + 1), 'A');
  const std::pair<std::string, PhcParseError> cases[] = {
      {"", {Reason::MissingDollar, 0}},
      {"argon2id$v=19", {Reason::MissingDollar, 0}},
      {"$", {Reason::EmptyField, 1}},
      {"$argon2id$", {Reason::EmptyField, 10}},
      {"$argon2id$$c29tZXNhbHQ", {Reason::EmptyField, 10}},
      {with("$argon2id$v=19$m=1$c29tZXNhbHQ$", HASH) + "$", {Reason::EmptyField, 75}},
      {"$Argon2id", {Reason::BadIdentifier, 1}},
      {"$argon2_id", {Reason::BadIdentifier, 1}},
      {"$" + long_name, {Reason::BadIdentifier, 1}},
      {"$a$v=", {Reason::BadVersion, 3}},
      {"$a$v=019", {Reason::BadVersion, 3}},
      {"$a$v=+19", {Reason::BadVersion, 3}},
      {"$a$v=4294967296", {Reason::BadVersion, 3}},
      {"$a$v=19,m=1", {Reason::BadVersion, 3}},
      {"$a$m=1,,t=2", {Reason::EmptyField, 7}},
      {"$a$m=1,", {Reason::EmptyField, 7}},
      {"$a$m=1,t", {Reason::MissingEquals, 7}},
      {"$a$=1", {Reason::BadParameterName, 3}},
      {"$a$M=1", {Reason::BadParameterName, 3}},
      {"$a$v=19$v=19", {Reason::BadParameterName, 8}},
      {"$a$m=", {Reason::BadParameterValue, 5}},
      {"$a$m=1=2", {Reason::BadParameterValue, 5}},
      {"$a$x=" + long_value, {Reason::BadParameterValue, 5}},
      {"$a$m=1,t=2,m=1", {Reason::DuplicateParameter, 11}},
      {"$a$r=1,r=1", {Reason::DuplicateParameter, 7}},
      {many, {Reason::TooManyParameters, 3 + 10 * 5 + 6 * 6}},
      {"$a$m=-1", {Reason::BadDecimal, 5}},
      {"$a$t=01", {Reason::BadDecimal, 5}},
      {"$a$p=4294967296", {Reason::BadDecimal, 5}},
      {"$a$m=1k", {Reason::BadDecimal, 5}},
      {"$a$data=A", {Reason::BadB64, 8}},
      {"$a$keyid=AB", {Reason::BadB64, 9}},                // trailing bits not zero
      {"$a$c29tZXNhbHQ=", {Reason::BadParameterName, 3}},  // "=" makes it a parameter list
      {"$a$c29tZXNh bHQ", {Reason::BadB64, 3}},
      {"$a$c29tZXNh-HQ", {Reason::BadB64, 3}},
      {"$a$c29tZXNhbH", {Reason::BadB64, 3}},
      {"$a$c29tZXNhbA", {Reason::SaltLength, 3}},  // 7 bytes
      {"$a$" + big_salt, {Reason::SaltLength, 3}},
      {"$a$c29tZXNhbHQ$AAAA", {Reason::HashLength, 15}},  // 3 bytes
      {"$a$c29tZXNhbHQ$" + big_hash, {Reason::HashLength, 15}},
      {"$a$c29tZXNhbHQ$AAAAAA$AAAAAA", {Reason::TrailingField, 21}},
      {with("$argon2id$v=19$m=1$c29tZXNhbHQ$", HASH) + "\n", {Reason::BadB64, 31}},
  };
  for (const auto& [text, expected] : cases) {
    const auto parsed = parse_phc_string(text);
    ASSERT_FALSE(parsed) << text;
    EXPECT_EQ(parsed.error().reason, expected.reason) << text << ": " << parsed.error().debug();
    EXPECT_EQ(parsed.error().position, expected.position) << text << ": " << parsed.error().debug();
  }
  const PhcParseError error{Reason::BadB64, 15};
  EXPECT_EQ(error.display(), "malformed password hash string: invalid B64 encoding at byte 15");
}

}  // namespace
}  // namespace password_backend
