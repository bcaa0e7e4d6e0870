#include "password_backend/aes_256_gcm.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <expected>
#include <span>
#include <string_view>

#include "common/sodium_ready.hpp"
#include "test_bytes.hpp"

namespace password_backend {
namespace {

using test_support::from_hex;
using Bytes = std::vector<std::uint8_t>;

Bytes pattern(std::size_t length) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
  return bytes;
}

bool not_authentic(const std::expected<common::SecretBytes, AesGcmError>& opened) {
  return !opened && opened.error() == AesGcmError::NotAuthentic;
}

constexpr std::string_view ZEROS32 = "0000000000000000000000000000000000000000000000000000000000000000";
constexpr std::string_view KEY15 = "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308";
constexpr std::string_view PLAIN15 =
    "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
    "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255";
constexpr std::string_view CIPHER15 =
    "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
    "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad";

// The cipher's bytes are what stored envelopes hold, so they are pinned: the
// AES-256 cases without additional data from NIST's published GCM test
// set, and (tags from python3-cryptography) a message ending inside a block
// and one long enough for the wide, many-blocks-at-once code paths.
TEST(AesGcm, SealsAndOpensKnownAnswers) {
  struct KnownAnswer {
    std::string_view key;
    std::string_view nonce;
    Bytes plaintext;
    std::string_view ciphertext_start;
    std::string_view tag;
  };
  const KnownAnswer cases[] = {
      {ZEROS32, "000000000000000000000000", {}, "", "530f8afbc74536b9a963b4f1c4cb738b"},
      {ZEROS32, "000000000000000000000000", Bytes(16, 0), "cea7403d4d606b6e074ec5d3baf39d18",
       "d0d1c8a799996bf0265b98b5d48ab919"},
      {KEY15, "cafebabefacedbaddecaf888", from_hex(PLAIN15), CIPHER15, "b094dac5d93471bdec1a502270e3cc6c"},
      {KEY15, "cafebabefacedbaddecaf888", from_hex(PLAIN15.substr(0, 120)), CIPHER15.substr(0, 120),
       "eb9f796c8d356fc31a8433884b696f4f"},
      {KEY15, "cafebabefacedbaddecaf888", pattern(1000), "8b1bfdc07df151d36919782bd12a068e",
       "0e0f3b938e3b11e267fdb765c2161dd3"},
  };
  for (const auto& known : cases) {
    const auto key = from_hex(known.key);
    const auto nonce = from_hex(known.nonce);
    const std::size_t length = known.plaintext.size();
    const auto sealed = aes_256_gcm_seal(key, nonce, known.plaintext);
    ASSERT_TRUE(sealed) << length;
    ASSERT_EQ(sealed->size(), length + GCM_TAG_BYTES) << length;
    const auto ciphertext_start = from_hex(known.ciphertext_start);
    EXPECT_TRUE(std::equal(ciphertext_start.begin(), ciphertext_start.end(), sealed->begin())) << length;
    EXPECT_EQ(Bytes(sealed->end() - GCM_TAG_BYTES, sealed->end()), from_hex(known.tag)) << length;

    const auto opened = aes_256_gcm_open(key, nonce, *sealed);
    ASSERT_TRUE(opened) << length;
    EXPECT_TRUE(opened->equals(known.plaintext)) << length;

    // A forged tag, a changed byte of ciphertext and a text too short to hold
    // a tag are all the same refusal.
    Bytes forged = *sealed;
    forged.back() ^= 0x80;
    EXPECT_TRUE(not_authentic(aes_256_gcm_open(key, nonce, forged))) << length;
    if (length > 0) {
      Bytes altered = *sealed;
      altered.front() ^= 0x01;
      EXPECT_TRUE(not_authentic(aes_256_gcm_open(key, nonce, altered))) << length;
    }
    EXPECT_TRUE(not_authentic(aes_256_gcm_open(key, nonce, std::span(*sealed).first(GCM_TAG_BYTES - 1)))) << length;
  }
  EXPECT_TRUE(not_authentic(aes_256_gcm_open(from_hex(ZEROS32), Bytes(12, 9), Bytes(20, 0))));
}

// libsodium's AES-GCM shares no code with nettle: each opens what the other
// sealed, at lengths on and off the block size.
TEST(AesGcm, InteroperatesWithLibsodium) {
  common::ensure_sodium_ready();
  if (crypto_aead_aes256gcm_is_available() == 0) GTEST_SKIP() << "libsodium's AES-GCM needs AES-NI";
  const auto key = from_hex(KEY15);
  const Bytes nonce(GCM_NONCE_BYTES, 0x5a);
  for (const std::size_t length : {0U, 1U, 15U, 16U, 32U, 100U, 1000U, 4099U}) {
    const Bytes plain = pattern(length);
    const auto sealed = aes_256_gcm_seal(key, nonce, plain);
    ASSERT_TRUE(sealed);
    const Bytes& ours = *sealed;
    Bytes theirs(length + GCM_TAG_BYTES);
    unsigned long long theirs_length = 0;
    ASSERT_EQ(crypto_aead_aes256gcm_encrypt(theirs.data(), &theirs_length, plain.data(), length, nullptr, 0, nullptr,
                                            nonce.data(), key.data()),
              0);
    EXPECT_EQ(ours, theirs) << length;

    Bytes back(length);
    unsigned long long back_length = 0;
    ASSERT_EQ(crypto_aead_aes256gcm_decrypt(back.data(), &back_length, nullptr, ours.data(), ours.size(), nullptr, 0,
                                            nonce.data(), key.data()),
              0)
        << length;
    EXPECT_EQ(back, plain) << length;
    const auto opened = aes_256_gcm_open(key, nonce, theirs);
    ASSERT_TRUE(opened) << length;
    EXPECT_TRUE(opened->equals(plain)) << length;
  }
}

}  // namespace
}  // namespace password_backend
