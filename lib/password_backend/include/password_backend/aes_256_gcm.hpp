#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "common/secret_bytes.hpp"

namespace password_backend {

inline constexpr std::size_t AES_256_KEY_BYTES = 32;
inline constexpr std::size_t GCM_NONCE_BYTES = 12;
inline constexpr std::size_t GCM_TAG_BYTES = 16;
// GCM's own bound on one message under one nonce: 2^32 - 2 blocks.
inline constexpr std::size_t GCM_MAX_MESSAGE_BYTES = ((std::size_t{1} << 32) - 2) * 16;

// Why the cipher gave nothing back.
enum class AesGcmError : std::uint8_t {
  // Sealing: a message longer than GCM allows under one nonce.
  MessageTooLong,
  // Opening: shorter than a tag, longer than GCM allows, or a tag that does
  // not verify. One answer for all three, so a refusal tells nothing more.
  NotAuthentic,
};

// AES-256-GCM with a 96-bit nonce, a 128-bit tag and no additional data, on
// nettle, which picks AES-NI and carry-less multiply at run time where the
// processor has them. The key must be 32 bytes and the nonce 12 (callers
// check; anything else aborts).

// The ciphertext and then the tag.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, AesGcmError> aes_256_gcm_seal(
    std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce, std::span<const std::uint8_t> plaintext);

// The plaintext of ciphertext-and-tag, decrypted straight into secret memory
// and released only when the tag verifies; otherwise it is wiped unread.
[[nodiscard]] std::expected<common::SecretBytes, AesGcmError> aes_256_gcm_open(
    std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
    std::span<const std::uint8_t> ciphertext_and_tag);

}  // namespace password_backend
