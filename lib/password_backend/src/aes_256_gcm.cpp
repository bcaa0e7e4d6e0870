#include "password_backend/aes_256_gcm.hpp"

#include <nettle/gcm.h>
#include <sodium.h>

#include <array>

#include "common/invariant.hpp"

namespace password_backend {
namespace {

// The expanded key schedule and the hash subkey are as secret as the key:
// they are wiped however the operation ends.
class GcmContext {
 public:
  GcmContext(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce) {
    if (key.size() != AES_256_KEY_BYTES || nonce.size() != GCM_NONCE_BYTES) {
      common::invariant_broken("AES-256-GCM given a key or nonce of another length");
    }
    gcm_aes256_set_key(&context_, key.data());
    gcm_aes256_set_iv(&context_, nonce.size(), nonce.data());
  }
  GcmContext(const GcmContext&) = delete;
  GcmContext& operator=(const GcmContext&) = delete;
  ~GcmContext() { sodium_memzero(&context_, sizeof context_); }

  gcm_aes256_ctx* get() noexcept { return &context_; }

 private:
  gcm_aes256_ctx context_{};
};

}  // namespace

std::expected<std::vector<std::uint8_t>, AesGcmError> aes_256_gcm_seal(std::span<const std::uint8_t> key,
                                                                       std::span<const std::uint8_t> nonce,
                                                                       std::span<const std::uint8_t> plaintext) {
  GcmContext context(key, nonce);
  if (plaintext.size() > GCM_MAX_MESSAGE_BYTES) return std::unexpected(AesGcmError::MessageTooLong);
  std::vector<std::uint8_t> sealed(plaintext.size() + GCM_TAG_BYTES);
  gcm_aes256_encrypt(context.get(), plaintext.size(), sealed.data(), plaintext.data());
  gcm_aes256_digest(context.get(), GCM_TAG_BYTES, sealed.data() + plaintext.size());
  return sealed;
}

std::expected<common::SecretBytes, AesGcmError> aes_256_gcm_open(std::span<const std::uint8_t> key,
                                                                 std::span<const std::uint8_t> nonce,
                                                                 std::span<const std::uint8_t> ciphertext_and_tag) {
  GcmContext context(key, nonce);
  if (ciphertext_and_tag.size() < GCM_TAG_BYTES || ciphertext_and_tag.size() - GCM_TAG_BYTES > GCM_MAX_MESSAGE_BYTES) {
    return std::unexpected(AesGcmError::NotAuthentic);
  }
  const auto ciphertext = ciphertext_and_tag.first(ciphertext_and_tag.size() - GCM_TAG_BYTES);
  // Decrypts straight into secret memory; until the tag agrees the bytes are
  // not released, and if it does not they are wiped with it.
  common::SecretBytes plaintext(ciphertext.size());
  gcm_aes256_decrypt(context.get(), ciphertext.size(), plaintext.data(), ciphertext.data());
  std::array<std::uint8_t, GCM_TAG_BYTES> tag{};
  gcm_aes256_digest(context.get(), tag.size(), tag.data());
  if (sodium_memcmp(tag.data(), ciphertext_and_tag.last(GCM_TAG_BYTES).data(), tag.size()) != 0) {
    return std::unexpected(AesGcmError::NotAuthentic);
  }
  return plaintext;
}

}  // namespace password_backend
