#include "password_backend/envelope.hpp"

#include <gtest/gtest.h>

#include <string>

#include "password_backend/aes_256_gcm.hpp"
#include "test_bytes.hpp"
#include "test_vectors.hpp"

namespace password_backend {
namespace {

using test_support::bytes_of;
using test_support::from_hex;
using Bytes = std::vector<std::uint8_t>;

Bytes concat(std::string_view head, std::span<const std::uint8_t> tail) {
  Bytes out(head.begin(), head.end());
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

std::string error_text(const std::expected<common::SecretBytes, common::AnyError>& result) {
  return result ? std::string("opened") : result.error().display();
}

TEST(EnvelopeKey, TakesTheFirst32BytesOrPadsWithZeros) {
  const std::string forty(40, 'q');
  const std::pair<std::string_view, Bytes> cases[] = {
      {"", Bytes(32, 0)},
      {"abc", concat("abc", Bytes(29, 0))},
      {std::string_view(forty).substr(0, 32), Bytes(32, 'q')},
      {forty, Bytes(32, 'q')},
  };
  for (const auto& [password, key] : cases) EXPECT_TRUE(envelope_key(bytes_of(password)).equals(key)) << password;
}

TEST(Envelope, SealsInTheFixedLayoutWithAFreshNonce) {
  const auto key = envelope_key(bytes_of("password"));
  const auto master = new_master_key();
  ASSERT_EQ(master.size(), 32U);
  EXPECT_FALSE(master.equals(new_master_key().bytes()));
  const auto first = seal_master_key(key, master.bytes());
  const auto second = seal_master_key(key, master.bytes());
  ASSERT_EQ(first.size(), 72U);
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(first.data()), 12), std::string_view("AES-256-GCM\0", 12));
  EXPECT_NE(first, second);
  EXPECT_FALSE(std::equal(first.begin() + 12, first.begin() + 24, second.begin() + 12));
  for (const auto& envelope : {first, second}) {
    const auto opened = open_master_key(key, envelope);
    ASSERT_TRUE(opened) << opened.error().debug();
    EXPECT_TRUE(opened->equals(master.bytes()));
  }
  // Master keys of any length come back as they went in.
  for (const std::size_t length : {0U, 1U, 16U, 33U, 1000U}) {
    const Bytes other(length, 0xa5);
    const auto envelope = seal_master_key(key, other);
    EXPECT_EQ(envelope.size(), 40U + length);
    const auto opened = open_master_key(key, envelope);
    ASSERT_TRUE(opened) << length;
    EXPECT_TRUE(opened->equals(other)) << length;
  }
}

TEST(Envelope, OpensOnlyUnderTheKeyOfTheSamePasswordPrefix) {
  const std::string forty = std::string(32, 'p') + "12345678";
  const auto master = new_master_key();
  const auto long_sealed = seal_master_key(envelope_key(bytes_of(forty)), master.bytes());
  const auto short_sealed = seal_master_key(envelope_key(bytes_of("abcde")), master.bytes());
  const std::tuple<const Bytes*, std::string, bool> cases[] = {
      {&long_sealed, forty, true},
      {&long_sealed, std::string(32, 'p'), true},
      {&long_sealed, std::string(32, 'p') + "anything else", true},
      {&long_sealed, std::string(31, 'p'), false},
      {&short_sealed, "abcde", true},
      {&short_sealed, std::string("abcde") + '\0', true},  // zero padding is the key
      {&short_sealed, "abcdef", false},
      {&short_sealed, "abcdd", false},
      {&short_sealed, "", false},
  };
  for (const auto& [envelope, password, opens] : cases) {
    const auto opened = open_master_key(envelope_key(bytes_of(password)), *envelope);
    EXPECT_EQ(opened.has_value(), opens) << password;
    if (opened) {
      EXPECT_TRUE(opened->equals(master.bytes()));
    }
    if (!opened) {
      EXPECT_EQ(opened.error().display(), "decryption failure: Error");
    }
  }
}

TEST(Envelope, MalformedDataGetsItsOwnError) {
  const auto key = envelope_key(bytes_of("pw"));
  const Bytes nonce(12, 9);
  const auto valid = seal_master_key(key, Bytes(32, 1));
  const std::string twelve(12, '\x01');
  const std::pair<Bytes, std::string_view> cases[] = {
      {{}, "invalid master key format"},
      {concat("AES-256-GCM", {}), "invalid master key format"},
      {concat(std::string_view("\0AES-256-GCM", 12), nonce), "invalid master key format"},
      {concat(std::string_view("AES\xff-256\0", 9), nonce), "invalid master key format"},
      {concat(std::string_view("AES-128-GCM\0", 12), nonce), "unknown crypto algorithm"},
      {concat(std::string_view("aes-256-gcm\0", 12), nonce), "unknown crypto algorithm"},
      {concat(std::string_view("AES-256-GCM \0", 13), nonce), "unknown crypto algorithm"},
      {concat(std::string_view("AES-256-GC\0", 11), nonce), "unknown crypto algorithm"},
      {concat(std::string_view("AES-256-GCM\0", 12), {}), "Data too short"},
      {concat(std::string_view("AES-256-GCM\0", 12), Bytes(11, 0)), "Data too short"},
      {concat(std::string_view("AES-256-GCM\0", 12), nonce), "decryption failure: Error"},
      {concat(std::string_view("AES-256-GCM\0", 12), Bytes(27, 0)), "decryption failure: Error"},
      {concat(std::string_view("AES-256-GCM\0", 12), Bytes(28, 0)), "decryption failure: Error"},
      {Bytes(valid.begin(), valid.end() - 1), "decryption failure: Error"},
  };
  for (const auto& [data, text] : cases) {
    const auto opened = open_master_key(key, data);
    EXPECT_EQ(error_text(opened), text) << std::string(data.begin(), data.end());
  }
  // Altering any byte after the separator is caught by the tag.
  for (std::size_t at = 12; at < valid.size(); ++at) {
    Bytes altered = valid;
    altered[at] ^= 0x01;
    EXPECT_EQ(error_text(open_master_key(key, altered)), "decryption failure: Error") << at;
  }
}

TEST(Envelope, ZeroBytesAfterTheNameAndEmptyMasterKeys) {
  const auto key = envelope_key(bytes_of("pw"));
  const Bytes zero_nonce(12, 0), zero_master(32, 0);
  Bytes envelope = concat(std::string_view("AES-256-GCM\0", 12), zero_nonce);
  const auto sealed_zero = aes_256_gcm_seal(key.bytes(), zero_nonce, zero_master);
  ASSERT_TRUE(sealed_zero);
  envelope.insert(envelope.end(), sealed_zero->begin(), sealed_zero->end());
  const auto opened = open_master_key(key, envelope);
  ASSERT_TRUE(opened);
  EXPECT_TRUE(opened->equals(zero_master));

  const auto empty = seal_master_key(key, {});
  ASSERT_EQ(empty.size(), 40U);
  const auto sealed = std::span(empty).subspan(12);
  ASSERT_EQ(sealed.size(), 28U);
  const auto opened_empty = open_sealed(key, sealed);
  ASSERT_TRUE(opened_empty);
  EXPECT_TRUE(opened_empty->empty());
}

// Envelopes sealed by python3-cryptography (scripts/make-hash-vectors) open
// here; the cipher's own known answers are pinned in aes_256_gcm_test.cpp.
TEST(Envelope, InteroperatesWithIndependentAesGcm) {
  const auto rows = test_vectors::read_vectors("envelope_vectors.txt");
  ASSERT_EQ(rows.size(), 6U);
  for (const auto& row : rows) {
    const auto password = from_hex(row[0]);
    const auto master = from_hex(row[1]);
    const auto opened = open_master_key(envelope_key(password), from_hex(row[2]));
    ASSERT_TRUE(opened) << row[2] << ": " << opened.error().debug();
    EXPECT_TRUE(opened->equals(master)) << row[2];
    auto other = password;
    other.push_back('x');
    if (password.size() < 32) {
      EXPECT_FALSE(open_master_key(envelope_key(other), from_hex(row[2]))) << row[2];
    }
  }
}

TEST(EnvelopeDeathTest, KeysOfAnotherLengthEndTheProcess) {
  const common::SecretBytes short_key(31), long_key(33);
  const Bytes sealed(28, 0);
  EXPECT_DEATH((void)seal_master_key(short_key, Bytes(32, 1)), "Invalid key length");
  EXPECT_DEATH((void)seal_master_key(long_key, Bytes(32, 1)), "Invalid key length");
  EXPECT_DEATH((void)open_sealed(short_key, sealed), "Invalid key length");
  EXPECT_DEATH((void)open_master_key(common::SecretBytes(), concat(std::string_view("AES-256-GCM\0", 12), sealed)),
               "Invalid key length");
}

}  // namespace
}  // namespace password_backend
